// T5 data backup and restore against the emulated adapter, through the real transport.
// Every expectation is written down from the adapter's flash map, command
// table and backup format; none is taken from running the device code.

#include "t5devicefixture.h"

using namespace T5DeviceTests;

class T5DataTest : public QObject, protected T5DeviceFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void backupFileHoldsScrambledFlash_data();
    void backupFileHoldsScrambledFlash();
    void backupFailuresWriteNoFile();
    void restoreOldBackupOntoNewLayout_data();
    void restoreOldBackupOntoNewLayout();
    void restoreNewBackup_data();
    void restoreNewBackup();
    void restoreRefusesBeforeErasing_data();
    void restoreRefusesBeforeErasing();
};

void T5DataTest::backupFileHoldsScrambledFlash_data()
{
    QTest::addColumn<bool>("newLayout");
    QTest::newRow("new layout 5.5.3") << true;
    QTest::newRow("old layout 5.4.2 without macro area") << false;
}

void T5DataTest::backupFileHoldsScrambledFlash()
{
    QFETCH(bool, newLayout);
    AdapterState state;
    state.newLayout = newLayout;
    state.minor = newLayout ? 5 : 4;
    state.patch = newLayout ? 3 : 2;
    state.macroRecords = macroRecord(100, 2, "a", 4);
    state.macroCount = 1;
    plug(state);
    QVERIFY(connectDevice());
    const QByteArray flashBytes = adapter->flashContents();
    const QString path = workDirectory.filePath(QStringLiteral("data.bkp"));
    QFile::remove(path);
    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);

    device->dataBackupFile(path);

    QCOMPARE(errors.count(), 0);
    QCOMPARE(busy.count(), 2);
    QCOMPARE(device->progress(), 0.0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray contents = file.readAll();
    QCOMPARE(contents.size(), 246800);
    const QByteArray body = backupBody(contents, serialText);
    QCOMPARE(body.size(), 246784);
    QCOMPARE(body, bodyOf(flashBytes, newLayout));
    if (!newLayout)
        QVERIFY(allBytesAre(body.mid(0x1C000), '\0'));
    // Bound to this adapter: another serial number does not decode it.
    QVERIFY(backupBody(contents, QStringLiteral("0a1b2c3d4e5f60718293a4b6")).isEmpty());
}

void T5DataTest::backupFailuresWriteNoFile()
{
    plug(AdapterState());
    QVERIFY(connectDevice());
    QSignalSpy errors(device.get(), &BaseDevice::error);

    // A flash read that stops part-way writes nothing.
    BridgeUSB::instance()->setReplyTimeoutMs(shortReplyTimeoutMs);
    EmulatedAdapter::Faults faults;
    faults.noReplyAtReport = 200;
    adapter->setFaults(faults);
    const QString path = workDirectory.filePath(QStringLiteral("failed.bkp"));
    QFile::remove(path);
    device->dataBackupFile(path);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Data backup error!"));
    QVERIFY(!QFile::exists(path));
    QCOMPARE(device->progress(), 0.0);
    QVERIFY(!device->busying());

    // A file that cannot be written is reported as well.
    adapter->setFaults(EmulatedAdapter::Faults());
    QVERIFY(connectDevice());
    QSignalSpy laterErrors(device.get(), &BaseDevice::error);
    const QString blocker = writeFile(QStringLiteral("not-a-folder"), "x");
    device->dataBackupFile(blocker + QStringLiteral("/data.bkp"));
    QCOMPARE(laterErrors.count(), 1);
    QCOMPARE(laterErrors.at(0).at(0).toString(), QStringLiteral("Data backup error!"));
    QVERIFY(!device->busying());
}

void T5DataTest::restoreOldBackupOntoNewLayout_data()
{
    QTest::addColumn<QString>("adapterVersion");
    QTest::addColumn<int>("recordCount");
    QTest::addColumn<bool>("converted");
    QTest::newRow("5.4.0 onto 5.5.7 copied") << "5.5.7" << 3 << false;
    QTest::newRow("5.4.0 onto 5.6.0 converted") << "5.6.0" << 3 << true;
    QTest::newRow("5.4.0 without records onto 5.6.0") << "5.6.0" << 0 << true;
}

