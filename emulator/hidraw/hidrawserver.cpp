// GLib's headers name struct members "signals": they must come before Qt's.
#include <umockdev.h>

#include "hidrawserver.h"

#include "emulatedadapter.h"
#include "emulatorbackend.h"
#include "hidrawnode.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMetaObject>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A departing adapter (a boot-loader switch) answers before it leaves; its
// nodes stay this long at most for the host to read that answer, as the
// emulator's own backend waits for it.
constexpr int departureReadGraceMs = 500;
// Arrivals the backend schedules itself (appearAfterMs, a return after a
// re-enumeration) are noticed at least this often.
constexpr int synchronisePeriodMs = 20;

const char *const hostControllerPath = "/devices/pci0000:00/0000:00:14.0";
const char *const rootHubPath = "/devices/pci0000:00/0000:00:14.0/usb1";

QString hex4(int value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString sysfsPath(const QString &devicePath)
{
    return QStringLiteral("/sys") + devicePath;
}

// The host controller and its root hub, as a PC has them: parents of every
// emulated USB device.
const char *const busDescription = R"(P: /devices/pci0000:00/0000:00:14.0/usb1
E: DEVTYPE=usb_device
E: DRIVER=usb
E: PRODUCT=1d6b/2/600
E: SUBSYSTEM=usb
A: idVendor=1d6b
A: idProduct=0002
A: bcdDevice=0600
A: busnum=1
A: devnum=1
A: product=xHCI Host Controller

P: /devices/pci0000:00/0000:00:14.0
E: DRIVER=xhci_hcd
E: PCI_CLASS=C0330
E: SUBSYSTEM=pci

P: /devices/pci0000:00
E: SUBSYSTEM=pci_bus
)";

// One interface of a USB device: its hidraw node, HID device and USB
// interface, leaf first; their sysfs paths are added to *paths in that order.
QString interfaceDescription(const HidrawServer::UsbDevice &device, const HidrawNode &node,
                             int usbInterface, int hidSequence, QStringList *paths)
{
    const QString interfacePath =
        QStringLiteral("%1/1-%2:1.%3").arg(device.path).arg(device.port).arg(usbInterface);
    const QString vendor = hex4(device.vendorId).toUpper();
    const QString product = hex4(device.productId).toUpper();
    const QString hidName =
        QStringLiteral("0003:%1:%2.%3").arg(vendor, product, hex4(hidSequence).toUpper());
    const QString hidPath = interfacePath + QLatin1Char('/') + hidName;
    const QString hidrawPath =
        hidPath + QStringLiteral("/hidraw/hidraw%1").arg(node.hidrawNumber());
    *paths << sysfsPath(hidrawPath) << sysfsPath(hidPath) << sysfsPath(interfacePath);
    // fstat() of a client's descriptor reports the terminal's numbers, and
    // hidapi looks the device up by them.
    const QString major = QString::number(node.terminalMajor());
    const QString minor = QString::number(node.terminalMinor());
    QString text = QStringLiteral("P: %1\n"
                                  "E: DEVNAME=%2\n"
                                  "E: MAJOR=%3\n"
                                  "E: MINOR=%4\n"
                                  "E: SUBSYSTEM=hidraw\n"
                                  "A: dev=%3:%4\n"
                                  "L: device=../../../%5\n\n")
                       .arg(hidrawPath, node.deviceNode(), major, minor, hidName);
    text += QStringLiteral("P: %1\n"
                           "E: DRIVER=hid-generic\n"
                           "E: HID_ID=0003:0000%2:0000%3\n"
                           "E: HID_NAME=Brivane %4\n"
                           "E: HID_PHYS=usb-0000:00:14.0-%5/input%6\n"
                           "E: HID_UNIQ=%7\n"
                           "E: MODALIAS=hid:b0003g0001v0000%2p0000%3\n"
                           "E: SUBSYSTEM=hid\n"
                           "H: report_descriptor=%8\n\n")
                .arg(hidPath, vendor, product, device.product, QString::number(device.port),
                     QString::number(usbInterface), device.serial,
                     QString::fromLatin1(HidrawNode::reportDescriptor().toHex()));
    text += QStringLiteral("P: %1\n"
                           "E: DEVTYPE=usb_interface\n"
                           "E: DRIVER=usbhid\n"
                           "E: INTERFACE=3/0/0\n"
                           "E: PRODUCT=%2/%3/100\n"
                           "E: SUBSYSTEM=usb\n"
                           "A: bInterfaceClass=03\n"
                           "A: bInterfaceNumber=%4\n"
                           "A: bInterfaceProtocol=00\n"
                           "A: bInterfaceSubClass=00\n"
                           "A: bNumEndpoints=02\n\n")
                .arg(interfacePath, QString::number(device.vendorId, 16),
                     QString::number(device.productId, 16),
                     QStringLiteral("%1").arg(usbInterface, 2, 16, QLatin1Char('0')));
    return text;
}

