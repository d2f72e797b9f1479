#include "qaesencryption.h"
#include "testsupport.h"

#include <QDir>
#include <QMap>
#include <QtTest>

using TestSupport::fromHex;

namespace {

struct KnownAnswer
{
    QString name;
    QAESEncryption::CipherMode mode;
    QByteArray key;
    QByteArray iv;
    QByteArray plaintext;
    QByteArray ciphertext;
};

QAESEncryption::KeySize keySizeFor(const QByteArray &key)
{
    if (key.size() == 24)
        return QAESEncryption::Key192;
    if (key.size() == 32)
        return QAESEncryption::Key256;
    return QAESEncryption::Key128;
}

// Reads a CAVP response file: blank-line separated records of "NAME = hex" lines.
// Both the ENCRYPT and the DECRYPT records carry a plaintext/ciphertext pair, so
// each of them is a decryption case.
QVector<KnownAnswer> readResponseFile(const QString &path, QAESEncryption::CipherMode mode)
{
    QVector<KnownAnswer> cases;
    const QList<QByteArray> lines = TestSupport::readWholeFile(path).split('\n');
    QString section;
    QMap<QByteArray, QByteArray> fields;
    auto flush = [&]() {
        if (fields.contains("KEY") && fields.contains("CIPHERTEXT")) {
            const QString name = QStringLiteral("%1 %2 %3")
                                     .arg(QFileInfo(path).fileName(), section,
                                          QString::fromLatin1(fields.value("COUNT")));
            cases.append({name, mode, fromHex(QString::fromLatin1(fields.value("KEY"))),
                          fromHex(QString::fromLatin1(fields.value("IV"))),
                          fromHex(QString::fromLatin1(fields.value("PLAINTEXT"))),
                          fromHex(QString::fromLatin1(fields.value("CIPHERTEXT")))});
        }
        fields.clear();
    };
    for (const QByteArray &rawLine : lines) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('#'))
            continue;
        if (line.isEmpty()) {
            flush();
            continue;
        }
        if (line.startsWith('[')) {
            flush();
            section = QString::fromLatin1(line);
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals > 0)
            fields.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    flush();
    return cases;
}

const QByteArray sp80038aPlaintext =
    fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const QByteArray sp80038aIv = fromHex("000102030405060708090a0b0c0d0e0f");

} // namespace

class AesVectorsTest : public QObject
{
    Q_OBJECT

private slots:
    void fips197Examples_data();
    void fips197Examples();
    void sp80038aExamples_data();
    void sp80038aExamples();
    void cavpResponseFiles_data();
    void cavpResponseFiles();
    void outOfRangeKeySizeBehavesAs128();

    void refusals_data();
    void refusals();
    void streamModesAcceptPartialBlocks();

    void stripPadding_data();
    void stripPadding();
};

void AesVectorsTest::fips197Examples_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("ciphertext");
    const QByteArray keyBytes = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b"
                                        "1c1d1e1f");
    QTest::newRow("C.1 AES-128") << keyBytes.left(16)
                                 << fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
    QTest::newRow("C.2 AES-192") << keyBytes.left(24)
                                 << fromHex("dda97ca4864cdfe06eaf70a0ec0d7191");
    QTest::newRow("C.3 AES-256") << keyBytes << fromHex("8ea2b7ca516745bfeafc49904b496089");
}

void AesVectorsTest::fips197Examples()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, ciphertext);
    QAESEncryption aes(keySizeFor(key), QAESEncryption::Ecb, QAESEncryption::Zero);
    QCOMPARE(aes.decrypt(ciphertext, key).toHex(), QByteArray("00112233445566778899aabbccddeeff"));
}

