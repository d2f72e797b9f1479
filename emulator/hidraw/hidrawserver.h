#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class EmulatedAdapter;
class EmulatorBackend;
class HidrawNode;
struct _UMockdevTestbed;

// Presents the adapters of an emulator backend as USB HID devices of a
// umockdev testbed: each plugged adapter is a USB device with one
// interface, HID device and /dev/hidrawN node per interface of its present
// identity, announced with udev "add" events; when it leaves (unplugged,
// re-enumerating, power lost) its devices are announced removed, children
// first, and its nodes hang up. An adapter that returns gets new nodes.
//
// Runs on the thread of the backend (the main thread); the process must
// run under umockdev-wrapper, because sending uevents needs the preload.
class HidrawServer : public QObject
{
    Q_OBJECT
public:
    explicit HidrawServer(EmulatorBackend *backend, QObject *parent = nullptr);
    ~HidrawServer() override;

    bool start(QString *error);
    // Removes every device (announcing it) and ends the testbed.
    void stop();
    QString rootDirectory() const;

    // Where an adapter sits on the emulated bus.
    struct UsbDevice
    {
        quint16 vendorId = 0;
        quint16 productId = 0;
        int port = 0;
        int deviceNumber = 0;
        int interfaceCount = 0;
        QString serial;
        QString product;
        QString path; // sysfs path without /sys
    };

    // One control command ("unplug NAME", "plug NAME", "deny NAME",
    // "allow NAME", "nodes", "flush", "quit"); returns the one-line answer.
    // *quit is set by "quit".
    QString command(const QString &line, bool *quit);

public slots:
    // Brings the testbed in line with the backend's adapters.
    void synchronise();

private:
    struct Attachment
    {
        EmulatedAdapter *adapter = nullptr;
        quint16 productId = 0;
        QString usbDevicePath;     // sysfs path of the USB device
        QStringList childrenPaths; // leaf first
        std::vector<std::shared_ptr<HidrawNode>> nodes;
        // A departing adapter whose last replies are not read yet stays
        // until they are or this runs out.
        bool departureDeferred = false;
        QElapsedTimer departureWait;
    };

    bool attach(EmulatedAdapter *adapter, QString *error);
    bool publishNode(const std::shared_ptr<HidrawNode> &node, QString *error);
    void withdrawNode(const std::shared_ptr<HidrawNode> &node);
    QString terminalMapEntry(const HidrawNode &node) const;
    void detach(Attachment &attachment);
    bool isStale(const Attachment &attachment) const;
    int portOf(EmulatedAdapter *adapter) const;
    EmulatedAdapter *adapterNamed(const QString &name) const;
    void requestSynchronise();

    EmulatorBackend *const m_backend;
    _UMockdevTestbed *m_testbed = nullptr;
    QString m_root;
    std::vector<Attachment> m_attachments;
    // Nodes outlive their departure until the end: umockdev's worker
    // thread may still be calling into one.
    std::vector<std::shared_ptr<HidrawNode>> m_departedNodes;
    QSet<EmulatedAdapter *> m_denied;
    // Adapters whose devices could not be made.
    QSet<EmulatedAdapter *> m_unservable;
    QTimer m_pollTimer;
    int m_nextHidrawNumber = 0;
    int m_nextDeviceNumber = 2;
    int m_nextHidSequence = 1;
    bool m_synchronising = false;
};
