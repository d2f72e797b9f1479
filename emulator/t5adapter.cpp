#include "t5adapter.h"

#include "wirebytes.h"

using namespace WireBytes;

namespace {
constexpr int codeOffset = 0;
constexpr int addressOffset = 4;
constexpr int lengthOffset = 8;
constexpr int dataOffset = 12;
constexpr int lastSector = 11;

QByteArray replyFrame(quint32 code, quint32 address, quint32 length,
                      const QByteArray &data = QByteArray())
{
    QByteArray reply(EmulatedAdapter::reportBytes, '\0');
    putU32(reply, codeOffset, code);
    putU32(reply, addressOffset, address);
    putU32(reply, lengthOffset, length);
    reply.replace(dataOffset, data.size(), data);
    return reply;
}
} // namespace

T5Adapter::T5Adapter(const QString &name, quint16 vendorId, quint16 productId)
    : EmulatedAdapter(name, vendorId, productId, -1), m_flash(EmulatedFlash::stm32f4()),
      m_runStatus(4, '\0')
{
}

void T5Adapter::handleOutputReport(const QByteArray &report64)
{
    const quint32 code = u32At(report64, codeOffset);
    const quint32 address = u32At(report64, addressOffset);
    const quint32 length = u32At(report64, lengthOffset);
    const QByteArray data = report64.mid(dataOffset);
    switch (code) {
    case EraseCommand:
        erase(length, data);
        break;
    case ReadCommand:
        read(address, length);
        break;
    case WriteCommand:
        program(address, length, data);
        break;
    case RunStatusCommand:
        queueReply(replyFrame(RunStatusReply, 0, 4, m_runStatus));
        break;
    case RebootCommand:
        // No reply; the host does not read one.
        ++m_reboots;
        flashChanged();
        break;
    default:
        refuse(address, length);
        break;
    }
}

void T5Adapter::refuse(quint32 address, quint32 length)
{
    queueReply(replyFrame(RefusedReply, address, length));
}

void T5Adapter::erase(quint32 count, const QByteArray &data)
{
    const int erase = ++m_erases;
    const Faults faults = this->faults();
    if (faults.eraseRefused || erase == faults.eraseRefusedAtErase || count == 0 ||
        count > quint32(dataBytes)) {
        refuse(0, count);
        return;
    }
    // Check the whole list first: a list naming the boot loader's sector or
    // a sector past the flash is refused without erasing anything.
    for (quint32 i = 0; i < count; ++i) {
        const int sector = quint8(data.at(int(i)));
        if (sector < 1 || sector > lastSector) {
            refuse(0, count);
            return;
        }
    }
    for (quint32 i = 0; i < count; ++i)
        m_flash.eraseSector(quint8(data.at(int(i))));
    // The adapter answers when the sectors are erased.
    queueReply(replyFrame(EraseDoneReply, 0, count), m_eraseMsPerSector * int(count));
}

void T5Adapter::read(quint32 address, quint32 length)
{
    ++m_reads;
    if (length < 1 || length > quint32(dataBytes) || !m_flash.contains(address, length)) {
        refuse(address, length);
        return;
    }
    queueReply(replyFrame(DataReply, address, length, m_flash.read(address, length)));
}

void T5Adapter::program(quint32 address, quint32 length, const QByteArray &data)
{
    const int write = ++m_writes;
    if (length < 1 || length > quint32(dataBytes) || address < firstWritableAddress ||
        !m_flash.contains(address, length)) {
        refuse(address, length);
        return;
    }
    m_flash.program(address, data.left(int(length)));
    QByteArray echo = m_flash.read(address, length);
    if (write == faults().wrongEchoAtChunk)
        echo[0] = char(echo.at(0) ^ 0xFF);
    queueReply(replyFrame(DataReply, address, length, echo));
}

void T5Adapter::resetCounters()
{
    Lock locker = lock();
    EmulatedAdapter::resetCounters();
    m_reads = m_writes = m_erases = m_reboots = 0;
}

QByteArray T5Adapter::runStatus() const
{
    Lock locker = lock();
    return m_runStatus;
}

void T5Adapter::setRunStatus(const QByteArray &fourBytes)
{
    Lock locker = lock();
    m_runStatus = fourBytes.left(4).leftJustified(4, '\0');
}

int T5Adapter::eraseMsPerSector() const
{
    Lock locker = lock();
    return m_eraseMsPerSector;
}

void T5Adapter::setEraseMsPerSector(int milliseconds)
{
    Lock locker = lock();
    m_eraseMsPerSector = milliseconds;
}

int T5Adapter::readsReceived() const
{
    Lock locker = lock();
    return m_reads;
}

int T5Adapter::writesReceived() const
{
    Lock locker = lock();
    return m_writes;
}

int T5Adapter::erasesReceived() const
{
    Lock locker = lock();
    return m_erases;
}

int T5Adapter::erasesOfSector(int sector) const
{
    Lock locker = lock();
    return m_flash.eraseCount(sector);
}

int T5Adapter::reboots() const
{
    Lock locker = lock();
    return m_reboots;
}

void T5Adapter::writeSerialNumber(const QByteArray &twelveBytes)
{
    Lock locker = lock();
    QByteArray info = m_flash.read(infoAddress, infoBytes);
    // A factory-fresh block: marks and serial on erased flash.
    info.fill(char(0xFF));
    info[0] = char(0x55);
    info.replace(serialOffsetInInfo, serialBytes,
                 twelveBytes.left(serialBytes).leftJustified(serialBytes, '\0'));
    info[int(infoBytes) - 1] = char(0xAA);
    QByteArray bytes = m_flash.contents();
    bytes.replace(int(infoAddress - m_flash.baseAddress()), int(infoBytes), info);
    m_flash.setContents(bytes);
    flashChanged();
}
