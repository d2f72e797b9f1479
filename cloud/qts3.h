#pragma once

#include "threadsafeblockingnetworkaccesmanager.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The outcome of one S3 call.
class QtS3Reply
{
    Q_GADGET
public:
    enum ErrorCode {
        NoError = 0,
        NetworkError = 1,
        BucketNameEmptyError = 3,
        NoSuchBucketError = 4,
        ObjectNameEmptyError = 5,
        NoSuchKeyError = 6,
        OtherS3Error = 7,
        UninitializedError = 9,
        // The call could not be formed (an extra header without ":", an
        // endpoint host without a region label, an object name with a "." or
        // ".." path segment); nothing was sent.
        InvalidRequestError = 10,
    };
    Q_ENUM(ErrorCode)

    QtS3Reply();

    bool isSuccess() const { return code == NoError; }
    // A failure that asking again may cure: no answer (network error,
    // time-out), a reply that holds no S3 answer, an overloaded or failing
    // store (5xx, 408, 429, SlowDown, InternalError, RequestTimeout). A
    // definite answer (no such key, access denied, any other 4xx error
    // document) and a call refused before sending are not.
    bool isTransientFailure() const;
    QByteArray data() const { return content; }
    ErrorCode errorCode() const { return code; }
    QString errorString() const { return text; }
    static QString errorCodeName(ErrorCode code);

    // Status and headers of the last exchange with the store; 0 and empty
    // before one.
    int httpStatus() const { return exchange.httpStatus(); }
    QByteArray rawHeader(const QByteArray &name) const { return exchange.rawHeader(name); }

private:
    friend class QtS3;

    QByteArray content;
    NetworkExchange exchange;
    ErrorCode code = UninitializedError;
    QString text;
};

// A signed request ready to send, with the texts its signature was made from.
struct S3SignedRequest
{
    QNetworkRequest request;
    QByteArray canonicalRequest;
    QByteArray stringToSign;
    QByteArray signature;
};

struct QtS3State;

// A client of the S3 REST interface over HTTPS with AWS Signature Version 4.
// Copies share one state (caches, network thread), released with the last
// copy. Calls block until done and may come from any thread, including
// several at once, except the client's own network thread.
class QtS3
{
public:
    using CredentialProvider = std::function<QByteArray()>;
    using Clock = std::function<QDateTime()>;

    // Inactivity allowed before a transfer is given up; a stalled store must
    // not hold a worker (and the window's busy state) for ever.
    static constexpr int defaultTransferTimeoutMs = 60000;
    // The whole of one request, also one that trickles without stalling.
    // The largest object, an M7 package under 1.4 MB, takes about 3 minutes
    // at 64 kbit/s; five leave room for a slower line.
    static constexpr int defaultRequestDeadlineMs = 5 * 60 * 1000;
    // The largest reply body accepted. The largest object stored is an M7
    // package under 1.4 MB and index.json is far smaller, so 8 MiB leaves
    // room for growth while a hostile or broken reply cannot fill memory.
    static constexpr qint64 defaultMaximumReplyBodySizeBytes = 8 * 1024 * 1024;

    QtS3(const QString &accessKeyId, const QString &secretAccessKey, const QString &host);
    // Credentials are asked from the providers at the moment they are used.
    QtS3(CredentialProvider accessKeyId, CredentialProvider secretAccessKey,
         const QByteArray &host);

    QtS3Reply headObject(const QByteArray &bucket, const QString &key) const;
    QtS3Reply getObject(const QByteArray &bucket, const QString &key) const;
    // Each header entry has the form Name:Value.
    QtS3Reply putObject(const QByteArray &bucket, const QString &key, const QByteArray &content,
                        const QStringList &headers) const;
    // The bucket's region in data(), "us-east-1" when the store names none.
    QtS3Reply getBucketLocation(const QByteArray &bucket) const;

    // Builds and signs a request as the client sends it. Extra headers come
    // first; a later one, and then User-Agent, Host, X-Amz-Date and
    // x-amz-content-sha256, replace earlier ones of the same name.
    S3SignedRequest signRequest(const QByteArray &verb, const QUrl &url,
                                const QList<QPair<QByteArray, QByteArray>> &extraHeaders,
                                const QByteArray &hostValue, const QByteArray &payload,
                                const QByteArray &region) const;

    int pendingRequests() const;

    // Settings of the shared state, meant to be made before the client is
    // used: they are not guarded against calls running at the same time.
    // The clock gives the current UTC time for signing.
    void setClock(Clock clock);
    // Certificate authorities trusted for this client in addition to the
    // system's and the process's default ones (a self-hosted store with its
    // own CA).
    void setExtraCaCertificates(const QList<QSslCertificate> &certificates);
    void setTransferTimeoutMs(int timeoutMs);
    void setRequestDeadlineMs(int deadlineMs);
    void setMaximumReplyBodySizeBytes(qint64 sizeBytes);

    // Whether a location document's LocationConstraint names a region in
    // the shape of AWS region names (cn-north-1, us-gov-west-1).
    static bool isPlausibleRegion(const QByteArray &region);

private:
    QtS3Reply objectCall(const QByteArray &verb, const QByteArray &bucket, const QString &key,
                         const QByteArray &payload, const QStringList &headers) const;
    bool ensureBucketRegion(const QByteArray &bucket, QtS3Reply *reply) const;
    QByteArray signingKeyFor(const QByteArray &region, const QDateTime &timestamp) const;
    QNetworkRequest finishRequest(QNetworkRequest request) const;
    static void evaluate(const NetworkExchange &exchange, QtS3Reply *reply);

    std::shared_ptr<QtS3State> state;
};