// The USB device itself, with what udev's USB identification adds.
QString usbDeviceDescription(const HidrawServer::UsbDevice &device)
{
    const QString model = QString(device.product).replace(QLatin1Char(' '), QLatin1Char('_'));
    return QStringLiteral("P: %1\n"
                          "E: BUSNUM=001\n"
                          "E: DEVNUM=%2\n"
                          "E: DEVTYPE=usb_device\n"
                          "E: DRIVER=usb\n"
                          "E: ID_MODEL=%3\n"
                          "E: ID_MODEL_ID=%4\n"
                          "E: ID_SERIAL_SHORT=%5\n"
                          "E: ID_VENDOR=Brivane\n"
                          "E: ID_VENDOR_ID=%6\n"
                          "E: PRODUCT=%7/%8/100\n"
                          "E: SUBSYSTEM=usb\n"
                          "E: TYPE=0/0/0\n"
                          "A: bConfigurationValue=1\n")
               .arg(device.path,
                    QStringLiteral("%1").arg(device.deviceNumber, 3, 10, QLatin1Char('0')), model,
                    hex4(device.productId), device.serial, hex4(device.vendorId),
                    QString::number(device.vendorId, 16), QString::number(device.productId, 16)) +
           QStringLiteral("A: bNumInterfaces= %1\n"
                          "A: bcdDevice=0100\n"
                          "A: busnum=1\n"
                          "A: devnum=%2\n"
                          "A: idProduct=%3\n"
                          "A: idVendor=%4\n"
                          "A: manufacturer=Brivane\n"
                          "A: product=%5\n"
                          "A: serial=%6\n"
                          "A: speed=12\n")
               .arg(QString::number(device.interfaceCount), QString::number(device.deviceNumber),
                    hex4(device.productId), hex4(device.vendorId), device.product, device.serial);
}

} // namespace

HidrawServer::HidrawServer(EmulatorBackend *backend, QObject *parent)
    : QObject(parent), m_backend(backend)
{
    connect(m_backend, &HidBackend::deviceConnectionChanged, this, &HidrawServer::synchronise,
            Qt::QueuedConnection);
    m_pollTimer.setInterval(synchronisePeriodMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &HidrawServer::synchronise);
}

HidrawServer::~HidrawServer()
{
    stop();
}

bool HidrawServer::start(QString *error)
{
    m_testbed = umockdev_testbed_new();
    // Only known once a testbed exists; the answer is kept for good.
    if (!umockdev_in_mock_environment()) {
        *error = QStringLiteral("not running under umockdev-wrapper (the uevents need its "
                                "preload library)");
        return false;
    }
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    m_root = QString::fromLocal8Bit(root);
    g_free(root);
    // Programs of other users (the permission test) read the testbed too.
    chmod(QFile::encodeName(m_root).constData(), 0755);
    GError *failure = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, busDescription, &failure)) {
        *error = QStringLiteral("the USB bus could not be described: %1")
                     .arg(QString::fromUtf8(failure ? failure->message : "?"));
        if (failure)
            g_error_free(failure);
        return false;
    }
    QDir().mkpath(m_root + QStringLiteral("/dev/.ptymap"));
    synchronise();
    if (!m_unservable.isEmpty()) {
        *error = QStringLiteral("adapter %1 could not be served (see above)")
                     .arg((*m_unservable.begin())->name());
        return false;
    }
    m_pollTimer.start();
    return true;
}

void HidrawServer::stop()
{
    m_pollTimer.stop();
    if (!m_testbed)
        return;
    for (Attachment &attachment : m_attachments)
        detach(attachment);
    m_attachments.clear();
    // The testbed's worker thread ends with it; only then may the nodes
    // it calls into go.
    g_object_unref(m_testbed);
    m_testbed = nullptr;
    m_departedNodes.clear();
}

QString HidrawServer::rootDirectory() const
{
    return m_root;
}

EmulatedAdapter *HidrawServer::adapterNamed(const QString &name) const
{
    return m_backend->adapter(name);
}

int HidrawServer::portOf(EmulatedAdapter *adapter) const
{
    return m_backend->adapters().indexOf(adapter) + 1;
}

void HidrawServer::requestSynchronise()
{
    QMetaObject::invokeMethod(this, "synchronise", Qt::QueuedConnection);
}

