#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <chrono>
#include <mutex>

class EmulatedFlash;
class EmulatorBackend;

// One emulated USB HID adapter as seen from the host: its identity (vendor,
// product, interfaces, paths), the output reports it receives and the input
// reports it answers with. Subclasses implement the model's protocol in
// handleOutputReport(); the backend delivers the reports, applies the
// transport faults and keeps the replies until the host reads them.
//
// Everything an adapter does runs under its backend's lock, so the public
// accessors may be called from any thread.
class EmulatedAdapter
{
public:
    // Faults counted in requests (output reports written to the adapter,
    // 1-based, since construction or resetCounters()); 0 switches a fault off.
    struct Faults
    {
        int noReplyAtReport = 0;    // that request is taken but never answered
        int unplugAtReport = 0;     // the adapter leaves when that request arrives
        int readErrorAtReport = 0;  // the read after that request fails (-1)
        int writeErrorAtReport = 0; // writing that request fails (-1); not delivered
        int shortReplyBytes = 0;    // > 0: replies are cut to that many bytes
        // Which replies shortReplyBytes cuts: those to requests from..to
        // (inclusive). Both 0: every reply; to 0: from there to the end;
        // from 0: from the first request.
        int shortReplyFromReport = 0;
        int shortReplyToReport = 0;
        // The reply to that request becomes readable only lateReplyDelayMs
        // after the request (or later, when the adapter itself takes
        // longer). Replies are delivered in the order they become ready, so
        // a host that gave up waiting reads it as the answer to a later
        // request.
        int lateReplyAtReport = 0;
        int lateReplyDelayMs = 0;
        // After an unplug caused by a fault (unplugAtReport, an erase cut)
        // the adapter returns this long afterwards, with the identity and
        // flash it had; handles opened before stay dead. 0: it stays away.
        int replugAfterMs = 0;
        // The adapter is listed but cannot be opened, as a hidraw node the
        // user has no access to (EACCES).
        bool openDenied = false;

        // Model faults (flash adapters).
        bool eraseRefused = false;   // every erase command is refused
        int eraseRefusedAtErase = 0; // only the N-th erase command is refused
        int wrongEchoAtChunk = 0;    // the N-th write command's echo has a flipped byte
        // The erase is acknowledged at once while the flash goes on erasing
        // for the erase time; requests arriving meanwhile are carried out
        // and answered once the erase is over (the boot loader is busy).
        bool eraseAcknowledgedEarly = false;
        // The N-th erase command (counted in erase commands, from 1) erases
        // its first eraseCutAfterSectors sectors (K3: pages) in order, then
        // the adapter loses power: it leaves the bus without answering, and
        // open handles die as with an unplug. 0 sectors cuts before anything
        // is erased. It leaves once those sectors' erase time has passed (at
        // once when that is 0); an early acknowledgement goes out before.
        // An erase that is refused erases nothing and is not cut.
        int eraseCutAtErase = 0;
        int eraseCutAfterSectors = 0;
    };

    struct Interface
    {
        int number; // -1: the path names no interface
        QByteArray path;
    };

    static constexpr int reportBytes = 64;

    EmulatedAdapter(const QString &name, quint16 vendorId, quint16 productId, int interfaceNumber);
    virtual ~EmulatedAdapter();
    EmulatedAdapter(const EmulatedAdapter &) = delete;
    EmulatedAdapter &operator=(const EmulatedAdapter &) = delete;

    QString name() const;
    quint16 vendorId() const;
    quint16 productId() const;
    int interfaceNumber() const;
    // Path of the interface interfaceNumber() (the one without a number
    // when it is -1).
    QByteArray path() const;
    // Every enumeration entry of the adapter in its present identity.
    QVector<Interface> interfaces() const;
    QString productString() const;
    QString serialString() const;

    Faults faults() const;
    void setFaults(const Faults &faults);
    // The adapter is plugged this long after being added to a backend
    // (0: at once).
    int appearAfterMs() const;
    void setAppearAfterMs(int milliseconds);
    // Added to the delay of every reply.
    int replyDelayMs() const;
    void setReplyDelayMs(int milliseconds);

    int reportsReceived() const;
    virtual void resetCounters();

    // The flash the adapter holds, or nullptr for adapters without one.
    // Use flashContents() / setFlashContents() from other threads.
    virtual EmulatedFlash *flash() { return nullptr; }
    QByteArray flashContents() const;
    bool setFlashContents(const QByteArray &bytes);
    // flash.bin of a folder scenario; written back when the flash changes.
    QString flashFile() const;
    void setFlashFile(const QString &path);

    // One output report of 64 bytes (report id removed, padded with zeros).
    virtual void handleOutputReport(const QByteArray &report64) = 0;

protected:
    using Lock = std::unique_lock<std::recursive_mutex>;
    Lock lock() const;

    // Answers the report being handled; the reply is cut or padded to 64
    // bytes and becomes readable delayMs (plus replyDelayMs()) later.
    void queueReply(QByteArray report64, int delayMs = 0);
    // The interface the report being handled arrived on.
    int currentInterfaceNumber() const;
    // Changes the identity; used between a departure and a return.
    void setIdentity(quint16 productId, int interfaceNumber);
    // Leaves the bus and comes back afterMs later with the given identity.
    // afterUnreadReplies: it leaves once the replies already queued have
    // been read (a boot loader switch answers first); otherwise as soon as
    // the request is carried out (a reboot).
    void leaveAndReturn(quint16 productId, int interfaceNumber, int afterMs,
                        bool afterUnreadReplies = true);
    // The request being handled keeps the adapter busy this long after it
    // started (an erase in progress): later requests are carried out and
    // answered only afterwards, as a boot loader takes one command at a time.
    void occupyFor(int milliseconds);
    // The adapter loses power this long after the request being handled
    // started: it leaves the bus, open handles die, and it comes back after
    // Faults::replugAfterMs when that is set. Requests arriving meanwhile
    // are never carried out; replies not read by then are lost.
    void losePowerAfter(int milliseconds);
    // Tells the backend to write the flash file back soon.
    void flashChanged();
    // Subclasses whose enumeration has more than one entry.
    virtual QVector<Interface> interfacesLocked() const;
    QByteArray pathFor(int interfaceNumber) const;

private:
    friend class EmulatorBackend;
    struct PendingReply
    {
        QByteArray data;
        int delayMs;
    };
    struct Departure
    {
        bool requested = false;
        bool afterUnreadReplies = true;
        quint16 productId = 0;
        int interfaceNumber = -1;
        int returnAfterMs = 0;
    };

    mutable std::recursive_mutex m_ownMutex;
    std::recursive_mutex *m_mutex = &m_ownMutex;

    QString m_name;
    quint16 m_vendorId;
    quint16 m_productId;
    int m_interfaceNumber;
    Faults m_faults;
    int m_appearAfterMs = 0;
    int m_replyDelayMs = 0;
    int m_reportsReceived = 0;
    QString m_flashFile;
    quint64 m_flushedGeneration = 0;

    // Backend state, only touched under the lock.
    bool m_plugged = false;
    bool m_flashChanged = false;
    bool m_leaving = false;
    int m_currentInterface = -1;
    QVector<PendingReply> m_outgoing;
    Departure m_departure;
    // Set while a request is handled (occupyFor(), losePowerAfter()).
    int m_occupiedMs = 0;
    int m_powerLossAfterMs = -1;
    // When the command in progress is done; the past when idle.
    std::chrono::steady_clock::time_point m_busyUntil;
    bool m_powerLossPending = false;
};
