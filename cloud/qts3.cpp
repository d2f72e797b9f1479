#include "qts3.h"

#include "s3signature.h"

#include <QDebug>
#include <QMap>
#include <QMetaEnum>
#include <QReadLocker>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QWriteLocker>

namespace {

constexpr qint64 secondsPerDay = 86400;
const char requestIdHeader[] = "x-amz-request-id";
const char defaultRegion[] = "us-east-1";
// Buckets made long ago with the constraint "EU" answer with it; they lie in
// eu-west-1.
const char legacyEuConstraint[] = "EU";
const char legacyEuRegion[] = "eu-west-1";

// Error codes that S3 sends for a momentary condition, some with a 4xx status.
const char *const transientErrorCodes[] = {"InternalError", "ServiceUnavailable", "SlowDown",
                                           "RequestTimeout"};

// The process's trusted authorities: the system's and those the program made
// the default. Read once, as reading the system's store takes a while.
QList<QSslCertificate> standardCaCertificates()
{
    static const QList<QSslCertificate> certificates = []() {
        QList<QSslCertificate> all = QSslConfiguration::systemCaCertificates();
        for (const QSslCertificate &certificate :
             QSslConfiguration::defaultConfiguration().caCertificates()) {
            if (!all.contains(certificate))
                all.append(certificate);
        }
        return all;
    }();
    return certificates;
}

// "." and ".." segments are resolved by the network layer after signing, so
// the store would check the signature against another path.
bool hasDotSegment(const QString &key)
{
    const QStringList segments = key.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return true;
    }
    return false;
}

struct CachedSigningKey
{
    QDateTime derivedAt;
    QByteArray key;
};

} // namespace

struct QtS3State
{
    QtS3::CredentialProvider accessKeyIdProvider;
    QtS3::CredentialProvider secretAccessKeyProvider;
    QByteArray service;
    std::unique_ptr<ThreadsafeBlockingNetworkAccesManager> network;

    mutable QReadWriteLock signingKeyLock;
    QMap<QByteArray, CachedSigningKey> signingKeys; // by region

    mutable QReadWriteLock bucketRegionLock;
    QMap<QByteArray, QByteArray> bucketRegions; // by bucket name; never shrinks

    QByteArray host;

    QtS3::Clock clock = []() { return QDateTime::currentDateTimeUtc(); };
    // Empty unless extra authorities are configured; then every authority
    // the requests trust.
    QList<QSslCertificate> trustedCaCertificates;
    ExchangeLimits limits{QtS3::defaultTransferTimeoutMs, QtS3::defaultRequestDeadlineMs,
                          QtS3::defaultMaximumReplyBodySizeBytes};

    ~QtS3State()
    {
        if (network && network->pendingRequests() > 0)
            qWarning() << "QtS3 object deleted with pending requests in flight";
        network.reset();
    }
};

QtS3Reply::QtS3Reply() : text(QStringLiteral("Internal error: un-initianlized QtS3Reply.")) {}

bool QtS3Reply::isTransientFailure() const
{
    switch (code) {
    case NetworkError:
        // No answer at all, or one without an S3 error document.
        return true;
    case NoSuchBucketError:
    case NoSuchKeyError:
    case OtherS3Error: {
        const int status = httpStatus();
        if (status >= 500 || status == 408 || status == 429)
            return true;
        for (const char *transientCode : transientErrorCodes) {
            if (text.startsWith(QLatin1String(transientCode) + QStringLiteral(": ")))
                return true;
        }
        return false;
    }
    default:
        return false;
    }
}

QString QtS3Reply::errorCodeName(ErrorCode code)
{
    const char *name = QMetaEnum::fromType<ErrorCode>().valueToKey(code);
    return name ? QString::fromLatin1(name) : QString::number(int(code));
}

QtS3::QtS3(const QString &accessKeyId, const QString &secretAccessKey, const QString &host)
    : QtS3([key = accessKeyId.toLatin1()]() { return key; },
           [secret = secretAccessKey.toLatin1()]() { return secret; }, host.toLocal8Bit())
{
}

QtS3::QtS3(CredentialProvider accessKeyId, CredentialProvider secretAccessKey,
           const QByteArray &host)
    : state(std::make_shared<QtS3State>())
{
    state->accessKeyIdProvider = std::move(accessKeyId);
    state->secretAccessKeyProvider = std::move(secretAccessKey);
    state->host = host;
    if (state->accessKeyIdProvider().isEmpty())
        qWarning() << "access key id not specified";
    if (state->secretAccessKeyProvider().isEmpty())
        qWarning() << "secret access key not set";
    state->service = QByteArrayLiteral("s3");
    state->network = std::make_unique<ThreadsafeBlockingNetworkAccesManager>();
}

