// What the tool writes into flash and keeps on the computer, checked without
// an adapter: T5 layouts, migrations and factory contents, the backup codec
// and record conversion, the firmware checks made before any erase, the
// K3/M7 information block and the settings copies. Expected bytes are
// written down from the adapters' documented layouts.

#include "firmwareimagecheck.h"
#include "firmwareinformationblock.h"
#include "memoryframe.h"
#include "settingscopystore.h"
#include "t5adapterstates.h"
#include "t5backup.h"
#include "t5configuration.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace T5Flash;
using FirmwareImageCheck::ImageVerdict;

Q_DECLARE_METATYPE(ImageVerdict)

namespace {
using VersionBytes = T5Configuration::VersionBytes;

QByteArray words(quint32 first, quint32 second, int length)
{
    QByteArray bytes = pattern(length, 3);
    putU32(&bytes, 0, first);
    putU32(&bytes, 4, second);
    return bytes;
}

QByteArray md5(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
}
} // namespace

class FlashContentsTest : public QObject
{
    Q_OBJECT
private slots:
    void layoutFollowsInstalledVersion_data();
    void layoutFollowsInstalledVersion();
    void imageSectorsFollowLength_data();
    void imageSectorsFollowLength();
    void migrationsFollowThresholds_data();
    void migrationsFollowThresholds();
    void factoryConfigurationMatchesTable();
    void completeSectorNeedsAllThreeMarks_data();
    void completeSectorNeedsAllThreeMarks();
    void storedBootModeReadsZeroToFour();

    void versionTextMustBeThreeBytes_data();
    void versionTextMustBeThreeBytes();
    void imageMustStartWithVectorTable_data();
    void imageMustStartWithVectorTable();

    void informationBlockLayout();
    void lateRepliesAreToldFromAnswers_data();
    void lateRepliesAreToldFromAnswers();

    void backupFileIsBoundToAdapter();
    void recordFormatFollowsGenerations_data();
    void recordFormatFollowsGenerations();
    void recordConversionToFormat4();
    void oldBackupWithoutRecordsGivesEmptyBlock();

    void settingsCopiesRoundTrip();
    void settingsCopiesUnderALocaleWithOtherDigits();
    void settingsCopiesKeepNewestFew();
    void damagedSettingsCopyIsLeftOut();
    void serialNumberCannotLeaveFolder();
};

// ---------------------------------------------------------------------------
// T5 configuration

void FlashContentsTest::layoutFollowsInstalledVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("newLayout");
    QTest::addColumn<quint32>("imageBase");
    QTest::newRow("5.4.9") << "5.4.9" << false << 0x08020000u;
    QTest::newRow("5.5.0") << "5.5.0" << true << 0x08040000u;
    QTest::newRow("5.10.0 is numeric, not text") << "5.10.0" << true << 0x08040000u;
    QTest::newRow("4.99.99") << "4.99.99" << false << 0x08020000u;
}

void FlashContentsTest::layoutFollowsInstalledVersion()
{
    QFETCH(QString, version);
    const auto layout = T5Configuration::layoutForVersion(version);
    QTEST(layout == T5Configuration::Layout::New, "newLayout");
    QTEST(T5Configuration::imageBase(layout), "imageBase");
}

void FlashContentsTest::imageSectorsFollowLength_data()
{
    QTest::addColumn<bool>("newLayout");
    QTest::addColumn<int>("imageLength");
    QTest::addColumn<QList<quint8>>("sectors");
    QTest::newRow("new, 131,069 bytes") << true << 131069 << QList<quint8>{6};
    QTest::newRow("new, 131,070 bytes fills sector 6 with its mark")
        << true << 131070 << QList<quint8>{6, 7};
    QTest::newRow("new, 700,000 bytes") << true << 700000 << QList<quint8>{6, 7, 8, 9, 10, 11};
    QTest::newRow("new, never past sector 11")
        << true << 0xC0000 << QList<quint8>{6, 7, 8, 9, 10, 11};
    QTest::newRow("old") << false << 5000 << QList<quint8>{5, 6};
}

void FlashContentsTest::imageSectorsFollowLength()
{
    QFETCH(bool, newLayout);
    QFETCH(int, imageLength);
    QTEST(T5Configuration::imageEraseSectors(newLayout ? T5Configuration::Layout::New
                                                       : T5Configuration::Layout::Old,
                                             quint32(imageLength)),
          "sectors");
}

