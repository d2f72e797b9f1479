#include "emulatorbackend.h"
#include "hidcalls.h"
#include "k3adapter.h"
#include "k3m7flashbuilder.h"
#include "m7adapter.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

namespace {
constexpr quint32 flashBase = 0x08000000;

// K3 frame as the host builds it: 0x04 at 1, command at 2, u32 address at
// 3, u16 length at 7, data from 9.
QByteArray k3Frame(quint8 command, quint32 address, quint16 length,
                   const QByteArray &data = QByteArray())
{
    QByteArray frame(65, '\0');
    frame[1] = 0x04;
    frame[2] = char(command);
    putU32(frame, 3, address);
    putU16(frame, 7, length);
    frame.replace(9, data.size(), data);
    return frame;
}

QByteArray eraseData(quint32 address, quint32 size)
{
    QByteArray data(8, '\0');
    putU32(data, 0, address);
    putU32(data, 4, size);
    return data;
}

QByteArray bytesAt(const QByteArray &flash, quint32 address, int count)
{
    return flash.mid(int(address - flashBase), count);
}
} // namespace

class TestK3M7Adapter : public QObject
{
    Q_OBJECT

private slots:
    void k3ApplicationSwitchesToItsBootLoader_data();
    void k3ApplicationSwitchesToItsBootLoader();
    void k3ApplicationAnswersNothingElse();
    void k3ReadReplyLayoutAndChipId();
    void k3EraseClearsEveryTwoKibPageTheRangeTouches_data();
    void k3EraseClearsEveryTwoKibPageTheRangeTouches();
    void k3EraseRefusesTheBootLoaderAndRangesPastTheFlash();
    void k3EraseTakesItsTimePerPage();
    void k3EraseCutStopsAfterItsPages();
    void k3WritesProgramAndEcho();
    void k3BootFlag();
    void k3Faults();

    void m7ReadsFlashAndIdentifier();
    void m7SectorListErase();
    void m7WritesAndWrongEcho();
    void m7EraseCutWithEarlyAcknowledgement();

    void builderInformationBlocks();

private:
    HidBackend::Handle openBoot(EmulatorBackend &backend, quint16 productId)
    {
        return openFirst(backend, 0x0E3A, productId, -1);
    }
};

void TestK3M7Adapter::k3ApplicationSwitchesToItsBootLoader_data()
{
    QTest::addColumn<int>("bootProductId");
    QTest::newRow("boot") << 0xB275;
    QTest::newRow("boot V1") << 0xB270;
}

void TestK3M7Adapter::k3ApplicationSwitchesToItsBootLoader()
{
    QFETCH(int, bootProductId);
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::applicationProductId,
                                                 quint16(bootProductId));
    k3->setReenumerateAfterMs(150);
    QSignalSpy spy(&backend, &HidBackend::deviceConnectionChanged);

    // The application is a composite device; commands go to interface 0.
    const QList<EnumeratedDevice> application = enumerateAll(backend, 0x0E3A, 0xB274);
    QCOMPARE(application.size(), 2);
    QCOMPARE(application.at(0).interfaceNumber, 0);
    QCOMPARE(application.at(1).interfaceNumber, 1);
    QVERIFY(openBoot(backend, 0xB275) == nullptr);
    HidBackend::Handle handle = openFirst(backend, 0x0E3A, 0xB274, 0);
    QVERIFY(handle);

    const QByteArray reply = exchangeFrame(backend, handle, k3Frame(0x5B, 0, 1));
    QCOMPARE(reply.size(), 65); // the reply is read before the adapter leaves
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 1000);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(0).at(2).toDouble(), double(0xB274));
    QVERIFY(enumerateAll(backend, 0x0E3A).isEmpty());
    QCOMPARE(sendReport(backend, handle, QByteArray(64, '\0')), -1);

    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 2000);
    QCOMPARE(spy.at(1).at(0).toBool(), true);
    QCOMPARE(spy.at(1).at(1).toDouble(), 3642.0);
    QCOMPARE(spy.at(1).at(2).toDouble(), double(bootProductId));
    const QList<EnumeratedDevice> boot = enumerateAll(backend, 0x0E3A);
    QCOMPARE(boot.size(), 1);
    QCOMPARE(boot.first().productId, bootProductId);
    QCOMPARE(boot.first().interfaceNumber, -1);
    QVERIFY(k3->inBootLoader());
    QCOMPARE(k3->bootLoaderRequests(), 1);
    backend.close(handle);

    HidBackend::Handle bootHandle = openBoot(backend, quint16(bootProductId));
    QVERIFY(bootHandle);
    QCOMPARE(quint8(exchangeFrame(backend, bootHandle, k3Frame(0x5D, 0, 1)).at(2)), quint8(0x5D));
    backend.close(bootHandle);
}

