// The T5's user data from outside: .bkp files and what a restore makes of
// the body they hold (configuration sector, data blocks, macro block with
// its records converted between formats).
//
// The first byte chooses what the rest is:
//   0  a serial number and a .bkp file as read from disk;
//   1  a backup body, described as patches on a zeroed body, and the
//      adapter's firmware version; optionally sent through encode and decode;
//   2  a start offset, a record count and an area of macro records.
//
// Expected contents follow the backup format: body offsets 0 (configuration,
// 16 KiB), 0x4000 (data block A area, 32 KiB), 0xC000 (block B, 64 KiB),
// 0x1C000 (macro block, 128 KiB); records with an 85-byte header up to
// format 3 and a 132-byte header in format 4.

#include "fuzzsupport.h"
#include "t5backup.h"

#include <QCryptographicHash>

#include <array>
#include <cstdint>

using FuzzSupport::InputReader;
using T5Backup::MacroRecords::Record;

namespace {
constexpr int bodyBytes = 0x3C400;
constexpr int configBytes = 0x4000;
constexpr int blockAOffset = 0x4000;
constexpr int blockAAreaBytes = 0x8000;
constexpr int blockBOffset = 0xC000;
constexpr int blockBAreaBytes = 0x10000;
constexpr int macroOffset = 0x1C000;
constexpr int macroAreaBytes = 0x20000;
constexpr int macroHeaderBytes = 64;
constexpr int emptyMacroBlockBytes = 66;
constexpr int oldRecordCountOffset = 0x124;
constexpr int oldRecordsOffset = 0x164;
constexpr int oldHeaderBytes = 85;
constexpr int newHeaderBytes = 132;
constexpr int playModeOffset = 0x54;
constexpr uint16_t newLayoutMark = 0x55AA;

struct Area
{
    int offset;
    int sizeBytes;
};
// Configuration, block A, block B, macro block and the trailing KiB.
constexpr std::array<Area, 5> bodyAreas{
    {{0, configBytes}, {0x4000, 0x8000}, {0xC000, 0x10000}, {0x1C000, 0x20000}, {0x3C000, 0x400}}};

int u16At(const QByteArray &bytes, int offset)
{
    return uint8_t(bytes.at(offset)) | uint8_t(bytes.at(offset + 1)) << 8;
}

int formatOf(const QByteArray &area, int recordOffset)
{
    return uint8_t(area.at(recordOffset + 4));
}

struct VersionBytes
{
    int major;
    int minor;
    int patch;
    QString text() const { return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch); }
    bool below(int otherMajor, int otherMinor, int otherPatch) const
    {
        if (major != otherMajor)
            return major < otherMajor;
        if (minor != otherMinor)
            return minor < otherMinor;
        return patch < otherPatch;
    }
    int generation() const { return major * 10 + minor; }
};

VersionBytes versionOf(const QByteArray &config)
{
    return {uint8_t(config.at(1)), uint8_t(config.at(2)), uint8_t(config.at(3))};
}

// Records as the source holds them and as the conversion to format 4 must
// write them: header bytes 5-83 kept, play mode at 0x54 from the old format,
// 47 zero bytes, the body unchanged; records already in format 4 copied.
void checkConverted(const QByteArray &source, const QList<Record> &records,
                    const QByteArray &converted)
{
    int written = 0;
    for (const Record &record : records) {
        const QByteArray old = source.mid(record.offset, record.length);
        const int format = formatOf(source, record.offset);
        FUZZ_REQUIRE(written + 4 < converted.size());
        if (format >= 4) {
            FUZZ_REQUIRE(converted.mid(written, record.length) == old);
            written += record.length;
            continue;
        }
        const int bodyLength = record.length - oldHeaderBytes;
        const int newLength = bodyLength + newHeaderBytes;
        const QByteArray made = converted.mid(written, newLength);
        FUZZ_REQUIRE(made.size() == newLength);
        FUZZ_REQUIRE(u16At(made, 0) == newLength);
        FUZZ_REQUIRE(u16At(made, 2) == 0);
        FUZZ_REQUIRE(formatOf(made, 0) == 4);
        FUZZ_REQUIRE(made.mid(5, playModeOffset - 5) == old.mid(5, playModeOffset - 5));
        const int playMode = format >= 3 ? 0 : format == 2 ? 1 : 2;
        FUZZ_REQUIRE(uint8_t(made.at(playModeOffset)) == playMode);
        FUZZ_REQUIRE(made.mid(oldHeaderBytes, newHeaderBytes - oldHeaderBytes) ==
                     QByteArray(newHeaderBytes - oldHeaderBytes, '\0'));
        FUZZ_REQUIRE(made.mid(newHeaderBytes) == old.mid(oldHeaderBytes));
        written += newLength;
    }
    FUZZ_REQUIRE(written == converted.size());
}