void T5DataTest::restoreOldBackupOntoNewLayout()
{
    QFETCH(QString, adapterVersion);
    QFETCH(int, recordCount);
    QFETCH(bool, converted);

    // The backup of an old-layout adapter on 5.4.0 (made by another session).
    const QByteArray records[3] = {macroRecord(100, 2, "jump", 21), macroRecord(120, 3, "dash", 22),
                                   macroRecord(90, 0, "spin", 23)};
    AdapterState old;
    old.newLayout = false;
    old.minor = 4;
    old.patch = 0;
    old.blockALength = 300;
    old.blockBLength = 500;
    for (int index = 0; index < recordCount; ++index)
        old.macroRecords += records[index];
    old.macroCount = recordCount;
    const QByteArray body = bodyOf(flash(old), false);

    plug(stateAt(adapterVersion));
    QVERIFY(connectDevice());
    const QByteArray before = adapter->flashContents();
    const QString path = writeFile(QStringLiteral("old.bkp"), backupFile(body, serialText));
    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);

    device->dataRestoreFile(path);

    QCOMPARE(errors.count(), 0);
    QCOMPARE(busy.count(), 2);
    const QByteArray after = adapter->flashContents();

    // Configuration: the saved settings, this adapter's bytes 1 to 0x41.
    QByteArray expectedConfig(configBytes, '\0');
    expectedConfig.replace(0x42, 162, body.mid(0x42, 162));
    expectedConfig.replace(0x3F1D, 226, body.mid(0x3F1D, 226));
    expectedConfig.replace(1, 65, before.mid(configOffset + 1, 65));
    expectedConfig[0] = char(0x55);
    expectedConfig[0x3FFF] = char(0xAA);
    QCOMPARE(after.mid(configOffset, configBytes), expectedConfig);

    // Data blocks with the new-layout mark.
    QByteArray blockA = body.mid(0x4000, 300);
    putU16(&blockA, 298, 0x55AA);
    QByteArray blockB = body.mid(0xC000, 500);
    putU16(&blockB, 498, 0x55AA);
    QCOMPARE(after.mid(blockAOffset, 300), blockA);
    QCOMPARE(after.mid(blockBOffset, 500), blockB);

    // Macro block from the old records.
    QByteArray expectedRecords;
    for (int index = 0; index < recordCount; ++index)
        expectedRecords += converted ? recordInFormat4(records[index]) : records[index];
    const QByteArray expectedMacro =
        newMacroBlock(QByteArray(64, '\0'), expectedRecords, recordCount);
    QCOMPARE(after.mid(sector5Offset, expectedMacro.size()), expectedMacro);
    if (recordCount == 0) {
        QCOMPARE(expectedMacro.size(), 66);
        QCOMPARE(after.mid(sector5Offset, 66), emptyMacroBlock());
    }
    if (converted && recordCount > 0) {
        // A 100-byte record of format 2 becomes 147 bytes with byte 0x54 = 1.
        const QByteArray first = after.mid(sector5Offset + 64, 147);
        QCOMPARE(u16(first, 0), quint16(147));
        QCOMPARE(quint8(first.at(4)), quint8(4));
        QCOMPARE(quint8(first.at(0x54)), quint8(1));
        QCOMPARE(u16(first, 2), quint16(0));
    }

    QCOMPARE(eraseCounts(), erasedOnce({1, 2, 3, 4, 5}));
    // The firmware image is not touched.
    QCOMPARE(after.mid(sector6Offset, 0xC0000), before.mid(sector6Offset, 0xC0000));
}

void T5DataTest::restoreNewBackup_data()
{
    QTest::addColumn<QString>("backupVersion");
    QTest::addColumn<QString>("adapterVersion");
    QTest::addColumn<bool>("converted");
    QTest::newRow("5.5.2 onto 5.5.7 copied") << "5.5.2"
                                             << "5.5.7" << false;
    QTest::newRow("5.5.2 onto 5.6.1 converted") << "5.5.2"
                                                << "5.6.1" << true;
    QTest::newRow("5.5.1 onto 5.5.0 copied") << "5.5.1"
                                             << "5.5.0" << false;
    QTest::newRow("5.6.2 onto 5.7.0 converted") << "5.6.2"
                                                << "5.7.0" << true;
}

