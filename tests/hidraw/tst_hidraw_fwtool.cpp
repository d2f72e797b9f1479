#include "fwtoolrunner.h"
#include "hidrawtestbed.h"
#include "testpackage.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

// The shipped brivane-fwtool, built as released, against emulated adapters
// that exist only as /dev/hidraw nodes with their sysfs tree: no
// BRIVANE_EMULATOR, the system's hidapi (hidraw) and libudev do the work.
// Expected values come from the adapter folders the test creates.
class HidrawFwToolTest : public QObject
{
    Q_OBJECT

    static constexpr quint16 vendorId = 0x0E3A;
    static constexpr int configOffset = 0x4000;
    static constexpr int configBytes = 0x4000;
    static constexpr int bootModeOffset = configOffset + 0x82;
    // Version, image location and length and the valid mark: what an
    // update or a restore rewrites for the firmware installed.
    static constexpr int firmwareDescriptionEnd = configOffset + 0x42;
    static constexpr int dataBlocksOffset = 0x8000;
    static constexpr int dataBlocksEnd = 0x40000;
    static constexpr int newLayoutImageOffset = 0x40000;
    static constexpr int backupFileBytes = 246800;
    static constexpr int k3InformationOffset = 0x4100;
    static constexpr int k3ImageOffset = 0x5000;
    static constexpr int openRetryDelayMs = 1000;

    QTemporaryDir work;
    HidrawTestbed testbed;

    QString folderOf(const QString &name) const
    {
        return work.filePath(QStringLiteral("adapters/") + name);
    }

    using Result = FwTool::Result;

    Result run(const QStringList &arguments, const QStringList &prefix = {},
               const QString &workingDirectory = QString())
    {
        QProcessEnvironment environment = testbed.clientEnvironment();
        environment.insert(QStringLiteral("BRIVANE_SETTINGS_COPY_DIR"),
                           work.filePath(QStringLiteral("settings-copies")));
        return FwTool::runWithEnvironment(
            environment, arguments, workingDirectory.isEmpty() ? work.path() : workingDirectory,
            prefix);
    }

    // An adapter folder made by the tool's own "emulate create" (no testbed
    // needed for that).
    void createAdapter(const QString &name, const QString &model, const QStringList &options)
    {
        QDir(folderOf(name)).removeRecursively();
        const Result created = FwTool::run(
            QStringList{QStringLiteral("emulate"), QStringLiteral("create"),
                        QStringLiteral("--model"), model, QStringLiteral("--out"), folderOf(name)} +
            options);
        QVERIFY2(created.status == 0, created.err.constData());
    }

    void startTestbed()
    {
        QString error;
        QVERIFY2(testbed.start(work.filePath(QStringLiteral("adapters")), &error),
                 qPrintable(error));
    }

    void stopTestbed() { QVERIFY2(testbed.stop(), testbed.diagnostics().constData()); }

    // The nodes the server made for one adapter.
    QStringList nodesOf(const QString &name)
    {
        const QString answer = testbed.command(QStringLiteral("nodes"));
        const QStringList words = answer.split(QLatin1Char(' '));
        for (const QString &word : words) {
            if (word.startsWith(name + QLatin1Char('=')))
                return word.mid(name.size() + 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
        }
        return {};
    }

    // flash.bin as the server holds it now.
    QByteArray flash(const QString &name)
    {
        if (testbed.isRunning())
            [&]() {
                QCOMPARE(testbed.command(QStringLiteral("flush")), QStringLiteral("ok flush"));
            }();
        return FwTool::readAll(folderOf(name) + QStringLiteral("/flash.bin"));
    }

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = work.filePath(name);
        return FwTool::writeAll(path, bytes) ? path : QString();
    }

    QString writeImage(const QString &name, int length, int seed)
    {
        return writeFile(name, FwTool::t5ApplicationImage(length, seed));
    }

    // Configuration sections of the settings copies saved for an adapter.
    QList<QByteArray> savedConfigurations(const QString &serial)
    {
        QList<QByteArray> sections;
        QDirIterator files(work.filePath(QStringLiteral("settings-copies/T5-") + serial),
                           {QStringLiteral("*.json")}, QDir::Files);
        while (files.hasNext()) {
            QFile file(files.next());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QJsonArray list = QJsonDocument::fromJson(file.readAll())
                                        .object()
                                        .value(QStringLiteral("sections"))
                                        .toArray();
            for (const QJsonValue &value : list) {
                const QJsonObject section = value.toObject();
                if (section.value(QStringLiteral("address")).toString() ==
                    QLatin1String("0x08004000"))
                    sections << QByteArray::fromBase64(
                        section.value(QStringLiteral("data")).toString().toLatin1());
            }
        }
        return sections;
    }

private slots:
    void initTestCase()
    {
        const QString reason = HidrawTestbed::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        QVERIFY(work.isValid());
    }

