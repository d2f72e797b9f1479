// GLib's headers name struct members "signals": they must come before Qt's.
#include <umockdev.h>

#include "hidrawnode.h"

#include "emulatedadapter.h"
#include "emulatorbackend.h"

#include <QDebug>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int reportBytes = EmulatedAdapter::reportBytes;
// The hidraw driver keeps at most this many unread reports per open file
// and drops newer ones.
constexpr size_t queuedReportLimit = 64;
// How long the reply thread waits for the adapter before it checks
// whether it should stop.
constexpr int replyWaitSliceMs = 100;
constexpr unsigned short usbBus = 3; // BUS_USB

// Vendor-defined page, 64-byte input and output reports without report id:
// what the adapters' firmware describes.
const unsigned char vendorReportDescriptor[] = {
    0x06, 0x00, 0xFF, // usage page 0xFF00
    0x09, 0x01,       // usage 1
    0xA1, 0x01,       // collection (application)
    0x15, 0x00,       //   logical minimum 0
    0x26, 0xFF, 0x00, //   logical maximum 255
    0x75, 0x08,       //   report size 8 bits
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x81, 0x02,       //   input (data, variable, absolute)
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x91, 0x02,       //   output (data, variable, absolute)
    0xC0,             // end collection
};

UMockdevIoctlData *resolveArgument(UMockdevIoctlClient *client, size_t length)
{
    GError *error = nullptr;
    UMockdevIoctlData *data =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, &error);
    if (error) {
        qWarning().noquote() << "hidraw: ioctl argument not readable:" << error->message;
        g_error_free(error);
    }
    return data;
}

} // namespace

HidrawNode::HidrawNode(EmulatorBackend *backend, EmulatedAdapter *adapter,
                       const QByteArray &backendPath, const Identity &identity, int hidrawNumber)
    : m_backend(backend), m_adapter(adapter), m_backendPath(backendPath), m_identity(identity),
      m_hidrawNumber(hidrawNumber)
{
}

HidrawNode::~HidrawNode()
{
    if (HidBackend::Handle handle = m_handle.exchange(nullptr))
        m_backend->close(handle);
    if (m_replyThread.joinable())
        m_replyThread.join();
    if (m_handler)
        g_object_unref(m_handler);
    if (m_masterDescriptor >= 0)
        ::close(m_masterDescriptor);
    if (m_terminalDescriptor >= 0)
        ::close(m_terminalDescriptor);
}

QByteArray HidrawNode::reportDescriptor()
{
    return QByteArray(reinterpret_cast<const char *>(vendorReportDescriptor),
                      int(sizeof vendorReportDescriptor));
}

QString HidrawNode::deviceNode() const
{
    return QStringLiteral("/dev/hidraw%1").arg(m_hidrawNumber);
}

bool HidrawNode::create(QString *error)
{
    char name[64] = {};
    if (openpty(&m_masterDescriptor, &m_terminalDescriptor, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("no pseudo-terminal for %1: %2")
                     .arg(deviceNode(), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Raw, without echo: the bytes written into the terminal are only there
    // to make the node readable for poll().
    termios settings{};
    tcgetattr(m_terminalDescriptor, &settings);
    cfmakeraw(&settings);
    tcsetattr(m_terminalDescriptor, TCSANOW, &settings);
    for (int descriptor : {m_masterDescriptor, m_terminalDescriptor})
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    m_terminalPath = QString::fromLocal8Bit(name);
    struct stat status
    {
    };
    fstat(m_terminalDescriptor, &status);
    m_terminalMajor = major(status.st_rdev);
    m_terminalMinor = minor(status.st_rdev);
    setAccessible(true);

    // An adapter with the open fault keeps no handle: its node exists, but
    // nobody may open it.
    m_handle = m_backend->open(m_backendPath.constData());
    if (!m_handle && !m_adapter->faults().openDenied) {
        *error = QStringLiteral("the adapter behind %1 (%2) could not be opened")
                     .arg(deviceNode(), QString::fromUtf8(m_backendPath));
        return false;
    }
    if (!m_handle)
        setAccessible(false);
    else
        m_replyThread = std::thread([this] { waitForReplies(); });
    return true;
}

bool HidrawNode::attach(UMockdevTestbed *testbed, QString *error)
{
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(m_handler, "handle-read", G_CALLBACK(onRead), this);
    g_signal_connect(m_handler, "handle-write", G_CALLBACK(onWrite), this);
    g_signal_connect(m_handler, "client-connected", G_CALLBACK(onConnected), this);
    g_signal_connect(m_handler, "client-vanished", G_CALLBACK(onVanished), this);
    GError *failure = nullptr;
    const QByteArray node = deviceNode().toUtf8();
    if (!umockdev_testbed_attach_ioctl(testbed, node.constData(), m_handler, &failure)) {
        *error = QStringLiteral("%1: no ioctl handler: %2")
                     .arg(deviceNode(), QString::fromUtf8(failure ? failure->message : "?"));
        if (failure)
            g_error_free(failure);
        return false;
    }
    m_attached = true;
    return true;
}

void HidrawNode::depart(UMockdevTestbed *testbed)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_gone)
            return;
        m_gone = true;
        m_entries.clear();
    }
    if (HidBackend::Handle handle = m_handle.exchange(nullptr))
        m_backend->close(handle);
    finishReplies();
    {
        // Clients waiting in poll() see the hang-up of an unplugged hidraw
        // node. The terminal goes too, so that a long run of arrivals does
        // not pile up descriptors; a client's own descriptor keeps it.
        std::lock_guard<std::mutex> guard(m_mutex);
        ::close(m_masterDescriptor);
        m_masterDescriptor = -1;
        ::close(m_terminalDescriptor);
        m_terminalDescriptor = -1;
    }
    if (m_attached) {
        GError *failure = nullptr;
        const QByteArray node = deviceNode().toUtf8();
        if (!umockdev_testbed_detach_ioctl(testbed, node.constData(), &failure) && failure)
            qWarning().noquote() << "hidraw:" << deviceNode() << failure->message;
        if (failure)
            g_error_free(failure);
        m_attached = false;
    }
}

