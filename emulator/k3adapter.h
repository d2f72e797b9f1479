#pragma once

#include "emulatedadapter.h"
#include "emulatedflash.h"

// The K3 adapter. It enumerates either as its application (0xB274, a
// composite device whose interface 0 takes commands and interface 1 is the
// game-controller input) or as its boot loader (0xB270 or 0xB275, no
// interface part). The application answers only "enter boot loader", then
// leaves the bus and returns as the boot loader reenumerateAfterMs later.
//
// Frame (offsets in the 64-byte report, after the report id): 0x04 at 0,
// command at 1 (reply: status), u32 address at 2, u16 length at 6, up to
// 56 data bytes from 8.
//
// Memory: 256 KiB of flash from 0x08000000 in 1 KiB pages. The boot loader
// below 0x08004000 is never erased or written. An erase command clears
// exactly the requested range: the boot loader keeps the rest of a page
// (the 256-byte configuration, information and spare blocks share one
// page, and erasing the information block must not take the others with
// it). The 32-byte chip identifier at 0x1FFFF7E8 is readable, not writable.
class K3Adapter : public EmulatedAdapter
{
public:
    static constexpr quint16 vendor = 0x0E3A;
    static constexpr quint16 applicationProductId = 0xB274;
    static constexpr quint16 bootProductIdV1 = 0xB270;
    static constexpr quint16 bootProductId = 0xB275;

    enum Command : quint8 {
        EraseCommand = 0x55,
        ReadCommand = 0x56,
        WriteCommand = 0x57,
        EnterBootLoaderCommand = 0x5B,
        WriteBootFlagCommand = 0x5C,
        ReadBootFlagCommand = 0x5D,
    };
    enum Status : quint8 {
        DataStatus = 0x58,
        EraseDoneStatus = 0x59,
        BootFlagStatus = 0x5D,
        RefusedStatus = 0xEE,
    };

    static constexpr quint8 frameMarker = 0x04;
    static constexpr int dataBytes = 56;
    static constexpr quint32 flashBytes = 0x40000;
    static constexpr quint32 pageBytes = 0x400;
    static constexpr quint32 firstWritableAddress = 0x08004000;
    static constexpr quint32 chipIdAddress = 0x1FFFF7E8;
    static constexpr int chipIdBytes = 32;
    static constexpr int defaultReenumerateAfterMs = 300;

    // startProductId: the application or one of the boot identities.
    // returnAsProductId: the boot identity the application switches to.
    explicit K3Adapter(const QString &name = QStringLiteral("k3"),
                       quint16 startProductId = applicationProductId,
                       quint16 returnAsProductId = bootProductId);

    EmulatedFlash *flash() override { return &m_flash; }
    void handleOutputReport(const QByteArray &report64) override;
    void resetCounters() override;

    bool inBootLoader() const;
    quint16 bootLoaderProductId() const;
    void setBootLoaderProductId(quint16 productId);
    QByteArray chipId() const;
    void setChipId(const QByteArray &bytes); // cut or zero-padded to 32 bytes
    int bootFlag() const;
    void setBootFlag(int flag);
    int reenumerateAfterMs() const;
    void setReenumerateAfterMs(int milliseconds);
    // Per 1 KiB page touched by an erase.
    int eraseMsPerSector() const;
    void setEraseMsPerSector(int milliseconds);

    int readsReceived() const;
    int writesReceived() const;
    int erasesReceived() const;
    int bootLoaderRequests() const;
    int bootFlagWrites() const;
    // The ranges erased, in order: {address, size}.
    QVector<EmulatedFlash::Sector> erasedRanges() const;

protected:
    QVector<Interface> interfacesLocked() const override;

private:
    QByteArray reply(quint8 status, quint32 address, quint16 length,
                     const QByteArray &data = QByteArray()) const;
    void handleBootLoader(quint8 command, quint32 address, quint16 length, const QByteArray &data);
    QByteArray readMemory(quint32 address, quint16 length) const;

    EmulatedFlash m_flash;
    quint16 m_bootLoaderProductId;
    QByteArray m_chipId;
    int m_bootFlag = 0;
    int m_reenumerateAfterMs = defaultReenumerateAfterMs;
    int m_eraseMsPerSector = 0;
    int m_reads = 0;
    int m_writes = 0;
    int m_erases = 0;
    int m_bootLoaderRequests = 0;
    int m_bootFlagWrites = 0;
    QVector<EmulatedFlash::Sector> m_erasedRanges;
};
