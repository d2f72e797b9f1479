#include "cloudaws.h"

#include "brivanelogging.h"
#include "global.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QSettings>
#include <QStandardPaths>

#include <chrono>
#include <functional>

namespace {

const char storeConfigVariable[] = "BRIVANE_STORE_CONFIG";

// Only a failure that may pass is asked again: a definite answer such as
// "no such key" stays the same however often it is asked.
QtS3Reply askWithRetries(int retries, const std::function<QtS3Reply()> &ask,
                         const std::function<void()> &beforeRetry = {})
{
    QtS3Reply reply = ask();
    for (int retry = 0; reply.isTransientFailure() && retry < retries; ++retry) {
        if (beforeRetry)
            beforeRetry();
        reply = ask();
    }
    return reply;
}

QString configKeyName(CloudAWS::S3ConfigKey key)
{
    return QString::fromLatin1(QMetaEnum::fromType<CloudAWS::S3ConfigKey>().valueToKey(key));
}

QString describeFailure(const QtS3Reply &reply)
{
    const QString code = QtS3Reply::errorCodeName(reply.errorCode());
    if (!reply.errorString().isEmpty())
        return code + QStringLiteral(": ") + reply.errorString();
    if (reply.httpStatus() != 0)
        return code + QStringLiteral(": HTTP status %1").arg(reply.httpStatus());
    return code;
}

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

CloudAWS::CloudAWS(QObject *parent)
    : QObject(parent), profiles(builtInProfiles()), pingClock(steadyMilliseconds)
{
    loadStoreConfiguration();

    const QVariant stored = Global::instance()->readConfig(Global::CloudDefaultIndex, 0);
    bool isNumber = false;
    const int storedIndex = stored.toInt(&isNumber);
    // -1 ("none chosen yet") is kept; anything else that names no profile
    // would make downloads read past the table, so the first profile is used
    // until ping() chooses again.
    if (isNumber && (storedIndex == -1 || isProfileIndex(storedIndex))) {
        index.storeRelease(storedIndex);
    } else {
        qCWarning(brivaneSetup).noquote() << "CloudDefaultIndex" << stored.toString()
                                          << "names no store profile; using profile 0";
        index.storeRelease(0);
    }
}

QList<QStringList> CloudAWS::builtInProfiles()
{
    // Credentials are left empty: they come from the store configuration.
    return {
        {QString(), QString(), QStringLiteral("s3.cn-north-1.amazonaws.com.cn"),
         QStringLiteral("brivane"), QStringLiteral("firmware"), QStringLiteral("-1")},
        {QString(), QString(), QStringLiteral("s3.ap-northeast-1.amazonaws.com"),
         QStringLiteral("brivane"), QStringLiteral("firmware"), QStringLiteral("-1")},
    };
}

QString CloudAWS::storeConfigPath()
{
    const QString fromEnvironment = qEnvironmentVariable(storeConfigVariable);
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
           QStringLiteral("/store.ini");
}

void CloudAWS::loadStoreConfiguration()
{
    const QString path = storeConfigPath();
    const QFileInfo file(path);
    if (!file.exists()) {
        qCWarning(brivaneSetup).noquote()
            << "store configuration" << path << "not found: the store is used without credentials";
        return;
    }
    // QSettings reads what it can and reports nothing for a file it cannot
    // open, so that is checked first.
    QFile readable(path);
    if (!file.isFile() || !readable.open(QIODevice::ReadOnly)) {
        qCWarning(brivaneSetup).noquote() << "store configuration" << path << "could not be read";
        return;
    }
    readable.close();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        qCWarning(brivaneSetup).noquote() << "store configuration" << path << "could not be read";
        return;
    }
    configPath = path;

    const QList<S3ConfigKey> configurableKeys{AccessKeyID, SecretAccessKey, S3Url, BucketName,
                                              StoreDir};
    for (int profileIndex = 0; profileIndex < profiles.size(); ++profileIndex) {
        settings.beginGroup(QStringLiteral("profile%1").arg(profileIndex));
        for (S3ConfigKey key : configurableKeys) {
            const QString name = configKeyName(key);
            // The INI reader splits values at commas; a value is one text.
            if (settings.contains(name))
                profiles[profileIndex][key] =
                    settings.value(name).toStringList().join(QLatin1Char(',')).trimmed();
        }
        settings.endGroup();
        if (profiles[profileIndex][AccessKeyID].isEmpty() ||
            profiles[profileIndex][SecretAccessKey].isEmpty())
            qCWarning(brivaneSetup).noquote()
                << "store configuration" << path << "has no credentials for"
                << QStringLiteral("[profile%1]").arg(profileIndex);
    }