int QtS3::pendingRequests() const
{
    return state->network->pendingRequests();
}

void QtS3::setClock(Clock clock)
{
    state->clock = std::move(clock);
}

void QtS3::setExtraCaCertificates(const QList<QSslCertificate> &certificates)
{
    // A request's configuration with authorities of its own no longer loads
    // the system's on demand: they are listed with the extra ones.
    state->trustedCaCertificates.clear();
    if (certificates.isEmpty())
        return;
    state->trustedCaCertificates = standardCaCertificates();
    for (const QSslCertificate &certificate : certificates) {
        if (!state->trustedCaCertificates.contains(certificate))
            state->trustedCaCertificates.append(certificate);
    }
}

void QtS3::setTransferTimeoutMs(int timeoutMs)
{
    state->limits.stallTimeoutMs = timeoutMs;
}

void QtS3::setRequestDeadlineMs(int deadlineMs)
{
    state->limits.deadlineMs = deadlineMs;
}

void QtS3::setMaximumReplyBodySizeBytes(qint64 sizeBytes)
{
    state->limits.maximumBodySizeBytes = sizeBytes;
}

bool QtS3::isPlausibleRegion(const QByteArray &region)
{
    // Two letters, one to three words, a number: cn-north-1, ap-northeast-1,
    // us-gov-west-1, us-iso-east-1. Anchored to the whole text: "$" alone
    // would also accept a trailing line break, which then lands in the
    // Authorization header.
    static const QRegularExpression shape(QRegularExpression::anchoredPattern(
        QStringLiteral("[a-z]{2}(-[a-z]{1,16}){1,3}-[0-9]{1,2}")));
    return shape.match(QString::fromLatin1(region)).hasMatch();
}

QtS3Reply QtS3::headObject(const QByteArray &bucket, const QString &key) const
{
    return objectCall(QByteArrayLiteral("HEAD"), bucket, key, QByteArray(), QStringList());
}

QtS3Reply QtS3::getObject(const QByteArray &bucket, const QString &key) const
{
    return objectCall(QByteArrayLiteral("GET"), bucket, key, QByteArray(), QStringList());
}

QtS3Reply QtS3::putObject(const QByteArray &bucket, const QString &key, const QByteArray &content,
                          const QStringList &headers) const
{
    return objectCall(QByteArrayLiteral("PUT"), bucket, key, content, headers);
}

QtS3Reply QtS3::objectCall(const QByteArray &verb, const QByteArray &bucket, const QString &key,
                           const QByteArray &payload, const QStringList &headers) const
{
    QtS3Reply reply;
    if (bucket.isEmpty()) {
        reply.code = QtS3Reply::BucketNameEmptyError;
        reply.text = QStringLiteral("Bucket name is empty");
        return reply;
    }
    if (key.toUtf8().isEmpty()) {
        reply.code = QtS3Reply::ObjectNameEmptyError;
        reply.text = QStringLiteral("Object name is empty");
        return reply;
    }
    if (hasDotSegment(key)) {
        reply.code = QtS3Reply::InvalidRequestError;
        reply.text =
            QStringLiteral("Object name %1 has a \".\" or \"..\" path segment, which cannot be "
                           "stored")
                .arg(key);
        return reply;
    }

    QList<QPair<QByteArray, QByteArray>> extraHeaders;
    for (const QString &entry : headers) {
        const int colon = entry.indexOf(QLatin1Char(':'));
        if (colon <= 0) {
            reply.code = QtS3Reply::InvalidRequestError;
            reply.text = QStringLiteral("Extra header is not of the form Name:Value");
            return reply;
        }
        // The value is everything after the first ":", so values such as
        // URLs or times arrive whole.
        extraHeaders.append(
            {entry.left(colon).trimmed().toLatin1(), entry.mid(colon + 1).trimmed().toLatin1()});
    }

    if (!ensureBucketRegion(bucket, &reply))
        return reply;
    QByteArray region;
    {
        QReadLocker locker(&state->bucketRegionLock);
        region = state->bucketRegions.value(bucket);
    }

    const QByteArray hostValue = bucket + '.' + state->host;
    QUrl url(QStringLiteral("https://") + QString::fromLatin1(hostValue));
    // The key is a name, never URL syntax: "%", "?", "#" and spaces are part
    // of it. It goes on the wire escaped exactly as in the canonical request,
    // so a store that verifies the path as sent agrees with one that
    // re-encodes the decoded key.
    url.setPath(QLatin1Char('/') +
                    QString::fromLatin1(S3Signature::percentEncode(key.toUtf8(), "/")),
                QUrl::StrictMode);

    S3SignedRequest signedRequest =
        signRequest(verb, url, extraHeaders, hostValue, payload, region);
    if (verb == "PUT") {
        // The network layer announces no length for a request without a body,
        // and S3 refuses a PUT of unknown length.
        signedRequest.request.setHeader(QNetworkRequest::ContentLengthHeader, payload.size());
    }
    const NetworkExchange exchange = state->network->blockingSendCustomRequest(
        signedRequest.request, verb, payload, state->limits);
    evaluate(exchange, &reply);

    if (verb == "HEAD") {
        // The store answered (also "no such object"): good enough for a HEAD,
        // whose status the caller reads from the reply.
        if (!exchange.rawHeader(requestIdHeader).isEmpty()) {
            reply.code = QtS3Reply::NoError;
            reply.text.clear();
        }
    } else if (verb == "GET" && reply.code == QtS3Reply::NoError) {
        reply.content = exchange.body();
    }
    return reply;
}

