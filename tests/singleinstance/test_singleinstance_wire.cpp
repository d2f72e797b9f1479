// The instances block, its name and the frames between instances, byte for
// byte. Expected values were worked out with sha256sum/base64 and a separate
// CRC-16/X.25 implementation, not with this code.
#include "singleinstancewire.h"

#include <QTest>

#include <array>

using namespace SingleInstanceWire;

namespace {
using Block = std::array<unsigned char, blockSizeBytes>;

Block filledBlock(unsigned char value)
{
    Block block;
    block.fill(value);
    return block;
}

QByteArray bytesAt(const Block &block, int offset, int count)
{
    return QByteArray(reinterpret_cast<const char *>(block.data()) + offset, count);
}

quint16 storedChecksum(const Block &block)
{
    return quint16(block[144] | (block[145] << 8));
}
} // namespace

class SingleInstanceWireTest : public QObject
{
    Q_OBJECT
private slots:
    void checksumIsX25_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<quint16>("expected");
        // The published check value of CRC-16/X.25 (ISO 3309).
        QTest::newRow("check value") << QByteArray("123456789") << quint16(0x906E);
        QTest::newRow("empty") << QByteArray() << quint16(0x0000);
        QTest::newRow("short init body")
            << QByteArray::fromHex("0000000241420101020304") << quint16(0x98E4);
    }
    void checksumIsX25()
    {
        QFETCH(QByteArray, data);
        QFETCH(quint16, expected);
        QCOMPARE(crc16(data), expected);
    }

    void blockFieldsSitAtTheirOffsets()
    {
        Block block = filledBlock(0xAA);
        InstancesBlock contents;
        contents.primary = true;
        contents.secondaryCount = 0x01020304;
        contents.primaryProcessId = 0x1122334455667788;
        contents.primaryUser = "alice";
        writeBlock(block.data(), contents);

        QCOMPARE(block[0], 1);
        QCOMPARE(bytesAt(block, 1, 3), QByteArray(3, char(0xAA))); // padding stays
        QCOMPARE(bytesAt(block, 4, 4), QByteArray::fromHex("04030201"));
        QCOMPARE(bytesAt(block, 8, 8), QByteArray::fromHex("8877665544332211"));
        QCOMPARE(bytesAt(block, 16, 6), QByteArray("alice", 6)); // with its zero
        QCOMPARE(storedChecksum(block),
                 qChecksum(reinterpret_cast<const char *>(block.data()), 144, Qt::ChecksumIso3309));
        QCOMPARE(bytesAt(block, 146, 6), QByteArray(6, char(0xAA))); // padding stays

        const InstancesBlock read = readBlock(block.data());
        QCOMPARE(read.primary, true);
        QCOMPARE(read.secondaryCount, quint32(0x01020304));
        QCOMPARE(read.primaryProcessId, qint64(0x1122334455667788));
        QCOMPARE(read.primaryUser, QByteArray("alice"));
    }

    void initialisedBlockRecordsNobody()
    {
        Block block = filledBlock(0x55);
        initialiseBlock(block.data());
        QCOMPARE(block[0], 0);
        QCOMPARE(bytesAt(block, 4, 4), QByteArray(4, '\0'));
        QCOMPARE(bytesAt(block, 8, 8), QByteArray(8, char(0xFF))); // process id -1
        QCOMPARE(block[16], 0);
        QVERIFY(blockIsConsistent(block.data()));
    }

    void checksumCoversTheFirst144Bytes_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<bool>("consistent");
        QTest::newRow("primary flag") << 0 << false;
        QTest::newRow("padding after the flag") << 2 << false;
        QTest::newRow("process id") << 10 << false;
        QTest::newRow("last user byte") << 143 << false;
        QTest::newRow("checksum itself") << 145 << false;
        QTest::newRow("padding after the checksum") << 150 << true;
    }
    void checksumCoversTheFirst144Bytes()
    {
        QFETCH(int, offset);
        QFETCH(bool, consistent);
        Block block = filledBlock(0);
        InstancesBlock contents;
        contents.primary = true;
        contents.primaryProcessId = 4242;
        contents.primaryUser = "bob";
        writeBlock(block.data(), contents);
        QVERIFY(blockIsConsistent(block.data()));
        block[size_t(offset)] ^= 0x40;
        QCOMPARE(blockIsConsistent(block.data()), consistent);
    }

    void longUserNameKeepsItsTerminatingZero()
    {
        Block block = filledBlock(0xAA);
        InstancesBlock contents;
        contents.primaryUser = QByteArray(200, 'x');
        writeBlock(block.data(), contents);
        QCOMPARE(bytesAt(block, 16, 127), QByteArray(127, 'x'));
        QCOMPARE(block[143], 0);
        QCOMPARE(readBlock(block.data()).primaryUser, QByteArray(127, 'x'));
        QVERIFY(blockIsConsistent(block.data()));
    }

    void blockName_data()
    {
        QTest::addColumn<QString>("applicationName");
        QTest::addColumn<QString>("organizationName");
        QTest::addColumn<QString>("organizationDomain");
        QTest::addColumn<QStringList>("userData");
        QTest::addColumn<QString>("applicationVersion");
        QTest::addColumn<QString>("executablePath");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<int>("options");
        QTest::addColumn<QString>("expected");

        const QString name = QStringLiteral("Brivane Firmware Tool");
        const QString path = QStringLiteral("/opt/Brivane/Brivane-Firmware-Tool");
        QTest::newRow("whole identity, no user")
            << name << "Brivane"
            << "brivane.example" << QStringList() << "3.3.8" << path << "alice" << 0
            << "tAyewaURhJ1b5J1uGnBjJ3g2JcjbVmxzbnItilnbojo=";
        // Base64 gives a "/" here, which the name carries as "_".
        QTest::newRow("per user") << name << "Brivane"
                                  << "brivane.example" << QStringList() << "3.3.8" << path
                                  << "alice" << 1 << "SngazMHL0H4FidKqE6tDyV00KAg_Ztc0wru0wHt8ZrI=";
        QTest::newRow("per user, without version and path")
            << name << "Brivane"
            << "brivane.example" << QStringList() << "3.3.8" << path << "alice" << (1 | 8 | 16)
            << "MbG58nneLAo4CgJKl1lArcaKtgGSCWb5xqYEVERwMvo=";
        QTest::newRow("user data joined")
            << name << "Brivane"
            << "brivane.example" << QStringList{"first", "second"} << "3.3.8" << path << "alice"
            << 1 << "IPK4DC_Z04paENRnJ86a6bIwIjtFpBx54GtbRigI3K8=";
        // What the program's guard sees: the toolkit's defaults, and "+" stays.
        QTest::newRow("toolkit defaults")
            << "brivane-firmware-tool" << QString() << QString() << QStringList() << QString()
            << "/usr/bin/brivane-firmware-tool"
            << "bob" << 1 << "x5q0XrydOxoK85aDu1+lSi7ObNVCQDpDu71+nDlpCzA=";
        QTest::newRow("user name in UTF-8")
            << "brivane-firmware-tool" << QString() << QString() << QStringList() << QString()
            << "/usr/bin/brivane-firmware-tool" << QString::fromUtf8("Zoë Петрова") << 1
            << "48fazYfjZ19tflLsA_TgSdtTUeYkESZGus6ParVNFuw=";
    }
    void blockName()
    {
        BlockNameInputs inputs;
        QFETCH(QString, applicationName);
        QFETCH(QString, organizationName);
        QFETCH(QString, organizationDomain);
        QFETCH(QStringList, userData);
        QFETCH(QString, applicationVersion);
        QFETCH(QString, executablePath);
        QFETCH(QString, userName);
        QFETCH(int, options);
        QFETCH(QString, expected);
        inputs = {applicationName,    organizationName, organizationDomain, userData,
                  applicationVersion, executablePath,   userName,           options};
        QCOMPARE(deriveBlockName(inputs), expected);
    }

    void frameHeaderIsBigEndian()
    {
        QCOMPARE(frameHeader(0x0102030405060708), QByteArray::fromHex("0102030405060708"));
        QCOMPARE(parseFrameHeader(QByteArray::fromHex("000000000000002c")).value_or(0),
                 quint64(44));
        QVERIFY(!parseFrameHeader(QByteArray::fromHex("00000000000000")));
    }

    void initFrameBodyBytes_data()
    {
        QTest::addColumn<QString>("blockName");
        QTest::addColumn<int>("type");
        QTest::addColumn<quint32>("instanceNumber");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("short name, instance start")
            << "AB" << 1 << quint32(0x01020304)
            << QByteArray::fromHex("000000024142010102030498e4");
        QTest::newRow("real name, message reconnect")
            << "SngazMHL0H4FidKqE6tDyV00KAg_Ztc0wru0wHt8ZrI=" << 3 << quint32(7)
            << QByteArray::fromHex("0000002c536e67617a4d484c3048344669644b7145367444795630304b416"
                                   "75f5a74633077727530774874385a72493d0300000007178f");
    }
    void initFrameBodyBytes()
    {
        QFETCH(QString, blockName);
        QFETCH(int, type);
        QFETCH(quint32, instanceNumber);
        QFETCH(QByteArray, expected);
        QCOMPARE(initFrameBody(blockName, ConnectionType(type), instanceNumber).toHex(),
                 expected.toHex());
    }

    void initFrameBodyParsing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<QByteArray>("blockName");
        QTest::addColumn<int>("type");
        QTest::addColumn<quint32>("instanceNumber");
        QTest::addColumn<bool>("checksumMatches");
        QTest::newRow("valid") << QByteArray::fromHex("000000024142010102030498e4") << true
                               << QByteArray("AB") << 1 << quint32(0x01020304) << true;
        QTest::newRow("checksum off by one bit")
            << QByteArray::fromHex("000000024142010102030498e5") << true << QByteArray("AB") << 1
            << quint32(0x01020304) << false;
        QTest::newRow("name ends at its first zero")
            << QByteArray::fromHex("00000005414200434402000000095437") << true << QByteArray("AB")
            << 2 << quint32(9) << true;
        QTest::newRow("one byte short") << QByteArray::fromHex("000000024142010102030498") << false
                                        << QByteArray() << 0 << quint32(0) << false;
        QTest::newRow("name longer than the body")
            << QByteArray::fromHex("000010004142010102030498e4") << false << QByteArray() << 0
            << quint32(0) << false;
    }
    void initFrameBodyParsing()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, parses);
        const auto frame = parseInitFrameBody(body);
        QCOMPARE(bool(frame), parses);
        if (!parses)
            return;
        QFETCH(QByteArray, blockName);
        QFETCH(int, type);
        QFETCH(quint32, instanceNumber);
        QFETCH(bool, checksumMatches);
        QCOMPARE(frame->blockName, blockName);
        QCOMPARE(int(frame->connectionType), type);
        QCOMPARE(frame->instanceNumber, instanceNumber);
        QCOMPARE(frame->checksumMatches, checksumMatches);
    }
};

QTEST_GUILESS_MAIN(SingleInstanceWireTest)
#include "test_singleinstance_wire.moc"
