#pragma once

#include <QAbstractNativeEventFilter>
#include <QAtomicInteger>
#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

#include <optional>

class QHidDevice;
class HotplugSource;
class HidBackend;

// Vendor and product of a device-interface name of the Windows device-change
// notification, or nothing when the name has too few parts to be read.
struct DeviceIdentity
{
    double vendorId = 0;
    double productId = 0;
};
std::optional<DeviceIdentity> parseDeviceInterfaceName(const QString &name);

// The one HID transport of the process.
class BridgeUSB : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    // Time a single reply may take before it counts as a failed read. A T5
    // erase of eight 128 KiB sectors takes about 16 s on an STM32F4 (up to 4 s
    // per sector at the worst rated timing), so the limit leaves room for that.
    static constexpr int replyTimeoutMs = 45000;
    static constexpr int openRetryDelayMs = 1000;
    static constexpr int reportSizeBytes = 65;

    static BridgeUSB *instance();

    bool open(double vid, double pid, int interfaceNumber);
    bool isOpen() const;
    // Closes the open device, e.g. before an emulated backend goes away.
    void close();
    // One reply: 0x00 followed by the report bytes, empty on error or time-out.
    QByteArray readCMDData(int length);
    // Tests shorten the reply time-out so a missing reply fails quickly.
    void setReplyTimeoutMs(int timeoutMs);
    bool writeCMDData(QByteArray data);

    // Serialises whole exchanges (a request and its reply, or a longer
    // sequence) of threads that share the transport. Recursive.
    QRecursiveMutex *exchangeMutex() { return &exchangeLock; }

    // Starts the hot-plug notifications for a window (Windows: device-change
    // messages of that window; Linux: a udev monitor).
    void registerDevice(quintptr windowHandle);

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

signals:
    void connectedChanged(bool connected, double vid, double pid);

private:
    explicit BridgeUSB(QObject *parent = nullptr);
    void watchBackend(HidBackend *backend);

    QHidDevice *device = nullptr;
    HotplugSource *hotplug = nullptr;
    HidBackend *watchedBackend = nullptr;
    QRecursiveMutex exchangeLock;
    QAtomicInt replyTimeout{replyTimeoutMs};
};