void TestK3M7Adapter::k3ApplicationAnswersNothingElse()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>();
    HidBackend::Handle command = openFirst(backend, 0x0E3A, 0xB274, 0);
    HidBackend::Handle input = openFirst(backend, 0x0E3A, 0xB274, 1);
    QVERIFY(command && input);
    const QByteArray reply = exchangeFrame(backend, command, k3Frame(0x56, 0x08004000, 56));
    QVERIFY(quint8(reply.at(2)) != 0x58);
    // The input interface takes reports without answering (nor switching).
    QVERIFY(sendFrame(backend, input, k3Frame(0x5B, 0, 1)));
    int result = -2;
    receiveReport(backend, input, 50, &result);
    QCOMPARE(result, 0);
    QVERIFY(!k3->inBootLoader());
    backend.close(command);
    backend.close(input);
}

void TestK3M7Adapter::k3ReadReplyLayoutAndChipId()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductId);
    const QByteArray flash = K3FlashBuilder().build();
    QVERIFY(k3->setFlashContents(flash));
    const QByteArray chipId = QByteArray::fromHex("31ff7a0548553435") + QByteArray(24, '\x11');
    k3->setChipId(chipId);
    HidBackend::Handle handle = openBoot(backend, 0xB275);
    QVERIFY(handle);

    QByteArray reply = exchangeFrame(backend, handle, k3Frame(0x56, 0x08004100, 56));
    QCOMPARE(reply.size(), 65);
    QCOMPARE(quint8(reply.at(2)), quint8(0x58));
    QCOMPARE(u32At(reply, 3), 0x08004100u);
    QCOMPARE(u16At(reply, 7), quint16(56));
    // The same header byte by byte: address and length little-endian.
    QCOMPARE(reply.left(9), QByteArray::fromHex("00"
                                                "04"
                                                "58"
                                                "00410008"
                                                "3800"));
    QCOMPARE(reply.mid(9, 56), bytesAt(flash, 0x08004100, 56));
    QCOMPARE(reply.at(9), char(0x55));

    reply = exchangeFrame(backend, handle, k3Frame(0x56, 0x1FFFF7E8, 32));
    QCOMPARE(quint8(reply.at(2)), quint8(0x58));
    QCOMPARE(reply.mid(9, 32), chipId);
    // Past the 32 identifier bytes, past the flash, or too long: refused.
    for (const auto &request : {k3Frame(0x56, 0x1FFFF7E8, 33), k3Frame(0x56, 0x0803FFF0, 32),
                                k3Frame(0x56, 0x08004000, 57), k3Frame(0x56, 0x08004000, 0)})
        QVERIFY(quint8(exchangeFrame(backend, handle, request).at(2)) != 0x58);
    // The identifier is not writable.
    QVERIFY(quint8(exchangeFrame(backend, handle, k3Frame(0x57, 0x1FFFF7E8, 4, "abcd")).at(2)) !=
            0x58);
    QCOMPARE(k3->chipId(), chipId);
    // A frame without 0x04 at byte 1 is not a K3 command.
    QByteArray unmarked = k3Frame(0x56, 0x08004000, 8);
    unmarked[1] = 0x05;
    QVERIFY(quint8(exchangeFrame(backend, handle, unmarked).at(2)) != 0x58);
    backend.close(handle);
}

