#include "hidrawtestbed.h"

#include "bridgeusb.h"
#include "hidbackend.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <hidapi.h>

#include <cerrno>
#include <memory>

// The transport of the shipped programs in this very process (run with
// umockdev's preload library): the system's hidapi (hidraw backend) and
// the libudev hot-plug monitor, against the emulated adapters of one
// testbed. Expected values are the adapters' documented answers and the
// identities written into their adapter.json.
class HidrawHotplugTest : public QObject
{
    Q_OBJECT

    static constexpr quint16 vendorId = 0x0E3A;
    static constexpr quint16 t5ProductId = 0xB373;
    static constexpr quint16 k3ApplicationProductId = 0xB274;
    static constexpr quint16 k3BootProductId = 0xB275;
    static constexpr quint16 compositeProductId = 0x0E41;
    static constexpr quint16 faultyEchoProductId = 0x0E40;
    static constexpr quint16 cutEchoProductId = 0x0E42;
    static constexpr quint16 burstEchoProductId = 0x0E43;
    static constexpr int reportBytes = 64;
    static constexpr int eventWaitMs = 5000;
    static constexpr int replyWaitMs = 3000;

    QTemporaryDir work;
    HidrawTestbed testbed;
    BridgeUSB *bridge = nullptr;

    using Event = QList<QVariant>;
    static Event event(bool connected, quint16 productId)
    {
        return {connected, double(vendorId), double(productId)};
    }
    // The notices a spy holds for one product.
    static QList<Event> eventsOf(const QSignalSpy &spy, quint16 productId)
    {
        QList<Event> events;
        for (const Event &seen : spy) {
            if (seen.at(2).toDouble() == double(productId))
                events << seen;
        }
        return events;
    }

    static QByteArray report(quint8 tag, quint8 sequence)
    {
        QByteArray bytes(reportBytes + 1, '\0');
        for (int index = 1; index <= reportBytes; ++index)
            bytes[index] = char(tag + sequence * 3 + index);
        return bytes;
    }

    // Paths hidapi enumerates for one product, with their interfaces.
    static QList<QPair<QString, int>> entriesOf(quint16 productId)
    {
        QList<QPair<QString, int>> entries;
        hid_device_info *devices = hid_enumerate(vendorId, productId);
        for (hid_device_info *entry = devices; entry; entry = entry->next)
            entries << qMakePair(QString::fromLocal8Bit(entry->path), entry->interface_number);
        hid_free_enumeration(devices);
        return entries;
    }

    // Closed on every way out of a test: a node still open when the server
    // ends would abort this process instead of failing the test.
    using Device = std::unique_ptr<hid_device, decltype(&hid_close)>;
    static Device openPath(const QString &path)
    {
        return Device(hid_open_path(path.toLocal8Bit().constData()), &hid_close);
    }
    static Device openOnly(quint16 productId)
    {
        const QList<QPair<QString, int>> entries = entriesOf(productId);
        return openPath(entries.size() == 1 ? entries.first().first : QString());
    }

    // A write and errno right after it.
    static QPair<int, int> write(const Device &device, const QByteArray &bytes)
    {
        errno = 0;
        const int written =
            hid_write(device.get(), reinterpret_cast<const unsigned char *>(bytes.constData()),
                      size_t(bytes.size()));
        return {written, errno};
    }

    static QByteArray read(const Device &device, int *count)
    {
        QByteArray bytes(reportBytes + 16, '\0');
        *count = hid_read_timeout(device.get(), reinterpret_cast<unsigned char *>(bytes.data()),
                                  size_t(bytes.size()), replyWaitMs);
        return bytes.left(qMax(0, *count));
    }

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void hotplugReportsArrivalAndRemoval();
    void k3ReturnsAsItsBootLoaderOnANewNode();
    void compositeInterfacesAnswerSeparately();
    void repliesKeepTheirReportBoundaries();
    void readAndWriteFaultsFailTheCall();
    void unpluggedNodeFailsUntilTheAdapterReturns();
};

