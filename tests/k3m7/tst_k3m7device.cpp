// Finding the K3 and M7 and reading their state, against emulated adapters, through the real
// transport. Expected flash contents, frames, erase lists and progress values are worked out here
// from the adapters' memory maps, frame layouts and the package layout; none is taken from running
// the device code.

#include "k3m7fixture.h"

#include <QElapsedTimer>

using namespace K3M7Test;

class K3M7DeviceTest : public QObject, protected K3M7Fixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // Finding the adapters.
    void k3ApplicationIsSwitchedToItsBootLoader_data();
    void k3ApplicationIsSwitchedToItsBootLoader();
    void k3ApplicationThatDoesNotReturnIsNotConnected();
    void k3FoundDirectlyAsBootLoader_data();
    void k3FoundDirectlyAsBootLoader();
    void k3NotFound();
    void m7ConnectionFollowsTheAdapter();

    // Reading the adapters' state.
    void k3ConfigurationRead_data();
    void k3ConfigurationRead();
    void k3BootFlagIsCleared_data();
    void k3BootFlagIsCleared();
    void m7ConfigurationRead_data();
    void m7ConfigurationRead();
    void readsAreChunkedWithProgress_data();
    void readsAreChunkedWithProgress();
};

// ---------------------------------------------------------------------------
// Finding the adapters

void K3M7DeviceTest::k3ApplicationIsSwitchedToItsBootLoader_data()
{
    QTest::addColumn<int>("bootProductId");
    QTest::newRow("returns as 0xB270") << int(k3BootV1Id);
    QTest::newRow("returns as 0xB275") << int(k3BootId);
}

void K3M7DeviceTest::k3ApplicationIsSwitchedToItsBootLoader()
{
    QFETCH(int, bootProductId);
    K3FlashBuilder builder;
    builder.version = QStringLiteral("2.7.13");
    K3Adapter *k3 = plugK3(k3ApplicationId, quint16(bootProductId), builder.build());
    QVERIFY(k3);
    auto device = makeDevice<K3Device>();
    QSignalSpy connectedSpy(device.get(), &BaseDevice::connectedChanged);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(device->tryConnected());
    // The adapter is back at once, but the device gives it its 800 ms.
    QVERIFY2(clock.elapsed() >= 800, qPrintable(QString::number(clock.elapsed())));

    QCOMPARE(k3->bootLoaderRequests(), 1);
    QCOMPARE(k3->productId(), quint16(bootProductId));
    QCOMPARE(device->vid(), 3642.0);
    QCOMPARE(device->pid(), double(bootProductId));
    QCOMPARE(connectedSpy.count(), 1);
    // The boot loader stays open: the state was read through it.
    QVERIFY(BridgeUSB::instance()->isOpen());
    QCOMPARE(device->version(), QStringLiteral("2.7.13"));
    QCOMPARE(device->serialNumber(), md5Hex(k3ChipId));
    QVERIFY(logged(QStringLiteral("K3Device::readDeviceConfig finished")));

    // The request: report id, 0x04, 0x5B, address 0, length 1, data byte 0.
    const QByteArray expectedRequest =
        QByteArray::fromHex("00045b000000000100") + QByteArray(56, '\0');
    const QList<QByteArray> reports = emulator->writtenReports();
    QVERIFY(!reports.isEmpty());
    QCOMPARE(reports.first(), expectedRequest);
}

void K3M7DeviceTest::k3ApplicationThatDoesNotReturnIsNotConnected()
{
    K3Adapter *k3 = plugK3(k3ApplicationId, k3BootId, K3FlashBuilder().build());
    QVERIFY(k3);
    k3->setReenumerateAfterMs(60000);
    auto device = makeDevice<K3Device>();
    QVERIFY(!device->tryConnected());
    QCOMPARE(k3->bootLoaderRequests(), 1);
    QVERIFY(!device->connected());
    QVERIFY(device->serialNumber().isEmpty());
    QVERIFY(device->version().isEmpty());
}

void K3M7DeviceTest::k3FoundDirectlyAsBootLoader_data()
{
    QTest::addColumn<int>("productId");
    // Found on the last try, after the application and the V1 identity.
    QTest::newRow("0xB275") << int(k3BootId);
}

void K3M7DeviceTest::k3FoundDirectlyAsBootLoader()
{
    QFETCH(int, productId);
    K3Adapter *k3 = plugK3(quint16(productId), quint16(productId), K3FlashBuilder().build());
    QVERIFY(k3);
    auto device = makeDevice<K3Device>();
    QVERIFY(device->tryConnected());
    QCOMPARE(device->pid(), double(productId));
    QCOMPARE(device->version(), QStringLiteral("2.1.0"));
    QCOMPARE(k3->bootLoaderRequests(), 0);
    // The first request reads the configuration block: 0x56, 0x08004000, 56 bytes.
    const QList<QByteArray> reports = emulator->writtenReports();
    QVERIFY(!reports.isEmpty());
    QCOMPARE(reports.first(), QByteArray::fromHex("000456004000083800") + QByteArray(56, '\0'));
    for (const QByteArray &report : reports)
        QVERIFY(quint8(report.at(2)) != 0x5B);
}

