#include "firmwareinformationblock.h"

#include "memoryframe.h"

#include <QCryptographicHash>

#include <cstring>

namespace FirmwareInformationBlock {

QByteArray build(uint32_t startAddress, uint8_t major, uint8_t minor, uint8_t patch,
                 const QByteArray &image)
{
    QByteArray block(sizeBytes, '\0');
    uint8_t *bytes = bytesOf(&block);
    bytes[0] = startMark;
    LittleEndian::writeU32(bytes, startAddressOffset, startAddress);
    bytes[versionMajorOffset] = major;
    bytes[versionMinorOffset] = minor;
    bytes[versionPatchOffset] = patch;
    LittleEndian::writeU32(bytes, imageSizeOffset, uint32_t(image.size()));
    const QByteArray digest = QCryptographicHash::hash(image, QCryptographicHash::Md5);
    std::memcpy(bytes + imageDigestOffset, digest.constData(), size_t(digest.size()));
    bytes[endMarkOffset] = endMark;
    return block;
}

bool isMarkedValid(const uint8_t *block)
{
    return block[0] == startMark && block[endMarkOffset] == endMark;
}

QString versionText(const uint8_t *block)
{
    return QStringLiteral("%1.%2.%3")
        .arg(unsigned(block[versionMajorOffset]))
        .arg(unsigned(block[versionMinorOffset]))
        .arg(unsigned(block[versionPatchOffset]));
}

uint32_t imageSizeBytes(const uint8_t *block)
{
    return LittleEndian::readU32(block, imageSizeOffset);
}

} // namespace FirmwareInformationBlock