// Records must lie one after another from the start, each at least as long
// as its header and inside the area.
void checkRecordsTile(const QByteArray &area, int start, const QList<Record> &records)
{
    int offset = start;
    for (const Record &record : records) {
        FUZZ_REQUIRE(record.offset == offset);
        FUZZ_REQUIRE(record.length >=
                     (formatOf(area, offset) >= 4 ? newHeaderBytes : oldHeaderBytes));
        FUZZ_REQUIRE(record.offset + record.length <= area.size());
        offset += record.length;
    }
}

// A macro block as written to the adapter: length, count, total and end
// mark agree with the records it holds.
void checkMacroBlock(const QByteArray &block, int count, bool recordsInFormat4)
{
    const int size = block.size();
    FUZZ_REQUIRE(size >= emptyMacroBlockBytes);
    FUZZ_REQUIRE(size <= 0xFFFF);
    FUZZ_REQUIRE(u16At(block, 0) == size);
    FUZZ_REQUIRE(uint8_t(block.at(2)) == uint8_t(count));
    FUZZ_REQUIRE(u16At(block, 3) == size - emptyMacroBlockBytes);
    FUZZ_REQUIRE(u16At(block, size - 2) == newLayoutMark);
    const auto records = T5Backup::MacroRecords::read(block, macroHeaderBytes, count);
    FUZZ_REQUIRE(records.has_value());
    checkRecordsTile(block, macroHeaderBytes, *records);
    int total = 0;
    for (const Record &record : *records) {
        total += record.length;
        if (recordsInFormat4)
            FUZZ_REQUIRE(formatOf(block, record.offset) >= 4);
    }
    FUZZ_REQUIRE(total == size - emptyMacroBlockBytes);
}

void checkDataBlock(const QByteArray &block, const QByteArray &body, int offset, int areaBytes,
                    bool fromOldLayout)
{
    const int length = u16At(body, offset);
    FUZZ_REQUIRE(length >= 2 && length <= areaBytes);
    FUZZ_REQUIRE(block.size() == length);
    if (fromOldLayout) {
        FUZZ_REQUIRE(block.left(length - 2) == body.mid(offset, length - 2));
        FUZZ_REQUIRE(u16At(block, length - 2) == newLayoutMark);
    } else {
        FUZZ_REQUIRE(block == body.mid(offset, length));
    }
}

