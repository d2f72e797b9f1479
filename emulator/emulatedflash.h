#pragma once

#include <QByteArray>
#include <QVector>

#include <QtGlobal>

// Microcontroller flash as the adapters' boot loaders see it: erased bytes
// read 0xFF, programming can only clear bits (the cell keeps old AND new),
// and only erasing a whole sector (or page, on parts erased in pages) sets
// bits again.
class EmulatedFlash
{
public:
    struct Sector
    {
        quint32 address;
        quint32 size;
    };

    static constexpr quint32 stm32BaseAddress = 0x08000000;

    EmulatedFlash(quint32 baseAddress, const QVector<Sector> &sectors);

    // STM32F4 with 1 MiB: sectors 0-3 of 16 KiB, 4 of 64 KiB, 5-11 of 128 KiB.
    static EmulatedFlash stm32f4();
    // A part erased in pages of one size (the K3's 256 KiB in 2 KiB pages).
    static EmulatedFlash uniformPages(quint32 baseAddress, quint32 size, quint32 pageBytes);

    quint32 baseAddress() const { return m_baseAddress; }
    quint32 size() const { return quint32(m_bytes.size()); }
    int sectorCount() const { return m_sectors.size(); }
    Sector sector(int index) const { return m_sectors.at(index); }
    // The sector holding address, -1 outside the flash.
    int sectorAt(quint32 address) const;

    bool contains(quint32 address, quint32 length) const;
    // Empty when the range is not entirely inside the flash.
    QByteArray read(quint32 address, quint32 length) const;
    // Stores old AND new for every byte; false (nothing changed) outside the flash.
    bool program(quint32 address, const QByteArray &data);
    bool eraseSector(int index);

    // How often each sector was erased since construction or resetCounters().
    int eraseCount(int sector) const;
    void resetCounters();

    const QByteArray &contents() const { return m_bytes; }
    // Replaces the whole contents; false when the size differs.
    bool setContents(const QByteArray &bytes);
    // Raised by every change, so a writer can tell whether a copy is stale.
    quint64 generation() const { return m_generation; }

private:
    quint32 m_baseAddress;
    QVector<Sector> m_sectors;
    QVector<int> m_eraseCounts;
    QByteArray m_bytes;
    quint64 m_generation = 0;
};
