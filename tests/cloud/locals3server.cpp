#include "locals3server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QStandardPaths>

namespace {
constexpr int startTimeoutMs = 60000;
constexpr int commandTimeoutMs = 15000;
constexpr int probeTimeoutMs = 30000;
} // namespace

LocalS3Server::~LocalS3Server()
{
    stop();
}

bool LocalS3Server::hasPinnedVersions(const QString &python, QString *problem)
{
    if (python.isEmpty() || !QFileInfo(python).isExecutable()) {
        if (problem)
            *problem = QStringLiteral("%1: not an executable").arg(python);
        return false;
    }
    QProcess probe;
    probe.start(python, {QStringLiteral(BRIVANE_CLOUD_TEST_DIR "/check_test_python.py")});
    const bool answered = probe.waitForFinished(probeTimeoutMs);
    if (!answered)
        probe.kill();
    const bool suitable =
        answered && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    if (!suitable && problem)
        *problem = QString::fromLocal8Bit(probe.readAllStandardError()).trimmed();
    return suitable;
}

QString LocalS3Server::findPythonWithMoto()
{
    // Named by hand (or by scripts/test.sh): that one or none, so a wrong
    // choice is reported instead of silently replaced.
    const QString named = qEnvironmentVariable("BRIVANE_TEST_PYTHON");
    if (!named.isEmpty())
        return hasPinnedVersions(named) ? named : QString();

    const QString pyenvRoot = qEnvironmentVariableIsEmpty("PYENV_ROOT")
                                  ? QDir::homePath() + QStringLiteral("/.pyenv")
                                  : qEnvironmentVariable("PYENV_ROOT");
    QStringList candidates{QStandardPaths::findExecutable(QStringLiteral("python3"))};
    // A machine whose PATH lacks pyenv's shims still has its interpreters.
    const QDir versions(pyenvRoot + QStringLiteral("/versions"));
    for (const QString &version : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        candidates.append(versions.filePath(version + QStringLiteral("/bin/python3")));
    candidates.append(QStringLiteral("/usr/bin/python3"));
    const QString cache = qEnvironmentVariableIsEmpty("XDG_CACHE_HOME")
                              ? QDir::homePath() + QStringLiteral("/.cache")
                              : qEnvironmentVariable("XDG_CACHE_HOME");
    candidates.append(cache + QStringLiteral("/brivane-firmware-tool/test-venv/bin/python3"));
    for (const QString &candidate : candidates) {
        if (!candidate.isEmpty() && QFileInfo(candidate).isExecutable() &&
            hasPinnedVersions(candidate))
            return candidate;
    }
    return QString();
}

bool LocalS3Server::start(QString *error)
{
    const QString python = findPythonWithMoto();
    if (python.isEmpty()) {
        QString problem;
        const QString named = qEnvironmentVariable("BRIVANE_TEST_PYTHON");
        if (!named.isEmpty())
            hasPinnedVersions(named, &problem);
        *error = QStringLiteral("no python3 with the moto, boto3 and botocore versions of "
                                "tests/cloud/requirements.txt found%1; scripts/test.sh provides "
                                "one, or set BRIVANE_TEST_PYTHON")
                     .arg(problem.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(problem));
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
}

QList<QSslCertificate> LocalS3Server::caCertificates() const
{
    return QSslCertificate::fromPath(caFile(), QSsl::Pem);
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
        const QJsonValue contentLength = object.value(QStringLiteral("contentLength"));
        seen.append({object.value(QStringLiteral("method")).toString(),
                     object.value(QStringLiteral("host")).toString(),
                     object.value(QStringLiteral("path")).toString(),
                     contentLength.isString() ? contentLength.toString() : QString()});
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

void LocalS3Server::answerLocation(const QString &bucket, const QString &constraint)
{
    command(QStringLiteral("location %1 %2").arg(bucket, constraint));
}

void LocalS3Server::answerWithStream(const QString &path, int status, int sizeBytes, int chunkBytes,
                                     int intervalMs, bool announceLength)
{
    command(QStringLiteral("stream %1 %2 %3 %4 %5 %6")
                .arg(path)
                .arg(status)
                .arg(sizeBytes)
                .arg(chunkBytes)
                .arg(intervalMs)
                .arg(announceLength ? QStringLiteral("length") : QStringLiteral("chunked")));
}

void LocalS3Server::clearAnswers()
{
    command(QStringLiteral("clear-answers"));
}
