#pragma once

#include "emulatedadapter.h"
#include "emulatedflash.h"

// The T5 adapter in its upgrade mode: 1 MiB of STM32F4 flash behind the
// T5 command set. Frame (offsets in the 64-byte report, after the report
// id): u32 command/reply code at 0, u32 address at 4, u32 length or count
// at 8, up to 52 data bytes from 12.
class T5Adapter : public EmulatedAdapter
{
public:
    static constexpr quint16 defaultVendorId = 0x0E3A;
    static constexpr quint16 defaultProductId = 0xB373;

    enum Command : quint32 {
        EraseCommand = 0x55,
        ReadCommand = 0x56,
        WriteCommand = 0x57,
        RunStatusCommand = 0x5D,
        RebootCommand = 0x61,
    };
    enum ReplyCode : quint32 {
        DataReply = 0x58,
        EraseDoneReply = 0x59,
        RunStatusReply = 0x5D,
        // Answer to anything the adapter does not carry out: unknown
        // commands, ranges outside the flash, refused erases.
        RefusedReply = 0xEE,
    };

    static constexpr int dataBytes = 52;
    static constexpr quint32 infoAddress = 0x08003FC0;
    static constexpr quint32 infoBytes = 64;
    static constexpr int serialOffsetInInfo = 1;
    static constexpr int serialBytes = 12;
    // Sector 0 holds the boot loader and T5Info: never erased or written.
    static constexpr quint32 firstWritableAddress = 0x08004000;

    explicit T5Adapter(const QString &name = QStringLiteral("t5"),
                       quint16 vendorId = defaultVendorId, quint16 productId = defaultProductId);

    EmulatedFlash *flash() override { return &m_flash; }
    void handleOutputReport(const QByteArray &report64) override;
    void resetCounters() override;

    // The four bytes answered to USB_CMD_RUN_STATUS.
    QByteArray runStatus() const;
    void setRunStatus(const QByteArray &fourBytes);
    int eraseMsPerSector() const;
    void setEraseMsPerSector(int milliseconds);

    // Counters since construction or resetCounters().
    int readsReceived() const;
    int writesReceived() const;
    int erasesReceived() const; // erase commands
    int erasesOfSector(int sector) const;
    int reboots() const;
    // Writes T5Info's marks and serial number bytes into the flash.
    void writeSerialNumber(const QByteArray &twelveBytes);

private:
    void refuse(quint32 address, quint32 length);
    void erase(quint32 count, const QByteArray &data);
    void read(quint32 address, quint32 length);
    void program(quint32 address, quint32 length, const QByteArray &data);

    EmulatedFlash m_flash;
    QByteArray m_runStatus;
    int m_eraseMsPerSector = 0;
    int m_reads = 0;
    int m_writes = 0;
    int m_erases = 0;
    int m_reboots = 0;
};
