// The T5 device against the emulated adapter, through the real transport.
// Every expectation is written down from the adapter's flash map, command
// table and backup format; none is taken from running the device code.

#include "t5devicefixture.h"

using namespace T5DeviceTests;

class T5DeviceTest : public QObject, protected T5DeviceFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void connectionReadsAdapterState_data();
    void connectionReadsAdapterState();
    void updateWritesLayoutOfTargetVersion_data();
    void updateWritesLayoutOfTargetVersion();
    void newLayoutEraseListFollowsImageLength_data();
    void newLayoutEraseListFollowsImageLength();
    void updateRefusesBeforeErasing_data();
    void updateRefusesBeforeErasing();
    void migrationsFollowThresholds_data();
    void migrationsFollowThresholds();
    void factoryRestoreWritesFactoryContents_data();
    void factoryRestoreWritesFactoryContents();
    void bootModeIsWrittenOnlyWhenChanged();
    void halfReadSettingsAreNeverWrittenBack();
    void afterUpdateFollowsSettings_data();
    void afterUpdateFollowsSettings();
    void faultsAreReportedAndLeaveDeviceIdle_data();
    void faultsAreReportedAndLeaveDeviceIdle();
    void connectionTaskDoesNotInterleaveWithOperation();
};

// ---------------------------------------------------------------------------

void T5DeviceTest::connectionReadsAdapterState_data()
{
    QTest::addColumn<bool>("newLayout");
    QTest::addColumn<int>("storedBootMode");
    QTest::addColumn<bool>("firmwareEndMark");
    QTest::addColumn<bool>("infoValid");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("bootMode");
    QTest::addColumn<QString>("error");
    QTest::addColumn<quint16>("blockMark");

    QTest::newRow("new layout") << true << 3 << true << true << "5.5.3" << serialText << 3 << ""
                                << quint16(0x55AA);
    QTest::newRow("old layout") << false << 4 << true << true << "5.4.2" << serialText << 4 << ""
                                << quint16(0xAA55);
    QTest::newRow("stored 5 reads as Auto")
        << true << 5 << true << true << "5.5.3" << serialText << 0 << "" << quint16(0x55AA);
    QTest::newRow("firmware lost") << true << 2 << false << true << "" << serialText << 2
                                   << "Firmware lost!" << quint16(0x55AA);
    // Nothing past the information block is read: the serial number stays
    // empty and only the version of the first configuration read is known.
    QTest::newRow("hardware failure") << true << 2 << true << false << "5.5.3"
                                      << "" << 0 << "" << quint16(0);
}

void T5DeviceTest::connectionReadsAdapterState()
{
    QFETCH(bool, newLayout);
    QFETCH(int, storedBootMode);
    QFETCH(bool, firmwareEndMark);
    QFETCH(bool, infoValid);
    AdapterState state;
    state.newLayout = newLayout;
    state.minor = newLayout ? 5 : 4;
    state.patch = newLayout ? 3 : 2;
    state.bootMode = storedBootMode;
    state.firmwareEndMark = firmwareEndMark;
    state.infoValid = infoValid;
    plug(state);

    device = std::make_unique<T5Device>();
    QSignalSpy errors(device.get(), &BaseDevice::error);
    QVERIFY(device->tryConnected());
    QCOMPARE(device->vid(), 3642.0);
    QCOMPARE(device->pid(), 45939.0);
    device->waitForConnectionTask();

    QTEST(device->version(), "version");
    QTEST(device->serialNumber(), "serial");
    QTEST(device->bootMode(), "bootMode");
    QFETCH(QString, error);
    QCOMPARE(errors.count(), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty())
        QCOMPARE(errors.at(0).at(0).toString(), error);
    QFETCH(quint16, blockMark);
    QCOMPARE(device->dataBlockAMarkRead(), blockMark);
    QCOMPARE(device->dataBlockBMarkRead(), blockMark);
    QVERIFY(!device->busying());
    QCOMPARE(device->progress(), 0.0);
    if (infoValid) {
        // 316 requests re-read the configuration, then the status read:
        // run status, 2 + 2 + 1 + 2 + 1 for T5Info and the block marks,
        // 316 for the configuration and 1 for the firmware end mark.
        QCOMPARE(adapter->reportsReceived(), 642);
        QCOMPARE(device->configBlock(), config(state));
    }
}