    void cleanup()
    {
        if (testbed.isRunning())
            stopTestbed();
        QDir(work.filePath(QStringLiteral("adapters"))).removeRecursively();
        QDir(work.filePath(QStringLiteral("settings-copies"))).removeRecursively();
    }

    void devicesListsEveryInterface();
    void t5InfoUpdateBackupAndRestore();
    void k3SwitchesToItsBootLoaderAndIsUpdated();
    void lateNodeIsOpenedByTheRetry();
    void unplugDuringUpdateLosesNothing();
    void nodeWithoutPermissionIsNamed_data();
    void nodeWithoutPermissionIsNamed();
};

void HidrawFwToolTest::devicesListsEveryInterface()
{
    createAdapter(QStringLiteral("t5"), QStringLiteral("T5"),
                  {QStringLiteral("--state"), QStringLiteral("new-layout")});
    createAdapter(QStringLiteral("k3"), QStringLiteral("K3"),
                  {QStringLiteral("--state"), QStringLiteral("app")});
    QVERIFY(HidrawTest::writeAdapterConfiguration(
        folderOf(QStringLiteral("pad")),
        {{QStringLiteral("model"), QStringLiteral("composite")},
         {QStringLiteral("productId"), QStringLiteral("0x0e41")}}));
    startTestbed();

    const Result listed = run({QStringLiteral("devices"), QStringLiteral("--json")});
    QVERIFY2(listed.status == 0, listed.err.constData());
    QMultiMap<int, QJsonObject> byProduct;
    const QJsonArray entries = QJsonDocument::fromJson(listed.out).array();
    for (const QJsonValue &entry : entries)
        byProduct.insert(entry.toObject().value(QStringLiteral("productId")).toInt(),
                         entry.toObject());

    // Every USB function sits on an interface: the T5, which has one,
    // is listed with interface 0; the K3 application and the composite
    // adapter with 0 and 1, each on a node of its own.
    const QList<QPair<int, QList<int>>> expected{{0xB373, {0}}, {0xB274, {0, 1}}, {0x0E41, {0, 1}}};
    QCOMPARE(entries.size(), 5);
    QSet<QString> paths;
    for (const auto &[productId, interfaces] : expected) {
        QList<int> seen;
        for (const QJsonObject &entry : byProduct.values(productId)) {
            QCOMPARE(entry.value(QStringLiteral("vendorId")).toInt(), int(vendorId));
            seen << entry.value(QStringLiteral("interface")).toInt();
            const QString path = entry.value(QStringLiteral("path")).toString();
            QVERIFY2(QRegularExpression(QStringLiteral("^/dev/hidraw\\d+$")).match(path).hasMatch(),
                     qPrintable(path));
            paths.insert(path);
        }
        std::sort(seen.begin(), seen.end());
        QCOMPARE(seen, interfaces);
    }
    QSet<QString> served;
    for (const QString &name : {QStringLiteral("t5"), QStringLiteral("k3"), QStringLiteral("pad")})
        for (const QString &node : nodesOf(name))
            served.insert(node);
    QCOMPARE(paths, served);

    // The text form names the same.
    const Result text = run({QStringLiteral("devices")});
    QCOMPARE(text.status, 0);
    QVERIFY2(text.out.contains("0e3a:b373 interface 0 /dev/hidraw"), text.out.constData());
}