    const QString caFile = settings.value(QStringLiteral("tls/CaCertificates")).toString();
    if (!caFile.isEmpty()) {
        const QString caPath = QFileInfo(caFile).isAbsolute()
                                   ? caFile
                                   : QFileInfo(path).absoluteDir().filePath(caFile);
        extraCaCertificates = QSslCertificate::fromPath(caPath, QSsl::Pem);
        if (extraCaCertificates.isEmpty())
            qCWarning(brivaneSetup).noquote() << "no CA certificate could be read from" << caPath;
    }
}

int CloudAWS::currentIndex() const
{
    return index.loadAcquire();
}

bool CloudAWS::isProfileIndex(int profileIndex) const
{
    return profileIndex >= 0 && profileIndex < profiles.size();
}

int CloudAWS::profileCount() const
{
    return profiles.size();
}

QString CloudAWS::profileHost(int profileIndex) const
{
    return isProfileIndex(profileIndex) ? profiles.at(profileIndex).at(S3Url) : QString();
}

QByteArray CloudAWS::bucketName(int profileIndex) const
{
    return isProfileIndex(profileIndex) ? profiles.at(profileIndex).at(BucketName).toLocal8Bit()
                                        : QByteArray();
}

QString CloudAWS::objectKey(int profileIndex, const QString &name) const
{
    if (!isProfileIndex(profileIndex))
        return QString();
    const QString storeDir =
        QString::fromLocal8Bit(profiles.at(profileIndex).at(StoreDir).toLocal8Bit());
    return QStringLiteral("%1/%2").arg(storeDir, name);
}

QtS3 CloudAWS::createClient(int profileIndex) const
{
    const QStringList &profile = profiles.at(profileIndex);
    QtS3 client(profile.at(AccessKeyID), profile.at(SecretAccessKey), profile.at(S3Url));
    if (!extraCaCertificates.isEmpty())
        client.setExtraCaCertificates(extraCaCertificates);
    return client;
}

void CloudAWS::setPingClock(MillisecondClock clock)
{
    pingClock = std::move(clock);
}

QByteArray CloudAWS::download(const QString &name)
{
    return download(name, nullptr);
}

QByteArray CloudAWS::download(const QString &name, bool *succeeded, QString *failure)
{
    if (succeeded)
        *succeeded = false;
    const int profileIndex = currentIndex();
    if (profileIndex == -1) {
        qWarning() << "Error: waiting S3 init finished!";
        if (failure)
            *failure = QStringLiteral("no store profile chosen yet");
        return QByteArray();
    }
    if (!isProfileIndex(profileIndex)) {
        qWarning() << "Error: no store profile" << profileIndex;
        if (failure)
            *failure = QStringLiteral("no store profile %1").arg(profileIndex);
        return QByteArray();
    }

    const QByteArray bucket = bucketName(profileIndex);
    const QString key = objectKey(profileIndex, name);
    const QtS3 client = createClient(profileIndex);
    const QtS3Reply reply = askWithRetries(
        downloadRetries, [&]() { return client.getObject(bucket, key); },
        []() { qDebug() << "try download more once..."; });
    if (!reply.isSuccess()) {
        qWarning().noquote() << "Error: download the file may not exists!" << key;
        if (failure)
            *failure = describeFailure(reply);
        return QByteArray();
    }
    if (succeeded)
        *succeeded = true;
    return reply.data();
}

CloudAWS::FetchResult CloudAWS::fetch(const QString &name)
{
    FetchResult result;
    const int profileIndex = currentIndex();
    if (!isProfileIndex(profileIndex)) {
        result.failure = QStringLiteral("no store profile chosen");
        return result;
    }
    const QtS3 client = createClient(profileIndex);
    const QByteArray bucket = bucketName(profileIndex);
    const QString key = objectKey(profileIndex, name);
    const QtS3Reply reply =
        askWithRetries(downloadRetries, [&]() { return client.getObject(bucket, key); });
    if (reply.errorCode() == QtS3Reply::NoSuchKeyError) {
        result.succeeded = true;
        result.absent = true;
        return result;
    }
    if (!reply.isSuccess()) {
        result.failure = describeFailure(reply);
        qWarning().noquote() << "Error: download failed" << key << result.failure;
        return result;
    }
    result.succeeded = true;
    result.content = reply.data();
    result.etag = reply.rawHeader("ETag");
    return result;
}