void T5DeviceTest::updateWritesLayoutOfTargetVersion_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("imageOffset");
    QTest::addColumn<quint32>("imageAddress");
    QTest::addColumn<QList<int>>("erased");
    QTest::newRow("5.4.9 old layout")
        << "5.4.9" << sector5Offset << 0x08020000u << QList<int>{1, 5, 6};
    QTest::newRow("5.5.0 new layout")
        << "5.5.0" << sector6Offset << 0x08040000u << QList<int>{1, 6};
}

void T5DeviceTest::updateWritesLayoutOfTargetVersion()
{
    QFETCH(QString, target);
    QFETCH(int, imageOffset);
    QFETCH(quint32, imageAddress);
    QFETCH(QList<int>, erased);
    AdapterState state; // new layout 5.5.3: above every migration threshold
    plug(state);
    QVERIFY(connectDevice());
    const QByteArray before = adapter->flashContents();
    const QByteArray firmware = image(5000, 7, imageAddress);
    const QString path = writeFile(QStringLiteral("firmware.bin"), firmware);

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy progress(device.get(), &BaseDevice::progressChanged);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    device->updateFirmwareFile(path, target);

    QCOMPARE(errors.count(), 0);
    QCOMPARE(device->version(), target);
    const QByteArray after = adapter->flashContents();
    QByteArray expectedConfig = config(state);
    const QStringList parts = target.split('.');
    for (int index = 0; index < 3; ++index)
        expectedConfig[1 + index] = char(parts.at(index).toInt());
    putU32(&expectedConfig, 4, imageAddress);
    putU32(&expectedConfig, 8, quint32(firmware.size()));
    QCOMPARE(after.mid(configOffset, configBytes), expectedConfig);
    QCOMPARE(after.mid(imageOffset, firmware.size() + 2), withEndMark(firmware));
    QCOMPARE(eraseCounts(), erasedOnce(erased));
    // The data blocks are not touched by an update.
    QCOMPARE(after.mid(blockAOffset, 0x18000), before.mid(blockAOffset, 0x18000));

    // One progress run over configuration and image, back to 0 at the end:
    // 52-byte chunks, 316 for the 16,384 configuration bytes and 97 for the
    // 5,002 bytes of image and end mark.
    QCOMPARE(progress.count(), 316 + 97 + 1);
    double previous = 0.0;
    for (int index = 0; index + 1 < progress.count(); ++index) {
        const double value = progress.at(index).at(0).toDouble();
        QVERIFY(value > previous && value <= 1.0);
        previous = value;
    }
    QCOMPARE(previous, 1.0);
    QCOMPARE(progress.last().at(0).toDouble(), 0.0);
    QCOMPARE(busy.count(), 2);
    QVERIFY(!device->busying());
}

void T5DeviceTest::newLayoutEraseListFollowsImageLength_data()
{
    QTest::addColumn<int>("imageLength");
    QTest::addColumn<QList<int>>("erased");
    QTest::newRow("131,069 bytes") << 131069 << QList<int>{1, 6};
    QTest::newRow("131,070 bytes") << 131070 << QList<int>{1, 6, 7};
    QTest::newRow("700,000 bytes") << 700000 << QList<int>{1, 6, 7, 8, 9, 10, 11};
}

void T5DeviceTest::newLayoutEraseListFollowsImageLength()
{
    QFETCH(int, imageLength);
    QFETCH(QList<int>, erased);
    plug(AdapterState());
    QVERIFY(connectDevice());
    const QByteArray firmware = image(imageLength, 3);
    const QString path = writeFile(QStringLiteral("firmware.bin"), firmware);
    QSignalSpy errors(device.get(), &BaseDevice::error);

    device->updateFirmwareFile(path, QStringLiteral("5.6.0"));

    QCOMPARE(errors.count(), 0);
    QCOMPARE(eraseCounts(), erasedOnce(erased));
    QCOMPARE(adapter->erasesReceived(), 1);
    const QByteArray after = adapter->flashContents();
    QCOMPARE(after.mid(sector6Offset, imageLength + 2), withEndMark(firmware));
    QCOMPARE(device->version(), QStringLiteral("5.6.0"));
}

