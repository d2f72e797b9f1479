#pragma once

#include "flashadapter.h"

// The boot loaders of the T5 and the M7 speak the same frame over the same
// 1 MiB of STM32F4 flash. Frame (offsets in the 64-byte report, after the
// report id): u32 command/reply code at 0, u32 address at 4, u32 length at
// 8 (for an erase: the number of sectors), up to 52 data bytes from 12
// (for an erase: one sector number per byte). Sector 0 holds the boot
// loader and is never erased.
class SectorAdapter : public FlashAdapter
{
public:
    static constexpr int dataBytes = 52;

    void handleOutputReport(const QByteArray &report64) override;

protected:
    SectorAdapter(const QString &name, quint16 productId, quint32 chipIdAddress = 0,
                  int chipIdBytes = 0);

    QByteArray frame(quint32 code, quint32 address, quint32 length,
                     const QByteArray &data = QByteArray()) const override;
    // Commands other than read, write and erase; refused unless the model
    // knows them.
    virtual void handleOtherCommand(quint32 code, quint32 address, quint32 length);

private:
    void erase(quint32 address, quint32 count, const QByteArray &sectors);
};
