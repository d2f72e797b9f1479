#include "singleinstancewire.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

#include <cstring>

namespace SingleInstanceWire {

namespace {
constexpr int primaryUserLimitBytes = primaryUserFieldBytes - 1;

unsigned char *bytesOf(void *block)
{
    return static_cast<unsigned char *>(block);
}

const unsigned char *bytesOf(const void *block)
{
    return static_cast<const unsigned char *>(block);
}

quint16 storedChecksum(const void *block)
{
    return qFromLittleEndian<quint16>(bytesOf(block) + checksumOffset);
}

quint16 computedChecksum(const void *block)
{
    return crc16(reinterpret_cast<const char *>(block), checksummedBytes);
}
} // namespace

quint16 crc16(const char *data, int sizeBytes)
{
    return qChecksum(data, uint(sizeBytes), Qt::ChecksumIso3309);
}

quint16 crc16(const QByteArray &data)
{
    return crc16(data.constData(), data.size());
}

void writeBlock(void *block, const InstancesBlock &contents)
{
    unsigned char *bytes = bytesOf(block);
    bytes[primaryOffset] = contents.primary ? 1 : 0;
    qToLittleEndian<quint32>(contents.secondaryCount, bytes + secondaryCountOffset);
    qToLittleEndian<qint64>(contents.primaryProcessId, bytes + primaryProcessIdOffset);
    const QByteArray user = contents.primaryUser.left(primaryUserLimitBytes);
    std::memset(bytes + primaryUserOffset, 0, primaryUserFieldBytes);
    std::memcpy(bytes + primaryUserOffset, user.constData(), size_t(user.size()));
    qToLittleEndian<quint16>(computedChecksum(block), bytes + checksumOffset);
}

InstancesBlock readBlock(const void *block)
{
    const unsigned char *bytes = bytesOf(block);
    InstancesBlock contents;
    contents.primary = bytes[primaryOffset] != 0;
    contents.secondaryCount = qFromLittleEndian<quint32>(bytes + secondaryCountOffset);
    contents.primaryProcessId = qFromLittleEndian<qint64>(bytes + primaryProcessIdOffset);
    // The field may hold anything in a damaged block: never read past it.
    const char *user = reinterpret_cast<const char *>(bytes + primaryUserOffset);
    contents.primaryUser = QByteArray(user, int(qstrnlen(user, primaryUserLimitBytes)));
    return contents;
}

void initialiseBlock(void *block)
{
    writeBlock(block, InstancesBlock());
}

bool blockIsConsistent(const void *block)
{
    return storedChecksum(block) == computedChecksum(block);
}

QString deriveBlockName(const BlockNameInputs &inputs)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication", 17);
    hash.addData(inputs.applicationName.toUtf8());
    hash.addData(inputs.organizationName.toUtf8());
    hash.addData(inputs.organizationDomain.toUtf8());
    if (!inputs.userData.isEmpty())
        hash.addData(inputs.userData.join(QString()).toUtf8());
    if (!(inputs.options & IgnoreAppVersion))
        hash.addData(inputs.applicationVersion.toUtf8());
    if (!(inputs.options & IgnoreAppPath))
        hash.addData(inputs.executablePath.toLower().toUtf8());
    if (inputs.options & PerUserScope)
        hash.addData(inputs.userName.toUtf8());
    // The name also names a file, so it must not contain a path separator.
    return QString::fromLatin1(hash.result().toBase64())
        .replace(QLatin1Char('/'), QLatin1Char('_'));
}

QByteArray frameHeader(quint64 bodySizeBytes)
{
    QByteArray header(frameHeaderBytes, Qt::Uninitialized);
    qToBigEndian<quint64>(bodySizeBytes, header.data());
    return header;
}

std::optional<quint64> parseFrameHeader(const QByteArray &header)
{
    if (header.size() < frameHeaderBytes)
        return std::nullopt;
    return qFromBigEndian<quint64>(header.constData());
}

QByteArray initFrameBody(const QString &blockName, ConnectionType type, quint32 instanceNumber)
{
    QByteArray body;
    QDataStream stream(&body, QIODevice::WriteOnly);
    stream.setVersion(dataStreamVersion);
    stream.setByteOrder(QDataStream::BigEndian);
    stream << blockName.toLatin1() << qint8(type) << instanceNumber;
    stream << crc16(body);
    return body;
}

std::optional<InitFrame> parseInitFrameBody(const QByteArray &body)
{
    QDataStream stream(body);
    stream.setVersion(dataStreamVersion);
    stream.setByteOrder(QDataStream::BigEndian);
    InitFrame frame;
    quint16 checksum = 0;
    stream >> frame.blockName >> frame.connectionType >> frame.instanceNumber >> checksum;
    if (stream.status() != QDataStream::Ok)
        return std::nullopt;
    const int nameEnd = frame.blockName.indexOf('\0');
    if (nameEnd >= 0)
        frame.blockName.truncate(nameEnd);
    frame.checksumMatches = crc16(body.constData(), body.size() - 2) == checksum;
    return frame;
}

} // namespace SingleInstanceWire
