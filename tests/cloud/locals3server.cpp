#include "locals3server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>

namespace {
constexpr int startTimeoutMs = 60000;
constexpr int commandTimeoutMs = 15000;
} // namespace

LocalS3Server::~LocalS3Server()
{
    stop();
}

QString LocalS3Server::findPythonWithMoto()
{
    QStringList candidates{qEnvironmentVariable("BRIVANE_TEST_PYTHON"),
                           QStandardPaths::findExecutable(QStringLiteral("python3")),
                           QDir::homePath() + QStringLiteral("/.pyenv/shims/python3")};
    // A machine whose PATH lacks pyenv's shims still has its interpreters.
    const QDir versions(QDir::homePath() + QStringLiteral("/.pyenv/versions"));
    for (const QString &version : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        candidates.append(versions.filePath(version + QStringLiteral("/bin/python3")));
    for (const QString &candidate : candidates) {
        if (candidate.isEmpty() || !QFileInfo(candidate).isExecutable())
            continue;
        QProcess probe;
        probe.start(candidate, {QStringLiteral("-c"), QStringLiteral("import moto, boto3")});
        if (probe.waitForFinished(30000) && probe.exitStatus() == QProcess::NormalExit &&
            probe.exitCode() == 0)
            return candidate;
    }
    return QString();
}

bool LocalS3Server::start(QString *error)
{
    const QString python = findPythonWithMoto();
    if (python.isEmpty()) {
        *error = QStringLiteral("no python3 with moto and boto3 found (set BRIVANE_TEST_PYTHON)");
        return false;
    }
    // The script beside this file; the build knows where that is, so the test
    // also runs by hand, outside CTest.
    const QString script = QStringLiteral(BRIVANE_CLOUD_TEST_DIR "/s3_test_server.py");
    workDir = std::make_unique<QTemporaryDir>();
    process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The set-up talks to moto on loopback directly.
    for (const char *name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("no_proxy"), QStringLiteral("127.0.0.1,localhost"));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(python, {script, QStringLiteral("--workdir"), workDir->path()});
    if (!process->waitForStarted(startTimeoutMs)) {
        *error = QStringLiteral("could not start %1: %2").arg(python, process->errorString());
        return false;
    }
    const QByteArray line = readLine(startTimeoutMs);
    ready = QJsonDocument::fromJson(line).object();
    if (!ready.value(QStringLiteral("ready")).toBool()) {
        *error = QStringLiteral("the local store did not start: %1").arg(QString::fromUtf8(line));
        return false;
    }
    return true;
}

void LocalS3Server::stop()
{
    if (!process)
        return;
    if (process->state() == QProcess::Running) {
        process->write("quit\n");
        process->closeWriteChannel();
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    process.reset();
}

void LocalS3Server::useFromThisProcess() const
{
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), quint16(proxyPort())));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QSslCertificate::fromPath(caFile(), QSsl::Pem));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

LocalS3Server::Profile LocalS3Server::profile(int index) const
{
    const QJsonObject object =
        ready.value(QStringLiteral("profiles")).toArray().at(index).toObject();
    return {object.value(QStringLiteral("region")).toString(),
            object.value(QStringLiteral("host")).toString(),
            object.value(QStringLiteral("accessKeyId")).toString(),
            object.value(QStringLiteral("secretAccessKey")).toString()};
}

QByteArray LocalS3Server::readLine(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pendingOutput.contains('\n')) {
        const int leftMs = timeoutMs - int(timer.elapsed());
        if (leftMs <= 0 || process->state() != QProcess::Running)
            break;
        process->waitForReadyRead(leftMs);
        pendingOutput.append(process->readAllStandardOutput());
    }
    const int end = pendingOutput.indexOf('\n');
    if (end < 0)
        return QByteArray();
    const QByteArray line = pendingOutput.left(end);
    pendingOutput.remove(0, end + 1);
    return line;
}

QJsonValue LocalS3Server::command(const QString &line)
{
    if (!process || process->state() != QProcess::Running)
        return QJsonValue();
    process->write(line.toUtf8() + '\n');
    process->waitForBytesWritten(commandTimeoutMs);
    const QJsonDocument answer = QJsonDocument::fromJson(readLine(commandTimeoutMs));
    return answer.isArray() ? QJsonValue(answer.array()) : QJsonValue(answer.object());
}

QList<LocalS3Server::SeenRequest> LocalS3Server::requests()
{
    QList<SeenRequest> seen;
    const QJsonArray list = command(QStringLiteral("counts")).toArray();
    for (const QJsonValue &value : list) {
        const QJsonObject object = value.toObject();
        seen.append({object.value(QStringLiteral("method")).toString(),
                     object.value(QStringLiteral("host")).toString(),
                     object.value(QStringLiteral("path")).toString()});
    }
    return seen;
}

int LocalS3Server::countRequests(const QString &method, const QString &path)
{
    int count = 0;
    const QList<SeenRequest> seen = requests();
    for (const SeenRequest &request : seen) {
        if (request.method == method && request.path == path)
            ++count;
    }
    return count;
}

void LocalS3Server::resetRequests()
{
    command(QStringLiteral("reset"));
}

void LocalS3Server::setRegionDelayMs(const QString &region, int delayMs)
{
    command(QStringLiteral("delay %1 %2").arg(region).arg(delayMs));
}

void LocalS3Server::setRequestIdHeader(bool on)
{
    command(QStringLiteral("request-id %1").arg(on ? QStringLiteral("on") : QStringLiteral("off")));
}

void LocalS3Server::answerWithEmptyError(const QString &path, int status)
{
    command(QStringLiteral("empty-error %1 %2").arg(path).arg(status));
}

void LocalS3Server::answerWithErrorDocument(const QString &path, int status, const QString &code,
                                            const QString &message)
{
    command(QStringLiteral("error-document %1 %2 %3 %4").arg(path).arg(status).arg(code, message));
}

void LocalS3Server::answerWithTextError(const QString &path, int status, const QString &text)
{
    command(QStringLiteral("text-error %1 %2 %3").arg(path).arg(status).arg(text));
}
