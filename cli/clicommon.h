#pragma once

class QCommandLineParser;

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Entry points of the commands of brivane-fwtool. Each takes the arguments
// after the command name and returns the process exit status.
int runDevicesCommand(const QStringList &arguments);
int runDeviceCommand(const QString &command, const QStringList &arguments); // info, update, ...
int runPackageInfoCommand(const QStringList &arguments);
int runStoreCommand(const QStringList &arguments);
int runCatalogueCommand(const QStringList &arguments); // list, publish, edit, remove, order
int runEmulatorCommand(const QStringList &arguments);

namespace Cli {
// Exit statuses of every command.
enum ExitStatus { exitSuccess = 0, exitFailure = 1, exitUsage = 2 };
// Prints one line to stderr and returns exitFailure.
int fail(const QString &message);
// Prints one line to stderr and returns exitUsage.
int usageError(const QString &message);
void printLine(const QString &text);
// Prints a command's help with "brivane-fwtool <command>" in its usage line
// instead of the path the program was started from.
void printHelp(const QCommandLineParser &parser, const QString &command);
void printJson(const QJsonObject &object);
void printJson(const QJsonArray &array);
// True when stderr is a terminal (progress bars are drawn only there).
bool stderrIsTerminal();
// Draws or updates a progress bar on stderr (fraction 0..1); a no-op when
// stderr is not a terminal.
void drawProgress(double fraction);
void endProgress();
// Installs the emulated HID backend when BRIVANE_EMULATOR names a folder.
// Returns false (after printing the reason) when the folder cannot be used.
bool setupHidBackendFromEnvironment();
} // namespace Cli
