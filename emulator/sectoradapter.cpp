#include "sectoradapter.h"

#include "wirebytes.h"

using namespace WireBytes;

namespace {
constexpr int codeOffset = 0;
constexpr int addressOffset = 4;
constexpr int lengthOffset = 8;
constexpr int dataOffset = 12;
} // namespace

SectorAdapter::SectorAdapter(const QString &name, quint16 productId, quint32 chipIdAddress,
                             int chipIdBytes)
    : FlashAdapter(name, productId, -1, EmulatedFlash::stm32f4(), dataBytes, chipIdAddress,
                   chipIdBytes)
{
}

QByteArray SectorAdapter::frame(quint32 code, quint32 address, quint32 length,
                                const QByteArray &data) const
{
    QByteArray reply(reportBytes, '\0');
    putU32(reply, codeOffset, code);
    putU32(reply, addressOffset, address);
    putU32(reply, lengthOffset, length);
    reply.replace(dataOffset, data.size(), data);
    return reply;
}

void SectorAdapter::handleOutputReport(const QByteArray &report64)
{
    const quint32 code = u32At(report64, codeOffset);
    const quint32 address = u32At(report64, addressOffset);
    const quint32 length = u32At(report64, lengthOffset);
    const QByteArray data = report64.mid(dataOffset);
    switch (code) {
    case EraseCommand:
        erase(address, length, data);
        break;
    case ReadCommand:
        read(address, length);
        break;
    case WriteCommand:
        write(address, length, data);
        break;
    default:
        handleOtherCommand(code, address, length);
        break;
    }
}

void SectorAdapter::handleOtherCommand(quint32, quint32 address, quint32 length)
{
    queueReply(frame(RefusedReply, address, length));
}

void SectorAdapter::erase(quint32 address, quint32 count, const QByteArray &sectors)
{
    bool valid = eraseAllowed() && count >= 1 && count <= quint32(dataBytes);
    // A list naming the boot loader's sector or one past the flash is
    // refused as a whole, before anything is erased.
    for (quint32 i = 0; valid && i < count; ++i) {
        const int sector = quint8(sectors.at(int(i)));
        valid = sector >= 1 && sector < m_flash.sectorCount();
    }
    if (!valid) {
        queueReply(frame(RefusedReply, address, count));
        return;
    }
    QVector<int> list;
    for (quint32 i = 0; i < count; ++i)
        list.append(quint8(sectors.at(int(i))));
    eraseSectors(list, frame(EraseDoneReply, address, count));
}
