#include "opensslcipher.h"
#include "qaesencryption.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

constexpr quint32 crossCheckSeed = 0x5eed2024;
constexpr int maximumLengthBytes = 5000;

QByteArray randomBytes(QRandomGenerator &random, int length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(random.bounded(256));
    return bytes;
}

} // namespace

// Random data encrypted by libcrypto must come back unchanged through our
// decryptor, for every mode, key size and a wide spread of lengths.
class AesCrossCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rawModes_data();
    void rawModes();
    void paddedEcbThroughStripPadding_data();
    void paddedEcbThroughStripPadding();
};

void AesCrossCheckTest::initTestCase()
{
    qInfo("cross-check seed 0x%08x", crossCheckSeed);
}

void AesCrossCheckTest::rawModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<quint32>("seed");

    const char *const modeNames[] = {"ECB", "CBC", "CFB128", "OFB"};
    for (int mode = 0; mode < 4; ++mode)
        for (int keyLength : {16, 24, 32})
            QTest::addRow("%s AES-%d", modeNames[mode], keyLength * 8)
                << mode << keyLength << quint32(crossCheckSeed + 16 * mode + keyLength);
}

void AesCrossCheckTest::rawModes()
{
    QFETCH(int, mode);
    QFETCH(int, keyLength);
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    const bool blockMode = mode == QAESEncryption::Ecb || mode == QAESEncryption::Cbc;
    const QAESEncryption::KeySize keySize = keyLength == 16   ? QAESEncryption::Key128
                                            : keyLength == 24 ? QAESEncryption::Key192
                                                              : QAESEncryption::Key256;

    QVector<int> lengths;
    for (int length = 0; length <= 100; ++length)
        lengths.append(length);
    for (int i = 0; i < 40; ++i)
        lengths.append(random.bounded(maximumLengthBytes + 1));
    lengths.append(maximumLengthBytes);

    for (int length : lengths) {
        if (blockMode && length % 16 != 0)
            continue;
        const QByteArray key = randomBytes(random, keyLength);
        const QByteArray iv = mode == QAESEncryption::Ecb ? QByteArray() : randomBytes(random, 16);
        const QByteArray plaintext = randomBytes(random, length);
        bool encrypted = false;
        const QByteArray ciphertext =
            OpenSslCipher::encrypt(plaintext, key, iv, mode, false, &encrypted);
        QVERIFY2(encrypted, "libcrypto refused to encrypt");
        QCOMPARE(ciphertext.size(), length);

        QAESEncryption aes(keySize, QAESEncryption::CipherMode(mode), QAESEncryption::Zero);
        const QByteArray decrypted = aes.decrypt(ciphertext, key, iv);
        QVERIFY2(decrypted == plaintext, qPrintable(QStringLiteral("length %1, key %2, iv %3")
                                                        .arg(length)
                                                        .arg(QString::fromLatin1(key.toHex()),
                                                             QString::fromLatin1(iv.toHex()))));
    }
}

void AesCrossCheckTest::paddedEcbThroughStripPadding_data()
{
    QTest::addColumn<int>("keyLength");
    QTest::newRow("AES-128") << 16;
    QTest::newRow("AES-192") << 24;
    QTest::newRow("AES-256") << 32;
}

void AesCrossCheckTest::paddedEcbThroughStripPadding()
{
    QFETCH(int, keyLength);
    QRandomGenerator random(crossCheckSeed ^ quint32(keyLength));
    const QAESEncryption::KeySize keySize = keyLength == 16   ? QAESEncryption::Key128
                                            : keyLength == 24 ? QAESEncryption::Key192
                                                              : QAESEncryption::Key256;
    QAESEncryption aes(keySize, QAESEncryption::Ecb, QAESEncryption::Pkcs7);
    for (int length = 0; length <= 600; length += 1 + random.bounded(7)) {
        const QByteArray key = randomBytes(random, keyLength);
        const QByteArray plaintext = randomBytes(random, length);
        bool encrypted = false;
        const QByteArray ciphertext = OpenSslCipher::encrypt(plaintext, key, QByteArray(),
                                                             QAESEncryption::Ecb, true, &encrypted);
        QVERIFY(encrypted);
        QCOMPARE(ciphertext.size(), (length / 16 + 1) * 16);
        const QByteArray decrypted =
            QAESEncryption::stripPadding(aes.decrypt(ciphertext, key), QAESEncryption::Pkcs7);
        QVERIFY2(decrypted == plaintext, qPrintable(QStringLiteral("length %1").arg(length)));
    }
}

QTEST_GUILESS_MAIN(AesCrossCheckTest)
#include "tst_aescrosscheck.moc"
