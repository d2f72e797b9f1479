#pragma once

#include <QByteArray>
#include <QString>

// A T5 firmware image that starts the way an STM32F4 application does, for
// demonstrations and tests: a Cortex-M vector table at offset 0 (initial
// stack pointer at the end of the first 128 KiB of SRAM, the reset handler
// and the other core exception handlers pointing into the image with the
// Thumb bit set, every interrupt pointing to a default handler, reserved
// entries zero), two tiny Thumb handlers right after the table, and filler
// bytes derived from a seed (never all 0xFF, the same for the same seed).
//
// The image is linked for the address it is written to: 0x08020000 for
// versions below 5.5.0, 0x08040000 from 5.5.0 on. It is no longer than the
// flash area of its layout holds together with the 2-byte end mark.
namespace T5FirmwareImage {

constexpr quint32 oldLayoutAddress = 0x08020000;
constexpr quint32 newLayoutAddress = 0x08040000;
// Sectors 5-6 (old layout) and 6-11 (new layout), less the end mark.
constexpr int oldLayoutMaximumBytes = 0x40000 - 2;
constexpr int newLayoutMaximumBytes = 0xC0000 - 2;
// The 16 core entries of the vector table.
constexpr int minimumBytes = 64;
// The end of the 128 KiB SRAM1 + SRAM2 block every STM32F4 has.
constexpr quint32 initialStackPointer = 0x20020000;
// 16 core exception entries and the 82 interrupts of an STM32F405/407.
constexpr int vectorTableEntries = 98;

// Where an image of that version sits in flash; 0 when the version is not
// "major.minor.patch".
quint32 loadAddress(const QString &version);

// The image, or empty (with *error) when the version is not
// "major.minor.patch" or the size is below minimumBytes or above what the
// layout holds.
QByteArray build(const QString &version, int imageBytes, quint32 seed = 1,
                 QString *error = nullptr);

} // namespace T5FirmwareImage
