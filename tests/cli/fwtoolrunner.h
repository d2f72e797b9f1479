#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the built brivane-fwtool the way a release script does: a separate
// process, its exit status, standard output and standard error.
namespace FwTool {

struct Result
{
    int status = -100; // -100: the program did not finish in time
    QByteArray out;
    QByteArray err;
};

// A null emulatorFolder runs without BRIVANE_EMULATOR.
inline Result run(const QStringList &arguments, const QString &emulatorFolder = QString(),
                  const QString &workingDirectory = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("BRIVANE_EMULATOR"));
    if (!emulatorFolder.isNull())
        environment.insert(QStringLiteral("BRIVANE_EMULATOR"), emulatorFolder);
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(BRIVANE_FWTOOL_PATH), arguments);
    Result result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.status = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

} // namespace FwTool
