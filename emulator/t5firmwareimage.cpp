#include "t5firmwareimage.h"

#include "t5flashbuilder.h"
#include "wirebytes.h"

using namespace WireBytes;

namespace {

// Two handlers in Thumb code, right after the vector table. The reset
// handler enables interrupts and idles; the default handler idles.
//   Reset_Handler:   cpsie i (b662), b . (e7fe)
//   Default_Handler: b . (e7fe), nop (bf00)
constexpr quint16 handlerCode[] = {0xB662, 0xE7FE, 0xE7FE, 0xBF00};
constexpr int handlerCodeBytes = int(sizeof handlerCode);
constexpr int defaultHandlerOffset = 4;
constexpr quint32 thumbBit = 1;
constexpr int resetEntry = 1;

// Entries 7-10 and 13 of the ARMv7-M table are reserved and stay zero.
bool isReservedEntry(int entry)
{
    return (entry >= 7 && entry <= 10) || entry == 13;
}

QByteArray fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return QByteArray();
}

} // namespace

namespace T5FirmwareImage {

quint32 loadAddress(const QString &version)
{
    const QByteArray parts = versionBytes(version);
    if (parts.isEmpty())
        return 0;
    const int major = quint8(parts.at(0));
    const int minor = quint8(parts.at(1));
    return major > 5 || (major == 5 && minor >= 5) ? newLayoutAddress : oldLayoutAddress;
}

QByteArray build(const QString &version, int imageBytes, quint32 seed, QString *error)
{
    const quint32 base = loadAddress(version);
    if (base == 0)
        return fail(error, QStringLiteral("version \"%1\" is not major.minor.patch").arg(version));
    const int maximumBytes =
        base == newLayoutAddress ? newLayoutMaximumBytes : oldLayoutMaximumBytes;
    if (imageBytes < minimumBytes || imageBytes > maximumBytes)
        return fail(error, QStringLiteral("an image for %1 has %2 to %3 bytes, not %4")
                               .arg(version)
                               .arg(minimumBytes)
                               .arg(maximumBytes)
                               .arg(imageBytes));

    // The filler first, then the program start over it. A small image cuts
    // the table short rather than leave the handlers no room.
    QByteArray image = T5FlashBuilder::sampleBytes(imageBytes, seed);
    const int entries = qMin(vectorTableEntries, (imageBytes - handlerCodeBytes) / 4);
    const int codeOffset = entries * 4;
    const quint32 resetHandler = (base + quint32(codeOffset)) | thumbBit;
    const quint32 defaultHandler = (base + quint32(codeOffset + defaultHandlerOffset)) | thumbBit;
    putU32(image, 0, initialStackPointer);
    for (int entry = resetEntry; entry < entries; ++entry) {
        quint32 value = defaultHandler;
        if (entry == resetEntry)
            value = resetHandler;
        else if (isReservedEntry(entry))
            value = 0;
        putU32(image, entry * 4, value);
    }
    for (int i = 0; i < handlerCodeBytes / 2; ++i)
        putU16(image, codeOffset + 2 * i, handlerCode[i]);
    return image;
}

} // namespace T5FirmwareImage
