#include "emulatorbackend.h"
#include "hidcalls.h"
#include "t5adapter.h"
#include "t5flashbuilder.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

namespace {
// T5 command and reply codes.
constexpr quint32 erase = 0x55, read = 0x56, write = 0x57, runStatus = 0x5D, reboot = 0x61;
constexpr quint32 ackData = 0x58, ackErase = 0x59;
constexpr quint32 flashBase = 0x08000000;

QByteArray bytesAt(const QByteArray &flash, quint32 address, int count)
{
    return flash.mid(int(address - flashBase), count);
}
} // namespace

class TestT5Adapter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void enumeratesAsT5WithoutInterface();
    void readReplyLayout();
    void readsOutsideTheFlashAreRefused();
    void programmingClearsBitsOnlyAndEchoesTheFlash();
    void eraseSetsWholeSectorsOfTheF4MapAndCounts();
    void eraseRefusals();
    void slowEraseAnswersWhenDone();
    void earlyEraseAcknowledgementKeepsTheBootLoaderBusy_data();
    void earlyEraseAcknowledgementKeepsTheBootLoaderBusy();
    void eraseCutErasesItsFirstSectorsAndLosesPower_data();
    void eraseCutErasesItsFirstSectorsAndLosesPower();
    void refusedEraseIsNotCut();
    void wrongEchoFlipsOnlyTheEcho();
    void runStatusReplyCarriesTheStatusBytes();
    void rebootLeavesTheBusAndReturns_data();
    void rebootLeavesTheBusAndReturns();
    void unknownCommandGetsAnErrorCode();
    void writtenSerialNumberMakesAValidT5Info();

    void builderNewLayoutAtDocumentedOffsets();
    void builderOldLayoutKeepsRecordsInConfig();
    void builderDamageStates();
    void builderRefusesWhatDoesNotFit();

private:
    QByteArray readFlash(quint32 address, int length);

    std::unique_ptr<EmulatorBackend> m_backend;
    T5Adapter *m_t5 = nullptr;
    HidBackend::Handle m_handle = nullptr;
};

void TestT5Adapter::init()
{
    m_backend = std::make_unique<EmulatorBackend>();
    m_t5 = m_backend->emplaceAdapter<T5Adapter>();
    m_handle = openFirst(*m_backend, 0x0E3A, 0xB373, -1);
    QVERIFY(m_handle);
}

void TestT5Adapter::cleanup()
{
    m_backend->close(m_handle);
    m_backend.reset();
}

QByteArray TestT5Adapter::readFlash(quint32 address, int length)
{
    QByteArray result;
    while (result.size() < length) {
        const int chunk = qMin(52, length - result.size());
        const QByteArray reply =
            exchangeFrame(*m_backend, m_handle, wordFrame(read, address + result.size(), chunk));
        if (reply.size() != 65 || u32At(reply, 1) != ackData)
            return QByteArray();
        result.append(reply.mid(13, chunk));
    }
    return result;
}

void TestT5Adapter::enumeratesAsT5WithoutInterface()
{
    const QList<EnumeratedDevice> devices = enumerateAll(*m_backend, 0x0E3A);
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().productId, 0xB373);
    QCOMPARE(devices.first().interfaceNumber, -1);
    QCOMPARE(m_t5->flash()->size(), 0x100000u);
}

