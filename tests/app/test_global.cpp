#include "global.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The settings file lies in the working directory, so the whole test runs in
// a temporary one; the process starts as on a Japanese system without any
// configs.ini.
static std::unique_ptr<QTemporaryDir> workingDirectory;

class GlobalTest : public QObject
{
    Q_OBJECT

private:
    static QString settingsPath()
    {
        return QDir::current().filePath(QStringLiteral("configs.ini"));
    }
    static QVariant storedValue(const QString &key)
    {
        return QSettings(settingsPath(), QSettings::IniFormat).value(key);
    }
    static void writeRaw(const QString &path, const QByteArray &data)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    }

private slots:
    void firstStartFollowsSystemLanguage()
    {
        QVERIFY(!QFile::exists(settingsPath()));
        Global *global = Global::instance();
        QCOMPARE(Global::instance(), global);
        QCOMPARE(storedValue(QStringLiteral("Language")).toInt(), 59);
        // The Japanese file is installed: device texts come out translated,
        // and not as the English file has them.
        const QString updateOk = QCoreApplication::translate("K3Device", "Update OK!");
        QVERIFY(updateOk != QLatin1String("Update OK!"));
        QVERIFY2(updateOk != QLatin1String("Update successfully"), qPrintable(updateOk));
    }

    void unknownLanguageFallsBackToEnglishButStoresItsNumber()
    {
        Global::instance()->setLanguage(QLocale::German);
        QCOMPARE(storedValue(QStringLiteral("Language")).toInt(), int(QLocale::German));
        QCOMPARE(Global::instance()->readLanguage(), int(QLocale::German));
        QCOMPARE(QCoreApplication::translate("K3Device", "Update OK!"),
                 QStringLiteral("Update successfully"));
        QCOMPARE(QCoreApplication::translate("T5Device", "Write to flash error!"),
                 QStringLiteral("Error"));
        QCOMPARE(QCoreApplication::translate("M7Device", "Update file md5 error!"),
                 QStringLiteral("Error(MD5)"));
        // The controller's texts the English file shortens.
        QCOMPARE(QCoreApplication::translate("FirmwareManage", "The device is connecting..."),
                 QStringLiteral("connecting"));
        QCOMPARE(QCoreApplication::translate(
                     "FirmwareManage",
                     "The device is not connected or has not entered upgrade mode as instructed"),
                 QStringLiteral("No Brivane Device found"));
        QCOMPARE(QCoreApplication::translate("FirmwareManage", "Brivane data backup"),
                 QStringLiteral("Data Backup"));
        QCOMPARE(QCoreApplication::translate("FirmwareManage", "Brivane data restore"),
                 QStringLiteral("Data Restore"));
        QCOMPARE(QCoreApplication::translate("FirmwareManage", "App 'configs.ini' error!"),
                 QStringLiteral("App 'configs.ini' error!"));
    }

    void languageResources()
    {
        QCOMPARE(Global::languageResource(25), QStringLiteral(":/languages/client_zh_CN.qm"));
        QCOMPARE(Global::languageResource(31), QStringLiteral(":/languages/client_en_EN.qm"));
        QCOMPARE(Global::languageResource(37), QStringLiteral(":/languages/client_fr_FR.qm"));
        QCOMPARE(Global::languageResource(59), QStringLiteral(":/languages/client_ja_JP.qm"));
        QCOMPARE(Global::languageResource(96), QStringLiteral(":/languages/client_ru_RU.qm"));
        QCOMPARE(Global::languageResource(42), QStringLiteral(":/languages/client_en_EN.qm"));
        for (int language : {25, 31, 37, 59, 96})
            QVERIFY2(QFile::exists(Global::languageResource(language)),
                     qPrintable(Global::languageResource(language)));
    }

    void failedLanguageLoadStoresNothing()
    {
        Global::instance()->setLanguage(QLocale::Russian);
        QCOMPARE(storedValue(QStringLiteral("Language")).toInt(), 96);
        Q_CLEANUP_RESOURCE(languages);
        QVERIFY(!QFile::exists(Global::languageResource(QLocale::French)));
        Global::instance()->setLanguage(QLocale::French);
        QCOMPARE(storedValue(QStringLiteral("Language")).toInt(), 96);
        Q_INIT_RESOURCE(languages);
    }

    void configKeysAreEnumeratorNames()
    {
        QCOMPARE(Global::configKeyName(Global::SetBootModeAfterUpdate),
                 QStringLiteral("SetBootModeAfterUpdate"));
        QCOMPARE(Global::configKeyName(Global::BootMode), QStringLiteral("BootMode"));
        QCOMPARE(Global::configKeyName(Global::RebootAfterUpdate),
                 QStringLiteral("RebootAfterUpdate"));
        QCOMPARE(Global::configKeyName(Global::CloudDefaultIndex),
                 QStringLiteral("CloudDefaultIndex"));
        QCOMPARE(Global::configKeyName(Global::ConfigKey(17)), QString());
    }

    void settingsAreReadAfreshAndStoredAtTopLevel()
    {
        Global *global = Global::instance();
        QCOMPARE(global->readConfig(Global::BootMode, -1).toInt(), -1);
        global->writeConfig(Global::CloudDefaultIndex, 1);
        // On disk as soon as the call returns, in the general section.
        QFile file(settingsPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("[General]"));
        QVERIFY(text.contains("CloudDefaultIndex=1"));
        file.close();

        // An edit by hand is seen by the next read: nothing is cached.
        writeRaw(settingsPath(), "[General]\nBootMode=3\nSetBootModeAfterUpdate=ON\n");
        QCOMPARE(global->readConfig(Global::BootMode, -1).toInt(), 3);
        QCOMPARE(global->readConfig(Global::SetBootModeAfterUpdate, QString()).toString(),
                 QStringLiteral("ON"));
        QCOMPARE(global->readConfig(Global::RebootAfterUpdate, QStringLiteral("OFF")).toString(),
                 QStringLiteral("OFF"));
    }

    void recentFolder()
    {
        Global *global = Global::instance();
        QFile::remove(settingsPath());
        QCOMPARE(global->readRecentDir(),
                 QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
        global->writeRecentDir(QStringLiteral("/srv/firmware"));
        QCOMPARE(global->readRecentDir(), QStringLiteral("/srv/firmware"));
    }

    void saveFileCases()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("a/b/c/file.bin"));

        // A missing folder chain is created.
        QCOMPARE(Global::saveFileWithResult(path, "first"), Global::SaveResult::Written);
        QCOMPARE(Global::readFile(path), QByteArray("first"));

        // Identical content: false and the file is left alone.
        const QDateTime before = QFileInfo(path).lastModified();
        QTest::qWait(20);
        QCOMPARE(Global::saveFile(path, "first"), false);
        QCOMPARE(Global::saveFileWithResult(path, "first"), Global::SaveResult::Unchanged);
        QCOMPARE(QFileInfo(path).lastModified(), before);

        // Different content replaces the file.
        QCOMPARE(Global::saveFile(path, "second, longer"), true);
        QCOMPARE(Global::readFile(path), QByteArray("second, longer"));
        // No temporary file is left beside it.
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files).size(), 1);

        // Empty data with another file there: the old one goes, nothing is written.
        QCOMPARE(Global::saveFile(path, QByteArray()), true);
        QVERIFY(!QFile::exists(path));
        // Empty data and no file: nothing happens.
        QCOMPARE(Global::saveFileWithResult(path, QByteArray()),
                 Global::SaveResult::NothingToWrite);
        QVERIFY(!QFile::exists(path));
    }

    void saveFileReportsAFailedWrite()
    {
        QTemporaryDir dir;
        // A regular file where the folder should be: nothing can be written.
        const QString blocker = dir.filePath(QStringLiteral("blocker"));
        writeRaw(blocker, "x");
        const QString path = blocker + QStringLiteral("/inside.bin");
        QCOMPARE(Global::saveFileWithResult(path, "data"), Global::SaveResult::Failed);
        QCOMPARE(Global::saveFile(path, "data"), false);
        QVERIFY(!QFile::exists(path));
    }

    void checkFileMd5IsCaseSensitive()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("package.rfw"));
        writeRaw(path, "The quick brown fox jumps over the lazy dog");
        // Published MD5 of that sentence.
        QVERIFY(Global::checkFileMd5(path, QStringLiteral("9e107d9d372bb6826bd81d3542a419d6")));
        QVERIFY(!Global::checkFileMd5(path, QStringLiteral("9E107D9D372BB6826BD81D3542A419D6")));
        QVERIFY(!Global::checkFileMd5(dir.filePath(QStringLiteral("missing")),
                                      QStringLiteral("d41d8cd98f00b204e9800998ecf8427e")));
        QCOMPARE(Global::readFile(dir.filePath(QStringLiteral("missing"))), QByteArray());
    }

    void versionCompare_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<int>("expected");
        QTest::newRow("equal") << "1.2.3"
                               << "1.2.3" << 0;
        QTest::newRow("minor higher") << "1.3.0"
                                      << "1.2.9" << 1;
        QTest::newRow("minor lower") << "1.2.9"
                                     << "1.3.0" << -1;
        QTest::newRow("numeric not textual") << "1.10.0"
                                             << "1.9.0" << 1;
        QTest::newRow("patch lower") << "1.2.3"
                                     << "1.2.4" << -1;
        QTest::newRow("two parts") << "1.2"
                                   << "1.2.3" << -1;
        QTest::newRow("same numbers other text") << "1.02.3"
                                                 << "1.2.3" << -1;
        QTest::newRow("four parts") << "1.2.3.4"
                                    << "1.2.3.5" << -1;
    }

    void versionCompare()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(int, expected);
        if (first.count(QLatin1Char('.')) != 2 || second.count(QLatin1Char('.')) != 2)
            QTest::ignoreMessage(QtWarningMsg, "VersionCompare Error !!!");
        QCOMPARE(Global::instance()->versionCompare(first, second), expected);
    }

    void clipboardAndFontsWithoutGui()
    {
        // Without the window's services the calls do nothing and say so.
        QCOMPARE(Global::instance()->readClipBoard(), QString());
        for (int font = 0; font < 6; ++font)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("could not be loaded!")));
        Global::instance()->loadFonts();
    }
};

int main(int argc, char *argv[])
{
    qputenv("LANG", "ja_JP.UTF-8");
    qunsetenv("LC_ALL");
    qunsetenv("LC_MESSAGES");
    qunsetenv("LANGUAGE");
    workingDirectory = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(workingDirectory->path());
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication application(argc, argv);
    GlobalTest test;
    const int status = QTest::qExec(&test, argc, argv);
    QDir::setCurrent(QDir::tempPath());
    workingDirectory.reset();
    return status;
}

#include "test_global.moc"
