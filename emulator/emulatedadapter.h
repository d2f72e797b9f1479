#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

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
        int shortReplyBytes = 0;    // > 0: every reply is cut to that many bytes
        // Model faults (flash adapters).
        bool eraseRefused = false;   // every erase command is refused
        int eraseRefusedAtErase = 0; // only the N-th erase command is refused
        int wrongEchoAtChunk = 0;    // the N-th write command's echo has a flipped byte
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
    // Leaves the bus once the replies already queued have been read and
    // comes back afterMs later with another identity (a boot loader switch).
    void leaveAndReturn(quint16 productId, int interfaceNumber, int afterMs);
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
};
