#include "testpackage.h"

#include "fwtoolrunner.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QTest>

// The K3 and M7 commands of the command-line tool against emulated adapter
// folders: exit status 0 only when the adapter confirmed the update, the
// adapter's texts printed, flash.bin as the adapter holds it afterwards.
class CliK3M7Test : public QObject, FwTool::AdapterFolderFixture
{
    Q_OBJECT

    using Result = FwTool::Result;

    // flash.bin offsets (flash starts at 0x08000000).
    static constexpr int k3InformationOffset = 0x4100;
    static constexpr int k3ImageOffset = 0x5000;
    static constexpr int m7InformationOffset = 0x4000;
    static constexpr int m7ImageOffset = 0x10000;

private slots:
    void initTestCase() { QVERIFY(work.isValid()); }

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
            FwTool::deviceOf(info).value(QStringLiteral("serialNumber")).toString(),
            QString::fromLatin1(QCryptographicHash::hash(chipId, QCryptographicHash::Md5).toHex()));
        QCOMPARE(FwTool::deviceOf(info).value(QStringLiteral("version")).toString(),
                 QStringLiteral("2.1.0"));
        QCOMPARE(FwTool::deviceOf(info).value(QStringLiteral("productId")).toInt(), 0xB270);

        // Step 1: a good package; the version comes from the package.
        const QByteArray image = TestPackage::patternImage(9000, 0x31);
        const QString good =
            writeFile(QStringLiteral("k3.rfw"), TestPackage::build({"Brivane_K3", 2, 3, 4, image}));
        const Result update = run({QStringLiteral("update"), QStringLiteral("--model"),
                                   QStringLiteral("K3"), QStringLiteral("--file"), good});
        QVERIFY2(update.status == 0, update.err.constData());
        QVERIFY(update.out.contains("firmware 2.3.4"));
        QCOMPARE(flash().mid(k3InformationOffset, 256),
                 TestPackage::informationBlock(0x08005000, 2, 3, 4, image));
        QCOMPARE(flash().mid(k3ImageOffset, image.size()), image);

        // Step 2: an M7 package is refused before anything is written.
        const QByteArray before = flash();
        const QString m7 = writeFile(QStringLiteral("m7-for-k3.rfw"),
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
        const QString good =
            writeFile(QStringLiteral("m7.rfw"), TestPackage::build({"Brivane_M7", 1, 9, 0, image}));
        const Result update =
            run({QStringLiteral("update"), QStringLiteral("--model"), QStringLiteral("M7"),
                 QStringLiteral("--file"), good, QStringLiteral("--json")});
        QVERIFY2(update.status == 0, update.err.constData());
        QCOMPARE(FwTool::deviceOf(update).value(QStringLiteral("version")).toString(),
                 QStringLiteral("1.9.0"));
        QCOMPARE(flash().mid(m7InformationOffset, 256),
                 TestPackage::informationBlock(0x08010000, 1, 9, 0, image));
        QCOMPARE(flash().mid(m7ImageOffset, image.size()), image);

        // Step 2: the block is written before the image, so a write that
        // stopped at the last image chunk leaves a valid-looking block; the
        // command still fails. 5 block chunks + 1924 image chunks of 52.
        changeConfiguration(QStringLiteral("faults"),
                            QJsonObject{{QStringLiteral("wrongEchoAtChunk"), 5 + 1924}});
        const QString next = writeFile(QStringLiteral("m7-next.rfw"),
                                       TestPackage::build({"Brivane_M7", 1, 9, 1, image}));
        const Result broken = run({QStringLiteral("update"), QStringLiteral("--model"),
                                   QStringLiteral("M7"), QStringLiteral("--file"), next});
        QCOMPARE(broken.status, 1);
        QVERIFY(broken.err.contains("error: Update error!"));
        QCOMPARE(quint8(flash().at(m7InformationOffset + 7)), quint8(1));

        // Step 3: a K3 package is refused.
        changeConfiguration(QStringLiteral("faults"), QJsonObject());
        const QString k3 = writeFile(QStringLiteral("k3-for-m7.rfw"),
                                     TestPackage::build({"Brivane_K3", 2, 0, 0, image}));
        const Result wrongModel = run({QStringLiteral("update"), QStringLiteral("--model"),
                                       QStringLiteral("M7"), QStringLiteral("--file"), k3});
        QCOMPARE(wrongModel.status, 1);
        QVERIFY(wrongModel.err.contains("error: Update file type error!"));
    }

    void packageInfoNeedsNoAdapter()
    {
        const QByteArray image = TestPackage::patternImage(1234, 0x33);
        const QString good = writeFile(QStringLiteral("info.rfw"),
                                       TestPackage::build({"Brivane_K3", 2, 5, 7, image}));
        const Result info = run({QStringLiteral("package-info"), QStringLiteral("--file"), good,
                                 QStringLiteral("--json")},
                                false);
        QCOMPARE(info.status, 0);
        const QJsonObject decoded = FwTool::jsonOf(info);
        QCOMPARE(decoded.value(QStringLiteral("marker")).toString(), QStringLiteral("Brivane_K3"));
        QCOMPARE(decoded.value(QStringLiteral("version")).toString(), QStringLiteral("2.5.7"));
        QCOMPARE(decoded.value(QStringLiteral("imageSize")).toInt(), 1234);
        QCOMPARE(decoded.value(QStringLiteral("digestOk")).toBool(), true);

        const QString damaged =
            writeFile(QStringLiteral("damaged.rfw"),
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
        removeAdapters();
        const Result none =
            run({QStringLiteral("info"), QStringLiteral("--model"), QStringLiteral("M7")});
        QCOMPARE(none.status, 1);
        QVERIFY(none.err.contains("no M7 adapter found"));
    }
};

QTEST_GUILESS_MAIN(CliK3M7Test)

#include "test_cli_k3m7.moc"