void checkRestore(const QByteArray &body, const QByteArray &adapterConfig, bool keepFormat)
{
    const auto contents = T5Backup::restoreContents(body, adapterConfig, keepFormat);
    if (!contents)
        return;
    const QByteArray saved = body.left(configBytes);
    const bool fromOldLayout = versionOf(saved).below(5, 5, 0);

    // Configuration: the adapter's firmware description, the backup's
    // settings (old layout: only the two settings ranges), the marks.
    const QByteArray &config = contents->config;
    FUZZ_REQUIRE(config.size() == configBytes);
    FUZZ_REQUIRE(uint8_t(config.at(0)) == 0x55);
    FUZZ_REQUIRE(uint8_t(config.at(configBytes - 1)) == 0xAA);
    FUZZ_REQUIRE(config.mid(1, 0x41) == adapterConfig.mid(1, 0x41));
    if (fromOldLayout) {
        FUZZ_REQUIRE(config.mid(0x42, 0xE3 - 0x42 + 1) == saved.mid(0x42, 0xE3 - 0x42 + 1));
        FUZZ_REQUIRE(config.mid(0xE4, 0x3F1D - 0xE4) == QByteArray(0x3F1D - 0xE4, '\0'));
        FUZZ_REQUIRE(config.mid(0x3F1D, 0x3FFE - 0x3F1D + 1) ==
                     saved.mid(0x3F1D, 0x3FFE - 0x3F1D + 1));
    } else {
        FUZZ_REQUIRE(config.mid(0x42, 0x3FFE - 0x42 + 1) == saved.mid(0x42, 0x3FFE - 0x42 + 1));
    }

    checkDataBlock(contents->blockA, body, blockAOffset, blockAAreaBytes, fromOldLayout);
    checkDataBlock(contents->blockB, body, blockBOffset, blockBAreaBytes, fromOldLayout);

    // Macro block: must fit the 128 KiB area it is written to.
    const QByteArray &macro = contents->macroBlock;
    FUZZ_REQUIRE(macro.size() >= emptyMacroBlockBytes && macro.size() <= macroAreaBytes);
    FUZZ_REQUIRE(u16At(macro, 0) == macro.size());
    const QByteArray savedMacroArea = body.mid(macroOffset, macroAreaBytes);
    const int count =
        fromOldLayout ? uint8_t(saved.at(oldRecordCountOffset)) : uint8_t(savedMacroArea.at(2));
    if (!fromOldLayout && (keepFormat || count == 0)) {
        FUZZ_REQUIRE(macro == savedMacroArea.left(macro.size()));
        return;
    }
    const bool converted = !keepFormat && count > 0;
    checkMacroBlock(macro, count, converted);
    const QByteArray &source = fromOldLayout ? saved : savedMacroArea;
    const int start = fromOldLayout ? oldRecordsOffset : macroHeaderBytes;
    const auto sourceRecords = T5Backup::MacroRecords::read(source, start, count);
    FUZZ_REQUIRE(sourceRecords.has_value());
    checkRecordsTile(source, start, *sourceRecords);
    const QByteArray records = macro.mid(macroHeaderBytes, macro.size() - emptyMacroBlockBytes);
    if (converted) {
        checkConverted(source, *sourceRecords, records);
    } else {
        int offset = 0;
        for (const Record &record : *sourceRecords) {
            FUZZ_REQUIRE(records.mid(offset, record.length) ==
                         source.mid(record.offset, record.length));
            offset += record.length;
        }
    }
    if (!fromOldLayout)
        FUZZ_REQUIRE(macro.mid(5, macroHeaderBytes - 5) == savedMacroArea.mid(5, 59));
}

// The adapter's configuration: only its firmware description (bytes 1 to
// 0x41) matters to a restore; the version comes from the input.
QByteArray adapterConfiguration(const VersionBytes &version)
{
    QByteArray config(configBytes, '\0');
    for (int index = 4; index <= 0x41; ++index)
        config[index] = char(index * 7);
    config[1] = char(version.major);
    config[2] = char(version.minor);
    config[3] = char(version.patch);
    return config;
}

void checkKeepFormatRule(const VersionBytes &adapter, const VersionBytes &backup)
{
    // Same generation (major × 10 + minor), or an adapter below 5.6.0.
    const bool expected = adapter.generation() == backup.generation() || adapter.below(5, 6, 0);
    FUZZ_REQUIRE(T5Backup::recordsKeepFormat(adapter.text(), backup.text()) == expected);
}

void fuzzBackupFile(InputReader &input)
{
    const QByteArray serialBytes = input.bytes(input.flag() ? 12 : 0);
    const QString serial = QString::fromLatin1(serialBytes.toHex());
    const QByteArray file = input.rest();
    QByteArray body;
    const T5Backup::DecodeResult result = T5Backup::decode(file, serial, &body);
    FUZZ_REQUIRE((result == T5Backup::DecodeResult::Empty) == file.isEmpty());
    if (result != T5Backup::DecodeResult::Decoded)
        return;
    FUZZ_REQUIRE(body.size() == bodyBytes);
    if (file.size() == bodyBytes + 16)
        FUZZ_REQUIRE(T5Backup::encode(body, serial) == file);
    const VersionBytes adapter{5, 6, 1};
    checkKeepFormatRule(adapter, versionOf(body));
    checkRestore(body, adapterConfiguration(adapter),
                 T5Backup::recordsKeepFormat(adapter.text(), T5Backup::backupVersion(body)));
}

