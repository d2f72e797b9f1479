#pragma once

#include <QByteArray>
#include <QString>

// Flash images of K3 and M7 adapters with or without a firmware, laid out
// as their boot loaders expect. Both keep a 256-byte firmware-information
// block: 0x55, u32 start address, version major/minor/patch, u32 image
// size, MD5 of the image, zeros, 0xAA at byte 255.

// The K3: 256 KiB from 0x08000000; configuration block 0x08004000,
// information block 0x08004100, spare block 0x08004200, image 0x08005000.
struct K3FlashBuilder
{
    static constexpr quint32 baseAddress = 0x08000000;
    static constexpr int flashBytes = 0x40000;
    static constexpr quint32 configurationAddress = 0x08004000;
    static constexpr quint32 informationAddress = 0x08004100;
    static constexpr quint32 spareAddress = 0x08004200;
    static constexpr quint32 imageAddress = 0x08005000;
    static constexpr int maximumImageBytes = 131072;

    QString version = QStringLiteral("2.1.0");
    // The image; when empty a deterministic one of imageBytes bytes.
    QByteArray image;
    int imageBytes = 20000;
    // The information block is erased (an update that did not finish).
    bool firmwareLost = false;
    // The configuration block lacks its marks.
    bool configurationLost = false;

    QByteArray build(QString *error = nullptr) const;
    QByteArray effectiveImage() const;
};

// The M7: 1 MiB from 0x08000000; factory area 0x08003FC0, information
// block 0x08004000, image 0x08010000.
struct M7FlashBuilder
{
    static constexpr quint32 baseAddress = 0x08000000;
    static constexpr int flashBytes = 0x100000;
    static constexpr quint32 factoryAreaAddress = 0x08003FC0;
    static constexpr quint32 informationAddress = 0x08004000;
    static constexpr quint32 imageAddress = 0x08010000;

    QString version = QStringLiteral("1.3.0");
    QByteArray image;
    int imageBytes = 40000;
    bool firmwareLost = false;

    QByteArray build(QString *error = nullptr) const;
    QByteArray effectiveImage() const;
};

// The 256-byte firmware-information block of both models; empty when the
// version is not "major.minor.patch" with parts up to 255.
QByteArray firmwareInformationBlock(quint32 startAddress, const QString &version,
                                    const QByteArray &image);