void FlashContentsTest::migrationsFollowThresholds_data()
{
    QTest::addColumn<QString>("settingsVersion");
    QTest::addColumn<bool>("toOldLayout");
    QTest::addColumn<QStringList>("applied");
    using L = QStringList;
    QTest::newRow("5.4.1 to old: none") << "5.4.1" << true << L{};
    QTest::newRow("5.2.20 to old") << "5.2.20" << true << L{"5.2.44", "5.3.0"};
    QTest::newRow("5.2.13 to old") << "5.2.13" << true << L{"5.2.14", "5.2.44", "5.3.0"};
    QTest::newRow("5.2.13 to new: no record reset") << "5.2.13" << false << L{"5.2.44", "5.3.0"};
    QTest::newRow("4.9.9 to new") << "4.9.9" << false << L{"5.2.44", "5.0.0", "5.3.0"};
    QTest::newRow("empty to old: every one")
        << "" << true << L{"5.2.14", "5.2.44", "5.0.0", "5.3.0"};
    QTest::newRow("5.3.0 to new: none") << "5.3.0" << false << L{};
}

void FlashContentsTest::migrationsFollowThresholds()
{
    QFETCH(QString, settingsVersion);
    QFETCH(bool, toOldLayout);
    QFETCH(QStringList, applied);
    AdapterState state;
    state.newLayout = false;
    state.macroCount = 2;
    state.macroRecords = pattern(200, 4);
    const QByteArray before = config(state);
    const QByteArray expected = withMigrations(before, applied);
    QByteArray migrated = before;
    T5Configuration::applyMigrations(
        &migrated, toOldLayout ? T5Configuration::Layout::Old : T5Configuration::Layout::New,
        settingsVersion);
    QCOMPARE(migrated, expected);
}

void FlashContentsTest::factoryConfigurationMatchesTable()
{
    const QByteArray factory = T5Configuration::factoryConfiguration(
        VersionBytes{5, 6, 1}, T5Configuration::Layout::New, 300000);
    QCOMPARE(factory, factoryConfig(5, 6, 1, true, 300000));
    QCOMPARE(T5Configuration::factoryConfiguration(VersionBytes{5, 4, 0},
                                                   T5Configuration::Layout::Old, 4000),
             factoryConfig(5, 4, 0, false, 4000));
    QVERIFY(T5Configuration::isComplete(factory));
    QCOMPARE(T5Configuration::emptyBlock(0x55AA),
             QByteArray::fromHex("4200" + QByteArray(62 * 2, '0') + "aa55"));
    QByteArray blockA = T5Configuration::factoryBlockA(0xAA55);
    QCOMPARE(blockA.mid(3, 6), QByteArray(6, char(0xFF)));
    QCOMPARE(u16(blockA, 64), quint16(0xAA55));
}

void FlashContentsTest::completeSectorNeedsAllThreeMarks_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<char>("value");
    QTest::addColumn<bool>("complete");
    QTest::newRow("as written") << 0 << char(0x55) << true;
    QTest::newRow("start mark erased") << 0 << char(0xFF) << false;
    QTest::newRow("valid mark cut") << 0x41 << char(0xFF) << false;
    // A write cut after the first half leaves the marks at 0 and 0x40 but
    // not the last byte: the sector is not whole.
    QTest::newRow("end mark erased") << 0x3FFF << char(0xFF) << false;
}

void FlashContentsTest::completeSectorNeedsAllThreeMarks()
{
    QFETCH(int, offset);
    QFETCH(char, value);
    QByteArray sector = config(AdapterState());
    sector[offset] = value;
    QTEST(T5Configuration::isComplete(sector), "complete");
    QVERIFY(!T5Configuration::isComplete(sector.left(0x3FFF)));
}

void FlashContentsTest::storedBootModeReadsZeroToFour()
{
    for (int stored = 0; stored < 8; ++stored) {
        AdapterState state;
        state.bootMode = stored;
        QCOMPARE(T5Configuration::storedBootMode(config(state)), stored < 5 ? stored : 0);
    }
}

// ---------------------------------------------------------------------------
// Checks before any erase

