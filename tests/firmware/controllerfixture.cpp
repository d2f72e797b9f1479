#include "controllerfixture.h"

#include "basedevice.h"
#include "global.h"
#include "hidbackend.h"
#include "k3m7flashbuilder.h"
#include "packagecache.h"
#include "settingscopystore.h"
#include "testpackage.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <thread>

namespace ControllerTests {

QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QJsonObject entry(const QString &version, const QString &info, const QString &checksum,
                  const QString &download, const QString &datetime)
{
    return QJsonObject{
        {QStringLiteral("version"), version},   {QStringLiteral("url"), QString()},
        {QStringLiteral("info"), info},         {QStringLiteral("datetime"), datetime},
        {QStringLiteral("checksum"), checksum}, {QStringLiteral("download"), download}};
}

QJsonObject entryFor(const QString &modelKey, const QString &version, const QByteArray &package,
                     const QString &info)
{
    return entry(version, info, md5Hex(package),
                 QStringLiteral("%1_v%2.bin").arg(modelKey, version));
}

QByteArray compact(const QJsonObject &catalogue)
{
    return QJsonDocument(catalogue).toJson(QJsonDocument::Compact);
}

QJsonArray arrayOf(const QVariant &value)
{
    if (value.canConvert<QJsonArray>())
        return value.value<QJsonArray>();
    return QJsonArray::fromVariantList(value.toList());
}

QJsonObject objectOf(const QVariant &value)
{
    if (value.canConvert<QJsonObject>())
        return value.value<QJsonObject>();
    return QJsonObject::fromVariantMap(value.toMap());
}

QStringList checksumsOf(const QJsonArray &entries)
{
    QStringList checksums;
    for (const QJsonValue &value : entries)
        checksums.append(value.toObject().value(QStringLiteral("checksum")).toString());
    return checksums;
}

QByteArray t5Package(const QString &version, int sizeBytes, int seed)
{
    return T5Flash::image(sizeBytes, seed, T5Flash::imageBaseFor(version));
}

QByteArray k3Package(quint8 minor, quint8 patch, int sizeBytes, quint8 seed)
{
    return TestPackage::build(
        {"Brivane_K3", 3, minor, patch, TestPackage::patternImage(sizeBytes, seed)});
}

QByteArray m7Package(quint8 minor, quint8 patch, int sizeBytes, quint8 seed)
{
    return TestPackage::build(
        {"Brivane_M7", 2, minor, patch, TestPackage::patternImage(sizeBytes, seed)});
}

ModelCase modelCase(int model)
{
    ModelCase result;
    result.model = model;
    if (model == T5) {
        result.version = QStringLiteral("5.6.0");
        result.package = t5Package(result.version, 5000, 3);
        // The image and its end mark from sector 6 on.
        result.image = result.package + QByteArray::fromHex("55aa");
        result.imageOffset = T5Flash::sector6Offset;
        result.productId = t5ProductId;
    } else if (model == M7) {
        result.version = QStringLiteral("2.0.9");
        result.package = m7Package(0, 9, 5000, 0x37);
        result.image = TestPackage::patternImage(5000, 0x37);
        result.imageOffset = 0x10000;
        result.productId = m7ProductId;
    } else {
        result.version = QStringLiteral("3.10.250");
        result.package = k3Package(10, 250, 5000, 0x42);
        result.image = TestPackage::patternImage(5000, 0x42);
        result.imageOffset = 0x5000;
        result.productId = k3BootProductId;
    }
    return result;
}

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator iterator(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (iterator.hasNext())
        files.append(iterator.next());
    return files;
}

QStringList textsOf(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy)
        texts.append(arguments.at(0).toString());
    return texts;
}

QList<bool> flagsOf(const QSignalSpy &spy)
{
    QList<bool> flags;
    for (const QList<QVariant> &arguments : spy)
        flags.append(arguments.at(0).toBool());
    return flags;
}

// ---------------------------------------------------------------------------

MessageLog::MessageLog(FirmwareManage *controller)
{
    clock.start();
    // Direct: workers emit too, and the record must not wait for the loop.
    connect(
        controller, qOverload<QString, int>(&FirmwareManage::messageInfo), this,
        [this](const QString &text, int timeoutMs) {
            QMutexLocker locker(&lock);
            recordedInfos.append({text, timeoutMs, clock.elapsed()});
        },
        Qt::DirectConnection);
    connect(
        controller, qOverload<QString, int>(&FirmwareManage::messageError), this,
        [this](const QString &text, int timeoutMs) {
            QMutexLocker locker(&lock);
            recordedErrors.append({text, timeoutMs, clock.elapsed()});
        },
        Qt::DirectConnection);
}

QList<Message> MessageLog::infos() const
{
    QMutexLocker locker(&lock);
    return recordedInfos;
}

