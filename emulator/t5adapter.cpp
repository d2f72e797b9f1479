#include "t5adapter.h"

namespace {
constexpr quint32 runStatusCommand = 0x5D;
constexpr quint32 runStatusReply = 0x5D;
constexpr quint32 rebootCommand = 0x61;
constexpr quint32 infoAddress = 0x08003FC0;
constexpr int infoBytes = 64;
} // namespace

T5Adapter::T5Adapter(const QString &name)
    : SectorAdapter(name, modelProductId), m_runStatus(4, '\0')
{
}

void T5Adapter::handleOtherCommand(quint32 code, quint32 address, quint32 length)
{
    if (code == runStatusCommand) {
        queueReply(frame(runStatusReply, 0, 4, m_runStatus));
    } else if (code == rebootCommand) {
        // No reply (the host reads none): the adapter resets, leaves the
        // bus and enumerates again once it has started.
        ++m_reboots;
        flashChanged();
        leaveAndReturn(modelProductId, -1, m_rebootReturnAfterMs, false);
    } else {
        SectorAdapter::handleOtherCommand(code, address, length);
    }
}

void T5Adapter::resetCounters()
{
    Lock locker = lock();
    SectorAdapter::resetCounters();
    m_reboots = 0;
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

int T5Adapter::reboots() const
{
    Lock locker = lock();
    return m_reboots;
}

int T5Adapter::rebootReturnAfterMs() const
{
    Lock locker = lock();
    return m_rebootReturnAfterMs;
}

void T5Adapter::setRebootReturnAfterMs(int milliseconds)
{
    Lock locker = lock();
    m_rebootReturnAfterMs = milliseconds;
}

void T5Adapter::writeSerialNumber(const QByteArray &twelveBytes)
{
    Lock locker = lock();
    // A factory-fresh block: marks and serial on erased flash.
    QByteArray info(infoBytes, char(0xFF));
    info[0] = char(0x55);
    info.replace(1, serialBytes, twelveBytes.left(serialBytes).leftJustified(serialBytes, '\0'));
    info[infoBytes - 1] = char(0xAA);
    QByteArray bytes = m_flash.contents();
    bytes.replace(int(infoAddress - m_flash.baseAddress()), infoBytes, info);
    m_flash.setContents(bytes);
    flashChanged();
}
