#include "k3m7flashbuilder.h"

#include "t5flashbuilder.h"
#include "wirebytes.h"

#include <QCryptographicHash>
#include <QStringList>

using namespace WireBytes;

namespace {

constexpr int blockBytes = 256;

void place(QByteArray &flash, quint32 baseAddress, quint32 address, const QByteArray &bytes)
{
    flash.replace(int(address - baseAddress), bytes.size(), bytes);
}

QByteArray markedBlock(quint32 seed)
{
    QByteArray block = T5FlashBuilder::sampleBytes(blockBytes, seed);
    block[0] = char(0x55);
    block[blockBytes - 1] = char(0xAA);
    return block;
}

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

} // namespace

QByteArray firmwareInformationBlock(quint32 startAddress, const QString &version,
                                    const QByteArray &image)
{
    const QStringList parts = version.split('.');
    if (parts.size() != 3)
        return QByteArray();
    QByteArray block(blockBytes, '\0');
    block[0] = char(0x55);
    putU32(block, 1, startAddress);
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const int value = parts.at(i).toInt(&ok);
        if (!ok || value < 0 || value > 255)
            return QByteArray();
        block[5 + i] = char(value);
    }
    putU32(block, 8, quint32(image.size()));
    block.replace(12, 16, QCryptographicHash::hash(image, QCryptographicHash::Md5));
    block[blockBytes - 1] = char(0xAA);
    return block;
}

QByteArray K3FlashBuilder::effectiveImage() const
{
    return image.isEmpty() ? T5FlashBuilder::sampleBytes(imageBytes, 0x63) : image;
}

QByteArray K3FlashBuilder::build(QString *error) const
{
    const QByteArray firmware = effectiveImage();
    if (firmware.size() > maximumImageBytes) {
        fail(error, QStringLiteral("a K3 image holds at most %1 bytes").arg(maximumImageBytes));
        return QByteArray();
    }
    const QByteArray information = firmwareInformationBlock(imageAddress, version, firmware);
    if (information.isEmpty()) {
        fail(error, QStringLiteral("version \"%1\" is not major.minor.patch").arg(version));
        return QByteArray();
    }
    QByteArray flash(flashBytes, char(0xFF));
    place(flash, baseAddress, baseAddress, T5FlashBuilder::sampleBytes(4096, 0xB003));
    if (!configurationLost)
        place(flash, baseAddress, configurationAddress, markedBlock(0xC0F));
    if (!firmwareLost)
        place(flash, baseAddress, informationAddress, information);
    place(flash, baseAddress, spareAddress, T5FlashBuilder::sampleBytes(blockBytes, 0x5BA));
    place(flash, baseAddress, imageAddress, firmware);
    return flash;
}

QByteArray M7FlashBuilder::effectiveImage() const
{
    return image.isEmpty() ? T5FlashBuilder::sampleBytes(imageBytes, 0x77) : image;
}

QByteArray M7FlashBuilder::build(QString *error) const
{
    const QByteArray firmware = effectiveImage();
    if (quint64(imageAddress - baseAddress) + quint64(firmware.size()) > quint64(flashBytes)) {
        fail(error,
             QStringLiteral("an image of %1 bytes does not fit the flash").arg(firmware.size()));
        return QByteArray();
    }
    const QByteArray information = firmwareInformationBlock(imageAddress, version, firmware);
    if (information.isEmpty()) {
        fail(error, QStringLiteral("version \"%1\" is not major.minor.patch").arg(version));
        return QByteArray();
    }
    QByteArray flash(flashBytes, char(0xFF));
    place(flash, baseAddress, baseAddress, T5FlashBuilder::sampleBytes(4096, 0xB007));
    QByteArray factory = T5FlashBuilder::sampleBytes(64, 0xFAC);
    factory[0] = char(0x55);
    factory[63] = char(0xAA);
    place(flash, baseAddress, factoryAreaAddress, factory);
    if (!firmwareLost)
        place(flash, baseAddress, informationAddress, information);
    place(flash, baseAddress, imageAddress, firmware);
    return flash;
}