void TestT5Adapter::readReplyLayout()
{
    T5FlashBuilder builder;
    builder.serial = QByteArray::fromHex("5c4b3a291807f6e5d4c3b2a1");
    QVERIFY(m_t5->setFlashContents(builder.build()));
    const QByteArray reply = exchangeFrame(*m_backend, m_handle, wordFrame(read, 0x08003FC0, 52));
    QCOMPARE(reply.size(), 65);
    QCOMPARE(u32At(reply, 1), ackData);
    QCOMPARE(u32At(reply, 5), 0x08003FC0u);
    QCOMPARE(u32At(reply, 9), 52u);
    // The same header byte by byte: every field little-endian.
    QCOMPARE(reply.left(13), QByteArray::fromHex("00"
                                                 "58000000"
                                                 "c03f0008"
                                                 "34000000"));
    QCOMPARE(reply.at(13), char(0x55)); // T5Info start mark
    QCOMPARE(reply.mid(14, 12), QByteArray::fromHex("5c4b3a291807f6e5d4c3b2a1"));
    // Reading T5Info whole takes 52 + 12 bytes; its last byte is the end mark.
    const QByteArray rest = exchangeFrame(*m_backend, m_handle, wordFrame(read, 0x08003FF4, 12));
    QCOMPARE(u32At(rest, 9), 12u);
    QCOMPARE(rest.at(13 + 11), char(0xAA));
    QCOMPARE(rest.mid(25), QByteArray(40, '\0')); // past the length: zeros
    QCOMPARE(m_t5->readsReceived(), 2);
}

void TestT5Adapter::readsOutsideTheFlashAreRefused()
{
    struct Case
    {
        quint32 address;
        quint32 length;
    };
    // The last two: the T5 has no chip identifier, neither where the M7
    // keeps one nor at address 0.
    const Case cases[] = {{0x07FFFFFF, 4},  {0x080FFFF0, 52}, {0x08100000, 1},  {0x08004000, 0},
                          {0x08004000, 53}, {0xFFFFFFF0, 32}, {0x1FFF7A10, 12}, {0x00000000, 4}};
    for (const Case &c : cases) {
        const QByteArray reply =
            exchangeFrame(*m_backend, m_handle, wordFrame(read, c.address, c.length));
        QCOMPARE(reply.size(), 65);
        QVERIFY2(u32At(reply, 1) != ackData, qPrintable(QString::number(c.address, 16)));
    }
    // The last bytes of the flash are readable.
    QCOMPARE(readFlash(0x080FFFCC, 52), QByteArray(52, char(0xFF)));
}

void TestT5Adapter::programmingClearsBitsOnlyAndEchoesTheFlash()
{
    const quint32 address = 0x08008000;
    QByteArray first(52, char(0xF0));
    first[0] = char(0x3C);
    QByteArray reply = exchangeFrame(*m_backend, m_handle, wordFrame(write, address, 52, first));
    QCOMPARE(u32At(reply, 1), ackData);
    QCOMPARE(u32At(reply, 5), address);
    QCOMPARE(u32At(reply, 9), 52u);
    QCOMPARE(reply.mid(13, 52), first);

    // A second write without erase stores old AND new, and the echo shows it.
    QByteArray second(52, char(0x0F));
    second[0] = char(0xFF);
    reply = exchangeFrame(*m_backend, m_handle, wordFrame(write, address, 52, second));
    QByteArray expected(52, '\0');
    expected[0] = char(0x3C);
    QCOMPARE(reply.mid(13, 52), expected);
    QCOMPARE(readFlash(address, 52), expected);

    // A short write changes only its own bytes.
    reply = exchangeFrame(*m_backend, m_handle,
                          wordFrame(write, address + 100, 3, QByteArray("\x01\x02\x03", 3)));
    QCOMPARE(u32At(reply, 9), 3u);
    QCOMPARE(readFlash(address + 99, 5), QByteArray("\xFF\x01\x02\x03\xFF", 5));

    // Sector 0 (boot loader, T5Info) and the end of the flash are refused.
    reply = exchangeFrame(*m_backend, m_handle, wordFrame(write, 0x08003FC0, 4, "abcd"));
    QVERIFY(u32At(reply, 1) != ackData);
    reply = exchangeFrame(*m_backend, m_handle, wordFrame(write, 0x080FFFFE, 4, "abcd"));
    QVERIFY(u32At(reply, 1) != ackData);
    QCOMPARE(m_t5->writesReceived(), 5);
}

