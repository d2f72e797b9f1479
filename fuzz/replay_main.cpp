// Runs a fuzz target over inputs kept on disk, without libFuzzer: the
// normal builds (also the sanitizer build) replay the checked-in corpus and
// the inputs of crashes found earlier as a regression test.
//
//   <name>_fuzzer FOLDER_OR_FILE... [--optional FOLDER]...
//
// Every file of each folder (not recursing) is one input. Fails when a
// folder named without --optional does not exist, or when no input was
// found at all: a corpus that went missing must not pass as replayed.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {
bool replayFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "replay: cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray input = file.readAll();
    // Each input gets a buffer of its own, so reads past its end are
    // caught by the sanitizer build as they would be under libFuzzer.
    auto *copy = new uint8_t[size_t(input.size()) + 1];
    std::copy(input.constBegin(), input.constEnd(), copy);
    std::fprintf(stderr, "replay: %s\n", qPrintable(path));
    LLVMFuzzerTestOneInput(copy, size_t(input.size()));
    delete[] copy;
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER_OR_FILE... [--optional FOLDER]...\n", argv[0]);
        return 2;
    }
    QElapsedTimer timer;
    timer.start();
    int replayed = 0;
    for (int index = 1; index < argc; ++index) {
        const bool optional = std::strcmp(argv[index], "--optional") == 0 && index + 1 < argc;
        if (optional)
            ++index;
        const QString argument = QString::fromLocal8Bit(argv[index]);
        const QFileInfo info(argument);
        QStringList paths;
        if (info.isDir()) {
            const QDir folder(argument);
            for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden, QDir::Name))
                paths.append(folder.filePath(name));
        } else if (info.isFile()) {
            paths.append(argument);
        } else if (!optional) {
            std::fprintf(stderr, "replay: %s does not exist\n", qPrintable(argument));
            return 1;
        }
        for (const QString &path : paths) {
            if (!replayFile(path))
                return 1;
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    std::printf("replay: %d inputs in %lld ms, no invariant broken\n", replayed,
                static_cast<long long>(timer.elapsed()));
    return 0;
}
