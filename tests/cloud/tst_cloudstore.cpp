#include "cloudaws.h"
#include "global.h"
#include "locals3server.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

// Records every log line while it lives, and passes them on.
class MessageRecorder
{
public:
    MessageRecorder()
    {
        active = this;
        previous = qInstallMessageHandler(&MessageRecorder::record);
    }
    ~MessageRecorder()
    {
        qInstallMessageHandler(previous);
        active = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker locker(&lock);
        return recorded;
    }
    int count(const QString &line) const { return lines().count(line); }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (MessageRecorder *recorder = active) {
            QMutexLocker locker(&recorder->lock);
            recorder->recorded.append(message);
        }
        if (previous)
            previous(type, context, message);
    }

    static inline MessageRecorder *active = nullptr;
    static inline QtMessageHandler previous = nullptr;
    mutable QMutex lock;
    QStringList recorded;
};

// Durations handed to ping() one measurement after the other.
CloudAWS::MillisecondClock scriptedClock(const QList<qint64> &durationsMs)
{
    return [durationsMs, calls = 0, nowMs = qint64(0)]() mutable {
        if (calls % 2 == 1)
            nowMs += durationsMs.value(calls / 2, 0);
        ++calls;
        return nowMs;
    };
}

} // namespace

// The firmware store with its two profiles against the local store.
class CloudStoreTest : public QObject
{
    Q_OBJECT

    LocalS3Server server;
    QTemporaryDir workingDirectory;

    static void storeDefaultIndex(const QVariant &value)
    {
        QSettings settings(Global::configFileName(), QSettings::IniFormat);
        if (value.isValid())
            settings.setValue(QStringLiteral("CloudDefaultIndex"), value);
        else
            settings.remove(QStringLiteral("CloudDefaultIndex"));
    }
    static QVariant storedDefaultIndex()
    {
        return QSettings(Global::configFileName(), QSettings::IniFormat)
            .value(QStringLiteral("CloudDefaultIndex"));
    }

    // A store configuration like the server's, with changes.
    QString writeStoreConfig(const QString &fileName, const QString &extraProfile1Lines)
    {
        const QString path = workingDirectory.filePath(fileName);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        for (int index = 0; index < 2; ++index) {
            const LocalS3Server::Profile profile = server.profile(index);
            file.write(QStringLiteral("[profile%1]\nAccessKeyID=%2\n")
                           .arg(index)
                           .arg(profile.accessKeyId)
                           .toUtf8());
            if (index == 0 || !extraProfile1Lines.contains(QLatin1String("SecretAccessKey")))
                file.write(
                    QStringLiteral("SecretAccessKey=%1\n").arg(profile.secretAccessKey).toUtf8());
            if (index == 1)
                file.write(extraProfile1Lines.toUtf8());
        }
        file.write(QStringLiteral("[tls]\nCaCertificates=%1\n").arg(server.caFile()).toUtf8());
        return path;
    }

    QtS3 directClient(int index) const
    {
        const LocalS3Server::Profile profile = server.profile(index);
        return QtS3(profile.accessKeyId, profile.secretAccessKey, profile.host);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(workingDirectory.isValid());
        // configs.ini lies in the working directory.
        QVERIFY(QDir::setCurrent(workingDirectory.path()));
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        server.useFromThisProcess();
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
    }

    void cleanupTestCase() { server.stop(); }

    void init()
    {
        storeDefaultIndex(QVariant());
        server.resetRequests();
    }

