#include "threadsafeblockingnetworkaccesmanager.h"

#include <QBuffer>
#include <QDebug>
#include <QMetaObject>
#include <QMutexLocker>
#include <QSharedPointer>
#include <QThread>
#include <QTimer>

namespace {

QString durationText(int milliseconds)
{
    return milliseconds % 1000 == 0 ? QStringLiteral("%1 s").arg(milliseconds / 1000)
                                    : QStringLiteral("%1 ms").arg(milliseconds);
}

} // namespace

QByteArray NetworkExchange::rawHeader(const QByteArray &name) const
{
    for (const QNetworkReply::RawHeaderPair &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

QNetworkReply *SlottetNetworkAccessManager::sendCustomRequest_slot(const QNetworkRequest &request,
                                                                   const QByteArray &verb,
                                                                   QIODevice *data)
{
    return sendCustomRequest(request, verb, data);
}

// The hand-over between the network thread and one waiting caller; every
// field is guarded by the facade's mutex.
struct ThreadsafeBlockingNetworkAccesManager::PendingExchange
{
    NetworkExchange exchange;
    // Set once the exchange holds what the caller waits for; after that the
    // network thread leaves it alone, so the caller's copy is consistent.
    bool handedOver = false;
    // Set when a limit ends the exchange, just before the reply is aborted.
    NetworkExchange::Interruption interruption = NetworkExchange::Interruption::None;
    QString interruptionText;
};

ThreadsafeBlockingNetworkAccesManager::ThreadsafeBlockingNetworkAccesManager()
{
    qRegisterMetaType<QNetworkRequest>();
    qRegisterMetaType<QIODevice *>();

    thread = new QThread(this);
    thread->setObjectName(QStringLiteral("S3 network"));
    thread->start();

    accessManager = new SlottetNetworkAccessManager();
    accessManager->moveToThread(thread);
    // The manager and its replies belong to the network thread: they are
    // released there, as the thread winds down.
    connect(thread, &QThread::finished, accessManager, &QObject::deleteLater);
}

ThreadsafeBlockingNetworkAccesManager::~ThreadsafeBlockingNetworkAccesManager()
{
    thread->quit();
    thread->wait();
}

int ThreadsafeBlockingNetworkAccesManager::pendingRequests() const
{
    QMutexLocker locker(&mutex);
    return pendingCount;
}

void ThreadsafeBlockingNetworkAccesManager::wakeWaitingThreads()
{
    QMutexLocker locker(&mutex);
    replyChanged.wakeAll();
}

void ThreadsafeBlockingNetworkAccesManager::watchReply(
    QNetworkReply *reply, const QSharedPointer<PendingExchange> &pending, bool returnAtHeaders)
{
    // Runs on the network thread before it returns to its event loop, so the
    // reply cannot have finished yet and no signal is missed.
    if (returnAtHeaders) {
        connect(
            reply, &QNetworkReply::metaDataChanged, reply,
            [this, reply, pending]() {
                const QList<QNetworkReply::RawHeaderPair> headers = reply->rawHeaderPairs();
                if (headers.isEmpty())
                    return;
                {
                    QMutexLocker locker(&mutex);
                    if (pending->handedOver)
                        return;
                    NetworkExchange &exchange = pending->exchange;
                    exchange.finished = reply->isFinished();
                    exchange.status =
                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                    exchange.headers = headers;
                    pending->handedOver = true;
                }
                wakeWaitingThreads();
                // A HEAD sent as a custom verb would wait for the body that the
                // announced length promises and never comes; the caller has what
                // it asked for, so the connection is freed now.
                QMetaObject::invokeMethod(
                    reply, [reply]() { reply->abort(); }, Qt::QueuedConnection);
            },
            Qt::DirectConnection);
    }
    connect(
        reply, &QNetworkReply::finished, reply,
        [this, reply, pending]() {
            {
                QMutexLocker locker(&mutex);
                if (!pending->handedOver) {
                    NetworkExchange &exchange = pending->exchange;
                    exchange.finished = true;
                    exchange.networkError = reply->error();
                    exchange.networkErrorString =
                        reply->error() == QNetworkReply::NoError ? QString() : reply->errorString();
                    exchange.status =
                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                    exchange.headers = reply->rawHeaderPairs();
                    exchange.givenUp = pending->interruption;
                    if (pending->interruption != NetworkExchange::Interruption::None) {
                        // Qt says "Operation canceled"; the caller is told why.
                        exchange.networkError =
                            pending->interruption == NetworkExchange::Interruption::BodyTooLarge
                                ? QNetworkReply::UnknownContentError
                                : QNetworkReply::TimeoutError;
                        exchange.networkErrorString = pending->interruptionText;
                    } else if (reply->isOpen()) {
                        exchange.content = reply->readAll();
                    }
                    pending->handedOver = true;
                }
            }
            wakeWaitingThreads();
            reply->deleteLater();
        },
        Qt::DirectConnection);
}

void ThreadsafeBlockingNetworkAccesManager::enforceLimits(
    QNetworkReply *reply, const QSharedPointer<PendingExchange> &pending,
    const ExchangeLimits &limits)
{
    // Runs on the network thread, as do the timers and signals below; the
    // timers are children of the reply and go with it.
    const auto giveUp = [this, reply, pending](NetworkExchange::Interruption reason,
                                               const QString &text) {
        if (reply->isFinished())
            return;
        {
            QMutexLocker locker(&mutex);
            if (pending->handedOver || pending->interruption != NetworkExchange::Interruption::None)
                return;
            pending->interruption = reason;
            pending->interruptionText = text;
        }
        reply->abort();
    };

    if (limits.deadlineMs > 0) {
        auto *deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, reply, [giveUp, limits]() {
            giveUp(NetworkExchange::Interruption::DeadlinePassed,
                   QStringLiteral("time-out: the store's reply took longer than %1, transfer "
                                  "given up")
                       .arg(durationText(limits.deadlineMs)));
        });
        deadline->start(limits.deadlineMs);
    }

    if (limits.stallTimeoutMs > 0) {
        auto *stall = new QTimer(reply);
        stall->setSingleShot(true);
        connect(stall, &QTimer::timeout, reply, [giveUp, limits]() {
            giveUp(NetworkExchange::Interruption::Stalled,
                   QStringLiteral("time-out: no data from the store for %1, transfer given up")
                       .arg(durationText(limits.stallTimeoutMs)));
        });
        const auto progressed = [stall, limits]() { stall->start(limits.stallTimeoutMs); };
        connect(reply, &QNetworkReply::uploadProgress, stall, progressed);
        connect(reply, &QNetworkReply::downloadProgress, stall, progressed);
        connect(reply, &QNetworkReply::metaDataChanged, stall, progressed);
        stall->start(limits.stallTimeoutMs);
    }

    if (limits.maximumBodySizeBytes > 0) {
        const qint64 capBytes = limits.maximumBodySizeBytes;
        const auto checkSize = [reply, giveUp, capBytes]() {
            // The announced length ends it before the body comes; the bytes
            // waiting in the reply (after any decompression) end a body that
            // announced nothing or less than it sends.
            const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
            if ((announced.isValid() && announced.toLongLong() > capBytes) ||
                reply->bytesAvailable() > capBytes)
                giveUp(
                    NetworkExchange::Interruption::BodyTooLarge,
                    QStringLiteral("the store's reply is larger than %1 bytes, transfer given up")
                        .arg(capBytes));
        };
        connect(reply, &QNetworkReply::metaDataChanged, reply, checkSize);
        connect(reply, &QNetworkReply::readyRead, reply, checkSize);
    }
}

NetworkExchange ThreadsafeBlockingNetworkAccesManager::blockingSendCustomRequest(
    const QNetworkRequest &request, const QByteArray &verb, const QByteArray &payload,
    const ExchangeLimits &limits)
{
    if (QThread::currentThread() == thread) {
        qWarning() << "blocking request refused on the network thread itself";
        NetworkExchange refused;
        refused.networkError = QNetworkReply::UnknownNetworkError;
        refused.networkErrorString = QStringLiteral("blocking request made on the network thread");
        return refused;
    }

    {
        QMutexLocker locker(&mutex);
        ++pendingCount;
    }

    const auto pending = QSharedPointer<PendingExchange>::create();
    const bool returnAtHeaders = verb == QByteArrayLiteral("HEAD");
    QMetaObject::invokeMethod(
        accessManager,
        [&]() {
            QBuffer *body = nullptr;
            if (!payload.isEmpty()) {
                body = new QBuffer();
                body->setData(payload);
                body->open(QIODevice::ReadOnly);
            }
            QNetworkReply *reply = accessManager->sendCustomRequest_slot(request, verb, body);
            // The body must outlive the upload, which may go on after a HEAD
            // caller has returned: it lives as long as the reply.
            if (body)
                body->setParent(reply);
            watchReply(reply, pending, returnAtHeaders);
            enforceLimits(reply, pending, limits);
        },
        Qt::BlockingQueuedConnection);

    QMutexLocker locker(&mutex);
    while (!pending->handedOver)
        replyChanged.wait(&mutex);
    const NetworkExchange result = pending->exchange;
    --pendingCount;
    return result;
}
