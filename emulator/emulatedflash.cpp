#include "emulatedflash.h"

#include <cstring>

EmulatedFlash::EmulatedFlash(quint32 baseAddress, const QVector<Sector> &sectors)
    : m_baseAddress(baseAddress), m_sectors(sectors), m_eraseCounts(sectors.size(), 0)
{
    quint32 total = 0;
    for (const Sector &sector : sectors)
        total += sector.size;
    m_bytes.fill(char(0xFF), int(total));
}

EmulatedFlash EmulatedFlash::stm32f4()
{
    constexpr quint32 kib = 1024;
    QVector<Sector> sectors;
    quint32 address = stm32BaseAddress;
    auto add = [&](quint32 size) {
        sectors.append({address, size});
        address += size;
    };
    for (int i = 0; i < 4; ++i)
        add(16 * kib);
    add(64 * kib);
    for (int i = 0; i < 7; ++i)
        add(128 * kib);
    return EmulatedFlash(stm32BaseAddress, sectors);
}

EmulatedFlash EmulatedFlash::uniformPages(quint32 baseAddress, quint32 size, quint32 pageBytes)
{
    QVector<Sector> pages;
    for (quint32 offset = 0; offset < size; offset += pageBytes)
        pages.append({baseAddress + offset, qMin(pageBytes, size - offset)});
    return EmulatedFlash(baseAddress, pages);
}

int EmulatedFlash::sectorAt(quint32 address) const
{
    for (int i = 0; i < m_sectors.size(); ++i) {
        const Sector &sector = m_sectors.at(i);
        if (address >= sector.address && address - sector.address < sector.size)
            return i;
    }
    return -1;
}

bool EmulatedFlash::contains(quint32 address, quint32 length) const
{
    // Written without address + length so that a range wrapping past 4 GiB
    // cannot pass.
    if (address < m_baseAddress)
        return false;
    const quint64 offset = quint64(address) - m_baseAddress;
    return offset + length <= quint64(size());
}

QByteArray EmulatedFlash::read(quint32 address, quint32 length) const
{
    if (!contains(address, length))
        return QByteArray();
    return m_bytes.mid(int(address - m_baseAddress), int(length));
}

bool EmulatedFlash::program(quint32 address, const QByteArray &data)
{
    if (!contains(address, quint32(data.size())))
        return false;
    char *cells = m_bytes.data() + (address - m_baseAddress);
    for (int i = 0; i < data.size(); ++i)
        cells[i] = char(quint8(cells[i]) & quint8(data.at(i)));
    ++m_generation;
    return true;
}

bool EmulatedFlash::eraseSector(int index)
{
    if (index < 0 || index >= m_sectors.size())
        return false;
    const Sector &sector = m_sectors.at(index);
    std::memset(m_bytes.data() + (sector.address - m_baseAddress), 0xFF, sector.size);
    ++m_eraseCounts[index];
    ++m_generation;
    return true;
}

int EmulatedFlash::eraseCount(int sector) const
{
    return sector >= 0 && sector < m_eraseCounts.size() ? m_eraseCounts.at(sector) : 0;
}

void EmulatedFlash::resetCounters()
{
    m_eraseCounts.fill(0);
}

bool EmulatedFlash::setContents(const QByteArray &bytes)
{
    if (bytes.size() != m_bytes.size())
        return false;
    m_bytes = bytes;
    m_bytes.detach();
    ++m_generation;
    return true;
}