void T5DeviceTest::updateRefusesBeforeErasing_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("imageLength");
    QTest::addColumn<bool>("factoryRestore");
    QTest::addColumn<QString>("error");
    const QString tooLarge = QStringLiteral("The firmware is too large for the adapter!");
    const QString empty = QStringLiteral("The firmware is empty!");
    QTest::newRow("two-part version") << "5.5" << 4000 << false << empty;
    QTest::newRow("empty file, old layout") << "5.4.0" << 0 << false << empty;
    QTest::newRow("empty file, factory restore") << "5.5.0" << 0 << true << empty;
    // Old layout: image and mark within 256 KiB from 0x08020000.
    QTest::newRow("old layout past 256 KiB") << "5.4.0" << 0x40000 - 1 << false << tooLarge;
    // New layout: within 768 KiB from 0x08040000.
    QTest::newRow("new layout past 768 KiB") << "5.5.0" << 0xC0000 - 1 << false << tooLarge;
    QTest::newRow("factory restore past 768 KiB") << "5.6.0" << 0xC0000 - 1 << true << tooLarge;
}

void T5DeviceTest::updateRefusesBeforeErasing()
{
    QFETCH(QString, version);
    QFETCH(int, imageLength);
    QFETCH(bool, factoryRestore);
    plug(AdapterState());
    QVERIFY(connectDevice());
    const QByteArray before = adapter->flashContents();
    const QString path =
        writeFile(QStringLiteral("firmware.bin"), image(imageLength, 1, imageBaseFor(version)));
    QSignalSpy errors(device.get(), &BaseDevice::error);

    if (factoryRestore)
        device->restoreFirmwareFile(path, version);
    else
        device->updateFirmwareFile(path, version);

    QFETCH(QString, error);
    verifyRefusedUntouched(errors, error, before);
}

void T5DeviceTest::migrationsFollowThresholds_data()
{
    QTest::addColumn<QString>("adapterVersion");
    QTest::addColumn<bool>("firmwareLost");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("migrations");
    const QString oldTarget = QStringLiteral("5.4.0");
    const QString newTarget = QStringLiteral("5.5.0");
    using L = QStringList;
    QTest::newRow("5.2.13 old") << "5.2.13" << false << oldTarget << L{"5.2.14", "5.2.44", "5.3.0"};
    QTest::newRow("5.2.14 old") << "5.2.14" << false << oldTarget << L{"5.2.44", "5.3.0"};
    QTest::newRow("5.2.13 new") << "5.2.13" << false << newTarget << L{"5.2.44", "5.3.0"};
    QTest::newRow("5.2.43 new") << "5.2.43" << false << newTarget << L{"5.2.44", "5.3.0"};
    QTest::newRow("5.2.44 new") << "5.2.44" << false << newTarget << L{"5.3.0"};
    QTest::newRow("4.9.9 old") << "4.9.9" << false << oldTarget
                               << L{"5.2.14", "5.2.44", "5.0.0", "5.3.0"};
    QTest::newRow("4.9.9 new") << "4.9.9" << false << newTarget << L{"5.2.44", "5.0.0", "5.3.0"};
    QTest::newRow("5.0.0 old") << "5.0.0" << false << oldTarget << L{"5.2.14", "5.2.44", "5.3.0"};
    QTest::newRow("5.2.99 new") << "5.2.99" << false << newTarget << L{"5.3.0"};
    QTest::newRow("5.3.0 new") << "5.3.0" << false << newTarget << L{};
    QTest::newRow("5.4.1 old") << "5.4.1" << false << oldTarget << L{};
    QTest::newRow("5.2.20 old") << "5.2.20" << false << oldTarget << L{"5.2.44", "5.3.0"};
    // A lost image leaves the version shown empty, but the configuration
    // still says which firmware wrote its settings: they are carried over as
    // they are, not reset by every migration.
    QTest::newRow("firmware lost old") << "5.4.1" << true << oldTarget << L{};
    QTest::newRow("firmware lost new") << "5.4.1" << true << newTarget << L{};
    QTest::newRow("firmware lost, settings of 5.2.20")
        << "5.2.20" << true << newTarget << L{"5.2.44", "5.3.0"};
}

