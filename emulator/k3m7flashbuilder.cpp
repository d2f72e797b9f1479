#include "k3m7flashbuilder.h"

#include "t5flashbuilder.h"
#include "wirebytes.h"

#include <QCryptographicHash>

using namespace WireBytes;

namespace {

constexpr int blockBytes = 256;

void place(QByteArray &flash, quint32 address, const QByteArray &bytes)
{
    flash.replace(int(address - FirmwareFlashBuilder::baseAddress), bytes.size(), bytes);
}

QByteArray fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return QByteArray();
}

QByteArray markedBlock(int bytes, quint32 seed)
{
    QByteArray block = T5FlashBuilder::sampleBytes(bytes, seed);
    block[0] = char(0x55);
    block[bytes - 1] = char(0xAA);
    return block;
}

} // namespace

FirmwareFlashBuilder::FirmwareFlashBuilder(const QString &defaultVersion, int defaultImageBytes,
                                           quint32 imageSeed, quint32 bootLoaderSeed)
    : version(defaultVersion), imageBytes(defaultImageBytes), m_imageSeed(imageSeed),
      m_bootLoaderSeed(bootLoaderSeed)
{
}

QByteArray FirmwareFlashBuilder::effectiveImage() const
{
    return image.isEmpty() ? T5FlashBuilder::sampleBytes(imageBytes, m_imageSeed) : image;
}

QByteArray FirmwareFlashBuilder::buildWithFirmware(int flashBytes, quint32 informationAddress,
                                                   quint32 imageAddress, QString *error) const
{
    const QByteArray firmware = effectiveImage();
    if (quint64(imageAddress - baseAddress) + quint64(firmware.size()) > quint64(flashBytes))
        return fail(
            error,
            QStringLiteral("an image of %1 bytes does not fit the flash").arg(firmware.size()));
    const QByteArray versionBytes = WireBytes::versionBytes(version);
    if (versionBytes.isEmpty())
        return fail(error, QStringLiteral("version \"%1\" is not major.minor.patch").arg(version));
    QByteArray information(blockBytes, '\0');
    information[0] = char(0x55);
    putU32(information, 1, imageAddress);
    information.replace(5, 3, versionBytes);
    putU32(information, 8, quint32(firmware.size()));
    information.replace(12, 16, QCryptographicHash::hash(firmware, QCryptographicHash::Md5));
    information[blockBytes - 1] = char(0xAA);

    QByteArray flash(flashBytes, char(0xFF));
    place(flash, baseAddress, T5FlashBuilder::sampleBytes(4096, m_bootLoaderSeed));
    if (!firmwareLost)
        place(flash, informationAddress, information);
    place(flash, imageAddress, firmware);
    return flash;
}

K3FlashBuilder::K3FlashBuilder()
    : FirmwareFlashBuilder(QStringLiteral("2.1.0"), 20000, 0x63, 0xB003)
{
}

QByteArray K3FlashBuilder::build(QString *error) const
{
    if (effectiveImage().size() > maximumImageBytes)
        return fail(error,
                    QStringLiteral("a K3 image holds at most %1 bytes").arg(maximumImageBytes));
    QByteArray flash = buildWithFirmware(flashBytes, informationAddress, imageAddress, error);
    if (flash.isEmpty())
        return flash;
    if (!configurationLost)
        place(flash, configurationAddress, markedBlock(blockBytes, 0xC0F));
    place(flash, spareAddress, T5FlashBuilder::sampleBytes(blockBytes, 0x5BA));
    return flash;
}

M7FlashBuilder::M7FlashBuilder()
    : FirmwareFlashBuilder(QStringLiteral("1.3.0"), 40000, 0x77, 0xB007)
{
}

QByteArray M7FlashBuilder::build(QString *error) const
{
    QByteArray flash = buildWithFirmware(flashBytes, informationAddress, imageAddress, error);
    if (!flash.isEmpty())
        place(flash, factoryAreaAddress, markedBlock(64, 0xFAC));
    return flash;
}