void TestT5Adapter::eraseSetsWholeSectorsOfTheF4MapAndCounts()
{
    QByteArray zeros(m_t5->flash()->size(), '\0');
    QVERIFY(m_t5->setFlashContents(zeros));
    // Sectors 4 (64 KiB at 0x08010000) and 6 (128 KiB at 0x08040000).
    const QByteArray reply =
        exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 2, QByteArray("\x04\x06", 2)));
    QCOMPARE(u32At(reply, 1), ackErase);
    const QByteArray flash = m_t5->flashContents();
    QCOMPARE(bytesAt(flash, 0x08010000, 0x10000), QByteArray(0x10000, char(0xFF)));
    QCOMPARE(bytesAt(flash, 0x08040000, 0x20000), QByteArray(0x20000, char(0xFF)));
    QCOMPARE(bytesAt(flash, 0x0800FFFF, 1), QByteArray(1, '\0'));
    QCOMPARE(bytesAt(flash, 0x08020000, 0x20000), QByteArray(0x20000, '\0'));
    QCOMPARE(bytesAt(flash, 0x08060000, 1), QByteArray(1, '\0'));
    QCOMPARE(m_t5->erasesOfSector(4), 1);
    QCOMPARE(m_t5->erasesOfSector(6), 1);
    QCOMPARE(m_t5->erasesOfSector(5), 0);
    QCOMPARE(m_t5->erasesReceived(), 1);

    // Sector 11 is the last one, 128 KiB at 0x080E0000.
    exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 1, QByteArray("\x0B", 1)));
    QCOMPARE(bytesAt(m_t5->flashContents(), 0x080E0000, 0x20000), QByteArray(0x20000, char(0xFF)));
    QCOMPARE(bytesAt(m_t5->flashContents(), 0x080DFFFF, 1), QByteArray(1, '\0'));
}

void TestT5Adapter::eraseRefusals()
{
    const QByteArray untouched = T5FlashBuilder().build();
    QVERIFY(m_t5->setFlashContents(untouched));
    // Sector 0 holds the boot loader; 12 is past the flash; a count of 0.
    const QByteArray lists[] = {QByteArray("\x01\x00", 2), QByteArray("\x05\x0C", 2), QByteArray()};
    for (const QByteArray &list : lists) {
        const QByteArray reply =
            exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, quint32(list.size()), list));
        QCOMPARE(reply.size(), 65);
        QVERIFY(u32At(reply, 1) != ackErase);
    }
    QCOMPARE(m_t5->flashContents(), untouched); // a refused list erases nothing

    EmulatedAdapter::Faults faults;
    faults.eraseRefusedAtErase = 4; // the three above were erase commands 1-3
    m_t5->setFaults(faults);
    QByteArray reply =
        exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 1, QByteArray("\x01", 1)));
    QVERIFY(u32At(reply, 1) != ackErase);
    QCOMPARE(m_t5->flashContents(), untouched);
    reply = exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 1, QByteArray("\x01", 1)));
    QCOMPARE(u32At(reply, 1), ackErase);

    faults.eraseRefused = true;
    m_t5->setFaults(faults);
    reply = exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 1, QByteArray("\x02", 1)));
    QVERIFY(u32At(reply, 1) != ackErase);
    QCOMPARE(m_t5->erasesOfSector(2), 0);
}

void TestT5Adapter::slowEraseAnswersWhenDone()
{
    m_t5->setEraseMsPerSector(60);
    QVERIFY(sendFrame(*m_backend, m_handle, wordFrame(erase, 0, 3, QByteArray("\x06\x07\x08", 3))));
    int result = 0;
    receiveReport(*m_backend, m_handle, 100, &result);
    QCOMPARE(result, 0); // 3 × 60 ms have not passed
    QElapsedTimer clock;
    clock.start();
    const QByteArray reply = receiveReport(*m_backend, m_handle, 2000);
    QCOMPARE(u32At(reply, 0), ackErase);
    QVERIFY(clock.elapsed() >= 40);
}

void TestT5Adapter::earlyEraseAcknowledgementKeepsTheBootLoaderBusy_data()
{
    QTest::addColumn<bool>("early");
    QTest::newRow("acknowledged when done") << false;
    QTest::newRow("acknowledged early") << true;
}

