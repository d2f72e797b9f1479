#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "hidbackend.h"
#include "qhiddevice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QSignalSpy>
#include <QTest>
#include <QtConcurrent>

#include <cerrno>

namespace {

constexpr quint16 brivaneVendorId = 0x0E3A;
constexpr quint16 productId = 0xB373;
// A failed open is tried once more after this delay.
constexpr int openRetryDelayMs = 1000;

// Answers every report with the same bytes, except that byte 63 tells on
// which interface the report arrived (0xFF for none), so a test can see
// which enumeration entry the transport opened.
class TaggingEchoAdapter : public EmulatedAdapter
{
public:
    TaggingEchoAdapter(const QString &name, quint16 product, int interfaceNumber,
                       bool composite = false)
        : EmulatedAdapter(name, brivaneVendorId, product, interfaceNumber), composite(composite)
    {
    }

    void handleOutputReport(const QByteArray &report64) override
    {
        QByteArray reply = report64;
        reply[63] = char(currentInterfaceNumber() < 0 ? 0xFF : currentInterfaceNumber());
        queueReply(reply);
    }

protected:
    QVector<Interface> interfacesLocked() const override
    {
        if (!composite)
            return EmulatedAdapter::interfacesLocked();
        return {{0, pathFor(0)}, {1, pathFor(1)}};
    }

private:
    bool composite;
};

QByteArray request(char marker)
{
    QByteArray bytes(65, '\0');
    for (int i = 1; i < 63; ++i)
        bytes[i] = char(marker + i);
    return bytes;
}

EmulatedAdapter::Faults fault(int EmulatedAdapter::Faults::*field, int value)
{
    EmulatedAdapter::Faults faults;
    faults.*field = value;
    return faults;
}

} // namespace

class TransportTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<EmulatorBackend> backend;
    BridgeUSB *bridge = nullptr;

    // An echo adapter without an interface part, plugged at once.
    TaggingEchoAdapter *plugEcho()
    {
        return backend->emplaceAdapter<TaggingEchoAdapter>(QStringLiteral("echo"), productId, -1);
    }

    // The same, with these faults, opened on the transport; nullptr when it
    // could not be opened.
    TaggingEchoAdapter *openEcho(const EmulatedAdapter::Faults &faults = {})
    {
        TaggingEchoAdapter *adapter = plugEcho();
        adapter->setFaults(faults);
        return bridge->open(brivaneVendorId, productId, -1) ? adapter : nullptr;
    }

