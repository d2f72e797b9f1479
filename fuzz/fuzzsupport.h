#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// Helpers shared by the fuzz targets: reading structured values off the
// front of an input, keeping the parsers' log lines off the terminal, a
// scratch folder per process, and stopping on a broken invariant so that
// libFuzzer (or the replay program) reports the input.
namespace FuzzSupport {

// Reads fields off the front of an input. Past its end every read gives
// zeros, so a target never has to check lengths before reading.
class InputReader
{
public:
    InputReader(const uint8_t *data, size_t size);

    uint8_t byte();
    uint16_t u16();
    uint32_t u32();
    bool flag() { return (byte() & 1) != 0; }
    // At most count bytes: fewer when the input ends first.
    QByteArray bytes(int count);
    QByteArray rest();
    bool atEnd() const { return m_position >= m_size; }
    size_t remaining() const { return m_size - m_position; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_position = 0;
};

// The parsers log every fault they meet; at thousands of inputs a second
// that would bury the fuzzer's own report. Call once per process.
void silenceLogging();

// A folder of this process only, removed at exit; nothing a target writes
// may lie elsewhere.
QString scratchFolder();

[[noreturn]] void failInvariant(const char *condition, const char *file, int line);

} // namespace FuzzSupport

// Checks an invariant of the code under test; a broken one aborts, which
// libFuzzer reports with the input that caused it.
#define FUZZ_REQUIRE(condition)                                                                    \
    do {                                                                                           \
        if (!(condition))                                                                          \
            FuzzSupport::failInvariant(#condition, __FILE__, __LINE__);                            \
    } while (false)
