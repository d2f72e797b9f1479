#pragma once

#include "hidbackend.h"

#include <QByteArray>
#include <QList>
#include <QMutex>

// Passes every call on to another backend and keeps a copy of every report
// the host writes, so tests can check the frames the device code sends.
class RecordingBackend : public HidBackend
{
    Q_OBJECT
public:
    explicit RecordingBackend(HidBackend *inner, QObject *parent = nullptr);

    // Reports written since the last clear(), report id byte included.
    QList<QByteArray> writtenReports() const;
    void clear();

    int init() override;
    hid_device_info *enumerate(unsigned short vendorId, unsigned short productId) override;
    void freeEnumeration(hid_device_info *devices) override;
    Handle open(const char *path) override;
    int readTimeout(Handle handle, unsigned char *data, size_t length, int timeoutMs) override;
    int write(Handle handle, const unsigned char *data, size_t length) override;
    void close(Handle handle) override;

private:
    HidBackend *inner;
    mutable QMutex reportsLock;
    QList<QByteArray> reports;
};
