#include "t5backup.h"

#include "memoryframe.h"
#include "t5configuration.h"
#include "versiontext.h"

#include <QCryptographicHash>
#include <QDebug>

#include <cstring>

using namespace T5FlashLayout;
using namespace LittleEndian;

namespace T5Backup {
namespace {
constexpr int recordFormatOffset = 4;
constexpr int recordNameOffset = 5;
constexpr int recordHeaderBytesV3 = 85;
constexpr int recordHeaderBytesV4 = 132;
constexpr int recordV4PlayModeOffset = 0x54;
constexpr uint8_t recordFormatV4 = 4;
// The macro block's length is a u16.
constexpr int largestBlockBytes = 0xFFFF;

QByteArray md5Of(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

void scramble(QByteArray *data, const QString &serialNumber)
{
    const QByteArray key = keyFor(serialNumber);
    for (int index = 0; index < data->size(); ++index)
        (*data)[index] = char((*data)[index] ^ key[index % key.size()]);
}

// A data block as saved: its length L counts the 2-byte end mark.
std::optional<QByteArray> dataBlock(const QByteArray &body, int bodyOffset, uint32_t areaBytes,
                                    bool rewriteMark)
{
    const uint16_t length = readU16(bytesOf(body), bodyOffset);
    if (length < 2 || length > areaBytes) {
        qWarning() << "dataRestore: data block length" << length << "does not fit its" << areaBytes
                   << "bytes";
        return std::nullopt;
    }
    QByteArray block = body.mid(bodyOffset, length);
    if (rewriteMark)
        writeU16(bytesOf(&block), length - 2, newLayoutMark);
    return block;
}
} // namespace

QByteArray keyFor(const QString &serialNumber)
{
    return md5Of(serialNumber.toLocal8Bit());
}

QByteArray encode(const QByteArray &body, const QString &serialNumber)
{
    QByteArray data = body + md5Of(body);
    scramble(&data, serialNumber);
    return data;
}

DecodeResult decode(const QByteArray &file, const QString &serialNumber, QByteArray *body)
{
    if (file.isEmpty())
        return DecodeResult::Empty;
    QByteArray data = file;
    scramble(&data, serialNumber);
    const int payloadBytes = data.size() - backupDigestBytes;
    if (payloadBytes < 4 || md5Of(data.left(payloadBytes)) != data.right(backupDigestBytes))
        return DecodeResult::DigestMismatch;
    *body = QByteArray(backupBodyBytes, '\0');
    std::memcpy(body->data(), data.constData(), size_t(qMin(payloadBytes, backupBodyBytes)));
    return DecodeResult::Decoded;
}

QString backupVersion(const QByteArray &body)
{
    return T5Configuration::versionText(body);
}

bool recordsKeepFormat(const QString &adapterVersion, const QString &backupVersion)
{
    if (VersionText::compareGenerations(adapterVersion, backupVersion) == 0)
        return true;
    return VersionText::compare(adapterVersion, QStringLiteral("5.6.0")) < 0;
}

std::optional<RestoreContents>
restoreContents(const QByteArray &body, const QByteArray &adapterConfig, bool keepRecordFormat)
{
    if (body.size() < backupBodyBytes || adapterConfig.size() != int(configSizeBytes))
        return std::nullopt;
    const bool fromOldLayout =
        VersionText::compare(backupVersion(body), QStringLiteral("5.5.0")) < 0;
    RestoreContents contents;
    const QByteArray savedConfig = body.left(int(configSizeBytes));

    if (fromOldLayout) {
        qWarning() << "restoreV1ToV2";
        // The settings of the old configuration around this adapter's
        // firmware description; the rest of the sector starts empty.
        contents.config = QByteArray(int(configSizeBytes), '\0');
        std::memcpy(contents.config.data() + 0x42, savedConfig.constData() + 0x42, 0xE3 - 0x42 + 1);
        std::memcpy(contents.config.data() + configTailStartOffset,
                    savedConfig.constData() + configTailStartOffset,
                    configTailEndOffset - configTailStartOffset + 1);
    } else {
        contents.config = savedConfig;
    }
    T5Configuration::keepFirmwareDescription(&contents.config, adapterConfig);
    if (!fromOldLayout)
        qWarning() << "restoreV2ToV2" << uint8_t(contents.config[1]) << uint8_t(contents.config[2])
                   << uint8_t(contents.config[3]);

    // Data blocks; the old layout's end mark becomes the new one.
    const auto blockA = dataBlock(body, backupDataBlockAOffset, dataBlockAAreaBytes, fromOldLayout);
    const auto blockB = dataBlock(body, backupDataBlockBOffset, dataBlockBAreaBytes, fromOldLayout);
    if (!blockA || !blockB)
        return std::nullopt;
    contents.blockA = *blockA;
    contents.blockB = *blockB;

    if (fromOldLayout) {
        // The old layout keeps its records in the configuration from 0x164.
        const int count = uint8_t(savedConfig[configMacroCountOffset]);
        const auto records = MacroRecords::read(savedConfig, configMacroRecordsOffset, count);
        if (!records)
            return std::nullopt;
        QByteArray recordBytes;
        if (keepRecordFormat || count == 0) {
            for (const MacroRecords::Record &record : *records)
                recordBytes += savedConfig.mid(record.offset, record.length);
        } else {
            qWarning() << "is not compatible version";
            recordBytes = MacroRecords::convert(savedConfig, *records, false);
        }
        if (macroHeaderBytes + recordBytes.size() + 2 > largestBlockBytes)
            return std::nullopt;
        contents.macroBlock = MacroRecords::block(QByteArray(), recordBytes, count);
        return contents;
    }

    const QByteArray savedMacroArea = body.mid(backupMacroBlockOffset, int(macroBlockAreaBytes));
    const int count = uint8_t(savedMacroArea[macroCountOffset]);
    if (keepRecordFormat || count == 0) {
        const int length = readU16(bytesOf(savedMacroArea), 0);
        if (length < macroHeaderBytes + 2)
            return std::nullopt;
        contents.macroBlock = savedMacroArea.left(length);
        return contents;
    }
    qWarning() << "is not compatible version";
    const auto records = MacroRecords::read(savedMacroArea, macroHeaderBytes, count);
    if (!records)
        return std::nullopt;
    const QByteArray recordBytes = MacroRecords::convert(savedMacroArea, *records, true);
    if (macroHeaderBytes + recordBytes.size() + 2 > largestBlockBytes)
        return std::nullopt;
    contents.macroBlock =
        MacroRecords::block(savedMacroArea.left(macroHeaderBytes), recordBytes, count);
    return contents;
}

namespace MacroRecords {

std::optional<QList<Record>> read(const QByteArray &area, int startOffset, int count)
{
    const uint8_t *bytes = bytesOf(area);
    const int areaBytes = area.size();
    QList<Record> records;
    int offset = startOffset;
    for (int index = 0; index < count; ++index) {
        if (offset + recordFormatOffset + 1 > areaBytes)
            return std::nullopt;
        const int length = readU16(bytes, offset);
        const int headerBytes = bytes[offset + recordFormatOffset] >= recordFormatV4
                                    ? recordHeaderBytesV4
                                    : recordHeaderBytesV3;
        if (length < headerBytes || offset + length > areaBytes)
            return std::nullopt;
        records.append({offset, length});
        offset += length;
    }
    return records;
}

int convertedLength(const QByteArray &area, const QList<Record> &records)
{
    int total = 0;
    for (const Record &record : records) {
        const bool alreadyV4 = uint8_t(area[record.offset + recordFormatOffset]) >= recordFormatV4;
        total +=
            alreadyV4 ? record.length : record.length - recordHeaderBytesV3 + recordHeaderBytesV4;
    }
    return total;
}

QByteArray convert(const QByteArray &area, const QList<Record> &records, bool logEachRecord)
{
    QByteArray target(convertedLength(area, records), '\0');
    uint8_t *targetBytes = bytesOf(&target);
    const uint8_t *source = bytesOf(area);
    int written = 0;
    for (const Record &record : records) {
        const uint8_t *old = source + record.offset;
        uint8_t *converted = targetBytes + written;
        const uint8_t oldFormat = old[recordFormatOffset];
        if (oldFormat >= recordFormatV4) {
            // Already in the target format: converting again would push the
            // header into the body.
            std::memcpy(converted, old, size_t(record.length));
            written += record.length;
            continue;
        }
        const int bodyBytes = record.length - recordHeaderBytesV3;
        std::memcpy(converted, old, recordHeaderBytesV3);
        std::memcpy(converted + recordHeaderBytesV4, old + recordHeaderBytesV3, size_t(bodyBytes));
        const uint16_t newLength = uint16_t(bodyBytes + recordHeaderBytesV4);
        writeU16(converted, 0, newLength);
        converted[recordV4PlayModeOffset] = oldFormat >= 3 ? 0 : oldFormat == 2 ? 1 : 2;
        writeU16(converted, 2, 0);
        converted[recordFormatOffset] = recordFormatV4;
        if (logEachRecord) {
            const QByteArray firstBodyBytes(
                reinterpret_cast<const char *>(converted + recordHeaderBytesV4),
                std::min(bodyBytes, 10));
            qWarning() << "restoreV2ToV2" << recordHeaderBytesV4 << readU16(old, 0x39)
                       << (macroHeaderBytes + written + recordHeaderBytesV4)
                       << firstBodyBytes.toHex();
            const char *name = reinterpret_cast<const char *>(old + recordNameOffset);
            const int nameBytes =
                int(strnlen(name, size_t(recordHeaderBytesV3 - recordNameOffset)));
            qWarning() << "restoreV2ToV2  mmacro v1 to v4" << QString::fromUtf8(name, nameBytes)
                       << newLength;
        }
        written += newLength;
    }
    return target;
}

QByteArray block(const QByteArray &header64, const QByteArray &records, int count)
{
    QByteArray result(macroHeaderBytes, '\0');
    if (!header64.isEmpty())
        result = header64.left(macroHeaderBytes).leftJustified(macroHeaderBytes, '\0');
    result += records;
    result.append(2, '\0');
    uint8_t *bytes = bytesOf(&result);
    bytes[macroCountOffset] = uint8_t(count);
    writeU16(bytes, macroTotalOffset, uint16_t(records.size()));
    writeU16(bytes, macroHeaderBytes + records.size(), newLayoutMark);
    writeU16(bytes, 0, uint16_t(macroHeaderBytes + records.size() + 2));
    return result;
}

} // namespace MacroRecords
} // namespace T5Backup
