#include "adapterfolder.h"
#include "k3adapter.h"
#include "t5adapter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}
} // namespace

// adapter.json: the fault and timing keys reach the adapter, and values
// that would switch nothing on (or something else than meant) are refused.
class TestAdapterFolder : public QObject
{
    Q_OBJECT

private slots:
    void faultKeysReachTheAdapter();
    void rebootReturnTimeIsAT5Setting();
    void refusedConfigurations_data();
    void refusedConfigurations();
};

void TestAdapterFolder::faultKeysReachTheAdapter()
{
    QString error;
    const std::unique_ptr<EmulatedAdapter> adapter =
        AdapterFolder::fromConfiguration(parse(R"({"model": "M7", "faults": {
            "shortReplyBytes": 12, "shortReplyFromReport": 3, "shortReplyToReport": "0x10",
            "lateReplyAtReport": 7, "lateReplyDelayMs": 1200,
            "eraseAcknowledgedEarly": true, "eraseCutAtErase": 2, "eraseCutAfterSectors": 0,
            "unplugAtReport": 40, "replugAfterMs": 800}})"),
                                         QStringLiteral("m7"), &error);
    QVERIFY2(adapter, qPrintable(error));
    const EmulatedAdapter::Faults faults = adapter->faults();
    QCOMPARE(faults.shortReplyBytes, 12);
    QCOMPARE(faults.shortReplyFromReport, 3);
    QCOMPARE(faults.shortReplyToReport, 16);
    QCOMPARE(faults.lateReplyAtReport, 7);
    QCOMPARE(faults.lateReplyDelayMs, 1200);
    QCOMPARE(faults.eraseAcknowledgedEarly, true);
    QCOMPARE(faults.eraseCutAtErase, 2);
    QCOMPARE(faults.eraseCutAfterSectors, 0);
    QCOMPARE(faults.unplugAtReport, 40);
    QCOMPARE(faults.replugAfterMs, 800);

    // Left out, every new fault is off.
    const std::unique_ptr<EmulatedAdapter> plain =
        AdapterFolder::fromConfiguration(parse(R"({"model": "K3"})"), "k3", &error);
    QVERIFY(plain);
    const EmulatedAdapter::Faults off = plain->faults();
    QCOMPARE(off.shortReplyFromReport + off.shortReplyToReport + off.lateReplyAtReport +
                 off.lateReplyDelayMs + off.eraseCutAtErase + off.eraseCutAfterSectors +
                 off.replugAfterMs,
             0);
    QCOMPARE(off.eraseAcknowledgedEarly, false);
}

void TestAdapterFolder::rebootReturnTimeIsAT5Setting()
{
    QString error;
    std::unique_ptr<EmulatedAdapter> adapter = AdapterFolder::fromConfiguration(
        parse(R"({"model": "T5", "rebootReturnAfterMs": 0})"), "t5", &error);
    QVERIFY2(adapter, qPrintable(error));
    QCOMPARE(static_cast<T5Adapter *>(adapter.get())->rebootReturnAfterMs(), 0);
    adapter = AdapterFolder::fromConfiguration(parse(R"({"model": "T5"})"), "t5", &error);
    QCOMPARE(static_cast<T5Adapter *>(adapter.get())->rebootReturnAfterMs(), 1500);
    QVERIFY(!AdapterFolder::fromConfiguration(
        parse(R"({"model": "K3", "rebootReturnAfterMs": 10})"), "k3", &error));
    QVERIFY(error.contains(QLatin1String("rebootReturnAfterMs")));
}

void TestAdapterFolder::refusedConfigurations_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("named");
    QTest::newRow("misspelt fault")
        << QByteArray(R"({"model": "T5", "faults": {"eraseCutAtErasure": 1}})")
        << "eraseCutAtErasure";
    QTest::newRow("negative replug")
        << QByteArray(R"({"model": "T5", "faults": {"unplugAtReport": 3, "replugAfterMs": -1}})")
        << "replugAfterMs";
    QTest::newRow("early acknowledgement not a boolean")
        << QByteArray(R"({"model": "T5", "faults": {"eraseAcknowledgedEarly": 1}})")
        << "eraseAcknowledgedEarly";
    QTest::newRow("range ends before it starts")
        << QByteArray(R"({"model": "T5", "faults": {"shortReplyBytes": 8,
               "shortReplyFromReport": 5, "shortReplyToReport": 4}})")
        << "shortReplyToReport";
    QTest::newRow("range without a length")
        << QByteArray(R"({"model": "T5", "faults": {"shortReplyFromReport": 5}})")
        << "shortReplyBytes";
    QTest::newRow("late reply without a delay")
        << QByteArray(R"({"model": "T5", "faults": {"lateReplyAtReport": 5}})")
        << "lateReplyDelayMs";
    QTest::newRow("delay without a late reply")
        << QByteArray(R"({"model": "T5", "faults": {"lateReplyDelayMs": 500}})")
        << "lateReplyAtReport";
    QTest::newRow("cut sectors without a cut erase")
        << QByteArray(R"({"model": "K3", "faults": {"eraseCutAfterSectors": 2}})")
        << "eraseCutAtErase";
    QTest::newRow("replug without an unplug")
        << QByteArray(R"({"model": "M7", "faults": {"replugAfterMs": 100}})") << "replugAfterMs";
    QTest::newRow("reboot time not a number")
        << QByteArray(R"({"model": "T5", "rebootReturnAfterMs": "soon"})") << "rebootReturnAfterMs";
    QTest::newRow("reboot time in faults")
        << QByteArray(R"({"model": "T5", "faults": {"rebootReturnAfterMs": 100}})")
        << "rebootReturnAfterMs";
    // Past what a 64-bit integer holds: refused, never converted.
    QTest::newRow("delay beyond 64 bits")
        << QByteArray(R"({"model": "T5", "replyDelayMs": 1.28889e27})") << "replyDelayMs";
    QTest::newRow("count beyond 64 bits")
        << QByteArray(R"({"model": "M7", "faults": {"unplugAtReport": -1e300}})")
        << "unplugAtReport";
}

void TestAdapterFolder::refusedConfigurations()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, named);
    const QJsonObject configuration = parse(json);
    QVERIFY(!configuration.isEmpty());
    QString error;
    QVERIFY(!AdapterFolder::fromConfiguration(configuration, QStringLiteral("scenario"), &error));
    QVERIFY2(error.contains(named), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestAdapterFolder)
#include "tst_adapterfolder.moc"
