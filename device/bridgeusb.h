#pragma once

#include <QAbstractNativeEventFilter>
#include <QAtomicInteger>
#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
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

// What became of one request and its reply.
enum class ExchangeStatus {
    Answered,    // the reply is in ExchangeResult::reply
    NotOpen,     // no adapter is open; nothing was sent
    WriteFailed, // the request did not go out
    NoReply,     // nothing answered it within the reply time-out
    ReadFailed,  // the read failed (the adapter left, or a read error)
    ShortReply,  // the adapter sent less than a whole report
};

struct ExchangeResult
{
    ExchangeStatus status = ExchangeStatus::NotOpen;
    // 0x00 followed by the 64 report bytes when answered, empty otherwise.
    QByteArray reply;

    bool answered() const { return status == ExchangeStatus::Answered; }
};

// Tells a reply that answers the request just sent from one that a request
// given up on earlier still had coming (a reply that arrived after its
// time-out must never be taken for the next request's answer).
enum class ReplyKind { Answer, Stale };
using ReplyFilter = std::function<ReplyKind(const QByteArray &reply)>;

// The one HID transport of the process. Every request and its reply is one
// call that no other thread can interleave with.
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
    // Environment variable that shortens the reply time-out, for tests of
    // adapters that never answer.
    static constexpr const char *replyTimeoutVariable = "BRIVANE_REPLY_TIMEOUT_MS";

    static BridgeUSB *instance();

    bool open(double vid, double pid, int interfaceNumber);
    bool isOpen() const;
    // Closes the open device, e.g. before an emulated backend goes away.
    void close();
    // Raised by every successful open. A device model compares it with the
    // value of its last state read to learn that the adapter was opened again
    // (it may have been unplugged and replaced meanwhile).
    quint64 openGeneration() const;
    // Adapters found but not allowed to be opened (no permission on the
    // device node): how many opens failed so, and the last such node. A
    // caller compares the count before and after its open.
    quint64 accessDenials() const;
    QString lastDeniedPath() const;

    // Sends request (report id in byte 0) and reads its reply. Input that
    // was waiting before the request is dropped; replies the filter calls
    // stale are dropped too, within the same time-out.
    ExchangeResult exchange(const QByteArray &request, const ReplyFilter &filter = {});
    // A request the adapter does not answer (a restart, a flag write).
    bool send(const QByteArray &request);

    // One reply: 0x00 followed by the report bytes, empty on error, time-out
    // or a reply shorter than a report. Prefer exchange(): these two are not
    // atomic together.
    QByteArray readCMDData(int length);
    bool writeCMDData(QByteArray data);

    // Tests shorten the reply time-out so a missing reply fails quickly.
    void setReplyTimeoutMs(int timeoutMs);

    // Starts the hot-plug notifications for a window (Windows: device-change
    // messages of that window; Linux: a udev monitor).
    void registerDevice(quintptr windowHandle);

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

signals:
    void connectedChanged(bool connected, double vid, double pid);

private:
    explicit BridgeUSB(QObject *parent = nullptr);
    void watchBackend(HidBackend *backend);
    bool openOnce(quint16 vendorId, quint16 productId, int interfaceNumber);
    int dropPendingInput();
    ExchangeStatus readReport(QByteArray *reply, int timeoutMs);

    // Guards the device handle: open, close and every exchange.
    mutable QMutex deviceLock;
    QHidDevice *device = nullptr;
    HotplugSource *hotplug = nullptr;
    HidBackend *watchedBackend = nullptr;
    QAtomicInteger<quint64> generation{0};
    QAtomicInteger<quint64> denials{0};
    QString deniedPath; // guarded by deviceLock
    QAtomicInt replyTimeout{replyTimeoutMs};
};