void T5DeviceTest::migrationsFollowThresholds()
{
    QFETCH(QString, adapterVersion);
    QFETCH(bool, firmwareLost);
    QFETCH(QString, target);
    QFETCH(QStringList, migrations);
    AdapterState state = stateAt(adapterVersion); // old layout: all are below 5.5.0
    state.firmwareEndMark = !firmwareLost;
    state.macroRecords = macroRecord(90, 2, "jump", 1) + macroRecord(100, 3, "dash", 2);
    state.macroCount = 2;
    plug(state);
    QVERIFY(connectDevice());
    QCOMPARE(device->version(), firmwareLost ? QString() : adapterVersion);
    const QByteArray firmware = image(2000, 9, imageBaseFor(target));
    const QString path = writeFile(QStringLiteral("firmware.bin"), firmware);

    device->updateFirmwareFile(path, target);

    // Expected: the adapter's configuration with the table's changes.
    QByteArray expected = withMigrations(config(state), migrations);
    const QStringList parts = target.split('.');
    for (int index = 0; index < 3; ++index)
        expected[1 + index] = char(parts.at(index).toInt());
    const bool newLayout = target == QLatin1String("5.5.0");
    putU32(&expected, 4, newLayout ? 0x08040000 : 0x08020000);
    putU32(&expected, 8, quint32(firmware.size()));
    const QByteArray written = adapter->flashContents().mid(configOffset, configBytes);
    for (int offset = 0; offset < configBytes; ++offset) {
        if (written.at(offset) != expected.at(offset))
            QFAIL(qPrintable(QStringLiteral("configuration byte 0x%1: %2, expected %3")
                                 .arg(offset, 0, 16)
                                 .arg(quint8(written.at(offset)), 0, 16)
                                 .arg(quint8(expected.at(offset)), 0, 16)));
    }
}

void T5DeviceTest::factoryRestoreWritesFactoryContents_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("newLayout");
    QTest::newRow("old layout 5.4.0") << "5.4.0" << false;
    QTest::newRow("new layout 5.6.0") << "5.6.0" << true;
}

void T5DeviceTest::factoryRestoreWritesFactoryContents()
{
    QFETCH(QString, target);
    QFETCH(bool, newLayout);
    AdapterState state;
    state.bootMode = 3;
    state.macroRecords = macroRecord(150, 4, "combo", 3);
    state.macroCount = 1;
    plug(state);
    QVERIFY(connectDevice());
    QCOMPARE(device->bootMode(), 3);
    const QByteArray before = adapter->flashContents();
    const QByteArray firmware = image(4000, 5, newLayout ? 0x08040000u : 0x08020000u);
    const QString path = writeFile(QStringLiteral("firmware.bin"), firmware);
    QSignalSpy errors(device.get(), &BaseDevice::error);

    device->restoreFirmwareFile(path, target);

    QCOMPARE(errors.count(), 0);
    QCOMPARE(device->bootMode(), int(BaseDevice::Auto));
    QCOMPARE(device->version(), target);
    QVERIFY(!device->busying());
    const QByteArray after = adapter->flashContents();
    const QStringList parts = target.split('.');
    QCOMPARE(after.mid(configOffset, configBytes),
             factoryConfig(parts.at(0).toInt(), parts.at(1).toInt(), parts.at(2).toInt(), newLayout,
                           firmware.size()));

    const QByteArray mark = newLayout ? QByteArray::fromHex("aa55") : QByteArray::fromHex("55aa");
    QByteArray blockA(66, '\0');
    blockA[0] = 66;
    blockA.replace(3, 6, QByteArray(6, char(0xFF)));
    blockA.replace(64, 2, mark);
    QByteArray blockB(66, '\0');
    blockB[0] = 66;
    blockB.replace(64, 2, mark);
    QCOMPARE(after.mid(blockAOffset, 66), blockA);
    // Sector 2 was erased around the block; sector 3 keeps what it held.
    QVERIFY(allBytesAre(after.mid(blockAOffset + 66, 0x4000 - 66), char(0xFF)));
    QCOMPARE(after.mid(0xC000, 0x4000), before.mid(0xC000, 0x4000));
    QCOMPARE(after.mid(blockBOffset, 66), blockB);
    if (newLayout) {
        QCOMPARE(after.mid(sector5Offset, 66), emptyMacroBlock());
        QCOMPARE(after.mid(sector6Offset, firmware.size() + 2), withEndMark(firmware));
    } else {
        QCOMPARE(after.mid(sector5Offset, firmware.size() + 2), withEndMark(firmware));
    }
    QCOMPARE(eraseCounts(), erasedOnce({1, 2, 4, 5, 6}));
}

