#include "basedevice.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// The smallest concrete model: the base's own rules are under test.
class PlainDevice : public BaseDevice
{
    Q_OBJECT
public:
    using BaseDevice::BaseDevice;
    bool tryConnected() override { return false; }
    void syncFirmwareInformation() override { pulseBusy(); }
    void setBootMode(BootMode) override {}
    void dataBackupFile(QString) override {}
    void dataRestoreFile(QString) override {}
    void updateFirmwareFile(QString, QString) override {}
    void restoreFirmwareFile(QString, QString) override {}
};
} // namespace

class BaseDeviceTest : public QObject
{
    Q_OBJECT
private slots:
    void settersEmitOnlyOnChange();
    void syncPulseArrivesShortlyAfterConstruction();
    void versionCompareIsNumeric_data();
    void versionCompareIsNumeric();
    void compatibilityUsesMajorTimesTenPlusMinor_data();
    void compatibilityUsesMajorTimesTenPlusMinor();
    void compareMajorMinorOrdersGenerations();
    void firmwareInfoFollowsSelectedEntry();
    void firmwareDataIsReadUnchanged();
    void flashPlanKeepsSegmentsInsideDataArea();
    void sectorMapMatchesStm32F4();
};

void BaseDeviceTest::settersEmitOnlyOnChange()
{
    PlainDevice device;
    QSignalSpy progressSpy(&device, &BaseDevice::progressChanged);
    QSignalSpy versionSpy(&device, &BaseDevice::versionChanged);
    QSignalSpy bootSpy(&device, &BaseDevice::bootModeChanged);

    QVERIFY(device.set_progress(0.5));
    QVERIFY(!device.set_progress(0.5));
    QCOMPARE(progressSpy.count(), 1);
    QCOMPARE(progressSpy.at(0).at(0).toDouble(), 0.5);
    QCOMPARE(device.progress(), 0.5);
    QVERIFY(!device.set_progress(device.progress()));
    QCOMPARE(progressSpy.count(), 1);
    // Equality is exact: a step too small for a fuzzy comparison still counts.
    QVERIFY(device.set_progress(0.5 + 1e-13));
    QCOMPARE(progressSpy.count(), 2);

    QVERIFY(device.set_version(QStringLiteral("5.5.0")));
    QVERIFY(!device.set_version(QStringLiteral("5.5.0")));
    QVERIFY(device.set_version(QString()));
    QCOMPARE(versionSpy.count(), 2);

    // Auto is the initial boot mode.
    QVERIFY(!device.set_bootMode(BaseDevice::Auto));
    QVERIFY(device.set_bootMode(BaseDevice::Q8LINK));
    QCOMPARE(bootSpy.count(), 1);
    QCOMPARE(bootSpy.at(0).at(0).toInt(), 5);
}

void BaseDeviceTest::syncPulseArrivesShortlyAfterConstruction()
{
    PlainDevice device;
    QSignalSpy busySpy(&device, &BaseDevice::busyingChanged);
    QCOMPARE(busySpy.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(busySpy.count(), 2, 1000);
    QCOMPARE(busySpy.at(0).at(0).toBool(), true);
    QCOMPARE(busySpy.at(1).at(0).toBool(), false);
    QVERIFY(!device.busying());
}

void BaseDeviceTest::versionCompareIsNumeric_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("expected");
    QTest::newRow("numeric, not textual") << "5.10.0"
                                          << "5.9.9" << 1;
    QTest::newRow("equal") << "5.5.0"
                           << "5.5.0" << 0;
    QTest::newRow("fourth part ignored") << "5.5.0"
                                         << "5.5.0.9" << 0;
    QTest::newRow("lower patch") << "5.4.9"
                                 << "5.5.0" << -1;
    QTest::newRow("leading zeros") << "1.02.3"
                                   << "1.2.3" << 0;
    QTest::newRow("empty counts as zero") << ""
                                          << "0.0.0" << 0;
    QTest::newRow("empty below any release") << ""
                                             << "5.2.14" << -1;
}

void BaseDeviceTest::versionCompareIsNumeric()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, expected);
    PlainDevice device;
    QCOMPARE(device.versionCompare(first, second), expected);
}

void BaseDeviceTest::compatibilityUsesMajorTimesTenPlusMinor_data()
{
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("update");
    QTest::addColumn<bool>("expected");
    QTest::newRow("same generation") << "5.5.3"
                                     << "5.5.0" << true;
    QTest::newRow("next generation") << "5.5.3"
                                     << "5.6.0" << false;
    QTest::newRow("key collides") << "5.15.0"
                                  << "6.5.0" << true;
}

void BaseDeviceTest::compatibilityUsesMajorTimesTenPlusMinor()
{
    QFETCH(QString, current);
    QFETCH(QString, update);
    QFETCH(bool, expected);
    PlainDevice device;
    QCOMPARE(device.isCompatibleVersion(current, update), expected);
}

void BaseDeviceTest::compareMajorMinorOrdersGenerations()
{
    QCOMPARE(BaseDevice::compareMajorMinor(QStringLiteral("5.6.1"), QStringLiteral("5.5.9")), 1);
    QCOMPARE(BaseDevice::compareMajorMinor(QStringLiteral("5.5.9"), QStringLiteral("5.6.1")), -1);
    QCOMPARE(BaseDevice::compareMajorMinor(QStringLiteral("5.5.2"), QStringLiteral("5.5.7")), 0);

    PlainDevice device;
    QTest::ignoreMessage(QtWarningMsg, "BaseDevice::isCompatibleVersion Error");
    QVERIFY(!device.isCompatibleVersion(QStringLiteral("5"), QStringLiteral("5.5.0")));
}

