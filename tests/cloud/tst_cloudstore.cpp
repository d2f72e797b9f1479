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
#include <memory>

namespace {

struct LoggedMessage
{
    QString category;
    QtMsgType type;
    QString text;
};

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
        QStringList texts;
        for (const LoggedMessage &message : recorded)
            texts.append(message.text);
        return texts;
    }
    QList<LoggedMessage> messages() const
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
            recorder->recorded.append(
                {QString::fromLatin1(context.category ? context.category : ""), type, message});
        }
        if (previous)
            previous(type, context, message);
    }

    static inline MessageRecorder *active = nullptr;
    static inline QtMessageHandler previous = nullptr;
    mutable QMutex lock;
    QList<LoggedMessage> recorded;
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
        QtS3 client(profile.accessKeyId, profile.secretAccessKey, profile.host);
        client.setExtraCaCertificates(server.caCertificates());
        return client;
    }

    // A CloudAWS on the given store configuration; the tests' own is put
    // back at once.
    static std::unique_ptr<CloudAWS> storeWithConfig(const QString &path)
    {
        qputenv("BRIVANE_STORE_CONFIG", path.toLocal8Bit());
        auto store = std::make_unique<CloudAWS>();
        return store;
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

    void downloadOfMissingObjectAsksOnce()
    {
        // "No such key" is the store's definite answer: asking again cannot
        // change it.
        CloudAWS store;
        MessageRecorder messages;
        bool succeeded = true;
        QString failure;
        QVERIFY(store.download(QStringLiteral("missing.bin"), &succeeded, &failure).isEmpty());
        QVERIFY(!succeeded);
        QCOMPARE(failure, QStringLiteral("NoSuchKeyError: The specified key does not exist."));
        QCOMPARE(
            server.countRequests(QStringLiteral("GET"), QStringLiteral("/firmware/missing.bin")),
            1);
        QCOMPARE(messages.count(QStringLiteral("try download more once...")), 0);
        QCOMPARE(messages.count(QStringLiteral(
                     "Error: download the file may not exists! firmware/missing.bin")),
                 1);
    }

    void onlyTransientFailuresAreRetried_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("attempts");
        QTest::newRow("403 AccessDenied") << "document" << 403 << "AccessDenied" << 1;
        QTest::newRow("400 InvalidArgument") << "document" << 400 << "InvalidArgument" << 1;
        QTest::newRow("404 NoSuchKey") << "document" << 404 << "NoSuchKey" << 1;
        QTest::newRow("500 InternalError") << "document" << 500 << "InternalError" << 4;
        QTest::newRow("503 SlowDown") << "document" << 503 << "SlowDown" << 4;
        QTest::newRow("503 without body") << "empty" << 503 << QString() << 4;
        QTest::newRow("408 without body") << "empty" << 408 << QString() << 4;
        QTest::newRow("429 without body") << "empty" << 429 << QString() << 4;
        QTest::newRow("404 without S3 answer") << "empty" << 404 << QString() << 4;
        QTest::newRow("502 plain text") << "text" << 502 << QString() << 4;
    }
    void onlyTransientFailuresAreRetried()
    {
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, code);
        QFETCH(int, attempts);
        const QString name = QStringLiteral("answer-%1-%2.bin").arg(status).arg(kind);
        const QString path = QStringLiteral("/firmware/") + name;
        if (kind == QLatin1String("document"))
            server.answerWithErrorDocument(path, status, code, QStringLiteral("Injected."));
        else if (kind == QLatin1String("empty"))
            server.answerWithEmptyError(path, status);
        else
            server.answerWithTextError(path, status, QStringLiteral("proxy says no"));

        CloudAWS store;
        MessageRecorder messages;
        bool succeeded = true;
        store.download(name, &succeeded);
        QList<bool> results;
        const bool stored = store.upload(name, "content", {}, &results);
        server.clearAnswers();

        QVERIFY(!succeeded);
        QCOMPARE(server.countRequests(QStringLiteral("GET"), path), attempts);
        QCOMPARE(messages.count(QStringLiteral("try download more once...")), attempts - 1);
        QVERIFY(!stored);
        QCOMPARE(results, (QList<bool>{false, false}));
        // Every profile gets its own attempts.
        QCOMPARE(server.countRequests(QStringLiteral("PUT"), path), 2 * attempts);
        QCOMPARE(messages.count(QStringLiteral("try upload more once... firmware/") + name),
                 2 * (attempts - 1));
    }

    void unreachableProfileIsRetried()
    {
        // No answer at all (the proxy refuses the host): a network error.
        const QString path =
            writeStoreConfig(QStringLiteral("unreachable.ini"),
                             QStringLiteral("S3Url=s3.eu-west-1.unreachable.invalid\n"));
        storeDefaultIndex(1);
        const std::unique_ptr<CloudAWS> store = storeWithConfig(path);
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
        MessageRecorder messages;
        bool succeeded = true;
        QString failure;
        store->download(QStringLiteral("index.json"), &succeeded, &failure);
        QVERIFY(!succeeded);
        QVERIFY2(failure.startsWith(QLatin1String("NetworkError: ")), qPrintable(failure));
        QCOMPARE(messages.count(QStringLiteral("try download more once...")), 3);
        QVERIFY(server.requests().isEmpty());
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
        // A refused signature is a definite answer: no retry.
        QCOMPARE(messages.count(QStringLiteral("try upload more once... firmware/half.bin")), 0);
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

    void setUpWarningsReachTheSetupCategory_data()
    {
        QTest::addColumn<QString>("configuration"); // file contents; null: no file
        QTest::addColumn<QVariant>("defaultIndex");
        QTest::addColumn<QString>("warning");
        QTest::newRow("no store.ini") << QString() << QVariant()
                                      << "store configuration <ini> not found: the store is used "
                                         "without credentials";
        QTest::newRow("store.ini is a folder") << QStringLiteral("<folder>") << QVariant()
                                               << "store configuration <ini> could not be read";
        QTest::newRow("no credentials")
            << QStringLiteral("[profile0]\nAccessKeyID=A\nSecretAccessKey=S\n[profile1]\n"
                              "AccessKeyID=B\n")
            << QVariant() << "store configuration <ini> has no credentials for [profile1]";
        QTest::newRow("CA file unreadable")
            << QStringLiteral("[profile0]\nAccessKeyID=A\nSecretAccessKey=S\n[profile1]\n"
                              "AccessKeyID=B\nSecretAccessKey=S\n[tls]\nCaCertificates=no-ca.pem\n")
            << QVariant() << "no CA certificate could be read from <folder>/no-ca.pem";
        QTest::newRow("CloudDefaultIndex names no profile")
            << QStringLiteral("[profile0]\nAccessKeyID=A\nSecretAccessKey=S\n[profile1]\n"
                              "AccessKeyID=B\nSecretAccessKey=S\n")
            << QVariant(5) << "CloudDefaultIndex 5 names no store profile; using profile 0";
    }
    void setUpWarningsReachTheSetupCategory()
    {
        QFETCH(QString, configuration);
        QFETCH(QVariant, defaultIndex);
        QFETCH(QString, warning);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("store.ini"));
        if (configuration == QLatin1String("<folder>")) {
            QVERIFY(QDir().mkpath(path));
        } else if (!configuration.isNull()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(configuration.toUtf8());
        }
        storeDefaultIndex(defaultIndex);
        MessageRecorder messages;
        {
            const std::unique_ptr<CloudAWS> store = storeWithConfig(path);
        }
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());

        const QString expected = QString(warning)
                                     .replace(QLatin1String("<ini>"), path)
                                     .replace(QLatin1String("<folder>"), folder.path());
        QStringList setupWarnings;
        for (const LoggedMessage &message : messages.messages()) {
            if (message.category == QLatin1String("brivane.setup") && message.type == QtWarningMsg)
                setupWarnings.append(message.text);
        }
        QVERIFY2(setupWarnings.contains(expected),
                 qPrintable(setupWarnings.join(QLatin1Char('\n'))));
    }

    void pingPolicies_data()
    {
        QTest::addColumn<bool>("profile0Answers");
        QTest::addColumn<bool>("profile1Answers");
        QTest::addColumn<bool>("answeredOnly");
        QTest::addColumn<QList<qint64>>("durationsMs");
        QTest::addColumn<int>("measurements");
        QTest::addColumn<int>("chosen"); // -2: nothing chosen, the stored 1 stays
        QTest::addColumn<bool>("anyAnswered");
        // The design's rule: a quick failure counts like an answer.
        QTest::newRow("every measurement, profile 0 fails fast")
            << false << true << false << QList<qint64>{100, 300} << 1 << 0 << false;
        QTest::newRow("every measurement, none answers")
            << false << false << false << QList<qint64>{650, 700, 900, 900, 900, 900} << 6 << 0
            << false;
        QTest::newRow("answered only, profile 0 fails fast")
            << false << true << true << QList<qint64>{100, 300} << 2 << 1 << true;
        QTest::newRow("answered only, none answers")
            << false << false << true << QList<qint64>{100, 100, 100, 100, 100, 100} << 6 << -2
            << false;
        QTest::newRow("answered only, both answer")
            << true << true << true << QList<qint64>{900, 700, 650, 550} << 4 << 1 << true;
    }
    void pingPolicies()
    {
        QFETCH(bool, profile0Answers);
        QFETCH(bool, profile1Answers);
        QFETCH(bool, answeredOnly);
        QFETCH(QList<qint64>, durationsMs);
        QFETCH(int, measurements);
        QFETCH(int, chosen);
        QFETCH(bool, anyAnswered);
        QString config = writeStoreConfig(
            QStringLiteral("ping.ini"),
            profile1Answers ? QString()
                            : QStringLiteral("S3Url=s3.eu-west-1.unreachable.invalid\n"));
        if (!profile0Answers) {
            QSettings settings(config, QSettings::IniFormat);
            settings.setValue(QStringLiteral("profile0/S3Url"),
                              QStringLiteral("s3.eu-west-2.unreachable.invalid"));
        }
        storeDefaultIndex(1);
        const std::unique_ptr<CloudAWS> store = storeWithConfig(config);
        qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
        store->setPingClock(scriptedClock(durationsMs));
        QSignalSpy measured(store.get(), &CloudAWS::pingMeasured);

        const bool answered = store->ping(answeredOnly ? CloudAWS::PingPolicy::AnsweredOnly
                                                       : CloudAWS::PingPolicy::EveryMeasurement);

        QCOMPARE(answered, anyAnswered);
        QCOMPARE(measured.size(), measurements);
        for (int index = 0; index < measurements; ++index)
            QCOMPARE(measured.at(index).at(3).toBool(),
                     index % 2 == 0 ? profile0Answers : profile1Answers);
        QCOMPARE(store->currentIndex(), chosen == -2 ? 1 : chosen);
        QCOMPARE(storedDefaultIndex().toInt(), chosen == -2 ? 1 : chosen);
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