void HidrawHotplugTest::initTestCase()
{
    const QString reason = HidrawTestbed::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("umockdev")))
        QSKIP("needs umockdev's preload library in LD_PRELOAD (CTest sets it)");
    QVERIFY(work.isValid());
    const QString adapters = work.filePath(QStringLiteral("adapters"));
    using Configuration = QJsonObject;
    const QList<QPair<QString, Configuration>> folders{
        {QStringLiteral("t5"), Configuration{{"model", "T5"}}},
        {QStringLiteral("k3"), Configuration{{"model", "K3"}, {"reenumerateAfterMs", 200}}},
        {QStringLiteral("pad"), Configuration{{"model", "composite"}, {"productId", "0x0e41"}}},
        {QStringLiteral("faulty"),
         Configuration{
             {"model", "echo"},
             {"productId", "0x0e40"},
             {"faults", QJsonObject{{"readErrorAtReport", 2}, {"writeErrorAtReport", 4}}}}},
        {QStringLiteral("cut"),
         Configuration{{"model", "echo"},
                       {"productId", "0x0e42"},
                       {"faults", QJsonObject{{"unplugAtReport", 2}, {"replugAfterMs", 300}}}}},
        {QStringLiteral("burst"), Configuration{{"model", "echo"}, {"productId", "0x0e43"}}},
    };
    for (const auto &[name, configuration] : folders)
        QVERIFY(HidrawTest::writeAdapterConfiguration(adapters + QLatin1Char('/') + name,
                                                      configuration));
    QString error;
    QVERIFY2(testbed.start(adapters, &error), qPrintable(error));
    // The preload library follows the variable at every call.
    qputenv("UMOCKDEV_DIR", testbed.root().toLocal8Bit());
    QVERIFY(hid_init() == 0);
    bridge = BridgeUSB::instance();
    QCOMPARE(HidBackend::current(), HidBackend::systemBackend());
    bridge->setReplyTimeoutMs(replyWaitMs);
    bridge->registerDevice(0);
}

void HidrawHotplugTest::cleanup()
{
    if (bridge)
        bridge->close();
}

void HidrawHotplugTest::cleanupTestCase()
{
    // A client holding a node when the server ends is aborted.
    if (bridge)
        bridge->close();
    if (testbed.isRunning())
        QVERIFY2(testbed.stop(), testbed.diagnostics().constData());
}

void HidrawHotplugTest::hotplugReportsArrivalAndRemoval()
{
    QSignalSpy notices(bridge, &BridgeUSB::connectedChanged);
    QCOMPARE(testbed.command(QStringLiteral("unplug t5")), QStringLiteral("ok unplug t5"));
    QTRY_COMPARE_WITH_TIMEOUT(eventsOf(notices, t5ProductId).size(), 1, eventWaitMs);
    QCOMPARE(eventsOf(notices, t5ProductId).first(), event(false, t5ProductId));
    QVERIFY(entriesOf(t5ProductId).isEmpty());

    QVERIFY(testbed.command(QStringLiteral("plug t5"))
                .startsWith(QLatin1String("ok plug t5 /dev/hidraw")));
    QTRY_COMPARE_WITH_TIMEOUT(eventsOf(notices, t5ProductId).size(), 2, eventWaitMs);
    QCOMPARE(eventsOf(notices, t5ProductId).last(), event(true, t5ProductId));
    // One notice per plug: the interface, HID and hidraw events are not
    // the USB device's.
    QTest::qWait(100);
    QCOMPARE(notices.size(), 2);
    // Announced only once the node can be used.
    QVERIFY(bridge->open(vendorId, t5ProductId, -1));
    bridge->close();
}

void HidrawHotplugTest::k3ReturnsAsItsBootLoaderOnANewNode()
{
    const QList<QPair<QString, int>> application = entriesOf(k3ApplicationProductId);
    QCOMPARE(application.size(), 2);
    QSignalSpy notices(bridge, &BridgeUSB::connectedChanged);
    QVERIFY(bridge->open(vendorId, k3ApplicationProductId, 0));
    // Enter boot loader: tag 0x04, command 0x5B; the application answers
    // before it leaves.
    QByteArray request(65, '\0');
    request[1] = char(0x04);
    request[2] = char(0x5B);
    const ExchangeResult answer = bridge->exchange(request);
    QVERIFY(answer.answered());
    QCOMPARE(answer.reply.mid(1, 2), QByteArray::fromHex("045b"));

    QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 2, eventWaitMs);
    QCOMPARE(notices.at(0), event(false, k3ApplicationProductId));
    QCOMPARE(notices.at(1), event(true, k3BootProductId));
    const ExchangeResult gone = bridge->exchange(request);
    QCOMPARE(gone.status, ExchangeStatus::WriteFailed);
    bridge->close();

    QVERIFY(entriesOf(k3ApplicationProductId).isEmpty());
    const QList<QPair<QString, int>> boot = entriesOf(k3BootProductId);
    QCOMPARE(boot.size(), 1);
    QVERIFY(boot.first().first != application.at(0).first &&
            boot.first().first != application.at(1).first);
    // The boot loader has a single interface and is opened as a device
    // without an interface part.
    QVERIFY(bridge->open(vendorId, k3BootProductId, -1));
    bridge->close();
}

