#pragma once

#include <QByteArray>
#include <QString>

// Flash images of K3 and M7 adapters with or without a firmware, laid out
// as their boot loaders expect. Both keep a 256-byte firmware-information
// block: 0x55, u32 start address, version major/minor/patch, u32 image
// size, MD5 of the image, zeros, 0xAA at byte 255.
struct FirmwareFlashBuilder
{
    static constexpr quint32 baseAddress = 0x08000000;

    QString version;
    // The image; when empty a deterministic one of imageBytes bytes.
    QByteArray image;
    int imageBytes;
    // The information block is erased (an update that did not finish).
    bool firmwareLost = false;

    virtual ~FirmwareFlashBuilder() = default;
    // The flash image, or empty (with *error) when the image does not fit
    // or the version is not "major.minor.patch" with parts up to 255.
    virtual QByteArray build(QString *error = nullptr) const = 0;
    QByteArray effectiveImage() const;

protected:
    FirmwareFlashBuilder(const QString &defaultVersion, int defaultImageBytes, quint32 imageSeed,
                         quint32 bootLoaderSeed);
    // Erased flash holding a boot-loader stub, the image and (unless lost)
    // its information block.
    QByteArray buildWithFirmware(int flashBytes, quint32 informationAddress, quint32 imageAddress,
                                 QString *error) const;

private:
    quint32 m_imageSeed;
    quint32 m_bootLoaderSeed;
};

// The K3: 256 KiB from 0x08000000; configuration block 0x08004000,
// information block 0x08004100, spare block 0x08004200, image 0x08005000.
struct K3FlashBuilder : FirmwareFlashBuilder
{
    static constexpr int flashBytes = 0x40000;
    static constexpr quint32 configurationAddress = 0x08004000;
    static constexpr quint32 informationAddress = 0x08004100;
    static constexpr quint32 spareAddress = 0x08004200;
    static constexpr quint32 imageAddress = 0x08005000;
    static constexpr int maximumImageBytes = 131072;

    // The configuration block lacks its marks.
    bool configurationLost = false;

    K3FlashBuilder();
    QByteArray build(QString *error = nullptr) const override;
};

// The M7: 1 MiB from 0x08000000; factory area 0x08003FC0, information
// block 0x08004000, image 0x08010000.
struct M7FlashBuilder : FirmwareFlashBuilder
{
    static constexpr int flashBytes = 0x100000;
    static constexpr quint32 factoryAreaAddress = 0x08003FC0;
    static constexpr quint32 informationAddress = 0x08004000;
    static constexpr quint32 imageAddress = 0x08010000;

    M7FlashBuilder();
    QByteArray build(QString *error = nullptr) const override;
};
