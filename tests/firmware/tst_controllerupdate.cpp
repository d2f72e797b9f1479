// Updating an adapter through the controller, for each model: the chosen
// catalogue entry's package is downloaded into the package cache, checked
// against the entry's checksum and flashed; a cached package that matches is
// used again without any request to the store, one with other bytes is
// replaced; an upper-case checksum never matches the cache, so it downloads
// every time; a local firmware file is flashed as chosen; a local file
// without a version after a device change does not reach the device; and
// two update requests in quick succession run one after the other.

#include "controllerfixture.h"

#include "basedevice.h"
#include "testsupport.h"

#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

using namespace ControllerTests;

class ControllerUpdateTest : public QObject, ControllerFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void cleanupTestCase() { tearDownTestCase(); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void updateFromTheCatalogue_data();
    void updateFromTheCatalogue();
    void upperCaseChecksumDownloadsEveryTime();
    void updateFromALocalFile_data();
    void updateFromALocalFile();
    void localFileWithoutVersionAfterDeviceChange();
    void twoUpdatesRunOneAfterTheOther();
};

void ControllerUpdateTest::updateFromTheCatalogue_data()
{
    QTest::addColumn<int>("model");
    QTest::newRow("T5") << int(T5);
    QTest::newRow("M7") << int(M7);
    QTest::newRow("K3") << int(K3);
}

void ControllerUpdateTest::updateFromTheCatalogue()
{
    QFETCH(int, model);
    const ModelCase expected = modelCase(model);
    const QString download =
        QStringLiteral("%1_v%2.bin").arg(modelKeys.at(model - 1), expected.version);
    QVERIFY(publish(expected));
    EmulatedAdapter *adapter = plugModel(model);
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(model));
    QCOMPARE(arrayOf(controller->firmwareInformation()).size(), 1);
    BaseDevice *device = controller->currentDevice();
    QSignalSpy deviceErrors(device, &BaseDevice::error);
    QSignalSpy deviceBusy(device, &BaseDevice::busyingChanged);
    QSignalSpy busy(controller.get(), &FirmwareManage::busyingChanged);
    server.resetRequests();

    QFuture<bool> update = controller->startUpdate();
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(update.result());
    QCOMPARE(textsOf(deviceErrors), QStringList());
    QCOMPARE(messages->errorTexts(), QStringList());
    QCOMPARE(device->version(), expected.version);
    QCOMPARE(adapter->flashContents().mid(expected.imageOffset, expected.image.size()),
             expected.image);
    QCOMPARE(flagsOf(deviceBusy), (QList<bool>{true, false}));
    QCOMPARE(flagsOf(busy), (QList<bool>{true, false}));
    QVERIFY(!controller->busying());
    const QString cached = cachedPackagePath(expected.productId, expected.version);
    QCOMPARE(TestSupport::readWholeFile(cached), expected.package);
    QCOMPARE(countGets(download), 1);

    // Again: the cached package, no request to the store at all.
    server.resetRequests();
    const int reportsBefore = adapter->reportsReceived();
    update = controller->startUpdate();
    controller->waitForWorkers();
    QVERIFY(update.result());
    QCOMPARE(server.requests().size(), 0);
    QVERIFY(adapter->reportsReceived() - reportsBefore > expected.image.size() / 56);
    QCOMPARE(textsOf(deviceErrors), QStringList());

    // A cached file with other bytes is downloaded again and replaced.
    QVERIFY(!TestSupport::writeWholeFile(cached, QByteArray("other bytes")).isEmpty());
    server.resetRequests();
    update = controller->startUpdate();
    controller->waitForWorkers();
    QVERIFY(update.result());
    QCOMPARE(countGets(download), 1);
    QCOMPARE(TestSupport::readWholeFile(cached), expected.package);
    QCOMPARE(textsOf(deviceErrors), QStringList());
    QCOMPARE(adapter->flashContents().mid(expected.imageOffset, expected.image.size()),
             expected.image);
    QCOMPARE(filesBelow(cacheDirectory()), QStringList{cached});
}

void ControllerUpdateTest::upperCaseChecksumDownloadsEveryTime()
{
    const ModelCase expected = modelCase(M7);
    QVERIFY(publish(expected, md5Hex(expected.package).toUpper()));
    plugM7();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(M7));
    server.resetRequests();

    for (int run = 1; run <= 2; ++run) {
        QFuture<bool> update = controller->startUpdate();
        controller->waitForWorkers();
        QVERIFY(update.result());
        // The download itself is checked ignoring case; the cache is not.
        QCOMPARE(countGets(QStringLiteral("M7_v2.0.9.bin")), run);
    }
    QCOMPARE(messages->errorTexts(), QStringList());
    QCOMPARE(TestSupport::readWholeFile(cachedPackagePath(m7ProductId, expected.version)),
             expected.package);
}

