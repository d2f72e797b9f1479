#pragma once

// Small helpers that drive an emulator through the HID backend calls the
// transport makes, with 65-byte reports (report id 0 first).

#include "hidbackend.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct EnumeratedDevice
{
    QByteArray path;
    int vendorId;
    int productId;
    int interfaceNumber;
};

inline QList<EnumeratedDevice> enumerateAll(HidBackend &backend, unsigned short vendorId = 0,
                                            unsigned short productId = 0)
{
    QList<EnumeratedDevice> result;
    hid_device_info *devices = backend.enumerate(vendorId, productId);
    for (hid_device_info *entry = devices; entry; entry = entry->next)
        result.append({QByteArray(entry->path), entry->vendor_id, entry->product_id,
                       entry->interface_number});
    backend.freeEnumeration(devices);
    return result;
}

inline HidBackend::Handle openFirst(HidBackend &backend, unsigned short vendorId,
                                    unsigned short productId, int interfaceNumber)
{
    for (const EnumeratedDevice &device : enumerateAll(backend, vendorId, productId)) {
        if (device.interfaceNumber == interfaceNumber)
            return backend.open(device.path.constData());
    }
    return nullptr;
}

// Sends 64 payload bytes (padded with zeros) behind report id 0.
inline int sendReport(HidBackend &backend, HidBackend::Handle handle, const QByteArray &payload)
{
    QByteArray report(1, '\0');
    report.append(payload.left(64));
    report.append(QByteArray(65 - report.size(), '\0'));
    return backend.write(handle, reinterpret_cast<const unsigned char *>(report.constData()),
                         size_t(report.size()));
}

// One input report, or an empty array on time-out or error (count in *result).
inline QByteArray receiveReport(HidBackend &backend, HidBackend::Handle handle,
                                int timeoutMs = 1000, int *result = nullptr)
{
    QByteArray buffer(65, '\0');
    const int count = backend.readTimeout(handle, reinterpret_cast<unsigned char *>(buffer.data()),
                                          size_t(buffer.size()), timeoutMs);
    if (result)
        *result = count;
    return count > 0 ? buffer.left(count) : QByteArray();
}

inline QByteArray exchange(HidBackend &backend, HidBackend::Handle handle,
                           const QByteArray &payload, int timeoutMs = 1000)
{
    if (sendReport(backend, handle, payload) != 65)
        return QByteArray();
    return receiveReport(backend, handle, timeoutMs);
}

inline void putU32(QByteArray &bytes, int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char((value >> (8 * i)) & 0xFF);
}

inline void putU16(QByteArray &bytes, int offset, quint16 value)
{
    bytes[offset] = char(value & 0xFF);
    bytes[offset + 1] = char(value >> 8);
}

inline quint32 u32At(const QByteArray &bytes, int offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(offset + i));
    return value;
}

inline quint16 u16At(const QByteArray &bytes, int offset)
{
    return quint16(quint8(bytes.at(offset)) | (quint8(bytes.at(offset + 1)) << 8));
}