void AesVectorsTest::sp80038aExamples_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("ciphertext");

    // AES-128 rows come from the published vector file, the others from the
    // publication's appendix F.
    const QByteArray vectorFile = TestSupport::readWholeFile(
        TestSupport::vectorsDirectory() + QStringLiteral("/aes-fips197-sp800-38a.txt"));
    QMap<QByteArray, QByteArray> lastValue;
    bool inAppendixF = false;
    for (const QByteArray &rawLine : vectorFile.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.contains("800-38A"))
            inAppendixF = true;
        const int equals = line.indexOf('=');
        if (!inAppendixF || line.startsWith('#') || equals <= 0)
            continue;
        lastValue.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    QCOMPARE(fromHex(QString::fromLatin1(lastValue.value("PLAINTEXT"))), sp80038aPlaintext);
    QCOMPARE(fromHex(QString::fromLatin1(lastValue.value("IV"))), sp80038aIv);
    const QByteArray key128 = fromHex(QString::fromLatin1(lastValue.value("KEY")));
    QCOMPARE(key128.size(), 16);
    const char *const modeNames[] = {"ECB", "CBC", "CFB128", "OFB"};
    for (int mode = 0; mode < 4; ++mode)
        QTest::addRow("AES-128 %s", modeNames[mode])
            << mode << key128 << fromHex(QString::fromLatin1(lastValue.value(modeNames[mode])));

    const QByteArray key192 = fromHex("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b");
    const QByteArray key256 =
        fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    QTest::newRow("F.1.4 ECB-AES192")
        << 0 << key192
        << fromHex("bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eef"
                   "ef7afd2270e2e60adce0ba2face6444e9a4b41ba738d6c72fb16691603c18e0e");
    QTest::newRow("F.1.6 ECB-AES256")
        << 0 << key256
        << fromHex("f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
                   "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7");
    QTest::newRow("F.2.4 CBC-AES192")
        << 1 << key192
        << fromHex("4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
                   "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd");
    QTest::newRow("F.2.6 CBC-AES256")
        << 1 << key256
        << fromHex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                   "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
    QTest::newRow("F.3.16 CFB128-AES192")
        << 2 << key192
        << fromHex("cdc80d6fddf18cab34c25909c99a417467ce7f7f81173621961a2b70171d3d7a"
                   "2e1e8a1dd59b88b1c8e60fed1efac4c9c05f9f9ca9834fa042ae8fba584b09ff");
    QTest::newRow("F.3.18 CFB128-AES256")
        << 2 << key256
        << fromHex("dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b"
                   "df10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471");
    QTest::newRow("F.4.4 OFB-AES192")
        << 3 << key192
        << fromHex("cdc80d6fddf18cab34c25909c99a4174fcc28b8d4c63837c09e81700c1100401"
                   "8d9a9aeac0f6596f559c6d4daf59a5f26d9f200857ca6c3e9cac524bd9acc92a");
    QTest::newRow("F.4.6 OFB-AES256")
        << 3 << key256
        << fromHex("dc7e84bfda79164b7ecd8486985d38604febdc6740d20b3ac88f6ad82a4fb08d"
                   "71ab47a086e86eedf39d1c5bba97c4080126141d67f37be8538f5a8be740e484");
}

void AesVectorsTest::sp80038aExamples()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, ciphertext);
    QAESEncryption aes(keySizeFor(key), QAESEncryption::CipherMode(mode), QAESEncryption::Zero);
    const QByteArray iv = mode == QAESEncryption::Ecb ? QByteArray() : sp80038aIv;
    QCOMPARE(aes.decrypt(ciphertext, key, iv).toHex(), sp80038aPlaintext.toHex());
}

