#include "bridgeusb.h"

#include "hidbackend.h"
#include "hotplugsource.h"
#include "qhiddevice.h"

#include <QAtomicPointer>
#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTimer>

#ifdef Q_OS_WIN
#include <dbt.h>
#include <windows.h>
#endif

namespace {
QRecursiveMutex instanceMutex;
QAtomicPointer<BridgeUSB> bridgeInstance;

QString hexText(double value)
{
    return QString::number(quint16(value), 16);
}
} // namespace

std::optional<DeviceIdentity> parseDeviceInterfaceName(const QString &name)
{
    const QStringList parts = name.split(QLatin1Char('#'));
    if (parts.size() < 3)
        return std::nullopt;
    const QStringList items = parts.at(1).split(QLatin1Char('&'));
    DeviceIdentity identity;
    if (!name.contains(QLatin1String("USBSTOR"))) {
        if (items.size() < 2)
            return std::nullopt;
        // USB hardware id: VID_xxxx&PID_xxxx
        identity.vendorId = items.at(0).mid(4).toUInt(nullptr, 16);
        identity.productId = items.at(1).mid(4).toUInt(nullptr, 16);
        qDebug() << items.at(0).right(4) << items.at(1).right(4) << parts.at(2);
    } else {
        if (items.size() < 4)
            return std::nullopt;
        // Disk id: Disk&Ven_xxx&Prod_xxx&Rev_xxx; the texts are rarely hexadecimal.
        identity.vendorId = items.at(1).mid(4).toUInt(nullptr, 16);
        identity.productId = items.at(2).mid(5).toUInt(nullptr, 16);
        qDebug() << items.at(1).mid(4) << items.at(2).mid(5) << items.at(3).mid(4);
    }
    return identity;
}

BridgeUSB::BridgeUSB(QObject *parent) : QObject(parent)
{
    device = new QHidDevice(this);
    bool isNumber = false;
    const int configuredTimeoutMs = qEnvironmentVariableIntValue(replyTimeoutVariable, &isNumber);
    if (isNumber && configuredTimeoutMs > 0)
        replyTimeout.storeRelaxed(configuredTimeoutMs);
    watchBackend(HidBackend::current());
    HidBackend::setInstallObserver([](HidBackend *backend) {
        if (BridgeUSB *bridge = bridgeInstance.loadAcquire())
            bridge->watchBackend(backend);
    });
}

BridgeUSB *BridgeUSB::instance()
{
    BridgeUSB *existing = bridgeInstance.loadAcquire();
    if (existing)
        return existing;
    QMutexLocker locker(&instanceMutex);
    existing = bridgeInstance.loadAcquire();
    if (!existing) {
        existing = new BridgeUSB();
        bridgeInstance.storeRelease(existing);
    }
    return existing;
}

void BridgeUSB::watchBackend(HidBackend *backend)
{
    if (watchedBackend == backend)
        return;
    if (watchedBackend)
        disconnect(watchedBackend, &HidBackend::deviceConnectionChanged, this, nullptr);
    watchedBackend = backend;
    if (backend)
        connect(backend, &HidBackend::deviceConnectionChanged, this, &BridgeUSB::connectedChanged);
}

bool BridgeUSB::openOnce(quint16 vendorId, quint16 productId, int interfaceNumber)
{
    QMutexLocker locker(&deviceLock);
    if (device->isOpen())
        device->close();
    const bool opened = device->open(vendorId, productId, interfaceNumber);
    if (opened)
        generation.fetchAndAddOrdered(1);
    if (!device->deniedPath().isEmpty()) {
        deniedPath = device->deniedPath();
        denials.fetchAndAddOrdered(1);
        qWarning().noquote() << "BridgeUSB: no permission to open" << deniedPath;
    }
    return opened;
}