void TestK3M7Adapter::k3EraseClearsEveryTwoKibPageTheRangeTouches_data()
{
    // The K3 is a 256 KiB STM32F1 (its unique identifier sits at the F1's
    // 0x1FFFF7E8): a high-density part, erased in 2 KiB pages.
    QTest::addColumn<quint32>("address");
    QTest::addColumn<quint32>("size");
    QTest::addColumn<quint32>("erasedAddress");
    QTest::addColumn<quint32>("erasedSize");
    QTest::newRow("information block: its page holds all three blocks")
        << 0x08004100u << 256u << 0x08004000u << 0x800u;
    QTest::newRow("spare block") << 0x08004200u << 256u << 0x08004000u << 0x800u;
    QTest::newRow("two bytes across a page boundary")
        << 0x080047FFu << 2u << 0x08004000u << 0x1000u;
    QTest::newRow("largest image") << 0x08005000u << 131072u << 0x08005000u << 0x20000u;
    QTest::newRow("odd image size") << 0x08005000u << 5000u << 0x08005000u << 0x1800u;
    QTest::newRow("last page") << 0x0803F800u << 0x800u << 0x0803F800u << 0x800u;
}

void TestK3M7Adapter::k3EraseClearsEveryTwoKibPageTheRangeTouches()
{
    QFETCH(quint32, address);
    QFETCH(quint32, size);
    QFETCH(quint32, erasedAddress);
    QFETCH(quint32, erasedSize);
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductId);
    QVERIFY(k3->setFlashContents(QByteArray(0x40000, '\0')));
    HidBackend::Handle handle = openBoot(backend, 0xB275);

    const QByteArray reply =
        exchangeFrame(backend, handle, k3Frame(0x55, 0, 8, eraseData(address, size)));
    QCOMPARE(quint8(reply.at(2)), quint8(0x59));
    const QByteArray flash = k3->flashContents();
    QCOMPARE(bytesAt(flash, erasedAddress, int(erasedSize)),
             QByteArray(int(erasedSize), char(0xFF)));
    QCOMPARE(bytesAt(flash, erasedAddress - 1, 1), QByteArray(1, '\0'));
    if (erasedAddress + erasedSize < flashBase + 0x40000)
        QCOMPARE(bytesAt(flash, erasedAddress + erasedSize, 1), QByteArray(1, '\0'));
    const QVector<EmulatedFlash::Sector> erased = k3->erasedRanges();
    QCOMPARE(erased.size(), 1);
    QCOMPARE(erased.first().address, erasedAddress);
    QCOMPARE(erased.first().size, erasedSize);
    backend.close(handle);
}

void TestK3M7Adapter::k3EraseRefusesTheBootLoaderAndRangesPastTheFlash()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductId);
    QVERIFY(k3->setFlashContents(QByteArray(0x40000, '\0')));
    HidBackend::Handle handle = openBoot(backend, 0xB275);
    // Into the boot loader, past the flash, empty, or a wrong length field.
    for (const auto &request : {k3Frame(0x55, 0, 8, eraseData(0x08003C00, 1024)),
                                k3Frame(0x55, 0, 8, eraseData(0x08003FFF, 2)),
                                k3Frame(0x55, 0, 8, eraseData(0x0803FC00, 2048)),
                                k3Frame(0x55, 0, 8, eraseData(0x08006000, 0)),
                                k3Frame(0x55, 0, 4, eraseData(0x08006000, 16))})
        QVERIFY(quint8(exchangeFrame(backend, handle, request).at(2)) != 0x59);
    QVERIFY(k3->erasedRanges().isEmpty());
    QCOMPARE(k3->flashContents(), QByteArray(0x40000, '\0'));
    backend.close(handle);
}

void TestK3M7Adapter::k3EraseTakesItsTimePerPage()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductId);
    k3->setEraseMsPerSector(100);
    HidBackend::Handle handle = openBoot(backend, 0xB275);
    // 3 bytes touching pages 0x08004000 and 0x08004800: 200 ms.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(sendFrame(backend, handle, k3Frame(0x55, 0, 8, eraseData(0x080047FE, 3))));
    QVERIFY(receiveReport(backend, handle, 120).isEmpty());
    const QByteArray reply = receiveReport(backend, handle, 2000);
    QCOMPARE(quint8(reply.at(1)), quint8(0x59));
    QVERIFY(clock.elapsed() >= 190);
    backend.close(handle);
}