void T5DeviceTest::bootModeIsWrittenOnlyWhenChanged()
{
    AdapterState state;
    state.bootMode = 1;
    plug(state);
    QVERIFY(connectDevice());
    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);

    // Step 1: a new mode rewrites the configuration with only byte 0x82 changed.
    device->setBootMode(BaseDevice::XB360_PC);
    device->waitForBackgroundTasks();
    QCOMPARE(device->bootMode(), 2);
    QByteArray expected = config(state);
    expected[0x82] = 2;
    QCOMPARE(adapter->flashContents().mid(configOffset, configBytes), expected);
    QCOMPARE(eraseCounts(), erasedOnce({1}));
    QCOMPARE(busy.count(), 2);

    // Step 2: the mode already set sends nothing.
    adapter->resetCounters();
    device->setBootMode(BaseDevice::XB360_PC);
    device->waitForBackgroundTasks();
    QCOMPARE(adapter->reportsReceived(), 0);

    // Step 3: Q8LINK is stored as 5 and reads back as Auto.
    device->setBootMode(BaseDevice::Q8LINK);
    device->waitForBackgroundTasks();
    QCOMPARE(quint8(adapter->flashContents().at(configOffset + 0x82)), quint8(5));
    QVERIFY(connectDevice());
    QCOMPARE(device->bootMode(), int(BaseDevice::Auto));
    QCOMPARE(errors.count(), 0);
}

void T5DeviceTest::halfReadSettingsAreNeverWrittenBack()
{
    AdapterState state;
    state.bootMode = 1;
    state.major = 5;
    state.minor = 6;
    state.patch = 0;
    plug(state);
    // The connection reads the configuration twice (316 requests each), with
    // the run status and 8 information and mark reads in between; the read
    // after request 335 belongs to the status read's configuration chunk 10.
    EmulatedAdapter::Faults faults;
    faults.readErrorAtReport = 316 + 1 + 8 + 10;
    adapter->setFaults(faults);
    device = std::make_unique<T5Device>();
    QVERIFY(device->tryConnected());
    device->waitForConnectionTask();
    QVERIFY(!device->stateIsCurrent());
    adapter->setFaults({});
    const QByteArray before = adapter->flashContents();
    QSignalSpy errors(device.get(), &BaseDevice::error);

    // Step 1: the boot mode change reads the adapter again before it
    // rewrites the sector: the user's settings stay, only 0x82 changes.
    device->setBootMode(BaseDevice::SWITCH);
    device->waitForBackgroundTasks();
    QCOMPARE(errors.count(), 0);
    QByteArray expected = config(state);
    expected[0x82] = 3;
    QCOMPARE(adapter->flashContents().mid(configOffset, configBytes), expected);
    QCOMPARE(device->bootMode(), 3);

    // Step 2: an adapter that cannot be read whole is refused before
    // anything is erased, and the mode shown stays the adapter's.
    const QByteArray written = adapter->flashContents();
    faults = EmulatedAdapter::Faults();
    faults.shortReplyBytes = 40;
    adapter->setFaults(faults);
    device->tryConnected(); // opened again: the state must be read again
    device->waitForConnectionTask();
    adapter->resetCounters();
    device->setBootMode(BaseDevice::PS4_PC);
    device->waitForBackgroundTasks();
    QVERIFY(errors.count() >= 1);
    QCOMPARE(errors.last().at(0).toString(),
             QStringLiteral("The adapter could not be read completely!"));
    QCOMPARE(adapter->erasesReceived(), 0);
    QCOMPARE(adapter->writesReceived(), 0);
    QCOMPARE(adapter->flashContents(), written);
    QCOMPARE(device->bootMode(), 3);
    QVERIFY(!device->busying());

    // Step 3: the same for a data restore.
    const QString path =
        writeFile(QStringLiteral("same-adapter.bkp"), backupFile(bodyOf(before, true), serialText));
    const int errorsBefore = errors.count();
    device->dataRestoreFile(path);
    QCOMPARE(errors.count(), errorsBefore + 1);
    QCOMPARE(errors.last().at(0).toString(),
             QStringLiteral("The adapter could not be read completely!"));
    QCOMPARE(adapter->erasesReceived(), 0);
    QCOMPARE(adapter->flashContents(), written);
}