void TestT5Adapter::earlyEraseAcknowledgementKeepsTheBootLoaderBusy()
{
    QFETCH(bool, early);
    constexpr int eraseMs = 3 * 150;
    m_t5->setEraseMsPerSector(150);
    QVERIFY(m_t5->setFlashContents(QByteArray(0x100000, '\0')));
    EmulatedAdapter::Faults faults;
    faults.eraseAcknowledgedEarly = early;
    m_t5->setFaults(faults);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(sendFrame(*m_backend, m_handle, wordFrame(erase, 0, 3, QByteArray("\x06\x07\x08", 3))));
    QByteArray reply = receiveReport(*m_backend, m_handle, 200);
    if (!early) {
        QVERIFY(reply.isEmpty());
        reply = receiveReport(*m_backend, m_handle, 3000);
        QVERIFY(clock.elapsed() >= eraseMs - 10);
    }
    QCOMPARE(reply.size(), 64);
    QCOMPARE(u32At(reply, 0), ackErase);

    // A write and a read sent now are carried out after the erase: the
    // write lands on erased flash, the read sees what it wrote.
    const QByteArray data(52, char(0x3C));
    QVERIFY(sendFrame(*m_backend, m_handle, wordFrame(write, 0x08040000, 52, data)));
    QVERIFY(sendFrame(*m_backend, m_handle, wordFrame(read, 0x08040000, 52)));
    const QByteArray writeReply = receiveReport(*m_backend, m_handle, 3000);
    QVERIFY(clock.elapsed() >= eraseMs - 10);
    QCOMPARE(writeReply.size(), 64);
    QCOMPARE(u32At(writeReply, 0), ackData);
    QCOMPARE(writeReply.mid(12, 52), data);
    const QByteArray readReply = receiveReport(*m_backend, m_handle, 3000);
    QCOMPARE(readReply.size(), 64);
    QCOMPARE(u32At(readReply, 0), ackData);
    QCOMPARE(readReply.mid(12, 52), data);
    QCOMPARE(bytesAt(m_t5->flashContents(), 0x08060000, 0x40000), QByteArray(0x40000, char(0xFF)));

    // Once the erase is over the adapter answers at once again.
    clock.restart();
    QCOMPARE(u32At(exchangeFrame(*m_backend, m_handle, wordFrame(runStatus, 0, 4)), 1), 0x5Du);
    QVERIFY(clock.elapsed() < 150);
}

void TestT5Adapter::eraseCutErasesItsFirstSectorsAndLosesPower_data()
{
    QTest::addColumn<int>("sectorsBeforeCut");
    QTest::addColumn<bool>("early");
    QTest::addColumn<int>("eraseMsPerSector");
    QTest::newRow("cut before the first sector") << 0 << false << 0;
    QTest::newRow("cut after one of three") << 1 << false << 0;
    QTest::newRow("cut after all three") << 3 << false << 0;
    QTest::newRow("timed cut after two") << 2 << false << 100;
    QTest::newRow("early acknowledgement, cut after two") << 2 << true << 100;
}

