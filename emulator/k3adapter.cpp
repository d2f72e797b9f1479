#include "k3adapter.h"

#include "wirebytes.h"

using namespace WireBytes;

namespace {
constexpr quint8 frameMarker = 0x04;
constexpr quint8 enterBootLoaderCommand = 0x5B;
constexpr quint8 writeBootFlagCommand = 0x5C;
constexpr quint8 readBootFlagCommand = 0x5D;
constexpr quint8 bootFlagStatus = 0x5D;
constexpr int markerOffset = 0;
constexpr int commandOffset = 1;
constexpr int addressOffset = 2;
constexpr int lengthOffset = 6;
constexpr int dataOffset = 8;
constexpr int commandInterface = 0;
constexpr int inputInterface = 1;
} // namespace

K3Adapter::K3Adapter(const QString &name, quint16 startProductId, quint16 returnAsProductId)
    : FlashAdapter(
          name, startProductId, startProductId == applicationProductId ? commandInterface : -1,
          EmulatedFlash::uniformPages(EmulatedFlash::stm32BaseAddress, flashBytes, pageBytes),
          dataBytes, chipIdAddress, chipIdBytes),
      m_bootLoaderProductId(returnAsProductId)
{
}

QVector<EmulatedAdapter::Interface> K3Adapter::interfacesLocked() const
{
    if (productId() == applicationProductId)
        return {{commandInterface, pathFor(commandInterface)},
                {inputInterface, pathFor(inputInterface)}};
    return EmulatedAdapter::interfacesLocked();
}

QByteArray K3Adapter::frame(quint32 status, quint32 address, quint32 length,
                            const QByteArray &data) const
{
    QByteArray reply(reportBytes, '\0');
    reply[markerOffset] = char(frameMarker);
    reply[commandOffset] = char(status);
    putU32(reply, addressOffset, address);
    putU16(reply, lengthOffset, quint16(length));
    reply.replace(dataOffset, data.size(), data);
    return reply;
}

void K3Adapter::handleOutputReport(const QByteArray &report64)
{
    const quint8 command = quint8(report64.at(commandOffset));
    const quint32 address = u32At(report64, addressOffset);
    const quint16 length = u16At(report64, lengthOffset);
    const QByteArray data = report64.mid(dataOffset);
    if (quint8(report64.at(markerOffset)) != frameMarker) {
        queueReply(frame(RefusedReply, address, length));
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
    if (command != enterBootLoaderCommand) {
        queueReply(frame(RefusedReply, address, length));
        return;
    }
    ++m_bootLoaderRequests;
    queueReply(frame(enterBootLoaderCommand, address, length, data.left(length)));
    leaveAndReturn(m_bootLoaderProductId, -1, m_reenumerateAfterMs);
}

void K3Adapter::handleBootLoader(quint8 command, quint32 address, quint16 length,
                                 const QByteArray &data)
{
    switch (command) {
    case ReadCommand:
        read(address, length);
        break;
    case WriteCommand:
        write(address, length, data);
        break;
    case EraseCommand:
        erase(address, length, data);
        break;
    case readBootFlagCommand:
        queueReply(frame(bootFlagStatus, address, length, QByteArray(1, char(m_bootFlag))));
        break;
    case writeBootFlagCommand:
        // Not answered; the host reads no reply.
        ++m_bootFlagWrites;
        m_bootFlag = quint8(data.at(0));
        break;
    case enterBootLoaderCommand:
        queueReply(frame(enterBootLoaderCommand, address, length, data.left(length)));
        break;
    default:
        queueReply(frame(RefusedReply, address, length));
        break;
    }
}

void K3Adapter::erase(quint32 address, quint16 length, const QByteArray &data)
{
    const quint32 target = u32At(data, 0);
    const quint32 size = u32At(data, 4);
    if (!eraseAllowed() || length != 8 || size == 0 || target < firstWritableAddress ||
        !m_flash.contains(target, size)) {
        queueReply(frame(RefusedReply, address, length));
        return;
    }
    const int firstPage = m_flash.sectorAt(target);
    QVector<int> pages;
    for (int page = firstPage; page <= m_flash.sectorAt(target + size - 1); ++page)
        pages.append(page);
    const int erased = eraseSectors(pages, frame(EraseDoneReply, address, length));
    if (erased > 0)
        m_erasedRanges.append({m_flash.sector(firstPage).address, quint32(erased) * pageBytes});
}

void K3Adapter::resetCounters()
{
    Lock locker = lock();
    FlashAdapter::resetCounters();
    m_bootLoaderRequests = m_bootFlagWrites = 0;
    m_erasedRanges.clear();
}

bool K3Adapter::inBootLoader() const
{
    return productId() != applicationProductId;
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