bool HidrawServer::isStale(const Attachment &attachment) const
{
    if (!m_backend->isPlugged(attachment.adapter) ||
        attachment.adapter->productId() != attachment.productId)
        return true;
    return std::any_of(attachment.nodes.begin(), attachment.nodes.end(),
                       [](const auto &node) { return node->handleDied(); });
}

void HidrawServer::synchronise()
{
    if (!m_testbed || m_synchronising)
        return;
    m_synchronising = true;
    for (auto attachment = m_attachments.begin(); attachment != m_attachments.end();) {
        if (!isStale(*attachment)) {
            ++attachment;
            continue;
        }
        // Replies read from the adapter just before it left are in the
        // queues once the reply threads are done.
        for (const auto &node : attachment->nodes)
            node->finishReplies();
        const bool unread = std::any_of(attachment->nodes.begin(), attachment->nodes.end(),
                                        [](const auto &node) { return node->hasUnreadReplies(); });
        if (unread && !attachment->departureDeferred) {
            attachment->departureDeferred = true;
            attachment->departureWait.start();
        }
        if (unread && attachment->departureWait.elapsed() < departureReadGraceMs) {
            ++attachment;
            continue;
        }
        detach(*attachment);
        attachment = m_attachments.erase(attachment);
    }
    const QList<EmulatedAdapter *> adapters = m_backend->adapters();
    for (EmulatedAdapter *adapter : adapters) {
        const bool attached =
            std::any_of(m_attachments.begin(), m_attachments.end(),
                        [adapter](const Attachment &known) { return known.adapter == adapter; });
        if (!m_backend->isPlugged(adapter))
            m_unservable.remove(adapter);
        if (attached || m_unservable.contains(adapter) || !m_backend->isPlugged(adapter))
            continue;
        QString error;
        if (!attach(adapter, &error)) {
            // Tried again only after it left and came back.
            m_unservable.insert(adapter);
            qWarning().noquote() << "hidraw:" << adapter->name() << error;
        }
    }
    m_synchronising = false;
}

bool HidrawServer::publishNode(const std::shared_ptr<HidrawNode> &node, QString *error)
{
    // The node: a link to the terminal, which the preload library opens in
    // its place, and the terminal marked as no terminal for isatty().
    const QString link = m_root + QStringLiteral("/dev/hidraw%1").arg(node->hidrawNumber());
    QFile::remove(link);
    if (!QFile::link(node->terminalPath(), link)) {
        *error = QStringLiteral("cannot link %1").arg(link);
        return false;
    }
    const QString mapEntry = terminalMapEntry(*node);
    QFile::remove(mapEntry);
    ::symlink(QStringLiteral("240:%1").arg(node->hidrawNumber()).toLocal8Bit().constData(),
              QFile::encodeName(mapEntry).constData());
    if (!node->attach(m_testbed, error))
        return false;
    // Other users' programs must reach the handler to use the node.
    chmod(QFile::encodeName(m_root + QStringLiteral("/ioctl") + node->deviceNode()).constData(),
          0777);
    node->setChangeObserver([this] { requestSynchronise(); });
    return true;
}

void HidrawServer::withdrawNode(const std::shared_ptr<HidrawNode> &node)
{
    node->setChangeObserver({});
    node->depart(m_testbed);
    QFile::remove(m_root + QStringLiteral("/dev/hidraw%1").arg(node->hidrawNumber()));
    QFile::remove(terminalMapEntry(*node));
    m_departedNodes.push_back(node);
}

QString HidrawServer::terminalMapEntry(const HidrawNode &node) const
{
    QString name = node.terminalPath();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return m_root + QStringLiteral("/dev/.ptymap/") + name;
}

bool HidrawServer::attach(EmulatedAdapter *adapter, QString *error)
{
    Attachment attachment;
    attachment.adapter = adapter;
    attachment.productId = adapter->productId();
    UsbDevice device;
    device.vendorId = adapter->vendorId();
    device.productId = attachment.productId;
    device.port = portOf(adapter);
    device.deviceNumber = m_nextDeviceNumber++;
    device.serial = adapter->serialString();
    device.product = adapter->productString();
    device.path = QStringLiteral("%1/1-%2").arg(QLatin1String(rootHubPath)).arg(device.port);
    attachment.usbDevicePath = device.path;
    const QVector<EmulatedAdapter::Interface> interfaces = adapter->interfaces();
    device.interfaceCount = interfaces.size();

    const auto abandon = [&]() {
        for (const auto &node : attachment.nodes)
            withdrawNode(node);
        return false;
    };
    QString description;
    for (const EmulatedAdapter::Interface &interface : interfaces) {
        HidrawNode::Identity identity;
        identity.vendorId = device.vendorId;
        identity.productId = device.productId;
        identity.productName = QStringLiteral("Brivane %1").arg(device.product);
        auto node = std::make_shared<HidrawNode>(m_backend, adapter, interface.path, identity,
                                                 m_nextHidrawNumber++);
        if (!node->create(error))
            return abandon();
        attachment.nodes.push_back(node);
        if (m_denied.contains(adapter))
            node->setAccessible(false);
        if (!publishNode(node, error))
            return abandon();
        // A device without an interface part on other systems still has
        // USB interface 0 here: every USB function sits on an interface.
        description += interfaceDescription(device, *node, qMax(0, interface.number),
                                            m_nextHidSequence++, &attachment.childrenPaths);
    }
    description += usbDeviceDescription(device);

    // Leaf first, so the USB device's "add" goes out last, once its nodes
    // can be opened.
    GError *failure = nullptr;
    const QByteArray text = description.toUtf8();
    if (!umockdev_testbed_add_from_string(m_testbed, text.constData(), &failure)) {
        *error = QStringLiteral("cannot add the devices: %1")
                     .arg(QString::fromUtf8(failure ? failure->message : "?"));
        if (failure)
            g_error_free(failure);
        return abandon();
    }
    m_attachments.push_back(std::move(attachment));
    return true;
}