void AesVectorsTest::cavpResponseFiles_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("iv");
    QTest::addColumn<QByteArray>("plaintext");
    QTest::addColumn<QByteArray>("ciphertext");

    const QDir folder(TestSupport::vectorsDirectory() + QStringLiteral("/nist-aes-kat"));
    const QStringList files = folder.entryList({QStringLiteral("*.rsp")}, QDir::Files);
    QVERIFY2(files.size() >= 15, qPrintable(folder.path()));
    int caseCount = 0;
    for (const QString &file : files) {
        QAESEncryption::CipherMode mode = QAESEncryption::Cbc;
        if (file.startsWith(QLatin1String("CFB128")))
            mode = QAESEncryption::Cfb;
        else if (file.startsWith(QLatin1String("OFB")))
            mode = QAESEncryption::Ofb;
        const bool singleBlockKnownAnswer = !file.contains(QLatin1String("MMT"));
        const QVector<KnownAnswer> cases = readResponseFile(folder.filePath(file), mode);
        QVERIFY2(!cases.isEmpty(), qPrintable(file));
        for (const KnownAnswer &known : cases) {
            QTest::newRow(qPrintable(known.name))
                << int(known.mode) << known.key << known.iv << known.plaintext << known.ciphertext;
            ++caseCount;
            // With a zero IV a single CBC block is a plain ECB block.
            if (mode == QAESEncryption::Cbc && singleBlockKnownAnswer &&
                known.iv == QByteArray(16, '\0')) {
                QTest::newRow(qPrintable(known.name + QStringLiteral(" as ECB")))
                    << int(QAESEncryption::Ecb) << known.key << QByteArray() << known.plaintext
                    << known.ciphertext;
                ++caseCount;
            }
        }
    }
    qInfo("%d CAVP decryption cases", caseCount);
}

void AesVectorsTest::cavpResponseFiles()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, iv);
    QFETCH(QByteArray, plaintext);
    QFETCH(QByteArray, ciphertext);
    QAESEncryption aes(keySizeFor(key), QAESEncryption::CipherMode(mode), QAESEncryption::Zero);
    QCOMPARE(aes.decrypt(ciphertext, key, iv).toHex(), plaintext.toHex());
}

void AesVectorsTest::outOfRangeKeySizeBehavesAs128()
{
    QAESEncryption aes(static_cast<QAESEncryption::KeySize>(7), QAESEncryption::Ecb,
                       QAESEncryption::Zero);
    QCOMPARE(aes.keySize(), QAESEncryption::Key128);
    QCOMPARE(aes.decrypt(fromHex("69c4e0d86a7b0430d8cdb78070b4c55a"),
                         fromHex("000102030405060708090a0b0c0d0e0f"))
                 .toHex(),
             QByteArray("00112233445566778899aabbccddeeff"));
}

void AesVectorsTest::refusals_data()
{
    QTest::addColumn<int>("keySize");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("iv");
    QTest::addColumn<QByteArray>("ciphertext");

    const QByteArray key16(16, 'k');
    const QByteArray iv16(16, 'i');
    const QByteArray twoBlocks(32, 'c');
    QTest::newRow("CBC without IV") << 0 << 1 << key16 << QByteArray() << twoBlocks;
    QTest::newRow("CBC with 15-byte IV") << 0 << 1 << key16 << iv16.left(15) << twoBlocks;
    QTest::newRow("CFB without IV") << 0 << 2 << key16 << QByteArray() << twoBlocks;
    QTest::newRow("OFB with 17-byte IV") << 0 << 3 << key16 << (iv16 + 'x') << twoBlocks;
    QTest::newRow("ECB 15 bytes") << 0 << 0 << key16 << QByteArray() << twoBlocks.left(15);
    QTest::newRow("ECB 17 bytes") << 0 << 0 << key16 << QByteArray() << twoBlocks.left(17);
    QTest::newRow("CBC 31 bytes") << 0 << 1 << key16 << iv16 << twoBlocks.left(31);
    QTest::newRow("128-bit size, 15-byte key")
        << 0 << 0 << key16.left(15) << QByteArray() << twoBlocks;
    QTest::newRow("256-bit size, 16-byte key") << 2 << 0 << key16 << QByteArray() << twoBlocks;
    QTest::newRow("192-bit size, 32-byte key")
        << 1 << 1 << QByteArray(32, 'k') << iv16 << twoBlocks;
    QTest::newRow("OFB, empty key") << 0 << 3 << QByteArray() << iv16 << twoBlocks;
}

