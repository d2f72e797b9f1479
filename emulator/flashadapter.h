#pragma once

#include "emulatedadapter.h"
#include "emulatedflash.h"

// What the boot loaders of the T5, K3 and M7 share: read, write and erase
// commands over a flash whose boot-loader area below 0x08004000 is never
// written, the same command and reply codes, the model faults, and (K3, M7)
// a read-only chip identifier outside the flash. Subclasses decode their
// own frame.
class FlashAdapter : public EmulatedAdapter
{
public:
    static constexpr quint16 vendor = 0x0E3A;
    static constexpr quint32 firstWritableAddress = 0x08004000;

    EmulatedFlash *flash() override { return &m_flash; }
    void resetCounters() override;

    // Per sector (K3: per 2 KiB page) an erase touches.
    int eraseMsPerSector() const;
    void setEraseMsPerSector(int milliseconds);

    // Commands since construction or resetCounters().
    int readsReceived() const;
    int writesReceived() const;
    int erasesReceived() const;
    int erasesOfSector(int sector) const;

protected:
    enum Code : quint8 {
        EraseCommand = 0x55,
        ReadCommand = 0x56,
        WriteCommand = 0x57,
        DataReply = 0x58,
        EraseDoneReply = 0x59,
        // Answer to anything the adapter does not carry out: unknown
        // commands, ranges outside the memory, refused erases.
        RefusedReply = 0xEE,
    };

    FlashAdapter(const QString &name, quint16 productId, int interfaceNumber,
                 const EmulatedFlash &flash, int dataBytes, quint32 chipIdAddress = 0,
                 int chipIdBytes = 0);

    // The model's 64-byte reply.
    virtual QByteArray frame(quint32 code, quint32 address, quint32 length,
                             const QByteArray &data = QByteArray()) const = 0;
    // Both count their command also when they refuse it: the faults
    // number commands, not successes.
    void read(quint32 address, quint32 length);
    void write(quint32 address, quint32 length, const QByteArray &data);
    // Counts the erase command; false when a fault refuses it.
    bool eraseAllowed();
    // Carries out the erase command eraseAllowed() counted last: erases the
    // sectors (K3: pages) in order and answers with the acknowledgement
    // once they are erased, or at once under Faults::eraseAcknowledgedEarly
    // (the adapter stays busy for the erase time either way). Under
    // Faults::eraseCutAtErase only the first sectors are erased and the
    // adapter then loses power instead of answering; an early
    // acknowledgement has gone out before. Returns how many were erased.
    int eraseSectors(const QVector<int> &sectors, const QByteArray &acknowledgement);

    QByteArray chipId() const;
    void setChipId(const QByteArray &bytes); // cut or zero-padded to its size

    EmulatedFlash m_flash;

private:
    int m_dataBytes;
    quint32 m_chipIdAddress;
    QByteArray m_chipId;
    int m_eraseMsPerSector = 0;
    int m_reads = 0;
    int m_writes = 0;
    int m_erases = 0;
};
