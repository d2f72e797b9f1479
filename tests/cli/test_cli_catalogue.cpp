#include "fwtoolrunner.h"
#include "locals3server.h"
#include "testpackage.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

// The catalogue commands of brivane-fwtool as a technician or a release
// script uses them, against the local store (and, for updates, an emulated
// T5): exit status 0 only when the store confirmed the change or the adapter
// holds the firmware, and what the store holds afterwards.
class CliCatalogueTest : public QObject, FwTool::AdapterFolderFixture
{
    Q_OBJECT

    using Result = FwTool::Result;

    // The T5 image area of firmware 5.5.0 and later starts at 0x08040000.
    static constexpr int newLayoutImageOffset = 0x40000;

    LocalS3Server server;

    static QString md5Of(const QByteArray &bytes)
    {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    }

    static QJsonObject entry(const QString &model, const QString &version, const QString &info,
                             const QString &checksum)
    {
        return QJsonObject{
            {QStringLiteral("version"), version},
            {QStringLiteral("url"), QString()},
            {QStringLiteral("info"), info},
            {QStringLiteral("datetime"), QStringLiteral("2024-05-01 10:00:00")},
            {QStringLiteral("checksum"), checksum},
            {QStringLiteral("download"), QStringLiteral("%1_v%2.bin").arg(model, version)}};
    }

    static QString text(const QJsonValue &object, const char *key)
    {
        return object.toObject().value(QLatin1String(key)).toString();
    }

    static QStringList words(const QString &text)
    {
        return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }

    static QStringList versionsOf(const QJsonArray &entries)
    {
        QStringList versions;
        for (const QJsonValue &value : entries)
            versions.append(value.toObject().value(QStringLiteral("version")).toString());
        return versions;
    }

