#include "clicommon.h"

#include "emulatorbackend.h"
#include "hidbackend.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

namespace Cli {

int fail(const QString &message)
{
    QTextStream err(stderr);
    err << "brivane-fwtool: " << message << '\n';
    return exitFailure;
}

int usageError(const QString &message)
{
    fail(message);
    return exitUsage;
}

void printLine(const QString &text)
{
    QTextStream out(stdout);
    out << text << '\n';
}

void printHelp(const QCommandLineParser &parser, const QString &command)
{
    QString text = parser.helpText();
    const QString programPath = QCoreApplication::arguments().value(0);
    const QString usagePrefix = QStringLiteral("Usage: ") + programPath;
    if (!programPath.isEmpty() && text.startsWith(usagePrefix))
        text.replace(0, usagePrefix.size(), QStringLiteral("Usage: brivane-fwtool ") + command);
    printLine(text.trimmed());
}

void printJson(const QJsonObject &object)
{
    QTextStream out(stdout);
    out << QJsonDocument(object).toJson(QJsonDocument::Indented);
}

void printJson(const QJsonArray &array)
{
    QTextStream out(stdout);
    out << QJsonDocument(array).toJson(QJsonDocument::Indented);
}

bool stderrIsTerminal()
{
    return isatty(fileno(stderr));
}

void drawProgress(double fraction)
{
    if (!stderrIsTerminal())
        return;
    constexpr int barWidthCharacters = 40;
    fraction = qBound(0.0, fraction, 1.0);
    const int filled = int(fraction * barWidthCharacters + 0.5);
    std::fprintf(stderr, "\r[%s%s] %3d%%", QByteArray(filled, '#').constData(),
                 QByteArray(barWidthCharacters - filled, ' ').constData(),
                 int(fraction * 100 + 0.5));
    std::fflush(stderr);
}

void endProgress()
{
    if (!stderrIsTerminal())
        return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

bool setupHidBackendFromEnvironment()
{
    if (!qEnvironmentVariableIsSet("BRIVANE_EMULATOR"))
        return true;
    // Lives for the rest of the process, like the system backend.
    static QString error;
    static EmulatorBackend *emulator = EmulatorBackend::fromEnvironment(&error);
    if (!emulator || !error.isEmpty()) {
        fail(QStringLiteral("BRIVANE_EMULATOR=%1 names no usable emulator folder: %2")
                 .arg(qEnvironmentVariable("BRIVANE_EMULATOR"), error));
        return false;
    }
    HidBackend::install(emulator);
    return true;
}

} // namespace Cli
