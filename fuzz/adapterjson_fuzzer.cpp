// The emulator's adapter folders: adapter.json (model, identity, timings,
// faults) and flash.bin, as technicians and test scenarios write them.
//
// Input: an options byte (bit 0: the folder also holds a flash.bin), the
// length and bytes of that flash.bin, then adapter.json.

#include "adapterfolder.h"
#include "emulatedadapter.h"
#include "fuzzsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

using FuzzSupport::InputReader;

namespace {
constexpr int brivaneVendorId = 0x0E3A;
constexpr int longestDelayMs = 600000;

bool sameFaults(const EmulatedAdapter::Faults &a, const EmulatedAdapter::Faults &b)
{
    return a.noReplyAtReport == b.noReplyAtReport && a.unplugAtReport == b.unplugAtReport &&
           a.readErrorAtReport == b.readErrorAtReport &&
           a.writeErrorAtReport == b.writeErrorAtReport && a.shortReplyBytes == b.shortReplyBytes &&
           a.shortReplyFromReport == b.shortReplyFromReport &&
           a.shortReplyToReport == b.shortReplyToReport &&
           a.lateReplyAtReport == b.lateReplyAtReport && a.lateReplyDelayMs == b.lateReplyDelayMs &&
           a.replugAfterMs == b.replugAfterMs && a.openDenied == b.openDenied &&
           a.eraseRefused == b.eraseRefused && a.eraseRefusedAtErase == b.eraseRefusedAtErase &&
           a.wrongEchoAtChunk == b.wrongEchoAtChunk &&
           a.eraseAcknowledgedEarly == b.eraseAcknowledgedEarly &&
           a.eraseCutAtErase == b.eraseCutAtErase &&
           a.eraseCutAfterSectors == b.eraseCutAfterSectors;
}

// Faults that need another one to mean anything are never accepted alone,
// and no count, size or delay is out of its range.
void checkFaults(const EmulatedAdapter::Faults &faults)
{
    for (const int count :
         {faults.noReplyAtReport, faults.unplugAtReport, faults.readErrorAtReport,
          faults.writeErrorAtReport, faults.shortReplyFromReport, faults.shortReplyToReport,
          faults.lateReplyAtReport, faults.eraseRefusedAtErase, faults.wrongEchoAtChunk,
          faults.eraseCutAtErase, faults.eraseCutAfterSectors})
        FUZZ_REQUIRE(count >= 0);
    FUZZ_REQUIRE(faults.shortReplyBytes >= 0 && faults.shortReplyBytes <= 64);
    FUZZ_REQUIRE(faults.lateReplyDelayMs >= 0 && faults.lateReplyDelayMs <= longestDelayMs);
    FUZZ_REQUIRE(faults.replugAfterMs >= 0 && faults.replugAfterMs <= longestDelayMs);
    if (faults.shortReplyFromReport || faults.shortReplyToReport)
        FUZZ_REQUIRE(faults.shortReplyBytes > 0);
    if (faults.shortReplyToReport)
        FUZZ_REQUIRE(faults.shortReplyToReport >= faults.shortReplyFromReport);
    FUZZ_REQUIRE((faults.lateReplyAtReport != 0) == (faults.lateReplyDelayMs != 0));
    if (faults.eraseCutAfterSectors)
        FUZZ_REQUIRE(faults.eraseCutAtErase != 0);
    if (faults.replugAfterMs)
        FUZZ_REQUIRE(faults.unplugAtReport != 0 || faults.eraseCutAtErase != 0);
}

// The models keep the identities of the real adapters.
void checkIdentity(const EmulatedAdapter &adapter, const QString &model)
{
    if (model == QLatin1String("T5")) {
        FUZZ_REQUIRE(adapter.vendorId() == brivaneVendorId && adapter.productId() == 0xB373);
    } else if (model == QLatin1String("M7")) {
        FUZZ_REQUIRE(adapter.vendorId() == brivaneVendorId && adapter.productId() == 0xB471);
    } else if (model == QLatin1String("K3")) {
        FUZZ_REQUIRE(adapter.vendorId() == brivaneVendorId);
        FUZZ_REQUIRE(adapter.productId() == 0xB274 || adapter.productId() == 0xB275 ||
                     adapter.productId() == 0xB270);
        FUZZ_REQUIRE(adapter.interfaceNumber() == (adapter.productId() == 0xB274 ? 0 : -1));
    } else {
        FUZZ_REQUIRE(model == QLatin1String("echo") || model == QLatin1String("composite"));
    }
    FUZZ_REQUIRE(adapter.appearAfterMs() >= 0 && adapter.appearAfterMs() <= longestDelayMs);
    FUZZ_REQUIRE(adapter.replyDelayMs() >= 0 && adapter.replyDelayMs() <= longestDelayMs);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialised = (FuzzSupport::silenceLogging(), true);
    Q_UNUSED(initialised)
    InputReader input(data, size);
    const uint8_t options = input.byte();
    const QByteArray flash = input.bytes(input.byte());
    const QByteArray json = input.rest();

    const QString folder = FuzzSupport::scratchFolder() + QStringLiteral("/adapter");
    const QString copyFolder = FuzzSupport::scratchFolder() + QStringLiteral("/written");
    QDir(folder).removeRecursively();
    QDir(copyFolder).removeRecursively();
    FUZZ_REQUIRE(QDir().mkpath(folder));
    FUZZ_REQUIRE(writeFile(folder + QStringLiteral("/adapter.json"), json));
    const bool withFlash = (options & 1) != 0;
    if (withFlash)
        FUZZ_REQUIRE(writeFile(folder + QStringLiteral("/flash.bin"), flash));

    QString error;
    const std::unique_ptr<EmulatedAdapter> adapter = AdapterFolder::load(folder, &error);
    // A folder that cannot be used always says why.
    FUZZ_REQUIRE((adapter == nullptr) == !error.isEmpty());
    if (!adapter)
        return 0;
    const QJsonObject configuration = QJsonDocument::fromJson(json).object();
    const QString model = configuration.value(QStringLiteral("model")).toString();
    checkIdentity(*adapter, model);
    checkFaults(adapter->faults());
    FUZZ_REQUIRE(adapter->name() == QStringLiteral("adapter"));
    // No flash is that small: a flash.bin that does not fit is refused.
    if (withFlash)
        FUZZ_REQUIRE(adapter->flash() == nullptr);

    // Written back by the emulator and loaded again, the adapter is the same.
    FUZZ_REQUIRE(AdapterFolder::write(copyFolder, configuration, QByteArray(), &error));
    const std::unique_ptr<EmulatedAdapter> again = AdapterFolder::load(copyFolder, &error);
    FUZZ_REQUIRE(again != nullptr);
    FUZZ_REQUIRE(again->vendorId() == adapter->vendorId());
    FUZZ_REQUIRE(again->productId() == adapter->productId());
    FUZZ_REQUIRE(again->interfaceNumber() == adapter->interfaceNumber());
    FUZZ_REQUIRE(again->appearAfterMs() == adapter->appearAfterMs());
    FUZZ_REQUIRE(again->replyDelayMs() == adapter->replyDelayMs());
    FUZZ_REQUIRE(sameFaults(again->faults(), adapter->faults()));
    FUZZ_REQUIRE(again->flashContents() == adapter->flashContents());
    return 0;
}