void K3M7DeviceTest::k3NotFound()
{
    // The M7 case is the second half of m7ConnectionFollowsTheAdapter.
    auto k3 = makeDevice<K3Device>();
    QVERIFY(!k3->tryConnected());
    QVERIFY(!k3->connected());
    QVERIFY(emulator->writtenReports().isEmpty());
}

void K3M7DeviceTest::m7ConnectionFollowsTheAdapter()
{
    M7FlashBuilder builder;
    builder.version = QStringLiteral("1.200.3");
    M7Adapter *m7 = plugM7(builder.build());
    QVERIFY(m7);
    auto device = makeDevice<M7Device>();
    QVERIFY(device->tryConnected());
    QCOMPARE(device->vid(), 3642.0);
    QCOMPARE(device->pid(), double(m7Id));
    QCOMPARE(device->version(), QStringLiteral("1.200.3"));
    QCOMPARE(device->serialNumber(), QStringLiteral("2d0047000c5133313934a6ff"));

    // A failed open after a successful one clears what was read.
    emulator->unplug(m7);
    adapter = nullptr;
    QVERIFY(!device->tryConnected());
    QVERIFY(!device->connected());
    QVERIFY(device->version().isEmpty());
    QVERIFY(device->serialNumber().isEmpty());
}

// ---------------------------------------------------------------------------
// Reading the adapters' state

void K3M7DeviceTest::k3ConfigurationRead_data()
{
    QTest::addColumn<QByteArray>("chipId");
    QTest::addColumn<bool>("firmwareLost");
    QTest::addColumn<bool>("configurationLost");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("warning");

    const QByteArray allSet(32, char(0x5A));
    QTest::newRow("identifier up to its first zero")
        << k3ChipId << false << false << true << "2.1.0" << md5Hex(k3ChipId) << "";
    QTest::newRow("no zero: all 32 bytes")
        << allSet << false << false << true << "2.1.0" << md5Hex(allSet) << "";
    QTest::newRow("first byte zero: MD5 of nothing")
        << QByteArray::fromHex("00112233") << false << false << true << "2.1.0"
        << "d41d8cd98f00b204e9800998ecf8427e"
        << "";
    QTest::newRow("firmware lost") << k3ChipId << true << false << false << "" << md5Hex(k3ChipId)
                                   << "DeviceError_FirmwareLost";
    QTest::newRow("configuration lost") << k3ChipId << false << true << false << ""
                                        << ""
                                        << "DeviceError_HardwareFailure";
}

void K3M7DeviceTest::k3ConfigurationRead()
{
    QFETCH(QByteArray, chipId);
    QFETCH(bool, firmwareLost);
    QFETCH(bool, configurationLost);
    K3FlashBuilder builder;
    builder.firmwareLost = firmwareLost;
    builder.configurationLost = configurationLost;
    K3Adapter *k3 = plugK3(k3BootId, k3BootId, builder.build());
    QVERIFY(k3);
    k3->setChipId(chipId);
    auto device = makeDevice<K3Device>();
    QVERIFY(openTransport(k3BootId));

    QTEST(device->readDeviceConfig(), "result");
    QTEST(device->version(), "version");
    QTEST(device->serialNumber(), "serial");
    QFETCH(QString, warning);
    if (!warning.isEmpty())
        QVERIFY(logged(warning));
    for (const char *other : {"DeviceError_FirmwareLost", "DeviceError_HardwareFailure"}) {
        if (warning != QLatin1String(other))
            QVERIFY2(!logged(QLatin1String(other)), other);
    }
    QCOMPARE(device->progress(), 0.0);
}

void K3M7DeviceTest::k3BootFlagIsCleared_data()
{
    QTest::addColumn<int>("flag");
    QTest::addColumn<int>("flagAfter");
    QTest::addColumn<int>("flagWrites");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("set") << 1 << 0 << 1 << "Boot Mode: 1";
    QTest::newRow("clear") << 0 << 0 << 0 << "Boot Mode: 0";
    QTest::newRow("unknown value") << 7 << 7 << 0 << "Boot Mode: -1";
}

