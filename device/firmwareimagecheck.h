#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

// Checks made on firmware input before anything touches an adapter.
namespace FirmwareImageCheck {

// A version text "major.minor.patch" whose three parts are decimal numbers
// from 0 to 255 (each is stored in one byte); nothing otherwise.
std::optional<std::array<uint8_t, 3>> parseVersion(const QString &version);

enum class ImageVerdict {
    Plausible,
    TooShort,          // not even the first two words of a vector table
    StackOutsideRam,   // word 0 is no initial stack pointer of an STM32F4
    ResetOutsideImage, // word 1 does not point into the image as placed
    ResetNotThumbCode, // word 1 lacks the Thumb bit every Cortex-M entry has
};

// A raw image carries no header or checksum; what can be checked is that it
// starts the way every Cortex-M application does: with its vector table.
// Word 0 is the initial stack pointer, which must lie in the STM32F4
// family's SRAM (from 0x20000000, at most 384 KiB) or its CCM RAM (from
// 0x10000000, 64 KiB) and may equal the end of either, since the stack
// grows down from there. Word 1 is the reset handler: an address inside the
// image once it sits at imageBase, with the Thumb bit set.
ImageVerdict checkCortexMImage(const QByteArray &image, uint32_t imageBase);
QString describe(ImageVerdict verdict);

} // namespace FirmwareImageCheck
