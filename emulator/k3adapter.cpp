#include "k3adapter.h"

#include "wirebytes.h"

using namespace WireBytes;

namespace {
constexpr int markerOffset = 0;
constexpr int commandOffset = 1;
constexpr int addressOffset = 2;
constexpr int lengthOffset = 6;
constexpr int dataOffset = 8;
constexpr int commandInterface = 0;
constexpr int inputInterface = 1;
} // namespace

K3Adapter::K3Adapter(const QString &name, quint16 startProductId, quint16 returnAsProductId)
    : EmulatedAdapter(name, vendor, startProductId,
                      startProductId == applicationProductId ? commandInterface : -1),
      m_flash(EmulatedFlash::uniformPages(EmulatedFlash::stm32BaseAddress, flashBytes, pageBytes)),
      m_bootLoaderProductId(returnAsProductId), m_chipId(chipIdBytes, '\0')
{
}

QVector<EmulatedAdapter::Interface> K3Adapter::interfacesLocked() const
{
    if (productId() == applicationProductId)
        return {{commandInterface, pathFor(commandInterface)},
                {inputInterface, pathFor(inputInterface)}};
    return EmulatedAdapter::interfacesLocked();
}

QByteArray K3Adapter::reply(quint8 status, quint32 address, quint16 length,
                            const QByteArray &data) const
{
    QByteArray frame(reportBytes, '\0');
    frame[markerOffset] = char(frameMarker);
    frame[commandOffset] = char(status);
    putU32(frame, addressOffset, address);
    putU16(frame, lengthOffset, length);
    frame.replace(dataOffset, data.size(), data);
    return frame;
}

void K3Adapter::handleOutputReport(const QByteArray &report64)
{
    const quint8 command = quint8(report64.at(commandOffset));
    const quint32 address = u32At(report64, addressOffset);
    const quint16 length = u16At(report64, lengthOffset);
    const QByteArray data = report64.mid(dataOffset);
    if (quint8(report64.at(markerOffset)) != frameMarker) {
        queueReply(reply(RefusedStatus, address, length));
        return;
    }
    if (inBootLoader()) {
        handleBootLoader(command, address, length, data);
        return;
    }
    // The application: the input interface ignores output reports, the
    // command interface knows only the switch to the boot loader.
    if (currentInterfaceNumber() != commandInterface)
        return;
    if (command != EnterBootLoaderCommand) {
        queueReply(reply(RefusedStatus, address, length));
        return;
    }
    ++m_bootLoaderRequests;
    queueReply(reply(EnterBootLoaderCommand, address, length, data.left(length)));
    leaveAndReturn(m_bootLoaderProductId, -1, m_reenumerateAfterMs);
}

void K3Adapter::handleBootLoader(quint8 command, quint32 address, quint16 length,
                                 const QByteArray &data)
{
    switch (command) {
    case ReadCommand: {
        ++m_reads;
        const QByteArray memory =
            length >= 1 && length <= dataBytes ? readMemory(address, length) : QByteArray();
        if (memory.isEmpty())
            queueReply(reply(RefusedStatus, address, length));
        else
            queueReply(reply(DataStatus, address, length, memory));
        break;
    }
    case WriteCommand: {
        const int write = ++m_writes;
        if (length < 1 || length > dataBytes || address < firstWritableAddress ||
            !m_flash.contains(address, length)) {
            queueReply(reply(RefusedStatus, address, length));
            break;
        }
        m_flash.program(address, data.left(length));
        QByteArray echo = m_flash.read(address, length);
        if (write == faults().wrongEchoAtChunk)
            echo[0] = char(echo.at(0) ^ 0xFF);
        queueReply(reply(DataStatus, address, length, echo));
        break;
    }
    case EraseCommand: {
        const int erase = ++m_erases;
        const quint32 target = u32At(data, 0);
        const quint32 size = u32At(data, 4);
        const Faults faults = this->faults();
        if (faults.eraseRefused || erase == faults.eraseRefusedAtErase || length != 8 ||
            size == 0 || target < firstWritableAddress || !m_flash.contains(target, size)) {
            queueReply(reply(RefusedStatus, address, length));
            break;
        }
        m_flash.eraseRange(target, size);
        m_erasedRanges.append({target, size});
        const int pages = int(m_flash.sectorAt(target + size - 1) - m_flash.sectorAt(target) + 1);
        queueReply(reply(EraseDoneStatus, address, length), m_eraseMsPerSector * pages);
        break;
    }
    case ReadBootFlagCommand:
        queueReply(reply(BootFlagStatus, address, length, QByteArray(1, char(m_bootFlag))));
        break;
    case WriteBootFlagCommand:
        // Not answered; the host reads no reply.
        ++m_bootFlagWrites;
        m_bootFlag = quint8(data.at(0));
        break;
    case EnterBootLoaderCommand:
        queueReply(reply(EnterBootLoaderCommand, address, length, data.left(length)));
        break;
    default:
        queueReply(reply(RefusedStatus, address, length));
        break;
    }
}

