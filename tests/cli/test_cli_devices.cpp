#include "fwtoolrunner.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

// The command-line tool as a release script sees it: exit status, standard
// output and a one-line error on standard error.
class CliDevicesTest : public QObject
{
    Q_OBJECT

    using Result = FwTool::Result;

    static Result run(const QStringList &arguments, const QString &emulatorFolder = QString())
    {
        return FwTool::run(arguments, emulatorFolder);
    }

    static void writeAdapter(const QString &folder, const QByteArray &json)
    {
        QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/adapter.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(json);
    }

private slots:
    void usageAndUnknownCommands()
    {
        const Result bare = run({});
        QCOMPARE(bare.status, 2);
        QVERIFY(bare.out.contains("devices"));

        const Result help = run({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);

        // Wrong usage exits 2, a failure 1.
        const Result unknown = run({QStringLiteral("frobnicate")});
        QCOMPARE(unknown.status, 2);
        QCOMPARE(unknown.err.count('\n'), 1);
        QVERIFY(unknown.err.contains("frobnicate"));

        const Result devicesHelp = run({QStringLiteral("devices"), QStringLiteral("--help")});
        QCOMPARE(devicesHelp.status, 0);
        QVERIFY(devicesHelp.out.contains("--json"));

        const Result badOption = run({QStringLiteral("devices"), QStringLiteral("--colour")});
        QCOMPARE(badOption.status, 2);
        QCOMPARE(badOption.err.count('\n'), 1);
    }

    void listsEmulatedDevicesAsJson()
    {
        QTemporaryDir folder;
        writeAdapter(
            folder.filePath(QStringLiteral("echo")),
            R"({"model": "echo", "vendorId": "0x0E3A", "productId": "0xB373", "interface": -1})");
        writeAdapter(folder.filePath(QStringLiteral("pad")),
                     R"({"model": "composite", "vendorId": 1133, "productId": "0xC52B"})");
        const Result result =
            run({QStringLiteral("devices"), QStringLiteral("--json")}, folder.path());
        QCOMPARE(result.status, 0);
        const QJsonArray devices = QJsonDocument::fromJson(result.out).array();
        QCOMPARE(devices.size(), 3);
        QMultiMap<int, int> interfacesByProduct;
        for (const QJsonValue &value : devices) {
            const QJsonObject device = value.toObject();
            QVERIFY(!device.value(QStringLiteral("path")).toString().isEmpty());
            interfacesByProduct.insert(device.value(QStringLiteral("productId")).toInt(),
                                       device.value(QStringLiteral("interface")).toInt());
            if (device.value(QStringLiteral("productId")).toInt() == 0xB373)
                QCOMPARE(device.value(QStringLiteral("vendorId")).toInt(), 3642);
        }
        QCOMPARE(interfacesByProduct.values(0xB373), QList<int>{-1});
        QList<int> composite = interfacesByProduct.values(0xC52B);
        std::sort(composite.begin(), composite.end());
        QCOMPARE(composite, (QList<int>{0, 1}));

        const Result text = run({QStringLiteral("devices")}, folder.path());
        QCOMPARE(text.status, 0);
        QVERIFY(text.out.contains("0e3a:b373 interface -1"));
    }

    void unusableEmulatorFolderIsAnError()
    {
        QTemporaryDir folder;
        writeAdapter(folder.filePath(QStringLiteral("broken")), "{ not json");
        const Result result = run({QStringLiteral("devices")}, folder.path());
        QVERIFY(result.status != 0);
        QVERIFY(result.err.contains("BRIVANE_EMULATOR"));
        QVERIFY(result.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(CliDevicesTest)
#include "test_cli_devices.moc"
