// What goes wrong during an update: an adapter unplugged in the middle ends
// the update with the device's own error message, the controller idle and the
// progress at 0, and after plugging it in again the next update succeeds; a
// device dropped by Back or a new selection while a worker uses it lives
// until the worker is done with it; a worker that finds no device does
// nothing; a damaged or incomplete download is never flashed nor cached; and
// a catalogue entry whose version or download name could leave the cache or
// the store's folder is refused before anything is downloaded or written.

#include "controllerfixture.h"

#include "basedevice.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

using namespace ControllerTests;

class ControllerFaultsTest : public QObject, ControllerFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void cleanupTestCase() { tearDownTestCase(); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void adapterUnpluggedDuringUpdate_data();
    void adapterUnpluggedDuringUpdate();
    void deviceDroppedDuringUpdate_data();
    void deviceDroppedDuringUpdate();
    void workersWithoutDeviceDoNothing();
    void damagedDownloadIsNeverFlashed_data();
    void damagedDownloadIsNeverFlashed();
    void entriesThatLeaveTheCacheAreRefused_data();
    void entriesThatLeaveTheCacheAreRefused();

private:
    int countGetRequests();
};

int ControllerFaultsTest::countGetRequests()
{
    int gets = 0;
    for (const LocalS3Server::SeenRequest &request : server.requests())
        gets += request.method == QLatin1String("GET") ? 1 : 0;
    return gets;
}

void ControllerFaultsTest::adapterUnpluggedDuringUpdate_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("unplugAtReport");
    // A T5 update takes about 1,050 requests, an M7 update of this package
    // about 110; both leave while the flash is written.
    QTest::newRow("T5") << int(T5) << 300;
    QTest::newRow("M7") << int(M7) << 60;
}

void ControllerFaultsTest::adapterUnpluggedDuringUpdate()
{
    QFETCH(int, model);
    QFETCH(int, unplugAtReport);
    const ModelCase expected = modelCase(model);
    QVERIFY(publish(expected));
    EmulatedAdapter *adapter = plugModel(model);
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(model));
    QPointer<BaseDevice> device = controller->currentDevice();
    QSignalSpy deviceErrors(device, &BaseDevice::error);
    QSignalSpy deviceProgress(device, &BaseDevice::progressChanged);
    EmulatedAdapter::Faults faults;
    faults.unplugAtReport = adapter->reportsReceived() + unplugAtReport;
    adapter->setFaults(faults);

    QFuture<bool> update = controller->startUpdate();
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    update.waitForFinished();
    QVERIFY(!backend->isPlugged(adapter));
    QVERIFY(deviceProgress.count() > 0);
    QCOMPARE(deviceProgress.last().at(0).toDouble(), 0.0);
    QVERIFY(!controller->busying());
    QVERIFY(!deviceErrors.isEmpty());
    if (model == T5) {
        // The T5 that left is dropped, and destroyed once the worker let go.
        QTRY_COMPARE(controller->currentDeviceIndex(), 0);
        QVERIFY(!controller->currentDevice());
        QTRY_VERIFY(!device);
    } else {
        // The hot-plug does not recognise an M7: it stays the current model.
        QCOMPARE(controller->currentDeviceIndex(), int(M7));
        QCOMPARE(controller->currentDevice(), device.data());
        QVERIFY(device);
        QVERIFY(!device->busying());
        QCOMPARE(device->progress(), 0.0);
    }

    // Plugged in again (the M7 chosen again), the next update succeeds.
    adapter->setFaults({});
    plug(adapter);
    if (model == T5) {
        QTRY_COMPARE(controller->currentDeviceIndex(), int(T5));
        settle();
    } else {
        QVERIFY(enter(model));
    }
    QVERIFY(controller->currentDevice());
    QSignalSpy nextErrors(controller->currentDevice(), &BaseDevice::error);
    update = controller->startUpdate();
    controller->waitForWorkers();
    QVERIFY(update.result());
    QCOMPARE(textsOf(nextErrors), QStringList());
    QCOMPARE(adapter->flashContents().mid(expected.imageOffset, expected.image.size()),
             expected.image);
    QCOMPARE(controller->currentDevice()->version(), expected.version);
    QCOMPARE(controller->findChildren<BaseDevice *>().size(), 1);
}