bool BridgeUSB::open(double vid, double pid, int interfaceNumber)
{
    const quint16 vendorId = quint16(vid);
    const quint16 productId = quint16(pid);
    bool opened = openOnce(vendorId, productId, interfaceNumber);
    if (!opened) {
        qInfo().noquote() << "BridgeUSB open try onec more..." << hexText(vid) << hexText(pid);
        // Adapters enumerate a little late. The wait runs in a loop of the
        // calling thread, so no other thread (the user-interface thread in
        // particular) has to be free for the retry, and the handle's lock is
        // not held while waiting.
        QEventLoop waitLoop;
        QTimer::singleShot(openRetryDelayMs, &waitLoop, &QEventLoop::quit);
        waitLoop.exec();
        opened = openOnce(vendorId, productId, interfaceNumber);
    }
    qInfo().noquote() << "BridgeUSB open ..." << hexText(vid) << hexText(pid)
                      << (opened ? "true" : "false");
    return opened;
}

void BridgeUSB::close()
{
    QMutexLocker locker(&deviceLock);
    device->close();
}

bool BridgeUSB::isOpen() const
{
    QMutexLocker locker(&deviceLock);
    return device->isOpen();
}

quint64 BridgeUSB::openGeneration() const
{
    return generation.loadAcquire();
}

quint64 BridgeUSB::accessDenials() const
{
    return denials.loadAcquire();
}

QString BridgeUSB::lastDeniedPath() const
{
    QMutexLocker locker(&deviceLock);
    return deniedPath;
}

void BridgeUSB::setReplyTimeoutMs(int timeoutMs)
{
    replyTimeout.storeRelaxed(timeoutMs);
}

int BridgeUSB::dropPendingInput()
{
    // A reply that came after its request was given up on would otherwise
    // be read as the answer to the next request. The bound only guards
    // against an adapter that floods the host.
    constexpr int maximumDroppedReports = 256;
    int dropped = 0;
    QByteArray buffer;
    while (dropped < maximumDroppedReports && device->read(&buffer, reportSizeBytes, 0) > 0)
        ++dropped;
    if (dropped > 0)
        qWarning() << "BridgeUSB dropped" << dropped << "reply(s) that came after their time-out";
    return dropped;
}

ExchangeStatus BridgeUSB::readReport(QByteArray *reply, int timeoutMs)
{
    QByteArray buffer(reportSizeBytes, '\0');
    const int count = device->read(&buffer, reportSizeBytes, timeoutMs);
    if (count < 0) {
        qWarning() << "BridgeUSB readCMDData read error !!!";
        reply->clear();
        return ExchangeStatus::ReadFailed;
    }
    if (count == 0) {
        qWarning() << "BridgeUSB readCMDData no reply within" << timeoutMs << "ms";
        qWarning() << "BridgeUSB readCMDData read error !!!";
        reply->clear();
        return ExchangeStatus::NoReply;
    }
    // Every adapter answers with whole 64-byte reports: a shorter one is a
    // broken transfer, and padding it with zeros would pass zeros off as
    // the adapter's data.
    if (count < reportSizeBytes - 1) {
        qWarning() << "BridgeUSB readCMDData short reply of" << count << "bytes";
        qWarning() << "BridgeUSB readCMDData read error !!!";
        reply->clear();
        return ExchangeStatus::ShortReply;
    }
    // hidapi hands over the report without its id byte; put it back so
    // replies have the same layout as requests.
    buffer.truncate(reportSizeBytes - 1);
    buffer.prepend('\0');
    *reply = buffer;
    return ExchangeStatus::Answered;
}

ExchangeResult BridgeUSB::exchange(const QByteArray &request, const ReplyFilter &filter)
{
    ExchangeResult result;
    QMutexLocker locker(&deviceLock);
    if (!device->isOpen()) {
        qWarning() << "BridgeUSB writeCMDData write error !!!" << request.size() << "(not open)";
        result.status = ExchangeStatus::NotOpen;
        return result;
    }
    dropPendingInput();
    QByteArray data = request;
    if (device->write(&data) < 0) {
        qWarning() << "BridgeUSB writeCMDData write error !!!" << request.size();
        result.status = ExchangeStatus::WriteFailed;
        return result;
    }
    const int timeoutMs = replyTimeout.loadRelaxed();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const int remainingMs = int(qMax<qint64>(0, timeoutMs - waited.elapsed()));
        result.status = readReport(&result.reply, remainingMs);
        if (result.status != ExchangeStatus::Answered)
            return result;
        if (!filter || filter(result.reply) == ReplyKind::Answer)
            return result;
        qWarning() << "BridgeUSB dropped a reply that answers an earlier request"
                   << result.reply.mid(1, 12).toHex();
        if (remainingMs == 0) {
            result.reply.clear();
            result.status = ExchangeStatus::NoReply;
            return result;
        }
    }
}

