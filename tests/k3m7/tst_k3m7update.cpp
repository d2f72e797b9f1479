// K3 and M7 updates against emulated adapters, through the real transport.
// Expected flash contents, frames, erase lists and progress values are worked
// out here from the adapters' memory maps, frame layouts and the package
// layout; none is taken from running the device code.

#include "k3m7fixture.h"

#include <QElapsedTimer>

using namespace K3M7Test;

class K3M7UpdateTest : public QObject, protected K3M7Fixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void k3PackageIsFlashed_data();
    void k3PackageIsFlashed();
    void m7PackageIsFlashed_data();
    void m7PackageIsFlashed();
    void m7EraseCoversEverySectorTheImageTouches_data();
    void m7EraseCoversEverySectorTheImageTouches();
    void refusedPackagesLeaveTheFlashAlone_data();
    void refusedPackagesLeaveTheFlashAlone();
    void k3InterruptedUpdateLosesTheFirmware();
    void m7InterruptedUpdateIsNotReportedAsSuccess();
    void blockOverErasedImageIsFirmwareLost_data();
    void blockOverErasedImageIsFirmwareLost();
    void faultsEndInUpdateError_data();
    void faultsEndInUpdateError();
    void m7LostEraseRequestIsNotWaitedFor();
};

// ---------------------------------------------------------------------------
// Updates

void K3M7UpdateTest::k3PackageIsFlashed_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::newRow("5000 bytes") << 5000;
    QTest::newRow("largest image, 131072 bytes") << 131072;
}

void K3M7UpdateTest::k3PackageIsFlashed()
{
    QFETCH(int, imageSize);
    K3FlashBuilder builder;
    builder.image = TestPackage::patternImage(60000, 0x21);
    const QByteArray before = builder.build();
    K3Adapter *k3 = plugK3(k3BootV1Id, k3BootV1Id, before);
    QVERIFY(k3);
    QVERIFY(openTransport(k3BootV1Id));
    auto device = makeDevice<K3Device>();
    const QByteArray image = TestPackage::patternImage(imageSize, 0x42);
    const QString path = writeFile(QStringLiteral("k3.rfw"), k3Package(3, image, 10, 250));

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy messages(device.get(), &BaseDevice::message);
    QSignalSpy progress(device.get(), &BaseDevice::progressChanged);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    device->updateFirmwareFile(path, QStringLiteral("ignored"));

    QCOMPARE(textsOf(errors), QStringList());
    QCOMPARE(textsOf(messages), QStringList{QStringLiteral("Update OK!")});
    QCOMPARE(device->version(), QStringLiteral("3.10.250"));
    QCOMPARE(busyValuesOf(busy), (QList<bool>{true, false}));

    const QByteArray after = k3->flashContents();
    QCOMPARE(flashAt(after, k3InformationAddress, blockBytes),
             TestPackage::informationBlock(k3ImageAddress, 3, 10, 250, image));
    QCOMPARE(flashAt(after, k3ImageAddress, imageSize), image);
    // The blocks around the information block share its flash page.
    QCOMPARE(flashAt(after, k3ConfigurationAddress, blockBytes),
             flashAt(before, k3ConfigurationAddress, blockBytes));
    QCOMPARE(flashAt(after, k3SpareAddress, blockBytes),
             flashAt(before, k3SpareAddress, blockBytes));

    // The pages of the information block first (it goes invalid before the
    // image is touched; the configuration and spare blocks on them are
    // written straight back), then the image's pages, 2 KiB each.
    const QVector<EmulatedFlash::Sector> erased = k3->erasedRanges();
    QCOMPARE(erased.size(), 2);
    QCOMPARE(erased.at(0).address, k3ConfigurationAddress);
    QCOMPARE(erased.at(0).size, quint32(0x1000));
    QCOMPARE(erased.at(1).address, k3ImageAddress);
    QCOMPARE(erased.at(1).size, quint32((imageSize + 2047) / 2048 * 2048));
    QList<QByteArray> erases;
    QList<quint32> writeAddresses;
    for (const QByteArray &report : emulator->writtenReports()) {
        if (quint8(report.at(2)) == 0x55)
            erases.append(report);
        else if (quint8(report.at(2)) == 0x57)
            writeAddresses.append(le32(report, 3));
    }
    QByteArray expectedErase = QByteArray::fromHex("000455000000000800");
    expectedErase += QByteArray(56, '\0');
    putLe32(&expectedErase, 9, k3ConfigurationAddress);
    putLe32(&expectedErase, 13, 0x1000);
    QCOMPARE(erases.value(0), expectedErase);
    putLe32(&expectedErase, 9, k3ImageAddress);
    putLe32(&expectedErase, 13, quint32(imageSize));
    QCOMPARE(erases.value(1), expectedErase);
    // The information block is the last thing written.
    QCOMPARE(writeAddresses.last(), k3InformationAddress + 4 * k3ChunkBytes);
    QVERIFY(!writeAddresses.mid(0, writeAddresses.size() - 5).contains(k3InformationAddress));

    // One run over the kept blocks, image and information block, then the
    // read-back of the block.
    const QList<double> expectedProgress =
        progressSteps({blockBytes, blockBytes, imageSize, blockBytes}, k3ChunkBytes) +
        QList<double>{0.0} + progressSteps({blockBytes}, k3ChunkBytes) + QList<double>{0.0};
    QVERIFY2(sameSteps(valuesOf(progress), expectedProgress),
             qPrintable(QStringLiteral("%1 steps, expected %2")
                            .arg(valuesOf(progress).size())
                            .arg(expectedProgress.size())));
    QCOMPARE(device->progress(), 0.0);
}

