#include "hidrawtestbed.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>

namespace {

constexpr int startTimeoutMs = 15000;
constexpr int stopTimeoutMs = 15000;

const QStringList preloadFolders{QStringLiteral("/usr/lib/x86_64-linux-gnu"),
                                 QStringLiteral("/usr/lib/aarch64-linux-gnu"),
                                 QStringLiteral("/usr/lib64"), QStringLiteral("/usr/lib")};

} // namespace

HidrawTestbed::~HidrawTestbed()
{
    if (isRunning())
        stop();
}

QString HidrawTestbed::unavailableReason()
{
    const QString server = QStringLiteral(BRIVANE_HIDRAW_EMULATOR_PATH);
    if (server.isEmpty())
        return QStringLiteral("brivane-hidraw-emulator was not built (umockdev-1.0 development "
                              "files missing: install libumockdev-dev)");
    if (!QFileInfo(server).isExecutable())
        return QStringLiteral("%1 is missing").arg(server);
    if (QStandardPaths::findExecutable(QStringLiteral("umockdev-wrapper")).isEmpty())
        return QStringLiteral("umockdev-wrapper not found (install umockdev)");
    const bool preloadFound =
        std::any_of(preloadFolders.begin(), preloadFolders.end(), [](const QString &folder) {
            return QFileInfo::exists(folder + QLatin1Char('/') + QLatin1String(preloadLibrary));
        });
    if (!preloadFound)
        return QStringLiteral("%1 not found (install umockdev)").arg(preloadLibrary);
    return QString();
}

bool HidrawTestbed::start(const QString &folder, QString *error)
{
    m_output.clear();
    m_diagnostics.clear();
    m_root.clear();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("BRIVANE_EMULATOR"));
    environment.remove(QStringLiteral("UMOCKDEV_DIR"));
    environment.remove(QStringLiteral("LD_PRELOAD"));
    m_process.setProcessEnvironment(environment);
    m_process.start(QStringLiteral("umockdev-wrapper"),
                    {QStringLiteral(BRIVANE_HIDRAW_EMULATOR_PATH), folder});
    const QString first = readLine(startTimeoutMs);
    if (!first.startsWith(QLatin1String("UMOCKDEV_DIR="))) {
        *error = QStringLiteral("the server did not start: '%1' %2")
                     .arg(first, QString::fromLocal8Bit(diagnostics()));
        m_process.kill();
        m_process.waitForFinished();
        return false;
    }
    m_root = first.mid(int(qstrlen("UMOCKDEV_DIR=")));
    return true;
}

QString HidrawTestbed::readLine(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        m_output.append(m_process.readAllStandardOutput());
        const int end = m_output.indexOf('\n');
        if (end >= 0) {
            const QString line = QString::fromLocal8Bit(m_output.left(end));
            m_output.remove(0, end + 1);
            return line;
        }
        const int remainingMs = int(timeoutMs - clock.elapsed());
        if (remainingMs <= 0 || m_process.state() == QProcess::NotRunning)
            return QString();
        m_process.waitForReadyRead(qMin(remainingMs, 200));
    }
}

QString HidrawTestbed::command(const QString &line, int timeoutMs)
{
    if (!isRunning())
        return QString();
    m_process.write(line.toLocal8Bit() + '\n');
    m_process.waitForBytesWritten(timeoutMs);
    return readLine(timeoutMs);
}

bool HidrawTestbed::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    const QString answer = command(QStringLiteral("quit"), stopTimeoutMs);
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(stopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished();
        return false;
    }
    diagnostics();
    return answer == QLatin1String("ok quit") && m_process.exitStatus() == QProcess::NormalExit &&
           m_process.exitCode() == 0;
}

bool HidrawTestbed::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

QByteArray HidrawTestbed::diagnostics()
{
    m_diagnostics.append(m_process.readAllStandardError());
    return m_diagnostics;
}

QProcessEnvironment HidrawTestbed::clientEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("BRIVANE_EMULATOR"));
    environment.insert(QStringLiteral("LD_PRELOAD"), QLatin1String(preloadLibrary));
    environment.insert(QStringLiteral("UMOCKDEV_DIR"), m_root);
    return environment;
}

namespace HidrawTest {

bool writeAdapterConfiguration(const QString &folder, const QJsonObject &configuration)
{
    QDir().mkpath(folder);
    QFile file(folder + QStringLiteral("/adapter.json"));
    const QByteArray bytes = QJsonDocument(configuration).toJson();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QJsonObject readAdapterConfiguration(const QString &folder)
{
    QFile file(folder + QStringLiteral("/adapter.json"));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool changeAdapterConfiguration(const QString &folder, const QString &key, const QJsonValue &value)
{
    QJsonObject configuration = readAdapterConfiguration(folder);
    if (configuration.isEmpty())
        return false;
    configuration.insert(key, value);
    return writeAdapterConfiguration(folder, configuration);
}

} // namespace HidrawTest
