// Package decoding against packages made with OpenSSL, and the package-info
// command of brivane-fwtool.
#include "clicommon.h"
#include "firmwarepackage.h"
#include "testpackage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class PackageInfoTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesIndependentlyEncryptedPackages_data();
    void decodesIndependentlyEncryptedPackages();
    void damagedPackagesDoNotPassTheDigest_data();
    void damagedPackagesDoNotPassTheDigest();
    void commandExitStatus_data();
    void commandExitStatus();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);
    QTemporaryDir directory;
};

void PackageInfoTest::initTestCase()
{
    QVERIFY(directory.isValid());
}

QString PackageInfoTest::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = directory.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

void PackageInfoTest::decodesIndependentlyEncryptedPackages_data()
{
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("imageSize");
    // 29 bytes of header and digest: an image of 3 fills two whole blocks, so
    // the padding is a whole block of its own.
    QTest::newRow("K3 whole-block plaintext") << QByteArray("Brivane_K3") << 2 << 3;
    QTest::newRow("K3 one byte") << QByteArray("Brivane_K3") << 3 << 1;
    QTest::newRow("M7 odd size") << QByteArray("Brivane_M7") << 1 << 140000;
    QTest::newRow("negative major") << QByteArray("Brivane_K3") << -1 << 100;
}

void PackageInfoTest::decodesIndependentlyEncryptedPackages()
{
    QFETCH(QByteArray, marker);
    QFETCH(int, major);
    QFETCH(int, imageSize);
    const QByteArray image = TestPackage::patternImage(imageSize);
    const QByteArray file = TestPackage::build({marker, qint8(major), 7, 9, image});
    QVERIFY(!file.isEmpty());

    const FirmwarePackage package = FirmwarePackage::decode(file);
    QVERIFY(package.digestOk);
    QCOMPARE(package.marker, marker);
    QCOMPARE(int(package.major), major);
    QCOMPARE(int(package.minor), 7);
    QCOMPARE(int(package.patch), 9);
    QCOMPARE(package.image, image);
}

void PackageInfoTest::damagedPackagesDoNotPassTheDigest_data()
{
    QTest::addColumn<QByteArray>("file");
    const TestPackage::Contents contents{"Brivane_K3", 2, 1, 0, TestPackage::patternImage(500)};
    const QByteArray good = TestPackage::build(contents);

    QByteArray base64 = good;
    base64[100] = base64.at(100) == 'A' ? 'B' : 'A';
    QTest::newRow("Base64 character changed") << base64;
    QTest::newRow("Base64 cut short") << good.left(good.size() - 7);

    QByteArray ciphertext = TestPackage::encrypt(TestPackage::plaintext(contents));
    ciphertext[40] = char(ciphertext.at(40) ^ 0x5A);
    QTest::newRow("ciphertext byte changed") << ciphertext.toBase64();
    QTest::newRow("wrong trailer") << TestPackage::buildWithWrongTrailer(contents);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not Base64 of a package") << QByteArray("hello, world");
}

void PackageInfoTest::damagedPackagesDoNotPassTheDigest()
{
    QFETCH(QByteArray, file);
    QVERIFY(!FirmwarePackage::decode(file).digestOk);
}

void PackageInfoTest::commandExitStatus_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("json");
    QTest::addColumn<int>("expectedStatus");
    const TestPackage::Contents m7{"Brivane_M7", 1, 2, 3, TestPackage::patternImage(1000)};
    QTest::newRow("good package") << "good.rfw" << TestPackage::build(m7) << false << 0;
    QTest::newRow("good package, JSON") << "good2.rfw" << TestPackage::build(m7) << true << 0;
    QTest::newRow("wrong trailer")
        << "trailer.rfw" << TestPackage::buildWithWrongTrailer(m7) << false << 1;
    QTest::newRow("not a package") << "text.rfw" << QByteArray("plain text") << true << 1;
    QTest::newRow("empty file") << "empty.rfw" << QByteArray() << false << 1;
    QTest::newRow("missing file") << QString() << QByteArray() << false << 1;
}

void PackageInfoTest::commandExitStatus()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, contents);
    QFETCH(bool, json);
    QFETCH(int, expectedStatus);
    const QString path = fileName.isEmpty() ? directory.filePath(QStringLiteral("absent.rfw"))
                                            : writeFile(fileName, contents);
    QVERIFY(!path.isEmpty());
    QStringList arguments{QStringLiteral("--file"), path};
    if (json)
        arguments.append(QStringLiteral("--json"));
    QCOMPARE(runPackageInfoCommand(arguments), expectedStatus);
}

QTEST_GUILESS_MAIN(PackageInfoTest)
#include "tst_packageinfo.moc"