void FlashContentsTest::versionTextMustBeThreeBytes_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("5.5.0") << "5.5.0" << true;
    QTest::newRow("255.255.255") << "255.255.255" << true;
    QTest::newRow("0.0.0") << "0.0.0" << true;
    QTest::newRow("two parts") << "5.5" << false;
    QTest::newRow("four parts") << "5.5.0.1" << false;
    QTest::newRow("part above 255") << "5.256.0" << false;
    QTest::newRow("negative") << "5.-1.0" << false;
    QTest::newRow("letters") << "5.a.0" << false;
    QTest::newRow("sign") << "+5.5.0" << false;
    QTest::newRow("space") << "5. 5.0" << false;
    QTest::newRow("empty part") << "5..0" << false;
    QTest::newRow("Arabic-Indic digits") << QString::fromUtf8("٥.٥.٠") << false;
}

void FlashContentsTest::versionTextMustBeThreeBytes()
{
    QFETCH(QString, version);
    const auto parsed = FirmwareImageCheck::parseVersion(version);
    QTEST(parsed.has_value(), "accepted");
    if (version == QLatin1String("255.255.255"))
        QCOMPARE((*parsed)[0], quint8(255));
}

void FlashContentsTest::imageMustStartWithVectorTable_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<quint32>("imageBase");
    QTest::addColumn<ImageVerdict>("verdict");
    const quint32 newBase = 0x08040000;
    const quint32 oldBase = 0x08020000;
    QTest::newRow("application in 128 KiB SRAM")
        << words(0x20020000, newBase + 0x1C1, 4000) << newBase << ImageVerdict::Plausible;
    QTest::newRow("stack at the end of 384 KiB SRAM")
        << words(0x20060000, newBase + 0x201, 4000) << newBase << ImageVerdict::Plausible;
    QTest::newRow("stack past SRAM")
        << words(0x20060004, newBase + 0x201, 4000) << newBase << ImageVerdict::StackOutsideRam;
    QTest::newRow("stack at the end of CCM RAM")
        << words(0x10010000, newBase + 0x201, 4000) << newBase << ImageVerdict::Plausible;
    QTest::newRow("stack past CCM RAM")
        << words(0x10010004, newBase + 0x201, 4000) << newBase << ImageVerdict::StackOutsideRam;
    QTest::newRow("old layout image at its own base")
        << words(0x20020000, oldBase + 0x1C1, 4000) << oldBase << ImageVerdict::Plausible;
    QTest::newRow("new-layout image offered at the old base")
        << words(0x20020000, newBase + 0x1C1, 4000) << oldBase << ImageVerdict::ResetOutsideImage;
    QTest::newRow("reset past the image's end")
        << words(0x20020000, newBase + 4001, 4000) << newBase << ImageVerdict::ResetOutsideImage;
    QTest::newRow("reset without Thumb bit")
        << words(0x20020000, newBase + 0x1C0, 4000) << newBase << ImageVerdict::ResetNotThumbCode;
    QTest::newRow("text") << QByteArray("this is not a firmware, only 28") << newBase
                          << ImageVerdict::StackOutsideRam;
    QTest::newRow("zeros") << QByteArray(4096, '\0') << newBase << ImageVerdict::StackOutsideRam;
    QTest::newRow("erased flash") << QByteArray(4096, char(0xFF)) << newBase
                                  << ImageVerdict::StackOutsideRam;
    // K3 and M7 packages are Base64 text.
    QTest::newRow("K3/M7 package") << QByteArray("q83vESIzRFVmd4iZqrvM3e7/ABEiM0RV") << newBase
                                   << ImageVerdict::StackOutsideRam;
    QTest::newRow("seven bytes") << QByteArray(7, '\x20') << newBase << ImageVerdict::TooShort;
}

void FlashContentsTest::imageMustStartWithVectorTable()
{
    QFETCH(QByteArray, image);
    QFETCH(quint32, imageBase);
    QTEST(FirmwareImageCheck::checkCortexMImage(image, imageBase), "verdict");
}

// ---------------------------------------------------------------------------
// K3 / M7 information block

