#include "testpackage.h"

#include "fwtoolrunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

// The K3 and M7 commands of the command-line tool against emulated adapter
// folders: exit status 0 only when the adapter confirmed the update, the
// adapter's texts printed, flash.bin as the adapter holds it afterwards.
class CliK3M7Test : public QObject
{
    Q_OBJECT

    using Result = FwTool::Result;

    // flash.bin offsets (flash starts at 0x08000000).
    static constexpr int k3InformationOffset = 0x4100;
    static constexpr int k3ImageOffset = 0x5000;
    static constexpr int m7InformationOffset = 0x4000;
    static constexpr int m7ImageOffset = 0x10000;

    QTemporaryDir work;
    QString emulatorFolder;
    QString adapterFolder;

    Result run(const QStringList &arguments, bool withEmulator = true)
    {
        // configs.ini is read from the working directory after an update.
        return FwTool::run(arguments, withEmulator ? emulatorFolder : QString(), work.path());
    }

    static QByteArray readAll(const QString &path) { return FwTool::readAll(path); }
    static bool writeAll(const QString &path, const QByteArray &bytes)
    {
        return FwTool::writeAll(path, bytes);
    }

    QString writePackage(const QString &name, const QByteArray &package)
    {
        const QString path = work.filePath(name);
        return writeAll(path, package) ? path : QString();
    }

    void createAdapter(const QString &model, const QStringList &extra = {})
    {
        QDir(emulatorFolder).removeRecursively();
        const Result created = run(QStringList{QStringLiteral("emulate"), QStringLiteral("create"),
                                               QStringLiteral("--model"), model,
                                               QStringLiteral("--out"), adapterFolder} +
                                       extra,
                                   false);
        QVERIFY2(created.status == 0, created.err.constData());
    }

    void changeConfiguration(const QString &key, const QJsonValue &value)
    {
        const QString path = adapterFolder + QStringLiteral("/adapter.json");
        QJsonObject configuration = QJsonDocument::fromJson(readAll(path)).object();
        configuration.insert(key, value);
        QVERIFY(writeAll(path, QJsonDocument(configuration).toJson()));
    }

    QByteArray flash() const { return readAll(adapterFolder + QStringLiteral("/flash.bin")); }

    static QJsonObject deviceOf(const Result &result)
    {
        return QJsonDocument::fromJson(result.out)
            .object()
            .value(QStringLiteral("device"))
            .toObject();
    }

    // 0x55, start address, version, image size, MD5 of the image, 0xAA at 255.
    static QByteArray informationBlock(quint32 startAddress, quint8 major, quint8 minor,
                                       quint8 patch, const QByteArray &image)
    {
        QByteArray block(256, '\0');
        block[0] = char(0x55);
        for (int index = 0; index < 4; ++index) {
            block[1 + index] = char((startAddress >> (8 * index)) & 0xFF);
            block[8 + index] = char((quint32(image.size()) >> (8 * index)) & 0xFF);
        }
        block[5] = char(major);
        block[6] = char(minor);
        block[7] = char(patch);
        block.replace(12, 16, QCryptographicHash::hash(image, QCryptographicHash::Md5));
        block[255] = char(0xAA);
        return block;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        emulatorFolder = work.filePath(QStringLiteral("adapters"));
        adapterFolder = emulatorFolder + QStringLiteral("/adapter");
    }

