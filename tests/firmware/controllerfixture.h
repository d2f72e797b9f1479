#pragma once

// What the controller tests share: the local store with a publisher's own
// client, emulated adapters on the real transport, a working folder with
// configs.ini, scripted file dialogs, a record of the controller's messages,
// and the values the tests expect, written down from the catalogue format,
// the package cache layout and the message tables.

#include "bridgeusb.h"
#include "cloudaws.h"
#include "emulatorbackend.h"
#include "firmwaremanage.h"
#include "k3adapter.h"
#include "locals3server.h"
#include "m7adapter.h"
#include "t5adapter.h"
#include "t5adapterstates.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class BaseDevice;

namespace ControllerTests {

inline constexpr int vendorId = 3642;
inline constexpr int t5ProductId = 45939;     // 0xB373
inline constexpr int m7ProductId = 46193;     // 0xB471
inline constexpr int k3BootProductId = 45685; // 0xB275
inline constexpr int normalReplyTimeoutMs = 3000;
inline constexpr int messageTimeoutMs = 3000;
inline constexpr int settingsMessageTimeoutMs = 30000;
inline constexpr int syncRetryDelayMs = 3000;
// The first synchronisation starts this long after construction.
inline constexpr int startDelayMs = 100;

// The message texts as the controller emits them without a translator.
namespace Text {
inline const QString connecting = QStringLiteral("The device is connecting...");
inline const QString notConnected =
    QStringLiteral("The device is not connected or has not entered upgrade mode as instructed");
inline const QString settingsError = QStringLiteral("App 'configs.ini' error!");
inline const QString networkError = QStringLiteral("The network error!");
inline const QString fileEmpty = QStringLiteral("The firmware file is empty!");
inline const QString uploadError = QStringLiteral("Upload firmware error!");
inline const QString uploadInfoError = QStringLiteral("Upload firmware info error!");
inline const QString uploadOk = QStringLiteral("Upload firmware OK!");
inline const QString uploadInfoOk = QStringLiteral("Upload firmware info OK!");
inline const QString editOk = QStringLiteral("Edit firmware OK!");
inline const QString editError = QStringLiteral("Edit firmware info error!");
inline const QString removeOk = QStringLiteral("Remove firmware OK!");
inline const QString removeError = QStringLiteral("Remove firmware info error!");
} // namespace Text

// Model key and Device value of each model.
inline const QStringList modelKeys{QStringLiteral("T5"), QStringLiteral("M7"),
                                   QStringLiteral("K3")};
enum Model { T5 = 1, M7 = 2, K3 = 3 };

QString md5Hex(const QByteArray &bytes);
QJsonObject entry(const QString &version, const QString &info, const QString &checksum,
                  const QString &download,
                  const QString &datetime = QStringLiteral("2024-01-02 03:04:05"));
// An entry for a package as publishing writes it: "<model>_v<version>.bin".
QJsonObject entryFor(const QString &modelKey, const QString &version, const QByteArray &package,
                     const QString &info = QString());
QByteArray compact(const QJsonObject &catalogue);
QJsonArray arrayOf(const QVariant &value);
QJsonObject objectOf(const QVariant &value);
QStringList checksumsOf(const QJsonArray &entries);

// Packages each model's update accepts.
QByteArray t5Package(const QString &version, int sizeBytes, int seed);
QByteArray k3Package(quint8 minor, quint8 patch, int sizeBytes, quint8 seed);
QByteArray m7Package(quint8 minor, quint8 patch, int sizeBytes, quint8 seed);

// One model's package and where its image lands in the adapter's flash.
struct ModelCase
{
    int model = T5;
    QString version;
    QByteArray package;
    QByteArray image;
    int imageOffset = 0; // in the flash contents
    int productId = 0;
};
ModelCase modelCase(int model);

QStringList filesBelow(const QString &folder);
QStringList textsOf(const QSignalSpy &spy);
QList<bool> flagsOf(const QSignalSpy &spy);

struct Message
{
    QString text;
    int timeoutMs;
    qint64 atMs; // since the log was made
};

// Every messageInfo and messageError of a controller, from any thread.
class MessageLog : public QObject
{
    Q_OBJECT
public:
    explicit MessageLog(FirmwareManage *controller);
    QList<Message> infos() const;
    QList<Message> errors() const;
    QStringList infoTexts() const;
    QStringList errorTexts() const;
    int countErrors(const QString &text) const;
    int countInfos(const QString &text) const;
    qint64 elapsedMs() const { return clock.elapsed(); }
    void clear();

private:
    mutable QMutex lock;
    QElapsedTimer clock;
    QList<Message> recordedInfos;
    QList<Message> recordedErrors;
};

// Answers the controller's file dialogs in order; an empty answer (or none
// left) is a cancel.
class ScriptedDialogs : public FileDialogs
{
public:
    QStringList answers;
    QStringList captions;
    QStringList filters;
    QStringList folders;
    QString saveFileName(const QString &caption, const QString &folder,
                         const QString &filter) override;
    QString openFileName(const QString &caption, const QString &folder,
                         const QString &filter) override;

private:
    QString answer(const QString &caption, const QString &folder, const QString &filter);
};

// A controller on the local store and emulated adapters. Test classes call
// setUp* and tearDown from their own initTestCase, init, cleanup and
// cleanupTestCase.
class ControllerFixture
{
protected:
    void setUpTestCase(QObject *owner);
    void tearDownTestCase();
    void setUp();
    void tearDown();

