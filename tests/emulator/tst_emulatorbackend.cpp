#include "echoadapter.h"
#include "emulatorbackend.h"
#include "hidcalls.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

class TestEmulatorBackend : public QObject
{
    Q_OBJECT

private slots:
    void enumerationFiltersByIdsWithZeroAsWildcard();
    void echoRoundTripPadsShortWritesAndCopiesAtMostTheBuffer();
    void compositeDeviceHasOnePathPerInterface();
    void plugAndUnplugRaiseTheConnectionSignal();
    void handleOfAnUnpluggedAdapterStaysDead();
    void lateAdapterAppearsAfterItsDelay();
    void transportFaultsHitTheirReport();
    void shortRepliesAreCut();
    void shortReplyRangeCutsOnlyItsRequests_data();
    void shortReplyRangeCutsOnlyItsRequests();
    void lateReplyIsTakenForTheNextRequestsAnswer();
    void repliesComeInTheOrderTheyAreReady();
    void faultUnplugReturnsAfterTheReplugDelay_data();
    void faultUnplugReturnsAfterTheReplugDelay();
    void readWaitsForADelayedReplyFromAnotherThread();
    void reportsWithAnotherReportIdAreRefused();
};

void TestEmulatorBackend::enumerationFiltersByIdsWithZeroAsWildcard()
{
    EmulatorBackend backend;
    backend.emplaceAdapter<EchoAdapter>("a", 0x0E3A, 0x1111);
    backend.emplaceAdapter<EchoAdapter>("b", 0x0E3A, 0x2222);
    backend.emplaceAdapter<EchoAdapter>("c", 0x1234, 0x1111);

    QCOMPARE(enumerateAll(backend).size(), 3);
    QCOMPARE(enumerateAll(backend, 0x0E3A).size(), 2);
    QCOMPARE(enumerateAll(backend, 0, 0x1111).size(), 2);
    const QList<EnumeratedDevice> one = enumerateAll(backend, 0x0E3A, 0x2222);
    QCOMPARE(one.size(), 1);
    QCOMPARE(one.first().interfaceNumber, -1);
    QVERIFY(!one.first().path.contains("if"));
    QVERIFY(enumerateAll(backend, 0x0E3A, 0x3333).isEmpty());
    QVERIFY(backend.enumerate(0x0E3A, 0x3333) == nullptr);
    QVERIFY(backend.open("no/such/path") == nullptr);
}

void TestEmulatorBackend::echoRoundTripPadsShortWritesAndCopiesAtMostTheBuffer()
{
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    QVERIFY(handle);

    // A 4-byte write: the adapter sees the three bytes after the report id
    // and zeros up to 64.
    const unsigned char shortReport[] = {0x00, 0xA1, 0xB2, 0xC3};
    QCOMPARE(backend.write(handle, shortReport, sizeof shortReport), 4);
    QByteArray expected(64, '\0');
    expected[0] = char(0xA1);
    expected[1] = char(0xB2);
    expected[2] = char(0xC3);
    QCOMPARE(receiveReport(backend, handle), expected);

    // The host buffer is smaller than the report: only that much is copied.
    QCOMPARE(sendReport(backend, handle, expected), 65);
    unsigned char small[8] = {};
    QCOMPARE(backend.readTimeout(handle, small, sizeof small, 1000), 8);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(small), 3), expected.left(3));

    // Nothing queued: a time-out returns 0, a zero time-out does not wait.
    int result = -2;
    receiveReport(backend, handle, 20, &result);
    QCOMPARE(result, 0);
    receiveReport(backend, handle, 0, &result);
    QCOMPARE(result, 0);
    QCOMPARE(echo->reportsReceived(), 2);
    backend.close(handle);
}