void K3M7UpdateTest::m7PackageIsFlashed_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("imageSize");
    QTest::newRow("version 2, 5000 bytes") << 2 << 5000;
    // Only the K3 checks the major version.
    QTest::newRow("version 1 is accepted") << 1 << 777;
}

void K3M7UpdateTest::m7PackageIsFlashed()
{
    QFETCH(int, major);
    QFETCH(int, imageSize);
    const QByteArray before = M7FlashBuilder().build();
    M7Adapter *m7 = plugM7(before);
    QVERIFY(m7);
    auto device = makeDevice<M7Device>();
    QVERIFY(device->tryConnected());
    QCOMPARE(device->version(), QStringLiteral("1.3.0"));
    emulator->clear();
    const QByteArray image = TestPackage::patternImage(imageSize, 0x37);
    const QString path = writeFile(QStringLiteral("m7.rfw"), m7Package(qint8(major), image, 0, 9));

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy messages(device.get(), &BaseDevice::message);
    QSignalSpy progress(device.get(), &BaseDevice::progressChanged);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    device->updateFirmwareFile(path, QString());

    QCOMPARE(textsOf(errors), QStringList());
    QCOMPARE(textsOf(messages), QStringList{QStringLiteral("Update OK!")});
    QCOMPARE(device->version(), QStringLiteral("%1.0.9").arg(major));
    QCOMPARE(busyValuesOf(busy), (QList<bool>{true, false}));

    const QByteArray after = m7->flashContents();
    QCOMPARE(flashAt(after, m7InformationAddress, blockBytes),
             TestPackage::informationBlock(m7ImageAddress, quint8(major), 0, 9, image));
    QCOMPARE(flashAt(after, m7ImageAddress, imageSize), image);
    // The factory area in sector 0 is never touched.
    QCOMPARE(flashAt(after, 0x08003FC0, 64), flashAt(before, 0x08003FC0, 64));

    // One erase frame: code 0x55, address 0, two sectors (1 and 4).
    QByteArray expectedErase = QByteArray::fromHex("00550000000000000002000000010400");
    expectedErase += QByteArray(65 - expectedErase.size(), '\0');
    QCOMPARE(emulator->writtenReports().first(), expectedErase);

    // The image first, the information block last: an update cut anywhere
    // leaves no valid block over an incomplete image.
    const QList<double> expectedProgress =
        progressSteps({imageSize, blockBytes}, m7ChunkBytes) + QList<double>{0.0} +
        progressSteps({blockBytes}, m7ChunkBytes) + QList<double>{0.0};
    QVERIFY(sameSteps(valuesOf(progress), expectedProgress));
    const QByteArray firstWrite = emulator->writtenReports().at(1);
    QCOMPARE(le32(firstWrite, 1), 0x57u);
    QCOMPARE(le32(firstWrite, 5), m7ImageAddress);
    const QList<QByteArray> reports = emulator->writtenReports();
    const int blockChunks = (blockBytes + m7ChunkBytes - 1) / m7ChunkBytes;
    const QByteArray firstBlockWrite = reports.at(reports.size() - blockChunks - 5);
    QCOMPARE(le32(firstBlockWrite, 5), m7InformationAddress);
}