void TestT5Adapter::eraseCutErasesItsFirstSectorsAndLosesPower()
{
    QFETCH(int, sectorsBeforeCut);
    QFETCH(bool, early);
    QFETCH(int, eraseMsPerSector);
    QVERIFY(m_t5->setFlashContents(QByteArray(0x100000, '\0')));
    m_t5->setEraseMsPerSector(eraseMsPerSector);
    EmulatedAdapter::Faults faults;
    faults.eraseCutAtErase = 2; // counted in erase commands
    faults.eraseCutAfterSectors = sectorsBeforeCut;
    faults.eraseAcknowledgedEarly = early;
    faults.replugAfterMs = 300;
    m_t5->setFaults(faults);
    QSignalSpy spy(m_backend.get(), &HidBackend::deviceConnectionChanged);

    QByteArray reply =
        exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 1, QByteArray("\x02", 1)));
    QCOMPARE(u32At(reply, 1), ackErase);
    // Sectors 5, 6, 7 in that order: 128 KiB each from 0x08020000.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(sendFrame(*m_backend, m_handle, wordFrame(erase, 0, 3, QByteArray("\x05\x06\x07", 3))));
    if (early) {
        reply = receiveReport(*m_backend, m_handle, 150);
        QCOMPARE(reply.size(), 64);
        QCOMPARE(u32At(reply, 0), ackErase);
        QVERIFY(m_backend->isPlugged(m_t5));
    } else if (eraseMsPerSector == 0) {
        QVERIFY(!m_backend->isPlugged(m_t5)); // at once
    }
    int result = 0;
    receiveReport(*m_backend, m_handle, 3000, &result);
    QCOMPARE(result, -1); // the handle died with the power
    QVERIFY(clock.elapsed() >= sectorsBeforeCut * eraseMsPerSector - 10);
    QVERIFY(!m_backend->isPlugged(m_t5));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), false);

    const QByteArray flash = m_t5->flashContents();
    for (int i = 0; i < 3; ++i) {
        const quint32 sector = 0x08020000 + quint32(i) * 0x20000;
        const char expected = i < sectorsBeforeCut ? char(0xFF) : '\0';
        QCOMPARE(bytesAt(flash, sector, 0x20000), QByteArray(0x20000, expected));
        QCOMPARE(m_t5->erasesOfSector(5 + i), i < sectorsBeforeCut ? 1 : 0);
    }
    QCOMPARE(bytesAt(flash, 0x08008000, 0x4000), QByteArray(0x4000, char(0xFF)));
    QCOMPARE(bytesAt(flash, 0x08080000, 16), QByteArray(16, '\0'));

    // Power back: same identity, the flash as it was left.
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 3000);
    QCOMPARE(spy.at(1).at(0).toBool(), true);
    QVERIFY(!sendFrame(*m_backend, m_handle, wordFrame(read, 0x08020000, 4)));
    m_backend->close(m_handle);
    m_handle = openFirst(*m_backend, 0x0E3A, 0xB373, -1);
    QVERIFY(m_handle);
    QCOMPARE(readFlash(0x08040000, 4), QByteArray(4, sectorsBeforeCut >= 2 ? char(0xFF) : '\0'));
    // Only that erase is cut.
    reply = exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 1, QByteArray("\x07", 1)));
    QCOMPARE(u32At(reply, 1), ackErase);
}

void TestT5Adapter::refusedEraseIsNotCut()
{
    // A list the boot loader refuses erases nothing, so there is nothing to
    // cut short: the refusal is answered and the adapter stays.
    QVERIFY(m_t5->setFlashContents(QByteArray(0x100000, '\0')));
    EmulatedAdapter::Faults faults;
    faults.eraseCutAtErase = 1;
    faults.eraseCutAfterSectors = 0;
    m_t5->setFaults(faults);
    const QByteArray reply =
        exchangeFrame(*m_backend, m_handle, wordFrame(erase, 0, 2, QByteArray("\x05\x0C", 2)));
    QCOMPARE(reply.size(), 65);
    QVERIFY(u32At(reply, 1) != ackErase);
    QVERIFY(m_backend->isPlugged(m_t5));
    QCOMPARE(m_t5->flashContents(), QByteArray(0x100000, '\0'));
}

void TestT5Adapter::wrongEchoFlipsOnlyTheEcho()
{
    EmulatedAdapter::Faults faults;
    faults.wrongEchoAtChunk = 2;
    m_t5->setFaults(faults);
    const QByteArray data(52, char(0x42));
    for (int chunk = 1; chunk <= 3; ++chunk) {
        const quint32 address = 0x08040000 + quint32(52 * (chunk - 1));
        const QByteArray reply =
            exchangeFrame(*m_backend, m_handle, wordFrame(write, address, 52, data));
        QCOMPARE(u32At(reply, 1), ackData);
        QCOMPARE(reply.mid(13, 52) == data, chunk != 2);
    }
    QCOMPARE(readFlash(0x08040000, 156), QByteArray(156, char(0x42)));
}

