#include "fuzzsupport.h"

#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace FuzzSupport {

InputReader::InputReader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

uint8_t InputReader::byte()
{
    return atEnd() ? 0 : m_data[m_position++];
}

uint16_t InputReader::u16()
{
    const uint16_t low = byte();
    return uint16_t(low | (uint16_t(byte()) << 8));
}

uint32_t InputReader::u32()
{
    const uint32_t low = u16();
    return low | (uint32_t(u16()) << 16);
}

QByteArray InputReader::bytes(int count)
{
    const size_t taken = std::min(remaining(), size_t(std::max(count, 0)));
    const QByteArray result(reinterpret_cast<const char *>(m_data + m_position), int(taken));
    m_position += taken;
    return result;
}

QByteArray InputReader::rest()
{
    return bytes(int(std::min<size_t>(remaining(), size_t(INT32_MAX))));
}

namespace {
void discardMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // A fatal message ends the process; its text is the only clue.
    if (type == QtFatalMsg)
        std::fprintf(stderr, "fatal: %s\n", qPrintable(message));
}
} // namespace

void silenceLogging()
{
    // BRIVANE_FUZZ_LOG=1 shows the parsers' lines while an input is studied.
    if (qEnvironmentVariableIntValue("BRIVANE_FUZZ_LOG") == 0)
        qInstallMessageHandler(discardMessage);
}

QString scratchFolder()
{
    // Removed with its contents when the process ends.
    static const std::unique_ptr<QTemporaryDir> folder = []() {
        auto made = std::make_unique<QTemporaryDir>();
        if (!made->isValid()) {
            std::fprintf(stderr, "no scratch folder: %s\n", qPrintable(made->errorString()));
            std::abort();
        }
        return made;
    }();
    return folder->path();
}

void failInvariant(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

} // namespace FuzzSupport
