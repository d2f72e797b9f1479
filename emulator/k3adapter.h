#pragma once

#include "flashadapter.h"

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
// Memory: 256 KiB of flash from 0x08000000. The chip identifier sits at
// 0x1FFFF7E8, the unique-ID address of the STM32F1 family, and a 256 KiB
// STM32F1 is a high-density part, whose flash is erased in 2 KiB pages.
// So an erase of (address, size) erases every whole page the range
// touches: the 256-byte configuration, information and spare blocks at
// 0x08004000, 0x08004100 and 0x08004200 share one page, and erasing one of
// them erases all three. Ranges reaching below 0x08004000 (the boot
// loader) or past the flash are refused. The 32-byte chip identifier is
// readable, not writable.
class K3Adapter : public FlashAdapter
{
public:
    static constexpr quint16 applicationProductId = 0xB274;
    static constexpr quint16 bootProductIdV1 = 0xB270;
    static constexpr quint16 bootProductId = 0xB275;

    static constexpr int dataBytes = 56;
    static constexpr quint32 flashBytes = 0x40000;
    static constexpr quint32 pageBytes = 0x800;
    static constexpr quint32 chipIdAddress = 0x1FFFF7E8;
    static constexpr int chipIdBytes = 32;
    static constexpr int defaultReenumerateAfterMs = 300;

    // startProductId: the application or one of the boot identities.
    // returnAsProductId: the boot identity the application switches to.
    explicit K3Adapter(const QString &name = QStringLiteral("k3"),
                       quint16 startProductId = applicationProductId,
                       quint16 returnAsProductId = bootProductId);

    void handleOutputReport(const QByteArray &report64) override;
    void resetCounters() override;

    bool inBootLoader() const;
    using FlashAdapter::chipId;
    using FlashAdapter::setChipId;
    int bootFlag() const;
    void setBootFlag(int flag);
    int reenumerateAfterMs() const;
    void setReenumerateAfterMs(int milliseconds);

    int bootLoaderRequests() const;
    int bootFlagWrites() const;
    // What each erase command really erased, in order: {address, size},
    // whole pages (a cut erase reports the pages it got to, nothing when
    // it got to none).
    QVector<EmulatedFlash::Sector> erasedRanges() const;

protected:
    QVector<Interface> interfacesLocked() const override;
    QByteArray frame(quint32 status, quint32 address, quint32 length,
                     const QByteArray &data = QByteArray()) const override;

private:
    void handleBootLoader(quint8 command, quint32 address, quint16 length, const QByteArray &data);
    void erase(quint32 address, quint16 length, const QByteArray &data);

    const quint16 m_bootLoaderProductId;
    int m_bootFlag = 0;
    int m_reenumerateAfterMs = defaultReenumerateAfterMs;
    int m_bootLoaderRequests = 0;
    int m_bootFlagWrites = 0;
    QVector<EmulatedFlash::Sector> m_erasedRanges;
};