void TestT5Adapter::runStatusReplyCarriesTheStatusBytes()
{
    m_t5->setRunStatus(QByteArray("\x01\x02\x03\x04", 4));
    QByteArray reply = exchangeFrame(*m_backend, m_handle, wordFrame(runStatus, 0, 4));
    QCOMPARE(u32At(reply, 1), 0x5Du);
    QCOMPARE(u32At(reply, 9), 4u);
    QCOMPARE(reply.mid(13, 4), QByteArray("\x01\x02\x03\x04", 4));
}

void TestT5Adapter::rebootLeavesTheBusAndReturns_data()
{
    QTest::addColumn<int>("returnAfterMs");
    QTest::newRow("at once") << 0;
    QTest::newRow("after 250 ms") << 250;
}

void TestT5Adapter::rebootLeavesTheBusAndReturns()
{
    QFETCH(int, returnAfterMs);
    QCOMPARE(T5Adapter().rebootReturnAfterMs(), 1500); // a real T5 takes about that long
    m_t5->setRebootReturnAfterMs(returnAfterMs);
    const QByteArray flash = T5FlashBuilder().build();
    QVERIFY(m_t5->setFlashContents(flash));
    QSignalSpy spy(m_backend.get(), &HidBackend::deviceConnectionChanged);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(sendFrame(*m_backend, m_handle, wordFrame(reboot, 0, 4)));
    // No reply: the handle dies with the departure instead.
    int result = 0;
    receiveReport(*m_backend, m_handle, 1000, &result);
    QCOMPARE(result, -1);
    QCOMPARE(m_t5->reboots(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 3000);
    QVERIFY(clock.elapsed() >= returnAfterMs - 10);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(1).at(0).toBool(), true);
    QCOMPARE(spy.at(1).at(1).toDouble(), 3642.0);
    QCOMPARE(spy.at(1).at(2).toDouble(), double(0xB373));

    // Back with the same identity and flash; the old handle stays dead.
    QVERIFY(!sendFrame(*m_backend, m_handle, wordFrame(read, 0x08003FC0, 4)));
    m_backend->close(m_handle);
    m_handle = openFirst(*m_backend, 0x0E3A, 0xB373, -1);
    QVERIFY(m_handle);
    QCOMPARE(readFlash(0x08004000, 52), bytesAt(flash, 0x08004000, 52));
    QCOMPARE(m_t5->reboots(), 1);
}

void TestT5Adapter::unknownCommandGetsAnErrorCode()
{
    const QByteArray reply = exchangeFrame(*m_backend, m_handle, wordFrame(0x42, 0x08004000, 4));
    QCOMPARE(reply.size(), 65);
    QVERIFY(u32At(reply, 1) != ackData);
    QVERIFY(u32At(reply, 1) != ackErase);
}

void TestT5Adapter::writtenSerialNumberMakesAValidT5Info()
{
    const QByteArray serial = QByteArray::fromHex("00112233445566778899aabb");
    m_t5->writeSerialNumber(serial);
    const QByteArray info = readFlash(0x08003FC0, 64);
    QCOMPARE(info.size(), 64);
    QCOMPARE(info.at(0), char(0x55));
    QCOMPARE(info.mid(1, 12), serial);
    QCOMPARE(info.at(63), char(0xAA));
    // Only T5Info changes: the rest of sector 0 and sector 1 stay erased.
    QCOMPARE(readFlash(0x08003F8C, 52), QByteArray(52, char(0xFF)));
    QCOMPARE(readFlash(0x08004000, 52), QByteArray(52, char(0xFF)));
}