QList<Message> MessageLog::errors() const
{
    QMutexLocker locker(&lock);
    return recordedErrors;
}

QStringList MessageLog::infoTexts() const
{
    QStringList texts;
    for (const Message &message : infos())
        texts.append(message.text);
    return texts;
}

QStringList MessageLog::errorTexts() const
{
    QStringList texts;
    for (const Message &message : errors())
        texts.append(message.text);
    return texts;
}

int MessageLog::countErrors(const QString &text) const
{
    return errorTexts().count(text);
}

int MessageLog::countInfos(const QString &text) const
{
    return infoTexts().count(text);
}

void MessageLog::clear()
{
    QMutexLocker locker(&lock);
    recordedInfos.clear();
    recordedErrors.clear();
}

// ---------------------------------------------------------------------------

QString ScriptedDialogs::saveFileName(const QString &caption, const QString &folder,
                                      const QString &filter)
{
    return answer(caption, folder, filter);
}

QString ScriptedDialogs::openFileName(const QString &caption, const QString &folder,
                                      const QString &filter)
{
    return answer(caption, folder, filter);
}

QString ScriptedDialogs::answer(const QString &caption, const QString &folder,
                                const QString &filter)
{
    captions.append(caption);
    folders.append(folder);
    filters.append(filter);
    return answers.isEmpty() ? QString() : answers.takeFirst();
}

// ---------------------------------------------------------------------------

void ControllerFixture::setUpTestCase(QObject *owner)
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(workDirectory.isValid());
    // configs.ini lies in the working directory.
    QVERIFY(QDir::setCurrent(workDirectory.path()));
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    server.useFromThisProcess();
    // Read by every CloudAWS when it is made, the controller's included.
    qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
    backend = new EmulatorBackend(owner);
    HidBackend::install(backend);
    Global::instance();
    BridgeUSB::instance();
}

void ControllerFixture::tearDownTestCase()
{
    server.stop();
}

void ControllerFixture::setUp()
{
    QFile::remove(Global::configFileName());
    copiesFolder = std::make_unique<QTemporaryDir>();
    filesFolder = std::make_unique<QTemporaryDir>();
    qputenv(SettingsCopyStore::folderVariable, copiesFolder->path().toLocal8Bit());
    BridgeUSB::instance()->setReplyTimeoutMs(normalReplyTimeoutMs);
    // The cache outlives a program run; every test starts without one.
    const QString cache = cacheDirectory();
    QVERIFY2(cache.contains(QLatin1String(".qttest")), qPrintable(cache));
    QDir(cache).removeRecursively();
    server.clearAnswers();
    server.resetRequests();
    publisher = std::make_unique<CloudAWS>();
    // A store without a catalogue fails every synchronisation; tests that
    // need another one put theirs.
    QVERIFY(putCatalogue(QJsonObject{
        {QStringLiteral("K3"),
         QJsonArray{entry(QStringLiteral("3.0.0"), QStringLiteral("default"),
                          QString(32, QLatin1Char('0')), QStringLiteral("K3_v3.0.0.bin"))}}}));
    dialogs = ScriptedDialogs();
}

