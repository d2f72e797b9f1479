// Starts like the program does, with the same guard and the same construction
// arguments, and reports on standard output what happens, so that a test in
// another process can follow it.
//
//   singleinstance_helper [--organization NAME] [--allow-secondary]
//
// --organization sets the organisation name before the guard is constructed,
// so that each test has an installation of its own. --allow-secondary lets a
// later start stay, to reach the primary with a message.
//
// Lines written: "primary <process id>" or "secondary" once the construction
// returned (a second start that hands over writes nothing and ends with 0),
// "instanceStarted", "showMessage <text>", "receivedMessage <instance> <hex>",
// "sendToPrimary true|false", "pong".
// Commands read from standard input: "send <text>", "ping", "quit"; the end of
// the input quits as well.

#include "global.h"
#include "singleapplication.h"
#include "startup.h"

#include <QByteArray>
#include <QSocketNotifier>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
void report(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void runCommand(SingleApplication &application, const QByteArray &command)
{
    if (command == "ping") {
        report("pong");
    } else if (command == "quit") {
        QCoreApplication::quit();
    } else if (command.startsWith("send ")) {
        const bool sent = application.sendToPrimary(command.mid(5), 2000);
        report(sent ? "sendToPrimary true" : "sendToPrimary false");
    }
}
} // namespace

int main(int argc, char *argv[])
{
    bool allowSecondary = Startup::allowSecondInstance;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--organization") == 0 && index + 1 < argc)
            QCoreApplication::setOrganizationName(QString::fromLocal8Bit(argv[++index]));
        else if (std::strcmp(argv[index], "--allow-secondary") == 0)
            allowSecondary = true;
    }

    SingleApplication application(argc, argv, allowSecondary, Startup::instanceGuardOptions,
                                  Startup::instanceHandOverTimeoutMs);
    Startup::setApplicationIdentity();
    report(application.runsAsSecondary()
               ? QByteArray("secondary")
               : "primary " + QByteArray::number(QCoreApplication::applicationPid()));

    Startup::connectInstanceGuard(application);
    QObject::connect(&application, &SingleApplication::instanceStarted,
                     []() { report("instanceStarted"); });
    QObject::connect(&application, &SingleApplication::receivedMessage,
                     [](quint32 instanceId, const QByteArray &message) {
                         report("receivedMessage " + QByteArray::number(instanceId) + ' ' +
                                message.toHex());
                     });
    QObject::connect(Global::instance(), &Global::showMessage,
                     [](const QString &text) { report("showMessage " + text.toUtf8()); });

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&]() {
        char buffer[512];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, int(count));
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray command = pending.left(end);
            pending.remove(0, end + 1);
            runCommand(application, command);
        }
    });
    return application.exec();
}