    void k3InfoAndUpdate()
    {
        const QByteArray chipId = QByteArray::fromHex("0102030405060708090a0b0c");
        createAdapter(QStringLiteral("K3"),
                      {QStringLiteral("--state"), QStringLiteral("app"),
                       QStringLiteral("--version"), QStringLiteral("2.1.0"),
                       QStringLiteral("--chip-id"), QString::fromLatin1(chipId.toHex())});
        // Back as 0xB270, the first boot identity tried, to keep each run short.
        changeConfiguration(QStringLiteral("bootProductId"), QStringLiteral("0xb270"));

        const Result info = run({QStringLiteral("info"), QStringLiteral("--model"),
                                 QStringLiteral("K3"), QStringLiteral("--json")});
        QVERIFY2(info.status == 0, info.err.constData());
        QCOMPARE(
            deviceOf(info).value(QStringLiteral("serialNumber")).toString(),
            QString::fromLatin1(QCryptographicHash::hash(chipId, QCryptographicHash::Md5).toHex()));
        QCOMPARE(deviceOf(info).value(QStringLiteral("version")).toString(),
                 QStringLiteral("2.1.0"));
        QCOMPARE(deviceOf(info).value(QStringLiteral("productId")).toInt(), 0xB270);

        // Step 1: a good package; the version comes from the package.
        const QByteArray image = TestPackage::patternImage(9000, 0x31);
        const QString good = writePackage(QStringLiteral("k3.rfw"),
                                          TestPackage::build({"Brivane_K3", 2, 3, 4, image}));
        const Result update = run({QStringLiteral("update"), QStringLiteral("--model"),
                                   QStringLiteral("K3"), QStringLiteral("--file"), good});
        QVERIFY2(update.status == 0, update.err.constData());
        QVERIFY(update.out.contains("firmware 2.3.4"));
        QCOMPARE(flash().mid(k3InformationOffset, 256),
                 informationBlock(0x08005000, 2, 3, 4, image));
        QCOMPARE(flash().mid(k3ImageOffset, image.size()), image);

        // Step 2: an M7 package is refused before anything is written.
        const QByteArray before = flash();
        const QString m7 = writePackage(QStringLiteral("m7-for-k3.rfw"),
                                        TestPackage::build({"Brivane_M7", 2, 3, 4, image}));
        const Result wrongModel = run({QStringLiteral("update"), QStringLiteral("--model"),
                                       QStringLiteral("K3"), QStringLiteral("--file"), m7});
        QCOMPARE(wrongModel.status, 1);
        QVERIFY(wrongModel.err.contains("error: Update firmware file damag!"));
        QCOMPARE(flash(), before);

        // Step 3: a wrong echo on the last image chunk (9000 bytes: 161 chunks
        // of 56) fails the update, and the adapter has no firmware afterwards.
        changeConfiguration(QStringLiteral("faults"),
                            QJsonObject{{QStringLiteral("wrongEchoAtChunk"), 161}});
        const Result broken = run({QStringLiteral("update"), QStringLiteral("--model"),
                                   QStringLiteral("K3"), QStringLiteral("--file"), good});
        QCOMPARE(broken.status, 1);
        QVERIFY(broken.err.contains("error: Update error!"));
        QVERIFY(!broken.out.contains("Update OK!"));
        changeConfiguration(QStringLiteral("faults"), QJsonObject());
        const Result lost =
            run({QStringLiteral("info"), QStringLiteral("--model"), QStringLiteral("K3")});
        QCOMPARE(lost.status, 1);
        QVERIFY(lost.err.contains("no valid firmware"));
    }