void K3M7UpdateTest::m7EraseCoversEverySectorTheImageTouches_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QList<int>>("sectors");
    // Sector 4 (0x08010000) holds 64 KiB, sectors 5 on 128 KiB each.
    QTest::newRow("1000 bytes") << 1000 << QList<int>{1, 4};
    QTest::newRow("exactly sector 4, 65536 bytes") << 65536 << QList<int>{1, 4};
    QTest::newRow("one byte into sector 5") << 65537 << QList<int>{1, 4, 5};
    QTest::newRow("100000 bytes") << 100000 << QList<int>{1, 4, 5};
    QTest::newRow("exactly 131072 bytes") << 131072 << QList<int>{1, 4, 5};
    QTest::newRow("140000 bytes") << 140000 << QList<int>{1, 4, 5};
    QTest::newRow("200000 bytes") << 200000 << QList<int>{1, 4, 5, 6};
    // The largest image ends with sector 11, the last of the flash.
    QTest::newRow("983040 bytes") << 983040 << QList<int>{1, 4, 5, 6, 7, 8, 9, 10, 11};
}

void K3M7UpdateTest::m7EraseCoversEverySectorTheImageTouches()
{
    QFETCH(int, imageSize);
    QFETCH(QList<int>, sectors);
    M7Adapter *m7 = plugM7(m7FlashWithLargeOldFirmware());
    QVERIFY(m7);
    QVERIFY(openTransport(m7Id));
    auto device = makeDevice<M7Device>();
    const QByteArray image = TestPackage::patternImage(imageSize, 0x99);
    const QString path = writeFile(QStringLiteral("m7-sizes.rfw"), m7Package(2, image));

    QSignalSpy messages(device.get(), &BaseDevice::message);
    device->updateFirmwareFile(path, QString());
    QCOMPARE(textsOf(messages), QStringList{QStringLiteral("Update OK!")});

    for (int sector = 0; sector < 12; ++sector)
        QCOMPARE(m7->erasesOfSector(sector), sectors.contains(sector) ? 1 : 0);
    const QByteArray eraseFrame = emulator->writtenReports().first();
    QCOMPARE(int(le32(eraseFrame, 9)), sectors.size());
    for (int index = 0; index < sectors.size(); ++index)
        QCOMPARE(int(quint8(eraseFrame.at(13 + index))), sectors.at(index));
    // Programming over old data would leave old AND new in the cells.
    QCOMPARE(flashAt(m7->flashContents(), m7ImageAddress, imageSize), image);
}

