// The T5 device against the emulated adapter, through the real transport.
// Every expectation is written down from the adapter's flash map, command
// table and backup format; none is taken from running the device code.

#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "global.h"
#include "hidbackend.h"
#include "settingscopystore.h"
#include "t5adapter.h"
#include "t5adapterstates.h"
#include "t5device.h"
#include "testsupport.h"

#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <memory>

using namespace T5Flash;

namespace {
constexpr int shortReplyTimeoutMs = 300;
constexpr int normalReplyTimeoutMs = 5000;
const QString serialText = QStringLiteral("0a1b2c3d4e5f60718293a4b5");

// Flash sectors as offsets into flash.bin.
struct SectorRange
{
    int offset;
    int size;
};
const SectorRange sectors[12] = {{0x00000, 0x4000},  {0x04000, 0x4000},  {0x08000, 0x4000},
                                 {0x0C000, 0x4000},  {0x10000, 0x10000}, {0x20000, 0x20000},
                                 {0x40000, 0x20000}, {0x60000, 0x20000}, {0x80000, 0x20000},
                                 {0xA0000, 0x20000}, {0xC0000, 0x20000}, {0xE0000, 0x20000}};

QByteArray withEndMark(const QByteArray &bytes)
{
    return bytes + QByteArray::fromHex("55aa");
}

bool allBytesAre(const QByteArray &bytes, char value)
{
    return bytes.count(value) == bytes.size();
}

// The documented conversion of one record of format 3 or lower to format 4.
QByteArray recordInFormat4(const QByteArray &old)
{
    const int bodyBytes = old.size() - 85;
    QByteArray converted = old.left(85) + QByteArray(47, '\0') + old.mid(85);
    putU16(&converted, 0, quint16(bodyBytes + 132));
    const int oldFormat = quint8(old.at(4));
    converted[0x54] = char(oldFormat >= 3 ? 0 : oldFormat == 2 ? 1 : 2);
    putU16(&converted, 2, 0);
    converted[4] = char(4);
    return converted;
}

QByteArray newMacroBlock(const QByteArray &header64, const QByteArray &records, int count)
{
    QByteArray block = header64.left(64);
    putU16(&block, 0, quint16(64 + records.size() + 2));
    block[2] = char(count);
    putU16(&block, 3, quint16(records.size()));
    return block + records + QByteArray::fromHex("aa55");
}

// The documented empty macro block: length 66, no records, end mark at 64.
QByteArray emptyMacroBlock()
{
    QByteArray block(66, '\0');
    block[0] = 66;
    block.replace(64, 2, QByteArray::fromHex("aa55"));
    return block;
}

// An adapter on that "major.minor.patch" version, in the layout of that version.
AdapterState stateAt(const QString &version)
{
    const QStringList parts = version.split('.');
    AdapterState state;
    state.major = parts.at(0).toInt();
    state.minor = parts.at(1).toInt();
    state.patch = parts.at(2).toInt();
    state.newLayout = state.major > 5 || (state.major == 5 && state.minor >= 5);
    return state;
}

// The body of a backup as the adapter's flash from 0x08004000 holds it.
QByteArray bodyOf(const QByteArray &flash, bool withMacroArea)
{
    QByteArray body(0x3C400, '\0');
    const int length = withMacroArea ? 0x3C000 : 0x1C000;
    body.replace(0, length, flash.mid(configOffset, length));
    return body;
}
} // namespace

class T5DeviceTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

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
    void backupFileHoldsScrambledFlash_data();
    void backupFileHoldsScrambledFlash();
    void backupFailuresWriteNoFile();
    void restoreOldBackupOntoNewLayout_data();
    void restoreOldBackupOntoNewLayout();
    void restoreNewBackup_data();
    void restoreNewBackup();
    void restoreRefusesBeforeErasing_data();
    void restoreRefusesBeforeErasing();
    void faultsAreReportedAndLeaveDeviceIdle_data();
    void faultsAreReportedAndLeaveDeviceIdle();
    void connectionTaskDoesNotInterleaveWithOperation();

