#pragma once

#include "sectoradapter.h"

// The T5 adapter in its upgrade mode (0xB373, no interface part). Beyond
// the shared read, write and erase it answers USB_CMD_RUN_STATUS and takes
// USB_CMD_REBOOT without a reply: it leaves the bus at once and comes back
// with the same identity rebootReturnAfterMs() later, so open handles die.
// T5Info (marks and serial number) sits in the last 64 bytes of sector 0.
class T5Adapter : public SectorAdapter
{
public:
    static constexpr quint16 modelProductId = 0xB373;
    static constexpr int serialBytes = 12;
    static constexpr int defaultRebootReturnAfterMs = 1500;

    explicit T5Adapter(const QString &name = QStringLiteral("t5"));

    void resetCounters() override;

    // The four bytes answered to USB_CMD_RUN_STATUS.
    QByteArray runStatus() const;
    void setRunStatus(const QByteArray &fourBytes);
    // Since construction or resetCounters().
    int reboots() const;
    // Time between leaving the bus on USB_CMD_REBOOT and coming back
    // (0: back as soon as it has left).
    int rebootReturnAfterMs() const;
    void setRebootReturnAfterMs(int milliseconds);
    // Writes T5Info's marks and serial number bytes into the flash.
    void writeSerialNumber(const QByteArray &twelveBytes);

protected:
    void handleOtherCommand(quint32 code, quint32 address, quint32 length) override;

private:
    QByteArray m_runStatus;
    int m_reboots = 0;
    int m_rebootReturnAfterMs = defaultRebootReturnAfterMs;
};
