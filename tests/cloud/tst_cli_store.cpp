#include "fwtoolrunner.h"
#include "locals3server.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using Result = FwTool::Result;

// The store commands of brivane-fwtool as a release script uses them: the
// proxy comes from https_proxy, the store's CA from the store configuration.
class CliStoreTest : public QObject
{
    Q_OBJECT

    LocalS3Server server;
    QTemporaryDir workingDirectory;

    Result run(const QStringList &arguments, const QString &storeConfig = QString()) const
    {
        // The program inherits this process's environment (FwTool::run).
        qputenv("BRIVANE_STORE_CONFIG",
                (storeConfig.isNull() ? server.storeConfig() : storeConfig).toLocal8Bit());
        return FwTool::run(QStringList{QStringLiteral("store")} + arguments, QString(),
                           workingDirectory.path());
    }

    // The server's store.ini with the endpoints of the given profiles moved to
    // a host that the proxy refuses, so those profiles never answer.
    QString configWithUnreachable(const QString &fileName, const QList<int> &unreachable) const
    {
        const QString path = workingDirectory.filePath(fileName);
        QFile::remove(path);
        if (!QFile::copy(server.storeConfig(), path))
            return QString();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        QSettings settings(path, QSettings::IniFormat);
        for (int index : unreachable)
            settings.setValue(QStringLiteral("profile%1/S3Url").arg(index),
                              QStringLiteral("s3.eu-west-%1.unreachable.invalid").arg(index + 1));
        return path;
    }
    void storeDefaultIndex(int index) const
    {
        QSettings settings(workingDirectory.filePath(QStringLiteral("configs.ini")),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("CloudDefaultIndex"), index);
    }
    QVariant storedDefaultIndex() const
    {
        return QSettings(workingDirectory.filePath(QStringLiteral("configs.ini")),
                         QSettings::IniFormat)
            .value(QStringLiteral("CloudDefaultIndex"));
    }

    QString writeFile(const QString &name, const QByteArray &content) const
    {
        const QString path = workingDirectory.filePath(name);
        return FwTool::writeAll(path, content) ? path : QString();
    }

