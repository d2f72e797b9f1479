#include "t5configuration.h"

#include "memoryframe.h"
#include "versiontext.h"

#include <cstring>

using namespace T5FlashLayout;
using namespace LittleEndian;

namespace T5Configuration {
namespace {
// The five u16 settings a factory configuration starts with.
void writeFactorySettings(uint8_t *config)
{
    const uint16_t settings[5] = {0x1245, 0x1252, 0x1251, 0x124F, 0x1250};
    for (int index = 0; index < 5; ++index)
        writeU16(config, configSettingsOffset + 2 * index, settings[index]);
}
} // namespace

Layout layoutForVersion(const QString &version)
{
    return VersionText::compare(version, QStringLiteral("5.5.0")) < 0 ? Layout::Old : Layout::New;
}

uint32_t imageBase(Layout layout)
{
    return layout == Layout::Old ? oldLayoutImageBase : newLayoutImageBase;
}

uint32_t imageAreaBytes(Layout layout)
{
    return layout == Layout::Old ? oldLayoutImageAreaBytes : newLayoutImageAreaBytes;
}

uint16_t blockMark(Layout layout)
{
    return layout == Layout::Old ? oldLayoutMark : newLayoutMark;
}

QList<uint8_t> imageEraseSectors(Layout layout, uint32_t imageLength)
{
    if (layout == Layout::Old)
        return {5, 6};
    QList<uint8_t> sectors;
    const uint32_t sectorsNeeded = ((imageLength + 2) >> largeSectorShift) + 1;
    for (uint32_t index = 0; index < sectorsNeeded; ++index) {
        const uint32_t sector = firstNewLayoutImageSector + index;
        if (sector > lastFlashSector)
            break;
        sectors.append(uint8_t(sector));
    }
    return sectors;
}

bool isComplete(const QByteArray &config)
{
    if (config.size() != int(configSizeBytes))
        return false;
    const uint8_t *bytes = bytesOf(config);
    return bytes[configStartMarkOffset] == startMark &&
           readU16(bytes, configValidMarkOffset) == configValidMark &&
           bytes[configEndMarkOffset] == endMark;
}

QString versionText(const QByteArray &config)
{
    const VersionBytes version = versionBytes(config);
    return QStringLiteral("%1.%2.%3").arg(version[0]).arg(version[1]).arg(version[2]);
}

VersionBytes versionBytes(const QByteArray &config)
{
    if (config.size() < configVersionOffset + 3)
        return {};
    const uint8_t *bytes = bytesOf(config);
    return {bytes[configVersionOffset], bytes[configVersionOffset + 1],
            bytes[configVersionOffset + 2]};
}

int storedBootMode(const QByteArray &config)
{
    if (config.size() <= configBootModeOffset)
        return 0;
    const uint8_t stored = bytesOf(config)[configBootModeOffset];
    return stored < 5 ? int(stored) : 0;
}

bool isVersionBelow(const QStringList &current, const QString &threshold)
{
    return VersionText::compare(current, VersionText::parts(threshold)) < 0;
}

void applyMigrations(QByteArray *config, Layout target, const QString &settingsVersion)
{
    const QStringList current = VersionText::parts(settingsVersion);
    uint8_t *bytes = bytesOf(config);
    if (target == Layout::Old && isVersionBelow(current, QStringLiteral("5.2.14"))) {
        bytes[configMacroCountOffset] = 0;
        writeU16(bytes, configMacroTotalOffset, 0);
    }
    if (isVersionBelow(current, QStringLiteral("5.2.44")))
        bytes[configSetting7FOffset] = 0;
    if (isVersionBelow(current, QStringLiteral("5.0.0"))) {
        bytes[configSetting7EOffset] = 0x10;
        bytes[configSetting7FOffset] = 0;
        writeFactorySettings(bytes);
        bytes[configTailSettingsOffset] = 1;
        bytes[configTailSettingsOffset + 1] = 0;
        bytes[configTailSettingsOffset + 2] = 0;
    }
    if (isVersionBelow(current, QStringLiteral("5.3.0"))) {
        std::memset(bytes + configTailStartOffset, 0,
                    configTailEndOffset - configTailStartOffset + 1);
        bytes[configTailStartOffset] = startMark;
        bytes[configTailEndOffset] = endMark;
        bytes[configTailSetting21Offset] = 0;
        bytes[configTailSettingsOffset] = 1;
        bytes[configTailSettingsOffset + 1] = 0;
        bytes[configTailSettingsOffset + 2] = 0;
    }
}

void describeImage(QByteArray *config, const VersionBytes &version, uint32_t imageBase,
                   uint32_t imageLength)
{
    uint8_t *bytes = bytesOf(config);
    bytes[configStartMarkOffset] = startMark;
    for (int index = 0; index < 3; ++index)
        bytes[configVersionOffset + index] = version[size_t(index)];
    writeU32(bytes, configImageAddressOffset, imageBase);
    writeU32(bytes, configImageLengthOffset, imageLength);
    writeU16(bytes, configValidMarkOffset, configValidMark);
    bytes[configEndMarkOffset] = endMark;
}

void keepFirmwareDescription(QByteArray *config, const QByteArray &from)
{
    uint8_t *bytes = bytesOf(config);
    std::memcpy(bytes + firmwareDescriptionOffset, bytesOf(from) + firmwareDescriptionOffset,
                firmwareDescriptionBytes);
    bytes[configStartMarkOffset] = startMark;
    bytes[configEndMarkOffset] = endMark;
}

QByteArray factoryConfiguration(const VersionBytes &version, Layout layout, uint32_t imageLength)
{
    QByteArray factory(int(configSizeBytes), '\0');
    describeImage(&factory, version, imageBase(layout), imageLength);
    uint8_t *bytes = bytesOf(&factory);
    writeFactorySettings(bytes);
    bytes[configSetting7EOffset] = 0x10;
    bytes[configTailStartOffset] = startMark;
    writeU32(bytes, configTailSettingsOffset, 1);
    bytes[configTailEndOffset] = endMark;
    return factory;
}

QByteArray emptyBlock(uint16_t mark)
{
    QByteArray block(emptyBlockLengthBytes, '\0');
    writeU16(bytesOf(&block), 0, emptyBlockLengthBytes);
    writeU16(bytesOf(&block), emptyBlockLengthBytes - 2, mark);
    return block;
}

QByteArray factoryBlockA(uint16_t mark)
{
    QByteArray block = emptyBlock(mark);
    for (int index = 3; index <= 8; ++index)
        block[index] = char(0xFF);
    return block;
}

QByteArray imageWithEndMark(const QByteArray &image)
{
    QByteArray bytes = image;
    bytes.append(char(firmwareEndMark & 0xFF));
    bytes.append(char(firmwareEndMark >> 8));
    return bytes;
}

} // namespace T5Configuration
