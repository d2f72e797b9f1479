#pragma once

#include "sectoradapter.h"

// The T5 adapter in its upgrade mode (0xB373, no interface part). Beyond
// the shared read, write and erase it answers USB_CMD_RUN_STATUS and takes
// USB_CMD_REBOOT without a reply. T5Info (marks and serial number) sits in
// the last 64 bytes of sector 0.
class T5Adapter : public SectorAdapter
{
public:
    static constexpr quint16 modelProductId = 0xB373;
    static constexpr int serialBytes = 12;

    explicit T5Adapter(const QString &name = QStringLiteral("t5"));

    void resetCounters() override;

    // The four bytes answered to USB_CMD_RUN_STATUS.
    QByteArray runStatus() const;
    void setRunStatus(const QByteArray &fourBytes);
    // Since construction or resetCounters().
    int reboots() const;
    // Writes T5Info's marks and serial number bytes into the flash.
    void writeSerialNumber(const QByteArray &twelveBytes);

protected:
    void handleOtherCommand(quint32 code, quint32 address, quint32 length) override;

private:
    QByteArray m_runStatus;
    int m_reboots = 0;
};
