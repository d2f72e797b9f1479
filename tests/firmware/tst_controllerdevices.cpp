// Choosing the adapter: Enter with no adapter shows "connecting" and then
// "No Brivane Device found" and stays on the guide page, leaving no device
// object behind; only the three models can be chosen; a T5 plugged in becomes
// current without Enter and starts a synchronisation, and unplugging it
// returns to the guide page; unplugging an M7 only clears the local firmware
// choice; invalid settings in configs.ini are refused with the 30-second
// message before any adapter is touched; and the local firmware's version is
// taken from its file name.

#include "controllerfixture.h"

#include "basedevice.h"

#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

using namespace ControllerTests;

namespace {
using Settings = QMap<QString, QString>;
} // namespace

class ControllerDevicesTest : public QObject, ControllerFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void cleanupTestCase() { tearDownTestCase(); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void enterWithoutAdapter_data();
    void enterWithoutAdapter();
    void adapterWithoutPermissionIsNamed();
    void onlyTheThreeModelsCanBeChosen_data();
    void onlyTheThreeModelsCanBeChosen();
    void pluggedT5BecomesCurrent();
    void otherAdaptersOnlyClearTheLocalChoice();
    void settingsAreCheckedFirst_data();
    void settingsAreCheckedFirst();
    void localFirmwareVersionFromTheFileName_data();
    void localFirmwareVersionFromTheFileName();
    void localFirmwareDialogCancelled();

private:
    void chooseLocalFile(const QString &fileName);
};

void ControllerDevicesTest::chooseLocalFile(const QString &fileName)
{
    dialogs.answers.append(writeFile(fileName, QByteArray("firmware")));
    controller->openLocalFirmware();
}

void ControllerDevicesTest::enterWithoutAdapter_data()
{
    QTest::addColumn<int>("model");
    QTest::newRow("T5") << int(T5);
    QTest::newRow("M7") << int(M7);
    QTest::newRow("K3") << int(K3);
}

void ControllerDevicesTest::enterWithoutAdapter()
{
    QFETCH(int, model);
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QSignalSpy indexChanges(controller.get(), &FirmwareManage::currentDeviceIndexChanged);

    controller->tryCurrentDeviceIndex(model);

    QCOMPARE(messages->infos().size(), 1);
    QCOMPARE(messages->infos().first().text, Text::connecting);
    QCOMPARE(messages->infos().first().timeoutMs, messageTimeoutMs);
    QCOMPARE(messages->errors().size(), 1);
    QCOMPARE(messages->errors().first().text, Text::notConnected);
    QCOMPARE(messages->errors().first().timeoutMs, messageTimeoutMs);
    QVERIFY(messages->infos().first().atMs <= messages->errors().first().atMs);
    QCOMPARE(controller->currentDeviceIndex(), 0);
    QVERIFY(!controller->currentDevice());
    QCOMPARE(indexChanges.count(), 0);
    // The device that did not answer is not kept.
    QTRY_VERIFY(controller->findChildren<BaseDevice *>().isEmpty());
}

void ControllerDevicesTest::adapterWithoutPermissionIsNamed()
{
    T5Adapter *adapter = plugT5();
    EmulatedAdapter::Faults faults;
    faults.openDenied = true;
    adapter->setFaults(faults);
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());

    controller->tryCurrentDeviceIndex(T5);

    QCOMPARE(messages->errors().size(), 1);
    const QString text = messages->errors().first().text;
    QVERIFY2(text.contains(QStringLiteral("no permission")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("udev rule")), qPrintable(text));
    // The package to install, or the installed rule's path (which carries
    // the same name).
    QVERIFY2(text.contains(QStringLiteral("brivane-firmware-tool")), qPrintable(text));
    QVERIFY(text != Text::notConnected);
    QCOMPARE(controller->currentDeviceIndex(), 0);
}

void ControllerDevicesTest::onlyTheThreeModelsCanBeChosen_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("no model") << 0;
    QTest::newRow("past the models") << 4;
    QTest::newRow("negative") << -1;
}

void ControllerDevicesTest::onlyTheThreeModelsCanBeChosen()
{
    QFETCH(int, index);
    plugM7();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(M7));
    BaseDevice *const device = controller->currentDevice();
    chooseLocalFile(QStringLiteral("m7_v2.0.1.bin"));
    QVERIFY(controller->set_isLocalFirmware(true));
    messages->clear();
    const int reports = pluggedAdapters.last()->reportsReceived();

    controller->tryCurrentDeviceIndex(index);
    QTest::qWait(50);

    QCOMPARE(controller->currentDeviceIndex(), int(M7));
    QCOMPARE(controller->currentDevice(), device);
    QCOMPARE(controller->findChildren<BaseDevice *>().size(), 1);
    QVERIFY(messages->infos().isEmpty());
    QVERIFY(messages->errors().isEmpty());
    QVERIFY(controller->isLocalFirmware());
    QCOMPARE(controller->localFirmwareVersion(), QStringLiteral("2.0.1"));
    QCOMPARE(pluggedAdapters.last()->reportsReceived(), reports);
}

