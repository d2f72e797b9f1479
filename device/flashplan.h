#pragma once

#include <QByteArray>

#include <cstdint>

// One flash job: the sectors to erase, the segments to write and their bytes.
// The record is zero-filled before use; unused entries stay zero.
struct FlashPlan
{
    static constexpr int maxEntries = 15;
    static constexpr uint32_t slotSizeBytes = 0x20000; // 128 KiB
    static constexpr uint32_t dataAreaBytes = maxEntries * slotSizeBytes;

    struct Segment
    {
        uint32_t address;
        uint32_t size;
    };

    uint8_t eraseSectors[maxEntries];
    uint32_t eraseCount;
    Segment segments[maxEntries];
    uint8_t slot[maxEntries][slotSizeBytes];
    uint32_t totalSize;

    // A new zero-filled plan on the heap.
    static FlashPlan *create();

    uint8_t *slotData(int index) { return slot[index]; }
    const uint8_t *slotData(int index) const { return slot[index]; }
    // Space left in the data area from the start of a slot to its end.
    static uint32_t bytesAvailableFromSlot(int index)
    {
        return dataAreaBytes - uint32_t(index) * slotSizeBytes;
    }
    // Copies bytes to the start of slot index and sets segment index to them.
    // False when they would not end within the data area.
    bool setSegment(int index, uint32_t address, const QByteArray &bytes);
    void addEraseSector(uint8_t sector);
    // Sum of the sizes of the filled segments.
    uint32_t sumOfSegmentSizes() const;
};

// STM32F4 flash sector map (sector 0 at 0x08000000).
namespace Stm32F4Flash {
constexpr uint32_t baseAddress = 0x08000000;
constexpr int sectorCount = 12;
uint32_t sectorAddress(int sector);
uint32_t sectorSizeBytes(int sector);
// Sector holding an address, or -1 outside the 1 MiB of flash.
int sectorOf(uint32_t address);
} // namespace Stm32F4Flash
