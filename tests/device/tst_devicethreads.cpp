// The device models under concurrency: operations that start while a
// connection read runs, an adapter replaced behind the model's back, reads
// of the properties while a worker writes them, device objects destroyed
// while their connection waits, and a second model connecting while the
// K3 looks for its boot loader. The user-interface thread must keep
// processing events throughout.

#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "global.h"
#include "hidbackend.h"
#include "k3adapter.h"
#include "k3device.h"
#include "k3m7flashbuilder.h"
#include "m7adapter.h"
#include "m7device.h"
#include "settingscopystore.h"
#include "t5adapter.h"
#include "t5adapterstates.h"
#include "t5device.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace T5Flash;

namespace {
constexpr int normalReplyTimeoutMs = 5000;
const QString serialText = QStringLiteral("0a1b2c3d4e5f60718293a4b5");
const QString otherSerialText = QStringLiteral("ffeeddccbbaa998877665544");

// Counts the turns of this thread's event loop while it is in use.
class EventLoopTicker : public QObject
{
public:
    EventLoopTicker()
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, [this]() { ++ticks; });
        timer.start();
    }
    int ticks = 0;

private:
    QTimer timer;
};
} // namespace

class DeviceThreadsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateStartedDuringConnectionReadWaitsForIt();
    void backupStartedDuringConnectionReadIsKeyedAndWhole();
    void adapterOpenedAgainIsReadAgain();
    void replacedAdapterReceivesNothing();
    void shortRepliesNeverBecomeData();
    void propertiesCanBeReadWhileAWorkerWrites();
    void connectionReadsKeepTheEventLoopTurning();
    void deviceDestroyedDuringItsSearchIsNotTouched();
    void otherModelConnectsDuringTheK3Search();

private:
    T5Adapter *plugT5(const AdapterState &state, const QString &name = QString());
    QString writeFile(const QString &name, const QByteArray &bytes);

    EmulatorBackend *backend = nullptr;
    QTemporaryDir workDirectory;
    std::unique_ptr<QTemporaryDir> copiesFolder;
    QList<EmulatedAdapter *> plugged;
    int counter = 0;
};

void DeviceThreadsTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(workDirectory.isValid());
    QVERIFY(QDir::setCurrent(workDirectory.path()));
    backend = new EmulatorBackend(this);
    HidBackend::install(backend);
    Global::instance();
}

void DeviceThreadsTest::init()
{
    copiesFolder = std::make_unique<QTemporaryDir>();
    qputenv(SettingsCopyStore::folderVariable, copiesFolder->path().toLocal8Bit());
    BridgeUSB::instance()->setReplyTimeoutMs(normalReplyTimeoutMs);
}

void DeviceThreadsTest::cleanup()
{
    BridgeUSB::instance()->close();
    for (EmulatedAdapter *adapter : qAsConst(plugged))
        backend->unplug(adapter);
    plugged.clear();
}

T5Adapter *DeviceThreadsTest::plugT5(const AdapterState &state, const QString &name)
{
    auto *adapter = backend->emplaceAdapter<T5Adapter>(
        name.isEmpty() ? QStringLiteral("t5-%1").arg(++counter) : name);
    adapter->setFlashContents(flash(state));
    plugged.append(adapter);
    return adapter;
}

QString DeviceThreadsTest::writeFile(const QString &name, const QByteArray &bytes)
{
    return TestSupport::writeWholeFile(workDirectory.filePath(name), bytes);
}

void DeviceThreadsTest::updateStartedDuringConnectionReadWaitsForIt()
{
    AdapterState state;
    state.bootMode = 3;
    T5Adapter *adapter = plugT5(state);
    // One millisecond a reply: the connection read takes most of a second.
    adapter->setReplyDelayMs(1);
    const QString path = writeFile(QStringLiteral("firmware.bin"), image(3000, 2));

    T5Device device;
    QSignalSpy errors(&device, &BaseDevice::error);
    QVERIFY(device.tryConnected());
    QFuture<void> update = QtConcurrent::run(
        [&device, path]() { device.updateFirmwareFile(path, QStringLiteral("5.6.0")); });
    QVERIFY(!device.stateIsCurrent()); // the read is still running
    update.waitForFinished();

    QCOMPARE(errors.count(), 0);
    QCOMPARE(device.version(), QStringLiteral("5.6.0"));
    // The user's settings, not a half-read or empty copy, went back.
    QByteArray expected = config(state);
    expected[1] = 5;
    expected[2] = 6;
    expected[3] = 0;
    putU32(&expected, 8, 3000);
    QCOMPARE(adapter->flashContents().mid(configOffset, configBytes), expected);
}