void K3M7UpdateTest::refusedPackagesLeaveTheFlashAlone_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QByteArray>("file"); // empty with missing set: no file at all
    QTest::addColumn<bool>("missing");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("warning");

    const QByteArray image = TestPackage::patternImage(3000, 0x12);
    const QString k3Damaged = QStringLiteral("Update firmware file damag!");
    const QString k3DamagedLog = QStringLiteral("DeviceError_FirmwareFileDamage");
    const QString k3Invalid = QStringLiteral("Update invalid file!");
    const QString invalidLog = QStringLiteral("DeviceError_InvalidFile");
    const QString m7Md5 = QStringLiteral("Update file md5 error!");
    const QString m7Md5Log = QStringLiteral("DeviceError_FirmwareFileDamage file md5 error");
    const QString m7Type = QStringLiteral("Update file type error!");
    const QString m7TypeLog = QStringLiteral("DeviceError_FirmwareFileDamage file type error");

    QByteArray damagedBase64 = k3Package(2, image);
    damagedBase64[200] = damagedBase64.at(200) == 'Q' ? 'R' : 'Q';
    QByteArray ciphertext =
        TestPackage::encrypt(TestPackage::plaintext({"Brivane_K3", 2, 0, 0, image}));
    ciphertext[1000] = char(ciphertext.at(1000) ^ 0x01);
    const QByteArray wrongTrailerK3 =
        TestPackage::buildWithWrongTrailer({"Brivane_K3", 2, 0, 0, image});
    const QByteArray wrongTrailerM7 =
        TestPackage::buildWithWrongTrailer({"Brivane_M7", 2, 0, 0, image});

    QTest::newRow("K3: M7 package")
        << "K3" << m7Package(2, image) << false << k3Damaged << k3DamagedLog;
    QTest::newRow("K3: Base64 damaged")
        << "K3" << damagedBase64 << false << k3Damaged << k3DamagedLog;
    QTest::newRow("K3: ciphertext damaged")
        << "K3" << ciphertext.toBase64() << false << k3Damaged << k3DamagedLog;
    QTest::newRow("K3: wrong trailer")
        << "K3" << wrongTrailerK3 << false << k3Damaged << k3DamagedLog;
    QTest::newRow("K3: empty file") << "K3" << QByteArray() << false << k3Damaged << k3DamagedLog;
    QTest::newRow("K3: missing file") << "K3" << QByteArray() << true << k3Damaged << k3DamagedLog;
    QTest::newRow("K3: major version 1")
        << "K3" << k3Package(1, image) << false << k3Invalid << invalidLog;
    // The major version byte is signed: 0xFF is -1, not 255.
    QTest::newRow("K3: major version 0xFF")
        << "K3" << k3Package(-1, image) << false << k3Invalid << invalidLog;
    QTest::newRow("K3: image past 131072 bytes")
        << "K3" << k3Package(2, TestPackage::patternImage(131073)) << false << k3Invalid
        << invalidLog;
    QTest::newRow("K3: no image") << "K3" << k3Package(2, QByteArray()) << false << k3Invalid
                                  << invalidLog;

    QTest::newRow("M7: K3 package") << "M7" << k3Package(2, image) << false << m7Type << m7TypeLog;
    QTest::newRow("M7: Base64 damaged") << "M7" << damagedBase64 << false << m7Md5 << m7Md5Log;
    QTest::newRow("M7: wrong trailer") << "M7" << wrongTrailerM7 << false << m7Md5 << m7Md5Log;
    QTest::newRow("M7: empty file") << "M7" << QByteArray() << false << m7Md5 << m7Md5Log;
    QTest::newRow("M7: missing file") << "M7" << QByteArray() << true << m7Md5 << m7Md5Log;
    // Sectors 4-11 end at 0x08100000: 983040 bytes from 0x08010000.
    QTest::newRow("M7: image past sector 11")
        << "M7" << m7Package(2, TestPackage::patternImage(983041)) << false << k3Invalid
        << invalidLog;
    QTest::newRow("M7: no image") << "M7" << m7Package(2, QByteArray()) << false << k3Invalid
                                  << invalidLog;
}

void K3M7UpdateTest::refusedPackagesLeaveTheFlashAlone()
{
    QFETCH(QString, model);
    QFETCH(QByteArray, file);
    QFETCH(bool, missing);
    const bool k3 = model == QLatin1String("K3");
    const QByteArray before = k3 ? K3FlashBuilder().build() : M7FlashBuilder().build();
    const std::unique_ptr<BaseDevice> device = openBootLoader(k3, before);
    QVERIFY(device);
    const QString path = missing ? workDirectory.filePath(QStringLiteral("absent.rfw"))
                                 : writeFile(QStringLiteral("refused.rfw"), file);
    QVERIFY(!path.isEmpty());

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy messages(device.get(), &BaseDevice::message);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    device->updateFirmwareFile(path, QString());

    QFETCH(QString, error);
    QCOMPARE(textsOf(errors), QStringList{error});
    QCOMPARE(messages.count(), 0);
    QFETCH(QString, warning);
    QVERIFY2(logged(warning), qPrintable(warning));
    QCOMPARE(busyValuesOf(busy), (QList<bool>{true, false}));
    QVERIFY(emulator->writtenReports().isEmpty());
    QCOMPARE(adapter->flashContents(), before);
}

