#include "flashadapter.h"

FlashAdapter::FlashAdapter(const QString &name, quint16 productId, int interfaceNumber,
                           const EmulatedFlash &flash, int dataBytes, quint32 chipIdAddress,
                           int chipIdBytes)
    : EmulatedAdapter(name, vendor, productId, interfaceNumber), m_flash(flash),
      m_dataBytes(dataBytes), m_chipIdAddress(chipIdAddress), m_chipId(chipIdBytes, '\0')
{
}

void FlashAdapter::read(quint32 address, quint32 length)
{
    ++m_reads;
    QByteArray memory;
    if (length >= 1 && length <= quint32(m_dataBytes)) {
        if (m_flash.contains(address, length))
            memory = m_flash.read(address, length);
        else if (address >= m_chipIdAddress &&
                 quint64(address - m_chipIdAddress) + length <= quint64(m_chipId.size()))
            memory = m_chipId.mid(int(address - m_chipIdAddress), int(length));
    }
    queueReply(frame(memory.isEmpty() ? RefusedReply : DataReply, address, length, memory));
}

void FlashAdapter::write(quint32 address, quint32 length, const QByteArray &data)
{
    const int write = ++m_writes;
    if (length < 1 || length > quint32(m_dataBytes) || address < firstWritableAddress ||
        !m_flash.contains(address, length)) {
        queueReply(frame(RefusedReply, address, length));
        return;
    }
    m_flash.program(address, data.left(int(length)));
    QByteArray echo = m_flash.read(address, length);
    if (write == faults().wrongEchoAtChunk)
        echo[0] = char(echo.at(0) ^ 0xFF);
    queueReply(frame(DataReply, address, length, echo));
}

bool FlashAdapter::eraseAllowed()
{
    const int erase = ++m_erases;
    const Faults faults = this->faults();
    return !faults.eraseRefused && erase != faults.eraseRefusedAtErase;
}

int FlashAdapter::eraseSectors(const QVector<int> &sectors, const QByteArray &acknowledgement)
{
    const Faults faults = this->faults();
    const bool cut = faults.eraseCutAtErase != 0 && m_erases == faults.eraseCutAtErase;
    const int erased = cut ? qMin(faults.eraseCutAfterSectors, sectors.size()) : sectors.size();
    for (int i = 0; i < erased; ++i)
        m_flash.eraseSector(sectors.at(i));
    const int erasingMs = m_eraseMsPerSector * erased;
    if (faults.eraseAcknowledgedEarly)
        queueReply(acknowledgement);
    if (cut) {
        losePowerAfter(erasingMs);
        return erased;
    }
    if (!faults.eraseAcknowledgedEarly)
        queueReply(acknowledgement, erasingMs);
    occupyFor(erasingMs);
    return erased;
}

void FlashAdapter::resetCounters()
{
    Lock locker = lock();
    EmulatedAdapter::resetCounters();
    m_reads = m_writes = m_erases = 0;
}

int FlashAdapter::eraseMsPerSector() const
{
    Lock locker = lock();
    return m_eraseMsPerSector;
}

void FlashAdapter::setEraseMsPerSector(int milliseconds)
{
    Lock locker = lock();
    m_eraseMsPerSector = milliseconds;
}

int FlashAdapter::readsReceived() const
{
    Lock locker = lock();
    return m_reads;
}

int FlashAdapter::writesReceived() const
{
    Lock locker = lock();
    return m_writes;
}

int FlashAdapter::erasesReceived() const
{
    Lock locker = lock();
    return m_erases;
}

int FlashAdapter::erasesOfSector(int sector) const
{
    Lock locker = lock();
    return m_flash.eraseCount(sector);
}

QByteArray FlashAdapter::chipId() const
{
    Lock locker = lock();
    return m_chipId;
}

void FlashAdapter::setChipId(const QByteArray &bytes)
{
    Lock locker = lock();
    m_chipId = bytes.left(m_chipId.size()).leftJustified(m_chipId.size(), '\0');
}
