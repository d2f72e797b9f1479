#include "clicommon.h"
#include "hidcalls.h"
#include "t5firmwareimage.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Where an STM32F4 application's initial stack pointer may lie: SRAM from
// 0x20000000 (at most 384 KiB) or CCM RAM from 0x10000000 (64 KiB); the
// stack pointer may equal the end of either.
bool stackPointerInRam(quint32 value)
{
    return (value >= 0x20000000 && value <= 0x20060000) ||
           (value >= 0x10000000 && value <= 0x10010000);
}

// A handler address: Thumb bit set, and the instruction it names (2 bytes at
// least) lies inside the image as it sits in flash.
bool handlerInImage(quint32 value, quint32 base, int imageBytes)
{
    const quint32 target = value & ~1u;
    return (value & 1u) && target >= base && quint64(target) + 2 <= quint64(base) + imageBytes;
}

} // namespace

class TestT5FirmwareImage : public QObject
{
    Q_OBJECT

private slots:
    void vectorTableFitsTheLayout_data();
    void vectorTableFitsTheLayout();
    void fillerComesFromTheSeed();
    void refusesWhatCannotBeAnImage_data();
    void refusesWhatCannotBeAnImage();
    void commandWritesTheImage();
    void commandRefusesBadArguments_data();
    void commandRefusesBadArguments();
};

void TestT5FirmwareImage::vectorTableFitsTheLayout_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<quint32>("base");
    QTest::newRow("old layout, smallest") << "5.4.9" << 64 << 0x08020000u;
    QTest::newRow("new layout from 5.5.0, smallest") << "5.5.0" << 64 << 0x08040000u;
    QTest::newRow("odd size") << "5.2.44" << 1001 << 0x08020000u;
    QTest::newRow("new layout, typical") << "5.6.2" << 300000 << 0x08040000u;
    QTest::newRow("old layout, largest") << "5.4.0" << 0x3FFFE << 0x08020000u;
    QTest::newRow("new layout, largest") << "6.0.0" << 0xBFFFE << 0x08040000u;
}

void TestT5FirmwareImage::vectorTableFitsTheLayout()
{
    QFETCH(QString, version);
    QFETCH(int, imageBytes);
    QFETCH(quint32, base);
    QCOMPARE(T5FirmwareImage::loadAddress(version), base);
    QString error;
    const QByteArray image = T5FirmwareImage::build(version, imageBytes, 7, &error);
    QVERIFY2(image.size() == imageBytes, qPrintable(error));

    // Word 0: the stack pointer at the end of 128 KiB of SRAM.
    QCOMPARE(u32At(image, 0), 0x20020000u);
    QVERIFY(stackPointerInRam(u32At(image, 0)));
    // Words 1-6: reset, NMI, HardFault, MemManage, BusFault, UsageFault;
    // present even in the smallest image.
    for (int entry = 1; entry <= 6; ++entry)
        QVERIFY2(handlerInImage(u32At(image, 4 * entry), base, imageBytes),
                 qPrintable(QString::number(entry)));
    // An image of 1 KiB or more holds the whole table: SVCall, DebugMon,
    // PendSV and SysTick at 11, 12, 14, 15, reserved words 7-10 and 13 zero,
    // the 82 interrupts zero or a handler.
    if (imageBytes >= 1024) {
        for (int entry = 7; entry < 98; ++entry) {
            const quint32 value = u32At(image, 4 * entry);
            if ((entry >= 7 && entry <= 10) || entry == 13)
                QCOMPARE(value, 0u);
            else if (entry < 16 || value != 0)
                QVERIFY2(handlerInImage(value, base, imageBytes),
                         qPrintable(QString::number(entry)));
        }
    }
    // The reset handler names code, not an empty table slot or erased flash.
    const int resetOffset = int((u32At(image, 4) & ~1u) - base);
    const quint16 firstInstruction = u16At(image, resetOffset);
    QVERIFY(firstInstruction != 0x0000 && firstInstruction != 0xFFFF);
    QVERIFY(image.count(char(0xFF)) < image.size());
}