void T5DataTest::restoreNewBackup()
{
    QFETCH(QString, backupVersion);
    QFETCH(QString, adapterVersion);
    QFETCH(bool, converted);
    const QStringList backupParts = backupVersion.split('.');
    const bool fromFormat4 = backupParts.at(1).toInt() >= 6;

    // Records of the saved adapter; one of format 4 when it ran 5.6 or later.
    QList<QByteArray> records{macroRecord(100, 2, "jump", 31), macroRecord(200, 1, "turbo", 32)};
    if (fromFormat4)
        records.append(macroRecord(180, 4, "combo", 33));
    AdapterState saved;
    saved.minor = backupParts.at(1).toInt();
    saved.patch = backupParts.at(2).toInt();
    saved.serial = QByteArray::fromHex("ffeeddccbbaa998877665544");
    saved.bootMode = 4;
    for (const QByteArray &record : records)
        saved.macroRecords += record;
    saved.macroCount = records.size();
    const QByteArray body = bodyOf(flash(saved), true);

    plug(stateAt(adapterVersion));
    QVERIFY(connectDevice());
    const QByteArray before = adapter->flashContents();
    const QString path = writeFile(QStringLiteral("new.bkp"), backupFile(body, serialText));
    QSignalSpy errors(device.get(), &BaseDevice::error);

    device->dataRestoreFile(path);

    QCOMPARE(errors.count(), 0);
    const QByteArray after = adapter->flashContents();
    QByteArray expectedConfig = body.left(configBytes);
    expectedConfig.replace(1, 65, before.mid(configOffset + 1, 65));
    expectedConfig[0] = char(0x55);
    expectedConfig[0x3FFF] = char(0xAA);
    QCOMPARE(after.mid(configOffset, configBytes), expectedConfig);
    QCOMPARE(quint8(after.at(configOffset + 0x82)), quint8(4));
    QCOMPARE(after.mid(blockAOffset, saved.blockALength), body.mid(0x4000, saved.blockALength));
    QCOMPARE(after.mid(blockBOffset, saved.blockBLength), body.mid(0xC000, saved.blockBLength));

    const QByteArray savedMacro = body.mid(0x1C000, u16(body, 0x1C000));
    QByteArray expectedMacro;
    if (converted) {
        QByteArray expectedRecords;
        // Records already in format 4 are kept as they are.
        for (const QByteArray &record : records)
            expectedRecords += quint8(record.at(4)) >= 4 ? record : recordInFormat4(record);
        expectedMacro = newMacroBlock(savedMacro.left(64), expectedRecords, records.size());
    } else {
        expectedMacro = savedMacro;
    }
    QCOMPARE(after.mid(sector5Offset, expectedMacro.size()), expectedMacro);
    QCOMPARE(eraseCounts(), erasedOnce({1, 2, 3, 4, 5}));
}