    void m7InfoAndUpdate()
    {
        createAdapter(QStringLiteral("M7"),
                      {QStringLiteral("--state"), QStringLiteral("boot"),
                       QStringLiteral("--version"), QStringLiteral("1.3.0"),
                       QStringLiteral("--chip-id"), QStringLiteral("aabbccddeeff00112233ABCD")});
        const Result info =
            run({QStringLiteral("info"), QStringLiteral("--model"), QStringLiteral("M7")});
        QVERIFY2(info.status == 0, info.err.constData());
        QVERIFY(info.out.contains("aabbccddeeff00112233abcd"));
        QVERIFY(info.out.contains("1.3.0"));
        QVERIFY(!info.out.contains("bootMode"));

        // Step 1: major version 1 is fine for the M7; 100000 bytes reach sector 5.
        const QByteArray image = TestPackage::patternImage(100000, 0x32);
        const QString good = writePackage(QStringLiteral("m7.rfw"),
                                          TestPackage::build({"Brivane_M7", 1, 9, 0, image}));
        const Result update =
            run({QStringLiteral("update"), QStringLiteral("--model"), QStringLiteral("M7"),
                 QStringLiteral("--file"), good, QStringLiteral("--json")});
        QVERIFY2(update.status == 0, update.err.constData());
        QCOMPARE(deviceOf(update).value(QStringLiteral("version")).toString(),
                 QStringLiteral("1.9.0"));
        QCOMPARE(flash().mid(m7InformationOffset, 256),
                 informationBlock(0x08010000, 1, 9, 0, image));
        QCOMPARE(flash().mid(m7ImageOffset, image.size()), image);

        // Step 2: the block is written before the image, so a write that
        // stopped at the last image chunk leaves a valid-looking block; the
        // command still fails. 5 block chunks + 1924 image chunks of 52.
        changeConfiguration(QStringLiteral("faults"),
                            QJsonObject{{QStringLiteral("wrongEchoAtChunk"), 5 + 1924}});
        const QString next = writePackage(QStringLiteral("m7-next.rfw"),
                                          TestPackage::build({"Brivane_M7", 1, 9, 1, image}));
        const Result broken = run({QStringLiteral("update"), QStringLiteral("--model"),
                                   QStringLiteral("M7"), QStringLiteral("--file"), next});
        QCOMPARE(broken.status, 1);
        QVERIFY(broken.err.contains("error: Update error!"));
        QCOMPARE(quint8(flash().at(m7InformationOffset + 7)), quint8(1));

        // Step 3: a K3 package is refused.
        changeConfiguration(QStringLiteral("faults"), QJsonObject());
        const QString k3 = writePackage(QStringLiteral("k3-for-m7.rfw"),
                                        TestPackage::build({"Brivane_K3", 2, 0, 0, image}));
        const Result wrongModel = run({QStringLiteral("update"), QStringLiteral("--model"),
                                       QStringLiteral("M7"), QStringLiteral("--file"), k3});
        QCOMPARE(wrongModel.status, 1);
        QVERIFY(wrongModel.err.contains("error: Update file type error!"));
    }

    void packageInfoNeedsNoAdapter()
    {
        const QByteArray image = TestPackage::patternImage(1234, 0x33);
        const QString good = writePackage(QStringLiteral("info.rfw"),
                                          TestPackage::build({"Brivane_K3", 2, 5, 7, image}));
        const Result info = run({QStringLiteral("package-info"), QStringLiteral("--file"), good,
                                 QStringLiteral("--json")},
                                false);
        QCOMPARE(info.status, 0);
        const QJsonObject decoded = QJsonDocument::fromJson(info.out).object();
        QCOMPARE(decoded.value(QStringLiteral("marker")).toString(), QStringLiteral("Brivane_K3"));
        QCOMPARE(decoded.value(QStringLiteral("version")).toString(), QStringLiteral("2.5.7"));
        QCOMPARE(decoded.value(QStringLiteral("imageSize")).toInt(), 1234);
        QCOMPARE(decoded.value(QStringLiteral("digestOk")).toBool(), true);

        const QString damaged =
            writePackage(QStringLiteral("damaged.rfw"),
                         TestPackage::buildWithWrongTrailer({"Brivane_K3", 2, 5, 7, image}));
        const Result bad =
            run({QStringLiteral("package-info"), QStringLiteral("--file"), damaged}, false);
        QCOMPARE(bad.status, 1);
        QVERIFY(bad.out.contains("damaged"));
    }

    void wrongUsageAndMissingAdapter()
    {
        // K3 and M7 packages carry their version: --file alone is enough, but needed.
        QCOMPARE(
            run({QStringLiteral("update"), QStringLiteral("--model"), QStringLiteral("M7")}).status,
            2);
        QCOMPARE(run({QStringLiteral("update"), QStringLiteral("--model"), QStringLiteral("K3"),
                      QStringLiteral("--file"), work.filePath(QStringLiteral("missing.rfw"))})
                     .status,
                 1);
        QDir(emulatorFolder).removeRecursively();
        QDir().mkpath(emulatorFolder);
        const Result none =
            run({QStringLiteral("info"), QStringLiteral("--model"), QStringLiteral("M7")});
        QCOMPARE(none.status, 1);
        QVERIFY(none.err.contains("no M7 adapter found"));
    }
};

QTEST_GUILESS_MAIN(CliK3M7Test)

#include "test_cli_k3m7.moc"
