#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// brivane-hidraw-emulator run for a test: the emulated adapters of a folder
// as /dev/hidraw nodes of a umockdev testbed, driven through its control
// commands. Programs under test reach the nodes through umockdev's preload
// library and the testbed's UMOCKDEV_DIR, with no emulator of ours in them.
class HidrawTestbed
{
public:
    static constexpr const char *preloadLibrary = "libumockdev-preload.so.0";

    HidrawTestbed() = default;
    ~HidrawTestbed();
    HidrawTestbed(const HidrawTestbed &) = delete;
    HidrawTestbed &operator=(const HidrawTestbed &) = delete;

    // Why the tests cannot run on this machine, or empty.
    static QString unavailableReason();

    // Starts the server on an emulator folder; false (with the reason in
    // *error) when it did not report its testbed.
    bool start(const QString &folder, QString *error);
    // Sends one control command and returns its one-line answer (empty
    // when none came).
    QString command(const QString &line, int timeoutMs = 10000);
    // Ends the server with "quit" and returns whether it ended cleanly with
    // status 0. Programs using its nodes must have ended before.
    bool stop();
    bool isRunning() const;
    QString root() const { return m_root; }
    // Whatever the server wrote on standard error so far.
    QByteArray diagnostics();

    // The environment of a program under test: the system's HID and udev
    // libraries, redirected into the testbed; no emulator.
    QProcessEnvironment clientEnvironment() const;

private:
    QString readLine(int timeoutMs);

    QProcess m_process;
    QString m_root;
    QByteArray m_output;
    QByteArray m_diagnostics;
};

namespace HidrawTest {

// Writes adapter.json into folder (created as needed).
bool writeAdapterConfiguration(const QString &folder, const QJsonObject &configuration);
QJsonObject readAdapterConfiguration(const QString &folder);
// Changes one key of an adapter.json.
bool changeAdapterConfiguration(const QString &folder, const QString &key, const QJsonValue &value);

} // namespace HidrawTest