void K3M7UpdateTest::k3InterruptedUpdateLosesTheFirmware()
{
    K3Adapter *k3 = plugK3(k3BootV1Id, k3BootV1Id, K3FlashBuilder().build());
    QVERIFY(k3);
    QVERIFY(openTransport(k3BootV1Id));
    auto device = makeDevice<K3Device>();
    const QByteArray image = TestPackage::patternImage(5000, 0x77);
    const QString path = writeFile(QStringLiteral("k3-cut.rfw"), k3Package(2, image));
    EmulatedAdapter::Faults faults;
    faults.wrongEchoAtChunk = (5000 + k3ChunkBytes - 1) / k3ChunkBytes; // 90: the last image chunk
    k3->setFaults(faults);

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy messages(device.get(), &BaseDevice::message);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    device->updateFirmwareFile(path, QString());

    QCOMPARE(textsOf(errors), QStringList{QStringLiteral("Update error!")});
    QCOMPARE(messages.count(), 0);
    QVERIFY(logged(QStringLiteral("write2Flash USB_ERR_DATA_VERIFY 1")));
    QCOMPARE(busyValuesOf(busy), (QList<bool>{true, false}));
    QCOMPARE(device->progress(), 0.0);
    QCOMPARE(flashAt(k3->flashContents(), k3InformationAddress, blockBytes),
             QByteArray(blockBytes, char(0xFF)));

    // The next connection finds no firmware.
    k3->setFaults({});
    BridgeUSB::instance()->close();
    clearLog();
    auto next = makeDevice<K3Device>();
    QVERIFY(next->tryConnected());
    QVERIFY(logged(QStringLiteral("DeviceError_FirmwareLost")));
    QVERIFY(next->version().isEmpty());
    QCOMPARE(next->serialNumber(), md5Hex(k3ChipId));
}

void K3M7UpdateTest::m7InterruptedUpdateIsNotReportedAsSuccess()
{
    M7Adapter *m7 = plugM7(M7FlashBuilder().build());
    QVERIFY(m7);
    auto device = makeDevice<M7Device>();
    QVERIFY(device->tryConnected());
    const QByteArray image = TestPackage::patternImage(20000, 0x78);
    const QString path = writeFile(QStringLiteral("m7-cut.rfw"), m7Package(2, image, 8, 8));
    // The adapter leaves the bus at request 300, the 299th of the image's
    // 385 chunks (request 1 is the erase).
    EmulatedAdapter::Faults faults;
    faults.unplugAtReport = 300;
    m7->setFaults(faults);
    m7->resetCounters();

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy messages(device.get(), &BaseDevice::message);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    device->updateFirmwareFile(path, QString());

    QCOMPARE(textsOf(errors), QStringList{QStringLiteral("Update error!")});
    QCOMPARE(messages.count(), 0);
    QVERIFY(logged(QStringLiteral("M7Device::updateFirmwareFile error!")));
    QCOMPARE(busyValuesOf(busy), (QList<bool>{true, false}));
    // The block was erased with the image and is written last: nothing
    // says that an image is installed.
    QCOMPARE(flashAt(m7->flashContents(), m7InformationAddress, blockBytes),
             QByteArray(blockBytes, char(0xFF)));

    // Back on the bus, the adapter shows no firmware.
    m7->setFaults({});
    emulator->plug(m7);
    clearLog();
    auto next = makeDevice<M7Device>();
    QVERIFY(next->tryConnected());
    QVERIFY(logged(QStringLiteral("DeviceError_FirmwareLost")));
    QVERIFY(next->version().isEmpty());
}

