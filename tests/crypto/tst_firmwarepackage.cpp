#include "firmwarepackage.h"
#include "opensslcipher.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

namespace {

const QByteArray packageKeyBytes = QByteArrayLiteral("Tm4&Xq!7pLz#R2wK");

QByteArray withDigest(const QByteArray &body)
{
    return body + QCryptographicHash::hash(body, QCryptographicHash::Md5);
}

QByteArray encryptedCiphertext(const QByteArray &plaintext)
{
    bool encrypted = false;
    const QByteArray ciphertext =
        OpenSslCipher::encrypt(plaintext, packageKeyBytes, QByteArray(), 0, true, &encrypted);
    if (!encrypted)
        qFatal("libcrypto refused to encrypt the test package");
    return ciphertext;
}

QByteArray packageFile(const QByteArray &plaintext)
{
    return encryptedCiphertext(plaintext).toBase64();
}

QByteArray sampleImage(int length)
{
    QRandomGenerator random(0xf1a5);
    QByteArray image(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        image[i] = static_cast<char>(random.bounded(256));
    return image;
}

QByteArray header(const char *marker, char major, char minor, char patch)
{
    return QByteArray(marker) + major + minor + patch;
}

} // namespace

class FirmwarePackageTest : public QObject
{
    Q_OBJECT

private slots:
    void keyConstant();
    void goodPackages_data();
    void goodPackages();
    void rejectedPackages_data();
    void rejectedPackages();
};

void FirmwarePackageTest::keyConstant()
{
    QCOMPARE(QByteArray(FirmwarePackage::packageKey), packageKeyBytes);
}

void FirmwarePackageTest::goodPackages_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("patch");
    QTest::addColumn<QByteArray>("image");

    const QByteArray image = sampleImage(70000);
    QTest::newRow("K3 2.5.17") << packageFile(withDigest(header("Brivane_K3", 2, 5, 17) + image))
                               << QByteArray("Brivane_K3") << 2 << 5 << 17 << image;
    QTest::newRow("M7 negative major, high minor and patch")
        << packageFile(withDigest(header("Brivane_M7", '\xfe', '\xc8', '\xff') + image.left(333)))
        << QByteArray("Brivane_M7") << -2 << 200 << 255 << image.left(333);
    QTest::newRow("empty image, 29-byte plaintext")
        << packageFile(withDigest(header("Brivane_K3", 3, 0, 0))) << QByteArray("Brivane_K3") << 3
        << 0 << 0 << QByteArray();
    // Text tools commonly wrap Base64 into lines; the decoder must not care.
    QByteArray wrapped = packageFile(withDigest(header("Brivane_K3", 2, 1, 0) + image.left(500)));
    for (int position = 76; position < wrapped.size(); position += 78)
        wrapped.insert(position, "\r\n");
    QTest::newRow("Base64 wrapped in lines")
        << wrapped << QByteArray("Brivane_K3") << 2 << 1 << 0 << image.left(500);
}

void FirmwarePackageTest::goodPackages()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, marker);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, patch);
    QFETCH(QByteArray, image);

    const FirmwarePackage package = FirmwarePackage::decode(file);
    QVERIFY(package.digestOk);
    QCOMPARE(package.marker, marker);
    QCOMPARE(int(package.major), major);
    QCOMPARE(int(package.minor), minor);
    QCOMPARE(int(package.patch), patch);
    QCOMPARE(package.image.size(), image.size());
    QVERIFY(package.image == image);
    QCOMPARE(package.plaintext.size(), image.size() + 29);
}

void FirmwarePackageTest::rejectedPackages_data()
{
    QTest::addColumn<QByteArray>("file");

    const QByteArray body = header("Brivane_K3", 2, 0, 1) + sampleImage(1000);
    const QByteArray goodPlaintext = withDigest(body);

    QByteArray wrongTrailer = goodPlaintext;
    wrongTrailer[wrongTrailer.size() - 1] = char(wrongTrailer.at(wrongTrailer.size() - 1) ^ 0x01);
    QTest::newRow("wrong trailer") << packageFile(wrongTrailer);

    QByteArray changedImage = goodPlaintext;
    changedImage[500] = char(changedImage.at(500) ^ 0x40);
    QTest::newRow("image changed after digest") << packageFile(changedImage);

    QByteArray damagedText = packageFile(goodPlaintext);
    damagedText.replace(40, 4, "AAAA");
    QTest::newRow("damaged Base64 characters") << damagedText;
    QTest::newRow("truncated Base64") << packageFile(goodPlaintext).left(1000);
    QTest::newRow("not Base64 at all") << QByteArray("this is a plain text file, not a package");

    QByteArray damagedCiphertext = encryptedCiphertext(goodPlaintext);
    damagedCiphertext[64] = char(damagedCiphertext.at(64) ^ 0x80);
    QTest::newRow("damaged ciphertext block") << damagedCiphertext.toBase64();
    QTest::newRow("ciphertext not whole blocks")
        << (encryptedCiphertext(goodPlaintext) + "xyz").toBase64();

    QTest::newRow("empty file") << QByteArray();

    // These short plaintexts end in a valid MD5 of what precedes it, so only the
    // length rule can refuse them.
    QTest::newRow("28-byte plaintext with matching digest")
        << packageFile(withDigest(QByteArray("Brivane_K3\x02\x00", 12)));
    QTest::newRow("16-byte plaintext, digest of nothing") << packageFile(withDigest(QByteArray()));
    QTest::newRow("5-byte plaintext") << packageFile(QByteArray("short"));
}

void FirmwarePackageTest::rejectedPackages()
{
    QFETCH(QByteArray, file);
    const FirmwarePackage package = FirmwarePackage::decode(file);
    QVERIFY(!package.digestOk);
}

QTEST_GUILESS_MAIN(FirmwarePackageTest)
#include "tst_firmwarepackage.moc"