void TestK3M7Adapter::k3EraseCutStopsAfterItsPages()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductId);
    QVERIFY(k3->setFlashContents(QByteArray(0x40000, '\0')));
    EmulatedAdapter::Faults faults;
    faults.eraseCutAtErase = 1;
    faults.eraseCutAfterSectors = 3;
    faults.replugAfterMs = 100;
    k3->setFaults(faults);
    QSignalSpy spy(&backend, &HidBackend::deviceConnectionChanged);
    HidBackend::Handle handle = openBoot(backend, 0xB275);

    // 16 KiB (eight pages) from 0x08005000: the first three go.
    QVERIFY(sendFrame(backend, handle, k3Frame(0x55, 0, 8, eraseData(0x08005000, 0x4000))));
    int result = 0;
    receiveReport(backend, handle, 1000, &result);
    QCOMPARE(result, -1);
    const QByteArray flash = k3->flashContents();
    QCOMPARE(bytesAt(flash, 0x08005000, 0x1800), QByteArray(0x1800, char(0xFF)));
    QCOMPARE(bytesAt(flash, 0x08006800, 0x2800), QByteArray(0x2800, '\0'));
    const QVector<EmulatedFlash::Sector> erased = k3->erasedRanges();
    QCOMPARE(erased.size(), 1);
    QCOMPARE(erased.first().address, 0x08005000u);
    QCOMPARE(erased.first().size, 0x1800u);

    // It comes back in the identity it had, the boot loader.
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 2000);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(1).at(0).toBool(), true);
    QCOMPARE(spy.at(1).at(2).toDouble(), double(0xB275));
    backend.close(handle);
    handle = openBoot(backend, 0xB275);
    QVERIFY(handle);
    const QByteArray reply = exchangeFrame(backend, handle, k3Frame(0x56, 0x08006800, 4));
    QCOMPARE(quint8(reply.at(2)), quint8(0x58));
    QCOMPARE(reply.mid(9, 4), QByteArray(4, '\0'));
    backend.close(handle);
}

void TestK3M7Adapter::k3WritesProgramAndEcho()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductIdV1);
    HidBackend::Handle handle = openBoot(backend, 0xB270);
    QVERIFY(handle);
    const QByteArray data = QByteArray(56, char(0xA5));
    QByteArray reply = exchangeFrame(backend, handle, k3Frame(0x57, 0x08005000, 56, data));
    QCOMPARE(quint8(reply.at(2)), quint8(0x58));
    QCOMPARE(u32At(reply, 3), 0x08005000u);
    QCOMPARE(u16At(reply, 7), quint16(56));
    QCOMPARE(reply.mid(9, 56), data);
    reply = exchangeFrame(backend, handle, k3Frame(0x57, 0x08005000, 56, QByteArray(56, 0x5A)));
    QCOMPARE(reply.mid(9, 56), QByteArray(56, '\0')); // 0xA5 AND 0x5A
    // The boot loader's own area is not writable.
    reply = exchangeFrame(backend, handle, k3Frame(0x57, 0x08003FF0, 16, QByteArray(16, '\0')));
    QVERIFY(quint8(reply.at(2)) != 0x58);
    QCOMPARE(k3->writesReceived(), 3);
    backend.close(handle);
}

void TestK3M7Adapter::k3BootFlag()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductId);
    k3->setBootFlag(1);
    HidBackend::Handle handle = openBoot(backend, 0xB275);
    QByteArray reply = exchangeFrame(backend, handle, k3Frame(0x5D, 0, 1));
    QCOMPARE(quint8(reply.at(2)), quint8(0x5D));
    QCOMPARE(int(reply.at(9)), 1);

    // The host writes the flag back in the read reply's frame with code 0x5C.
    QByteArray write = reply;
    write[1] = 0x04;
    write[2] = 0x5C;
    write[9] = 0;
    QVERIFY(sendFrame(backend, handle, write));
    int result = -2;
    receiveReport(backend, handle, 50, &result);
    QCOMPARE(result, 0); // not answered
    QCOMPARE(k3->bootFlag(), 0);
    QCOMPARE(k3->bootFlagWrites(), 1);
    QCOMPARE(int(exchangeFrame(backend, handle, k3Frame(0x5D, 0, 1)).at(9)), 0);
    backend.close(handle);
}

