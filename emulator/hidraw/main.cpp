// brivane-hidraw-emulator DIR: serves the emulated adapters of DIR (the
// folders BRIVANE_EMULATOR takes) as USB HID devices with /dev/hidraw
// nodes of a umockdev testbed, so that programs run with umockdev's
// preload library and UMOCKDEV_DIR use their real HID and udev code
// against them. A test tool: never installed, never linked into the
// programs that ship.
//
// Run it under umockdev-wrapper. Once the devices exist it prints
// "UMOCKDEV_DIR=<root>"; then it takes one command per line on standard
// input and answers each with one line: "unplug NAME", "plug NAME",
// "deny NAME" (the node stays but other users may not open it), "allow
// NAME", "nodes", "flush" (flash files written now), "quit". It ends on
// "quit" or at the end of its input. Stop the programs that use the nodes
// first: a client holding a node open when this process ends is aborted.

#include "emulatorbackend.h"
#include "hidrawserver.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

void answer(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 2 || arguments.at(1).startsWith(QLatin1Char('-'))) {
        std::fputs("usage: umockdev-wrapper brivane-hidraw-emulator DIR\n"
                   "Serves the emulated adapters of DIR (as for BRIVANE_EMULATOR) as hidraw "
                   "devices of a umockdev testbed.\n",
                   stderr);
        return 2;
    }

    EmulatorBackend backend;
    QString error;
    if (!backend.loadFolder(arguments.at(1), &error)) {
        std::fprintf(stderr, "brivane-hidraw-emulator: %s\n", qPrintable(error));
        return 1;
    }
    HidrawServer server(&backend);
    if (!server.start(&error)) {
        std::fprintf(stderr, "brivane-hidraw-emulator: %s\n", qPrintable(error));
        return 1;
    }
    answer(QStringLiteral("UMOCKDEV_DIR=%1").arg(server.rootDirectory()));

    QByteArray pending;
    QString quitAnswer;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&]() {
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, int(count));
        int end = 0;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            if (line.isEmpty())
                continue;
            bool quit = false;
            const QString reply = server.command(line, &quit);
            if (quit) {
                // Answered once the devices are gone and the flash is saved.
                quitAnswer = reply;
                input.setEnabled(false);
                QCoreApplication::quit();
                return;
            }
            answer(reply);
        }
    });
    const int status = application.exec();
    server.stop();
    if (!backend.flush(&error) && status == 0) {
        std::fprintf(stderr, "brivane-hidraw-emulator: %s\n", qPrintable(error));
        return 1;
    }
    if (!quitAnswer.isEmpty())
        answer(quitAnswer);
    return status;
}
