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

// Written apart from the emulator's WireBytes on purpose: decoding replies
// with the encoder that built them could not notice a wrong byte order.
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

// Frames as the host builds them: 65 bytes, report id 0 at byte 0.
inline QByteArray wordFrame(quint32 code, quint32 address, quint32 length,
                            const QByteArray &data = QByteArray())
{
    QByteArray frame(65, '\0');
    putU32(frame, 1, code);
    putU32(frame, 5, address);
    putU32(frame, 9, length);
    frame.replace(13, data.size(), data);
    return frame;
}

// Writes a 65-byte frame and returns the reply the way the transport hands
// it on: 0x00 followed by the input report (empty when none came).
inline QByteArray exchangeFrame(HidBackend &backend, HidBackend::Handle handle,
                                const QByteArray &frame, int timeoutMs = 2000)
{
    if (backend.write(handle, reinterpret_cast<const unsigned char *>(frame.constData()),
                      size_t(frame.size())) != frame.size())
        return QByteArray();
    const QByteArray reply = receiveReport(backend, handle, timeoutMs);
    return reply.isEmpty() ? QByteArray() : QByteArray(1, '\0') + reply;
}

inline bool sendFrame(HidBackend &backend, HidBackend::Handle handle, const QByteArray &frame)
{
    return backend.write(handle, reinterpret_cast<const unsigned char *>(frame.constData()),
                         size_t(frame.size())) == frame.size();
}
