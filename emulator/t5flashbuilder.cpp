#include "t5flashbuilder.h"

#include "t5firmwareimage.h"
#include "wirebytes.h"

#include <QStringList>

using namespace WireBytes;

namespace {

QByteArray fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return QByteArray();
}

// A data block: u16 length L at 0 (counting the 2-byte mark), content, mark at L - 2.
QByteArray dataBlock(const QByteArray &content, quint16 mark, bool markLost)
{
    QByteArray block(2, '\0');
    block.append(content);
    block.append(2, '\0');
    putU16(block, 0, quint16(block.size()));
    // A lost mark reads as erased flash: the write stopped before it.
    putU16(block, block.size() - 2, markLost ? 0xFFFF : mark);
    return block;
}

QByteArray factoryBlockContent(bool blockA)
{
    // L = 66: 62 content bytes between the length and the mark at 64.
    QByteArray content(62, '\0');
    if (blockA) {
        for (int offset = 3; offset <= 8; ++offset)
            content[offset - 2] = char(0xFF);
    }
    return content;
}

} // namespace

bool T5FlashBuilder::usesNewLayout() const
{
    const QStringList parts = version.split('.');
    const int major = parts.value(0).toInt();
    const int minor = parts.value(1).toInt();
    return major > 5 || (major == 5 && minor >= 5);
}

quint32 T5FlashBuilder::imageAddress() const
{
    return usesNewLayout() ? newImageAddress : oldImageAddress;
}

QByteArray T5FlashBuilder::effectiveImage() const
{
    return image.isEmpty() ? T5FirmwareImage::build(version, imageBytes, imageSeed) : image;
}

QByteArray T5FlashBuilder::build(QString *error) const
{
    const QByteArray versionBytes = WireBytes::versionBytes(version);
    if (versionBytes.isEmpty())
        return fail(error, QStringLiteral("version \"%1\" is not major.minor.patch").arg(version));
    const bool newLayout = usesNewLayout();
    QString imageError;
    const QByteArray firmware =
        image.isEmpty() ? T5FirmwareImage::build(version, imageBytes, imageSeed, &imageError)
                        : image;
    if (firmware.isEmpty())
        return fail(error,
                    imageError.isEmpty() ? QStringLiteral("the image is empty") : imageError);
    const int imageArea = newLayout ? newImageAreaBytes : oldImageAreaBytes;
    if (firmware.size() + 2 > imageArea)
        return fail(
            error,
            QStringLiteral("an image of %1 bytes does not fit its area").arg(firmware.size()));

    QByteArray flash(flashBytes, char(0xFF));
    const auto place = [&](quint32 address, const QByteArray &bytes) {
        flash.replace(int(address - baseAddress), bytes.size(), bytes);
    };

    // Sector 0: a boot loader stub, and T5Info in its last 64 bytes.
    place(baseAddress, sampleBytes(4096, 0xB007));
    QByteArray info(64, char(0xFF));
    info.replace(1, 12, serial.left(12).leftJustified(12, '\0'));
    if (!hardwareFailure) {
        info[0] = char(0x55);
        info[63] = char(0xAA);
    }
    place(infoAddress, info);

    // T5Config as an update leaves it.
    QByteArray config(configBytes, '\0');
    config[0] = char(0x55);
    config.replace(1, 3, versionBytes);
    putU32(config, 4, imageAddress());
    putU32(config, 8, quint32(firmware.size()));
    putU16(config, 0x40, 0xAA55);
    const quint16 settings[] = {0x1245, 0x1252, 0x1251, 0x124F, 0x1250};
    for (int i = 0; i < 5; ++i)
        putU16(config, 0x46 + 2 * i, settings[i]);
    config[0x7E] = char(0x10);
    config[0x7F] = char(0x00);
    config[0x82] = char(bootMode);
    config[0x3F1D] = char(0x55);
    config[0x3F1E] = char(1);
    config[0x3FFE] = char(0xAA);
    config[0x3FFF] = char(0xAA);

    QByteArray recordBytes;
    for (const QByteArray &record : records)
        recordBytes.append(record);
    if (!newLayout) {
        if (0x164 + recordBytes.size() > 0x3F1D || recordBytes.size() > 0xFFFF)
            return fail(
                error,
                QStringLiteral("%1 record bytes do not fit T5Config").arg(recordBytes.size()));
        config[0x124] = char(records.size());
        putU16(config, 0x125, quint16(recordBytes.size()));
        config.replace(0x164, recordBytes.size(), recordBytes);
    }
    place(configAddress, config);

    const quint16 blockMark = newLayout ? newBlockMark : oldBlockMark;
    const QByteArray blockA =
        dataBlock(dataBlockA.isEmpty() ? factoryBlockContent(true) : dataBlockA, blockMark,
                  configurationLost);
    const QByteArray blockB =
        dataBlock(dataBlockB.isEmpty() ? factoryBlockContent(false) : dataBlockB, blockMark,
                  configurationLost);
    if (blockA.size() > blockAAreaBytes || blockB.size() > blockBAreaBytes)
        return fail(error, QStringLiteral("a data block does not fit its area"));
    place(blockAAddress, blockA);
    place(blockBAddress, blockB);

    if (newLayout) {
        QByteArray macro(macroHeaderBytes, '\0');
        macro.append(recordBytes);
        macro.append(2, '\0');
        if (macro.size() > macroAreaBytes)
            return fail(error, QStringLiteral("%1 record bytes do not fit the macro block")
                                   .arg(recordBytes.size()));
        putU16(macro, 0, quint16(macro.size()));
        macro[2] = char(records.size());
        putU16(macro, 3, quint16(recordBytes.size()));
        putU16(macro, macroHeaderBytes + recordBytes.size(), newBlockMark);
        place(macroBlockAddress, macro);
    }

    QByteArray imageWithMark = firmware;
    imageWithMark.append(2, '\0');
    putU16(imageWithMark, firmware.size(), firmwareLost ? 0xFFFF : imageEndMark);
    place(imageAddress(), imageWithMark);
    return flash;
}

QByteArray T5FlashBuilder::macroRecord(int format, const QByteArray &name, const QByteArray &body)
{
    const int headerBytes = format >= 4 ? format4RecordHeaderBytes : oldRecordHeaderBytes;
    QByteArray record(headerBytes, '\0');
    putU16(record, 0, quint16(headerBytes + body.size()));
    record[4] = char(format);
    record.replace(5, qMin(name.size(), 32), name.left(32));
    record.append(body);
    return record;
}

QByteArray T5FlashBuilder::sampleBytes(int count, quint32 seed)
{
    QByteArray bytes(qMax(0, count), '\0');
    quint32 state = seed * 2654435761u + 1;
    for (int i = 0; i < bytes.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state & 0xFF);
    }
    return bytes;
}
