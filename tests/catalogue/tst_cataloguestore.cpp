#include "catalogue.h"
#include "cataloguestore.h"
#include "cloudaws.h"
#include "locals3server.h"

#include <QDir>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// Changes of the catalogue on a real (local) store: a change never replaces
// a catalogue it has not read, also when another publisher writes between
// our read and our write.
class CatalogueStoreTest : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir workingDirectory;
    LocalS3Server server;

    static QJsonObject entry(const QString &version, const QString &checksum)
    {
        return Catalogue::newEntry("T5", version, "notes", "2026-12-09 12:00:00", checksum);
    }
    static QStringList checksumsOf(const QJsonObject &catalogue, const QString &model)
    {
        QStringList checksums;
        for (const QJsonValue &value : catalogue.value(model).toArray())
            checksums.append(value.toObject().value("checksum").toString());
        return checksums;
    }
    // Replaces index.json on both profiles, as another publisher would.
    static void storeCatalogue(const QByteArray &document)
    {
        CloudAWS other;
        QVERIFY(other.upload(Catalogue::objectName(), document, {}));
    }
    static QJsonObject storedCatalogue()
    {
        CloudAWS reader;
        return Catalogue::parse(reader.download(Catalogue::objectName()));
    }
    static CatalogueStore::Change addingEntry(const QString &checksum)
    {
        return [checksum](const QJsonObject &current) {
            return Catalogue::withEntryInFront(current, "T5", entry("1.0.0", checksum));
        };
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(QDir::setCurrent(workingDirectory.path()));
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        server.useFromThisProcess();
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
    }

    void cleanupTestCase() { server.stop(); }

    void init() { server.clearAnswers(); }

    // Declared first, so it runs on the store as it starts: without index.json.
    void firstPublicationOnAnEmptyStore()
    {
        CloudAWS cloud;
        const CatalogueStore store(&cloud);
        const CatalogueStore::Snapshot empty = store.read();
        QVERIFY(empty.readable);
        QVERIFY(empty.catalogue.isEmpty());
        QVERIFY(empty.etag.isEmpty());

        const CatalogueStore::Result first = store.apply(addingEntry("first"), &empty);
        QCOMPARE(first.outcome, CatalogueStore::Outcome::Stored);
        // Another publisher that also saw the empty store does not replace it.
        const CatalogueStore::Result second = store.apply(addingEntry("second"), &empty);
        QCOMPARE(second.outcome, CatalogueStore::Outcome::Stored);
        QCOMPARE(checksumsOf(storedCatalogue(), "T5"), (QStringList{"second", "first"}));
        QCOMPARE(checksumsOf(second.catalogue, "T5"), (QStringList{"second", "first"}));
    }

    void changeWrittenBetweenReadAndWriteIsKept()
    {
        storeCatalogue(Catalogue::serialize(
            Catalogue::withEntryInFront(QJsonObject(), "T5", entry("1.0.0", "base"))));
        CloudAWS cloud;
        const CatalogueStore store(&cloud);
        const CatalogueStore::Snapshot ours = store.read();
        QVERIFY(ours.readable);
        QVERIFY(!ours.etag.isEmpty());

        // Someone else publishes after our read.
        storeCatalogue(Catalogue::serialize(
            Catalogue::withEntryInFront(ours.catalogue, "T5", entry("1.1.0", "theirs"))));

        const CatalogueStore::Result result = store.apply(addingEntry("mine"), &ours);
        QCOMPARE(result.outcome, CatalogueStore::Outcome::Stored);
        QCOMPARE(checksumsOf(storedCatalogue(), "T5"), (QStringList{"mine", "theirs", "base"}));
        // Both profiles hold the same catalogue.
        for (int profileIndex = 0; profileIndex < cloud.profileCount(); ++profileIndex) {
            const QtS3 client = cloud.createClient(profileIndex);
            const QtS3Reply reply = client.getObject(cloud.bucketName(profileIndex),
                                                     cloud.objectKey(profileIndex, "index.json"));
            QVERIFY(reply.isSuccess());
            QCOMPARE(checksumsOf(Catalogue::parse(reply.data()), "T5"),
                     (QStringList{"mine", "theirs", "base"}));
        }
    }

    void catalogueThatCannotBeReadIsNeverReplaced_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("failureStatus");
        QTest::newRow("not JSON") << QByteArray("<html>maintenance</html>") << 0;
        QTest::newRow("a list, not an object") << QByteArray("[1,2,3]") << 0;
        QTest::newRow("store failing") << QByteArray(R"({"T5":[]})") << 503;
    }
    void catalogueThatCannotBeReadIsNeverReplaced()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, failureStatus);
        storeCatalogue(document);
        if (failureStatus)
            server.answerWithEmptyError("/firmware/index.json", failureStatus);
        CloudAWS cloud;
        const CatalogueStore store(&cloud);
        QVERIFY(!store.read().readable);
        server.resetRequests();
        QCOMPARE(store.apply(addingEntry("never")).outcome, CatalogueStore::Outcome::Unreadable);
        QCOMPARE(server.countRequests("PUT", "/firmware/index.json"), 0);
        server.clearAnswers();
        CloudAWS reader;
        QCOMPARE(reader.download(Catalogue::objectName()), document);
    }
};

QTEST_GUILESS_MAIN(CatalogueStoreTest)
#include "tst_cataloguestore.moc"