void ControllerFixture::tearDown()
{
    // Waits for the workers still running; their messages are still recorded.
    controller.reset();
    messages.reset();
    for (EmulatedAdapter *adapter : qAsConst(pluggedAdapters)) {
        adapter->setFaults({});
        unplug(adapter);
    }
    pluggedAdapters.clear();
    BridgeUSB::instance()->close();
    server.clearAnswers();
    server.setRegionDelayMs(QStringLiteral("cn-north-1"), 0);
    publisher.reset();
    // Deferred deletions of dropped devices.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool ControllerFixture::putObject(const QString &name, const QByteArray &bytes)
{
    return publisher->upload(name, bytes, {});
}

QByteArray ControllerFixture::getObject(const QString &name, bool *found)
{
    return publisher->download(name, found);
}

bool ControllerFixture::putCatalogue(const QJsonObject &catalogue)
{
    return putObject(QStringLiteral("index.json"), compact(catalogue));
}

bool ControllerFixture::publish(const ModelCase &modelCase, const QString &checksum)
{
    const QString key = modelKeys.at(modelCase.model - 1);
    QJsonObject published = entryFor(key, modelCase.version, modelCase.package, "new");
    if (!checksum.isNull())
        published.insert(QStringLiteral("checksum"), checksum);
    return putObject(published.value(QStringLiteral("download")).toString(), modelCase.package) &&
           putCatalogue(QJsonObject{{key, QJsonArray{published}}});
}

QJsonObject ControllerFixture::storedCatalogue()
{
    return QJsonDocument::fromJson(getObject(QStringLiteral("index.json"))).object();
}

QString ControllerFixture::storePath(const QString &name)
{
    return QStringLiteral("/firmware/") + name;
}

int ControllerFixture::countGets(const QString &name)
{
    return server.countRequests(QStringLiteral("GET"), storePath(name));
}

int ControllerFixture::countPuts(const QString &name)
{
    return server.countRequests(QStringLiteral("PUT"), storePath(name));
}

FirmwareManage *ControllerFixture::startController(FirmwareManage::Mode mode)
{
    controller = std::make_unique<FirmwareManage>(mode, nullptr);
    controller->setFileDialogs(&dialogs);
    messages = std::make_unique<MessageLog>(controller.get());
    return controller.get();
}

bool ControllerFixture::waitForStart()
{
    // The start timer has to fire before there is a worker to wait for.
    QTest::qWait(startDelayMs + 50);
    controller->waitForWorkers();
    return QTest::qWaitFor([this]() { return !controller->busying(); }, 5000);
}

bool ControllerFixture::enter(int model)
{
    controller->tryCurrentDeviceIndex(model);
    if (controller->currentDeviceIndex() != model || !controller->currentDevice())
        return false;
    settle();
    return true;
}

void ControllerFixture::settle()
{
    // A new model object pulses its busy flag 10 ms after it was made.
    QTest::qWait(20);
    if (BaseDevice *device = controller->currentDevice())
        device->waitForConnectionTask();
    controller->waitForWorkers();
    // Property changes of workers arrive queued.
    QCoreApplication::processEvents();
}

// A real hot-plug notification reaches the window through its event loop,
// never from inside a transport call. The emulator reports arrivals and
// departures on the thread that causes them, holding its emitter lock, so
// the tests plug and unplug on a thread of their own: the notification is
// queued to this thread and delivered here, after the emulator let go.
void ControllerFixture::onOtherThread(const std::function<void()> &action)
{
    std::thread thread(action);
    thread.join();
    QCoreApplication::sendPostedEvents();
}

EmulatedAdapter *ControllerFixture::plugModel(int model)
{
    if (model == T5)
        return plugT5();
    if (model == M7)
        return plugM7();
    return plugK3();
}

T5Adapter *ControllerFixture::plugT5(const T5Flash::AdapterState &state)
{
    auto adapter = std::make_unique<T5Adapter>(QStringLiteral("t5-%1").arg(++adapterCounter));
    adapter->setFlashContents(T5Flash::flash(state));
    return static_cast<T5Adapter *>(add(std::move(adapter)));
}

M7Adapter *ControllerFixture::plugM7(const QByteArray &flash)
{
    auto adapter = std::make_unique<M7Adapter>(QStringLiteral("m7-%1").arg(++adapterCounter));
    adapter->setChipId(QByteArray::fromHex("2d0047000c5133313934a6ff"));
    adapter->setFlashContents(flash.isEmpty() ? M7FlashBuilder().build() : flash);
    return static_cast<M7Adapter *>(add(std::move(adapter)));
}

K3Adapter *ControllerFixture::plugK3(const QByteArray &flash)
{
    auto adapter = std::make_unique<K3Adapter>(QStringLiteral("k3-%1").arg(++adapterCounter),
                                               K3Adapter::bootProductId, K3Adapter::bootProductId);
    adapter->setReenumerateAfterMs(0);
    adapter->setChipId(QByteArray::fromHex("3fff7a05484e353224600943"));
    adapter->setFlashContents(flash.isEmpty() ? K3FlashBuilder().build() : flash);
    return static_cast<K3Adapter *>(add(std::move(adapter)));
}

EmulatedAdapter *ControllerFixture::add(std::unique_ptr<EmulatedAdapter> adapter)
{
    adapter->resetCounters();
    EmulatedAdapter *added = nullptr;
    onOtherThread([&]() { added = backend->addAdapter(std::move(adapter)); });
    pluggedAdapters.append(added);
    return added;
}

void ControllerFixture::plug(EmulatedAdapter *adapter)
{
    onOtherThread([&]() { backend->plug(adapter); });
}

void ControllerFixture::unplug(EmulatedAdapter *adapter)
{
    onOtherThread([&]() { backend->unplug(adapter); });
}

void ControllerFixture::writeSettings(const QMap<QString, QString> &values)
{
    QSettings settings(Global::configFileName(), QSettings::IniFormat);
    settings.clear();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

QString ControllerFixture::cacheDirectory()
{
    return PackageCache::cacheDirectory();
}

QString ControllerFixture::cachedPackagePath(int productId, const QString &version)
{
    return QStringLiteral("%1/%2/%3/%4.rfw")
        .arg(cacheDirectory())
        .arg(vendorId)
        .arg(productId)
        .arg(version);
}

QString ControllerFixture::writeFile(const QString &name, const QByteArray &bytes)
{
    return TestSupport::writeWholeFile(filesFolder->filePath(name), bytes);
}

} // namespace ControllerTests