void TestEmulatorBackend::compositeDeviceHasOnePathPerInterface()
{
    EmulatorBackend backend;
    auto *composite = backend.emplaceAdapter<CompositeEchoAdapter>();
    const QList<EnumeratedDevice> entries =
        enumerateAll(backend, composite->vendorId(), composite->productId());
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0).interfaceNumber, 0);
    QCOMPARE(entries.at(1).interfaceNumber, 1);
    QVERIFY(entries.at(0).path.endsWith("/if0"));
    QVERIFY(entries.at(1).path.endsWith("/if1"));

    for (int interface : {1, 0}) {
        HidBackend::Handle handle =
            openFirst(backend, composite->vendorId(), composite->productId(), interface);
        QVERIFY(handle);
        const QByteArray reply = exchange(backend, handle, QByteArray(64, char(0x33)));
        QCOMPARE(reply.size(), 64);
        QCOMPARE(int(reply.at(CompositeEchoAdapter::lastByte)), interface);
        QCOMPARE(reply.at(0), char(0x33));
        backend.close(handle);
    }
    QCOMPARE(composite->reportsOnInterface(0), 1);
    QCOMPARE(composite->reportsOnInterface(1), 1);
    QVERIFY(openFirst(backend, composite->vendorId(), composite->productId(), -1) == nullptr);
}

void TestEmulatorBackend::plugAndUnplugRaiseTheConnectionSignal()
{
    EmulatorBackend backend;
    QSignalSpy spy(&backend, &HidBackend::deviceConnectionChanged);
    auto *echo = backend.emplaceAdapter<EchoAdapter>("pad", 0x0E3A, 0xB373);
    backend.unplug(echo);
    backend.unplug(echo); // already gone: no second signal
    QVERIFY(enumerateAll(backend).isEmpty());
    backend.plug(echo);
    QCOMPARE(enumerateAll(backend).size(), 1);

    QCOMPARE(spy.size(), 3);
    const QList<QVariant> arrival = spy.at(0);
    QCOMPARE(arrival.at(0).toBool(), true);
    QCOMPARE(arrival.at(1).toDouble(), 3642.0);
    QCOMPARE(arrival.at(2).toDouble(), 45939.0);
    QCOMPARE(spy.at(1).at(0).toBool(), false);
    QCOMPARE(spy.at(1).at(2).toDouble(), 45939.0);
    QCOMPARE(spy.at(2).at(0).toBool(), true);
}

void TestEmulatorBackend::handleOfAnUnpluggedAdapterStaysDead()
{
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    HidBackend::Handle old = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    QVERIFY(old);
    backend.unplug(echo);
    QVERIFY(backend.open(echo->path().constData()) == nullptr);
    backend.plug(echo);
    int result = 0;
    QCOMPARE(sendReport(backend, old, QByteArray(64, '\1')), -1);
    receiveReport(backend, old, 10, &result);
    QCOMPARE(result, -1);
    HidBackend::Handle fresh = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    QVERIFY(fresh);
    QCOMPARE(exchange(backend, fresh, QByteArray(64, '\2')), QByteArray(64, '\2'));
    backend.close(old);
    backend.close(fresh);
}

void TestEmulatorBackend::lateAdapterAppearsAfterItsDelay()
{
    EmulatorBackend backend;
    QSignalSpy spy(&backend, &HidBackend::deviceConnectionChanged);
    auto adapter = std::make_unique<EchoAdapter>();
    adapter->setAppearAfterMs(300);
    QElapsedTimer clock;
    clock.start();
    EmulatedAdapter *late = backend.addAdapter(std::move(adapter));
    QVERIFY(enumerateAll(backend).isEmpty());
    QVERIFY(!backend.isPlugged(late));
    // The arrival is announced by the backend itself, without anyone asking.
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 2000);
    QVERIFY(clock.elapsed() >= 290);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QCOMPARE(enumerateAll(backend).size(), 1);
}

void TestEmulatorBackend::transportFaultsHitTheirReport()
{
    EmulatorBackend backend;
    QSignalSpy spy(&backend, &HidBackend::deviceConnectionChanged);
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    EmulatedAdapter::Faults faults;
    faults.noReplyAtReport = 2;
    faults.readErrorAtReport = 3;
    faults.writeErrorAtReport = 4;
    faults.unplugAtReport = 6;
    echo->setFaults(faults);
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    const QByteArray payload(64, '\x5A');
    int result = 0;

    QCOMPARE(exchange(backend, handle, payload), payload); // 1
    QCOMPARE(sendReport(backend, handle, payload), 65);    // 2: taken, never answered
    receiveReport(backend, handle, 50, &result);
    QCOMPARE(result, 0);
    QCOMPARE(sendReport(backend, handle, payload), 65); // 3: the read fails once
    receiveReport(backend, handle, 50, &result);
    QCOMPARE(result, -1);
    QCOMPARE(sendReport(backend, handle, payload), -1);    // 4: write fails
    QCOMPARE(exchange(backend, handle, payload), payload); // 5: the link still works
    QCOMPARE(sendReport(backend, handle, payload), 65);    // 6: the adapter leaves
    receiveReport(backend, handle, 50, &result);
    QCOMPARE(result, -1);
    QCOMPARE(sendReport(backend, handle, payload), -1);
    QVERIFY(enumerateAll(backend).isEmpty());
    QCOMPARE(echo->reportsReceived(), 6);
    QCOMPARE(spy.last().at(0).toBool(), false);
    backend.close(handle);
}