void FlashContentsTest::informationBlockLayout()
{
    const QByteArray imageBytes = pattern(1000, 8);
    const QByteArray block = FirmwareInformationBlock::build(0x08005000, 2, 7, 13, imageBytes);
    QCOMPARE(block.size(), 256);
    QCOMPARE(quint8(block.at(0)), quint8(0x55));
    QCOMPARE(block.mid(1, 4), QByteArray::fromHex("00500008"));
    QCOMPARE(block.mid(5, 3), QByteArray::fromHex("02070d"));
    QCOMPARE(block.mid(8, 4), QByteArray::fromHex("e8030000"));
    QCOMPARE(block.mid(12, 16), md5(imageBytes));
    QCOMPARE(block.mid(28, 227), QByteArray(227, '\0'));
    QCOMPARE(quint8(block.at(255)), quint8(0xAA));
    const auto *bytes = reinterpret_cast<const uint8_t *>(block.constData());
    QVERIFY(FirmwareInformationBlock::isMarkedValid(bytes));
    QCOMPARE(FirmwareInformationBlock::versionText(bytes), QStringLiteral("2.7.13"));
    QCOMPARE(FirmwareInformationBlock::imageSizeBytes(bytes), 1000u);
    QByteArray erased = block;
    erased[255] = char(0xFF);
    QVERIFY(!FirmwareInformationBlock::isMarkedValid(
        reinterpret_cast<const uint8_t *>(erased.constData())));
}

// ---------------------------------------------------------------------------
// Replies

namespace {
// A reply of the T5/M7 frame: report id, u32 code at 1, u32 address at 5,
// u32 length at 9.
QByteArray wideReply(quint32 code, quint32 address, quint32 length)
{
    QByteArray reply(65, '\0');
    putU32(&reply, 1, code);
    putU32(&reply, 5, address);
    putU32(&reply, 9, length);
    return reply;
}

// A reply of the K3 frame: report id, 0x04, u8 code at 2, u32 address at 3,
// u16 length at 7.
QByteArray k3Reply(quint8 code, quint32 address, quint16 length)
{
    QByteArray reply(65, '\0');
    reply[1] = 0x04;
    reply[2] = char(code);
    putU32(&reply, 3, address);
    putU16(&reply, 7, length);
    return reply;
}
} // namespace

void FlashContentsTest::lateRepliesAreToldFromAnswers_data()
{
    QTest::addColumn<bool>("k3");
    QTest::addColumn<quint32>("requestCode");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("late");
    const quint32 at = 0x08004034;
    QTest::newRow("read answered") << false << 0x56u << wideReply(0x58, at, 52) << false;
    QTest::newRow("data of another address")
        << false << 0x56u << wideReply(0x58, at - 52, 52) << true;
    QTest::newRow("data of another length") << false << 0x56u << wideReply(0x58, at, 12) << true;
    QTest::newRow("erase done, to a read") << false << 0x56u << wideReply(0x59, 0, 2) << true;
    QTest::newRow("run status, to a write") << false << 0x57u << wideReply(0x5D, 0, 4) << true;
    QTest::newRow("refused read is its answer")
        << false << 0x56u << wideReply(0xEE, at, 52) << false;
    QTest::newRow("erase done") << false << 0x55u << wideReply(0x59, 0, 2) << false;
    QTest::newRow("write echo, to an erase") << false << 0x55u << wideReply(0x58, at, 52) << true;
    QTest::newRow("run status") << false << 0x5Du << wideReply(0x5D, 0, 4) << false;
    QTest::newRow("K3 read answered") << true << 0x56u << k3Reply(0x58, at, 56) << false;
    QTest::newRow("K3 data of another address")
        << true << 0x56u << k3Reply(0x58, at + 56, 56) << true;
    QTest::newRow("K3 boot-loader switch, to a read")
        << true << 0x56u << k3Reply(0x5B, 0, 1) << true;
    QTest::newRow("K3 boot flag") << true << 0x5Du << k3Reply(0x5D, 0, 1) << false;
}

void FlashContentsTest::lateRepliesAreToldFromAnswers()
{
    QFETCH(bool, k3);
    QFETCH(quint32, requestCode);
    QFETCH(QByteArray, reply);
    static constexpr FrameLayout k3Layout{2, 1, 3, 7, 2, 9, 56, 1, 0x04};
    const FrameLayout &layout = k3 ? k3Layout : wideFrameLayout;
    const quint32 length = requestCode == 0x5D ? (k3 ? 1 : 4) : (k3 ? 56 : 52);
    const MemoryFrame request = MemoryFrame::request(
        layout, requestCode, requestCode == 0x56 || requestCode == 0x57 ? 0x08004034 : 0, length);
    MemoryFrame frame(layout);
    frame.assign(reply);
    QTEST(frame.answersAnEarlierRequest(request), "late");
}