void K3M7DeviceTest::k3BootFlagIsCleared()
{
    QFETCH(int, flag);
    K3Adapter *k3 = plugK3(k3BootId, k3BootId, K3FlashBuilder().build());
    QVERIFY(k3);
    k3->setBootFlag(flag);
    auto device = makeDevice<K3Device>();
    QVERIFY(openTransport(k3BootId));
    QVERIFY(device->readDeviceConfig());
    QTEST(k3->bootFlag(), "flagAfter");
    QTEST(k3->bootFlagWrites(), "flagWrites");
    QFETCH(QString, logLine);
    QVERIFY2(logged(logLine), qPrintable(logLine));
    if (flag == 1) {
        // The write is the adapter's own reply with the write code and a clear flag.
        QByteArray write;
        for (const QByteArray &report : emulator->writtenReports()) {
            if (quint8(report.at(2)) == 0x5C)
                write = report;
        }
        QCOMPARE(write.left(10), QByteArray::fromHex("00045c00000000010000"));
    }
}

void K3M7DeviceTest::m7ConfigurationRead_data()
{
    QTest::addColumn<bool>("firmwareLost");
    QTest::addColumn<QString>("version");
    QTest::newRow("firmware present") << false << "1.3.0";
    QTest::newRow("firmware lost") << true << "";
}

void K3M7DeviceTest::m7ConfigurationRead()
{
    QFETCH(bool, firmwareLost);
    M7FlashBuilder builder;
    builder.firmwareLost = firmwareLost;
    QVERIFY(plugM7(builder.build()));
    auto device = makeDevice<M7Device>();
    QVERIFY(device->tryConnected());
    QTEST(device->version(), "version");
    QCOMPARE(device->serialNumber(), QStringLiteral("2d0047000c5133313934a6ff"));
    QCOMPARE(logged(QStringLiteral("DeviceError_FirmwareLost")), firmwareLost);
    QVERIFY(logged(QStringLiteral("M7 readDeviceConfig finished!")));
}

void K3M7DeviceTest::readsAreChunkedWithProgress_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<QList<double>>("progress");
    QTest::newRow("K3 200 bytes") << "K3" << 200 << QList<int>{56, 56, 56, 32}
                                  << QList<double>{0.28, 0.56, 0.84, 1.0, 0.0};
    QTest::newRow("M7 120 bytes") << "M7" << 120 << QList<int>{52, 52, 16}
                                  << QList<double>{52.0 / 120, 104.0 / 120, 1.0, 0.0};
}

void K3M7DeviceTest::readsAreChunkedWithProgress()
{
    QFETCH(QString, model);
    QFETCH(int, length);
    QFETCH(QList<int>, chunks);
    const bool k3 = model == QLatin1String("K3");
    const quint32 address = k3 ? k3ImageAddress + 10 : m7ImageAddress + 10;
    const QByteArray flash = k3 ? K3FlashBuilder().build() : M7FlashBuilder().build();
    const std::unique_ptr<BaseDevice> device = openBootLoader(k3, flash);
    QVERIFY(device);
    QSignalSpy progressSpy(device.get(), &BaseDevice::progressChanged);

    QByteArray destination(length, '\0');
    auto *bytes = reinterpret_cast<uint8_t *>(destination.data());
    const bool ok = k3 ? static_cast<K3Device *>(device.get())
                             ->readMemory(K3Device::CommandReadMemory, address, length, bytes)
                       : static_cast<M7Device *>(device.get())
                             ->readMemory(M7Device::CommandReadMemory, address, length, bytes);
    QVERIFY(ok);
    QCOMPARE(destination, flashAt(flash, address, length));

    // The requests: K3 {0x00, 0x04, 0x56, u32 address, u16 length},
    // M7 {0x00, u32 0x56, u32 address, u32 length}.
    const QList<QByteArray> reports = emulator->writtenReports();
    QCOMPARE(reports.size(), chunks.size());
    quint32 expectedAddress = address;
    for (int index = 0; index < chunks.size(); ++index) {
        const QByteArray &report = reports.at(index);
        if (k3) {
            QCOMPARE(report.left(3), QByteArray::fromHex("000456"));
            QCOMPARE(le32(report, 3), expectedAddress);
            QCOMPARE(int(quint8(report.at(7)) | (quint8(report.at(8)) << 8)), chunks.at(index));
            QCOMPARE(report.mid(9), QByteArray(report.size() - 9, '\0'));
        } else {
            QCOMPARE(report.at(0), '\0');
            QCOMPARE(le32(report, 1), 0x56u);
            QCOMPARE(le32(report, 5), expectedAddress);
            QCOMPARE(int(le32(report, 9)), chunks.at(index));
            QCOMPARE(report.mid(13), QByteArray(report.size() - 13, '\0'));
        }
        expectedAddress += quint32(chunks.at(index));
    }
    QFETCH(QList<double>, progress);
    QVERIFY(sameSteps(valuesOf(progressSpy), progress));
}

QTEST_GUILESS_MAIN(K3M7DeviceTest)
#include "tst_k3m7device.moc"
