#include "catalogue.h"

#include <QJsonDocument>
#include <QTest>

// The catalogue document: what readers accept, what publishing writes.
class CatalogueTest : public QObject
{
    Q_OBJECT
private:
    static QJsonObject entry(const QString &version, const QString &checksum,
                             const QString &info = QString())
    {
        return QJsonObject{{"version", version},   {"url", ""},
                           {"info", info},         {"datetime", "2026-01-02 03:04:05"},
                           {"checksum", checksum}, {"download", "T5_v" + version + ".bin"}};
    }
    static QStringList checksumsOf(const QJsonObject &catalogue, const QString &model)
    {
        QStringList checksums;
        for (const QJsonValue &value : catalogue.value(model).toArray())
            checksums.append(value.toObject().value("checksum").toString());
        return checksums;
    }

private slots:
    void versionInFileName_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("version");
        QTest::newRow("underscore v") << "fw_v1.2.3.bin"
                                      << "1.2.3";
        QTest::newRow("two parts inside a name") << "boot-2.10-final.bin"
                                                 << "2.10";
        QTest::newRow("four parts") << "T5_v5.5.0.12.bin"
                                    << "5.5.0.12";
        QTest::newRow("first of two") << "1.2-to-3.4.bin"
                                      << "1.2";
        QTest::newRow("no dot between digits") << "firmware123.bin"
                                               << "";
        QTest::newRow("no digits") << "firmware.bin"
                                   << "";
    }
    void versionInFileName()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, version);
        QCOMPARE(Catalogue::versionInFileName(fileName), version);
    }

    void wholeVersionsOnly_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isVersion");
        QTest::newRow("three parts") << "1.2.3" << true;
        QTest::newRow("two parts") << "10.0" << true;
        QTest::newRow("one part") << "7" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("parent folders") << "../../x" << false;
        QTest::newRow("version then folder") << "1.2.3/../../x" << false;
        QTest::newRow("trailing dot") << "1.2." << false;
        QTest::newRow("letters") << "1.2.3a" << false;
        QTest::newRow("line break") << "1.2.3\n" << false;
    }
    void wholeVersionsOnly()
    {
        QFETCH(QString, text);
        QFETCH(bool, isVersion);
        QCOMPARE(Catalogue::isVersion(text), isVersion);
    }

    void objectNamesStayInTheStoreFolder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("plain");
        QTest::newRow("published name") << "T5_v1.2.3.bin" << true;
        QTest::newRow("parent") << "../index.json" << false;
        QTest::newRow("sub folder") << "a/b.bin" << false;
        QTest::newRow("backslash") << "a\\b.bin" << false;
        QTest::newRow("dots inside") << "T5_v1..2.bin" << false;
        QTest::newRow("control character") << QString("T5\x01.bin") << false;
        QTest::newRow("empty") << "" << false;
    }
    void objectNamesStayInTheStoreFolder()
    {
        QFETCH(QString, name);
        QFETCH(bool, plain);
        QCOMPARE(Catalogue::isPlainObjectName(name), plain);
    }

    void changeLogKeepsEmptyItems()
    {
        QCOMPARE(Catalogue::changeLogText("a;b;"), QString("a\nb\n"));
        QCOMPARE(Catalogue::changeLogText("one"), QString("one"));
        QCOMPARE(Catalogue::changeLogText(";"), QString("\n"));
        QCOMPARE(Catalogue::changeLogText(""), QString(""));
    }

    void documentsThatAreNoObjectReadAsEmpty()
    {
        bool readable = true;
        QVERIFY(Catalogue::parse("[1,2]", &readable).isEmpty());
        QVERIFY(!readable);
        QVERIFY(Catalogue::parse("<Error/>", &readable).isEmpty());
        QVERIFY(!readable);
        QVERIFY(Catalogue::parse("", &readable).isEmpty());
        QVERIFY(!readable);
        QCOMPARE(Catalogue::parse(R"({"T5":[]})", &readable).keys(), QStringList{"T5"});
        QVERIFY(readable);
    }

    void writtenCompactly()
    {
        const QByteArray written = Catalogue::serialize(
            Catalogue::withEntryInFront(QJsonObject(), "T5", entry("1.2.3", "ab")));
        QVERIFY(!written.contains(": "));
        QVERIFY(!written.contains(", "));
        QVERIFY(!written.contains('\n'));
        QCOMPARE(Catalogue::parse(written).value("T5").toArray().size(), 1);
    }

    void entriesOfUnexpectedTypesAreSkipped()
    {
        const QJsonObject catalogue = Catalogue::parse(R"({
            "T5": [ {"version":"1.0.0","checksum":"aa","info":"x","download":"T5_v1.0.0.bin"},
                    "a text",
                    7,
                    {"version":1.5,"checksum":"bb"},
                    {"version":"2.0.0","checksum":["cc"]},
                    {"version":"3.0.0","checksum":"dd","info":"","download":"T5_v3.0.0.bin"} ],
            "M7": {"version":"1.0.0"},
            "K3": "nothing" })");
        const QJsonArray t5 = Catalogue::usableEntries(catalogue, "T5");
        QCOMPARE(t5.size(), 2);
        QCOMPARE(t5.at(0).toObject().value("checksum").toString(), QString("aa"));
        QCOMPARE(t5.at(1).toObject().value("checksum").toString(), QString("dd"));
        QVERIFY(Catalogue::usableEntries(catalogue, "M7").isEmpty());
        QVERIFY(Catalogue::usableEntries(catalogue, "K3").isEmpty());
        QVERIFY(Catalogue::usableEntries(catalogue, "absent").isEmpty());
    }

    void newEntriesGoFirstWithTheirObjectName()
    {
        QJsonObject catalogue{{"T5", QJsonArray{entry("1.0.0", "old")}}};
        const QJsonObject added = Catalogue::newEntry(
            "M7", "2.0.1", "fix;new", "2026-12-09 10:11:12", "0123456789abcdef0123456789abcdef");
        QCOMPARE(added.value("download").toString(), QString("M7_v2.0.1.bin"));
        QCOMPARE(added.value("url").toString(), QString(""));
        QCOMPARE(added.keys(),
                 (QStringList{"checksum", "datetime", "download", "info", "url", "version"}));
        catalogue = Catalogue::withEntryInFront(catalogue, "T5", entry("1.1.0", "new"));
        QCOMPARE(checksumsOf(catalogue, "T5"), (QStringList{"new", "old"}));
    }

    // Publishers' machines may run a locale with other digits: the default
    // locale set here, and the system locale when CTest runs this case again
    // under LC_ALL=ar_EG.UTF-8 (tst_catalogue_arabic_locale).
    void timestampsUseAsciiDigits()
    {
        if (qEnvironmentVariable("LC_ALL").startsWith(QLatin1String("ar_")))
            QVERIFY(QLocale::system().zeroDigit() != QLatin1Char('0'));
        QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
        const QString now = Catalogue::timestampNow();
        QLocale::setDefault(QLocale::c());
        QVERIFY2(
            QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$").match(now).hasMatch(),
            qPrintable(now));
        for (const QChar character : now)
            QVERIFY(character.unicode() < 128);
    }

    void theCommandLineFindsAnEntryAsEditAndRemoveDo()
    {
        QJsonObject unusable = entry("1.1.0", "aaaa");
        unusable.insert("version", 110); // a member that is not text
        const QJsonArray entries{unusable, entry("1.0.0", "AAAA"), entry("0.9.0", "aaaa")};
        QCOMPARE(Catalogue::indexOfChecksum(entries, "aaaa"), 1);
        QCOMPARE(Catalogue::indexOfChecksum(entries, "AaAa"), 1);
        QCOMPARE(Catalogue::indexOfChecksum(entries, "bbbb"), -1);
        QCOMPARE(Catalogue::indexOfChecksum(QJsonArray{}, "aaaa"), -1);
    }

    void editAndRemoveFindTheChecksumIgnoringCase()
    {
        const QJsonObject catalogue{
            {"T5", QJsonArray{entry("1.0.0", "aaaa", "one"), entry("0.9.0", "bbbb", "two")}},
            {"M7", QJsonArray{entry("1.0.0", "cccc")}}};
        bool matched = false;
        const QJsonObject edited = Catalogue::withEntryEdited(
            catalogue, "T5", "BBBB", "0.9.1", "fixed", "2026-12-09 00:00:00", &matched);
        QVERIFY(matched);
        const QJsonObject changed = edited.value("T5").toArray().at(1).toObject();
        QCOMPARE(changed.value("version").toString(), QString("0.9.1"));
        QCOMPARE(changed.value("download").toString(), QString("T5_v0.9.1.bin"));
        QCOMPARE(changed.value("info").toString(), QString("fixed"));
        QCOMPARE(changed.value("checksum").toString(), QString("bbbb"));
        QCOMPARE(edited.value("T5").toArray().at(0), catalogue.value("T5").toArray().at(0));

        // Another model's list holds no such entry: nothing changes.
        const QJsonObject elsewhere = Catalogue::withEntryEdited(
            catalogue, "M7", "bbbb", "0.9.1", "fixed", "2026-12-09 00:00:00", &matched);
        QVERIFY(!matched);
        QCOMPARE(elsewhere, catalogue);

        const QJsonObject removed = Catalogue::withEntryRemoved(catalogue, "T5", "AAAA", &matched);
        QVERIFY(matched);
        QCOMPARE(checksumsOf(removed, "T5"), QStringList{"bbbb"});
        QCOMPARE(removed.value("M7"), catalogue.value("M7"));
    }

    void reorderingPutsUnlistedEntriesFirst()
    {
        const QJsonObject catalogue{
            {"T5", QJsonArray{entry("1", "a"), entry("2", "b"), entry("3", "c"), entry("4", "d")}},
            {"K3", QJsonArray{entry("1", "k1"), entry("2", "k2")}}};
        const QJsonObject sorted =
            Catalogue::reordered(catalogue, {"T5", "M7", "K3"}, {"k2", "k1", "d", "b"});
        QCOMPARE(checksumsOf(sorted, "T5"), (QStringList{"a", "c", "d", "b"}));
        QCOMPARE(checksumsOf(sorted, "K3"), (QStringList{"k2", "k1"}));
        // An absent model is written as an empty list.
        QVERIFY(sorted.value("M7").isArray());
        QVERIFY(sorted.value("M7").toArray().isEmpty());
        // Checksums compare exactly here.
        QCOMPARE(checksumsOf(Catalogue::reordered(catalogue, {"T5"}, {"D", "c"}), "T5"),
                 (QStringList{"a", "b", "d", "c"}));
    }
};

QTEST_GUILESS_MAIN(CatalogueTest)
#include "tst_catalogue.moc"
