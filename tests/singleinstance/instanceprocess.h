#pragma once

// One started instance of the helper (or of the program) and what it wrote.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

class InstanceProcess
{
public:
    struct Options
    {
        QString program;
        QStringList arguments;
        QString workingDirectory;
        // Runs the process under this user id and group id (needs root).
        std::optional<uid_t> userId;
        // Added to the test's own environment.
        QList<QPair<QString, QString>> environment;
    };

    explicit InstanceProcess(const Options &options);
    ~InstanceProcess();

    qint64 processId() const;
    // Waits for a line that starts with prefix, including lines already read.
    bool waitForLine(const QByteArray &prefix, int timeoutMs);
    // Waits until the instance has handled everything sent to it before.
    bool sync(int timeoutMs = 10000);
    int count(const QByteArray &line);
    QList<QByteArray> lines();
    QByteArray errorOutput();
    bool waitForErrorOutput(const QByteArray &text, int timeoutMs);
    void send(const QByteArray &command);
    // Asks the instance to quit and waits; true when it ended normally with 0.
    bool quit(int timeoutMs = 10000);
    // True when the process ended by itself normally with exit code 0.
    bool waitForCleanExit(int timeoutMs);
    void kill();

private:
    void readAvailable();

    QProcess *process;
    QByteArray pendingOutput;
    QList<QByteArray> outputLines;
    QByteArray errors;
    int pongs = 0;
};