void T5DeviceTest::afterUpdateFollowsSettings_data()
{
    using Settings = QMap<QString, QString>;
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<int>("storedBootMode");
    QTest::addColumn<int>("configErases");
    QTest::addColumn<int>("reboots");
    const QString on = QStringLiteral("ON");
    QTest::newRow("no settings") << Settings{} << 1 << 1 << 0;
    QTest::newRow("boot mode 2") << Settings{{"SetBootModeAfterUpdate", on}, {"BootMode", "2"}} << 2
                                 << 2 << 0;
    QTest::newRow("boot mode already set")
        << Settings{{"SetBootModeAfterUpdate", on}, {"BootMode", "1"}} << 1 << 1 << 0;
    QTest::newRow("boot mode 5 not accepted")
        << Settings{{"SetBootModeAfterUpdate", on}, {"BootMode", "5"}} << 1 << 1 << 0;
    QTest::newRow("boot mode missing") << Settings{{"SetBootModeAfterUpdate", on}} << 1 << 1 << 0;
    QTest::newRow("switched off") << Settings{{"SetBootModeAfterUpdate", "OFF"}, {"BootMode", "2"}}
                                  << 1 << 1 << 0;
    QTest::newRow("reboot") << Settings{{"RebootAfterUpdate", on}} << 1 << 1 << 1;
    QTest::newRow("reboot needs exactly ON")
        << Settings{{"RebootAfterUpdate", "on"}} << 1 << 1 << 0;
    QTest::newRow("boot mode and reboot")
        << Settings{{"SetBootModeAfterUpdate", on}, {"BootMode", "3"}, {"RebootAfterUpdate", on}}
        << 3 << 2 << 1;
}

void T5DeviceTest::afterUpdateFollowsSettings()
{
    using Settings = QMap<QString, QString>;
    QFETCH(Settings, settings);
    QFETCH(int, storedBootMode);
    QFETCH(int, configErases);
    QFETCH(int, reboots);
    AdapterState state;
    state.bootMode = 1;
    plug(state);
    QVERIFY(connectDevice());
    writeSettings(settings);
    const QString path = writeFile(QStringLiteral("firmware.bin"), image(1000));
    QSignalSpy errors(device.get(), &BaseDevice::error);

    device->updateFirmwareFile(path, QStringLiteral("5.5.4"));

    QCOMPARE(errors.count(), 0);
    QCOMPARE(quint8(adapter->flashContents().at(configOffset + 0x82)), quint8(storedBootMode));
    QCOMPARE(adapter->erasesOfSector(1), configErases);
    QCOMPARE(adapter->reboots(), reboots);
    QVERIFY(!device->busying());
}

void T5DeviceTest::faultsAreReportedAndLeaveDeviceIdle_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("error");
    const QString writeError = QStringLiteral("Write to flash error!");
    const QString verifyError = QStringLiteral("Write to flash data verify error!");
    const QString eraseError = QStringLiteral("Erase error!");
    const QStringList operations{"update", "factory", "restore", "bootMode"};
    for (const QString &operation : operations) {
        const QByteArray prefix = operation.toLatin1() + ": ";
        QTest::newRow(prefix + "erase refused") << operation << "eraseRefused" << 1 << eraseError;
        QTest::newRow(prefix + "wrong echo") << operation << "wrongEcho" << 40 << verifyError;
        // Reports after connecting: 1 is the erase, 2 the first write chunk.
        QTest::newRow(prefix + "no reply") << operation << "noReply" << 30 << writeError;
        QTest::newRow(prefix + "unplugged") << operation << "unplug" << 30 << writeError;
        QTest::newRow(prefix + "read error") << operation << "readError" << 30 << writeError;
    }
    // Cut replies answer nothing, the erase included: nothing is written.
    QTest::newRow("update: short replies") << "update"
                                           << "shortReply" << 40 << eraseError;
    QTest::newRow("update: slow erase within time-out") << "update"
                                                        << "slowErase" << 20 << "";
    QTest::newRow("update: slow erase past time-out") << "update"
                                                      << "slowErase" << 400 << eraseError;
}