void AesVectorsTest::refusals()
{
    QFETCH(int, keySize);
    QFETCH(int, mode);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, iv);
    QFETCH(QByteArray, ciphertext);
    QAESEncryption aes(QAESEncryption::KeySize(keySize), QAESEncryption::CipherMode(mode),
                       QAESEncryption::Pkcs7);
    QVERIFY(aes.decrypt(ciphertext, key, iv).isEmpty());
}

void AesVectorsTest::streamModesAcceptPartialBlocks()
{
    // The first 20 bytes of the F.3.13 and F.4.1 examples: a stream mode
    // decrypts any prefix of its ciphertext into the same prefix of plaintext.
    const QByteArray key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
    const QByteArray ciphertext = fromHex("3b3fd92eb72dad20333449f8e83cfb4ac8a64537");
    QAESEncryption cfb(QAESEncryption::Key128, QAESEncryption::Cfb, QAESEncryption::Zero);
    QCOMPARE(cfb.decrypt(ciphertext, key, sp80038aIv).toHex(), sp80038aPlaintext.left(20).toHex());
    const QByteArray ofbCiphertext = fromHex("3b3fd92eb72dad20333449f8e83cfb4a7789508d");
    QAESEncryption ofb(QAESEncryption::Key128, QAESEncryption::Ofb, QAESEncryption::Zero);
    QCOMPARE(ofb.decrypt(ofbCiphertext, key, sp80038aIv).toHex(),
             sp80038aPlaintext.left(20).toHex());
}

void AesVectorsTest::stripPadding_data()
{
    QTest::addColumn<int>("padding");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray twelve = QByteArray("twelve bytes");
    QTest::newRow("PKCS7 ends 0x04") << 1 << (twelve + QByteArray(4, '\x04')) << twelve;
    QTest::newRow("PKCS7 ends 0x00")
        << 1 << (twelve + QByteArray(3, 'x') + '\0') << (twelve + QByteArray(3, 'x') + '\0');
    QTest::newRow("PKCS7 ends 0x90 (negative)")
        << 1 << (twelve + QByteArray(3, 'x') + '\x90') << (twelve + QByteArray(3, 'x') + '\x90');
    QTest::newRow("PKCS7 length equals size") << 1 << QByteArray(16, '\x10') << QByteArray();
    QTest::newRow("PKCS7 length beyond size")
        << 1 << QByteArray(4, '\x05') << QByteArray(4, '\x05');
    QTest::newRow("PKCS7 other bytes not examined")
        << 1 << QByteArray("abcdefghijklm\x01\x02\x03") << QByteArray("abcdefghijklm");
    QTest::newRow("PKCS7 empty") << 1 << QByteArray() << QByteArray();

    QTest::newRow("ISO data 80 00 00 00")
        << 2 << QByteArray::fromHex("6461746180000000") << QByteArray("data");
    QTest::newRow("ISO 80 last byte") << 2 << QByteArray("data\x80") << QByteArray("data");
    QTest::newRow("ISO last non-zero not 80")
        << 2 << QByteArray::fromHex("6461746181000000") << QByteArray::fromHex("6461746181000000");
    QTest::newRow("ISO all zero") << 2 << QByteArray(8, '\0') << QByteArray(8, '\0');
    QTest::newRow("ISO empty") << 2 << QByteArray() << QByteArray();

    QTest::newRow("Zero trailing zeros")
        << 0 << QByteArray::fromHex("0064617461000000") << QByteArray::fromHex("0064617461");
    QTest::newRow("Zero none to strip") << 0 << QByteArray("data") << QByteArray("data");
    QTest::newRow("Zero all zero") << 0 << QByteArray(16, '\0') << QByteArray();
    QTest::newRow("Zero empty") << 0 << QByteArray() << QByteArray();
}

void AesVectorsTest::stripPadding()
{
    QFETCH(int, padding);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(QAESEncryption::stripPadding(input, QAESEncryption::PaddingScheme(padding)).toHex(),
             expected.toHex());
}

QTEST_GUILESS_MAIN(AesVectorsTest)
#include "tst_aesvectors.moc"
