#include "emulatedadapter.h"

#include "emulatedflash.h"

EmulatedAdapter::EmulatedAdapter(const QString &name, quint16 vendorId, quint16 productId,
                                 int interfaceNumber)
    : m_name(name), m_vendorId(vendorId), m_productId(productId), m_interfaceNumber(interfaceNumber)
{
}

EmulatedAdapter::~EmulatedAdapter() = default;

EmulatedAdapter::Lock EmulatedAdapter::lock() const
{
    return Lock(*m_mutex);
}

QString EmulatedAdapter::name() const
{
    Lock locker = lock();
    return m_name;
}

quint16 EmulatedAdapter::vendorId() const
{
    Lock locker = lock();
    return m_vendorId;
}

quint16 EmulatedAdapter::productId() const
{
    Lock locker = lock();
    return m_productId;
}

int EmulatedAdapter::interfaceNumber() const
{
    Lock locker = lock();
    return m_interfaceNumber;
}

QByteArray EmulatedAdapter::path() const
{
    Lock locker = lock();
    return pathFor(m_interfaceNumber);
}

QByteArray EmulatedAdapter::pathFor(int interfaceNumber) const
{
    // Like a platform path, it changes with the identity: a re-enumerated
    // adapter is a different device to the host.
    QByteArray path = "emulator/" + m_name.toUtf8() + '/' +
                      QByteArray::number(m_productId, 16).rightJustified(4, '0');
    if (interfaceNumber >= 0)
        path += "/if" + QByteArray::number(interfaceNumber);
    return path;
}

QVector<EmulatedAdapter::Interface> EmulatedAdapter::interfaces() const
{
    Lock locker = lock();
    return interfacesLocked();
}

QVector<EmulatedAdapter::Interface> EmulatedAdapter::interfacesLocked() const
{
    return {{m_interfaceNumber, pathFor(m_interfaceNumber)}};
}

QString EmulatedAdapter::productString() const
{
    Lock locker = lock();
    return QStringLiteral("Emulated %1").arg(m_name);
}

QString EmulatedAdapter::serialString() const
{
    Lock locker = lock();
    return m_name;
}

EmulatedAdapter::Faults EmulatedAdapter::faults() const
{
    Lock locker = lock();
    return m_faults;
}

void EmulatedAdapter::setFaults(const Faults &faults)
{
    Lock locker = lock();
    m_faults = faults;
}

int EmulatedAdapter::appearAfterMs() const
{
    Lock locker = lock();
    return m_appearAfterMs;
}

void EmulatedAdapter::setAppearAfterMs(int milliseconds)
{
    Lock locker = lock();
    m_appearAfterMs = milliseconds;
}

int EmulatedAdapter::replyDelayMs() const
{
    Lock locker = lock();
    return m_replyDelayMs;
}

void EmulatedAdapter::setReplyDelayMs(int milliseconds)
{
    Lock locker = lock();
    m_replyDelayMs = milliseconds;
}

int EmulatedAdapter::reportsReceived() const
{
    Lock locker = lock();
    return m_reportsReceived;
}

void EmulatedAdapter::resetCounters()
{
    Lock locker = lock();
    m_reportsReceived = 0;
    if (EmulatedFlash *memory = flash())
        memory->resetCounters();
}

QByteArray EmulatedAdapter::flashContents() const
{
    Lock locker = lock();
    EmulatedFlash *memory = const_cast<EmulatedAdapter *>(this)->flash();
    return memory ? memory->contents() : QByteArray();
}

bool EmulatedAdapter::setFlashContents(const QByteArray &bytes)
{
    Lock locker = lock();
    EmulatedFlash *memory = flash();
    if (!memory || !memory->setContents(bytes))
        return false;
    m_flashChanged = true;
    return true;
}

QString EmulatedAdapter::flashFile() const
{
    Lock locker = lock();
    return m_flashFile;
}

void EmulatedAdapter::setFlashFile(const QString &path)
{
    Lock locker = lock();
    m_flashFile = path;
    if (EmulatedFlash *memory = flash())
        m_flushedGeneration = memory->generation();
}

void EmulatedAdapter::queueReply(QByteArray report64, int delayMs)
{
    report64 = report64.left(reportBytes);
    if (report64.size() < reportBytes)
        report64.append(QByteArray(reportBytes - report64.size(), '\0'));
    m_outgoing.append({report64, delayMs});
}

int EmulatedAdapter::currentInterfaceNumber() const
{
    return m_currentInterface;
}

void EmulatedAdapter::setIdentity(quint16 productId, int interfaceNumber)
{
    Lock locker = lock();
    m_productId = productId;
    m_interfaceNumber = interfaceNumber;
}

void EmulatedAdapter::leaveAndReturn(quint16 productId, int interfaceNumber, int afterMs,
                                     bool afterUnreadReplies)
{
    m_departure.requested = true;
    m_departure.afterUnreadReplies = afterUnreadReplies;
    m_departure.productId = productId;
    m_departure.interfaceNumber = interfaceNumber;
    m_departure.returnAfterMs = afterMs;
}

void EmulatedAdapter::occupyFor(int milliseconds)
{
    m_occupiedMs = qMax(m_occupiedMs, milliseconds);
}

void EmulatedAdapter::losePowerAfter(int milliseconds)
{
    m_powerLossAfterMs = qMax(0, milliseconds);
}

void EmulatedAdapter::flashChanged()
{
    m_flashChanged = true;
}
