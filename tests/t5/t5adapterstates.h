#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Flash contents of T5 adapters in given states, and the bytes the tests
// expect, written down from the adapter's documented flash map. Offsets are
// relative to 0x08000000 (the start of flash.bin).
namespace T5Flash {

constexpr int flashBytes = 0x100000;
constexpr int infoOffset = 0x3FC0;
constexpr int configOffset = 0x4000;
constexpr int configBytes = 0x4000;
constexpr int blockAOffset = 0x8000;
constexpr int blockBOffset = 0x10000;
constexpr int sector5Offset = 0x20000;
constexpr int sector6Offset = 0x40000;

struct AdapterState
{
    QByteArray serial = QByteArray::fromHex("0a1b2c3d4e5f60718293a4b5");
    int major = 5;
    int minor = 5;
    int patch = 3;
    bool newLayout = true;
    int imageLength = 3000;
    bool firmwareEndMark = true;
    bool infoValid = true;
    int bootMode = 0;
    // Macro records: in the macro block (new layout) or in the
    // configuration from 0x164 (old layout).
    QByteArray macroRecords;
    int macroCount = 0;
    // Extra bytes of data blocks A and B (between the length and the mark).
    int blockALength = 80;
    int blockBLength = 120;
};

// Deterministic bytes that differ from erased flash and from zero.
QByteArray pattern(int length, int seed);
// A firmware image file of that length that starts like an STM32F4
// application placed at imageBase: initial stack pointer at the end of
// 128 KiB of SRAM, reset handler inside the image with the Thumb bit.
QByteArray image(int length, int seed = 1, quint32 imageBase = 0x08040000);
// Where an image of that version lies: 0x08020000 below 5.5.0, else 0x08040000.
quint32 imageBaseFor(const QString &version);

// The configuration sector of an adapter in that state. Settings bytes the
// tool does not interpret carry recognisable values so copies can be traced.
QByteArray config(const AdapterState &state);
QByteArray dataBlock(int length, quint16 mark, int seed);
QByteArray macroBlock(const QByteArray &records, int count);
// One macro record: u16 length, u16 0x1234, format byte, name, header, body.
QByteArray macroRecord(int length, int format, const QByteArray &name, int seed);

QByteArray flash(const AdapterState &state);

// A configuration with the documented changes of the migrations named
// ("5.2.14", "5.2.44", "5.0.0", "5.3.0"), applied in table order.
QByteArray withMigrations(const QByteArray &config, const QStringList &migrations);

// The factory configuration for a version and layout.
QByteArray factoryConfig(int major, int minor, int patch, bool newLayout, int imageLength);

quint16 u16(const QByteArray &bytes, int offset);
void putU16(QByteArray *bytes, int offset, quint16 value);
void putU32(QByteArray *bytes, int offset, quint32 value);

// A .bkp file made the documented way: body + MD5(body), scrambled with
// MD5 of the serial number text.
QByteArray backupFile(const QByteArray &body, const QString &serialText);
// Decodes a .bkp file; empty when its digest does not match.
QByteArray backupBody(const QByteArray &file, const QString &serialText);

} // namespace T5Flash
