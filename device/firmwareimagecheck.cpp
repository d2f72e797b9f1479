#include "firmwareimagecheck.h"

#include "memoryframe.h"

#include <QStringList>

namespace FirmwareImageCheck {
namespace {
constexpr uint32_t sramBase = 0x20000000;
constexpr uint32_t sramLargestBytes = 384 * 1024; // STM32F469/479
constexpr uint32_t ccmRamBase = 0x10000000;
constexpr uint32_t ccmRamBytes = 64 * 1024;
constexpr int vectorTableWordsChecked = 2;

bool inRange(uint32_t value, uint32_t base, uint32_t sizeBytes)
{
    // The end itself is allowed: an empty descending stack starts there.
    return value >= base && value - base <= sizeBytes;
}
} // namespace

std::optional<std::array<uint8_t, 3>> parseVersion(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 3)
        return std::nullopt;
    std::array<uint8_t, 3> numbers{};
    for (int index = 0; index < 3; ++index) {
        const QString &part = parts.at(index);
        // Digits only: toUInt would also take "+5" or " 5".
        if (part.isEmpty() || part.size() > 3)
            return std::nullopt;
        for (const QChar character : part) {
            if (character < QLatin1Char('0') || character > QLatin1Char('9'))
                return std::nullopt;
        }
        const unsigned value = part.toUInt();
        if (value > 255)
            return std::nullopt;
        numbers[size_t(index)] = uint8_t(value);
    }
    return numbers;
}

ImageVerdict checkCortexMImage(const QByteArray &image, uint32_t imageBase)
{
    if (image.size() < vectorTableWordsChecked * 4)
        return ImageVerdict::TooShort;
    const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
    const uint32_t initialStackPointer = LittleEndian::readU32(bytes, 0);
    const uint32_t resetHandler = LittleEndian::readU32(bytes, 4);
    if (!inRange(initialStackPointer, sramBase, sramLargestBytes) &&
        !inRange(initialStackPointer, ccmRamBase, ccmRamBytes))
        return ImageVerdict::StackOutsideRam;
    if ((resetHandler & 1u) == 0)
        return ImageVerdict::ResetNotThumbCode;
    const uint32_t entry = resetHandler & ~1u;
    if (entry < imageBase || uint64_t(entry) - imageBase >= uint64_t(image.size()))
        return ImageVerdict::ResetOutsideImage;
    return ImageVerdict::Plausible;
}

QString describe(ImageVerdict verdict)
{
    switch (verdict) {
    case ImageVerdict::Plausible:
        return QStringLiteral("plausible");
    case ImageVerdict::TooShort:
        return QStringLiteral("shorter than a vector table");
    case ImageVerdict::StackOutsideRam:
        return QStringLiteral("initial stack pointer outside the STM32F4's RAM");
    case ImageVerdict::ResetOutsideImage:
        return QStringLiteral("reset handler outside the image");
    case ImageVerdict::ResetNotThumbCode:
        return QStringLiteral("reset handler without the Thumb bit");
    }
    return {};
}

} // namespace FirmwareImageCheck
