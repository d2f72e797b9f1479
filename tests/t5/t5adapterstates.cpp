#include "t5adapterstates.h"

#include <QCryptographicHash>
#include <QStringList>

namespace T5Flash {

QByteArray pattern(int length, int seed)
{
    QByteArray bytes(length, '\0');
    quint32 value = quint32(seed) * 2654435761u + 12345u;
    for (int index = 0; index < length; ++index) {
        value = value * 1103515245u + 12345u;
        quint8 byte = quint8(value >> 16);
        // Neither erased (0xFF) nor zero, so every copied byte is visible.
        if (byte == 0xFF || byte == 0x00)
            byte = 0x5A;
        bytes[index] = char(byte);
    }
    return bytes;
}

QByteArray image(int length, int seed, quint32 imageBase)
{
    QByteArray bytes = pattern(length, 1000 + seed);
    if (length >= 8) {
        putU32(&bytes, 0, 0x20020000);
        const quint32 resetOffset = quint32(qMin(0x1C0, (length - 1) & ~1));
        putU32(&bytes, 4, (imageBase + resetOffset) | 1u);
    }
    return bytes;
}

quint32 imageBaseFor(const QString &version)
{
    const QStringList parts = version.split('.');
    const int major = parts.value(0).toInt();
    const int minor = parts.value(1).toInt();
    return major < 5 || (major == 5 && minor < 5) ? 0x08020000 : 0x08040000;
}

quint16 u16(const QByteArray &bytes, int offset)
{
    return quint16(quint8(bytes.at(offset)) | (quint8(bytes.at(offset + 1)) << 8));
}

void putU16(QByteArray *bytes, int offset, quint16 value)
{
    (*bytes)[offset] = char(value & 0xFF);
    (*bytes)[offset + 1] = char(value >> 8);
}

void putU32(QByteArray *bytes, int offset, quint32 value)
{
    putU16(bytes, offset, quint16(value & 0xFFFF));
    putU16(bytes, offset + 2, quint16(value >> 16));
}

QByteArray config(const AdapterState &state)
{
    // Uninterpreted settings everywhere, then the documented fields on top.
    QByteArray bytes = pattern(configBytes, 77);
    bytes[0x0000] = char(0x55);
    bytes[0x0001] = char(state.major);
    bytes[0x0002] = char(state.minor);
    bytes[0x0003] = char(state.patch);
    putU32(&bytes, 0x0004, state.newLayout ? 0x08040000 : 0x08020000);
    putU32(&bytes, 0x0008, quint32(state.imageLength));
    putU16(&bytes, 0x0040, 0xAA55);
    bytes[0x0082] = char(state.bootMode);
    if (!state.newLayout) {
        bytes[0x0124] = char(state.macroCount);
        putU16(&bytes, 0x0125, quint16(state.macroRecords.size()));
        bytes.replace(0x0164, state.macroRecords.size(), state.macroRecords);
    }
    bytes[0x3F1D] = char(0x55);
    bytes[0x3FFE] = char(0xAA);
    bytes[0x3FFF] = char(0xAA);
    return bytes;
}

QByteArray dataBlock(int length, quint16 mark, int seed)
{
    QByteArray block = pattern(length, seed);
    putU16(&block, 0, quint16(length));
    putU16(&block, length - 2, mark);
    return block;
}

QByteArray macroRecord(int length, int format, const QByteArray &name, int seed)
{
    QByteArray record = pattern(length, seed);
    putU16(&record, 0, quint16(length));
    putU16(&record, 2, 0x1234);
    record[4] = char(format);
    QByteArray nameField = name.left(20);
    nameField.append('\0');
    record.replace(5, nameField.size(), nameField);
    return record;
}

QByteArray macroBlock(const QByteArray &records, int count)
{
    QByteArray block = pattern(64, 99);
    putU16(&block, 0, quint16(64 + records.size() + 2));
    block[2] = char(count);
    putU16(&block, 3, quint16(records.size()));
    block.append(records);
    block.append(char(0xAA));
    block.append(char(0x55));
    return block;
}

QByteArray flash(const AdapterState &state)
{
    QByteArray bytes(flashBytes, char(0xFF));
    // Sector 0 holds the boot loader; only its last 64 bytes matter here.
    bytes.replace(0, 0x1000, pattern(0x1000, 5));
    QByteArray info = pattern(64, 6);
    if (state.infoValid) {
        info[0] = char(0x55);
        info[63] = char(0xAA);
    } else {
        info[0] = char(0x00);
    }
    info.replace(1, 12, state.serial);
    bytes.replace(infoOffset, 64, info);

    bytes.replace(configOffset, configBytes, config(state));
    const quint16 mark = state.newLayout ? 0x55AA : 0xAA55;
    bytes.replace(blockAOffset, state.blockALength, dataBlock(state.blockALength, mark, 11));
    bytes.replace(blockBOffset, state.blockBLength, dataBlock(state.blockBLength, mark, 12));
    if (state.newLayout) {
        const QByteArray macro = macroBlock(state.macroRecords, state.macroCount);
        bytes.replace(sector5Offset, macro.size(), macro);
    }
    const int imageOffset = state.newLayout ? sector6Offset : sector5Offset;
    QByteArray stored = image(state.imageLength, 0);
    if (state.firmwareEndMark) {
        stored.append(char(0x55));
        stored.append(char(0xAA));
    }
    bytes.replace(imageOffset, stored.size(), stored);
    return bytes;
}

QByteArray withMigrations(const QByteArray &config, const QStringList &migrations)
{
    QByteArray expected = config;
    if (migrations.contains("5.2.14")) {
        expected[0x124] = 0;
        putU16(&expected, 0x125, 0);
    }
    if (migrations.contains("5.2.44"))
        expected[0x7F] = 0;
    if (migrations.contains("5.0.0")) {
        expected[0x7E] = char(0x10);
        expected[0x7F] = 0;
        const quint16 settings[5] = {0x1245, 0x1252, 0x1251, 0x124F, 0x1250};
        for (int index = 0; index < 5; ++index)
            putU16(&expected, 0x46 + 2 * index, settings[index]);
        expected[0x3F1E] = 1;
        expected[0x3F1F] = 0;
        expected[0x3F20] = 0;
    }
    if (migrations.contains("5.3.0")) {
        expected.replace(0x3F1D, 0x3FFE - 0x3F1D + 1, QByteArray(0x3FFE - 0x3F1D + 1, '\0'));
        expected[0x3F1D] = char(0x55);
        expected[0x3FFE] = char(0xAA);
        expected[0x3F1E] = 1;
    }
    return expected;
}

QByteArray factoryConfig(int major, int minor, int patch, bool newLayout, int imageLength)
{
    QByteArray bytes(configBytes, '\0');
    bytes[0x0000] = char(0x55);
    bytes[0x0001] = char(major);
    bytes[0x0002] = char(minor);
    bytes[0x0003] = char(patch);
    putU32(&bytes, 0x0004, newLayout ? 0x08040000 : 0x08020000);
    putU32(&bytes, 0x0008, quint32(imageLength));
    putU16(&bytes, 0x0040, 0xAA55);
    putU16(&bytes, 0x0046, 0x1245);
    putU16(&bytes, 0x0048, 0x1252);
    putU16(&bytes, 0x004A, 0x1251);
    putU16(&bytes, 0x004C, 0x124F);
    putU16(&bytes, 0x004E, 0x1250);
    bytes[0x007E] = char(0x10);
    bytes[0x3F1D] = char(0x55);
    bytes[0x3F1E] = char(1);
    bytes[0x3FFE] = char(0xAA);
    bytes[0x3FFF] = char(0xAA);
    return bytes;
}

namespace {
QByteArray keyFor(const QString &serialText)
{
    return QCryptographicHash::hash(serialText.toLocal8Bit(), QCryptographicHash::Md5);
}

void scramble(QByteArray *data, const QByteArray &key)
{
    for (int index = 0; index < data->size(); ++index)
        (*data)[index] = char((*data)[index] ^ key[index % 16]);
}
} // namespace

QByteArray backupFile(const QByteArray &body, const QString &serialText)
{
    QByteArray data = body + QCryptographicHash::hash(body, QCryptographicHash::Md5);
    scramble(&data, keyFor(serialText));
    return data;
}

QByteArray backupBody(const QByteArray &file, const QString &serialText)
{
    QByteArray data = file;
    scramble(&data, keyFor(serialText));
    const QByteArray body = data.left(data.size() - 16);
    if (QCryptographicHash::hash(body, QCryptographicHash::Md5) != data.right(16))
        return {};
    return body;
}

} // namespace T5Flash
