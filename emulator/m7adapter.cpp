#include "m7adapter.h"

#include "wirebytes.h"

using namespace WireBytes;

namespace {
constexpr int codeOffset = 0;
constexpr int addressOffset = 4;
constexpr int lengthOffset = 8;
constexpr int dataOffset = 12;
constexpr int lastSector = 11;

QByteArray replyFrame(quint32 status, quint32 address, quint32 length,
                      const QByteArray &data = QByteArray())
{
    QByteArray reply(EmulatedAdapter::reportBytes, '\0');
    putU32(reply, codeOffset, status);
    putU32(reply, addressOffset, address);
    putU32(reply, lengthOffset, length);
    reply.replace(dataOffset, data.size(), data);
    return reply;
}
} // namespace

M7Adapter::M7Adapter(const QString &name, quint16 productId)
    : EmulatedAdapter(name, vendor, productId, -1), m_flash(EmulatedFlash::stm32f4()),
      m_chipId(chipIdBytes, '\0')
{
}

void M7Adapter::handleOutputReport(const QByteArray &report64)
{
    const quint32 code = u32At(report64, codeOffset);
    const quint32 address = u32At(report64, addressOffset);
    const quint32 length = u32At(report64, lengthOffset);
    const QByteArray data = report64.mid(dataOffset);
    switch (code) {
    case ReadCommand: {
        ++m_reads;
        const QByteArray memory = length >= 1 && length <= quint32(dataBytes)
                                      ? readMemory(address, length)
                                      : QByteArray();
        queueReply(memory.isEmpty() ? replyFrame(RefusedStatus, address, length)
                                    : replyFrame(DataStatus, address, length, memory));
        break;
    }
    case WriteCommand: {
        const int write = ++m_writes;
        if (length < 1 || length > quint32(dataBytes) || address < firstWritableAddress ||
            !m_flash.contains(address, length)) {
            queueReply(replyFrame(RefusedStatus, address, length));
            break;
        }
        m_flash.program(address, data.left(int(length)));
        QByteArray echo = m_flash.read(address, length);
        if (write == faults().wrongEchoAtChunk)
            echo[0] = char(echo.at(0) ^ 0xFF);
        queueReply(replyFrame(DataStatus, address, length, echo));
        break;
    }
    case EraseCommand: {
        const int erase = ++m_erases;
        const Faults faults = this->faults();
        bool valid = !faults.eraseRefused && erase != faults.eraseRefusedAtErase && length >= 1 &&
                     length <= quint32(dataBytes);
        for (quint32 i = 0; valid && i < length; ++i) {
            const int sector = quint8(data.at(int(i)));
            valid = sector >= 1 && sector <= lastSector;
        }
        if (!valid) {
            queueReply(replyFrame(RefusedStatus, address, length));
            break;
        }
        for (quint32 i = 0; i < length; ++i)
            m_flash.eraseSector(quint8(data.at(int(i))));
        queueReply(replyFrame(EraseDoneStatus, address, length), m_eraseMsPerSector * int(length));
        break;
    }
    default:
        queueReply(replyFrame(RefusedStatus, address, length));
        break;
    }
}

QByteArray M7Adapter::readMemory(quint32 address, quint32 length) const
{
    if (m_flash.contains(address, length))
        return m_flash.read(address, length);
    if (address >= chipIdAddress &&
        quint64(address) + length <= quint64(chipIdAddress) + chipIdBytes)
        return m_chipId.mid(int(address - chipIdAddress), int(length));
    return QByteArray();
}

void M7Adapter::resetCounters()
{
    Lock locker = lock();
    EmulatedAdapter::resetCounters();
    m_reads = m_writes = m_erases = 0;
}

QByteArray M7Adapter::chipId() const
{
    Lock locker = lock();
    return m_chipId;
}

void M7Adapter::setChipId(const QByteArray &bytes)
{
    Lock locker = lock();
    m_chipId = bytes.left(chipIdBytes).leftJustified(chipIdBytes, '\0');
}

int M7Adapter::eraseMsPerSector() const
{
    Lock locker = lock();
    return m_eraseMsPerSector;
}

void M7Adapter::setEraseMsPerSector(int milliseconds)
{
    Lock locker = lock();
    m_eraseMsPerSector = milliseconds;
}

int M7Adapter::readsReceived() const
{
    Lock locker = lock();
    return m_reads;
}

int M7Adapter::writesReceived() const
{
    Lock locker = lock();
    return m_writes;
}

int M7Adapter::erasesReceived() const
{
    Lock locker = lock();
    return m_erases;
}

int M7Adapter::erasesOfSector(int sector) const
{
    Lock locker = lock();
    return m_flash.eraseCount(sector);
}
