#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
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

    // Routes this process's network access through the proxy and trusts the
    // test CA, as a machine behind a company proxy with its own CA would.
    void useFromThisProcess() const;

    int proxyPort() const { return ready.value(QStringLiteral("proxyPort")).toInt(); }
    QString caFile() const { return ready.value(QStringLiteral("caFile")).toString(); }
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

    static QString findPythonWithMoto();

private:
    QJsonValue command(const QString &line);
    QByteArray readLine(int timeoutMs);

    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<QProcess> process;
    QByteArray pendingOutput;
    QJsonObject ready;
};
