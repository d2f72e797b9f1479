#pragma once

#include <cstdint>

// Where the T5 keeps what in its STM32F4 flash, and the marks that tell
// whether each part is whole.
namespace T5FlashLayout {

// Flash map.
constexpr uint32_t infoAddress = 0x08003FC0;
constexpr uint32_t infoSizeBytes = 64;
constexpr uint32_t configAddress = 0x08004000;
constexpr uint32_t configSizeBytes = 0x4000;
constexpr uint32_t dataBlockAAddress = 0x08008000;
constexpr uint32_t dataBlockAAreaBytes = 0x8000;
constexpr uint32_t dataBlockBAddress = 0x08010000;
constexpr uint32_t dataBlockBAreaBytes = 0x10000;
constexpr uint32_t macroBlockAddress = 0x08020000;
constexpr uint32_t macroBlockAreaBytes = 0x20000;
constexpr uint32_t oldLayoutImageBase = 0x08020000;
constexpr uint32_t newLayoutImageBase = 0x08040000;
// Flash the image and its end mark may occupy in each layout.
constexpr uint32_t oldLayoutImageAreaBytes = 0x40000;
constexpr uint32_t newLayoutImageAreaBytes = 0xC0000;
// A stored image this long or longer cannot be a new-layout image.
constexpr uint32_t newLayoutImageLengthLimit = 0xE0000;
constexpr uint8_t configSector = 1;
constexpr uint8_t dataBlockASectors[2] = {2, 3};
constexpr uint8_t dataBlockBSector = 4;
constexpr uint8_t macroBlockSector = 5;
constexpr uint8_t firstNewLayoutImageSector = 6;
constexpr uint8_t lastFlashSector = 11;
constexpr int largeSectorShift = 17; // 128 KiB sectors

// Integrity marks.
constexpr uint8_t startMark = 0x55;
constexpr uint8_t endMark = 0xAA;
constexpr uint16_t oldLayoutMark = 0xAA55;
constexpr uint16_t newLayoutMark = 0x55AA;
constexpr uint16_t firmwareEndMark = 0xAA55;
constexpr uint16_t configValidMark = 0xAA55;

// T5Info offsets.
constexpr int infoSerialOffset = 1;
constexpr int infoSerialBytes = 12;
constexpr int infoEndMarkOffset = 63;

// T5Config offsets.
constexpr int configStartMarkOffset = 0x0000;
constexpr int configVersionOffset = 0x0001;
constexpr int configImageAddressOffset = 0x0004;
constexpr int configImageLengthOffset = 0x0008;
constexpr int configValidMarkOffset = 0x0040;
constexpr int configSettingsOffset = 0x0046; // five u16
constexpr int configSetting7EOffset = 0x007E;
constexpr int configSetting7FOffset = 0x007F;
constexpr int configBootModeOffset = 0x0082;
constexpr int configMacroCountOffset = 0x0124;
constexpr int configMacroTotalOffset = 0x0125;
constexpr int configMacroRecordsOffset = 0x0164;
constexpr int configTailStartOffset = 0x3F1D;
constexpr int configTailSettingsOffset = 0x3F1E;
constexpr int configTailSetting21Offset = 0x3F21;
constexpr int configTailEndOffset = 0x3FFE;
constexpr int configEndMarkOffset = 0x3FFF;
// Bytes 1 to 0x41: version, image location and length, valid mark. They
// describe the installed firmware rather than the user's settings.
constexpr int firmwareDescriptionOffset = 1;
constexpr int firmwareDescriptionBytes = configValidMarkOffset + 2 - 1;

// Data blocks and macro block.
constexpr uint16_t emptyBlockLengthBytes = 66;
constexpr int macroHeaderBytes = 64;
constexpr int macroCountOffset = 2;
constexpr int macroTotalOffset = 3;

// Backup file.
constexpr int backupBodyBytes = 0x3C400;
constexpr int backupDigestBytes = 16;
constexpr uint32_t backupStartAddress = 0x08004000;
constexpr uint32_t backupLengthOldLayout = 0x1C000;
constexpr uint32_t backupLengthNewLayout = 0x3C000;
constexpr int backupDataBlockAOffset = 0x4000;
constexpr int backupDataBlockBOffset = 0xC000;
constexpr int backupMacroBlockOffset = 0x1C000;

enum class Layout { Old, New };

} // namespace T5FlashLayout
