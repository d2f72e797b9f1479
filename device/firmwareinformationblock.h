#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// The 256-byte block with which the K3 and M7 boot loaders mark an installed
// application image: start address, version, size and MD5 digest of the
// image, between a start and an end mark. Without both marks the adapter
// holds no usable firmware.
namespace FirmwareInformationBlock {

constexpr int sizeBytes = 256;
constexpr uint8_t startMark = 0x55;
constexpr uint8_t endMark = 0xAA;
constexpr int endMarkOffset = 255;
constexpr int startAddressOffset = 1;
constexpr int versionMajorOffset = 5;
constexpr int versionMinorOffset = 6;
constexpr int versionPatchOffset = 7;
constexpr int imageSizeOffset = 8;
constexpr int imageDigestOffset = 12;
constexpr int imageDigestBytes = 16;

QByteArray build(uint32_t startAddress, uint8_t major, uint8_t minor, uint8_t patch,
                 const QByteArray &image);
// Both marks in place (also used for the K3's configuration block).
bool isMarkedValid(const uint8_t *block);
// "major.minor.patch" of a block.
QString versionText(const uint8_t *block);
uint32_t imageSizeBytes(const uint8_t *block);

} // namespace FirmwareInformationBlock
