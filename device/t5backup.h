#pragma once

#include "t5flashlayout.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The T5's user data away from the adapter: the .bkp file codec and the
// flash contents a restore writes. Nothing here talks to an adapter.
namespace T5Backup {

// The scrambling key of an adapter: MD5 of its serial number text.
QByteArray keyFor(const QString &serialNumber);
// A .bkp file: body and its MD5 digest, scrambled with the adapter's key.
QByteArray encode(const QByteArray &body, const QString &serialNumber);

enum class DecodeResult { Decoded, Empty, DigestMismatch };
// Unscrambles with this adapter's key and checks the digest. The body is
// what came before the digest, cut or zero-padded to the body size.
DecodeResult decode(const QByteArray &file, const QString &serialNumber, QByteArray *body);
// "major.minor.patch" of the configuration saved in the body.
QString backupVersion(const QByteArray &body);
// Records keep their format when adapter and backup share a firmware
// generation, or the adapter runs firmware below 5.6.0.
bool recordsKeepFormat(const QString &adapterVersion, const QString &backupVersion);

// What a restore writes: the configuration sector, data blocks A and B and
// the macro block, always in the new layout.
struct RestoreContents
{
    QByteArray config;
    QByteArray blockA;
    QByteArray blockB;
    QByteArray macroBlock;
};
// Nothing when an area of the backup runs past its bounds. The adapter's
// configuration gives the firmware description (bytes 1 to 0x41).
std::optional<RestoreContents>
restoreContents(const QByteArray &body, const QByteArray &adapterConfig, bool keepRecordFormat);

// Macro records: u16 length at 0 (header and body), format byte at 4, an
// 85-byte header up to format 3 and a 132-byte header in format 4.
namespace MacroRecords {
struct Record
{
    int offset;
    int length;
};
// The records of an area, each checked to lie within it; nothing when one
// is shorter than its header or runs past the area.
std::optional<QList<Record>> read(const QByteArray &area, int startOffset, int count);
int convertedLength(const QByteArray &area, const QList<Record> &records);
// The records converted to format 4, one after another. Records already in
// format 4 are copied unchanged.
QByteArray convert(const QByteArray &area, const QList<Record> &records, bool logEachRecord);
// A macro block around records: header (from header64 when given), count,
// total, records and the new-layout end mark.
QByteArray block(const QByteArray &header64, const QByteArray &records, int count);
} // namespace MacroRecords

} // namespace T5Backup