void T5DeviceTest::faultsAreReportedAndLeaveDeviceIdle()
{
    QFETCH(QString, operation);
    QFETCH(QString, fault);
    QFETCH(int, value);
    QFETCH(QString, error);
    AdapterState state;
    state.macroRecords = macroRecord(100, 2, "jump", 51);
    state.macroCount = 1;
    plug(state);
    QVERIFY(connectDevice());
    const QString firmwarePath = writeFile(QStringLiteral("firmware.bin"), image(6000));
    const QString backupPath =
        writeFile(QStringLiteral("fault.bkp"),
                  backupFile(bodyOf(adapter->flashContents(), true), serialText));

    BridgeUSB::instance()->setReplyTimeoutMs(shortReplyTimeoutMs);
    adapter->resetCounters();
    EmulatedAdapter::Faults faults;
    if (fault == QLatin1String("eraseRefused"))
        faults.eraseRefused = true;
    else if (fault == QLatin1String("wrongEcho"))
        faults.wrongEchoAtChunk = value;
    else if (fault == QLatin1String("noReply"))
        faults.noReplyAtReport = value;
    else if (fault == QLatin1String("unplug"))
        faults.unplugAtReport = value;
    else if (fault == QLatin1String("readError"))
        faults.readErrorAtReport = value;
    else if (fault == QLatin1String("shortReply"))
        faults.shortReplyBytes = value;
    else if (fault == QLatin1String("slowErase"))
        adapter->setEraseMsPerSector(value / 2);
    adapter->setFaults(faults);

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy progress(device.get(), &BaseDevice::progressChanged);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    if (operation == QLatin1String("update"))
        device->updateFirmwareFile(firmwarePath, QStringLiteral("5.5.4"));
    else if (operation == QLatin1String("factory"))
        device->restoreFirmwareFile(firmwarePath, QStringLiteral("5.5.4"));
    else if (operation == QLatin1String("restore"))
        device->dataRestoreFile(backupPath);
    else
        device->applyBootMode(BaseDevice::SWITCH);

    if (error.isEmpty()) {
        QCOMPARE(errors.count(), 0);
        QCOMPARE(device->version(), QStringLiteral("5.5.4"));
    } else {
        QVERIFY(errors.count() >= 1);
        QCOMPARE(errors.at(0).at(0).toString(), error);
    }
    // A fault part-way through the write leaves a progress run that must
    // fall back to 0; a fault before the first chunk shows none.
    const bool partWay = fault == QLatin1String("wrongEcho") || fault == QLatin1String("noReply") ||
                         fault == QLatin1String("unplug") || fault == QLatin1String("readError");
    if (partWay)
        QVERIFY(progress.count() > 1);
    if (!progress.isEmpty())
        QCOMPARE(progress.last().at(0).toDouble(), 0.0);
    QCOMPARE(device->progress(), 0.0);
    QVERIFY(busy.count() >= 2);
    QCOMPARE(busy.last().at(0).toBool(), false);
    QVERIFY(!device->busying());
    // Nothing is left waiting: the state is idle for the next operation.
    adapter->setFaults(EmulatedAdapter::Faults());
    adapter->setEraseMsPerSector(0);
}

void T5DeviceTest::connectionTaskDoesNotInterleaveWithOperation()
{
    AdapterState state;
    state.bootMode = 2;
    plug(state);
    const QByteArray flashBytes = adapter->flashContents();
    const QString path = workDirectory.filePath(QStringLiteral("race.bkp"));

    for (int round = 0; round < 3; ++round) {
        QFile::remove(path);
        device = std::make_unique<T5Device>();
        QSignalSpy errors(device.get(), &BaseDevice::error);
        T5Device *target = device.get();
        // The backup starts while the connection task still reads the adapter.
        QVERIFY(device->tryConnected());
        QFuture<void> backup =
            QtConcurrent::run([target, path]() { target->dataBackupFile(path); });
        backup.waitForFinished();
        device->waitForConnectionTask();

        QCOMPARE(errors.count(), 0);
        QCOMPARE(device->serialNumber(), serialText);
        QCOMPARE(device->version(), QStringLiteral("5.5.3"));
        QCOMPARE(device->bootMode(), 2);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray contents = file.readAll();
        // The backup ran before or after the status read, never inside it:
        // it holds the flash under one of the two keys it may have used.
        QByteArray body = backupBody(contents, serialText);
        if (body.isEmpty())
            body = backupBody(contents, QString());
        QCOMPARE(body.size(), 246784);
        QCOMPARE(body.left(0x1C000), flashBytes.mid(configOffset, 0x1C000));
    }
}

QTEST_GUILESS_MAIN(T5DeviceTest)
#include "tst_t5device.moc"
