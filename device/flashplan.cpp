#include "flashplan.h"

#include <cstring>

// ---------------------------------------------------------------------------
// FlashPlan

FlashPlan *FlashPlan::create()
{
    // Value-initialisation zero-fills the whole record, slots included.
    return new FlashPlan();
}

bool FlashPlan::setSegment(int index, uint32_t address, const QByteArray &bytes)
{
    if (index < 0 || index >= maxEntries)
        return false;
    const uint32_t size = uint32_t(bytes.size());
    if (size > bytesAvailableFromSlot(index))
        return false;
    // A segment longer than one slot runs on into the following slots.
    std::memcpy(&slot[0][0] + size_t(index) * slotSizeBytes, bytes.constData(), size);
    segments[index].address = address;
    segments[index].size = size;
    return true;
}

void FlashPlan::addEraseSector(uint8_t sector)
{
    if (eraseCount >= uint32_t(maxEntries))
        return;
    eraseSectors[eraseCount++] = sector;
}

uint32_t FlashPlan::sumOfSegmentSizes() const
{
    uint32_t sum = 0;
    for (int index = 0; index < maxEntries && segments[index].size > 0; ++index)
        sum += segments[index].size;
    return sum;
}

// ---------------------------------------------------------------------------
// Stm32F4Flash

namespace Stm32F4Flash {
namespace {
constexpr uint32_t smallSectorBytes = 0x4000;   // sectors 0-3
constexpr uint32_t mediumSectorBytes = 0x10000; // sector 4
constexpr uint32_t largeSectorBytes = 0x20000;  // sectors 5-11
constexpr uint32_t flashSizeBytes = 0x100000;
} // namespace

uint32_t sectorSizeBytes(int sector)
{
    if (sector < 0 || sector >= sectorCount)
        return 0;
    if (sector < 4)
        return smallSectorBytes;
    if (sector == 4)
        return mediumSectorBytes;
    return largeSectorBytes;
}

uint32_t sectorAddress(int sector)
{
    if (sector <= 0)
        return baseAddress;
    if (sector < 4)
        return baseAddress + uint32_t(sector) * smallSectorBytes;
    if (sector == 4)
        return baseAddress + 4 * smallSectorBytes;
    return baseAddress + 4 * smallSectorBytes + mediumSectorBytes +
           uint32_t(sector - 5) * largeSectorBytes;
}

int sectorOf(uint32_t address)
{
    if (address < baseAddress || address - baseAddress >= flashSizeBytes)
        return -1;
    for (int sector = sectorCount - 1; sector >= 0; --sector) {
        if (address >= sectorAddress(sector))
            return sector;
    }
    return -1;
}
} // namespace Stm32F4Flash
