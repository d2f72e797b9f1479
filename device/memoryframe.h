#pragma once

#include <QByteArray>

#include <cstdint>

// The bytes of an array as flash structures are read and written. Defined
// out of line: inlined, GCC 12 cannot rule out Qt's shared empty array
// behind data() and warns of writes past it in optimised builds.
const uint8_t *bytesOf(const QByteArray &array);
uint8_t *bytesOf(QByteArray *array);

// Little-endian numbers inside frames and flash structures.
namespace LittleEndian {
uint16_t readU16(const uint8_t *bytes, int offset);
uint32_t readU32(const uint8_t *bytes, int offset);
void writeU16(uint8_t *bytes, int offset, uint16_t value);
void writeU32(uint8_t *bytes, int offset, uint32_t value);
} // namespace LittleEndian

// Where a model's memory-access protocol keeps the fields of its requests
// and replies. Replies have the layout of requests, with a status in place
// of the command code.
struct FrameLayout
{
    int codeOffset;
    int codeBytes;
    int addressOffset;
    int lengthOffset;
    int lengthBytes;
    int dataOffset;
    int maxDataBytes;
    // A constant byte some models put into every request; -1 for none.
    int tagOffset = -1;
    uint8_t tag = 0;
};

// The T5 and M7 frame: u32 code at 1, u32 address at 5, u32 length at 9 and
// up to 52 data bytes from 13.
inline constexpr FrameLayout wideFrameLayout{1, 4, 5, 9, 4, 13, 52};

// One request or reply as handed to and from the transport: 65 bytes, byte 0
// the report id.
class MemoryFrame
{
public:
    static constexpr int sizeBytes = 65;
    // The status of every model's reply to a read or write it carried out.
    static constexpr uint32_t dataReplyCode = 0x58;
    static constexpr uint32_t eraseCode = 0x55;
    static constexpr uint32_t readCode = 0x56;
    static constexpr uint32_t writeCode = 0x57;
    static constexpr uint32_t eraseDoneReplyCode = 0x59;

    explicit MemoryFrame(const FrameLayout &layout = wideFrameLayout) : m_layout(&layout) {}

    // Report id 0 and the layout's tag; data, when given, holds length bytes
    // (at most the layout's data size). The rest stays zero.
    static MemoryFrame request(const FrameLayout &layout, uint32_t code, uint32_t address,
                               uint32_t length, const uint8_t *data = nullptr);

    const FrameLayout &layout() const { return *m_layout; }
    uint32_t code() const;
    uint32_t address() const;
    uint32_t length() const;
    const uint8_t *data() const { return bytes + m_layout->dataOffset; }
    uint8_t *data() { return bytes + m_layout->dataOffset; }
    void setCode(uint32_t value);

    // A reply that carried out request: the data status, the same address,
    // length and report id.
    bool answers(const MemoryFrame &request) const;
    // A reply that cannot belong to request and so answers one given up on
    // earlier: it carries the code of another kind of request, or data of
    // another address or length. A refusal or any code the protocol does not
    // use counts as request's own (failed) answer.
    bool answersAnEarlierRequest(const MemoryFrame &request) const;
    // The code a carried-out request is answered with: data for a read or
    // a write, 0x59 for an erase, its own code for the other commands.
    static uint32_t expectedReplyCode(uint32_t requestCode);

    QByteArray toByteArray() const
    {
        return QByteArray(reinterpret_cast<const char *>(bytes), sizeBytes);
    }
    // Copies a reply in (the transport hands over only whole reports); an
    // empty one leaves the frame zero, which answers nothing.
    void assign(const QByteArray &reply);

    uint8_t bytes[sizeBytes] = {};

private:
    const FrameLayout *m_layout;
};