    // The package cache and settings of the runs stay in the working folder.
    Result runTool(const QStringList &arguments, bool withEmulator = false,
                   const QString &storeConfig = QString()) const
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("BRIVANE_STORE_CONFIG"),
                           storeConfig.isNull() ? server.storeConfig() : storeConfig);
        environment.insert(QStringLiteral("XDG_CACHE_HOME"),
                           work.filePath(QStringLiteral("cache")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           work.filePath(QStringLiteral("config")));
        return run(arguments, withEmulator, environment);
    }

    bool putObject(const QString &name, const QByteArray &bytes) const
    {
        const QString path = writeFile(QStringLiteral("upload.tmp"), bytes);
        const Result put = runTool(words("store put") + QStringList{name, path});
        if (put.status != 0)
            qWarning() << "store put" << name << "failed:" << put.err;
        return put.status == 0;
    }

    bool putCatalogue(const QJsonObject &catalogue) const
    {
        return putObject(QStringLiteral("index.json"),
                         QJsonDocument(catalogue).toJson(QJsonDocument::Compact));
    }

    // index.json as the store holds it, read without the controller.
    QJsonObject storedCatalogue() const
    {
        const Result get = runTool(words("store get index.json"));
        return QJsonDocument::fromJson(get.out).object();
    }

    QJsonArray storedEntries(const QString &model) const
    {
        return storedCatalogue().value(model).toArray();
    }

    // The store configuration with the secret key of the given profiles
    // replaced, so that the store refuses them.
    QString configRefusing(const QString &fileName, const QList<int> &refused) const
    {
        const QString path = work.filePath(fileName);
        QFile::remove(path);
        if (!QFile::copy(server.storeConfig(), path))
            return QString();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        QSettings settings(path, QSettings::IniFormat);
        for (int index : refused)
            settings.setValue(QStringLiteral("profile%1/SecretAccessKey").arg(index),
                              QString(40, 'B'));
        return path;
    }

    // Packages of the T5 (vendor 3642, product 45939) in the package cache.
    QStringList cachedT5Packages() const
    {
        QStringList found;
        QDirIterator files(work.filePath(QStringLiteral("cache")), QDir::Files,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            if (path.contains(QLatin1String("/3642/45939/")))
                found.append(QFileInfo(path).fileName());
        }
        found.sort();
        return found;
    }

    int firmwareRequests(const QString &method, const QString &name)
    {
        return server.countRequests(method, QStringLiteral("/firmware/") + name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        qunsetenv("no_proxy");
        qunsetenv("NO_PROXY");
        qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(server.proxyPort()));
    }

    void cleanupTestCase() { server.stop(); }

    void wrongUsageTouchesNeitherStoreNorAdapter_data()
    {
        QTest::addColumn<QStringList>("arguments");
        const QString md5 = md5Of("x");
        const QList<QPair<const char *, QString>> rows{
            {"no action", QStringLiteral("catalogue")},
            {"unknown action", QStringLiteral("catalogue show")},
            {"unknown model", QStringLiteral("catalogue list --model Z80")},
            {"list positional", QStringLiteral("catalogue list T5")},
            {"publish without file",
             QStringLiteral("catalogue publish --model T5 --version 1.2.3")},
            {"publish without model",
             QStringLiteral("catalogue publish --file T5_v1.2.3.bin --version 1.2.3")},
            {"publish version v1.2.3",
             QStringLiteral("catalogue publish --model T5 --file T5_v1.2.3.bin --version v1.2.3")},
            {"edit without version", QStringLiteral("catalogue edit --model T5 --checksum ") + md5},
            {"edit checksum not MD5",
             QStringLiteral("catalogue edit --model T5 --checksum abc --version 1.2.3")},
            {"remove without checksum", QStringLiteral("catalogue remove --model T5")},
            {"order without checksums", QStringLiteral("catalogue order")},
            {"order checksum not MD5",
             QStringLiteral("catalogue order --checksums %1,xyz").arg(md5)},
            {"update catalogue and file",
             QStringLiteral("update --catalogue --file T5_v1.2.3.bin")},
            {"update catalogue two versions", QStringLiteral("update --catalogue 1.2.3 1.2.4")},
            {"update catalogue latest", QStringLiteral("update --catalogue latest")},
            {"update catalogue unknown model", QStringLiteral("update --model Q9 --catalogue")}};
        for (const auto &row : rows)
            QTest::newRow(row.first) << words(row.second);
    }
    void wrongUsageTouchesNeitherStoreNorAdapter()
    {
        QFETCH(QStringList, arguments);
        createAdapter(QStringLiteral("T5"),
                      {QStringLiteral("--state"), QStringLiteral("new-layout")});
        const QByteArray before = flash();
        server.resetRequests();
        const Result result = runTool(arguments, true);
        QCOMPARE(result.status, 2);
        QCOMPARE(result.err.count('\n'), 1);
        QVERIFY(result.out.isEmpty());
        QVERIFY(server.requests().isEmpty());
        QCOMPARE(flash(), before);
    }

    void helpNamesTheStoreConfigurationAndTheCache()
    {
        for (const char *help :
             {"catalogue --help", "catalogue list --help", "catalogue publish --help",
              "catalogue edit --help", "catalogue remove --help", "catalogue order --help",
              "update --help"}) {
            const Result result = runTool(words(help));
            QVERIFY2(result.status == 0, help);
            QVERIFY2(result.out.contains("BRIVANE_STORE_CONFIG"), help);
        }
        const Result update = runTool(words("update --help"));
        QVERIFY(update.out.contains("--catalogue"));
        QVERIFY2(update.out.contains(work.filePath(QStringLiteral("cache")).toUtf8()),
                 update.out.constData());
    }

    void listShowsEveryModelInCatalogueOrder()
    {
        const QString first = md5Of("first");
        // No "M7" member: it reads as an empty list.
        QVERIFY(putCatalogue(QJsonObject{
            {QStringLiteral("T5"), QJsonArray{entry("T5", "1.2.3", "a;b;", first),
                                              entry("T5", "1.10.0", "", md5Of("second")),
                                              entry("T5", "1.2.2", "only", md5Of("third"))}},
            {QStringLiteral("K3"), QJsonArray{entry("K3", "2.1.0", "fix", md5Of("k3"))}}}));

        const Result json = runTool(words("catalogue list --json"));
        QVERIFY2(json.status == 0, json.err.constData());
        const QJsonArray models = FwTool::jsonOf(json).value(QStringLiteral("models")).toArray();
        QStringList modelOrder;
        for (const QJsonValue &model : models)
            modelOrder.append(text(model, "model"));
        QCOMPARE(modelOrder, words("T5 M7 K3"));
        const QJsonArray t5 = models.at(0).toObject().value(QStringLiteral("entries")).toArray();
        QCOMPARE(versionsOf(t5), words("1.2.3 1.10.0 1.2.2"));
        QCOMPARE(text(t5.at(0), "checksum"), first);
        QCOMPARE(text(t5.at(0), "download"), QStringLiteral("T5_v1.2.3.bin"));
        QCOMPARE(text(t5.at(0), "datetime"), QStringLiteral("2024-05-01 10:00:00"));
        // "a;b;" is three lines, the last one empty.
        QCOMPARE(t5.at(0).toObject().value(QStringLiteral("changeLog")).toArray(),
                 (QJsonArray{QStringLiteral("a"), QStringLiteral("b"), QString()}));
        QVERIFY(models.at(1).toObject().value(QStringLiteral("entries")).toArray().isEmpty());
        QCOMPARE(versionsOf(models.at(2).toObject().value(QStringLiteral("entries")).toArray()),
                 words("2.1.0"));

        const Result k3Only = runTool(words("catalogue list --model k3 --json"));
        QCOMPARE(k3Only.status, 0);
        const QJsonArray onlyK3 = FwTool::jsonOf(k3Only).value(QStringLiteral("models")).toArray();
        QCOMPARE(onlyK3.size(), 1);
        QCOMPARE(text(onlyK3.at(0), "model"), QStringLiteral("K3"));

        const Result plain = runTool(words("catalogue list"));
        QCOMPARE(plain.status, 0);
        const QString out = QString::fromUtf8(plain.out);
        const QStringList inOrder{
            QStringLiteral("T5: 3 entries"),
            QStringLiteral("1.2.3  2024-05-01 10:00:00  %1  T5_v1.2.3.bin").arg(first),
            QStringLiteral("- a\n"),
            QStringLiteral("- b\n"),
            QStringLiteral("1.10.0"),
            QStringLiteral("1.2.2"),
            QStringLiteral("- only\n"),
            QStringLiteral("M7: 0 entries"),
            QStringLiteral("K3: 1 entry"),
            QStringLiteral("2.1.0"),
            QStringLiteral("- fix\n")};
        int position = 0;
        for (const QString &expected : inOrder) {
            const int found = out.indexOf(expected, position);
            QVERIFY2(found >= 0, qPrintable(expected + QStringLiteral(" in\n") + out));
            position = found + expected.size();
        }
    }

    void publishEditAndRemoveAnEntry()
    {
        const QJsonObject older = entry("T5", "1.3.0", "old", md5Of("o"));
        const QJsonObject k3 = entry("K3", "2.1.0", "k", md5Of("k"));
        QVERIFY(putCatalogue(QJsonObject{{QStringLiteral("T5"), QJsonArray{older}},
                                         {QStringLiteral("K3"), QJsonArray{k3}}}));
        const QByteArray firmware = QByteArray("T5 firmware 1.4.0\x00\xff", 19).repeated(500);
        const QString checksum = md5Of(firmware);
        const QString file = writeFile(QStringLiteral("build-output.bin"), firmware);

        // Publish: the file is stored on every profile, its entry goes first.
        server.resetRequests();
        const Result published = runTool(words("catalogue publish --model T5 --version 1.4.0 "
                                               "--info x;y --json --file") +
                                         QStringList{file});
        QVERIFY2(published.status == 0, published.err.constData());
        QCOMPARE(FwTool::jsonOf(published).value(QStringLiteral("ok")).toBool(), true);
        QCOMPARE(firmwareRequests(QStringLiteral("PUT"), QStringLiteral("T5_v1.4.0.bin")), 2);
        QCOMPARE(runTool(words("store get T5_v1.4.0.bin")).out, firmware);
        QJsonArray t5 = storedEntries(QStringLiteral("T5"));
        QCOMPARE(t5.size(), 2);
        QCOMPARE(text(t5.at(0), "version"), QStringLiteral("1.4.0"));
        QCOMPARE(text(t5.at(0), "checksum"), checksum);
        QCOMPARE(text(t5.at(0), "download"), QStringLiteral("T5_v1.4.0.bin"));
        QCOMPARE(text(t5.at(0), "info"), QStringLiteral("x;y"));
        QCOMPARE(t5.at(0).toObject().value(QStringLiteral("url")), QJsonValue(QString()));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                    .match(text(t5.at(0), "datetime"))
                    .hasMatch());
        QCOMPARE(t5.at(1).toObject(), older);
        QCOMPARE(storedEntries(QStringLiteral("K3")), QJsonArray{k3});

        // Edit: found by checksum whatever its case; without --info the
        // change log stays, and the stored file name follows the version.
        const Result edited =
            runTool(words("catalogue edit --model T5 --version 1.4.1 --checksum") +
                    QStringList{checksum.toUpper()});
        QVERIFY2(edited.status == 0, edited.err.constData());
        t5 = storedEntries(QStringLiteral("T5"));
        QCOMPARE(t5.size(), 2);
        QCOMPARE(text(t5.at(0), "version"), QStringLiteral("1.4.1"));
        QCOMPARE(text(t5.at(0), "download"), QStringLiteral("T5_v1.4.1.bin"));
        QCOMPARE(text(t5.at(0), "checksum"), checksum);
        QCOMPARE(text(t5.at(0), "info"), QStringLiteral("x;y"));
        const Result newInfo =
            runTool(words("catalogue edit --model T5 --version 1.4.1 --info z --checksum") +
                    QStringList{checksum});
        QVERIFY2(newInfo.status == 0, newInfo.err.constData());
        QCOMPARE(text(storedEntries(QStringLiteral("T5")).at(0), "info"), QStringLiteral("z"));

        // Another model's entries do not hold it: a failure, nothing written.
        server.resetRequests();
        const Result otherModel = runTool(
            words("catalogue edit --model M7 --version 1.4.2 --checksum") + QStringList{checksum});
        QCOMPARE(otherModel.status, 1);
        QVERIFY2(otherModel.err.contains("no entry"), otherModel.err.constData());
        QVERIFY(otherModel.out.isEmpty());
        QCOMPARE(firmwareRequests(QStringLiteral("PUT"), QStringLiteral("index.json")), 0);

        // Remove: the entry goes, the stored file stays.
        const Result removed =
            runTool(words("catalogue remove --model T5 --json --checksum") + QStringList{checksum});
        QVERIFY2(removed.status == 0, removed.err.constData());
        QCOMPARE(FwTool::jsonOf(removed).value(QStringLiteral("entries")).toArray().size(), 1);
        QCOMPARE(storedEntries(QStringLiteral("T5")), QJsonArray{older});
        QCOMPARE(runTool(words("store head T5_v1.4.0.bin")).status, 0);

        server.resetRequests();
        const Result again =
            runTool(words("catalogue remove --model T5 --checksum") + QStringList{checksum});
        QCOMPARE(again.status, 1);
        QVERIFY2(again.err.contains("no entry"), again.err.constData());
        QCOMPARE(firmwareRequests(QStringLiteral("PUT"), QStringLiteral("index.json")), 0);
    }

    void orderPutsOmittedEntriesFirst()
    {
        const QString a = md5Of("a");
        const QString c = md5Of("c");
        QVERIFY(putCatalogue(
            QJsonObject{{QStringLiteral("T5"), QJsonArray{entry("T5", "1.0.1", "", a),
                                                          entry("T5", "1.0.2", "", md5Of("b")),
                                                          entry("T5", "1.0.3", "", c)}},
                        {QStringLiteral("K3"), QJsonArray{entry("K3", "2.0.0", "", md5Of("d"))}}}));
        const Result ordered =
            runTool(words("catalogue order --json --checksums") + QStringList{c + ',' + a});
        QVERIFY2(ordered.status == 0, ordered.err.constData());
        QCOMPARE(versionsOf(storedEntries(QStringLiteral("T5"))), words("1.0.2 1.0.3 1.0.1"));
        QCOMPARE(versionsOf(storedEntries(QStringLiteral("K3"))), words("2.0.0"));
        const QJsonArray models = FwTool::jsonOf(ordered).value(QStringLiteral("models")).toArray();
        QCOMPARE(versionsOf(models.at(0).toObject().value(QStringLiteral("entries")).toArray()),
                 words("1.0.2 1.0.3 1.0.1"));
    }

    void aStoreThatFailsClaimsNothing()
    {
        const QJsonObject catalogue{
            {QStringLiteral("T5"), QJsonArray{entry("T5", "1.3.0", "", md5Of("o"))}}};
        QVERIFY(putCatalogue(catalogue));

        // Neither profile accepts the key: the catalogue cannot be read.
        const QString refusedBoth = configRefusing(QStringLiteral("refused-both.ini"), {0, 1});
        const Result list = runTool(words("catalogue list"), false, refusedBoth);
        QCOMPARE(list.status, 1);
        QVERIFY(list.out.isEmpty());
        QVERIFY2(list.err.contains("The network error!"), list.err.constData());
        QVERIFY2(list.err.contains("could not be read"), list.err.constData());

        // One profile refuses the firmware file: no entry is added.
        const QString refusedOne = configRefusing(QStringLiteral("refused-one.ini"), {1});
        const QString file =
            writeFile(QStringLiteral("T5_v1.5.0.bin"), QByteArray("firmware").repeated(100));
        const Result publish = runTool(
            words("catalogue publish --model T5 --version 1.5.0 --json --file") + QStringList{file},
            false, refusedOne);
        QCOMPARE(publish.status, 1);
        QCOMPARE(FwTool::jsonOf(publish).value(QStringLiteral("ok")).toBool(true), false);
        QVERIFY2(publish.err.contains("Upload firmware error!"), publish.err.constData());
        QVERIFY(!publish.err.contains(QByteArray(40, 'B')));
        QCOMPARE(storedCatalogue(), catalogue);
    }

    void updateFromTheCatalogue()
    {
        createAdapter(QStringLiteral("T5"), words("--state new-layout --version 5.6.0"));
        const QByteArray newest = FwTool::t5ApplicationImage(3000, 5);
        const QByteArray previous = FwTool::t5ApplicationImage(2500, 9);
        QVERIFY(putObject(QStringLiteral("T5_v5.6.2.bin"), newest));
        QVERIFY(putObject(QStringLiteral("T5_v5.6.1.bin"), previous));
        QVERIFY(putCatalogue(QJsonObject{
            {QStringLiteral("T5"), QJsonArray{entry("T5", "5.6.2", "new", md5Of(newest)),
                                              entry("T5", "5.6.1", "old", md5Of(previous))}}}));
        const QByteArray endMark = QByteArray::fromHex("55aa");

        // Entry 0 without a version; the package is downloaded and kept.
        server.resetRequests();
        const Result first = runTool(words("update --model T5 --catalogue --json"), true);
        QVERIFY2(first.status == 0, first.err.constData());
        QCOMPARE(FwTool::jsonOf(first).value(QStringLiteral("ok")).toBool(), true);
        QCOMPARE(FwTool::deviceOf(first).value(QStringLiteral("version")).toString(),
                 QStringLiteral("5.6.2"));
        QCOMPARE(flash().mid(newLayoutImageOffset, newest.size() + 2), newest + endMark);
        QCOMPARE(firmwareRequests(QStringLiteral("GET"), QStringLiteral("T5_v5.6.2.bin")), 1);
        QCOMPARE(cachedT5Packages(), words("5.6.2.rfw"));

        // A named version.
        const Result named = runTool(words("update --model T5 --catalogue 5.6.1"), true);
        QVERIFY2(named.status == 0, named.err.constData());
        QVERIFY(named.out.contains("update done: firmware 5.6.1"));
        QCOMPARE(flash().mid(newLayoutImageOffset, previous.size() + 2), previous + endMark);

        // The kept package is used again without fetching the file.
        server.resetRequests();
        const Result cached = runTool(words("update --model T5 --catalogue"), true);
        QVERIFY2(cached.status == 0, cached.err.constData());
        QCOMPARE(firmwareRequests(QStringLiteral("GET"), QStringLiteral("T5_v5.6.2.bin")), 0);
        QCOMPARE(flash().mid(newLayoutImageOffset, newest.size() + 2), newest + endMark);

        // A version the catalogue does not have: the ones it has are named.
        const QByteArray before = flash();
        const Result unknown = runTool(words("update --model T5 --catalogue 9.9.9"), true);
        QCOMPARE(unknown.status, 1);
        QVERIFY2(unknown.err.contains("5.6.2, 5.6.1"), unknown.err.constData());
        QCOMPARE(flash(), before);
    }

    void updateAnM7FromTheCatalogue()
    {
        // The M7 keeps its image at 0x08010000; the update counts only once
        // the adapter confirmed it.
        constexpr int m7ImageOffset = 0x10000;
        createAdapter(QStringLiteral("M7"), words("--state app"));
        const QByteArray image = TestPackage::patternImage(5000, 0x21);
        const QByteArray package = TestPackage::build({"Brivane_M7", 1, 9, 0, image});
        QVERIFY(putObject(QStringLiteral("M7_v1.9.0.bin"), package));
        QVERIFY(putCatalogue(QJsonObject{
            {QStringLiteral("M7"), QJsonArray{entry("M7", "1.9.0", "", md5Of(package))}}}));
        const Result update = runTool(words("update --model M7 --catalogue"), true);
        QVERIFY2(update.status == 0, update.err.constData());
        QVERIFY(update.out.contains("update done: firmware 1.9.0"));
        QCOMPARE(flash().mid(m7ImageOffset, image.size()), image);
    }

    void aDamagedPackageIsNeverWritten()
    {
        createAdapter(QStringLiteral("T5"), words("--state new-layout --version 5.6.0"));
        const QByteArray published = FwTool::t5ApplicationImage(3000, 11);
        QByteArray damaged = published;
        damaged[1500] = char(damaged.at(1500) ^ 0x01);
        QVERIFY(putObject(QStringLiteral("T5_v5.6.3.bin"), damaged));
        QVERIFY(putCatalogue(QJsonObject{
            {QStringLiteral("T5"), QJsonArray{entry("T5", "5.6.3", "", md5Of(published))}}}));
        const QByteArray before = flash();
        const Result update = runTool(words("update --model T5 --catalogue --json"), true);
        QCOMPARE(update.status, 1);
        QCOMPARE(FwTool::jsonOf(update).value(QStringLiteral("ok")).toBool(true), false);
        QVERIFY2(update.err.contains("The downloaded firmware is damaged!"),
                 update.err.constData());
        QCOMPARE(flash(), before);
        QVERIFY(!cachedT5Packages().contains(QStringLiteral("5.6.3.rfw")));
    }
};

QTEST_MAIN(CliCatalogueTest)
#include "test_cli_catalogue.moc"
