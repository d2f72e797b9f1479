#include "threadsafeblockingnetworkaccesmanager.h"

#include <QBuffer>
#include <QDebug>
#include <QMetaObject>
#include <QMutexLocker>
#include <QSharedPointer>
#include <QThread>

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
                    if (reply->isOpen())
                        exchange.content = reply->readAll();
                    pending->handedOver = true;
                }
            }
            wakeWaitingThreads();
            reply->deleteLater();
        },
        Qt::DirectConnection);
}

NetworkExchange ThreadsafeBlockingNetworkAccesManager::blockingSendCustomRequest(
    const QNetworkRequest &request, const QByteArray &verb, const QByteArray &payload)
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
        },
        Qt::BlockingQueuedConnection);

    QMutexLocker locker(&mutex);
    while (!pending->handedOver)
        replyChanged.wait(&mutex);
    const NetworkExchange result = pending->exchange;
    --pendingCount;
    return result;
}
