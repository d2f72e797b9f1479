#pragma once

// What instances of the program share to find each other: the instances block
// in shared memory, the name of that block and of the primary's local server,
// and the frames a later instance sends to the primary. Pure functions, usable
// without an application object.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

namespace SingleInstanceWire {

// The instances block: 152 bytes, little-endian.
constexpr int blockSizeBytes = 152;
constexpr int primaryOffset = 0;
constexpr int secondaryCountOffset = 4;
constexpr int primaryProcessIdOffset = 8;
constexpr int primaryUserOffset = 16;
constexpr int primaryUserFieldBytes = 128;
constexpr int checksumOffset = 144;
// The checksum covers everything before it.
constexpr int checksummedBytes = checksumOffset;

// Frames travel in the data stream format of Qt 5.6, big-endian.
constexpr int dataStreamVersion = 17;
constexpr int frameHeaderBytes = 8;
// The primary answers each header and each body it accepts with this byte.
constexpr char acknowledgement = '\n';
// A real init body holds a 44-character name and 11 more bytes; a header that
// announces far more is not from an instance of this program.
constexpr quint64 initBodyLimitBytes = 4096;

enum class ConnectionType : qint8 {
    InstanceStart = 1,    // a later instance that may not stay
    SecondaryStart = 2,   // a later instance that may stay
    MessageReconnect = 3, // a connection made to send a message
};

// CRC-16 of ISO 3309 (X.25).
quint16 crc16(const char *data, int sizeBytes);
quint16 crc16(const QByteArray &data);

struct InstancesBlock
{
    bool primary = false;
    quint32 secondaryCount = 0;
    qint64 primaryProcessId = -1;
    QByteArray primaryUser; // UTF-8
};

// Writes every field and a fresh checksum; the padding bytes stay as they are.
// A user name longer than 127 bytes is cut so its terminating zero fits.
void writeBlock(void *block, const InstancesBlock &contents);
InstancesBlock readBlock(const void *block);
// No primary, no secondaries, no process, no user.
void initialiseBlock(void *block);
bool blockIsConsistent(const void *block);

// Options that change the block name (the same bit values as the guard's options).
enum BlockNameOption {
    PerUserScope = 1,
    IgnoreAppVersion = 8,
    IgnoreAppPath = 16,
};

struct BlockNameInputs
{
    QString applicationName;
    QString organizationName;
    QString organizationDomain;
    QStringList userData;
    QString applicationVersion;
    QString executablePath;
    QString userName;
    int options = 0; // BlockNameOption bits; others are ignored
};

// The name of the instances block and of the primary's local server: a hash
// of the identity, so the same installation of the same program run by the
// same user meets itself and nobody else.
QString deriveBlockName(const BlockNameInputs &inputs);

QByteArray frameHeader(quint64 bodySizeBytes);
// The announced body size; nothing when fewer than eight bytes are given.
std::optional<quint64> parseFrameHeader(const QByteArray &header);

QByteArray initFrameBody(const QString &blockName, ConnectionType type, quint32 instanceNumber);

struct InitFrame
{
    QByteArray blockName; // up to its first zero byte
    qint8 connectionType = 0;
    quint32 instanceNumber = 0;
    bool checksumMatches = false;
};

// Nothing when the body is too short or its name runs past its end.
std::optional<InitFrame> parseInitFrameBody(const QByteArray &body);

} // namespace SingleInstanceWire