void K3M7UpdateTest::blockOverErasedImageIsFirmwareLost_data()
{
    QTest::addColumn<bool>("k3");
    QTest::addColumn<bool>("cutAtStart");
    QTest::newRow("K3, image end erased") << true << false;
    QTest::newRow("K3, image start erased") << true << true;
    QTest::newRow("M7, image end erased") << false << false;
    QTest::newRow("M7, image start erased") << false << true;
}

void K3M7UpdateTest::blockOverErasedImageIsFirmwareLost()
{
    // A valid information block over an image whose first or last bytes are
    // erased: what an update cut between its erases and writes by a tool
    // that wrote the block first leaves behind.
    QFETCH(bool, k3);
    QFETCH(bool, cutAtStart);
    const QByteArray image = TestPackage::patternImage(30000, 0x44);
    K3FlashBuilder k3Flash;
    k3Flash.image = image;
    M7FlashBuilder m7Flash;
    m7Flash.image = image;
    QByteArray flash = k3 ? k3Flash.build() : m7Flash.build();
    const quint32 imageAddress = k3 ? k3ImageAddress : m7ImageAddress;
    const int erasedOffset = int(imageAddress - flashBase) + (cutAtStart ? 0 : 20000);
    const int erasedBytes = cutAtStart ? 2048 : 10000;
    flash.replace(erasedOffset, erasedBytes, QByteArray(erasedBytes, char(0xFF)));
    if (k3)
        QVERIFY(plugK3(k3BootId, k3BootId, flash));
    else
        QVERIFY(plugM7(flash));
    std::unique_ptr<BaseDevice> device;
    if (k3)
        device = makeDevice<K3Device>();
    else
        device = makeDevice<M7Device>();
    QVERIFY(device->tryConnected());
    QVERIFY(device->version().isEmpty());
    QVERIFY(logged(QStringLiteral("DeviceError_FirmwareLost the image is erased")));
    QVERIFY(!device->serialNumber().isEmpty());
}

void K3M7UpdateTest::faultsEndInUpdateError_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("errors");
    const QStringList updateError{QStringLiteral("Update error!")};
    const QStringList eraseAndUpdateError{QStringLiteral("Erase error!"),
                                          QStringLiteral("Update error!")};
    for (const QString &model : {QStringLiteral("K3"), QStringLiteral("M7")}) {
        const QByteArray prefix = model.toLatin1() + ": ";
        // Nothing is written over flash whose erase was refused: the old
        // firmware stays whole.
        QTest::newRow((prefix + "erase refused").constData())
            << model << "eraseRefused" << eraseAndUpdateError;
        QTest::newRow((prefix + "write fails").constData()) << model << "writeError" << updateError;
        QTest::newRow((prefix + "no reply").constData()) << model << "noReply" << updateError;
        QTest::newRow((prefix + "unplugged").constData()) << model << "unplug" << updateError;
    }
}