// ---------------------------------------------------------------------------
// Backups

void FlashContentsTest::backupFileIsBoundToAdapter()
{
    const QString serial = QStringLiteral("0a1b2c3d4e5f60718293a4b5");
    QByteArray body(0x3C400, '\0');
    body.replace(0, 0x4000, config(AdapterState()));
    const QByteArray file = T5Backup::encode(body, serial);
    QCOMPARE(file.size(), 246800);
    // The documented file: body, MD5 of the body, scrambled with MD5 of the
    // serial number text.
    QCOMPARE(file, backupFile(body, serial));

    QByteArray decoded;
    QCOMPARE(T5Backup::decode(file, serial, &decoded), T5Backup::DecodeResult::Decoded);
    QCOMPARE(decoded, body);
    QCOMPARE(T5Backup::decode(file, QStringLiteral("ffffffffffffffffffffffff"), &decoded),
             T5Backup::DecodeResult::DigestMismatch);
    QByteArray changed = file;
    changed[1000] = char(changed.at(1000) ^ 1);
    QCOMPARE(T5Backup::decode(changed, serial, &decoded), T5Backup::DecodeResult::DigestMismatch);
    QCOMPARE(T5Backup::decode(QByteArray(), serial, &decoded), T5Backup::DecodeResult::Empty);
}

void FlashContentsTest::recordFormatFollowsGenerations_data()
{
    QTest::addColumn<QString>("adapter");
    QTest::addColumn<QString>("backup");
    QTest::addColumn<bool>("keep");
    QTest::newRow("5.5.2 onto 5.5.7") << "5.5.7"
                                      << "5.5.2" << true;
    QTest::newRow("5.5.2 onto 5.6.1") << "5.6.1"
                                      << "5.5.2" << false;
    QTest::newRow("5.4.0 onto 5.5.7: adapter below 5.6.0") << "5.5.7"
                                                           << "5.4.0" << true;
    QTest::newRow("5.4.0 onto 5.6.0") << "5.6.0"
                                      << "5.4.0" << false;
}

void FlashContentsTest::recordFormatFollowsGenerations()
{
    QFETCH(QString, adapter);
    QFETCH(QString, backup);
    QTEST(T5Backup::recordsKeepFormat(adapter, backup), "keep");
}

void FlashContentsTest::recordConversionToFormat4()
{
    // Two old records: 100 bytes in format 2, 90 bytes in format 3.
    const QByteArray first = macroRecord(100, 2, "first", 1);
    const QByteArray second = macroRecord(90, 3, "second", 2);
    const QByteArray area = QByteArray(64, '\0') + first + second;
    const auto records = T5Backup::MacroRecords::read(area, 64, 2);
    QVERIFY(records.has_value());
    const QByteArray converted = T5Backup::MacroRecords::convert(area, *records, false);
    QCOMPARE(converted.size(), 147 + 137);
    // Record 1: 85 old header bytes, 47 zeros, the body; length 147, u16 0
    // at 2, format 4, play mode 1 for format 2.
    QCOMPARE(u16(converted, 0), quint16(147));
    QCOMPARE(u16(converted, 2), quint16(0));
    QCOMPARE(quint8(converted.at(4)), quint8(4));
    QCOMPARE(converted.mid(5, 0x54 - 5), first.mid(5, 0x54 - 5));
    QCOMPARE(quint8(converted.at(0x54)), quint8(1));
    QCOMPARE(converted.mid(0x55, 47), QByteArray(47, '\0'));
    QCOMPARE(converted.mid(132, 15), first.mid(85));
    // Record 2: format 3 gives play mode 0.
    QCOMPARE(u16(converted, 147), quint16(137));
    QCOMPARE(quint8(converted.at(147 + 0x54)), quint8(0));
    QCOMPARE(converted.mid(147 + 132), second.mid(85));

    // A record shorter than its header, or one past the area, is refused.
    QByteArray shortRecord = area;
    putU16(&shortRecord, 64, 84);
    QVERIFY(!T5Backup::MacroRecords::read(shortRecord, 64, 2));
    QVERIFY(!T5Backup::MacroRecords::read(area, 64, 3));
}