void TestT5Adapter::builderNewLayoutAtDocumentedOffsets()
{
    T5FlashBuilder builder;
    builder.version = "5.6.2";
    QByteArray image;
    for (int i = 0; i < 1000; ++i)
        image.append(char(i * 7 + 1));
    builder.image = image;
    builder.bootMode = 3;
    builder.serial = QByteArray::fromHex("a1b2c3d4e5f60718293a4b5c");
    const QByteArray body = T5FlashBuilder::sampleBytes(15, 9);
    builder.records = {T5FlashBuilder::macroRecord(3, "first", body),
                       T5FlashBuilder::macroRecord(4, "second", body)};
    const QByteArray flash = builder.build();
    QCOMPARE(flash.size(), 0x100000);

    const QByteArray info = bytesAt(flash, 0x08003FC0, 64);
    QCOMPARE(info.at(0), char(0x55));
    QCOMPARE(info.at(63), char(0xAA));
    QCOMPARE(info.mid(1, 12), builder.serial);

    const QByteArray config = bytesAt(flash, 0x08004000, 0x4000);
    QCOMPARE(config.left(4), QByteArray("\x55\x05\x06\x02", 4));
    QCOMPARE(u32At(config, 4), 0x08040000u);
    QCOMPARE(u32At(config, 8), 1000u);
    QCOMPARE(u16At(config, 0x40), quint16(0xAA55));
    const quint16 settings[] = {0x1245, 0x1252, 0x1251, 0x124F, 0x1250};
    for (int i = 0; i < 5; ++i)
        QCOMPARE(u16At(config, 0x46 + 2 * i), settings[i]);
    QCOMPARE(config.at(0x7E), char(0x10));
    QCOMPARE(config.at(0x82), char(3));
    QCOMPARE(config.at(0x3F1D), char(0x55));
    QCOMPARE(config.mid(0x3F1E, 4), QByteArray("\x01\x00\x00\x00", 4));
    QCOMPARE(config.at(0x3FFE), char(0xAA));
    QCOMPARE(config.at(0x3FFF), char(0xAA));
    QCOMPARE(config.at(0x124), '\0'); // no records in T5Config in the new layout

    // Factory data blocks: L = 66, mark 0x55AA at 64, block A bytes 3-8 0xFF.
    const QByteArray blockA = bytesAt(flash, 0x08008000, 66);
    QCOMPARE(u16At(blockA, 0), quint16(66));
    QCOMPARE(blockA.mid(3, 6), QByteArray(6, char(0xFF)));
    QCOMPARE(blockA.at(2), '\0');
    QCOMPARE(blockA.at(9), '\0');
    QCOMPARE(u16At(blockA, 64), quint16(0x55AA));
    const QByteArray blockB = bytesAt(flash, 0x08010000, 66);
    QCOMPARE(u16At(blockB, 0), quint16(66));
    QCOMPARE(blockB.mid(2, 62), QByteArray(62, '\0'));
    QCOMPARE(u16At(blockB, 64), quint16(0x55AA));

    // Macro block: header, records of 85 + 15 and 132 + 15 bytes, mark.
    const QByteArray macro = bytesAt(flash, 0x08020000, 0x200);
    const int total = 100 + 147;
    QCOMPARE(int(u16At(macro, 0)), 64 + total + 2);
    QCOMPARE(int(macro.at(2)), 2);
    QCOMPARE(int(u16At(macro, 3)), total);
    QCOMPARE(u16At(macro, 64), quint16(100));
    QCOMPARE(int(macro.at(64 + 4)), 3);
    QCOMPARE(macro.mid(64 + 5, 5), QByteArray("first"));
    QCOMPARE(macro.mid(64 + 85, 15), body);
    QCOMPARE(u16At(macro, 164), quint16(147));
    QCOMPARE(int(macro.at(164 + 4)), 4);
    QCOMPARE(macro.mid(164 + 132, 15), body);
    QCOMPARE(u16At(macro, 64 + total), quint16(0x55AA));

    // Image at 0x08040000 followed by its end mark 0xAA55.
    QCOMPARE(bytesAt(flash, 0x08040000, 1000), image);
    QCOMPARE(u16At(bytesAt(flash, 0x08040000 + 1000, 2), 0), quint16(0xAA55));
    QCOMPARE(bytesAt(flash, 0x08040000 + 1002, 16), QByteArray(16, char(0xFF)));
}

