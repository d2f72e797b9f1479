// The firmware catalogue as the window sees it: the controller is busy until
// the first synchronisation ends; the current model's list, the chosen entry
// and its change log (one line per item) follow the catalogue; a model the
// catalogue does not name has an empty list; when the store cannot be
// reached, "The network error!" is shown and one retry follows 3000 ms later
// until the catalogue loads, never several retry chains at once; and a
// catalogue with members of unexpected types is read without a crash, its
// usable entries kept.

#include "controllerfixture.h"

#include "basedevice.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

using namespace ControllerTests;

namespace {

const QString infoOfEntry0 = QStringLiteral("a;b;");
const QString infoOfEntry2 = QStringLiteral("x;;y");

QJsonObject threeEntryCatalogue()
{
    const QJsonArray t5{
        entry(QStringLiteral("5.6.2"), infoOfEntry0, QString(32, QLatin1Char('a')),
              QStringLiteral("T5_v5.6.2.bin")),
        entry(QStringLiteral("5.6.1"), QStringLiteral("one"), QString(32, QLatin1Char('b')),
              QStringLiteral("T5_v5.6.1.bin")),
        entry(QStringLiteral("5.6.0"), infoOfEntry2, QString(32, QLatin1Char('c')),
              QStringLiteral("T5_v5.6.0.bin")),
    };
    const QJsonArray k3{entry(QStringLiteral("3.1.0"), QStringLiteral("k3"),
                              QString(32, QLatin1Char('d')), QStringLiteral("K3_v3.1.0.bin"))};
    return QJsonObject{{QStringLiteral("T5"), t5}, {QStringLiteral("K3"), k3}};
}

// Store answers measured by ping(): profile 0 always takes 900 ms, profile 1
// 100 ms. The clock is read at the start and at the end of each
// measurement, profile 0 and profile 1 in turn.
CloudAWS::MillisecondClock profileOneAnswersFaster()
{
    return [calls = 0, nowMs = qint64(0)]() mutable {
        if (calls % 2 == 1)
            nowMs += (calls / 2) % 2 == 0 ? 900 : 100;
        ++calls;
        return nowMs;
    };
}

} // namespace

class ControllerCatalogueTest : public QObject, ControllerFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void cleanupTestCase() { tearDownTestCase(); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void busyUntilTheFirstSynchronisationEnds();
    void currentModelListAndChangeLog();
    void modelWithoutListInTheCatalogue();
    void unreachableStoreIsRetriedByOneChain();
    void unexpectedTypesAreSkipped();
};

void ControllerCatalogueTest::busyUntilTheFirstSynchronisationEnds()
{
    QVERIFY(putCatalogue(threeEntryCatalogue()));
    startController(FirmwareManage::Mode::Window);
    QSignalSpy busy(controller.get(), &FirmwareManage::busyingChanged);
    QVERIFY(controller->busying());
    QVERIFY(!controller->synced());
    QCOMPARE(controller->currentDeviceIndex(), 0);

    QVERIFY(waitForStart());
    QVERIFY(!controller->busying());
    QCOMPARE(busy.last().at(0).toBool(), false);
    QCOMPARE(objectOf(controller->allFirmwareInformation()), threeEntryCatalogue());
    QCOMPARE(countGets(QStringLiteral("index.json")), 1);
    // No model is current: the model list is not touched.
    QVERIFY(!controller->synced());
    QCOMPARE(messages->errors().size(), 0);

    // Once in memory, the catalogue is not downloaded again.
    QFuture<bool> again = controller->startSynchronisation();
    controller->waitForWorkers();
    QVERIFY(again.isFinished());
    QCOMPARE(countGets(QStringLiteral("index.json")), 1);
    QVERIFY(!controller->busying());
}

void ControllerCatalogueTest::currentModelListAndChangeLog()
{
    QVERIFY(putCatalogue(threeEntryCatalogue()));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());

    // The T5 becomes current by being plugged in.
    plugT5();
    QTRY_COMPARE(controller->currentDeviceIndex(), int(T5));
    settle();
    QTRY_VERIFY(controller->synced());
    const QJsonArray expected = threeEntryCatalogue().value(QStringLiteral("T5")).toArray();
    QCOMPARE(arrayOf(controller->firmwareInformation()), expected);
    QCOMPARE(controller->firmwareIndex(), 0);
    QCOMPARE(controller->currentfirmwareInfo(), QStringLiteral("a\nb\n"));

    // Choosing an entry shows its change log, empty items kept.
    QVERIFY(controller->set_firmwareIndex(2));
    QTRY_COMPARE(controller->currentfirmwareInfo(), QStringLiteral("x\n\ny"));
    // An index past the list changes nothing.
    QVERIFY(controller->set_firmwareIndex(3));
    QTest::qWait(20);
    QCOMPARE(controller->currentfirmwareInfo(), QStringLiteral("x\n\ny"));
    // A negative index reads as an entry without a change log.
    QVERIFY(controller->set_firmwareIndex(-1));
    QTRY_COMPARE(controller->currentfirmwareInfo(), QString());

    // The next synchronisation chooses entry 0 again.
    QVERIFY(controller->set_firmwareIndex(1));
    QTRY_COMPARE(controller->currentfirmwareInfo(), QStringLiteral("one"));
    controller->startSynchronisation();
    settle();
    QTRY_COMPARE(controller->firmwareIndex(), 0);
    QTRY_COMPARE(controller->currentfirmwareInfo(), QStringLiteral("a\nb\n"));
    QCOMPARE(messages->errors().size(), 0);
}