QByteArray K3Adapter::readMemory(quint32 address, quint16 length) const
{
    if (m_flash.contains(address, length))
        return m_flash.read(address, length);
    if (address >= chipIdAddress &&
        quint64(address) + length <= quint64(chipIdAddress) + chipIdBytes)
        return m_chipId.mid(int(address - chipIdAddress), length);
    return QByteArray();
}

void K3Adapter::resetCounters()
{
    Lock locker = lock();
    EmulatedAdapter::resetCounters();
    m_reads = m_writes = m_erases = m_bootLoaderRequests = m_bootFlagWrites = 0;
    m_erasedRanges.clear();
}

bool K3Adapter::inBootLoader() const
{
    return productId() != applicationProductId;
}

quint16 K3Adapter::bootLoaderProductId() const
{
    Lock locker = lock();
    return m_bootLoaderProductId;
}

void K3Adapter::setBootLoaderProductId(quint16 productId)
{
    Lock locker = lock();
    m_bootLoaderProductId = productId;
}

QByteArray K3Adapter::chipId() const
{
    Lock locker = lock();
    return m_chipId;
}

void K3Adapter::setChipId(const QByteArray &bytes)
{
    Lock locker = lock();
    m_chipId = bytes.left(chipIdBytes).leftJustified(chipIdBytes, '\0');
}

int K3Adapter::bootFlag() const
{
    Lock locker = lock();
    return m_bootFlag;
}

void K3Adapter::setBootFlag(int flag)
{
    Lock locker = lock();
    m_bootFlag = flag & 0xFF;
}

int K3Adapter::reenumerateAfterMs() const
{
    Lock locker = lock();
    return m_reenumerateAfterMs;
}

void K3Adapter::setReenumerateAfterMs(int milliseconds)
{
    Lock locker = lock();
    m_reenumerateAfterMs = milliseconds;
}

int K3Adapter::eraseMsPerSector() const
{
    Lock locker = lock();
    return m_eraseMsPerSector;
}

void K3Adapter::setEraseMsPerSector(int milliseconds)
{
    Lock locker = lock();
    m_eraseMsPerSector = milliseconds;
}

int K3Adapter::readsReceived() const
{
    Lock locker = lock();
    return m_reads;
}

int K3Adapter::writesReceived() const
{
    Lock locker = lock();
    return m_writes;
}

int K3Adapter::erasesReceived() const
{
    Lock locker = lock();
    return m_erases;
}

int K3Adapter::bootLoaderRequests() const
{
    Lock locker = lock();
    return m_bootLoaderRequests;
}

int K3Adapter::bootFlagWrites() const
{
    Lock locker = lock();
    return m_bootFlagWrites;
}

QVector<EmulatedFlash::Sector> K3Adapter::erasedRanges() const
{
    Lock locker = lock();
    return m_erasedRanges;
}