void HidrawHotplugTest::compositeInterfacesAnswerSeparately()
{
    // Each interface of the composite adapter puts its number into the
    // last byte of the echo.
    for (int interfaceNumber : {1, 0}) {
        QVERIFY(bridge->open(vendorId, compositeProductId, interfaceNumber));
        const QByteArray request = report(0x40, quint8(interfaceNumber));
        const ExchangeResult answer = bridge->exchange(request);
        QVERIFY(answer.answered());
        QCOMPARE(answer.reply.left(reportBytes), request.left(reportBytes));
        QCOMPARE(int(answer.reply.at(reportBytes)), interfaceNumber);
    }
    bridge->close();
    // A composite adapter is never taken for one without an interface part.
    QVERIFY(!bridge->open(vendorId, compositeProductId, -1));
}

void HidrawHotplugTest::repliesKeepTheirReportBoundaries()
{
    const Device device = openOnly(burstEchoProductId);
    QVERIFY(device);
    for (quint8 sequence = 0; sequence < 5; ++sequence)
        QCOMPARE(write(device, report(0x10, sequence)).first, reportBytes + 1);
    // Five queued replies come back as five reads of one report each.
    for (quint8 sequence = 0; sequence < 5; ++sequence) {
        int count = 0;
        const QByteArray reply = read(device, &count);
        QCOMPARE(count, reportBytes);
        QCOMPARE(reply, report(0x10, sequence).mid(1));
    }
    unsigned char spare[reportBytes];
    QCOMPARE(hid_read_timeout(device.get(), spare, sizeof spare, 50), 0);
}

void HidrawHotplugTest::readAndWriteFaultsFailTheCall()
{
    // The adapter fails the read after request 2 and the write of request 4.
    const Device device = openOnly(faultyEchoProductId);
    QVERIFY(device);
    int count = 0;
    for (quint8 sequence = 1; sequence <= 5; ++sequence) {
        const QByteArray request = report(0x20, sequence);
        const QPair<int, int> written = write(device, request);
        if (sequence == 4) {
            QCOMPARE(written.first, -1);
            QCOMPARE(written.second, EIO);
            continue;
        }
        QCOMPARE(written.first, reportBytes + 1);
        const QByteArray reply = read(device, &count);
        if (sequence == 2) {
            QCOMPARE(count, -1);
            continue;
        }
        QCOMPARE(count, reportBytes);
        QCOMPARE(reply, request.mid(1));
    }
}

void HidrawHotplugTest::unpluggedNodeFailsUntilTheAdapterReturns()
{
    // The adapter loses power when request 2 arrives and returns 300 ms later.
    QSignalSpy notices(bridge, &BridgeUSB::connectedChanged);
    const QList<QPair<QString, int>> before = entriesOf(cutEchoProductId);
    QCOMPARE(before.size(), 1);
    Device device = openPath(before.first().first);
    QVERIFY(device);
    int count = 0;
    QCOMPARE(write(device, report(0x30, 1)).first, reportBytes + 1);
    read(device, &count);
    QCOMPARE(count, reportBytes);

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(write(device, report(0x30, 2)).first, reportBytes + 1);
    read(device, &count);
    QCOMPARE(count, -1);
    QVERIFY(clock.elapsed() < replyWaitMs);
    const QPair<int, int> afterUnplug = write(device, report(0x30, 3));
    QCOMPARE(afterUnplug.first, -1);
    QCOMPARE(afterUnplug.second, ENODEV);
    device.reset();

    QTRY_COMPARE_WITH_TIMEOUT(eventsOf(notices, cutEchoProductId).size(), 2, eventWaitMs);
    QCOMPARE(eventsOf(notices, cutEchoProductId),
             (QList<Event>{event(false, cutEchoProductId), event(true, cutEchoProductId)}));
    const QList<QPair<QString, int>> after = entriesOf(cutEchoProductId);
    QCOMPARE(after.size(), 1);
    QVERIFY(after.first().first != before.first().first);
    device = openPath(after.first().first);
    QVERIFY(device);
    const QByteArray request = report(0x30, 4);
    QCOMPARE(write(device, request).first, reportBytes + 1);
    const QByteArray reply = read(device, &count);
    QCOMPARE(count, reportBytes);
    QCOMPARE(reply, request.mid(1));
}

QTEST_GUILESS_MAIN(HidrawHotplugTest)

#include "tst_hidraw_hotplug.moc"