void ControllerCatalogueTest::modelWithoutListInTheCatalogue()
{
    QVERIFY(putCatalogue(threeEntryCatalogue()));
    plugM7();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(enter(M7));
    QTRY_VERIFY(controller->synced());
    QCOMPARE(arrayOf(controller->firmwareInformation()), QJsonArray());
    QVERIFY(!controller->busying());
    QCOMPARE(messages->countErrors(Text::networkError), 0);
    // Nothing to update from: the adapter is not written.
    const int reportsBefore = pluggedAdapters.last()->reportsReceived();
    QFuture<bool> update = controller->startUpdate();
    controller->waitForWorkers();
    QVERIFY(!update.result());
    QCOMPARE(pluggedAdapters.last()->reportsReceived(), reportsBefore);
    QVERIFY(!controller->busying());
}

void ControllerCatalogueTest::unreachableStoreIsRetriedByOneChain()
{
    QVERIFY(putCatalogue(threeEntryCatalogue()));
    // Both profiles refuse the catalogue, one request per attempt.
    server.answerWithErrorDocument(storePath(QStringLiteral("index.json")), 403,
                                   QStringLiteral("AccessDenied"), QStringLiteral("Injected."));
    startController(FirmwareManage::Mode::Window);
    // The ping after the first failure finds profile 1 faster and switches
    // to it, which starts a synchronisation of its own: it must not start a
    // second retry chain.
    controller->cloud()->setPingClock(profileOneAnswersFaster());

    QTRY_VERIFY_WITH_TIMEOUT(messages->countErrors(Text::networkError) >= 1, 5000);
    const Message first = messages->errors().first();
    QCOMPARE(first.text, Text::networkError);
    QCOMPARE(first.timeoutMs, messageTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(controller->cloud()->currentIndex(), 1, 5000);

    // From well after the synchronisation the profile change started up to
    // just before a second retry could come.
    const qint64 windowStartMs = first.atMs + 2000;
    const qint64 windowEndMs = first.atMs + syncRetryDelayMs + 1500;
    QTest::qWait(int(windowEndMs - messages->elapsedMs()));
    QList<qint64> retriesMs;
    for (const Message &message : messages->errors()) {
        QCOMPARE(message.text, Text::networkError);
        QCOMPARE(message.timeoutMs, messageTimeoutMs);
        if (message.atMs >= windowStartMs && message.atMs <= windowEndMs)
            retriesMs.append(message.atMs);
    }
    QCOMPARE(retriesMs.size(), 1);
    QVERIFY2(retriesMs.first() - first.atMs >= syncRetryDelayMs - 100,
             qPrintable(QString::number(retriesMs.first() - first.atMs)));
    const int getsSoFar = countGets(QStringLiteral("index.json"));
    QVERIFY2(getsSoFar <= 3, qPrintable(QString::number(getsSoFar)));

    // The store is back: the next retry loads the catalogue, and the
    // retries end.
    server.clearAnswers();
    QTRY_COMPARE_WITH_TIMEOUT(objectOf(controller->allFirmwareInformation()), threeEntryCatalogue(),
                              syncRetryDelayMs + 3000);
    QTRY_VERIFY(!controller->busying());
    const int failures = messages->countErrors(Text::networkError);
    const int gets = countGets(QStringLiteral("index.json"));
    QTest::qWait(syncRetryDelayMs + 300);
    QCOMPARE(messages->countErrors(Text::networkError), failures);
    QCOMPARE(countGets(QStringLiteral("index.json")), gets);
}

void ControllerCatalogueTest::unexpectedTypesAreSkipped()
{
    const QJsonObject good1 = entry(QStringLiteral("5.6.1"), QStringLiteral("good;one"),
                                    QString(32, QLatin1Char('1')), QStringLiteral("T5_v5.6.1.bin"));
    const QJsonObject good2 = entry(QStringLiteral("5.5.9"), QStringLiteral("two"),
                                    QString(32, QLatin1Char('2')), QStringLiteral("T5_v5.5.9.bin"));
    QJsonObject numberVersion = good1;
    numberVersion.insert(QStringLiteral("version"), 5);
    QJsonObject arrayInfo = good2;
    arrayInfo.insert(QStringLiteral("info"), QJsonArray{QStringLiteral("x")});
    QJsonObject nullChecksum = good2;
    nullChecksum.insert(QStringLiteral("checksum"), QJsonValue());
    const QJsonObject catalogue{
        {QStringLiteral("T5"),
         QJsonArray{QStringLiteral("text"), 7, QJsonValue(), numberVersion, good1, arrayInfo,
                    QJsonArray{good1}, nullChecksum, good2}},
        {QStringLiteral("M7"), good1},
        {QStringLiteral("K3"), QStringLiteral("K3_v3.0.0.bin")},
    };
    QVERIFY(putCatalogue(catalogue));
    plugT5();
    plugM7();
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QCOMPARE(messages->countErrors(Text::networkError), 0);

    QVERIFY(enter(T5));
    QTRY_VERIFY(controller->synced());
    QCOMPARE(arrayOf(controller->firmwareInformation()), (QJsonArray{good1, good2}));
    QCOMPARE(controller->firmwareIndex(), 0);
    QCOMPARE(controller->currentfirmwareInfo(), QStringLiteral("good\none"));
    QVERIFY(controller->set_firmwareIndex(1));
    QTRY_COMPARE(controller->currentfirmwareInfo(), QStringLiteral("two"));

    // A model member that is no array reads as an empty list.
    QVERIFY(enter(M7));
    QTRY_VERIFY(controller->synced());
    QCOMPARE(arrayOf(controller->firmwareInformation()), QJsonArray());
    QVERIFY(!controller->busying());
}

QTEST_GUILESS_MAIN(ControllerCatalogueTest)
#include "tst_controllercatalogue.moc"
