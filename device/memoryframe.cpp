#include "memoryframe.h"

#include <algorithm>
#include <cstring>

namespace {
uint32_t readField(const uint8_t *bytes, int offset, int width)
{
    uint32_t value = 0;
    for (int index = width - 1; index >= 0; --index)
        value = (value << 8) | bytes[offset + index];
    return value;
}

void writeField(uint8_t *bytes, int offset, int width, uint32_t value)
{
    for (int index = 0; index < width; ++index)
        bytes[offset + index] = uint8_t(value >> (8 * index));
}
} // namespace

const uint8_t *bytesOf(const QByteArray &array)
{
    return reinterpret_cast<const uint8_t *>(array.constData());
}

uint8_t *bytesOf(QByteArray *array)
{
    return reinterpret_cast<uint8_t *>(array->data());
}

namespace LittleEndian {
uint16_t readU16(const uint8_t *bytes, int offset)
{
    return uint16_t(readField(bytes, offset, 2));
}

uint32_t readU32(const uint8_t *bytes, int offset)
{
    return readField(bytes, offset, 4);
}

void writeU16(uint8_t *bytes, int offset, uint16_t value)
{
    writeField(bytes, offset, 2, value);
}

void writeU32(uint8_t *bytes, int offset, uint32_t value)
{
    writeField(bytes, offset, 4, value);
}
} // namespace LittleEndian

MemoryFrame MemoryFrame::request(const FrameLayout &layout, uint32_t code, uint32_t address,
                                 uint32_t length, const uint8_t *data)
{
    MemoryFrame frame(layout);
    if (layout.tagOffset >= 0)
        frame.bytes[layout.tagOffset] = layout.tag;
    frame.setCode(code);
    writeField(frame.bytes, layout.addressOffset, 4, address);
    writeField(frame.bytes, layout.lengthOffset, layout.lengthBytes, length);
    if (data)
        std::memcpy(frame.data(), data, std::min<uint32_t>(length, uint32_t(layout.maxDataBytes)));
    return frame;
}

uint32_t MemoryFrame::code() const
{
    return readField(bytes, m_layout->codeOffset, m_layout->codeBytes);
}

uint32_t MemoryFrame::address() const
{
    return readField(bytes, m_layout->addressOffset, 4);
}

uint32_t MemoryFrame::length() const
{
    return readField(bytes, m_layout->lengthOffset, m_layout->lengthBytes);
}

void MemoryFrame::setCode(uint32_t value)
{
    writeField(bytes, m_layout->codeOffset, m_layout->codeBytes, value);
}

bool MemoryFrame::answers(const MemoryFrame &request) const
{
    return code() == dataReplyCode && address() == request.address() &&
           length() == request.length() && bytes[0] == request.bytes[0];
}

uint32_t MemoryFrame::expectedReplyCode(uint32_t requestCode)
{
    switch (requestCode) {
    case readCode:
    case writeCode:
        return dataReplyCode;
    case eraseCode:
        return eraseDoneReplyCode;
    default: // run status, boot flag, boot-loader switch
        return requestCode;
    }
}

bool MemoryFrame::answersAnEarlierRequest(const MemoryFrame &request) const
{
    // Codes the adapters answer with: data, erase done, boot-loader switch,
    // run status / boot flag.
    static constexpr uint32_t replyCodes[] = {dataReplyCode, eraseDoneReplyCode, 0x5B, 0x5D};
    const uint32_t expected = expectedReplyCode(request.code());
    if (code() == expected)
        return expected == dataReplyCode &&
               (address() != request.address() || length() != request.length());
    return std::find(std::begin(replyCodes), std::end(replyCodes), code()) != std::end(replyCodes);
}

void MemoryFrame::assign(const QByteArray &reply)
{
    std::memset(bytes, 0, sizeof bytes);
    std::memcpy(bytes, reply.constData(), size_t(std::min<int>(reply.size(), sizeBytes)));
}