bool BridgeUSB::send(const QByteArray &request)
{
    QMutexLocker locker(&deviceLock);
    if (!device->isOpen()) {
        qWarning() << "BridgeUSB writeCMDData write error !!!" << request.size() << "(not open)";
        return false;
    }
    dropPendingInput();
    QByteArray data = request;
    if (device->write(&data) < 0) {
        qWarning() << "BridgeUSB writeCMDData write error !!!" << request.size();
        return false;
    }
    return true;
}

QByteArray BridgeUSB::readCMDData(int length)
{
    Q_UNUSED(length)
    QMutexLocker locker(&deviceLock);
    QByteArray reply;
    readReport(&reply, replyTimeout.loadRelaxed());
    return reply;
}

bool BridgeUSB::writeCMDData(QByteArray data)
{
    QMutexLocker locker(&deviceLock);
    if (device->write(&data) < 0) {
        qWarning() << "BridgeUSB writeCMDData write error !!!" << data.size();
        return false;
    }
    return true;
}

void BridgeUSB::registerDevice(quintptr windowHandle)
{
#ifdef Q_OS_WIN
    static const GUID interfaceClasses[] = {
        {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},
        {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},
    };
    for (const GUID &interfaceClass : interfaceClasses) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
        filter.dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_W);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = interfaceClass;
        if (!RegisterDeviceNotificationW(reinterpret_cast<HWND>(windowHandle), &filter,
                                         DEVICE_NOTIFY_WINDOW_HANDLE))
            qWarning() << "registerDevice fail!";
    }
    qApp->installNativeEventFilter(this);
#else
    Q_UNUSED(windowHandle)
    // Emulated adapters report their own arrivals; udev would only add
    // events for devices the emulator cannot open.
    if (HidBackend::current() != HidBackend::systemBackend())
        return;
    if (!hotplug) {
        hotplug = new HotplugSource(this);
        connect(hotplug, &HotplugSource::connectedChanged, this, &BridgeUSB::connectedChanged);
    }
    if (!hotplug->start())
        qWarning() << "registerDevice fail!";
#endif
}

bool BridgeUSB::nativeEventFilter(const QByteArray &eventType, void *message, long *result)
{
    Q_UNUSED(eventType)
    Q_UNUSED(result)
#ifdef Q_OS_WIN
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message != WM_DEVICECHANGE)
        return false;
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(msg->lParam);
    if (!header)
        return false;
    if (msg->wParam == DBT_DEVICEARRIVAL) {
        if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
            const auto *volume = reinterpret_cast<const DEV_BROADCAST_VOLUME *>(header);
            if (volume->dbcv_flags == 0)
                qDebug() << "upan";
            else if (volume->dbcv_flags == DBTF_MEDIA)
                qDebug() << "CD_Arrived.";
        } else if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const auto *deviceInterface =
                reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(header);
            const QString name = QString::fromWCharArray(deviceInterface->dbcc_name);
            if (!name.isEmpty()) {
                if (const auto identity = parseDeviceInterfaceName(name))
                    emit connectedChanged(true, identity->vendorId, identity->productId);
            }
        }
    } else if (msg->wParam == DBT_DEVICEREMOVECOMPLETE &&
               header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        const auto *deviceInterface =
            reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(header);
        const QString name = QString::fromWCharArray(deviceInterface->dbcc_name);
        qDebug() << "---" << name << name.length();
        if (!name.isEmpty()) {
            if (const auto identity = parseDeviceInterfaceName(name))
                emit connectedChanged(false, identity->vendorId, identity->productId);
        }
    }
#else
    Q_UNUSED(message)
#endif
    return false;
}