void ControllerFaultsTest::deviceDroppedDuringUpdate_data()
{
    QTest::addColumn<bool>("enterAgain");
    QTest::addColumn<bool>("adapterLeaves");
    QTest::newRow("Back") << false << false;
    QTest::newRow("Enter again") << true << false;
    QTest::newRow("Back, then the adapter leaves") << false << true;
}

void ControllerFaultsTest::deviceDroppedDuringUpdate()
{
    QFETCH(bool, enterAgain);
    QFETCH(bool, adapterLeaves);
    const ModelCase expected = modelCase(M7);
    QVERIFY(publish(expected));
    EmulatedAdapter *adapter = plugM7();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(M7));
    // Slow replies keep the update running for a while.
    adapter->setReplyDelayMs(5);
    QPointer<BaseDevice> device = controller->currentDevice();
    QSignalSpy indexChanges(controller.get(), &FirmwareManage::currentDeviceIndexChanged);
    QSignalSpy deviceErrors(device, &BaseDevice::error);
    QSignalSpy deviceProgress(device, &BaseDevice::progressChanged);

    QFuture<bool> update = controller->startUpdate();
    QTRY_VERIFY(device->progress() > 0.0);
    if (enterAgain)
        controller->tryCurrentDeviceIndex(M7);
    else
        controller->disconectCurrentDevice();

    // Dropped at once: the window returns to the guide page...
    QCOMPARE(indexChanges.count(), 1);
    QCOMPARE(indexChanges.first().at(0).toInt(), 0);
    QVERIFY(!controller->currentDevice() || controller->currentDevice() != device);
    // ...while the worker still has the object it started with.
    QVERIFY(!update.isFinished());
    QVERIFY(device);
    if (adapterLeaves)
        unplug(adapter);

    controller->waitForWorkers();
    QCoreApplication::processEvents();
    QTRY_VERIFY(!device);
    QVERIFY(!controller->busying());
    if (adapterLeaves) {
        // The window no longer shows the dropped device: the controller
        // passes on the message that ended its update.
        QVERIFY(!deviceErrors.isEmpty());
        for (const QString &text : textsOf(deviceErrors))
            QVERIFY2(messages->errorTexts().contains(text), qPrintable(text));
        QCOMPARE(deviceProgress.last().at(0).toDouble(), 0.0);
        plug(adapter);
    }
    if (enterAgain) {
        QTRY_COMPARE(controller->currentDeviceIndex(), int(M7));
        QVERIFY(controller->currentDevice());
        settle();
        QCOMPARE(controller->findChildren<BaseDevice *>().size(), 1);
    } else {
        QCOMPARE(controller->currentDeviceIndex(), 0);
        QVERIFY(!controller->currentDevice());
        QVERIFY(controller->findChildren<BaseDevice *>().isEmpty());
        QVERIFY(enter(M7));
    }
    adapter->setReplyDelayMs(0);
    QSignalSpy nextErrors(controller->currentDevice(), &BaseDevice::error);
    update = controller->startUpdate();
    controller->waitForWorkers();
    QVERIFY(update.result());
    QCOMPARE(textsOf(nextErrors), QStringList());
}

void ControllerFaultsTest::workersWithoutDeviceDoNothing()
{
    QVERIFY(publish(modelCase(M7)));
    EmulatedAdapter *adapter = plugM7();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(M7));
    controller->disconectCurrentDevice();
    const int reports = adapter->reportsReceived();
    server.resetRequests();
    const QString backupPath = filesFolder->filePath(QStringLiteral("data.bkp"));
    const QString restorePath = writeFile(QStringLiteral("restore.bkp"), QByteArray("bkp"));

    QList<QFuture<bool>> operations{controller->startUpdate(), controller->startRestore(),
                                    controller->startDataBackup(backupPath),
                                    controller->startDataRestore(restorePath)};
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    for (const QFuture<bool> &operation : operations)
        QVERIFY(!operation.result());
    QVERIFY(!controller->busying());
    QCOMPARE(adapter->reportsReceived(), reports);
    QCOMPARE(countGetRequests(), 0);
    QVERIFY(!QFile::exists(backupPath));
    QCOMPARE(filesBelow(cacheDirectory()), QStringList());
}

void ControllerFaultsTest::damagedDownloadIsNeverFlashed_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("staleCachedFile");
    const QByteArray package = modelCase(T5).package;
    QByteArray flipped = package;
    flipped[2500] = char(flipped.at(2500) ^ 0x01);
    QTest::newRow("one bit changed") << flipped << false;
    QTest::newRow("cut short") << package.left(package.size() - 52) << false;
    QTest::newRow("empty object") << QByteArray() << false;
    QTest::newRow("one bit changed, stale file cached") << flipped << true;
}