    // Objects of the store as a publisher sees them.
    bool putObject(const QString &name, const QByteArray &bytes);
    QByteArray getObject(const QString &name, bool *found = nullptr);
    bool putCatalogue(const QJsonObject &catalogue);
    // The package on the store and a catalogue whose only entry names it,
    // with another checksum when one is given.
    bool publish(const ModelCase &modelCase, const QString &checksum = QString());
    QJsonObject storedCatalogue();
    int countGets(const QString &name);
    int countPuts(const QString &name);
    static QString storePath(const QString &name);

    // The controller as the window (start timer, hot-plug) or the command
    // line uses it.
    FirmwareManage *startController(FirmwareManage::Mode mode);
    // Waits for the first synchronisation of a window controller.
    bool waitForStart();
    // Enter on the guide page; true when the model became current and its
    // state read and the synchronisation after it have finished.
    bool enter(int model);
    // The current device's state read and every worker have finished.
    void settle();

    EmulatedAdapter *plugModel(int model);
    T5Adapter *plugT5(const T5Flash::AdapterState &state = T5Flash::AdapterState());
    M7Adapter *plugM7(const QByteArray &flash = QByteArray());
    // A K3 that enumerates as its boot loader, so no 800 ms switch.
    K3Adapter *plugK3(const QByteArray &flash = QByteArray());
    void plug(EmulatedAdapter *adapter);
    void unplug(EmulatedAdapter *adapter);
    static void onOtherThread(const std::function<void()> &action);

    EmulatedAdapter *add(std::unique_ptr<EmulatedAdapter> adapter);

    static void writeSettings(const QMap<QString, QString> &values);
    // <cache>/<vendor>/<product>/<version>.rfw
    static QString cachedPackagePath(int productId, const QString &version);
    static QString cacheDirectory();
    QString writeFile(const QString &name, const QByteArray &bytes);

    LocalS3Server server;
    EmulatorBackend *backend = nullptr;
    QTemporaryDir workDirectory;
    std::unique_ptr<QTemporaryDir> copiesFolder;
    std::unique_ptr<QTemporaryDir> filesFolder;
    std::unique_ptr<CloudAWS> publisher;
    ScriptedDialogs dialogs;
    std::unique_ptr<FirmwareManage> controller;
    std::unique_ptr<MessageLog> messages;
    QList<EmulatedAdapter *> pluggedAdapters;
    int adapterCounter = 0;
};

} // namespace ControllerTests