void TestEmulatorBackend::shortRepliesAreCut()
{
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    EmulatedAdapter::Faults faults;
    faults.shortReplyBytes = 16;
    echo->setFaults(faults);
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    QByteArray payload(64, '\0');
    for (int i = 0; i < 64; ++i)
        payload[i] = char(i + 1);
    QCOMPARE(exchange(backend, handle, payload), payload.left(16));
    backend.close(handle);
}

void TestEmulatorBackend::shortReplyRangeCutsOnlyItsRequests_data()
{
    QTest::addColumn<int>("fromReport");
    QTest::addColumn<int>("toReport");
    QTest::addColumn<QList<int>>("cutRequests");
    QTest::newRow("no range: every reply") << 0 << 0 << QList<int>{1, 2, 3, 4, 5, 6};
    QTest::newRow("2 to 4") << 2 << 4 << QList<int>{2, 3, 4};
    QTest::newRow("one request") << 3 << 3 << QList<int>{3};
    QTest::newRow("from 5 to the end") << 5 << 0 << QList<int>{5, 6};
    QTest::newRow("up to 2") << 0 << 2 << QList<int>{1, 2};
}

void TestEmulatorBackend::shortReplyRangeCutsOnlyItsRequests()
{
    QFETCH(int, fromReport);
    QFETCH(int, toReport);
    QFETCH(QList<int>, cutRequests);
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    EmulatedAdapter::Faults faults;
    faults.shortReplyBytes = 10;
    faults.shortReplyFromReport = fromReport;
    faults.shortReplyToReport = toReport;
    echo->setFaults(faults);
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    for (int request = 1; request <= 6; ++request) {
        const QByteArray payload(64, char(request));
        const QByteArray reply = exchange(backend, handle, payload);
        QCOMPARE(reply, cutRequests.contains(request) ? payload.left(10) : payload);
    }
    backend.close(handle);
}

void TestEmulatorBackend::lateReplyIsTakenForTheNextRequestsAnswer()
{
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    echo->setReplyDelayMs(150);
    EmulatedAdapter::Faults faults;
    faults.lateReplyAtReport = 2;
    faults.lateReplyDelayMs = 300;
    echo->setFaults(faults);
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    const QByteArray first(64, 'A'), second(64, 'B'), third(64, 'C');

    QCOMPARE(exchange(backend, handle, first, 1000), first);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(sendReport(backend, handle, second), 65);
    int result = -2;
    receiveReport(backend, handle, 200, &result);
    QCOMPARE(result, 0); // the host gives up on request 2
    // Request 3 is answered 150 ms after it was sent, later than the
    // reply to request 2 becomes ready: that one is read first.
    QCOMPARE(sendReport(backend, handle, third), 65);
    QCOMPARE(receiveReport(backend, handle, 2000), second);
    QVERIFY(clock.elapsed() >= 290);
    QCOMPARE(receiveReport(backend, handle, 2000), third);
    receiveReport(backend, handle, 50, &result);
    QCOMPARE(result, 0);
    backend.close(handle);
}

void TestEmulatorBackend::repliesComeInTheOrderTheyAreReady()
{
    // A late reply does not hold back the answers to later requests.
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    EmulatedAdapter::Faults faults;
    faults.lateReplyAtReport = 1;
    faults.lateReplyDelayMs = 400;
    echo->setFaults(faults);
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    const QByteArray late(64, 'L'), prompt(64, 'P');
    QCOMPARE(sendReport(backend, handle, late), 65);
    QCOMPARE(sendReport(backend, handle, prompt), 65);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(receiveReport(backend, handle, 300), prompt);
    QVERIFY(clock.elapsed() < 300);
    QCOMPARE(receiveReport(backend, handle, 2000), late);
    backend.close(handle);
}

