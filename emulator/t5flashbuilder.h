#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Builds the 1 MiB flash image (from 0x08000000) of a T5 adapter in a given
// state, from the adapter's documented flash map: T5Info, T5Config, data
// blocks A and B, the macro block (new layout) and the firmware image with
// its end mark. Bytes no structure covers are erased (0xFF).
//
//   T5FlashBuilder builder;
//   builder.version = "5.4.3";            // old layout
//   builder.records = {T5FlashBuilder::macroRecord(2, "jump", body)};
//   QByteArray flash = builder.build();
struct T5FlashBuilder
{
    static constexpr quint32 baseAddress = 0x08000000;
    static constexpr int flashBytes = 0x100000;
    static constexpr quint32 infoAddress = 0x08003FC0;
    static constexpr quint32 configAddress = 0x08004000;
    static constexpr int configBytes = 0x4000;
    static constexpr quint32 blockAAddress = 0x08008000;
    static constexpr int blockAAreaBytes = 0x8000;
    static constexpr quint32 blockBAddress = 0x08010000;
    static constexpr int blockBAreaBytes = 0x10000;
    static constexpr quint32 macroBlockAddress = 0x08020000;
    static constexpr int macroAreaBytes = 0x20000;
    static constexpr quint32 oldImageAddress = 0x08020000;
    static constexpr quint32 newImageAddress = 0x08040000;
    static constexpr int oldImageAreaBytes = 0x40000; // sectors 5 and 6
    static constexpr int newImageAreaBytes = 0xC0000; // sectors 6 to 11
    static constexpr quint16 oldBlockMark = 0xAA55;
    static constexpr quint16 newBlockMark = 0x55AA;
    static constexpr quint16 imageEndMark = 0xAA55;
    static constexpr int oldRecordHeaderBytes = 85;
    static constexpr int format4RecordHeaderBytes = 132;
    static constexpr int macroHeaderBytes = 64;

    // Below 5.5.0 the old layout (image at 0x08020000, block marks 0xAA55,
    // records in T5Config), from 5.5.0 on the new one (image at 0x08040000,
    // block marks 0x55AA, macro block at 0x08020000).
    QString version = QStringLiteral("5.6.0");
    // The image; when empty one of imageBytes bytes that starts like an
    // STM32F4 application linked for its layout (T5FirmwareImage), with
    // filler from imageSeed.
    QByteArray image;
    int imageBytes = 65536;
    quint32 imageSeed = 0x75;
    // Bytes 1-12 of T5Info.
    QByteArray serial = QByteArray::fromHex("0123456789abcdef01234567");
    int bootMode = 0;
    // Complete macro records (see macroRecord()), in order. Old layout:
    // stored in T5Config; new layout: in the macro block.
    QVector<QByteArray> records;
    // Content of data blocks A and B between their length field and their
    // end mark; empty means the factory content (L = 66, A's bytes 3-8 0xFF).
    QByteArray dataBlockA;
    QByteArray dataBlockB;

    // States of damage.
    bool firmwareLost = false;      // the image has no end mark after it
    bool configurationLost = false; // both data blocks lack their end mark
    bool hardwareFailure = false;   // T5Info's marks are missing

    // The flash image, or empty (with *error) when the parts do not fit
    // their areas or the version is not "major.minor.patch".
    QByteArray build(QString *error = nullptr) const;

    bool usesNewLayout() const;
    quint32 imageAddress() const;
    QByteArray effectiveImage() const;

    // A macro record of the given format: u16 length at 0, u16 0 at 2,
    // format at 4, name from 5, header of 85 bytes (132 for format 4),
    // then the body.
    static QByteArray macroRecord(int format, const QByteArray &name, const QByteArray &body);
    // Deterministic bytes for images and record bodies.
    static QByteArray sampleBytes(int count, quint32 seed = 1);
};
