#pragma once

#include "sectoradapter.h"

// The M7 adapter (0xB471, no interface part): the shared read, write and
// sector erase, and a readable, not writable 12-byte chip identifier at
// 0x1FFF7A10. Sector 0 also keeps the factory area at 0x08003FC0.
class M7Adapter : public SectorAdapter
{
public:
    static constexpr quint16 modelProductId = 0xB471;
    static constexpr quint32 chipIdAddress = 0x1FFF7A10;
    static constexpr int chipIdBytes = 12;

    explicit M7Adapter(const QString &name = QStringLiteral("m7"));

    using FlashAdapter::chipId;
    using FlashAdapter::setChipId;
};