void fuzzBackupBody(InputReader &input)
{
    const uint8_t options = input.byte();
    const VersionBytes adapter{input.byte(), input.byte(), input.byte()};
    QByteArray body(bodyBytes, '\0');
    while (!input.atEnd()) {
        const Area area = bodyAreas[input.byte() % bodyAreas.size()];
        const uint32_t offsetInArea =
            (uint32_t(input.byte()) | uint32_t(input.u16()) << 8) % uint32_t(area.sizeBytes);
        const QByteArray patch = input.bytes(input.byte());
        const int fitting = std::min(patch.size(), area.sizeBytes - int(offsetInArea));
        body.replace(area.offset + int(offsetInArea), fitting, patch.left(fitting));
    }
    FUZZ_REQUIRE(body.size() == bodyBytes);

    const VersionBytes backup = versionOf(body);
    FUZZ_REQUIRE(T5Backup::backupVersion(body) == backup.text());
    checkKeepFormatRule(adapter, backup);
    const bool keepFormat = (options & 1)
                                ? T5Backup::recordsKeepFormat(adapter.text(), backup.text())
                                : (options & 2) != 0;
    checkRestore(body, adapterConfiguration(adapter), keepFormat);

    if (options & 4) {
        // A file made for one adapter opens with its serial number only.
        // The codec works byte by byte, so a whole body would make this the
        // slowest step of every run: a part of it up to 4 KiB is encoded,
        // which decoding pads with zeros to a whole body.
        const QString serial =
            QStringLiteral("%1a0b1c2d3e4f5a6b7c8d9e0f1").arg(options, 2, 16, QLatin1Char('0'));
        const QByteArray part = body.left(256 * (1 + (options >> 4)));
        const QByteArray file = T5Backup::encode(part, serial);
        FUZZ_REQUIRE(file.size() == part.size() + 16);
        QByteArray decoded;
        FUZZ_REQUIRE(T5Backup::decode(file, serial, &decoded) == T5Backup::DecodeResult::Decoded);
        FUZZ_REQUIRE(decoded == part.leftJustified(bodyBytes, '\0'));
        FUZZ_REQUIRE(T5Backup::decode(file, serial.toUpper(), &decoded) ==
                     T5Backup::DecodeResult::DigestMismatch);
    }
}

void fuzzMacroRecords(InputReader &input)
{
    const int startChoice = input.u16();
    const int count = input.byte();
    const bool withHeader = input.flag();
    const QByteArray area = input.rest();
    const int start = startChoice % (area.size() + 1);
    const auto records = T5Backup::MacroRecords::read(area, start, count);
    if (!records)
        return;
    FUZZ_REQUIRE(records->size() == count);
    checkRecordsTile(area, start, *records);
    const QByteArray converted = T5Backup::MacroRecords::convert(area, *records, true);
    FUZZ_REQUIRE(converted.size() == T5Backup::MacroRecords::convertedLength(area, *records));
    checkConverted(area, *records, converted);
    if (macroHeaderBytes + converted.size() + 2 > 0xFFFF)
        return;
    const QByteArray header = withHeader ? area.left(macroHeaderBytes) : QByteArray();
    const QByteArray block = T5Backup::MacroRecords::block(header, converted, count);
    checkMacroBlock(block, count, true);
    if (withHeader)
        FUZZ_REQUIRE(block.mid(5, 59) ==
                     area.left(macroHeaderBytes).leftJustified(macroHeaderBytes, '\0').mid(5, 59));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialised = (FuzzSupport::silenceLogging(), true);
    Q_UNUSED(initialised)
    InputReader input(data, size);
    switch (input.byte() % 3) {
    case 0:
        fuzzBackupFile(input);
        break;
    case 1:
        fuzzBackupBody(input);
        break;
    default:
        fuzzMacroRecords(input);
        break;
    }
    return 0;
}