void FlashContentsTest::oldBackupWithoutRecordsGivesEmptyBlock()
{
    AdapterState old;
    old.major = 5;
    old.minor = 4;
    old.patch = 0;
    old.newLayout = false;
    QByteArray body(0x3C400, '\0');
    body.replace(0, 0x4000, config(old));
    body.replace(0x4000, 80, dataBlock(80, 0xAA55, 5));
    body.replace(0xC000, 120, dataBlock(120, 0xAA55, 6));
    AdapterState adapter;
    adapter.minor = 6;
    adapter.patch = 0;
    const auto contents = T5Backup::restoreContents(body, config(adapter), false);
    QVERIFY(contents.has_value());
    QCOMPARE(contents->macroBlock,
             QByteArray::fromHex("420000000000" + QByteArray(58 * 2, '0') + "aa55"));
    // The old marks become the new one.
    QCOMPARE(u16(contents->blockA, 78), quint16(0x55AA));
    QCOMPARE(u16(contents->blockB, 118), quint16(0x55AA));
    // Version, image location and valid mark stay the adapter's.
    QCOMPARE(contents->config.mid(1, 0x41), config(adapter).mid(1, 0x41));
}

// ---------------------------------------------------------------------------
// Settings copies

namespace {
SettingsCopyStore::Copy copyWith(const QByteArray &config, const QString &serial)
{
    SettingsCopyStore::Copy copy;
    copy.model = QStringLiteral("T5");
    copy.serialNumber = serial;
    copy.firmwareVersion = QStringLiteral("5.5.3");
    copy.operation = QStringLiteral("update");
    copy.sections.append({0x08004000, config});
    return copy;
}
} // namespace

void FlashContentsTest::settingsCopiesRoundTrip()
{
    QTemporaryDir folder;
    SettingsCopyStore store(folder.path());
    const QString serial = QStringLiteral("0a1b2c3d4e5f60718293a4b5");
    QVERIFY(!store.newest("T5", serial).has_value());
    SettingsCopyStore::Copy copy = copyWith(config(AdapterState()), serial);
    copy.sections.append({0x08008000, dataBlock(80, 0x55AA, 5)});
    QString error;
    QVERIFY2(store.save(&copy, &error), qPrintable(error));
    QVERIFY(copy.filePath.startsWith(store.adapterFolder("T5", serial)));
    QVERIFY(QFileInfo(copy.filePath).fileName().endsWith(QLatin1String("-update.json")));

    const auto newest = store.newest("T5", serial);
    QVERIFY(newest.has_value());
    QCOMPARE(newest->sections.size(), 2);
    QCOMPARE(newest->section(0x08004000)->bytes, config(AdapterState()));
    QCOMPARE(newest->section(0x08008000)->bytes, dataBlock(80, 0x55AA, 5));
    QCOMPARE(newest->firmwareVersion, QStringLiteral("5.5.3"));
    QVERIFY(newest->savedAtUtc.isValid());
    // Another adapter sees nothing of it.
    QVERIFY(!store.newest("T5", QStringLiteral("ffffffffffffffffffffffff")).has_value());
    // No temporary file is left behind.
    QCOMPARE(QDir(store.adapterFolder("T5", serial)).entryList(QDir::Files).size(), 1);
}

void FlashContentsTest::settingsCopiesUnderALocaleWithOtherDigits()
{
    // Names and times are written with ASCII digits whatever the user's
    // locale, so copies sort and read back the same everywhere. CTest runs
    // this function once more with LC_ALL=ar_EG.UTF-8, the system locale
    // that dates follow.
    const QLocale previous;
    QLocale::setDefault(QLocale(QStringLiteral("ar_EG")));
    QTemporaryDir folder;
    SettingsCopyStore store(folder.path());
    const QString serial = QStringLiteral("0a1b2c3d4e5f60718293a4b5");
    SettingsCopyStore::Copy copy = copyWith(config(AdapterState()), serial);
    copy.savedAtUtc = QDateTime(QDate(2026, 12, 9), QTime(14, 30, 5, 7), Qt::UTC);
    QString error;
    const bool saved = store.save(&copy, &error);
    const auto newest = store.newest("T5", serial);
    QLocale::setDefault(previous);
    QVERIFY2(saved, qPrintable(error));
    QCOMPARE(QFileInfo(copy.filePath).fileName(),
             QStringLiteral("20261209T143005007Z-update.json"));
    QVERIFY(newest.has_value());
    QCOMPARE(newest->savedAtUtc, copy.savedAtUtc);
}