void HidrawFwToolTest::t5InfoUpdateBackupAndRestore()
{
    const QString serial = QStringLiteral("00112233445566778899aabb");
    const QStringList saved{QStringLiteral("--state"),     QStringLiteral("new-layout"),
                            QStringLiteral("--version"),   QStringLiteral("5.6.0"),
                            QStringLiteral("--serial"),    serial,
                            QStringLiteral("--boot-mode"), QStringLiteral("2"),
                            QStringLiteral("--records"),   QStringLiteral("3")};
    createAdapter(QStringLiteral("t5"), QStringLiteral("T5"), saved);
    const QByteArray created = flash(QStringLiteral("t5"));
    startTestbed();

    // Step 1: the state as created.
    const Result info = run({QStringLiteral("info"), QStringLiteral("--json")});
    QVERIFY2(info.status == 0, info.err.constData());
    QCOMPARE(FwTool::deviceOf(info).value(QStringLiteral("serialNumber")).toString(), serial);
    QCOMPARE(FwTool::deviceOf(info).value(QStringLiteral("version")).toString(),
             QStringLiteral("5.6.0"));
    QCOMPARE(FwTool::deviceOf(info).value(QStringLiteral("bootMode")).toInt(), 2);

    // Step 2: an update puts the image and its end mark at the new-layout base.
    const QString image = writeImage(QStringLiteral("firmware.bin"), 70000, 3);
    const Result update = run({QStringLiteral("update"), QStringLiteral("--file"), image,
                               QStringLiteral("--version"), QStringLiteral("5.6.1")});
    QVERIFY2(update.status == 0, update.err.constData());
    QFile imageFile(image);
    QVERIFY(imageFile.open(QIODevice::ReadOnly));
    const QByteArray updated = flash(QStringLiteral("t5"));
    QCOMPARE(updated.mid(newLayoutImageOffset, 70002),
             imageFile.readAll() + QByteArray::fromHex("55aa"));
    QCOMPARE(updated.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset),
             created.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset));
    const Result after = run({QStringLiteral("info"), QStringLiteral("--json")});
    QCOMPARE(FwTool::deviceOf(after).value(QStringLiteral("version")).toString(),
             QStringLiteral("5.6.1"));

    // Step 3: a backup of the user data, bound to this adapter.
    const QString backup = work.filePath(QStringLiteral("user.bkp"));
    const Result saving = run({QStringLiteral("backup"), QStringLiteral("--out"), backup});
    QVERIFY2(saving.status == 0, saving.err.constData());
    QCOMPARE(QFileInfo(backup).size(), qint64(backupFileBytes));
    const QByteArray backedUp = flash(QStringLiteral("t5"));
    stopTestbed();

    // Step 4: the same adapter with other settings and one macro record
    // gets the saved data back: settings, data blocks and macro block as
    // saved, the description of the firmware it runs as it was.
    createAdapter(QStringLiteral("t5"), QStringLiteral("T5"),
                  {QStringLiteral("--state"), QStringLiteral("new-layout"),
                   QStringLiteral("--version"), QStringLiteral("5.6.1"), QStringLiteral("--serial"),
                   serial, QStringLiteral("--boot-mode"), QStringLiteral("0"),
                   QStringLiteral("--records"), QStringLiteral("1")});
    const QByteArray other = flash(QStringLiteral("t5"));
    QVERIFY(other.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset) !=
            backedUp.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset));
    startTestbed();
    const Result restored = run({QStringLiteral("restore-data"), QStringLiteral("--in"), backup});
    QVERIFY2(restored.status == 0, restored.err.constData());
    const QByteArray result = flash(QStringLiteral("t5"));
    QCOMPARE(int(result.at(bootModeOffset)), 2);
    QCOMPARE(
        result.mid(firmwareDescriptionEnd, configOffset + configBytes - firmwareDescriptionEnd),
        backedUp.mid(firmwareDescriptionEnd, configOffset + configBytes - firmwareDescriptionEnd));
    QCOMPARE(result.mid(configOffset + 1, firmwareDescriptionEnd - configOffset - 1),
             other.mid(configOffset + 1, firmwareDescriptionEnd - configOffset - 1));
    QCOMPARE(result.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset),
             backedUp.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset));
    QCOMPARE(result.mid(newLayoutImageOffset), other.mid(newLayoutImageOffset));
}