    void builtInProfilesWithoutConfiguration()
    {
        const QByteArray missing =
            workingDirectory.filePath(QStringLiteral("none.ini")).toLocal8Bit();
        qputenv("BRIVANE_STORE_CONFIG", missing);
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("^store configuration .*none.ini not "
                                                            "found")));
        const CloudAWS store;
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());

        QCOMPARE(store.profileCount(), 2);
        QCOMPARE(store.profileHost(0), QStringLiteral("s3.cn-north-1.amazonaws.com.cn"));
        QCOMPARE(store.profileHost(1), QStringLiteral("s3.ap-northeast-1.amazonaws.com"));
        QCOMPARE(store.bucketName(0), QByteArray("brivane"));
        QCOMPARE(store.bucketName(1), QByteArray("brivane"));
        QCOMPARE(store.objectKey(0, QStringLiteral("index.json")),
                 QStringLiteral("firmware/index.json"));
        QCOMPARE(store.loadedConfigPath(), QString());
        QCOMPARE(store.currentIndex(), 0);
    }

    void configurationOverridesProfileValues()
    {
        const QString path = writeStoreConfig(QStringLiteral("override.ini"),
                                              QStringLiteral("StoreDir=beta\nBucketName=other\n"));
        qputenv("BRIVANE_STORE_CONFIG", path.toLocal8Bit());
        const CloudAWS store;
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
        QCOMPARE(store.loadedConfigPath(), path);
        QCOMPARE(store.objectKey(0, QStringLiteral("index.json")),
                 QStringLiteral("firmware/index.json"));
        QCOMPARE(store.objectKey(1, QStringLiteral("index.json")),
                 QStringLiteral("beta/index.json"));
        QCOMPARE(store.bucketName(1), QByteArray("other"));
    }

    void currentIndexFromSettings_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("warns");
        QTest::newRow("nothing stored") << QVariant() << 0 << false;
        QTest::newRow("profile 1") << QVariant(1) << 1 << false;
        QTest::newRow("none chosen") << QVariant(-1) << -1 << false;
        QTest::newRow("past the table") << QVariant(2) << 0 << true;
        QTest::newRow("negative") << QVariant(-7) << 0 << true;
        QTest::newRow("not a number") << QVariant(QStringLiteral("fast")) << 0 << true;
    }
    void currentIndexFromSettings()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, expected);
        QFETCH(bool, warns);
        storeDefaultIndex(stored);
        if (warns)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral(
                                     "^CloudDefaultIndex .* names no store profile; using "
                                     "profile 0$")));
        const CloudAWS store;
        QCOMPARE(store.currentIndex(), expected);
    }

    void downloadWithoutProfileSendsNothing()
    {
        storeDefaultIndex(-1);
        CloudAWS store;
        QTest::ignoreMessage(QtWarningMsg, "Error: waiting S3 init finished!");
        bool succeeded = true;
        QVERIFY(store.download(QStringLiteral("index.json"), &succeeded).isEmpty());
        QVERIFY(!succeeded);
        QVERIFY(server.requests().isEmpty());
        // Uploads do not depend on a chosen profile.
        QVERIFY(store.upload(QStringLiteral("while-unset.txt"), "x", {}));
    }

    void uploadToEveryProfileThenDownload()
    {
        CloudAWS store;
        const QByteArray content = QByteArray("{\"T5\": []}\n").repeated(100);
        QList<bool> results;
        QVERIFY(store.upload(QStringLiteral("index.json"), content, {}, &results));
        QCOMPARE(results, (QList<bool>{true, true}));
        QCOMPARE(
            server.countRequests(QStringLiteral("PUT"), QStringLiteral("/firmware/index.json")), 2);

        QCOMPARE(store.download(QStringLiteral("index.json")), content);
        storeDefaultIndex(1);
        CloudAWS second;
        QCOMPARE(second.currentIndex(), 1);
        QCOMPARE(second.download(QStringLiteral("index.json")), content);
        const QList<LocalS3Server::SeenRequest> seen = server.requests();
        QCOMPARE(seen.last().host, QStringLiteral("brivane.s3.ap-northeast-1.amazonaws.com"));

        // An empty object is a success, not a failure.
        QVERIFY(store.upload(QStringLiteral("empty.bin"), QByteArray(), {}));
        bool succeeded = false;
        QVERIFY(store.download(QStringLiteral("empty.bin"), &succeeded).isEmpty());
        QVERIFY(succeeded);
    }

    void downloadOfMissingObjectTriesFourTimes()
    {
        CloudAWS store;
        MessageRecorder messages;
        bool succeeded = true;
        QVERIFY(store.download(QStringLiteral("missing.bin"), &succeeded).isEmpty());
        QVERIFY(!succeeded);
        QCOMPARE(
            server.countRequests(QStringLiteral("GET"), QStringLiteral("/firmware/missing.bin")),
            4);
        QCOMPARE(server.countRequests(QStringLiteral("GET"), QStringLiteral("/brivane?location")),
                 1);
        QCOMPARE(messages.count(QStringLiteral("try download more once...")), 3);
        QCOMPARE(messages.count(QStringLiteral(
                     "Error: download the file may not exists! firmware/missing.bin")),
                 1);
    }

    void uploadWithOneProfileFailing()
    {
        // The second profile's secret is wrong: the store refuses every try.
        const QString path = writeStoreConfig(
            QStringLiteral("refused.ini"),
            QStringLiteral("SecretAccessKey=%1\n").arg(QString(40, QLatin1Char('A'))));
        qputenv("BRIVANE_STORE_CONFIG", path.toLocal8Bit());
        CloudAWS store;
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());

        MessageRecorder messages;
        QList<bool> results;
        QVERIFY(!store.upload(QStringLiteral("half.bin"), "half", {}, &results));
        QCOMPARE(results, (QList<bool>{true, false}));
        QCOMPARE(messages.count(QStringLiteral("try upload more once... firmware/half.bin")), 3);
        QCOMPARE(messages.count(QStringLiteral("upload results: (true, false)")), 1);

        // Nothing is rolled back: profile 0 keeps the object, profile 1 never had it.
        QCOMPARE(directClient(0).getObject("brivane", QStringLiteral("firmware/half.bin")).data(),
                 QByteArray("half"));
        QCOMPARE(
            directClient(1).getObject("brivane", QStringLiteral("firmware/half.bin")).errorCode(),
            QtS3Reply::NoSuchKeyError);
        // No secret reaches the log.
        const QString secret = server.profile(0).secretAccessKey;
        for (const QString &line : messages.lines())
            QVERIFY(!line.contains(secret) && !line.contains(QString(40, QLatin1Char('A'))));
    }

    void pingChoices_data()
    {
        QTest::addColumn<QList<qint64>>("durationsMs");
        QTest::addColumn<int>("measurements");
        QTest::addColumn<int>("chosen");
        QTest::newRow("first answers in 300 ms") << QList<qint64>{300} << 1 << 0;
        QTest::newRow("second pass, second profile under 600 ms")
            << QList<qint64>{900, 700, 650, 550} << 4 << 1;
        QTest::newRow("three passes, smallest wins")
            << QList<qint64>{900, 700, 650, 650, 800, 600} << 6 << 1;
        QTest::newRow("equal times, earlier wins")
            << QList<qint64>{650, 650, 650, 650, 650, 650} << 6 << 0;
        QTest::newRow("exactly 600 ms does not stop")
            << QList<qint64>{600, 610, 700, 700, 700, 599} << 6 << 1;
    }
    void pingChoices()
    {
        QFETCH(QList<qint64>, durationsMs);
        QFETCH(int, measurements);
        QFETCH(int, chosen);
        storeDefaultIndex(chosen == 0 ? 1 : 0); // start from the other profile
        CloudAWS store;
        store.setPingClock(scriptedClock(durationsMs));
        QSignalSpy changed(&store, &CloudAWS::currentIndexChanged);
        QSignalSpy measured(&store, &CloudAWS::pingMeasured);
        MessageRecorder messages;

        store.ping();

        QCOMPARE(measured.size(), measurements);
        QStringList expectedLines;
        for (int index = 0; index < measurements; ++index) {
            QCOMPARE(measured.at(index).at(1).toInt(), index % 2);
            QCOMPARE(measured.at(index).at(2).toLongLong(), durationsMs.at(index));
            expectedLines.append(QStringLiteral("ping: %1 delay %2 ms")
                                     .arg(index % 2 + 1)
                                     .arg(durationsMs.at(index)));
        }
        QStringList pingLines = messages.lines();
        pingLines.erase(std::remove_if(pingLines.begin(), pingLines.end(),
                                       [](const QString &line) {
                                           return !line.startsWith(QLatin1String("ping: "));
                                       }),
                        pingLines.end());
        QCOMPARE(pingLines, expectedLines);
        QCOMPARE(messages.count(QStringLiteral("CloudAWS::ping...")), 1);
        QCOMPARE(server.countRequests(QStringLiteral("HEAD"), QStringLiteral("/firmware")),
                 measurements);
        QCOMPARE(store.currentIndex(), chosen);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.first().first().toInt(), chosen);
        QCOMPARE(storedDefaultIndex().toInt(), chosen);
    }

    void pingStoresItsChoiceEvenUnchanged()
    {
        storeDefaultIndex(QVariant());
        CloudAWS store;
        store.setPingClock(scriptedClock({100}));
        QSignalSpy changed(&store, &CloudAWS::currentIndexChanged);
        store.ping();
        QCOMPARE(changed.size(), 0);
        QCOMPARE(storedDefaultIndex(), QVariant(QStringLiteral("0")));
    }

    void pingWithASlowRegion()
    {
        // Real time: the first region answers only after 700 ms.
        CloudAWS store;
        server.setRegionDelayMs(QStringLiteral("cn-north-1"), 700);
        QSignalSpy measured(&store, &CloudAWS::pingMeasured);
        store.ping();
        server.setRegionDelayMs(QStringLiteral("cn-north-1"), 0);
        QVERIFY(measured.size() >= 2);
        QVERIFY(measured.at(0).at(2).toLongLong() >= 1400); // lookup and HEAD, each delayed
        QCOMPARE(measured.at(1).at(1).toInt(), 1);
        // A loaded machine may need more than 600 ms for the fast profile too;
        // then more passes follow, and the choice stays the same.
        if (measured.at(1).at(2).toLongLong() < CloudAWS::pingStopBelowMs)
            QCOMPARE(measured.size(), 2);
        QCOMPARE(store.currentIndex(), 1);
        QCOMPARE(storedDefaultIndex().toInt(), 1);
    }
};

QTEST_MAIN(CloudStoreTest)
#include "tst_cloudstore.moc"