void K3M7UpdateTest::faultsEndInUpdateError()
{
    QFETCH(QString, model);
    QFETCH(QString, fault);
    const bool k3 = model == QLatin1String("K3");
    const QByteArray oldImage = TestPackage::patternImage(20000, 0x01);
    K3FlashBuilder k3Flash;
    k3Flash.image = oldImage;
    M7FlashBuilder m7Flash;
    m7Flash.image = oldImage;
    const QByteArray before = k3 ? k3Flash.build() : m7Flash.build();
    const QString oldVersion = k3 ? k3Flash.version : m7Flash.version;
    const QByteArray image = TestPackage::patternImage(3000, 0x02);
    const QString path =
        writeFile(QStringLiteral("faulty.rfw"), k3 ? k3Package(2, image) : m7Package(2, image));

    // A clean run on a twin adapter tells which request writes the fifth
    // chunk of the image.
    int imageWriteRequest = 0;
    {
        const std::unique_ptr<BaseDevice> twin = openBootLoader(k3, before);
        QVERIFY(twin);
        emulator->clear();
        twin->updateFirmwareFile(path, QString());
        const QList<QByteArray> reports = emulator->writtenReports();
        const quint32 imageAddress = k3 ? k3ImageAddress : m7ImageAddress;
        const quint32 chunkBytes = quint32(k3 ? k3ChunkBytes : m7ChunkBytes);
        for (int index = 0; index < reports.size() && imageWriteRequest == 0; ++index) {
            const QByteArray &report = reports.at(index);
            const bool write = k3 ? quint8(report.at(2)) == 0x57 : le32(report, 1) == 0x57;
            if (write && le32(report, k3 ? 3 : 5) == imageAddress + 4 * chunkBytes)
                imageWriteRequest = index + 1;
        }
        QVERIFY(imageWriteRequest > 0);
        emulator->unplug(adapter);
        BridgeUSB::instance()->close();
    }

    const std::unique_ptr<BaseDevice> device = openBootLoader(k3, before);
    QVERIFY(device);
    BridgeUSB::instance()->setReplyTimeoutMs(shortReplyTimeoutMs);
    adapter->resetCounters();
    EmulatedAdapter::Faults faults;
    if (fault == QLatin1String("eraseRefused"))
        faults.eraseRefused = true;
    else if (fault == QLatin1String("writeError"))
        faults.writeErrorAtReport = imageWriteRequest;
    else if (fault == QLatin1String("noReply"))
        faults.noReplyAtReport = imageWriteRequest;
    else
        faults.unplugAtReport = imageWriteRequest;
    adapter->setFaults(faults);

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QSignalSpy messages(device.get(), &BaseDevice::message);
    QSignalSpy busy(device.get(), &BaseDevice::busyingChanged);
    device->updateFirmwareFile(path, QString());

    QTEST(textsOf(errors), "errors");
    QCOMPARE(messages.count(), 0);
    QCOMPARE(busyValuesOf(busy), (QList<bool>{true, false}));
    QCOMPARE(device->progress(), 0.0);
    const quint32 informationAddress = k3 ? k3InformationAddress : m7InformationAddress;
    if (fault == QLatin1String("eraseRefused")) {
        QCOMPARE(adapter->flashContents(), before);
        QCOMPARE(device->version(), oldVersion);
    } else {
        // Cut in the image: the information block is erased, nothing looks
        // installed.
        QCOMPARE(flashAt(adapter->flashContents(), informationAddress, blockBytes),
                 QByteArray(blockBytes, char(0xFF)));
        if (fault != QLatin1String("unplug")) {
            QVERIFY(device->version().isEmpty());
        }
    }
    if (k3 && fault != QLatin1String("eraseRefused")) {
        // The configuration and spare blocks share the block's page.
        QCOMPARE(flashAt(adapter->flashContents(), k3ConfigurationAddress, blockBytes),
                 flashAt(before, k3ConfigurationAddress, blockBytes));
        QCOMPARE(flashAt(adapter->flashContents(), k3SpareAddress, blockBytes),
                 flashAt(before, k3SpareAddress, blockBytes));
    }
}

void K3M7UpdateTest::m7LostEraseRequestIsNotWaitedFor()
{
    M7FlashBuilder builder;
    builder.image = TestPackage::patternImage(20000, 0x03);
    const std::unique_ptr<BaseDevice> device = openBootLoader(false, builder.build());
    QVERIFY(device);
    const QString path = writeFile(QStringLiteral("m7-lost-erase.rfw"),
                                   m7Package(2, TestPackage::patternImage(3000, 0x04)));
    EmulatedAdapter::Faults faults;
    faults.writeErrorAtReport = 1; // the erase request
    adapter->setFaults(faults);

    QSignalSpy errors(device.get(), &BaseDevice::error);
    QElapsedTimer clock;
    clock.start();
    device->updateFirmwareFile(path, QString());

    // No reply can come for a request that never went out.
    QVERIFY2(clock.elapsed() < normalReplyTimeoutMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(textsOf(errors),
             (QStringList{QStringLiteral("Erase error!"), QStringLiteral("Update error!")}));
    QVERIFY(logged(QStringLiteral("writeCMDData write error !!!")));
    QVERIFY(logged(QStringLiteral("erase error !")));
}

QTEST_GUILESS_MAIN(K3M7UpdateTest)
#include "tst_k3m7update.moc"