void HidrawFwToolTest::k3SwitchesToItsBootLoaderAndIsUpdated()
{
    createAdapter(QStringLiteral("k3"), QStringLiteral("K3"),
                  {QStringLiteral("--state"), QStringLiteral("app"), QStringLiteral("--version"),
                   QStringLiteral("2.1.0")});
    startTestbed();
    const QStringList applicationNodes = nodesOf(QStringLiteral("k3"));
    QCOMPARE(applicationNodes.size(), 2);

    const QByteArray image = TestPackage::patternImage(9000, 0x31);
    const QString package =
        writeFile(QStringLiteral("k3.rfw"), TestPackage::build({"Brivane_K3", 2, 3, 4, image}));
    const Result update =
        run({QStringLiteral("update"), QStringLiteral("--model"), QStringLiteral("K3"),
             QStringLiteral("--file"), package, QStringLiteral("-v")});
    QVERIFY2(update.status == 0, update.err.constData());
    QVERIFY2(update.out.contains("firmware 2.3.4"), update.out.constData());

    // The application's command interface was opened, then the boot
    // loader's node, which is new: the adapter left and came back as 0xB275.
    const QStringList bootNodes = nodesOf(QStringLiteral("k3"));
    QCOMPARE(bootNodes.size(), 1);
    QVERIFY(!applicationNodes.contains(bootNodes.first()));
    QStringList opened;
    const QRegularExpression openLine(QStringLiteral("hid_open: (\\S+)"));
    for (auto match = openLine.globalMatch(QString::fromLocal8Bit(update.err)); match.hasNext();)
        opened << match.next().captured(1);
    QVERIFY2(opened.size() >= 2, update.err.constData());
    QVERIFY2(applicationNodes.contains(opened.first()), qPrintable(opened.join(' ')));
    QCOMPARE(opened.last(), bootNodes.first());

    const QByteArray result = flash(QStringLiteral("k3"));
    QCOMPARE(result.mid(k3InformationOffset, 256),
             TestPackage::informationBlock(0x08005000, 2, 3, 4, image));
    QCOMPARE(result.mid(k3ImageOffset, image.size()), image);
}

void HidrawFwToolTest::lateNodeIsOpenedByTheRetry()
{
    createAdapter(QStringLiteral("t5"), QStringLiteral("T5"),
                  {QStringLiteral("--state"), QStringLiteral("new-layout")});
    QVERIFY(HidrawTest::changeAdapterConfiguration(folderOf(QStringLiteral("t5")),
                                                   QStringLiteral("appearAfterMs"), 900));
    startTestbed();
    // The node appears 0.9 s after the server started, after the first
    // attempt has failed and before the retry a second later, whatever the
    // program's own start takes.
    const Result info = run({QStringLiteral("info"), QStringLiteral("-v")});
    QVERIFY2(info.status == 0, info.err.constData());
    QVERIFY(info.err.contains("BridgeUSB open try onec more... e3a b373"));
    QVERIFY(info.elapsedMs >= openRetryDelayMs);
    QCOMPARE(nodesOf(QStringLiteral("t5")).size(), 1);
}

void HidrawFwToolTest::unplugDuringUpdateLosesNothing()
{
    const QString serial = QStringLiteral("a1a2a3a4a5a6a7a8a9aaabac");
    createAdapter(QStringLiteral("t5"), QStringLiteral("T5"),
                  {QStringLiteral("--state"), QStringLiteral("new-layout"),
                   QStringLiteral("--version"), QStringLiteral("5.6.0"), QStringLiteral("--serial"),
                   serial, QStringLiteral("--boot-mode"), QStringLiteral("3"),
                   QStringLiteral("--records"), QStringLiteral("2")});
    const QByteArray created = flash(QStringLiteral("t5"));
    // Reading the adapter takes about 330 requests and a 70,000-byte image
    // over a thousand more: request 900 falls into the write of the image.
    QVERIFY(HidrawTest::changeAdapterConfiguration(
        folderOf(QStringLiteral("t5")), QStringLiteral("faults"),
        QJsonObject{{QStringLiteral("unplugAtReport"), 900},
                    {QStringLiteral("replugAfterMs"), 300}}));
    startTestbed();
    const QStringList before = nodesOf(QStringLiteral("t5"));

    const QString imagePath = writeImage(QStringLiteral("firmware.bin"), 70000, 5);
    const Result cut = run({QStringLiteral("update"), QStringLiteral("--file"), imagePath,
                            QStringLiteral("--version"), QStringLiteral("5.6.1")});
    QCOMPARE(cut.status, 1);
    QVERIFY2(cut.err.contains("error: Write to flash error!"), cut.err.constData());
    QVERIFY2(cut.err.trimmed().endsWith("update failed"), cut.err.constData());
    // The settings the erase took were saved first.
    const QList<QByteArray> copies = savedConfigurations(serial);
    QCOMPARE(copies.size(), 1);
    QCOMPARE(copies.first(), created.mid(configOffset, configBytes));
    // Nothing beyond the image's sectors was touched.
    QByteArray afterCut = flash(QStringLiteral("t5"));
    QCOMPARE(afterCut.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset),
             created.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset));

    // Back on the bus under a new node, the same update succeeds and the
    // settings are the adapter's own.
    QTRY_VERIFY_WITH_TIMEOUT(nodesOf(QStringLiteral("t5")).size() == 1, 5000);
    QVERIFY(!before.contains(nodesOf(QStringLiteral("t5")).first()));
    const Result repeated = run({QStringLiteral("update"), QStringLiteral("--file"), imagePath,
                                 QStringLiteral("--version"), QStringLiteral("5.6.1")});
    QVERIFY2(repeated.status == 0, repeated.err.constData());
    QFile imageFile(imagePath);
    QVERIFY(imageFile.open(QIODevice::ReadOnly));
    const QByteArray result = flash(QStringLiteral("t5"));
    QCOMPARE(result.mid(newLayoutImageOffset, 70002),
             imageFile.readAll() + QByteArray::fromHex("55aa"));
    QCOMPARE(int(result.at(bootModeOffset)), 3);
    QCOMPARE(
        result.mid(firmwareDescriptionEnd, configOffset + configBytes - firmwareDescriptionEnd),
        created.mid(firmwareDescriptionEnd, configOffset + configBytes - firmwareDescriptionEnd));
    QCOMPARE(result.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset),
             created.mid(dataBlocksOffset, dataBlocksEnd - dataBlocksOffset));
}