void DeviceThreadsTest::backupStartedDuringConnectionReadIsKeyedAndWhole()
{
    AdapterState state;
    state.macroRecords = macroRecord(150, 4, "combo", 3);
    state.macroCount = 1;
    T5Adapter *adapter = plugT5(state);
    adapter->setReplyDelayMs(1);
    const QString path = workDirectory.filePath(QStringLiteral("early.bkp"));

    T5Device device;
    QVERIFY(device.tryConnected());
    QFuture<void> backup = QtConcurrent::run([&device, path]() { device.dataBackupFile(path); });
    backup.waitForFinished();

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray body = backupBody(file.readAll(), serialText);
    QCOMPARE(body.size(), 246784);
    // The new layout's macro block is part of it.
    QCOMPARE(body.mid(0x1C000, 0x20000), adapter->flashContents().mid(0x20000, 0x20000));
}

void DeviceThreadsTest::adapterOpenedAgainIsReadAgain()
{
    AdapterState state;
    state.bootMode = 1;
    T5Adapter *adapter = plugT5(state);
    T5Device device;
    QVERIFY(device.tryConnected());
    device.waitForConnectionTask();
    QVERIFY(device.stateIsCurrent());

    // Unplugged and plugged again within the transport's retry, with its
    // boot mode changed by another program meanwhile; the transport opens
    // it again without the model having asked.
    backend->unplug(adapter);
    AdapterState changed = state;
    changed.bootMode = 4;
    adapter->setFlashContents(flash(changed));
    backend->plug(adapter);
    QVERIFY(BridgeUSB::instance()->open(3642, 0xB373, -1));
    QVERIFY(!device.stateIsCurrent());

    const QString path = writeFile(QStringLiteral("firmware.bin"), image(3000, 2));
    device.updateFirmwareFile(path, QStringLiteral("5.6.0"));
    // The mode the adapter holds now was carried over, not the one read first.
    QCOMPARE(quint8(adapter->flashContents().at(configOffset + 0x82)), quint8(4));
    QCOMPARE(device.bootMode(), 4);
}

