#pragma once

#include "emulatedadapter.h"
#include "emulatedflash.h"

// The M7 adapter (0xB471, no interface part): 1 MiB of STM32F4 flash behind
// a memory-access protocol. Frame (offsets in the 64-byte report, after the
// report id): u32 command/status at 0, u32 address at 4, u32 length at 8,
// up to 52 data bytes from 12. The erase command names sectors of the
// STM32F4 map; sector 0 (boot loader and the factory area at 0x08003FC0)
// is never erased or written. The 12-byte chip identifier at 0x1FFF7A10 is
// readable, not writable.
class M7Adapter : public EmulatedAdapter
{
public:
    static constexpr quint16 vendor = 0x0E3A;
    static constexpr quint16 defaultProductId = 0xB471;

    enum Command : quint32 {
        EraseCommand = 0x55,
        ReadCommand = 0x56,
        WriteCommand = 0x57,
    };
    enum Status : quint32 {
        DataStatus = 0x58,
        EraseDoneStatus = 0x59,
        RefusedStatus = 0xEE,
    };

    static constexpr int dataBytes = 52;
    static constexpr quint32 factoryAreaAddress = 0x08003FC0;
    static constexpr quint32 firstWritableAddress = 0x08004000;
    static constexpr quint32 chipIdAddress = 0x1FFF7A10;
    static constexpr int chipIdBytes = 12;

    explicit M7Adapter(const QString &name = QStringLiteral("m7"),
                       quint16 productId = defaultProductId);

    EmulatedFlash *flash() override { return &m_flash; }
    void handleOutputReport(const QByteArray &report64) override;
    void resetCounters() override;

    QByteArray chipId() const;
    void setChipId(const QByteArray &bytes); // cut or zero-padded to 12 bytes
    int eraseMsPerSector() const;
    void setEraseMsPerSector(int milliseconds);

    int readsReceived() const;
    int writesReceived() const;
    int erasesReceived() const;
    int erasesOfSector(int sector) const;

private:
    QByteArray readMemory(quint32 address, quint32 length) const;

    EmulatedFlash m_flash;
    QByteArray m_chipId;
    int m_eraseMsPerSector = 0;
    int m_reads = 0;
    int m_writes = 0;
    int m_erases = 0;
};
