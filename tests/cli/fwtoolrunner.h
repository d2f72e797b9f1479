#pragma once

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

// Runs the built brivane-fwtool the way a release script does: a separate
// process, its exit status, standard output and standard error.
namespace FwTool {

struct Result
{
    int status = -100; // -100: the program did not finish in time; -1: it crashed
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

// Runs the program with exactly this environment; a prefix (setpriv and its
// options, say) runs it through another program.
inline Result runWithEnvironment(const QProcessEnvironment &environment,
                                 const QStringList &arguments,
                                 const QString &workingDirectory = QString(),
                                 const QStringList &prefix = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    QElapsedTimer clock;
    clock.start();
    const QString program = QStringLiteral(BRIVANE_FWTOOL_PATH);
    if (prefix.isEmpty())
        process.start(program, arguments);
    else
        process.start(prefix.first(), prefix.mid(1) + QStringList{program} + arguments);
    Result result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.elapsedMs = clock.elapsed();
    // A crash leaves no exit code: Qt reports 0 for it, which would pass
    // for success.
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// A null emulatorFolder runs without BRIVANE_EMULATOR. Settings copies go to
// the working folder, never into the user's data folder.
inline Result run(const QStringList &arguments, const QString &emulatorFolder = QString(),
                  const QString &workingDirectory = QString(),
                  const QProcessEnvironment &extraEnvironment = QProcessEnvironment())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("BRIVANE_EMULATOR"));
    if (!emulatorFolder.isNull())
        environment.insert(QStringLiteral("BRIVANE_EMULATOR"), emulatorFolder);
    const QString copies = workingDirectory.isEmpty() ? QDir::tempPath() : workingDirectory;
    environment.insert(QStringLiteral("BRIVANE_SETTINGS_COPY_DIR"),
                       copies + QStringLiteral("/settings-copies"));
    for (const QString &key : extraEnvironment.keys())
        environment.insert(key, extraEnvironment.value(key));
    return runWithEnvironment(environment, arguments, workingDirectory);
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

inline QJsonObject jsonOf(const Result &result)
{
    return QJsonDocument::fromJson(result.out).object();
}

// A T5 image that starts like an STM32F4 application at the new-layout
// base: stack pointer at the end of 128 KiB SRAM (0x20020000), reset handler
// inside the image with the Thumb bit; filler derived from the seed.
inline QByteArray t5ApplicationImage(int lengthBytes, int seed)
{
    QByteArray image(lengthBytes, '\0');
    for (int index = 0; index < lengthBytes; ++index)
        image[index] = char((index * 7 + seed) & 0xFF);
    image.replace(0, 8, QByteArray::fromHex("0000022001020408"));
    return image;
}

inline QJsonObject deviceOf(const Result &result)
{
    return jsonOf(result).value(QStringLiteral("device")).toObject();
}

// A working folder whose emulator folder holds one adapter folder at a time,
// made by the tool's own "emulate create", as the model commands meet it.
class AdapterFolderFixture
{
protected:
    AdapterFolderFixture()
        : emulatorFolder(work.filePath(QStringLiteral("adapters"))),
          adapterFolder(emulatorFolder + QStringLiteral("/adapter"))
    {
    }

    Result run(const QStringList &arguments, bool withEmulator = true,
               const QProcessEnvironment &extraEnvironment = QProcessEnvironment()) const
    {
        // configs.ini is read from the working directory after an update.
        return FwTool::run(arguments, withEmulator ? emulatorFolder : QString(), work.path(),
                           extraEnvironment);
    }

    // Replaces whatever adapter there was.
    void createAdapter(const QString &model, const QStringList &extra = {}) const
    {
        QDir(emulatorFolder).removeRecursively();
        const Result created = run(QStringList{QStringLiteral("emulate"), QStringLiteral("create"),
                                               QStringLiteral("--model"), model,
                                               QStringLiteral("--out"), adapterFolder} +
                                       extra,
                                   false);
        QVERIFY2(created.status == 0, created.err.constData());
    }

    void removeAdapters() const
    {
        QDir(emulatorFolder).removeRecursively();
        QDir().mkpath(emulatorFolder);
    }

    void changeConfiguration(const QString &key, const QJsonValue &value) const
    {
        const QString path = adapterFolder + QStringLiteral("/adapter.json");
        QJsonObject configuration = QJsonDocument::fromJson(readAll(path)).object();
        configuration.insert(key, value);
        QVERIFY(writeAll(path, QJsonDocument(configuration).toJson()));
    }

    QByteArray flash() const { return readAll(adapterFolder + QStringLiteral("/flash.bin")); }

    // The path of the new file in the working folder; empty when it could not be written.
    QString writeFile(const QString &name, const QByteArray &bytes) const
    {
        const QString path = work.filePath(name);
        return writeAll(path, bytes) ? path : QString();
    }

    QTemporaryDir work;
    const QString emulatorFolder;
    const QString adapterFolder;
};

} // namespace FwTool
