#pragma once

#include "emulatedadapter.h"

// Answers every report with the same 64 bytes; for transport tests.
class EchoAdapter : public EmulatedAdapter
{
public:
    static constexpr quint16 defaultVendorId = 0x0E3A;
    static constexpr quint16 defaultProductId = 0x0E40;

    explicit EchoAdapter(const QString &name = QStringLiteral("echo"),
                         quint16 vendorId = defaultVendorId, quint16 productId = defaultProductId,
                         int interfaceNumber = -1);

    void handleOutputReport(const QByteArray &report64) override;
};

// A composite device with interfaces 0 and 1 under one vendor and product
// id, each with a path of its own ("…/if0", "…/if1"). Each interface echoes
// the report with its last byte replaced by the interface number, so a
// host can tell which one it opened.
class CompositeEchoAdapter : public EmulatedAdapter
{
public:
    static constexpr int lastByte = reportBytes - 1;

    explicit CompositeEchoAdapter(const QString &name = QStringLiteral("composite"),
                                  quint16 vendorId = EchoAdapter::defaultVendorId,
                                  quint16 productId = EchoAdapter::defaultProductId + 1);

    void handleOutputReport(const QByteArray &report64) override;
    // Requests received on one interface.
    int reportsOnInterface(int interfaceNumber) const;
    void resetCounters() override;

protected:
    QVector<Interface> interfacesLocked() const override;

private:
    int m_reportsOnInterface[2] = {0, 0};
};