void FlashContentsTest::settingsCopiesKeepNewestFew()
{
    QTemporaryDir folder;
    SettingsCopyStore store(folder.path());
    const QString serial = QStringLiteral("0a1b2c3d4e5f60718293a4b5");
    const QDateTime start = QDateTime(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC);
    for (int index = 0; index < 8; ++index) {
        AdapterState state;
        state.bootMode = index % 5;
        state.patch = index;
        SettingsCopyStore::Copy copy = copyWith(config(state), serial);
        copy.savedAtUtc = start.addSecs(index);
        QString error;
        QVERIFY2(store.save(&copy, &error), qPrintable(error));
    }
    const QList<SettingsCopyStore::Copy> copies = store.copies("T5", serial);
    QCOMPARE(copies.size(), SettingsCopyStore::copiesKeptPerAdapter);
    QCOMPARE(copies.first().savedAtUtc, start.addSecs(7));
    QCOMPARE(copies.last().savedAtUtc, start.addSecs(3));

    // The same sections again write nothing new and push nothing out.
    AdapterState last;
    last.bootMode = 7 % 5;
    last.patch = 7;
    SettingsCopyStore::Copy again = copyWith(config(last), serial);
    again.savedAtUtc = start.addSecs(100);
    QString error;
    QVERIFY(store.save(&again, &error));
    QCOMPARE(store.copies("T5", serial).size(), SettingsCopyStore::copiesKeptPerAdapter);
    QCOMPARE(store.newest("T5", serial)->savedAtUtc, start.addSecs(7));
}

void FlashContentsTest::damagedSettingsCopyIsLeftOut()
{
    QTemporaryDir folder;
    SettingsCopyStore store(folder.path());
    const QString serial = QStringLiteral("0a1b2c3d4e5f60718293a4b5");
    SettingsCopyStore::Copy older = copyWith(config(AdapterState()), serial);
    older.savedAtUtc = QDateTime(QDate(2026, 12, 1), QTime(9, 0), Qt::UTC);
    AdapterState other;
    other.bootMode = 3;
    SettingsCopyStore::Copy newer = copyWith(config(other), serial);
    newer.savedAtUtc = older.savedAtUtc.addSecs(60);
    QString error;
    QVERIFY(store.save(&older, &error));
    QVERIFY(store.save(&newer, &error));

    // One byte of the newer copy's data changes: its digest no longer
    // matches, so the older copy is the newest usable one.
    QFile file(newer.filePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    file.close();
    const int dataAt = bytes.indexOf("\"data\": \"") + 9;
    bytes[dataAt + 10] = bytes.at(dataAt + 10) == 'A' ? 'B' : 'A';
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();

    const auto newest = store.newest("T5", serial);
    QVERIFY(newest.has_value());
    QCOMPARE(newest->savedAtUtc, older.savedAtUtc);
    QCOMPARE(store.copies("T5", serial).size(), 1);
    QVERIFY(!SettingsCopyStore::decode("not json").has_value());
}

void FlashContentsTest::serialNumberCannotLeaveFolder()
{
    QTemporaryDir folder;
    SettingsCopyStore store(folder.path());
    const QString hostile = QStringLiteral("../../etc/x");
    const QString adapterFolder = store.adapterFolder("T5", hostile);
    QVERIFY(QDir::cleanPath(adapterFolder).startsWith(QDir::cleanPath(folder.path()) + '/'));
    QVERIFY(!QFileInfo(adapterFolder).fileName().contains('/'));
    QVERIFY(!adapterFolder.mid(folder.path().size()).contains(QLatin1String("..")));
}

QTEST_GUILESS_MAIN(FlashContentsTest)
#include "tst_flashcontents.moc"