CloudAWS::ConditionalOutcome CloudAWS::uploadIfUnchanged(const QString &name,
                                                         const QByteArray &content,
                                                         const QByteArray &etag, QString *failure)
{
    const int current = currentIndex();
    if (!isProfileIndex(current)) {
        if (failure)
            *failure = QStringLiteral("no store profile chosen");
        return ConditionalOutcome::Failed;
    }
    const QString condition = etag.isEmpty()
                                  ? QStringLiteral("If-None-Match: *")
                                  : QStringLiteral("If-Match: %1").arg(QString::fromLatin1(etag));
    const QtS3 client = createClient(current);
    const QByteArray bucket = bucketName(current);
    const QString key = objectKey(current, name);
    const QtS3Reply reply = askWithRetries(
        uploadRetries, [&]() { return client.putObject(bucket, key, content, {condition}); });
    // 412: someone else stored the object since it was read; 409: a
    // conditional write racing another one on the same key.
    if (reply.httpStatus() == 412 || reply.httpStatus() == 409) {
        qDebug().noquote() << "conditional upload lost a race:" << key;
        return ConditionalOutcome::Conflict;
    }
    if (!reply.isSuccess()) {
        if (failure)
            *failure = describeFailure(reply);
        return ConditionalOutcome::Failed;
    }
    for (int profileIndex = 0; profileIndex < profiles.size(); ++profileIndex) {
        if (profileIndex == current)
            continue;
        const QtS3 other = createClient(profileIndex);
        const QtS3Reply copy = askWithRetries(uploadRetries, [&]() {
            return other.putObject(bucketName(profileIndex), objectKey(profileIndex, name), content,
                                   {});
        });
        if (!copy.isSuccess()) {
            if (failure)
                *failure =
                    QStringLiteral("profile %1: %2").arg(profileIndex).arg(describeFailure(copy));
            return ConditionalOutcome::Failed;
        }
    }
    return ConditionalOutcome::Stored;
}

bool CloudAWS::upload(const QString &name, const QByteArray &content, const QStringList &headers)
{
    return upload(name, content, headers, nullptr);
}

bool CloudAWS::upload(const QString &name, const QByteArray &content, const QStringList &headers,
                      QList<bool> *profileResults, QStringList *profileFailures)
{
    QList<bool> results;
    QStringList failures;
    for (int profileIndex = 0; profileIndex < profiles.size(); ++profileIndex) {
        const QByteArray bucket = bucketName(profileIndex);
        const QString key = objectKey(profileIndex, name);
        const QtS3 client = createClient(profileIndex);
        const QtS3Reply reply = askWithRetries(
            uploadRetries, [&]() { return client.putObject(bucket, key, content, headers); },
            [&]() { qDebug().noquote() << "try upload more once..." << key; });
        results.append(reply.isSuccess());
        failures.append(reply.isSuccess() ? QString() : describeFailure(reply));
    }
    qDebug() << "upload results:" << results;
    if (profileResults)
        *profileResults = results;
    if (profileFailures)
        *profileFailures = failures;
    return !results.contains(false);
}

bool CloudAWS::ping(PingPolicy policy)
{
    qDebug() << "CloudAWS::ping...";
    const bool answeredOnly = policy == PingPolicy::AnsweredOnly;
    int best = answeredOnly ? -1 : 0;
    qint64 fastestMs = -1;
    bool anyAnswered = false;
    bool fastEnough = false;
    for (int pass = 0; pass < pingPasses && !fastEnough; ++pass) {
        for (int profileIndex = 0; profileIndex < profiles.size() && !fastEnough; ++profileIndex) {
            const qint64 startMs = pingClock();
            qint64 elapsedMs = 0;
            bool answered = false;
            {
                const QtS3 client = createClient(profileIndex);
                // Any answer of the store counts (a missing or forbidden key
                // too); only its time is compared.
                answered = client
                               .headObject(bucketName(profileIndex),
                                           profiles.at(profileIndex).at(StoreDir))
                               .isSuccess();
                elapsedMs = pingClock() - startMs;
            }
            qDebug() << "ping:" << profileIndex + 1 << "delay" << elapsedMs << "ms";
            emit pingMeasured(pass, profileIndex, elapsedMs, answered);
            anyAnswered = anyAnswered || answered;
            if (answeredOnly && !answered)
                continue;
            if (fastestMs < 0) {
                fastestMs = elapsedMs;
                if (answeredOnly)
                    best = profileIndex;
            } else if (elapsedMs < fastestMs) {
                fastestMs = elapsedMs;
                best = profileIndex;
            }
            fastEnough = fastestMs < pingStopBelowMs;
        }
    }
    if (best < 0)
        return false; // nothing answered: the current choice stays
    if (best != currentIndex()) {
        index.storeRelease(best);
        emit currentIndexChanged(best);
    }
    Global::instance()->writeConfig(Global::CloudDefaultIndex, best);
    return anyAnswered;
}