bool HidrawNode::setAccessible(bool accessible)
{
    // The emulated adapters are meant for any user of the test, as the
    // udev rule's access makes them for the user at the computer.
    return m_terminalDescriptor >= 0 && fchmod(m_terminalDescriptor, accessible ? 0666 : 0) == 0;
}

bool HidrawNode::hasUnreadReplies() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_clients > 0 && std::any_of(m_entries.begin(), m_entries.end(),
                                        [](const Entry &entry) { return !entry.report.isEmpty(); });
}

void HidrawNode::setChangeObserver(std::function<void()> observer)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_changeObserver = std::move(observer);
}

void HidrawNode::notifyChange()
{
    std::function<void()> observer;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        observer = m_changeObserver;
    }
    if (observer)
        observer();
}

void HidrawNode::waitForReplies()
{
    // Ends only when the handle dies (the adapter left, or depart() gave the
    // handle back), after every reply read before has been queued.
    const HidBackend::Handle handle = m_handle.load();
    unsigned char report[reportBytes];
    for (;;) {
        int count = m_backend->readTimeout(handle, report, sizeof report, replyWaitSliceMs);
        if (count == 0)
            continue;
        if (count < 0) {
            // The backend fails one read after a request with the read
            // fault and every read of a handle whose adapter left; only the
            // second kind fails again at once.
            count = m_backend->readTimeout(handle, report, sizeof report, 0);
            if (count < 0) {
                m_handleDied = true;
                notifyChange();
                return;
            }
            std::lock_guard<std::mutex> guard(m_mutex);
            queueEntryLocked(Entry{});
            if (count == 0)
                continue;
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        queueEntryLocked(Entry{QByteArray(reinterpret_cast<const char *>(report), count)});
    }
}

void HidrawNode::finishReplies()
{
    if (m_replyThread.joinable())
        m_replyThread.join();
}

void HidrawNode::queueEntryLocked(const Entry &entry)
{
    // Nobody has the node open: the driver has no file to queue it for.
    if (m_gone || m_clients == 0 || m_entries.size() >= queuedReportLimit)
        return;
    const char doorbell = 0;
    if (::write(m_masterDescriptor, &doorbell, 1) != 1) {
        qWarning().noquote() << "hidraw:" << deviceNode() << "reply dropped:" << strerror(errno);
        return;
    }
    m_entries.push_back(entry);
}

void HidrawNode::discardDoorbellsLocked()
{
    char buffer[256];
    while (m_doorbellDebt > 0 && m_terminalDescriptor >= 0) {
        const ssize_t count = ::read(m_terminalDescriptor, buffer,
                                     size_t(std::min<int>(m_doorbellDebt, int(sizeof buffer))));
        if (count <= 0)
            return;
        m_doorbellDebt -= int(count);
    }
}

void HidrawNode::clearReplies()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_doorbellDebt += int(m_entries.size());
    m_entries.clear();
    discardDoorbellsLocked();
}

int HidrawNode::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *node)
{
    return static_cast<HidrawNode *>(node)->answerIoctl(client);
}

int HidrawNode::onRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *node)
{
    return static_cast<HidrawNode *>(node)->answerRead(client);
}

int HidrawNode::onWrite(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *node)
{
    return static_cast<HidrawNode *>(node)->answerWrite(client);
}