void T5DataTest::restoreRefusesBeforeErasing_data()
{
    QTest::addColumn<QString>("adapterVersion");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");

    const QString damaged = QStringLiteral("The backup file holds damaged data!");
    const QString corrupted = QStringLiteral("Corrupted file unauthorized!");

    AdapterState saved; // 5.5.3, new layout
    saved.macroRecords = macroRecord(100, 2, "jump", 41);
    saved.macroCount = 1;
    const QByteArray newBody = bodyOf(flash(saved), true);
    AdapterState oldSaved;
    oldSaved.newLayout = false;
    oldSaved.minor = 4;
    oldSaved.macroRecords = macroRecord(100, 2, "jump", 42);
    oldSaved.macroCount = 1;
    const QByteArray oldBody = bodyOf(flash(oldSaved), false);
    const auto file = [](const QByteArray &body) { return backupFile(body, serialText); };
    const auto changed = [](QByteArray body, int offset, const QByteArray &bytes) {
        body.replace(offset, bytes.size(), bytes);
        return body;
    };
    const auto lengthBytes = [](int value) {
        QByteArray bytes(2, '\0');
        putU16(&bytes, 0, quint16(value));
        return bytes;
    };

    QTest::newRow("empty file") << "5.6.0" << QByteArray()
                                << "The backup file is empty or cannot be read!";
    QTest::newRow("other adapter")
        << "5.6.0" << backupFile(newBody, QStringLiteral("000000000000000000000000")) << corrupted;
    QByteArray oneByteChanged = file(newBody);
    oneByteChanged[12345] = char(oneByteChanged[12345] ^ 0x01);
    QTest::newRow("one byte changed") << "5.6.0" << oneByteChanged << corrupted;
    QTest::newRow("too short for a digest") << "5.6.0" << QByteArray(10, 'x') << corrupted;

    AdapterState newer;
    newer.minor = 6;
    newer.patch = 3;
    QTest::newRow("newer generation 5.6.3 onto 5.5.9")
        << "5.5.9" << file(bodyOf(flash(newer), true)) << "Firmware data restore error!";
    QTest::newRow("adapter below 5.5.0")
        << "5.4.2" << file(oldBody) << "Update the adapter to firmware 5.5.0 or later first!";

    QTest::newRow("block A length 0")
        << "5.5.3" << file(changed(newBody, 0x4000, lengthBytes(0))) << damaged;
    QTest::newRow("block A length 1")
        << "5.5.3" << file(changed(newBody, 0x4000, lengthBytes(1))) << damaged;
    QTest::newRow("block A past 32 KiB")
        << "5.5.3" << file(changed(newBody, 0x4000, lengthBytes(0x8001))) << damaged;
    QTest::newRow("block B length 1")
        << "5.5.3" << file(changed(newBody, 0xC000, lengthBytes(1))) << damaged;
    QTest::newRow("old block A length 0")
        << "5.6.0" << file(changed(oldBody, 0x4000, lengthBytes(0))) << damaged;
    // Old records: shorter than the 85-byte header, or past the configuration sector.
    QTest::newRow("old record of 84 bytes")
        << "5.6.0" << file(changed(oldBody, 0x164, lengthBytes(84))) << damaged;
    QTest::newRow("old records past the configuration")
        << "5.6.0" << file(changed(oldBody, 0x164, lengthBytes(0x3F00))) << damaged;
    QTest::newRow("old record count past the configuration")
        << "5.6.0" << file(changed(oldBody, 0x124, QByteArray(1, char(200)))) << damaged;
    // New-layout macro records converted for another generation.
    QTest::newRow("macro record of 84 bytes")
        << "5.6.0" << file(changed(newBody, 0x1C000 + 64, lengthBytes(84))) << damaged;
    QTest::newRow("macro records past 128 KiB")
        << "5.6.0"
        << file(changed(newBody, 0x1C000 + 2, QByteArray(1, char(3))) // count 3
                    .replace(0x1C000 + 64, 2, lengthBytes(60000))
                    .replace(0x1C000 + 64 + 60000, 2, lengthBytes(60000))
                    .replace(0x1C000 + 64 + 120000, 2, lengthBytes(60000)))
        << damaged;
    QTest::newRow("macro block too short to copy")
        << "5.5.7" << file(changed(newBody, 0x1C000, lengthBytes(10))) << damaged;
}

void T5DataTest::restoreRefusesBeforeErasing()
{
    QFETCH(QString, adapterVersion);
    QFETCH(QByteArray, file);
    plug(stateAt(adapterVersion));
    QVERIFY(connectDevice());
    const QByteArray before = adapter->flashContents();
    const QString path = writeFile(QStringLiteral("refused.bkp"), file);
    QSignalSpy errors(device.get(), &BaseDevice::error);

    device->dataRestoreFile(path);

    QFETCH(QString, error);
    verifyRefusedUntouched(errors, error, before);
}

QTEST_GUILESS_MAIN(T5DataTest)
#include "tst_t5data.moc"
