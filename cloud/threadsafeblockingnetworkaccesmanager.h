#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPair>
#include <QString>
#include <QWaitCondition>

class QIODevice;
class QThread;

// Bounds of one exchange; 0 leaves a bound off. A store that stalls, trickles
// or sends without end must not hold a worker, or the memory, for ever.
struct ExchangeLimits
{
    // Given up when neither upload nor download made progress for this long.
    int stallTimeoutMs = 0;
    // Given up when the reply is not complete this long after sending.
    int deadlineMs = 0;
    // Given up when the reply body is, or is announced to be, larger.
    qint64 maximumBodySizeBytes = 0;
};

// What one blocking exchange produced, copied out of the network reply on the
// network thread. The calling thread reads this copy and never the reply
// itself, which keeps changing on the network thread.
class NetworkExchange
{
public:
    // True once the reply had finished when the copy was taken. A HEAD is
    // handed over as soon as its headers are there, so it may be false.
    bool isFinished() const { return finished; }
    // Why the exchange was given up, when one of its limits ended it.
    enum class Interruption { None, Stalled, DeadlinePassed, BodyTooLarge };
    Interruption interruption() const { return givenUp; }
    QNetworkReply::NetworkError error() const { return networkError; }
    QString errorString() const { return networkErrorString; }
    // 0 when no response arrived.
    int httpStatus() const { return status; }
    QByteArray rawHeader(const QByteArray &name) const;
    const QByteArray &body() const { return content; }

private:
    friend class ThreadsafeBlockingNetworkAccesManager;

    bool finished = false;
    Interruption givenUp = Interruption::None;
    QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
    QString networkErrorString;
    int status = 0;
    QList<QNetworkReply::RawHeaderPair> headers;
    QByteArray content;
};

// An access manager that can be asked for a request through a queued call.
class SlottetNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    using QNetworkAccessManager::QNetworkAccessManager;

public slots:
    QNetworkReply *sendCustomRequest_slot(const QNetworkRequest &request, const QByteArray &verb,
                                          QIODevice *data = nullptr);
};

// Lets any thread perform a request synchronously, without an event loop of
// its own: the access manager lives on a network thread owned by this object,
// and a caller sleeps on a wait condition until its reply is complete.
class ThreadsafeBlockingNetworkAccesManager : public QObject
{
    Q_OBJECT
public:
    ThreadsafeBlockingNetworkAccesManager();
    ~ThreadsafeBlockingNetworkAccesManager() override;

    // Performs the request and returns when its reply has finished or, for the
    // verb "HEAD" exactly, as soon as response headers have arrived. The
    // payload, when not empty, is sent as the request body. A limit that ends
    // the exchange makes it fail with a time-out (stall, deadline) or content
    // error (body size) and a text that says which. Must not be called on the
    // network thread (it would wait for itself): such a call is refused and
    // returns an unfinished exchange with an error.
    NetworkExchange blockingSendCustomRequest(const QNetworkRequest &request,
                                              const QByteArray &verb,
                                              const QByteArray &payload = QByteArray(),
                                              const ExchangeLimits &limits = ExchangeLimits());

    // Number of calls currently inside blockingSendCustomRequest.
    int pendingRequests() const;

    QThread *networkThread() const { return thread; }

public slots:
    void wakeWaitingThreads();

private:
    struct PendingExchange;
    void watchReply(QNetworkReply *reply, const QSharedPointer<PendingExchange> &pending,
                    bool returnAtHeaders);
    void enforceLimits(QNetworkReply *reply, const QSharedPointer<PendingExchange> &pending,
                       const ExchangeLimits &limits);

    SlottetNetworkAccessManager *accessManager = nullptr;
    QThread *thread = nullptr;
    mutable QMutex mutex;
    QWaitCondition replyChanged;
    int pendingCount = 0;
};