    void verifyNoSecret(const Result &result) const
    {
        for (int index = 0; index < 2; ++index) {
            const QByteArray secret = server.profile(index).secretAccessKey.toLatin1();
            QVERIFY(!result.out.contains(secret));
            QVERIFY(!result.err.contains(secret));
        }
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(workingDirectory.isValid());
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        // What a release script behind a company proxy hands to the program.
        qunsetenv("no_proxy");
        qunsetenv("NO_PROXY");
        qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(server.proxyPort()));
    }

    void cleanupTestCase() { server.stop(); }

    void usage()
    {
        const Result help = run({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        for (const char *action : {"store get NAME", "store put NAME FILE", "store head NAME",
                                   "store ping", "BRIVANE_STORE_CONFIG"})
            QVERIFY2(help.out.contains(action), action);

        for (const QStringList &wrong :
             {QStringList{}, QStringList{QStringLiteral("fetch"), QStringLiteral("x")},
              QStringList{QStringLiteral("get")},
              QStringList{QStringLiteral("put"), QStringLiteral("x")},
              QStringList{QStringLiteral("head"), QStringLiteral("x"), QStringLiteral("--out"),
                          QStringLiteral("f")},
              QStringList{QStringLiteral("get"), QStringLiteral("x"), QStringLiteral("--json")},
              QStringList{QStringLiteral("ping"), QStringLiteral("--colour")}}) {
            const Result result = run(wrong);
            QCOMPARE(result.status, 2);
            QCOMPARE(result.err.count('\n'), 1);
            QVERIFY(result.out.isEmpty());
        }
    }

    void putGetHead()
    {
        const QByteArray content = QByteArray("\x00\x01firmware\xff", 11).repeated(3000);
        const QString source = writeFile(QStringLiteral("T5_v1.2.3.bin"), content);

        const Result put = run({QStringLiteral("put"), QStringLiteral("T5_v1.2.3.bin"), source});
        QCOMPARE(put.status, 0);
        QVERIFY(put.out.contains("33000 bytes stored on 2 profiles"));
        verifyNoSecret(put);

        const QString target = workingDirectory.filePath(QStringLiteral("fetched.bin"));
        const Result get = run({QStringLiteral("get"), QStringLiteral("T5_v1.2.3.bin"),
                                QStringLiteral("--out"), target});
        QCOMPARE(get.status, 0);
        QFile fetched(target);
        QVERIFY(fetched.open(QIODevice::ReadOnly));
        QCOMPARE(fetched.readAll(), content);

        const Result toStdout = run({QStringLiteral("get"), QStringLiteral("T5_v1.2.3.bin")});
        QCOMPARE(toStdout.status, 0);
        QCOMPARE(toStdout.out, content);

        const Result head = run(
            {QStringLiteral("head"), QStringLiteral("T5_v1.2.3.bin"), QStringLiteral("--json")});
        QCOMPARE(head.status, 0);
        const QJsonObject headObject = QJsonDocument::fromJson(head.out).object();
        QCOMPARE(headObject.value(QStringLiteral("present")).toBool(), true);
        QCOMPARE(headObject.value(QStringLiteral("bytes")).toInt(), 33000);
        QCOMPARE(headObject.value(QStringLiteral("key")).toString(),
                 QStringLiteral("firmware/T5_v1.2.3.bin"));
    }

    void missingObjects()
    {
        const Result head = run({QStringLiteral("head"), QStringLiteral("absent.bin")});
        QCOMPARE(head.status, 1);
        QCOMPARE(head.err.count('\n'), 1);
        QVERIFY(head.err.contains("not found"));

        const Result get = run({QStringLiteral("get"), QStringLiteral("absent.bin")});
        QCOMPARE(get.status, 1);
        QCOMPARE(get.err.count('\n'), 1);
        QVERIFY(get.err.contains("NoSuchKeyError"));
        QVERIFY(get.out.isEmpty());
    }

    void storeCaIsTrustedOnlyWhenConfigured()
    {
        // The same credentials without the [tls] CA: the peer is not trusted.
        QSettings original(server.storeConfig(), QSettings::IniFormat);
        const QString path = workingDirectory.filePath(QStringLiteral("no-ca.ini"));
        {
            QSettings withoutCa(path, QSettings::IniFormat);
            for (const QString &key : original.allKeys()) {
                if (!key.startsWith(QLatin1String("tls/")))
                    withoutCa.setValue(key, original.value(key));
            }
        }
        // Qt 5.15 with OpenSSL 3 now and then leaves the per-thread OpenSSL
        // state of its HTTP thread behind after a failed handshake (it shows
        // without this project's code too); the sanitizer build must not
        // fail on it, so this one run goes without leak detection.
        const QByteArray sanitizerOptions = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", sanitizerOptions + ":detect_leaks=0");
        const Result get = run({QStringLiteral("get"), QStringLiteral("T5_v1.2.3.bin")}, path);
        qputenv("ASAN_OPTIONS", sanitizerOptions);
        QVERIFY2(get.status == 1, get.err.constData());
        QCOMPARE(get.err.count('\n'), 1);
        QVERIFY2(get.err.contains("SSL") || get.err.contains("certificate"), get.err.constData());
    }

    void refusedUploadNamesTheProfile()
    {
        const QString path = workingDirectory.filePath(QStringLiteral("wrong-key.ini"));
        QFile::remove(path);
        QVERIFY(QFile::copy(server.storeConfig(), path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        {
            QSettings settings(path, QSettings::IniFormat);
            settings.setValue(QStringLiteral("profile1/SecretAccessKey"), QString(40, 'B'));
        }
        const QString source = writeFile(QStringLiteral("half.bin"), "half");
        const Result put = run(
            {QStringLiteral("put"), QStringLiteral("half.bin"), source, QStringLiteral("--json")},
            path);
        QCOMPARE(put.status, 1);
        QCOMPARE(put.err.count('\n'), 1);
        QVERIFY(put.err.contains("profile 1"));
        QVERIFY(put.err.contains("SignatureDoesNotMatch"));
        const QJsonArray profiles =
            QJsonDocument::fromJson(put.out).object().value(QStringLiteral("profiles")).toArray();
        QCOMPARE(profiles.size(), 2);
        QCOMPARE(profiles.at(0).toObject().value(QStringLiteral("stored")).toBool(), true);
        QCOMPARE(profiles.at(1).toObject().value(QStringLiteral("stored")).toBool(), false);
        QVERIFY(!put.err.contains(QByteArray(40, 'B')));
    }

    void storeCommandsUnderAnotherLocale_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("LANG=ar_EG.UTF-8") << QByteArray("LANG") << QByteArray("ar_EG.UTF-8");
        QTest::newRow("LC_ALL=fa_IR.UTF-8") << QByteArray("LC_ALL") << QByteArray("fa_IR.UTF-8");
    }
    void storeCommandsUnderAnotherLocale()
    {
        // Locales that write Arabic-Indic digits: the signed dates must not.
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        const QByteArray savedLang = qgetenv("LANG");
        const QByteArray savedAll = qgetenv("LC_ALL");
        qunsetenv("LANG");
        qunsetenv("LC_ALL");
        qputenv(variable.constData(), value);
        const QString source = writeFile(QStringLiteral("locale.bin"), "digits");
        const Result put = run({QStringLiteral("put"), QStringLiteral("locale.bin"), source});
        const Result get = run({QStringLiteral("get"), QStringLiteral("locale.bin")});
        qunsetenv(variable.constData());
        if (!savedLang.isNull())
            qputenv("LANG", savedLang);
        if (!savedAll.isNull())
            qputenv("LC_ALL", savedAll);
        QVERIFY2(put.status == 0, put.err.constData());
        QVERIFY2(get.status == 0, get.err.constData());
        QCOMPARE(get.out, QByteArray("digits"));
    }

    void dotSegmentsAreRefused()
    {
        const Result get = run({QStringLiteral("get"), QStringLiteral("../index.json")});
        QCOMPARE(get.status, 1);
        QCOMPARE(get.err.count('\n'), 1);
        QVERIFY2(get.err.contains("InvalidRequestError: Object name firmware/../index.json has a "
                                  "\".\" or \"..\" path segment"),
                 get.err.constData());
    }

    void pingWithoutAnyAnswerFailsAndKeepsTheChoice()
    {
        storeDefaultIndex(1);
        const QString path = configWithUnreachable(QStringLiteral("dead.ini"), {0, 1});
        const Result text = run({QStringLiteral("ping")}, path);
        QCOMPARE(text.status, 1);
        QCOMPARE(text.err.count('\n'), 1);
        QVERIFY2(text.err.contains("store ping: no profile answered; profile 1 "
                                   "(s3.eu-west-2.unreachable.invalid) stays in use"),
                 text.err.constData());
        QVERIFY(text.out.contains("pass 3, profile 1 (s3.eu-west-2.unreachable.invalid): "));
        QVERIFY(text.out.contains("no answer"));
        QCOMPARE(storedDefaultIndex().toInt(), 1);

        const Result json = run({QStringLiteral("ping"), QStringLiteral("--json")}, path);
        QCOMPARE(json.status, 1);
        const QJsonObject object = QJsonDocument::fromJson(json.out).object();
        QCOMPARE(object.value(QStringLiteral("answered")).toBool(true), false);
        QCOMPARE(object.value(QStringLiteral("chosen")).toInt(), 1);
        QCOMPARE(object.value(QStringLiteral("measurements")).toArray().size(), 6);
        QCOMPARE(storedDefaultIndex().toInt(), 1);
    }

    void pingPassesOverAProfileThatFails()
    {
        // Profile 0 fails at once; a quick failure is no answer, so it is
        // neither chosen nor a reason to stop measuring.
        storeDefaultIndex(0);
        const QString path = configWithUnreachable(QStringLiteral("half-dead.ini"), {0});
        const Result json = run({QStringLiteral("ping"), QStringLiteral("--json")}, path);
        QCOMPARE(json.status, 0);
        const QJsonObject object = QJsonDocument::fromJson(json.out).object();
        QCOMPARE(object.value(QStringLiteral("answered")).toBool(), true);
        QCOMPARE(object.value(QStringLiteral("chosen")).toInt(), 1);
        const QJsonArray measurements = object.value(QStringLiteral("measurements")).toArray();
        QVERIFY(measurements.size() >= 2);
        QCOMPARE(measurements.at(0).toObject().value(QStringLiteral("answered")).toBool(true),
                 false);
        QCOMPARE(measurements.at(1).toObject().value(QStringLiteral("answered")).toBool(), true);
        QCOMPARE(storedDefaultIndex().toInt(), 1);
    }

    void pingPrintsMeasurementsAndChoice()
    {
        const Result text = run({QStringLiteral("ping")});
        QCOMPARE(text.status, 0);
        QVERIFY(text.out.contains("pass 1, profile 0 (s3.cn-north-1.amazonaws.com.cn): "));
        QVERIFY(text.out.contains("chosen: profile "));

        const Result json = run({QStringLiteral("ping"), QStringLiteral("--json")});
        QCOMPARE(json.status, 0);
        const QJsonObject object = QJsonDocument::fromJson(json.out).object();
        const QJsonArray measurements = object.value(QStringLiteral("measurements")).toArray();
        QVERIFY(!measurements.isEmpty());
        const int chosen = object.value(QStringLiteral("chosen")).toInt(-1);
        QVERIFY(chosen == 0 || chosen == 1);
        // The choice is remembered in configs.ini of the working directory.
        QSettings settings(workingDirectory.filePath(QStringLiteral("configs.ini")),
                           QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("CloudDefaultIndex")).toInt(), chosen);
    }
};

QTEST_MAIN(CliStoreTest)
#include "tst_cli_store.moc"