void ControllerUpdateTest::updateFromALocalFile_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("version");
    QTest::newRow("T5") << int(T5) << "t5_v5.6.0.bin"
                        << "5.6.0";
    // The M7 and the K3 take their version from the package.
    QTest::newRow("M7") << int(M7) << "boot-2.10-final.bin"
                        << "2.10";
    QTest::newRow("K3") << int(K3) << "fw_v1.2.3.bin"
                        << "1.2.3";
}

void ControllerUpdateTest::updateFromALocalFile()
{
    QFETCH(int, model);
    QFETCH(QString, fileName);
    QFETCH(QString, version);
    const ModelCase expected = modelCase(model);
    EmulatedAdapter *adapter = plugModel(model);
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(model));
    const QString path = writeFile(fileName, expected.package);
    dialogs.answers.append(path);
    controller->openLocalFirmware();
    QCOMPARE(controller->localFirmwareVersion(), version);
    QVERIFY(controller->set_isLocalFirmware(true));
    QSignalSpy deviceErrors(controller->currentDevice(), &BaseDevice::error);
    server.resetRequests();

    QFuture<bool> update = controller->startUpdate();
    controller->waitForWorkers();

    QVERIFY(update.result());
    QCOMPARE(textsOf(deviceErrors), QStringList());
    QCOMPARE(adapter->flashContents().mid(expected.imageOffset, expected.image.size()),
             expected.image);
    QCOMPARE(controller->currentDevice()->version(), expected.version);
    QCOMPARE(server.requests().size(), 0);
    QCOMPARE(filesBelow(cacheDirectory()), QStringList());
    QVERIFY(!controller->busying());
}

void ControllerUpdateTest::localFileWithoutVersionAfterDeviceChange()
{
    const ModelCase expected = modelCase(M7);
    EmulatedAdapter *adapter = plugM7();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(M7));
    dialogs.answers.append(writeFile(QStringLiteral("m7_v2.0.9.bin"), expected.package));
    controller->openLocalFirmware();
    QCOMPARE(controller->localFirmwareVersion(), QStringLiteral("2.0.9"));

    // A new selection clears the local choice; the next file names no version.
    QVERIFY(enter(M7));
    QCOMPARE(controller->localFirmwareVersion(), QString());
    QCOMPARE(controller->localFirmwarePath(), QString());
    const QString path = writeFile(QStringLiteral("firmware.bin"), expected.package);
    dialogs.answers.append(path);
    controller->openLocalFirmware();
    QCOMPARE(controller->localFirmwarePath(), path);
    QCOMPARE(controller->localFirmwareVersion(), QString());
    QVERIFY(controller->set_isLocalFirmware(true));
    BaseDevice *device = controller->currentDevice();
    QSignalSpy deviceErrors(device, &BaseDevice::error);
    QSignalSpy deviceMessages(device, &BaseDevice::message);
    QSignalSpy deviceBusy(device, &BaseDevice::busyingChanged);
    const QByteArray flashBefore = adapter->flashContents();
    const int reportsBefore = adapter->reportsReceived();

    QFuture<bool> update = controller->startUpdate();
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(!update.result());
    QCOMPARE(adapter->reportsReceived(), reportsBefore);
    QCOMPARE(adapter->flashContents(), flashBefore);
    QCOMPARE(deviceErrors.count(), 0);
    QCOMPARE(deviceMessages.count(), 0);
    QVERIFY(!device->busying());
    QVERIFY(!controller->busying());
    QCOMPARE(messages->errorTexts(), QStringList());
}

void ControllerUpdateTest::twoUpdatesRunOneAfterTheOther()
{
    const ModelCase expected = modelCase(M7);
    QVERIFY(publish(expected));
    EmulatedAdapter *adapter = plugM7();
    // Each reply takes a little while, so the first update is still running
    // when the second is asked for.
    adapter->setReplyDelayMs(1);
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(M7));
    BaseDevice *device = controller->currentDevice();
    QSignalSpy deviceErrors(device, &BaseDevice::error);
    QSignalSpy deviceMessages(device, &BaseDevice::message);
    QSignalSpy deviceBusy(device, &BaseDevice::busyingChanged);
    QSignalSpy busy(controller.get(), &FirmwareManage::busyingChanged);

    controller->updateFirmware();
    controller->updateFirmware();
    QTRY_VERIFY(controller->busying());
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QCOMPARE(textsOf(deviceErrors), QStringList());
    QCOMPARE(textsOf(deviceMessages),
             (QStringList{QStringLiteral("Update OK!"), QStringLiteral("Update OK!")}));
    QCOMPARE(flagsOf(deviceBusy), (QList<bool>{true, false, true, false}));
    QCOMPARE(flagsOf(busy), (QList<bool>{true, false, true, false}));
    QCOMPARE(adapter->flashContents().mid(expected.imageOffset, expected.image.size()),
             expected.image);
    // One download; the second update found the package in the cache.
    QCOMPARE(countGets(QStringLiteral("M7_v2.0.9.bin")), 1);
}

QTEST_GUILESS_MAIN(ControllerUpdateTest)
#include "tst_controllerupdate.moc"