void TestT5Adapter::builderOldLayoutKeepsRecordsInConfig()
{
    T5FlashBuilder builder;
    builder.version = "5.4.9";
    builder.imageBytes = 2000;
    const QByteArray body(15, 'x');
    builder.records = {T5FlashBuilder::macroRecord(2, "a", body),
                       T5FlashBuilder::macroRecord(3, "b", body)};
    const QByteArray flash = builder.build();
    const QByteArray config = bytesAt(flash, 0x08004000, 0x4000);
    QCOMPARE(config.left(4), QByteArray("\x55\x05\x04\x09", 4));
    QCOMPARE(u32At(config, 4), 0x08020000u);
    QCOMPARE(int(config.at(0x124)), 2);
    QCOMPARE(int(u16At(config, 0x125)), 200);
    QCOMPARE(int(u16At(config, 0x164)), 100);
    QCOMPARE(int(config.at(0x164 + 4)), 2);
    QCOMPARE(int(config.at(0x164 + 100 + 4)), 3);
    QCOMPARE(u16At(bytesAt(flash, 0x08008000 + 64, 2), 0), quint16(0xAA55));
    QCOMPARE(u16At(bytesAt(flash, 0x08010000 + 64, 2), 0), quint16(0xAA55));
    QCOMPARE(builder.effectiveImage().size(), 2000);
    QCOMPARE(bytesAt(flash, 0x08020000, 2000), builder.effectiveImage());
    QCOMPARE(u16At(bytesAt(flash, 0x08020000 + 2000, 2), 0), quint16(0xAA55));
    QCOMPARE(bytesAt(flash, 0x08040000, 64), QByteArray(64, char(0xFF)));

    // 5.5.0 is the first version of the new layout.
    builder.version = "5.5.0";
    QVERIFY(builder.usesNewLayout());
    QCOMPARE(u32At(bytesAt(builder.build(), 0x08004004, 4), 0), 0x08040000u);
}

void TestT5Adapter::builderDamageStates()
{
    T5FlashBuilder builder;
    builder.imageBytes = 500;
    builder.firmwareLost = true;
    QByteArray flash = builder.build();
    QVERIFY(u16At(bytesAt(flash, 0x08040000 + 500, 2), 0) != 0xAA55);
    QCOMPARE(bytesAt(flash, 0x08003FC0, 1), QByteArray(1, char(0x55)));

    builder.firmwareLost = false;
    builder.configurationLost = true;
    flash = builder.build();
    QVERIFY(u16At(bytesAt(flash, 0x08008000 + 64, 2), 0) != 0x55AA);
    QVERIFY(u16At(bytesAt(flash, 0x08010000 + 64, 2), 0) != 0x55AA);
    QCOMPARE(u16At(bytesAt(flash, 0x08040000 + 500, 2), 0), quint16(0xAA55));

    builder.configurationLost = false;
    builder.hardwareFailure = true;
    flash = builder.build();
    const QByteArray info = bytesAt(flash, 0x08003FC0, 64);
    QVERIFY(info.at(0) != char(0x55) || info.at(63) != char(0xAA));
    QCOMPARE(info.mid(1, 12), builder.serial);
}

void TestT5Adapter::builderRefusesWhatDoesNotFit()
{
    T5FlashBuilder builder;
    QString error;
    builder.imageBytes = 0xC0000 - 1; // image + mark one byte past sector 11
    QVERIFY(builder.build(&error).isEmpty());
    QVERIFY(!error.isEmpty());
    builder.imageBytes = 0xC0000 - 2;
    QCOMPARE(builder.build().size(), 0x100000);

    builder.version = "5.4.0";
    builder.imageBytes = 0x40000 - 1; // old layout: sectors 5 and 6
    QVERIFY(builder.build().isEmpty());
    builder.imageBytes = 0x40000 - 2;
    QCOMPARE(builder.build().size(), 0x100000);
    builder.imageBytes = 1000;
    builder.records = {T5FlashBuilder::macroRecord(2, "big", QByteArray(0x3F1D - 0x164, 'b'))};
    QVERIFY(builder.build().isEmpty()); // records run past T5Config's tail area
    builder.version = "5.5";
    builder.records.clear();
    QVERIFY(builder.build().isEmpty());
}

QTEST_GUILESS_MAIN(TestT5Adapter)
#include "tst_t5adapter.moc"