void DeviceThreadsTest::replacedAdapterReceivesNothing()
{
    AdapterState first;
    first.bootMode = 1;
    T5Adapter *adapterA = plugT5(first, QStringLiteral("first"));
    T5Device device;
    QSignalSpy errors(&device, &BaseDevice::error);
    QVERIFY(device.tryConnected());
    device.waitForConnectionTask();
    QCOMPARE(device.serialNumber(), serialText);

    // Another T5 takes its place and the transport opens it.
    backend->unplug(adapterA);
    AdapterState second;
    second.serial = QByteArray::fromHex(otherSerialText.toLatin1());
    second.bootMode = 4;
    second.patch = 7;
    T5Adapter *adapterB = plugT5(second, QStringLiteral("second"));
    const QByteArray before = adapterB->flashContents();
    QVERIFY(BridgeUSB::instance()->open(3642, 0xB373, -1));

    const QString path = writeFile(QStringLiteral("firmware.bin"), image(3000, 2));
    device.updateFirmwareFile(path, QStringLiteral("5.6.0"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(),
             QStringLiteral("Another adapter was plugged in; check the adapter and try again!"));
    QCOMPARE(adapterB->erasesReceived(), 0);
    QCOMPARE(adapterB->writesReceived(), 0);
    QCOMPARE(adapterB->flashContents(), before);
    // The window now shows the adapter that is there.
    QCOMPARE(device.serialNumber(), otherSerialText);
    QVERIFY(!device.busying());
}

void DeviceThreadsTest::shortRepliesNeverBecomeData()
{
    AdapterState state;
    T5Adapter *adapter = plugT5(state);
    T5Device device;
    QSignalSpy errors(&device, &BaseDevice::error);
    QVERIFY(device.tryConnected());
    device.waitForConnectionTask();
    const QByteArray before = adapter->flashContents();
    // From now on every reply is cut to 40 bytes, and the model must read
    // again: it was opened again.
    EmulatedAdapter::Faults faults;
    faults.shortReplyBytes = 40;
    adapter->setFaults(faults);
    QVERIFY(BridgeUSB::instance()->open(3642, 0xB373, -1));

    const QString path = workDirectory.filePath(QStringLiteral("short.bkp"));
    device.dataBackupFile(path);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(errors.last().at(0).toString(),
             QStringLiteral("The adapter could not be read completely!"));

    device.applyBootMode(BaseDevice::SWITCH);
    QCOMPARE(errors.last().at(0).toString(),
             QStringLiteral("The adapter could not be read completely!"));
    QCOMPARE(adapter->flashContents(), before);
    QCOMPARE(device.bootMode(), 0);
}

void DeviceThreadsTest::propertiesCanBeReadWhileAWorkerWrites()
{
    AdapterState state;
    plugT5(state);
    const QString path = writeFile(QStringLiteral("firmware.bin"), image(60000, 2));
    T5Device device;
    QVERIFY(device.tryConnected());
    QFuture<void> work = QtConcurrent::run([&device, path]() {
        device.updateFirmwareFile(path, QStringLiteral("5.6.0"));
        device.updateFirmwareFile(path, QStringLiteral("5.6.1"));
    });
    // What the window does: read everything, all the time.
    int reads = 0;
    qint64 lengths = 0;
    while (!work.isFinished()) {
        lengths += device.version().size() + device.serialNumber().size() +
                   device.configBlock().size() + int(device.progress() * 10) + device.bootMode() +
                   device.firmwareEndMarkRead() + int(device.busying());
        ++reads;
    }
    QVERIFY(reads > 100);
    QVERIFY(lengths > 0);
    QCOMPARE(device.version(), QStringLiteral("5.6.1"));
}

void DeviceThreadsTest::connectionReadsKeepTheEventLoopTurning()
{
    M7FlashBuilder builder;
    auto *m7 = backend->emplaceAdapter<M7Adapter>(QStringLiteral("m7-slow"));
    m7->setFlashContents(builder.build());
    plugged.append(m7);
    // 20 ms a reply: the configuration read takes about a quarter second,
    // during which this thread keeps serving its events.
    m7->setReplyDelayMs(20);
    EventLoopTicker ticker;
    M7Device device;
    QVERIFY(device.tryConnected());
    QCOMPARE(device.version(), QStringLiteral("1.3.0"));
    QVERIFY2(ticker.ticks >= 5, qPrintable(QString::number(ticker.ticks)));
}

void DeviceThreadsTest::deviceDestroyedDuringItsSearchIsNotTouched()
{
    // The application identity returns as the boot loader only after the
    // 800 ms switch delay; the device goes away during the wait.
    auto *k3 = backend->emplaceAdapter<K3Adapter>(
        QStringLiteral("k3-app"), K3Adapter::applicationProductId, K3Adapter::bootProductId);
    k3->setFlashContents(K3FlashBuilder().build());
    plugged.append(k3);
    auto *device = new K3Device;
    QPointer<K3Device> guard(device);
    QTimer::singleShot(200, [device]() { delete device; });
    const bool connected = device->tryConnected();
    QVERIFY(!connected);
    QVERIFY(guard.isNull());
}

void DeviceThreadsTest::otherModelConnectsDuringTheK3Search()
{
    auto *k3 = backend->emplaceAdapter<K3Adapter>(
        QStringLiteral("k3-app2"), K3Adapter::applicationProductId, K3Adapter::bootProductId);
    k3->setFlashContents(K3FlashBuilder().build());
    plugged.append(k3);
    auto *m7 = backend->emplaceAdapter<M7Adapter>(QStringLiteral("m7"));
    m7->setFlashContents(M7FlashBuilder().build());
    plugged.append(m7);

    K3Device k3Device;
    M7Device m7Device;
    bool m7Connected = false;
    QElapsedTimer clock;
    clock.start();
    // While the K3 search waits for the boot loader, the M7 model connects
    // on this thread.
    QTimer::singleShot(300, [&]() { m7Connected = m7Device.tryConnected(); });
    k3Device.tryConnected();
    QTRY_VERIFY_WITH_TIMEOUT(m7Connected, 10000);
    QVERIFY(clock.elapsed() < 10000);
}

QTEST_GUILESS_MAIN(DeviceThreadsTest)
#include "tst_devicethreads.moc"