void HidrawNode::onConnected(UMockdevIoctlBase *, UMockdevIoctlClient *, void *node)
{
    auto *self = static_cast<HidrawNode *>(node);
    // A new open file starts with an empty report queue.
    self->clearReplies();
    std::lock_guard<std::mutex> guard(self->m_mutex);
    ++self->m_clients;
}

void HidrawNode::onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *, void *node)
{
    auto *self = static_cast<HidrawNode *>(node);
    bool lastClient = false;
    {
        std::lock_guard<std::mutex> guard(self->m_mutex);
        self->m_clients = std::max(0, self->m_clients - 1);
        lastClient = self->m_clients == 0;
    }
    if (lastClient)
        self->clearReplies();
    self->notifyChange();
}

int HidrawNode::answerIoctl(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    // Terminal requests (isatty() and the like) are the terminal's.
    if (_IOC_TYPE(request) != 'H')
        return false;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
    }
    const QByteArray descriptor = reportDescriptor();
    long result = 0;
    int error = 0;
    UMockdevIoctlData *data = nullptr;
    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRDESCSIZE):
        if ((data = resolveArgument(client, sizeof(int))))
            *reinterpret_cast<int *>(data->data) = descriptor.size();
        break;
    case _IOC_NR(HIDIOCGRDESC):
        if ((data = resolveArgument(client, sizeof(hidraw_report_descriptor)))) {
            auto *target = reinterpret_cast<hidraw_report_descriptor *>(data->data);
            if (target->size > unsigned(descriptor.size())) {
                result = -1;
                error = EINVAL;
            } else {
                std::memcpy(target->value, descriptor.constData(), target->size);
            }
        }
        break;
    case _IOC_NR(HIDIOCGRAWINFO):
        if ((data = resolveArgument(client, sizeof(hidraw_devinfo)))) {
            auto *target = reinterpret_cast<hidraw_devinfo *>(data->data);
            target->bustype = usbBus;
            target->vendor = qint16(m_identity.vendorId);
            target->product = qint16(m_identity.productId);
        }
        break;
    case _IOC_NR(HIDIOCGRAWNAME(0)):
    case _IOC_NR(HIDIOCGRAWPHYS(0)): {
        const size_t capacity = _IOC_SIZE(request);
        const QByteArray text =
            _IOC_NR(request) == _IOC_NR(HIDIOCGRAWNAME(0))
                ? m_identity.productName.toUtf8()
                : QStringLiteral("usb-emulated/input%1").arg(m_hidrawNumber).toUtf8();
        if (capacity > 0 && (data = resolveArgument(client, capacity))) {
            const size_t copied = std::min(capacity, size_t(text.size()) + 1);
            std::memcpy(data->data, text.constData(), copied - 1);
            data->data[copied - 1] = 0;
            result = long(copied);
        }
        break;
    }
    default:
        // Feature reports and the rest: the adapters have none.
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    if (!data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
    }
    umockdev_ioctl_client_complete(client, result, error);
    g_object_unref(data);
    return true;
}

int HidrawNode::answerRead(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *buffer = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> locker(m_mutex);
    if (m_gone) {
        locker.unlock();
        umockdev_ioctl_client_complete(client, -1, EIO);
        return true;
    }
    discardDoorbellsLocked();
    if (m_entries.empty()) {
        // Never hold the request open: the client's file stays locked for
        // as long as it is, and a write from another thread would wait.
        locker.unlock();
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return true;
    }
    const Entry entry = m_entries.front();
    m_entries.pop_front();
    ++m_doorbellDebt;
    discardDoorbellsLocked();
    const bool lastUnread = m_entries.empty();
    locker.unlock();
    if (entry.report.isEmpty()) {
        umockdev_ioctl_client_complete(client, -1, EIO);
    } else {
        const int count = std::min(buffer->data_len, int(entry.report.size()));
        std::memcpy(buffer->data, entry.report.constData(), size_t(count));
        umockdev_ioctl_client_complete(client, count, 0);
    }
    if (lastUnread)
        notifyChange();
    return true;
}

int HidrawNode::answerWrite(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *buffer = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
    }
    const HidBackend::Handle handle = m_handle.load();
    if (!handle) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return true;
    }
    // hidraw takes the report id in the first byte and sends report 0
    // without it, which is what the backend expects too.
    const int written = m_backend->write(handle, buffer->data, size_t(buffer->data_len));
    if (written >= 0) {
        umockdev_ioctl_client_complete(client, buffer->data_len, 0);
        return true;
    }
    // A write that failed while the adapter stayed is a transfer error; one
    // into an adapter that left finds no device.
    const bool adapterLeft = m_handleDied.load() || !m_backend->isPlugged(m_adapter);
    umockdev_ioctl_client_complete(client, -1, adapterLeft ? ENODEV : EIO);
    return true;
}
