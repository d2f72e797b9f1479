#include "instanceprocess.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>

#include <grp.h>
#include <unistd.h>

namespace {
// A process started under another user id; the switch happens in the child
// between fork and exec.
class ProcessAsUser : public QProcess
{
public:
    std::optional<uid_t> userId;

protected:
    void setupChildProcess() override
    {
        if (!userId)
            return;
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(*userId)) != 0 || ::setuid(*userId) != 0)
            ::_exit(97);
    }
};

int remainingMs(const QDeadlineTimer &deadline)
{
    return int(qMax<qint64>(0, deadline.remainingTime()));
}
} // namespace

InstanceProcess::InstanceProcess(const Options &options)
{
    auto *started = new ProcessAsUser();
    started->userId = options.userId;
    process = started;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    for (const auto &variable : options.environment)
        environment.insert(variable.first, variable.second);
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(options.workingDirectory);
    process->start(options.program, options.arguments);
    process->waitForStarted(10000);
}

InstanceProcess::~InstanceProcess()
{
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(10000);
    }
    delete process;
}

qint64 InstanceProcess::processId() const
{
    return process->processId();
}

void InstanceProcess::readAvailable()
{
    pendingOutput += process->readAllStandardOutput();
    errors += process->readAllStandardError();
    int end;
    while ((end = pendingOutput.indexOf('\n')) >= 0) {
        const QByteArray line = pendingOutput.left(end);
        pendingOutput.remove(0, end + 1);
        if (line == "pong")
            ++pongs;
        else
            outputLines.append(line);
    }
}

bool InstanceProcess::waitForLine(const QByteArray &prefix, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    forever
    {
        // Whatever an ended process wrote is still read once more.
        const bool ended = process->state() == QProcess::NotRunning;
        readAvailable();
        for (const QByteArray &line : qAsConst(outputLines)) {
            if (line.startsWith(prefix))
                return true;
        }
        if (deadline.hasExpired() || ended)
            return false;
        process->waitForReadyRead(qMin(remainingMs(deadline), 100));
    }
}

bool InstanceProcess::sync(int timeoutMs)
{
    readAvailable();
    const int expected = pongs + 1;
    send("ping");
    const QDeadlineTimer deadline(timeoutMs);
    while (pongs < expected) {
        if (deadline.hasExpired() || process->state() == QProcess::NotRunning)
            return false;
        process->waitForReadyRead(qMin(remainingMs(deadline), 100));
        readAvailable();
    }
    return true;
}

int InstanceProcess::count(const QByteArray &line)
{
    readAvailable();
    return int(outputLines.count(line));
}

QList<QByteArray> InstanceProcess::lines()
{
    readAvailable();
    return outputLines;
}

QByteArray InstanceProcess::errorOutput()
{
    readAvailable();
    return errors;
}

bool InstanceProcess::waitForErrorOutput(const QByteArray &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    forever
    {
        const bool ended = process->state() == QProcess::NotRunning;
        readAvailable();
        if (errors.contains(text))
            return true;
        if (deadline.hasExpired() || ended)
            return false;
        process->waitForReadyRead(qMin(remainingMs(deadline), 100));
    }
}

void InstanceProcess::send(const QByteArray &command)
{
    process->write(command + '\n');
    process->waitForBytesWritten(1000);
}

bool InstanceProcess::quit(int timeoutMs)
{
    send("quit");
    return waitForCleanExit(timeoutMs);
}

bool InstanceProcess::waitForCleanExit(int timeoutMs)
{
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(timeoutMs))
        return false;
    readAvailable();
    return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
}

void InstanceProcess::kill()
{
    process->kill();
    process->waitForFinished(10000);
    readAvailable();
}
