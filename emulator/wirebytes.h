#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Fields of the adapters' frames and flash structures (numbers little-endian).
namespace WireBytes {

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

// The three version bytes (major, minor, patch) the adapters store; empty
// when the text is not "major.minor.patch" with parts up to 255.
inline QByteArray versionBytes(const QString &version)
{
    const QStringList parts = version.split('.');
    if (parts.size() != 3)
        return QByteArray();
    QByteArray bytes;
    for (const QString &part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok);
        if (!ok || value < 0 || value > 255)
            return QByteArray();
        bytes.append(char(value));
    }
    return bytes;
}

} // namespace WireBytes