void TestK3M7Adapter::k3Faults()
{
    EmulatorBackend backend;
    auto *k3 = backend.emplaceAdapter<K3Adapter>("k3", K3Adapter::bootProductId);
    EmulatedAdapter::Faults faults;
    faults.wrongEchoAtChunk = 1;
    faults.eraseRefusedAtErase = 1;
    k3->setFaults(faults);
    HidBackend::Handle handle = openBoot(backend, 0xB275);
    QVERIFY(quint8(exchangeFrame(backend, handle, k3Frame(0x55, 0, 8, eraseData(0x08005000, 1024)))
                       .at(2)) != 0x59);
    QCOMPARE(
        quint8(
            exchangeFrame(backend, handle, k3Frame(0x55, 0, 8, eraseData(0x08005000, 1024))).at(2)),
        quint8(0x59));
    const QByteArray data(56, '\x12');
    QVERIFY(exchangeFrame(backend, handle, k3Frame(0x57, 0x08005000, 56, data)).mid(9, 56) != data);
    QCOMPARE(bytesAt(k3->flashContents(), 0x08005000, 56), data);
    QCOMPARE(exchangeFrame(backend, handle, k3Frame(0x57, 0x08005038, 56, data)).mid(9, 56), data);
    backend.close(handle);
}

void TestK3M7Adapter::m7ReadsFlashAndIdentifier()
{
    EmulatorBackend backend;
    auto *m7 = backend.emplaceAdapter<M7Adapter>();
    const QByteArray flash = M7FlashBuilder().build();
    QVERIFY(m7->setFlashContents(flash));
    const QByteArray chipId = QByteArray::fromHex("3a0046001951333033383837");
    m7->setChipId(chipId);
    const QList<EnumeratedDevice> devices = enumerateAll(backend, 0x0E3A);
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().productId, 0xB471);
    QCOMPARE(devices.first().interfaceNumber, -1);
    HidBackend::Handle handle = openBoot(backend, 0xB471);

    QByteArray reply = exchangeFrame(backend, handle, wordFrame(0x56, 0x1FFF7A10, 12));
    QCOMPARE(u32At(reply, 1), 0x58u);
    QCOMPARE(u32At(reply, 5), 0x1FFF7A10u);
    QCOMPARE(u32At(reply, 9), 12u);
    QCOMPARE(reply.left(13), QByteArray::fromHex("00"
                                                 "58000000"
                                                 "107aff1f"
                                                 "0c000000"));
    QCOMPARE(reply.mid(13, 12), chipId);
    QVERIFY(u32At(exchangeFrame(backend, handle, wordFrame(0x56, 0x1FFF7A10, 13)), 1) != 0x58);
    QVERIFY(u32At(exchangeFrame(backend, handle, wordFrame(0x56, 0x08004000, 53)), 1) != 0x58);

    reply = exchangeFrame(backend, handle, wordFrame(0x56, 0x08003FC0, 52));
    QCOMPARE(u32At(reply, 1), 0x58u);
    QCOMPARE(reply.mid(13, 52), bytesAt(flash, 0x08003FC0, 52));
    reply = exchangeFrame(backend, handle, wordFrame(0x56, 0x08004000, 16));
    QCOMPARE(reply.at(13), char(0x55));
    QCOMPARE(u32At(reply, 14), 0x08010000u);
    backend.close(handle);
}