void ControllerFaultsTest::damagedDownloadIsNeverFlashed()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, staleCachedFile);
    const ModelCase expected = modelCase(T5);
    QVERIFY(publish(expected));
    QVERIFY(putObject(QStringLiteral("T5_v5.6.0.bin"), stored));
    EmulatedAdapter *adapter = plugT5();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(T5));
    const QString cached = cachedPackagePath(t5ProductId, expected.version);
    if (staleCachedFile) {
        QVERIFY(QDir().mkpath(QFileInfo(cached).absolutePath()));
        QVERIFY(!TestSupport::writeWholeFile(cached, QByteArray("stale package")).isEmpty());
    }
    BaseDevice *device = controller->currentDevice();
    QSignalSpy deviceErrors(device, &BaseDevice::error);
    QSignalSpy deviceBusy(device, &BaseDevice::busyingChanged);
    const QByteArray flashBefore = adapter->flashContents();
    const int reportsBefore = adapter->reportsReceived();
    messages->clear();

    QFuture<bool> update = controller->startUpdate();
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(!update.result());
    QCOMPARE(countGets(QStringLiteral("T5_v5.6.0.bin")), 1);
    QCOMPARE(messages->errors().size(), 1);
    QCOMPARE(messages->errors().first().timeoutMs, messageTimeoutMs);
    QVERIFY(!QFile::exists(cached));
    // The device is not called.
    QCOMPARE(adapter->reportsReceived(), reportsBefore);
    QCOMPARE(adapter->flashContents(), flashBefore);
    QCOMPARE(deviceErrors.count(), 0);
    QVERIFY(!device->busying());
    QVERIFY(!controller->busying());
}

void ControllerFaultsTest::entriesThatLeaveTheCacheAreRefused_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("download");
    const QString version = QStringLiteral("5.6.0");
    const QString download = QStringLiteral("T5_v5.6.0.bin");
    QTest::newRow("version ../../x") << "../../x" << download;
    QTest::newRow("version ../../../escaped") << "../../../escaped" << download;
    QTest::newRow("version with a folder") << "5.6.0/../../x" << download;
    QTest::newRow("version with a line break") << "5.6.0\n" << download;
    QTest::newRow("version with a letter") << "v5.6.0" << download;
    QTest::newRow("download ../index.json") << version << "../index.json";
    QTest::newRow("download in a folder") << version << "beta/T5_v5.6.0.bin";
    QTest::newRow("download with a backslash") << version << "..\\T5_v5.6.0.bin";
    QTest::newRow("download ..") << version << "..";
    QTest::newRow("download with a control character") << version << "T5_v5.6.0\r.bin";
}

void ControllerFaultsTest::entriesThatLeaveTheCacheAreRefused()
{
    QFETCH(QString, version);
    QFETCH(QString, download);
    const ModelCase expected = modelCase(T5);
    QVERIFY(putObject(QStringLiteral("T5_v5.6.0.bin"), expected.package));
    QVERIFY(putCatalogue(QJsonObject{
        {QStringLiteral("T5"),
         QJsonArray{entry(version, QStringLiteral("bad"), md5Hex(expected.package), download)}}}));
    EmulatedAdapter *adapter = plugT5();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(T5));
    QCOMPARE(arrayOf(controller->firmwareInformation()).size(), 1);
    const QByteArray flashBefore = adapter->flashContents();
    const int reportsBefore = adapter->reportsReceived();
    server.resetRequests();
    messages->clear();

    QFuture<bool> update = controller->startUpdate();
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(!update.result());
    QCOMPARE(messages->errors().size(), 1);
    QCOMPARE(countGetRequests(), 0);
    QCOMPARE(adapter->reportsReceived(), reportsBefore);
    QCOMPARE(adapter->flashContents(), flashBefore);
    QCOMPARE(filesBelow(cacheDirectory()), QStringList());
    QVERIFY(
        !QFile::exists(QDir(cacheDirectory()).absoluteFilePath(QStringLiteral("../escaped.rfw"))));
    QVERIFY(!controller->busying());
}

QTEST_GUILESS_MAIN(ControllerFaultsTest)
#include "tst_controllerfaults.moc"
