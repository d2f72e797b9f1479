// What the adapters answer: reply frames of the T5/M7 and the K3 protocol
// (matched against the request they may answer), and the flash structures
// read through them: the T5's information block and configuration sector,
// the K3/M7 firmware-information block and the M7's erase plan derived
// from the image size it states.
//
// The first byte chooses what the rest is:
//   0  a request code, address and length, and a T5/M7 reply frame;
//   1  the same with a K3 reply frame;
//   2  a T5 information block, a layout choice and a configuration sector;
//   3  a K3/M7 firmware-information block and an image.
// Field offsets are those of the wire and flash tables of the protocols.

#include "firmwareimagecheck.h"
#include "firmwareinformationblock.h"
#include "fuzzsupport.h"
#include "k3device.h"
#include "m7device.h"
#include "memoryframe.h"
#include "t5configuration.h"

#include <QCryptographicHash>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <tuple>

using FuzzSupport::InputReader;

namespace {
constexpr uint32_t requestCodes[] = {0x55, 0x56, 0x57, 0x5B, 0x5C, 0x5D, 0x61};
constexpr uint32_t replyCodesInUse[] = {0x58, 0x59, 0x5B, 0x5D};

uint32_t littleEndian(const QByteArray &bytes, int offset, int width)
{
    uint32_t value = 0;
    for (int index = width - 1; index >= 0; --index)
        value = (value << 8) | uint8_t(bytes.at(offset + index));
    return value;
}

struct WireFields
{
    int codeOffset;
    int codeBytes;
    int addressOffset;
    int lengthOffset;
    int lengthBytes;
};
// T5 and M7: u32 code at 1, u32 address at 5, u32 length at 9.
constexpr WireFields wideWire{1, 4, 5, 9, 4};
// K3: u8 status at 2, u32 address at 3, u16 length at 7.
constexpr WireFields k3Wire{2, 1, 3, 7, 2};

void fuzzReplyFrame(InputReader &input, const FrameLayout &layout, const WireFields &wire)
{
    const uint8_t codeChoice = input.byte();
    const uint32_t requestCode =
        codeChoice < 0xF0 ? requestCodes[codeChoice % std::size(requestCodes)] : input.byte();
    const uint32_t address = input.u32();
    const uint32_t length = input.byte() % (uint32_t(layout.maxDataBytes) + 1);
    const QByteArray reply = input.rest();

    const MemoryFrame request = MemoryFrame::request(layout, requestCode, address, length);
    MemoryFrame frame(layout);
    frame.assign(reply);
    // A reply shorter than a frame reads as if padded with zeros.
    const QByteArray padded =
        reply.left(MemoryFrame::sizeBytes).leftJustified(MemoryFrame::sizeBytes, '\0');
    FUZZ_REQUIRE(frame.toByteArray() == padded);
    FUZZ_REQUIRE(frame.code() == littleEndian(padded, wire.codeOffset, wire.codeBytes));
    FUZZ_REQUIRE(frame.address() == littleEndian(padded, wire.addressOffset, 4));
    FUZZ_REQUIRE(frame.length() == littleEndian(padded, wire.lengthOffset, wire.lengthBytes));
    FUZZ_REQUIRE(frame.data() == frame.bytes + layout.dataOffset);

    // Which reply answers which request.
    const uint32_t expected = MemoryFrame::expectedReplyCode(requestCode);
    if (requestCode == 0x56 || requestCode == 0x57)
        FUZZ_REQUIRE(expected == 0x58);
    else if (requestCode == 0x55)
        FUZZ_REQUIRE(expected == 0x59);
    else
        FUZZ_REQUIRE(expected == requestCode);
    const bool answers = frame.answers(request);
    const bool stale = frame.answersAnEarlierRequest(request);
    if (answers) {
        FUZZ_REQUIRE(frame.code() == 0x58);
        FUZZ_REQUIRE(frame.address() == address && frame.length() == length);
        FUZZ_REQUIRE(padded.at(0) == 0);
        // A reply that carries out a read or a write is never skipped as
        // stale. (Data answers no other request: for those it is stale.)
        if (expected == 0x58)
            FUZZ_REQUIRE(!stale);
    }
    // A refusal or a code no adapter sends counts as this request's answer.
    if (std::find(std::begin(replyCodesInUse), std::end(replyCodesInUse), frame.code()) ==
        std::end(replyCodesInUse))
        FUZZ_REQUIRE(!stale);
    if (frame.code() == expected && expected != 0x58)
        FUZZ_REQUIRE(!stale);
}

QString versionTextOf(int major, int minor, int patch)
{
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

// The version bytes become text and back without change.
void checkVersionText(const QString &text, const std::array<uint8_t, 3> &bytes)
{
    FUZZ_REQUIRE(text == versionTextOf(bytes[0], bytes[1], bytes[2]));
    const auto parsed = FirmwareImageCheck::parseVersion(text);
    FUZZ_REQUIRE(parsed.has_value() && *parsed == bytes);
}

bool below(const std::array<uint8_t, 3> &version, int major, int minor, int patch)
{
    return std::make_tuple(int(version[0]), int(version[1]), int(version[2])) <
           std::make_tuple(major, minor, patch);
}

// Migrations of an update: each threshold changes its own bytes only.
void checkMigrations(const QByteArray &before, T5FlashLayout::Layout target)
{
    QByteArray after = before;
    const auto version = T5Configuration::versionBytes(before);
    T5Configuration::applyMigrations(&after, target, T5Configuration::versionText(before));
    FUZZ_REQUIRE(after.size() == before.size());
    const auto mayChange = [](int offset) {
        return offset == 0x124 || offset == 0x125 || offset == 0x126 || offset == 0x7E ||
               offset == 0x7F || (offset >= 0x46 && offset <= 0x4F) ||
               (offset >= 0x3F1D && offset <= 0x3FFE);
    };
    for (int offset = 0; offset < before.size(); ++offset) {
        if (!mayChange(offset))
            FUZZ_REQUIRE(after.at(offset) == before.at(offset));
    }
    if (!below(version, 5, 3, 0)) {
        FUZZ_REQUIRE(after == before);
        return;
    }
    FUZZ_REQUIRE(uint8_t(after.at(0x3F1D)) == 0x55 && uint8_t(after.at(0x3FFE)) == 0xAA);
    FUZZ_REQUIRE(after.mid(0x3F1E, 4) == QByteArray::fromHex("01000000"));
    FUZZ_REQUIRE(after.mid(0x3F22, 0x3FFE - 0x3F22) == QByteArray(0x3FFE - 0x3F22, '\0'));
    if (below(version, 5, 2, 44))
        FUZZ_REQUIRE(after.at(0x7F) == 0);
    if (target == T5FlashLayout::Layout::Old && below(version, 5, 2, 14))
        FUZZ_REQUIRE(after.mid(0x124, 3) == QByteArray(3, '\0'));
    if (below(version, 5, 0, 0)) {
        FUZZ_REQUIRE(uint8_t(after.at(0x7E)) == 0x10);
        FUZZ_REQUIRE(
            littleEndian(after, 0x46, 2) == 0x1245 && littleEndian(after, 0x48, 2) == 0x1252 &&
            littleEndian(after, 0x4A, 2) == 0x1251 && littleEndian(after, 0x4C, 2) == 0x124F &&
            littleEndian(after, 0x4E, 2) == 0x1250);
    }
}

void fuzzT5Structures(InputReader &input)
{
    // Information block: marks at 0 and 63, serial number in bytes 1-12.
    const QByteArray info = input.bytes(64).leftJustified(64, '\0');
    const QString serial = QString::fromLatin1(info.mid(1, 12).toHex());
    FUZZ_REQUIRE(serial.size() == 24 && serial == serial.toLower());

    const uint8_t options = input.byte();
    const QByteArray given = input.rest();
    // A configuration of any length must be read safely; a whole sector is
    // also changed the ways an update and a restore change it.
    const QByteArray config =
        (options & 1) ? given : given.left(0x4000).leftJustified(0x4000, '\0');
    const auto version = T5Configuration::versionBytes(config);
    const int bootMode = T5Configuration::storedBootMode(config);
    FUZZ_REQUIRE(bootMode >= 0 && bootMode <= 4);
    if (config.size() <= 0x82) {
        FUZZ_REQUIRE(bootMode == 0);
    } else {
        const int stored = uint8_t(config.at(0x82));
        FUZZ_REQUIRE(bootMode == (stored <= 4 ? stored : 0));
    }
    const bool complete = T5Configuration::isComplete(config);
    FUZZ_REQUIRE(complete ==
                 (config.size() == 0x4000 && uint8_t(config.at(0)) == 0x55 &&
                  littleEndian(config, 0x40, 2) == 0xAA55 && uint8_t(config.at(0x3FFF)) == 0xAA));
    if (config.size() < 4) {
        FUZZ_REQUIRE(version == (std::array<uint8_t, 3>{}));
        return;
    }
    FUZZ_REQUIRE(version[0] == uint8_t(config.at(1)) && version[1] == uint8_t(config.at(2)) &&
                 version[2] == uint8_t(config.at(3)));
    const QString text = T5Configuration::versionText(config);
    checkVersionText(text, version);
    const auto layout = T5Configuration::layoutForVersion(text);
    FUZZ_REQUIRE((layout == T5FlashLayout::Layout::Old) == below(version, 5, 5, 0));
    if (config.size() != 0x4000)
        return;

    // The sectors an image of the stated length needs: sectors 6-11 are
    // 128 KiB each and hold the image and its 2-byte end mark.
    const uint32_t imageLength = littleEndian(config, 8, 4);
    const QList<uint8_t> sectors = T5Configuration::imageEraseSectors(layout, imageLength);
    if (layout == T5FlashLayout::Layout::Old) {
        FUZZ_REQUIRE(sectors == (QList<uint8_t>{5, 6}));
    } else {
        FUZZ_REQUIRE(!sectors.isEmpty() && sectors.first() == 6 && sectors.last() <= 11);
        for (int index = 1; index < sectors.size(); ++index)
            FUZZ_REQUIRE(sectors.at(index) == sectors.at(index - 1) + 1);
        if (uint64_t(imageLength) + 2 <= 6 * 0x20000)
            FUZZ_REQUIRE(uint64_t(sectors.size()) * 0x20000 >= uint64_t(imageLength) + 2);
    }

    checkMigrations(config,
                    (options & 2) ? T5FlashLayout::Layout::Old : T5FlashLayout::Layout::New);

    // Describing an image makes a whole sector of it and keeps the settings.
    QByteArray described = config;
    const std::array<uint8_t, 3> newVersion{info.at(13) == 0 ? uint8_t(5) : uint8_t(info.at(13)),
                                            uint8_t(info.at(14)), uint8_t(info.at(15))};
    const uint32_t base = T5Configuration::imageBase(layout);
    T5Configuration::describeImage(&described, newVersion, base, imageLength);
    FUZZ_REQUIRE(T5Configuration::isComplete(described));
    FUZZ_REQUIRE(T5Configuration::versionBytes(described) == newVersion);
    FUZZ_REQUIRE(littleEndian(described, 4, 4) == base &&
                 littleEndian(described, 8, 4) == imageLength);
    FUZZ_REQUIRE(described.mid(0x42, 0x3FFF - 0x42) == config.mid(0x42, 0x3FFF - 0x42));

    // A restore keeps the firmware description of the adapter.
    QByteArray restored = config;
    T5Configuration::keepFirmwareDescription(&restored, described);
    FUZZ_REQUIRE(restored.mid(1, 0x41) == described.mid(1, 0x41));
    FUZZ_REQUIRE(uint8_t(restored.at(0)) == 0x55 && uint8_t(restored.at(0x3FFF)) == 0xAA);
    FUZZ_REQUIRE(restored.mid(0x42, 0x3FFF - 0x42) == config.mid(0x42, 0x3FFF - 0x42));
}

// M7 flash: sectors 0-3 of 16 KiB, 4 of 64 KiB, 5-11 of 128 KiB; the image
// starts at 0x08010000, the start of sector 4, and the information block
// lies in sector 1.
void checkM7EraseSectors(uint32_t imageSize)
{
    const QList<uint8_t> sectors = M7Device::eraseSectorsForImage(imageSize);
    constexpr uint64_t capacityBytes = 0x10000 + 7 * 0x20000;
    if (imageSize == 0 || imageSize > capacityBytes) {
        FUZZ_REQUIRE(sectors.isEmpty());
        return;
    }
    FUZZ_REQUIRE(sectors.size() >= 2 && sectors.first() == 1 && sectors.at(1) == 4);
    for (int index = 2; index < sectors.size(); ++index)
        FUZZ_REQUIRE(sectors.at(index) == sectors.at(index - 1) + 1);
    FUZZ_REQUIRE(sectors.last() <= 11);
    const auto coveredBytes = [](int lastSector) {
        return lastSector < 4 ? uint64_t(0) : 0x10000 + uint64_t(lastSector - 4) * 0x20000;
    };
    // Every byte of the image is erased, and no sector more than needed.
    FUZZ_REQUIRE(coveredBytes(sectors.last()) >= imageSize);
    FUZZ_REQUIRE(coveredBytes(sectors.last() - 1) < imageSize);
}

void fuzzInformationBlock(InputReader &input)
{
    const QByteArray block = input.bytes(256).leftJustified(256, '\0');
    const QByteArray image = input.rest();
    const auto *bytes = reinterpret_cast<const uint8_t *>(block.constData());

    FUZZ_REQUIRE(FirmwareInformationBlock::isMarkedValid(bytes) ==
                 (bytes[0] == 0x55 && bytes[255] == 0xAA));
    checkVersionText(FirmwareInformationBlock::versionText(bytes), {bytes[5], bytes[6], bytes[7]});
    const uint32_t imageSize = FirmwareInformationBlock::imageSizeBytes(bytes);
    FUZZ_REQUIRE(imageSize == littleEndian(block, 8, 4));
    checkM7EraseSectors(imageSize);
    checkM7EraseSectors(uint32_t(image.size()));

    // The block an update writes describes its image and reads back as such.
    const uint32_t start = littleEndian(block, 1, 4);
    const QByteArray built =
        FirmwareInformationBlock::build(start, bytes[5], bytes[6], bytes[7], image);
    FUZZ_REQUIRE(built.size() == 256);
    const auto *builtBytes = reinterpret_cast<const uint8_t *>(built.constData());
    FUZZ_REQUIRE(FirmwareInformationBlock::isMarkedValid(builtBytes));
    FUZZ_REQUIRE(littleEndian(built, 1, 4) == start);
    FUZZ_REQUIRE(built.mid(5, 3) == block.mid(5, 3));
    FUZZ_REQUIRE(FirmwareInformationBlock::imageSizeBytes(builtBytes) == uint32_t(image.size()));
    FUZZ_REQUIRE(built.mid(12, 16) == QCryptographicHash::hash(image, QCryptographicHash::Md5));
    FUZZ_REQUIRE(built.mid(28, 227) == QByteArray(227, '\0'));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialised = (FuzzSupport::silenceLogging(), true);
    Q_UNUSED(initialised)
    InputReader input(data, size);
    switch (input.byte() % 4) {
    case 0:
        fuzzReplyFrame(input, wideFrameLayout, wideWire);
        break;
    case 1:
        fuzzReplyFrame(input, K3Device::frameLayout, k3Wire);
        break;
    case 2:
        fuzzT5Structures(input);
        break;
    default:
        fuzzInformationBlock(input);
        break;
    }
    return 0;
}
