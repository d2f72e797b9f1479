#include "echoadapter.h"

EchoAdapter::EchoAdapter(const QString &name, quint16 vendorId, quint16 productId,
                         int interfaceNumber)
    : EmulatedAdapter(name, vendorId, productId, interfaceNumber)
{
}

void EchoAdapter::handleOutputReport(const QByteArray &report64)
{
    queueReply(report64);
}

CompositeEchoAdapter::CompositeEchoAdapter(const QString &name, quint16 vendorId, quint16 productId)
    : EmulatedAdapter(name, vendorId, productId, 0)
{
}

void CompositeEchoAdapter::handleOutputReport(const QByteArray &report64)
{
    const int interface = currentInterfaceNumber();
    if (interface == 0 || interface == 1)
        ++m_reportsOnInterface[interface];
    QByteArray reply = report64;
    reply[lastByte] = char(interface);
    queueReply(reply);
}

int CompositeEchoAdapter::reportsOnInterface(int interfaceNumber) const
{
    Lock locker = lock();
    return interfaceNumber == 0 || interfaceNumber == 1 ? m_reportsOnInterface[interfaceNumber] : 0;
}

void CompositeEchoAdapter::resetCounters()
{
    Lock locker = lock();
    EmulatedAdapter::resetCounters();
    m_reportsOnInterface[0] = m_reportsOnInterface[1] = 0;
}

QVector<EmulatedAdapter::Interface> CompositeEchoAdapter::interfacesLocked() const
{
    return {{0, pathFor(0)}, {1, pathFor(1)}};
}