void ControllerDevicesTest::pluggedT5BecomesCurrent()
{
    QVERIFY(putCatalogue(QJsonObject{
        {QStringLiteral("T5"),
         QJsonArray{entry(QStringLiteral("5.6.0"), QStringLiteral("new"),
                          QString(32, QLatin1Char('e')), QStringLiteral("T5_v5.6.0.bin"))}}}));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(!controller->synced());
    QSignalSpy indexChanges(controller.get(), &FirmwareManage::currentDeviceIndexChanged);

    T5Adapter *adapter = plugT5();
    QTRY_COMPARE(controller->currentDeviceIndex(), int(T5));
    QPointer<BaseDevice> device = controller->currentDevice();
    QVERIFY(device);
    QCOMPARE(device->pid(), double(t5ProductId));
    settle();
    // The synchronisation after the device change fills the model's list.
    QTRY_VERIFY(controller->synced());
    QCOMPARE(arrayOf(controller->firmwareInformation()).size(), 1);
    QCOMPARE(indexChanges.count(), 1);
    QVERIFY(messages->errors().isEmpty());

    unplug(adapter);
    QTRY_COMPARE(controller->currentDeviceIndex(), 0);
    QVERIFY(!controller->currentDevice());
    QTRY_VERIFY(!device);
    QCOMPARE(indexChanges.count(), 2);
    QCOMPARE(indexChanges.last().at(0).toInt(), 0);

    // Plugged in again: current again, with a new device object.
    plug(adapter);
    QTRY_COMPARE(controller->currentDeviceIndex(), int(T5));
    QVERIFY(controller->currentDevice());
    settle();
    QCOMPARE(controller->findChildren<BaseDevice *>().size(), 1);
}

void ControllerDevicesTest::otherAdaptersOnlyClearTheLocalChoice()
{
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());

    // No model current: an adapter the hot-plug does not recognise.
    chooseLocalFile(QStringLiteral("fw_v1.2.3.bin"));
    QVERIFY(controller->set_isLocalFirmware(true));
    M7Adapter *m7 = plugM7();
    QTRY_VERIFY(!controller->isLocalFirmware());
    QCOMPARE(controller->localFirmwareVersion(), QString());
    QCOMPARE(controller->localFirmwarePath(), QString());
    QCOMPARE(controller->currentDeviceIndex(), 0);
    QVERIFY(controller->findChildren<BaseDevice *>().isEmpty());

    // An M7 that leaves while it is current stays the current model.
    QVERIFY(enter(M7));
    BaseDevice *const device = controller->currentDevice();
    chooseLocalFile(QStringLiteral("m7_v2.0.1.bin"));
    QVERIFY(controller->set_isLocalFirmware(true));
    QCOMPARE(controller->localFirmwareVersion(), QStringLiteral("2.0.1"));
    unplug(m7);
    QTRY_VERIFY(!controller->isLocalFirmware());
    QCOMPARE(controller->localFirmwareVersion(), QString());
    QCOMPARE(controller->localFirmwarePath(), QString());
    QCOMPARE(controller->currentDeviceIndex(), int(M7));
    QCOMPARE(controller->currentDevice(), device);
    QVERIFY(messages->errors().isEmpty());
}

void ControllerDevicesTest::settingsAreCheckedFirst_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<bool>("valid");
    QTest::newRow("nothing stored") << Settings{} << true;
    QTest::newRow("ON, OFF, boot mode 4") << Settings{{"SetBootModeAfterUpdate", "ON"},
                                                      {"RebootAfterUpdate", "OFF"},
                                                      {"BootMode", "4"}}
                                          << true;
    QTest::newRow("boot mode -3") << Settings{{"BootMode", "-3"}} << true;
    QTest::newRow("lower-case on") << Settings{{"SetBootModeAfterUpdate", "on"}} << false;
    QTest::newRow("reboot Off") << Settings{{"RebootAfterUpdate", "Off"}} << false;
    QTest::newRow("boot mode 5") << Settings{{"BootMode", "5"}} << false;
    // Not a mode at all: an update must not guess one.
    QTest::newRow("boot mode text") << Settings{{"BootMode", "PS4"}} << false;
}