bool QtS3::ensureBucketRegion(const QByteArray &bucket, QtS3Reply *reply) const
{
    {
        QReadLocker locker(&state->bucketRegionLock);
        if (state->bucketRegions.contains(bucket))
            return true;
    }
    const QtS3Reply lookup = getBucketLocation(bucket);
    if (lookup.code != QtS3Reply::NoError) {
        reply->exchange = lookup.exchange;
        reply->code = lookup.code;
        reply->text = lookup.text;
        return false;
    }
    {
        QReadLocker locker(&state->bucketRegionLock);
        if (state->bucketRegions.contains(bucket))
            return true;
    }
    QWriteLocker locker(&state->bucketRegionLock);
    if (!state->bucketRegions.contains(bucket))
        state->bucketRegions.insert(bucket, lookup.content);
    return true;
}

QtS3Reply QtS3::getBucketLocation(const QByteArray &bucket) const
{
    QtS3Reply reply;
    if (bucket.isEmpty()) {
        reply.code = QtS3Reply::BucketNameEmptyError;
        reply.text = QStringLiteral("Bucket name is empty");
        return reply;
    }
    // The endpoint host has the form s3.REGION.domain; the location request
    // is signed for that region.
    const QList<QByteArray> labels = state->host.split('.');
    if (labels.size() < 2 || labels.at(1).isEmpty()) {
        reply.code = QtS3Reply::InvalidRequestError;
        reply.text = QStringLiteral("Endpoint host %1 names no region")
                         .arg(QString::fromLocal8Bit(state->host));
        return reply;
    }
    const QByteArray signingRegion = labels.at(1);

    const QUrl url(QString::fromLatin1("https://" + state->host + '/' + bucket + "?location"),
                   QUrl::TolerantMode);
    const S3SignedRequest signedRequest =
        signRequest(QByteArrayLiteral("GET"), url, {}, state->host, QByteArray(), signingRegion);
    const NetworkExchange exchange = state->network->blockingSendCustomRequest(
        signedRequest.request, QByteArrayLiteral("GET"), QByteArray(), state->limits);
    evaluate(exchange, &reply);
    if (reply.code == QtS3Reply::NoError) {
        const QString constraint =
            flattenXml(exchange.body()).value(QStringLiteral("LocationConstraint"));
        QByteArray region = constraint.isEmpty() ? QByteArray(defaultRegion) : constraint.toUtf8();
        if (region == legacyEuConstraint)
            region = legacyEuRegion;
        // The region becomes part of every signature and of the cache; a
        // made-up one from a broken or hostile reply is not taken.
        if (!isPlausibleRegion(region)) {
            reply.code = QtS3Reply::NetworkError;
            // Shown cut short and printable: it ends up on one line of a log
            // or of the command line's stderr.
            QString shown = constraint.left(64);
            for (QChar &character : shown) {
                if (character.unicode() < 0x20 || character.unicode() > 0x7E)
                    character = QLatin1Char('?');
            }
            if (constraint.size() > shown.size())
                shown += QStringLiteral("...");
            reply.text =
                QStringLiteral("the store named no plausible bucket region: \"%1\"").arg(shown);
            return reply;
        }
        reply.content = region;
    }
    return reply;
}