void TestT5FirmwareImage::fillerComesFromTheSeed()
{
    const QByteArray first = T5FirmwareImage::build("5.6.0", 4096, 1);
    QCOMPARE(T5FirmwareImage::build("5.6.0", 4096, 1), first);
    const QByteArray other = T5FirmwareImage::build("5.6.0", 4096, 2);
    QCOMPARE(other.size(), 4096);
    QCOMPARE(other.left(98 * 4), first.left(98 * 4)); // the same program start
    QVERIFY(other.mid(1024) != first.mid(1024));
    // Not erased flash, nor a run of one byte.
    QVERIFY(first.mid(1024).count(first.at(1024)) < 512);
}

void TestT5FirmwareImage::refusesWhatCannotBeAnImage_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("imageBytes");
    QTest::newRow("63 bytes") << "5.6.0" << 63;
    QTest::newRow("8 bytes") << "5.6.0" << 8;
    QTest::newRow("empty") << "5.6.0" << 0;
    QTest::newRow("negative") << "5.6.0" << -1;
    QTest::newRow("old layout one byte too large") << "5.4.3" << 0x3FFFF;
    QTest::newRow("new layout one byte too large") << "5.5.0" << 0xBFFFF;
    QTest::newRow("two-part version") << "5.5" << 1000;
    QTest::newRow("not a number") << "5.x.0" << 1000;
    QTest::newRow("part above 255") << "5.256.0" << 1000;
}

void TestT5FirmwareImage::refusesWhatCannotBeAnImage()
{
    QFETCH(QString, version);
    QFETCH(int, imageBytes);
    QString error;
    QVERIFY(T5FirmwareImage::build(version, imageBytes, 1, &error).isEmpty());
    QVERIFY(!error.isEmpty());
}

void TestT5FirmwareImage::commandWritesTheImage()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("firmware.bin"));
    QCOMPARE(runEmulatorCommand(
                 {"t5-image", "--version", "5.4.3", "--image-bytes", "5000", "--out", path}),
             int(Cli::exitSuccess));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray image = file.readAll();
    QCOMPARE(image.size(), 5000);
    QVERIFY(stackPointerInRam(u32At(image, 0)));
    QVERIFY(handlerInImage(u32At(image, 4), 0x08020000, 5000));
    file.close();

    // --seed changes the filler, not the start.
    QCOMPARE(runEmulatorCommand({"t5-image", "--version", "5.4.3", "--image-bytes", "5000",
                                 "--seed", "9", "--out", path}),
             int(Cli::exitSuccess));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray reseeded = file.readAll();
    QCOMPARE(reseeded.left(392), image.left(392));
    QVERIFY(reseeded != image);
}

void TestT5FirmwareImage::commandRefusesBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("below 64 bytes")
        << QStringList{"t5-image", "--version", "5.6.0", "--image-bytes", "63", "--out", "x"};
    QTest::newRow("past the new layout")
        << QStringList{"t5-image", "--version", "5.6.0", "--image-bytes", "786431", "--out", "x"};
    QTest::newRow("no version") << QStringList{"t5-image", "--image-bytes", "100", "--out", "x"};
    QTest::newRow("bad version") << QStringList{"t5-image", "--version", "5.6", "--image-bytes",
                                                "100",      "--out",     "x"};
    QTest::newRow("no size") << QStringList{"t5-image", "--version", "5.6.0", "--out", "x"};
    QTest::newRow("size not a number")
        << QStringList{"t5-image", "--version", "5.6.0", "--image-bytes", "1k", "--out", "x"};
    QTest::newRow("no output") << QStringList{"t5-image", "--version", "5.6.0", "--image-bytes",
                                              "100"};
    QTest::newRow("bad seed") << QStringList{
        "t5-image", "--version", "5.6.0", "--image-bytes", "100", "--seed", "-3", "--out", "x"};
}

void TestT5FirmwareImage::commandRefusesBadArguments()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir folder;
    const int outIndex = arguments.indexOf(QStringLiteral("--out"));
    if (outIndex >= 0)
        arguments[outIndex + 1] = folder.filePath(arguments.at(outIndex + 1));
    QCOMPARE(runEmulatorCommand(arguments), int(Cli::exitUsage));
    QVERIFY(QDir(folder.path()).isEmpty());
}

QTEST_GUILESS_MAIN(TestT5FirmwareImage)
#include "tst_t5firmwareimage.moc"