void TestK3M7Adapter::m7SectorListErase()
{
    EmulatorBackend backend;
    auto *m7 = backend.emplaceAdapter<M7Adapter>();
    m7->setEraseMsPerSector(5);
    QVERIFY(m7->setFlashContents(QByteArray(0x100000, '\0')));
    HidBackend::Handle handle = openBoot(backend, 0xB471);
    QByteArray reply =
        exchangeFrame(backend, handle, wordFrame(0x55, 0, 3, QByteArray("\x01\x04\x05", 3)));
    QCOMPARE(u32At(reply, 1), 0x59u);
    const QByteArray flash = m7->flashContents();
    QCOMPARE(bytesAt(flash, 0x08004000, 0x4000), QByteArray(0x4000, char(0xFF)));
    QCOMPARE(bytesAt(flash, 0x08010000, 0x30000), QByteArray(0x30000, char(0xFF)));
    QCOMPARE(bytesAt(flash, 0x08008000, 0x8000), QByteArray(0x8000, '\0'));   // 2 and 3 kept
    QCOMPARE(bytesAt(flash, 0x08040000, 0x20000), QByteArray(0x20000, '\0')); // 6 kept
    QCOMPARE(bytesAt(flash, 0x08003FC0, 64), QByteArray(64, '\0'));           // factory area
    QCOMPARE(m7->erasesOfSector(5), 1);
    QCOMPARE(m7->erasesOfSector(6), 0);

    for (const QByteArray &list : {QByteArray("\x00", 1), QByteArray("\x04\x0C", 2), QByteArray()})
        QVERIFY(
            u32At(exchangeFrame(backend, handle, wordFrame(0x55, 0, quint32(list.size()), list)),
                  1) != 0x59);
    QCOMPARE(m7->erasesOfSector(4), 1);
    backend.close(handle);
}

void TestK3M7Adapter::m7WritesAndWrongEcho()
{
    EmulatorBackend backend;
    auto *m7 = backend.emplaceAdapter<M7Adapter>();
    EmulatedAdapter::Faults faults;
    faults.wrongEchoAtChunk = 2;
    m7->setFaults(faults);
    HidBackend::Handle handle = openBoot(backend, 0xB471);
    const QByteArray data(52, '\x3C');
    QByteArray reply = exchangeFrame(backend, handle, wordFrame(0x57, 0x08004000, 52, data));
    QCOMPARE(u32At(reply, 1), 0x58u);
    QCOMPARE(u32At(reply, 9), 52u);
    QCOMPARE(reply.mid(13, 52), data);
    reply = exchangeFrame(backend, handle, wordFrame(0x57, 0x08010000, 52, data));
    QVERIFY(reply.mid(13, 52) != data);
    QCOMPARE(bytesAt(m7->flashContents(), 0x08010000, 52), data);
    // Sector 0 holds the factory area: not writable.
    reply = exchangeFrame(backend, handle, wordFrame(0x57, 0x08003FC0, 52, data));
    QVERIFY(u32At(reply, 1) != 0x58);
    QCOMPARE(m7->writesReceived(), 3);
    backend.close(handle);
}

void TestK3M7Adapter::m7EraseCutWithEarlyAcknowledgement()
{
    // The acknowledgement is out before the power goes: the host believes
    // the erase done until its next request finds the adapter gone.
    EmulatorBackend backend;
    auto *m7 = backend.emplaceAdapter<M7Adapter>();
    m7->setEraseMsPerSector(150);
    QVERIFY(m7->setFlashContents(QByteArray(0x100000, '\0')));
    EmulatedAdapter::Faults faults;
    faults.eraseAcknowledgedEarly = true;
    faults.eraseCutAtErase = 1;
    faults.eraseCutAfterSectors = 1;
    m7->setFaults(faults);
    HidBackend::Handle handle = openBoot(backend, 0xB471);
    QElapsedTimer clock;
    clock.start();
    const QByteArray reply =
        exchangeFrame(backend, handle, wordFrame(0x55, 0, 3, QByteArray("\x01\x04\x05", 3)), 100);
    QCOMPARE(reply.size(), 65);
    QCOMPARE(u32At(reply, 1), 0x59u);
    QVERIFY(sendFrame(backend, handle, wordFrame(0x56, 0x08004000, 4)));
    int result = 0;
    receiveReport(backend, handle, 2000, &result);
    QCOMPARE(result, -1);
    QVERIFY(clock.elapsed() >= 140);
    QVERIFY(!backend.isPlugged(m7));
    const QByteArray flash = m7->flashContents();
    QCOMPARE(bytesAt(flash, 0x08004000, 0x4000), QByteArray(0x4000, char(0xFF)));
    QCOMPARE(bytesAt(flash, 0x08010000, 0x30000), QByteArray(0x30000, '\0'));
    QCOMPARE(m7->erasesOfSector(4), 0);
    backend.close(handle);
}