void BaseDeviceTest::firmwareInfoFollowsSelectedEntry()
{
    PlainDevice device;
    QJsonArray entries{QJsonObject{{QStringLiteral("info"), QStringLiteral("a;b;c")}},
                       QJsonObject{{QStringLiteral("version"), QStringLiteral("5.5.0")}}};
    device.set_firmwareInformation(QVariant::fromValue(entries));
    QSignalSpy infoSpy(&device, &BaseDevice::currentfirmwareInfoChanged);

    QVERIFY(device.set_firmwareIndex(0));
    QCOMPARE(device.currentfirmwareInfo(), QStringLiteral("a\nb\nc"));

    // At or beyond the end of the list nothing changes.
    QVERIFY(device.set_firmwareIndex(2));
    QCOMPARE(device.currentfirmwareInfo(), QStringLiteral("a\nb\nc"));

    // An entry without "info" and an index of -1 both empty the text.
    QVERIFY(device.set_firmwareIndex(1));
    QCOMPARE(device.currentfirmwareInfo(), QString());
    QVERIFY(device.set_firmwareIndex(0));
    QVERIFY(device.set_firmwareIndex(-1));
    QCOMPARE(device.currentfirmwareInfo(), QString());
    QCOMPARE(infoSpy.count(), 4);
}

void BaseDeviceTest::firmwareDataIsReadUnchanged()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString missing = folder.filePath(QStringLiteral("missing.bin"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^getFirmwareData is Empty!")));
    QVERIFY(BaseDevice::getFirmwareData(missing).isEmpty());

    const QByteArray image = QByteArray::fromHex("00ff55aa0102") + QByteArray(3000, '\x7e');
    QFile file(folder.filePath(QStringLiteral("image.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image);
    file.close();
    QCOMPARE(BaseDevice::getFirmwareData(file.fileName()), image);
}

void BaseDeviceTest::flashPlanKeepsSegmentsInsideDataArea()
{
    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    QCOMPARE(plan->eraseCount, 0u);
    QCOMPARE(plan->sumOfSegmentSizes(), 0u);

    // 300 KiB (0x4B000) from slot 1 run on through slots 2 and 3. Each
    // 128 KiB part has a byte of its own and none is zero, so a part copied
    // to the wrong slot, or not at all, differs from the zero-filled plan.
    const QByteArray large =
        QByteArray(0x20000, '\xA1') + QByteArray(0x20000, '\xA2') + QByteArray(0xB000, '\xA3');
    QVERIFY(plan->setSegment(0, 0x08004000, QByteArray(0x4000, '\x11')));
    QVERIFY(plan->setSegment(1, 0x08040000, large));
    QCOMPARE(plan->slotData(0)[0x3FFF], uint8_t(0x11));
    QCOMPARE(plan->slotData(0)[0x4000], uint8_t(0));
    QCOMPARE(plan->slotData(1)[0], uint8_t(0xA1));
    QCOMPARE(plan->slotData(2)[0], uint8_t(0xA2));
    QCOMPARE(plan->slotData(3)[0], uint8_t(0xA3));
    QCOMPARE(plan->slotData(3)[0xAFFF], uint8_t(0xA3));
    QCOMPARE(plan->slotData(3)[0xB000], uint8_t(0));
    QCOMPARE(plan->segments[1].address, 0x08040000u);
    QCOMPARE(plan->segments[1].size, 0x4B000u);
    QCOMPARE(plan->sumOfSegmentSizes(), 0x4F000u);

    // Slot 14 holds at most 128 KiB; one byte more ends past the data area.
    QVERIFY(!plan->setSegment(14, 0x08000000, QByteArray(0x20001, '\0')));
    QVERIFY(plan->setSegment(14, 0x08000000, QByteArray(0x20000, '\0')));

    for (int index = 0; index < 20; ++index)
        plan->addEraseSector(uint8_t(index));
    QCOMPARE(plan->eraseCount, 15u);
    QCOMPARE(plan->eraseSectors[14], uint8_t(14));
}

void BaseDeviceTest::sectorMapMatchesStm32F4()
{
    QCOMPARE(Stm32F4Flash::sectorAddress(0), 0x08000000u);
    QCOMPARE(Stm32F4Flash::sectorAddress(1), 0x08004000u);
    QCOMPARE(Stm32F4Flash::sectorAddress(4), 0x08010000u);
    QCOMPARE(Stm32F4Flash::sectorAddress(5), 0x08020000u);
    QCOMPARE(Stm32F4Flash::sectorAddress(6), 0x08040000u);
    QCOMPARE(Stm32F4Flash::sectorAddress(11), 0x080E0000u);
    QCOMPARE(Stm32F4Flash::sectorSizeBytes(3), 0x4000u);
    QCOMPARE(Stm32F4Flash::sectorSizeBytes(4), 0x10000u);
    QCOMPARE(Stm32F4Flash::sectorSizeBytes(11), 0x20000u);
    QCOMPARE(Stm32F4Flash::sectorOf(0x08003FC0), 0);
    QCOMPARE(Stm32F4Flash::sectorOf(0x0801FFFF), 4);
    QCOMPARE(Stm32F4Flash::sectorOf(0x080FFFFF), 11);
    QCOMPARE(Stm32F4Flash::sectorOf(0x08100000), -1);
    QCOMPARE(Stm32F4Flash::sectorOf(0x07FFFFFF), -1);
}

QTEST_GUILESS_MAIN(BaseDeviceTest)
#include "tst_basedevice.moc"
