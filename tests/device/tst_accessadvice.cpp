// What the programs tell a user whose adapter is plugged in but may not be
// opened: the package to install when no udev rule is there, the rule and the
// reload when it is there but does not serve this session.

#include "accessadvice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class AccessAdviceTest : public QObject
{
    Q_OBJECT
private slots:
    void theFirstFolderHoldingTheRuleIsNamed()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QStringList folders = {root.filePath(QStringLiteral("etc")),
                                     root.filePath(QStringLiteral("local")),
                                     root.filePath(QStringLiteral("lib"))};
        for (const QString &folder : folders)
            QVERIFY(QDir().mkpath(folder));
        QCOMPARE(AccessAdvice::installedUdevRule(folders), QString());

        // A folder that only carries the rule's name is no rule.
        QVERIFY(QDir(folders[0]).mkdir(QLatin1String("70-brivane-firmware-tool.rules")));
        QCOMPARE(AccessAdvice::installedUdevRule(folders), QString());

        const auto placeRule = [](const QString &folder) {
            QFile rule(QDir(folder).filePath(QStringLiteral("70-brivane-firmware-tool.rules")));
            return rule.open(QIODevice::WriteOnly) && rule.write("# rule\n") > 0;
        };
        QVERIFY(placeRule(folders[2]));
        QCOMPARE(AccessAdvice::installedUdevRule(folders),
                 folders[2] + QStringLiteral("/70-brivane-firmware-tool.rules"));
        QVERIFY(placeRule(folders[1]));
        QCOMPARE(AccessAdvice::installedUdevRule(folders),
                 folders[1] + QStringLiteral("/70-brivane-firmware-tool.rules"));
    }

    // The folder the build installs the rule into is one udev reads, and so
    // one the advice looks in.
    void theInstalledRuleIsLookedForWhereTheBuildPutsIt()
    {
        const QString configured = QStringLiteral(BRIVANE_UDEV_RULE_PATH);
        QCOMPARE(QFileInfo(configured).fileName(), QLatin1String(AccessAdvice::udevRuleFileName));
        QVERIFY2(AccessAdvice::udevRuleFolders().contains(QFileInfo(configured).path()),
                 qPrintable(configured));
        for (const char *folder : {"/etc/udev/rules.d", "/usr/lib/udev/rules.d",
                                   "/usr/local/lib/udev/rules.d", "/lib/udev/rules.d"})
            QVERIFY2(AccessAdvice::udevRuleFolders().contains(QLatin1String(folder)), folder);
    }

    void theCommandLineNamesWhatToDo_data()
    {
        QTest::addColumn<QString>("installedRule");
        QTest::addColumn<QStringList>("wanted");
        QTest::addColumn<QStringList>("unwanted");
        QTest::newRow("no rule") << QString()
                                 << QStringList{"the K3 adapter at /dev/hidraw7", "no permission",
                                                "package brivane-firmware-tool",
                                                "70-brivane-firmware-tool.rules",
                                                "plug the adapter in again"}
                                 << QStringList{"udevadm"};
        QTest::newRow("rule installed")
            << QStringLiteral("/usr/lib/udev/rules.d/70-brivane-firmware-tool.rules")
            << QStringList{"the K3 adapter at /dev/hidraw7", "no permission",
                           "/usr/lib/udev/rules.d/70-brivane-firmware-tool.rules is installed",
                           "sudo udevadm control --reload-rules", "plug the adapter in again"}
            << QStringList{"Install the package"};
    }

    void theCommandLineNamesWhatToDo()
    {
        QFETCH(QString, installedRule);
        QFETCH(QStringList, wanted);
        QFETCH(QStringList, unwanted);
        const QString text = AccessAdvice::commandLineText(
            QStringLiteral("K3"), QStringLiteral("/dev/hidraw7"), installedRule);
        for (const QString &part : wanted)
            QVERIFY2(text.contains(part), qPrintable(part + QStringLiteral(" in: ") + text));
        for (const QString &part : unwanted)
            QVERIFY2(!text.contains(part), qPrintable(part + QStringLiteral(" in: ") + text));
    }
};

QTEST_GUILESS_MAIN(AccessAdviceTest)

#include "tst_accessadvice.moc"