void TestEmulatorBackend::faultUnplugReturnsAfterTheReplugDelay_data()
{
    QTest::addColumn<int>("replugAfterMs");
    QTest::newRow("stays away") << 0;
    QTest::newRow("returns after 200 ms") << 200;
}

void TestEmulatorBackend::faultUnplugReturnsAfterTheReplugDelay()
{
    QFETCH(int, replugAfterMs);
    EmulatorBackend backend;
    QSignalSpy spy(&backend, &HidBackend::deviceConnectionChanged);
    auto *echo = backend.emplaceAdapter<EchoAdapter>("pad", 0x0E3A, 0xB373);
    const QByteArray path = echo->path();
    EmulatedAdapter::Faults faults;
    faults.unplugAtReport = 2;
    faults.replugAfterMs = replugAfterMs;
    echo->setFaults(faults);
    HidBackend::Handle old = openFirst(backend, 0x0E3A, 0xB373, -1);
    const QByteArray payload(64, '\x21');
    QCOMPARE(exchange(backend, old, payload), payload);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(sendReport(backend, old, payload), 65); // request 2: the cable goes
    QVERIFY(enumerateAll(backend).isEmpty());
    QCOMPARE(spy.size(), 2);
    QCOMPARE(spy.at(1).at(0).toBool(), false);

    if (replugAfterMs == 0) {
        QTest::qWait(400);
        QVERIFY(enumerateAll(backend).isEmpty());
        QCOMPARE(spy.size(), 2);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 3, 2000);
    QVERIFY(clock.elapsed() >= replugAfterMs - 10);
    QCOMPARE(spy.at(2).at(0).toBool(), true);
    QCOMPARE(spy.at(2).at(2).toDouble(), 45939.0);
    const QList<EnumeratedDevice> back = enumerateAll(backend);
    QCOMPARE(back.size(), 1);
    QCOMPARE(back.first().path, path);
    // The handle of before stays dead; a new one works, and the fault,
    // counted in requests, does not strike again.
    QCOMPARE(sendReport(backend, old, payload), -1);
    HidBackend::Handle fresh = openFirst(backend, 0x0E3A, 0xB373, -1);
    QVERIFY(fresh);
    QCOMPARE(exchange(backend, fresh, payload), payload);
    QCOMPARE(exchange(backend, fresh, payload), payload);
    QCOMPARE(echo->reportsReceived(), 4);
    backend.close(old);
    backend.close(fresh);
}

void TestEmulatorBackend::readWaitsForADelayedReplyFromAnotherThread()
{
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    echo->setReplyDelayMs(150);
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    QCOMPARE(sendReport(backend, handle, QByteArray(64, '\7')), 65);
    int result = 0;
    receiveReport(backend, handle, 20, &result);
    QCOMPARE(result, 0); // not ready yet; the reply stays queued
    QElapsedTimer clock;
    clock.start();
    QFuture<QByteArray> reply =
        QtConcurrent::run([&] { return receiveReport(backend, handle, -1); });
    QCOMPARE(reply.result(), QByteArray(64, '\7'));
    QVERIFY(clock.elapsed() >= 100);

    // A reader waiting without limit is released by the adapter leaving.
    QFuture<int> waiting = QtConcurrent::run([&] {
        int count = 0;
        receiveReport(backend, handle, -1, &count);
        return count;
    });
    QThread::msleep(50);
    backend.unplug(echo);
    QCOMPARE(waiting.result(), -1);
    backend.close(handle);
}

void TestEmulatorBackend::reportsWithAnotherReportIdAreRefused()
{
    EmulatorBackend backend;
    auto *echo = backend.emplaceAdapter<EchoAdapter>();
    HidBackend::Handle handle = openFirst(backend, echo->vendorId(), echo->productId(), -1);
    const unsigned char numbered[] = {0x01, 0x02};
    QCOMPARE(backend.write(handle, numbered, sizeof numbered), -1);
    QByteArray tooLong(66, '\0');
    QCOMPARE(
        backend.write(handle, reinterpret_cast<const unsigned char *>(tooLong.constData()), 66),
        -1);
    QCOMPARE(echo->reportsReceived(), 0);
    backend.close(handle);
}

QTEST_GUILESS_MAIN(TestEmulatorBackend)
#include "tst_emulatorbackend.moc"