void HidrawServer::detach(Attachment &attachment)
{
    // Transfers fail first, as on a cable pulled out; then udev hears of it.
    for (const auto &node : attachment.nodes)
        withdrawNode(node);
    attachment.nodes.clear();
    // Children first, as the kernel removes them; the events are composed
    // from sysfs, so they go out before the folders go.
    for (const QString &path : qAsConst(attachment.childrenPaths))
        umockdev_testbed_uevent(m_testbed, path.toUtf8().constData(), "remove");
    const QByteArray usbDevice = sysfsPath(attachment.usbDevicePath).toUtf8();
    umockdev_testbed_uevent(m_testbed, usbDevice.constData(), "remove");
    // One by one: removing a device takes only its own bus and class links
    // with it, and a returning adapter needs the same names again.
    for (const QString &path : qAsConst(attachment.childrenPaths))
        umockdev_testbed_remove_device(m_testbed, path.toUtf8().constData());
    umockdev_testbed_remove_device(m_testbed, usbDevice.constData());
}

QString HidrawServer::command(const QString &line, bool *quit)
{
    *quit = false;
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return QStringLiteral("error empty command");
    const QString verb = words.first();
    if (verb == QLatin1String("quit")) {
        *quit = true;
        return QStringLiteral("ok quit");
    }
    if (verb == QLatin1String("flush")) {
        QString error;
        return m_backend->flush(&error) ? QStringLiteral("ok flush")
                                        : QStringLiteral("error flush: %1").arg(error);
    }
    if (verb == QLatin1String("nodes")) {
        synchronise();
        QStringList parts;
        for (const Attachment &attachment : m_attachments) {
            QStringList nodes;
            for (const auto &node : attachment.nodes)
                nodes << node->deviceNode();
            parts << QStringLiteral("%1=%2").arg(attachment.adapter->name(),
                                                 nodes.join(QLatin1Char(',')));
        }
        return QStringLiteral("ok nodes %1").arg(parts.join(QLatin1Char(' '))).trimmed();
    }
    const bool known = verb == QLatin1String("plug") || verb == QLatin1String("unplug") ||
                       verb == QLatin1String("deny") || verb == QLatin1String("allow");
    if (!known)
        return QStringLiteral("error unknown command '%1' (plug, unplug, deny, allow NAME; "
                              "nodes; flush; quit)")
            .arg(verb);
    if (words.size() != 2)
        return QStringLiteral("error %1 needs one adapter name").arg(verb);
    EmulatedAdapter *adapter = adapterNamed(words.at(1));
    if (!adapter)
        return QStringLiteral("error no adapter named '%1'").arg(words.at(1));

    if (verb == QLatin1String("plug")) {
        m_unservable.remove(adapter);
        m_backend->plug(adapter);
    } else if (verb == QLatin1String("unplug"))
        m_backend->unplug(adapter);
    else if (verb == QLatin1String("deny"))
        m_denied.insert(adapter);
    else
        m_denied.remove(adapter);
    // Answer once the testbed shows it.
    synchronise();
    QStringList nodes;
    for (const Attachment &attachment : m_attachments) {
        if (attachment.adapter != adapter)
            continue;
        for (const auto &node : attachment.nodes) {
            if (verb == QLatin1String("deny") || verb == QLatin1String("allow"))
                node->setAccessible(verb == QLatin1String("allow"));
            nodes << node->deviceNode();
        }
    }
    return QStringLiteral("ok %1 %2 %3")
        .arg(verb, adapter->name(), nodes.join(QLatin1Char(',')))
        .trimmed();
}