void ControllerDevicesTest::settingsAreCheckedFirst()
{
    QFETCH(Settings, settings);
    QFETCH(bool, valid);
    writeSettings(settings);
    T5Adapter *adapter = plugT5();
    startController(FirmwareManage::Mode::Window);
    QTest::qWait(startDelayMs + 50);
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    if (valid) {
        QVERIFY(!controller->busying());
        QCOMPARE(messages->countErrors(Text::settingsError), 0);
        QVERIFY(enter(T5));
        QVERIFY(!controller->busying());
        QCOMPARE(messages->countErrors(Text::settingsError), 0);
        return;
    }

    // Shown at start, and again at every attempt.
    QCOMPARE(messages->countErrors(Text::settingsError), 1);
    QCOMPARE(messages->errors().first().timeoutMs, settingsMessageTimeoutMs);
    messages->clear();
    controller->tryCurrentDeviceIndex(T5);
    QCOMPARE(messages->errors().size(), 1);
    QCOMPARE(messages->errors().first().text, Text::settingsError);
    QCOMPARE(messages->errors().first().timeoutMs, settingsMessageTimeoutMs);
    QVERIFY(messages->infos().isEmpty());
    QVERIFY(controller->busying());
    QCOMPARE(controller->currentDeviceIndex(), 0);
    QVERIFY(controller->findChildren<BaseDevice *>().isEmpty());
    QCOMPARE(adapter->reportsReceived(), 0);

    // Any adapter arriving shows it again; none is connected.
    plugM7();
    QTRY_COMPARE(messages->countErrors(Text::settingsError), 2);
    plugT5();
    QTRY_COMPARE(messages->countErrors(Text::settingsError), 3);
    QTest::qWait(50);
    QCOMPARE(controller->currentDeviceIndex(), 0);
    QVERIFY(controller->findChildren<BaseDevice *>().isEmpty());
    QVERIFY(controller->busying());
}

void ControllerDevicesTest::localFirmwareVersionFromTheFileName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("version");
    QTest::newRow("fw_v1.2.3.bin") << "fw_v1.2.3.bin"
                                   << "1.2.3";
    QTest::newRow("boot-2.10-final.bin") << "boot-2.10-final.bin"
                                         << "2.10";
    QTest::newRow("four parts") << "x_10.0.1.2_y.bin"
                                << "10.0.1.2";
    QTest::newRow("first of two") << "a1.2b3.4.5.bin"
                                  << "1.2";
    QTest::newRow("no version keeps the last") << "firmware.bin"
                                               << "9.8.7";
    QTest::newRow("digits without a dot keep the last") << "fw_v12.bin"
                                                        << "9.8.7";
}

void ControllerDevicesTest::localFirmwareVersionFromTheFileName()
{
    QFETCH(QString, fileName);
    QFETCH(QString, version);
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(controller->set_localFirmwareVersion(QStringLiteral("9.8.7")));
    QVERIFY(controller->set_isLocalFirmware(true));
    const QString path = writeFile(fileName, QByteArray("firmware"));
    dialogs.answers.append(path);

    controller->openLocalFirmware();

    QCOMPARE(controller->localFirmwareVersion(), version);
    QCOMPARE(controller->localFirmwarePath(), path);
    // Only the LOCAL button changes it.
    QVERIFY(controller->isLocalFirmware());
    QCOMPARE(dialogs.captions, QStringList{QStringLiteral("Brivane firmware")});
    QCOMPARE(dialogs.filters, QStringList{QStringLiteral("Firmware Files (*.bin)")});

    // The next dialog opens in the folder of the chosen file.
    dialogs.answers.append(QString());
    controller->openLocalFirmware();
    QCOMPARE(dialogs.folders.size(), 2);
    QCOMPARE(QFileInfo(dialogs.folders.last()).canonicalFilePath(),
             QFileInfo(path).absoluteDir().canonicalPath());
}

void ControllerDevicesTest::localFirmwareDialogCancelled()
{
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    const QString path = writeFile(QStringLiteral("fw_v1.2.3.bin"), QByteArray("firmware"));
    dialogs.answers.append(path);
    controller->openLocalFirmware();
    const QString recentFolder = QFileInfo(path).absoluteDir().canonicalPath();
    QSignalSpy versions(controller.get(), &FirmwareManage::localFirmwareVersionChanged);
    QSignalSpy paths(controller.get(), &FirmwareManage::localFirmwarePathChanged);

    // Cancelled (no answer): nothing changes, the recent folder neither.
    controller->openLocalFirmware();
    controller->openLocalFirmware();
    QCOMPARE(controller->localFirmwareVersion(), QStringLiteral("1.2.3"));
    QCOMPARE(controller->localFirmwarePath(), path);
    QCOMPARE(versions.count(), 0);
    QCOMPARE(paths.count(), 0);
    QCOMPARE(dialogs.folders.size(), 3);
    QCOMPARE(QFileInfo(dialogs.folders.last()).canonicalFilePath(), recentFolder);
}

QTEST_GUILESS_MAIN(ControllerDevicesTest)
#include "tst_controllerdevices.moc"