QByteArray QtS3::signingKeyFor(const QByteArray &region, const QDateTime &timestamp) const
{
    // Called with the signing-key lock held for writing.
    const auto cached = state->signingKeys.constFind(region);
    if (cached != state->signingKeys.constEnd() && cached->derivedAt.isValid()) {
        const qint64 ageSeconds = cached->derivedAt.secsTo(timestamp);
        if (ageSeconds >= 0 && ageSeconds < secondsPerDay &&
            cached->derivedAt.toUTC().date() == timestamp.toUTC().date())
            return cached->key;
    }
    const QByteArray key = S3Signature::signingKey(state->secretAccessKeyProvider(), timestamp,
                                                   region, state->service);
    state->signingKeys.insert(region, {timestamp, key});
    return key;
}

S3SignedRequest QtS3::signRequest(const QByteArray &verb, const QUrl &url,
                                  const QList<QPair<QByteArray, QByteArray>> &extraHeaders,
                                  const QByteArray &hostValue, const QByteArray &payload,
                                  const QByteArray &region) const
{
    const QDateTime timestamp = state->clock().toUTC();
    QByteArray key;
    {
        // The key derived for this timestamp, not one re-read later that a
        // signer on the next UTC date may have replaced meanwhile.
        QWriteLocker locker(&state->signingKeyLock);
        key = signingKeyFor(region, timestamp);
    }

    const QByteArray payloadHash = S3Signature::sha256Hex(payload);
    QList<S3Signature::Header> headers;
    const auto setHeader = [&headers](const QByteArray &name, const QByteArray &value) {
        for (int index = headers.size() - 1; index >= 0; --index) {
            if (headers.at(index).first.compare(name, Qt::CaseInsensitive) == 0)
                headers.removeAt(index);
        }
        headers.append({name, value});
    };
    for (const S3Signature::Header &header : extraHeaders)
        setHeader(header.first, header.second);
    setHeader(QByteArrayLiteral("User-Agent"), QByteArrayLiteral("Qt"));
    setHeader(QByteArrayLiteral("Host"), hostValue);
    setHeader(QByteArrayLiteral("X-Amz-Date"), S3Signature::timestampText(timestamp));
    setHeader(QByteArrayLiteral("x-amz-content-sha256"), payloadHash);

    S3SignedRequest result;
    result.canonicalRequest = S3Signature::canonicalRequest(verb, url, headers, payloadHash);
    result.stringToSign =
        S3Signature::stringToSign(timestamp, region, state->service, result.canonicalRequest);
    result.signature = S3Signature::signature(key, result.stringToSign);

    QNetworkRequest request(url);
    for (const S3Signature::Header &header : headers)
        request.setRawHeader(header.first, header.second);
    request.setRawHeader(QByteArrayLiteral("Authorization"),
                         S3Signature::authorizationHeader(
                             state->accessKeyIdProvider(), timestamp, region, state->service,
                             S3Signature::signedHeaderList(headers), result.signature));
    result.request = finishRequest(request);
    return result;
}

QNetworkRequest QtS3::finishRequest(QNetworkRequest request) const
{
    // A redirect would go out under a signature made for another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (!state->trustedCaCertificates.isEmpty()) {
        QSslConfiguration configuration = request.sslConfiguration();
        configuration.setCaCertificates(state->trustedCaCertificates);
        request.setSslConfiguration(configuration);
    }
    return request;
}

void QtS3::evaluate(const NetworkExchange &exchange, QtS3Reply *reply)
{
    reply->exchange = exchange;
    // Without a redirect policy a 3xx answer finishes without a network
    // error; its body is an error document, never the object.
    const int status = exchange.httpStatus();
    const bool statusIsError = status != 0 && (status < 200 || status > 299);
    if (exchange.error() == QNetworkReply::NoError && !statusIsError) {
        reply->code = QtS3Reply::NoError;
        reply->text.clear();
        return;
    }
    reply->code = QtS3Reply::NetworkError;
    reply->text = exchange.error() != QNetworkReply::NoError
                      ? exchange.errorString()
                      : QStringLiteral("HTTP status %1").arg(status);
    reply->content = exchange.body();
    if (exchange.body().isEmpty())
        return;

    const QMap<QString, QString> document = flattenXml(exchange.body());
    reply->text.clear();
    if (!document.contains(QStringLiteral("Error")))
        return;
    const QString code = document.value(QStringLiteral("Code"));
    if (code == QLatin1String("NoSuchBucket")) {
        reply->code = QtS3Reply::NoSuchBucketError;
    } else if (code == QLatin1String("NoSuchKey")) {
        reply->code = QtS3Reply::NoSuchKeyError;
    } else {
        reply->code = QtS3Reply::OtherS3Error;
        reply->text = code + QStringLiteral(": ");
    }
    reply->text += document.value(QStringLiteral("Message"));
}