void TestK3M7Adapter::builderInformationBlocks()
{
    K3FlashBuilder k3;
    k3.version = "2.3.17";
    k3.imageBytes = 5000;
    QByteArray flash = k3.build();
    QCOMPARE(flash.size(), 0x40000);
    QByteArray block = bytesAt(flash, 0x08004100, 256);
    QCOMPARE(block.at(0), char(0x55));
    QCOMPARE(u32At(block, 1), 0x08005000u);
    QCOMPARE(block.mid(5, 3), QByteArray("\x02\x03\x11", 3));
    QCOMPARE(u32At(block, 8), 5000u);
    // The digest is the one of the bytes at the start address.
    QCOMPARE(block.mid(12, 16),
             QCryptographicHash::hash(bytesAt(flash, 0x08005000, 5000), QCryptographicHash::Md5));
    QCOMPARE(block.mid(28, 227), QByteArray(227, '\0'));
    QCOMPARE(block.at(255), char(0xAA));
    QCOMPARE(bytesAt(flash, 0x08004000, 1), QByteArray(1, char(0x55)));
    QCOMPARE(bytesAt(flash, 0x080040FF, 1), QByteArray(1, char(0xAA)));
    QCOMPARE(bytesAt(flash, 0x08005000, 5000), k3.effectiveImage());
    k3.firmwareLost = true;
    QCOMPARE(bytesAt(k3.build(), 0x08004100, 256), QByteArray(256, char(0xFF)));
    k3.imageBytes = 131073;
    QVERIFY(k3.build().isEmpty());
    // A given image: the largest a K3 holds, and one byte more.
    const QByteArray largest(131072, char(0x5A));
    k3.image = largest;
    block = bytesAt(k3.build(), 0x08004100, 256);
    QCOMPARE(block, QByteArray(256, char(0xFF))); // still lost
    k3.firmwareLost = false;
    flash = k3.build();
    block = bytesAt(flash, 0x08004100, 256);
    QCOMPARE(u32At(block, 8), 131072u);
    QCOMPARE(block.mid(12, 16), QCryptographicHash::hash(largest, QCryptographicHash::Md5));
    QCOMPARE(bytesAt(flash, 0x08005000, 131072), largest);
    k3.image.append('\0');
    QVERIFY(k3.build().isEmpty());
    k3.image.clear();
    k3.imageBytes = 5000;
    for (const char *version : {"2.1", "2.256.0", "2.x.0"}) {
        k3.version = QString::fromLatin1(version);
        QString error;
        QVERIFY2(k3.build(&error).isEmpty(), version);
        QVERIFY(error.contains(QLatin1String(version)));
    }

    M7FlashBuilder m7;
    m7.version = "1.0.4";
    flash = m7.build();
    QCOMPARE(flash.size(), 0x100000);
    block = bytesAt(flash, 0x08004000, 256);
    QCOMPARE(block.at(0), char(0x55));
    QCOMPARE(u32At(block, 1), 0x08010000u);
    QCOMPARE(block.mid(5, 3), QByteArray("\x01\x00\x04", 3));
    QCOMPARE(u32At(block, 8), quint32(m7.imageBytes));
    QCOMPARE(block.mid(12, 16), QCryptographicHash::hash(bytesAt(flash, 0x08010000, m7.imageBytes),
                                                         QCryptographicHash::Md5));
    QCOMPARE(block.mid(28, 227), QByteArray(227, '\0'));
    QCOMPARE(block.at(255), char(0xAA));
    QCOMPARE(bytesAt(flash, 0x08010000, m7.imageBytes), m7.effectiveImage());
    m7.firmwareLost = true;
    QCOMPARE(bytesAt(m7.build(), 0x08004000, 256), QByteArray(256, char(0xFF)));
    // The image runs from 0x08010000 to the end of the 1 MiB at most.
    m7.image = QByteArray(0xF0000, char(0x66));
    QCOMPARE(bytesAt(m7.build(), 0x080FFFFF, 1), QByteArray(1, char(0x66)));
    m7.image.append('\0');
    QVERIFY(m7.build().isEmpty());
}

QTEST_GUILESS_MAIN(TestK3M7Adapter)
#include "tst_k3m7adapter.moc"