private slots:
    void permissionFailuresAreToldApart_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("openError");
        QTest::addColumn<bool>("denied");
        QTest::newRow("EACCES") << QByteArray("/dev/hidraw7") << int(EACCES) << true;
        QTest::newRow("EPERM") << QByteArray("/dev/hidraw7") << int(EPERM) << true;
        QTest::newRow("node gone") << QByteArray("/dev/no-such-hidraw") << int(ENOENT) << false;
        QTest::newRow("busy") << QByteArray("/tmp/not-a-node") << int(EBUSY) << false;
        QTest::newRow("no path") << QByteArray() << 0 << false;
    }
    void permissionFailuresAreToldApart()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, openError);
        QFETCH(bool, denied);
        QCOMPARE(QHidDevice::isAccessDenied(path.isEmpty() ? nullptr : path.constData(), openError),
                 denied);
    }

    void init()
    {
        backend = std::make_unique<EmulatorBackend>();
        HidBackend::install(backend.get());
        bridge = BridgeUSB::instance();
        bridge->setReplyTimeoutMs(BridgeUSB::replyTimeoutMs);
    }

    void cleanup()
    {
        // Close the handle of this test's backend before it goes away.
        bridge->close();
        HidBackend::install(nullptr);
        backend.reset();
    }

    void exchangesWholeReports()
    {
        QVERIFY(openEcho());
        QVERIFY(bridge->writeCMDData(request(0x10)));
        const QByteArray reply = bridge->readCMDData(65);
        QCOMPARE(reply.size(), 65);
        QCOMPARE(reply.at(0), '\0');
        QCOMPARE(reply.mid(1, 62), request(0x10).mid(1, 62));
        QCOMPARE(quint8(reply.at(64)), quint8(0xFF));
    }

    void retriesOnceForALateDevice()
    {
        TaggingEchoAdapter *adapter = plugEcho();
        // Back between the first attempt and the retry.
        backend->unplug(adapter);
        QTimer::singleShot(400, this, [this, adapter]() { backend->plug(adapter); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(bridge->open(brivaneVendorId, productId, -1));
        QVERIFY(clock.elapsed() >= openRetryDelayMs - 50);
        QVERIFY(clock.elapsed() < openRetryDelayMs + 1500);
    }

    void retryRunsWhileAWorkerThreadWaits()
    {
        auto adapter = std::make_unique<TaggingEchoAdapter>(QStringLiteral("late"), productId, -1);
        adapter->setAppearAfterMs(500);
        backend->addAdapter(std::move(adapter));
        // The device models open from pool threads while this thread keeps
        // processing events.
        QFutureWatcher<bool> watcher;
        QEventLoop loop;
        connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(
            QtConcurrent::run([this]() { return bridge->open(brivaneVendorId, productId, -1); }));
        loop.exec();
        QVERIFY(watcher.result());
    }

    void givesUpAfterTheRetry()
    {
        auto adapter =
            std::make_unique<TaggingEchoAdapter>(QStringLiteral("too late"), productId, -1);
        adapter->setAppearAfterMs(3000);
        backend->addAdapter(std::move(adapter));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!bridge->open(brivaneVendorId, productId, -1));
        QVERIFY(clock.elapsed() >= openRetryDelayMs - 50);
        QVERIFY(clock.elapsed() < 2500);
        QVERIFY(!bridge->isOpen());
    }

    void picksTheInterfaceOfACompositeDevice()
    {
        backend->emplaceAdapter<TaggingEchoAdapter>(QStringLiteral("composite"), 0xB274, 0, true);
        for (int interfaceNumber : {1, 0}) {
            QVERIFY(bridge->open(brivaneVendorId, 0xB274, interfaceNumber));
            QVERIFY(bridge->writeCMDData(request(0x20)));
            const QByteArray reply = bridge->readCMDData(65);
            QCOMPARE(reply.size(), 65);
            QCOMPARE(int(reply.at(64)), interfaceNumber);
        }
        // A composite device has no entry without an interface.
        QVERIFY(!bridge->open(brivaneVendorId, 0xB274, -1));
    }

    void pathWithoutInterfaceOnlyWithMinusOne()
    {
        plugEcho();
        QVERIFY(!bridge->open(brivaneVendorId, productId, 0));
        QVERIFY(bridge->open(brivaneVendorId, productId, -1));
        QVERIFY(!bridge->open(brivaneVendorId, 0xB471, -1));
    }

    void openClosesThePreviousDevice()
    {
        backend->emplaceAdapter<TaggingEchoAdapter>(QStringLiteral("first"), productId, -1);
        backend->emplaceAdapter<TaggingEchoAdapter>(QStringLiteral("second"), 0xB471, 0);
        QVERIFY(bridge->open(brivaneVendorId, productId, -1));
        QVERIFY(bridge->open(brivaneVendorId, 0xB471, 0));
        QVERIFY(bridge->writeCMDData(request(0x30)));
        QCOMPARE(int(bridge->readCMDData(65).at(64)), 0);
        QCOMPARE(backend->adapter(QStringLiteral("first"))->reportsReceived(), 0);
        QCOMPARE(backend->adapter(QStringLiteral("second"))->reportsReceived(), 1);
    }

    void readErrorGivesAnEmptyArray()
    {
        QVERIFY(openEcho(fault(&EmulatedAdapter::Faults::readErrorAtReport, 2)));
        QVERIFY(bridge->writeCMDData(request(1)));
        QCOMPARE(bridge->readCMDData(65).size(), 65);
        QVERIFY(bridge->writeCMDData(request(2)));
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB readCMDData read error !!!");
        QCOMPARE(bridge->readCMDData(65), QByteArray());
    }

    void writeErrorGivesFalse()
    {
        QVERIFY(openEcho(fault(&EmulatedAdapter::Faults::writeErrorAtReport, 1)));
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB writeCMDData write error !!! 65");
        QVERIFY(!bridge->writeCMDData(request(1)));
    }

    void missingReplyTimesOut()
    {
        bridge->setReplyTimeoutMs(300);
        QVERIFY(openEcho(fault(&EmulatedAdapter::Faults::noReplyAtReport, 1)));
        QVERIFY(bridge->writeCMDData(request(1)));
        QElapsedTimer clock;
        clock.start();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("no reply within 300 ms")));
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB readCMDData read error !!!");
        QCOMPARE(bridge->readCMDData(65), QByteArray());
        QVERIFY(clock.elapsed() >= 250);
        QVERIFY(clock.elapsed() < 3000);
    }

    void defaultTimeoutOutlastsTheLongestErase()
    {
        // Eight 128 KiB sectors at up to 4 s each on an STM32F4.
        constexpr int longestEraseMs = 8 * 4000;
        QVERIFY(BridgeUSB::replyTimeoutMs > longestEraseMs);
    }

    void shortReplyIsAFailedRead()
    {
        // Zeros in place of the missing bytes would pass for the adapter's
        // data: a reply shorter than a report counts as no reply.
        QVERIFY(openEcho(fault(&EmulatedAdapter::Faults::shortReplyBytes, 40)));
        QVERIFY(bridge->writeCMDData(request(5)));
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB readCMDData short reply of 40 bytes");
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB readCMDData read error !!!");
        QCOMPARE(bridge->readCMDData(65), QByteArray());

        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB readCMDData short reply of 40 bytes");
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB readCMDData read error !!!");
        const ExchangeResult result = bridge->exchange(request(6));
        QCOMPARE(int(result.status), int(ExchangeStatus::ShortReply));
        QVERIFY(result.reply.isEmpty());
    }

    void exchangeAnswersItsOwnRequest()
    {
        QVERIFY(openEcho());
        // A request given up on leaves its reply waiting; the next exchange
        // must not take it for its own.
        QVERIFY(bridge->writeCMDData(request(0x40)));
        QTRY_VERIFY(backend->adapter(QStringLiteral("echo"))->reportsReceived() == 1);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("dropped 1 reply\\(s\\)")));
        const ExchangeResult result = bridge->exchange(request(0x50));
        QVERIFY(result.answered());
        QCOMPARE(result.reply.mid(1, 62), request(0x50).mid(1, 62));
    }

    void staleReplyIsSkippedWithinTheTimeOut()
    {
        bridge->setReplyTimeoutMs(2000);
        TaggingEchoAdapter *adapter = openEcho();
        QVERIFY(adapter);
        // Every reply takes 300 ms. The first request is given up on; its
        // reply arrives while the second exchange waits, after the input was
        // drained, and the filter tells it from the right one.
        adapter->setReplyDelayMs(300);
        QVERIFY(bridge->writeCMDData(request(0x11)));
        QTest::qSleep(100);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("answers an earlier")));
        const QByteArray expected = request(0x22);
        int seen = 0;
        const ExchangeResult result = bridge->exchange(expected, [&](const QByteArray &reply) {
            ++seen;
            return reply.mid(1, 62) == expected.mid(1, 62) ? ReplyKind::Answer : ReplyKind::Stale;
        });
        QVERIFY(result.answered());
        QCOMPARE(result.reply.mid(1, 62), expected.mid(1, 62));
        QCOMPARE(seen, 2);
    }

    void exchangesOfTwoThreadsNeverInterleave()
    {
        QVERIFY(openEcho());
        // Each thread sends its own marker and must get its own echo back,
        // however the two threads run.
        const auto run = [this](char marker) {
            int wrong = 0;
            for (int round = 0; round < 200; ++round) {
                const ExchangeResult result = bridge->exchange(request(marker));
                if (!result.answered() || result.reply.mid(1, 62) != request(marker).mid(1, 62))
                    ++wrong;
            }
            return wrong;
        };
        QFuture<int> first = QtConcurrent::run(run, char(0x01));
        QFuture<int> second = QtConcurrent::run(run, char(0x41));
        QCOMPARE(first.result(), 0);
        QCOMPARE(second.result(), 0);
    }

    void retryNeedsNoOtherThread()
    {
        auto adapter = std::make_unique<TaggingEchoAdapter>(QStringLiteral("late"), productId, -1);
        adapter->setAppearAfterMs(500);
        backend->addAdapter(std::move(adapter));
        // This thread blocks without processing events: an open on a worker
        // must still retry and succeed.
        QFuture<bool> opened =
            QtConcurrent::run([this]() { return bridge->open(brivaneVendorId, productId, -1); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(opened.result());
        QVERIFY(clock.elapsed() < openRetryDelayMs + 1500);
    }

    void everyOpenRaisesTheGeneration()
    {
        TaggingEchoAdapter *adapter = plugEcho();
        const quint64 before = bridge->openGeneration();
        QVERIFY(bridge->open(brivaneVendorId, productId, -1));
        QCOMPARE(bridge->openGeneration(), before + 1);
        backend->unplug(adapter);
        backend->plug(adapter);
        QVERIFY(bridge->open(brivaneVendorId, productId, -1));
        QCOMPARE(bridge->openGeneration(), before + 2);
        backend->unplug(adapter);
        QVERIFY(!bridge->open(brivaneVendorId, productId, -1));
        QCOMPARE(bridge->openGeneration(), before + 2);
    }

    void unpluggedDeviceFailsUntilOpenedAgain()
    {
        TaggingEchoAdapter *adapter = openEcho();
        QVERIFY(adapter);
        backend->unplug(adapter);
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB writeCMDData write error !!! 65");
        QVERIFY(!bridge->writeCMDData(request(1)));
        backend->plug(adapter);
        // The old handle stays dead; a new open works.
        QTest::ignoreMessage(QtWarningMsg, "BridgeUSB writeCMDData write error !!! 65");
        QVERIFY(!bridge->writeCMDData(request(1)));
        QVERIFY(bridge->open(brivaneVendorId, productId, -1));
        QVERIFY(bridge->writeCMDData(request(1)));
        QCOMPARE(bridge->readCMDData(65).size(), 65);
    }

    void hotplugSignalCarriesTheIds()
    {
        TaggingEchoAdapter *adapter = plugEcho();
        // Notices of earlier tests that are still queued arrive first.
        QTest::qWait(100);
        QSignalSpy spy(bridge, &BridgeUSB::connectedChanged);
        backend->unplug(adapter);
        backend->plug(adapter);
        QTRY_VERIFY(spy.count() >= 2);
        // The last two notices are this adapter leaving and coming back.
        const QList<QVariant> left = spy.at(spy.count() - 2);
        const QList<QVariant> came = spy.at(spy.count() - 1);
        QCOMPARE(left.at(0).toBool(), false);
        QCOMPARE(left.at(1).toDouble(), 3642.0);
        QCOMPARE(left.at(2).toDouble(), 45939.0);
        QCOMPARE(came.at(0).toBool(), true);
        QCOMPARE(came.at(1).toDouble(), 3642.0);
        QCOMPARE(came.at(2).toDouble(), 45939.0);
    }
};

QTEST_GUILESS_MAIN(TransportTest)
#include "test_transport.moc"