void HidrawFwToolTest::nodeWithoutPermissionIsNamed_data()
{
    QTest::addColumn<bool>("byFault");
    QTest::newRow("access taken by the server") << false;
    QTest::newRow("openDenied fault of the adapter folder") << true;
}

void HidrawFwToolTest::nodeWithoutPermissionIsNamed()
{
    QFETCH(bool, byFault);
    QStringList prefix;
    if (geteuid() == 0) {
        // Root opens any node: the program runs as an ordinary user.
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            QSKIP("running as root without setpriv: no user to be refused");
        prefix = QStringList{setpriv, QStringLiteral("--reuid=65534"),
                             QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
    }
    createAdapter(QStringLiteral("t5"), QStringLiteral("T5"),
                  {QStringLiteral("--state"), QStringLiteral("new-layout")});
    if (byFault)
        QVERIFY(HidrawTest::changeAdapterConfiguration(
            folderOf(QStringLiteral("t5")), QStringLiteral("faults"),
            QJsonObject{{QStringLiteral("openDenied"), true}}));
    startTestbed();
    const QStringList nodes = nodesOf(QStringLiteral("t5"));
    QCOMPARE(nodes.size(), 1);
    if (!byFault)
        QCOMPARE(testbed.command(QStringLiteral("deny t5")),
                 QStringLiteral("ok deny t5 ") + nodes.first());

    // Folders closed to other users (a build under /root) leave nobody to
    // be refused.
    if (!prefix.isEmpty()) {
        for (const QStringList &check :
             {QStringList{QStringLiteral("-x"), QStringLiteral(BRIVANE_FWTOOL_PATH)},
              QStringList{QStringLiteral("-r"), testbed.root() + QStringLiteral("/sys/bus")}}) {
            if (QProcess::execute(prefix.first(),
                                  prefix.mid(1) + QStringList{QStringLiteral("test")} + check) != 0)
                QSKIP(qPrintable(QStringLiteral("user 65534 cannot reach %1").arg(check.last())));
        }
    }
    QTemporaryDir userFolder;
    QVERIFY(QFile::setPermissions(userFolder.path(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                      QFileDevice::WriteOther | QFileDevice::ExeOther));
    const Result denied = run({QStringLiteral("info")}, prefix, userFolder.path());
    QCOMPARE(denied.status, 1);
    QVERIFY2(denied.err.contains("cannot be opened: no permission"), denied.err.constData());
    QVERIFY2(denied.err.contains(nodes.first().toLocal8Bit()), denied.err.constData());
    QVERIFY(!denied.err.contains("no T5 adapter found"));

    if (byFault)
        return;
    // Access given back, the same user reaches the adapter.
    QCOMPARE(testbed.command(QStringLiteral("allow t5")),
             QStringLiteral("ok allow t5 ") + nodes.first());
    const Result allowed = run({QStringLiteral("info")}, prefix, userFolder.path());
    QVERIFY2(allowed.status == 0, allowed.err.constData());
}

QTEST_GUILESS_MAIN(HidrawFwToolTest)

#include "tst_hidraw_fwtool.moc"
