#pragma once

#include "hidbackend.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class EmulatedAdapter;
class EmulatorBackend;
struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;

// One /dev/hidrawN node of an emulated adapter's interface, as the kernel's
// hidraw driver presents it to a program: a pseudo-terminal gives the node
// a real file descriptor that poll() can wait on, and a umockdev ioctl
// handler answers its ioctl(), read() and write() calls. Every report
// written goes to the adapter through a handle of the emulator backend,
// so the adapter's protocol, timing and faults apply; every reply keeps
// its report boundary, as hidraw delivers one report per read().
//
// The handler runs on umockdev's worker thread and never blocks there: a
// thread of the node's own waits for the adapter's replies.
class HidrawNode
{
public:
    struct Identity
    {
        quint16 vendorId = 0;
        quint16 productId = 0;
        QString productName;
    };

    HidrawNode(EmulatorBackend *backend, EmulatedAdapter *adapter, const QByteArray &backendPath,
               const Identity &identity, int hidrawNumber);
    ~HidrawNode();
    HidrawNode(const HidrawNode &) = delete;
    HidrawNode &operator=(const HidrawNode &) = delete;

    // Creates the pseudo-terminal and opens the adapter's interface.
    bool create(QString *error);
    // Makes the node answer its calls; the node's device file must exist.
    bool attach(_UMockdevTestbed *testbed, QString *error);
    // The adapter left: reads and writes fail from now on, poll() reports
    // a hang-up, and the adapter's handle is given back.
    void depart(_UMockdevTestbed *testbed);

    QString deviceNode() const; // "/dev/hidrawN"
    int hidrawNumber() const { return m_hidrawNumber; }
    // The pseudo-terminal behind the node: what fstat() of a client's file
    // descriptor reports, so sysfs must carry the same numbers.
    QString terminalPath() const { return m_terminalPath; }
    unsigned terminalMajor() const { return m_terminalMajor; }
    unsigned terminalMinor() const { return m_terminalMinor; }

    // Whether the node's file may be opened by other users (a node without
    // the access a udev rule gives).
    bool setAccessible(bool accessible);
    // The adapter's handle died (the adapter left or lost power).
    bool handleDied() const { return m_handleDied.load(); }
    // Waits until every reply the adapter sent before its handle died is
    // queued; only for a node whose adapter left (returns at once then).
    void finishReplies();
    // Replies a program that holds the node open has not read yet.
    bool hasUnreadReplies() const;
    // Called from the node's threads when handleDied() or
    // hasUnreadReplies() changed.
    void setChangeObserver(std::function<void()> observer);

    static QByteArray reportDescriptor();

private:
    struct Entry
    {
        QByteArray report; // empty: the read fails
    };

    static int onIoctl(_UMockdevIoctlBase *handler, _UMockdevIoctlClient *client, void *node);
    static int onRead(_UMockdevIoctlBase *handler, _UMockdevIoctlClient *client, void *node);
    static int onWrite(_UMockdevIoctlBase *handler, _UMockdevIoctlClient *client, void *node);
    static void onConnected(_UMockdevIoctlBase *handler, _UMockdevIoctlClient *client, void *node);
    static void onVanished(_UMockdevIoctlBase *handler, _UMockdevIoctlClient *client, void *node);

    int answerIoctl(_UMockdevIoctlClient *client);
    int answerRead(_UMockdevIoctlClient *client);
    int answerWrite(_UMockdevIoctlClient *client);
    void clearReplies();
    void waitForReplies();
    void queueEntryLocked(const Entry &entry);
    void discardDoorbellsLocked();
    void notifyChange();

    EmulatorBackend *const m_backend;
    EmulatedAdapter *const m_adapter;
    const QByteArray m_backendPath;
    const Identity m_identity;
    const int m_hidrawNumber;

    std::atomic<HidBackend::Handle> m_handle{nullptr};
    int m_masterDescriptor = -1;
    int m_terminalDescriptor = -1;
    QString m_terminalPath;
    unsigned m_terminalMajor = 0;
    unsigned m_terminalMinor = 0;
    _UMockdevIoctlBase *m_handler = nullptr;
    bool m_attached = false;

    mutable std::mutex m_mutex;
    std::deque<Entry> m_entries;
    // Bytes written into the terminal whose entry is gone but which were
    // not read out yet.
    int m_doorbellDebt = 0;
    int m_clients = 0;
    bool m_gone = false;
    std::function<void()> m_changeObserver;

    std::atomic<bool> m_handleDied{false};
    std::thread m_replyThread;
};