private:
    T5Adapter *plug(const AdapterState &state);
    bool connectDevice();
    QString writeFile(const QString &name, const QByteArray &bytes);
    QVector<int> eraseCounts() const;
    static QVector<int> erasedOnce(const QList<int> &sectorList);
    void writeSettings(const QMap<QString, QString> &values);
    void verifyRefusedUntouched(const QSignalSpy &errors, const QString &error,
                                const QByteArray &before);

    EmulatorBackend *backend = nullptr;
    QTemporaryDir workDirectory;
    std::unique_ptr<QTemporaryDir> copiesFolder;
    T5Adapter *adapter = nullptr;
    std::unique_ptr<T5Device> device;
    int adapterCounter = 0;
};

void T5DeviceTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(workDirectory.isValid());
    // configs.ini is read from the working directory.
    QVERIFY(QDir::setCurrent(workDirectory.path()));
    backend = new EmulatorBackend(this);
    HidBackend::install(backend);
    Global::instance();
}

void T5DeviceTest::init()
{
    // Each test function starts without saved settings copies.
    copiesFolder = std::make_unique<QTemporaryDir>();
    qputenv(SettingsCopyStore::folderVariable, copiesFolder->path().toLocal8Bit());
    QFile::remove(QStringLiteral("configs.ini"));
    BridgeUSB::instance()->setReplyTimeoutMs(normalReplyTimeoutMs);
}

void T5DeviceTest::cleanup()
{
    device.reset();
    if (adapter)
        backend->unplug(adapter);
    adapter = nullptr;
}

T5Adapter *T5DeviceTest::plug(const AdapterState &state)
{
    if (adapter)
        backend->unplug(adapter);
    adapter = backend->emplaceAdapter<T5Adapter>(QStringLiteral("t5-%1").arg(++adapterCounter));
    adapter->setFlashContents(flash(state));
    adapter->resetCounters();
    return adapter;
}

bool T5DeviceTest::connectDevice()
{
    device = std::make_unique<T5Device>();
    if (!device->tryConnected())
        return false;
    device->waitForConnectionTask();
    adapter->resetCounters();
    return true;
}

QString T5DeviceTest::writeFile(const QString &name, const QByteArray &bytes)
{
    return TestSupport::writeWholeFile(workDirectory.filePath(name), bytes);
}

QVector<int> T5DeviceTest::eraseCounts() const
{
    QVector<int> counts;
    for (int sector = 0; sector < 12; ++sector)
        counts.append(adapter->erasesOfSector(sector));
    return counts;
}

QVector<int> T5DeviceTest::erasedOnce(const QList<int> &sectorList)
{
    QVector<int> counts(12, 0);
    for (int sector : sectorList)
        counts[sector] = 1;
    return counts;
}

void T5DeviceTest::writeSettings(const QMap<QString, QString> &values)
{
    QSettings settings(QStringLiteral("configs.ini"), QSettings::IniFormat);
    settings.clear();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

// The one error, and nothing erased, written or changed on the adapter.
void T5DeviceTest::verifyRefusedUntouched(const QSignalSpy &errors, const QString &error,
                                          const QByteArray &before)
{
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), error);
    QCOMPARE(adapter->erasesReceived(), 0);
    QCOMPARE(adapter->writesReceived(), 0);
    QCOMPARE(adapter->flashContents(), before);
    QVERIFY(!device->busying());
}

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

void T5DeviceTest::backupFileHoldsScrambledFlash_data()
{
    QTest::addColumn<bool>("newLayout");
    QTest::newRow("new layout 5.5.3") << true;
    QTest::newRow("old layout 5.4.2 without macro area") << false;
}

void T5DeviceTest::backupFileHoldsScrambledFlash()
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

void T5DeviceTest::backupFailuresWriteNoFile()
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

void T5DeviceTest::restoreOldBackupOntoNewLayout_data()
{
    QTest::addColumn<QString>("adapterVersion");
    QTest::addColumn<int>("recordCount");
    QTest::addColumn<bool>("converted");
    QTest::newRow("5.4.0 onto 5.5.7 copied") << "5.5.7" << 3 << false;
    QTest::newRow("5.4.0 onto 5.6.0 converted") << "5.6.0" << 3 << true;
    QTest::newRow("5.4.0 without records onto 5.6.0") << "5.6.0" << 0 << true;
}

void T5DeviceTest::restoreOldBackupOntoNewLayout()
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

void T5DeviceTest::restoreNewBackup_data()
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

void T5DeviceTest::restoreNewBackup()
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

void T5DeviceTest::restoreRefusesBeforeErasing_data()
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

void T5DeviceTest::restoreRefusesBeforeErasing()
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
