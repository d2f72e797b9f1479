#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// The local store of the cloud tests and the download benchmark:
// s3_test_server.py (moto behind a TLS front with the real store names, and a
// CONNECT proxy), started and stopped by its user. See the script for what the
// front adds to moto.
class LocalS3Server
{
public:
    struct SeenRequest
    {
        QString method;
        QString host;
        QString path;
        QString contentLength; // null when the request carried none
    };

    struct Profile
    {
        QString region;
        QString host;
        QString accessKeyId;
        QString secretAccessKey;
    };

    LocalS3Server() = default;
    ~LocalS3Server();
    LocalS3Server(const LocalS3Server &) = delete;
    LocalS3Server &operator=(const LocalS3Server &) = delete;

    // Starts the script with a Python that has moto; false with a reason.
    bool start(QString *error);
    void stop();

    // Routes this process's network access through the proxy, as on a
    // machine behind a company proxy. The test CA is not trusted process-wide:
    // clients trust it as a configured extra CA (caCertificates(), or the
    // [tls] section of storeConfig()), as a self-hosted store's users do.
    void useFromThisProcess() const;

    int proxyPort() const { return ready.value(QStringLiteral("proxyPort")).toInt(); }
    QString caFile() const { return ready.value(QStringLiteral("caFile")).toString(); }
    QList<QSslCertificate> caCertificates() const;
    QString storeConfig() const { return ready.value(QStringLiteral("storeConfig")).toString(); }
    QString bucket() const { return ready.value(QStringLiteral("bucket")).toString(); }
    Profile profile(int index) const;
    QString workDirectory() const { return workDir ? workDir->path() : QString(); }

    // Commands of the front; each returns once the script has answered.
    QList<SeenRequest> requests();
    int countRequests(const QString &method, const QString &path);
    void resetRequests();
    void setRegionDelayMs(const QString &region, int delayMs);
    void setRequestIdHeader(bool on);
    void answerWithEmptyError(const QString &path, int status);
    void answerWithTextError(const QString &path, int status, const QString &text);
    void answerWithErrorDocument(const QString &path, int status, const QString &code,
                                 const QString &message);
    // The location lookup of the bucket answers with this LocationConstraint.
    void answerLocation(const QString &bucket, const QString &constraint);
    // Requests for the path get a body of sizeBytes, chunkBytes every
    // intervalMs, with its length announced or in chunked encoding.
    void answerWithStream(const QString &path, int status, int sizeBytes, int chunkBytes,
                          int intervalMs, bool announceLength);
    void clearAnswers();

    // An interpreter with the moto, boto3 and botocore versions pinned in
    // tests/cloud/requirements.txt: BRIVANE_TEST_PYTHON (which scripts/test.sh
    // sets), pyenv's, the system's, or the virtual environment scripts/test.sh
    // makes. Empty when none has them.
    static QString findPythonWithMoto();
    static bool hasPinnedVersions(const QString &python, QString *problem = nullptr);

private:
    QJsonValue command(const QString &line);
    QByteArray readLine(int timeoutMs);

    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<QProcess> process;
    QByteArray pendingOutput;
    QJsonObject ready;
};
