// The firmware catalogue index.json as the store delivers it: reading it,
// the entries the window and the command line use, their change logs and
// versions, the publishing changes made to a downloaded catalogue, and the
// package cache path an entry resolves to.
//
// The first byte holds options, the rest is the document:
//   bits 0-1  what the store answers for a package: nothing, other bytes,
//             or the package the entry names (checksum in lower or upper case);
//   bit 2     also apply the publishing changes.

#include "catalogue.h"
#include "fuzzsupport.h"
#include "packagecache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>

#include <algorithm>
#include <cstdint>

using FuzzSupport::InputReader;

namespace {
const QStringList modelKeys{QStringLiteral("T5"), QStringLiteral("M7"), QStringLiteral("K3")};
constexpr double vendorId = 3642;
constexpr double productIds[] = {45939, 46193, 45685};
// Enough to reach every branch; more would only slow the fuzzer down.
constexpr int entriesResolvedPerInput = 4;

enum class StoreAnswer { Nothing, OtherBytes, PackageLowerCase, PackageUpperCase };

bool isTextObject(const QJsonValue &value)
{
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    return std::all_of(object.begin(), object.end(),
                       [](const QJsonValue &member) { return member.isString(); });
}

void checkEntries(const QJsonObject &catalogue, const QString &modelKey)
{
    const QJsonArray usable = Catalogue::usableEntries(catalogue, modelKey);
    const QJsonValue member = catalogue.value(modelKey);
    const int stored = member.isArray() ? member.toArray().size() : 0;
    const int textObjects =
        member.isArray()
            ? int(std::count_if(member.toArray().begin(), member.toArray().end(), isTextObject))
            : 0;
    FUZZ_REQUIRE(usable.size() == textObjects);
    FUZZ_REQUIRE(usable.size() <= stored);
    for (int index = 0; index < usable.size(); ++index) {
        FUZZ_REQUIRE(isTextObject(usable.at(index)));
        const QJsonObject entry = usable.at(index).toObject();
        const QString info = entry.value(QStringLiteral("info")).toString();
        const QString changeLog = Catalogue::changeLogOf(usable, index);
        // Every ";" became a line break; nothing else changed.
        FUZZ_REQUIRE(!changeLog.contains(QLatin1Char(';')));
        FUZZ_REQUIRE(changeLog.size() == info.size());
        FUZZ_REQUIRE(changeLog.count(QLatin1Char('\n')) ==
                     info.count(QLatin1Char(';')) + info.count(QLatin1Char('\n')));

        const QString version = entry.value(QStringLiteral("version")).toString();
        if (Catalogue::isVersion(version)) {
            FUZZ_REQUIRE(Catalogue::versionInFileName(version) == version);
            // A name the publishing side makes must pass the reading side's check.
            if (modelKeys.contains(modelKey))
                FUZZ_REQUIRE(
                    Catalogue::isPlainObjectName(Catalogue::firmwareObjectName(modelKey, version)));
        }
        const QString found =
            Catalogue::versionInFileName(entry.value(QStringLiteral("download")).toString());
        if (!found.isEmpty())
            FUZZ_REQUIRE(Catalogue::isVersion(found));
    }
}

QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// A cached package lies in <cache>/<vendor>/<product>/ and is named after
// the version: nothing from the catalogue may move it elsewhere.
void checkPath(const QString &path, const QString &cacheFolder, double productId,
               const QString &version)
{
    const QString folder = QStringLiteral("%1/3642/%2/").arg(cacheFolder).arg(qint64(productId));
    FUZZ_REQUIRE(path.startsWith(folder));
    FUZZ_REQUIRE(!path.mid(folder.size()).contains(QLatin1Char('/')));
    FUZZ_REQUIRE(path == folder + version + QStringLiteral(".rfw"));
    FUZZ_REQUIRE(QDir::cleanPath(path) == path);
}

void resolveEntry(QJsonObject entry, double productId, StoreAnswer answer)
{
    const QString cacheFolder = FuzzSupport::scratchFolder() + QStringLiteral("/cache");
    const QByteArray package = QByteArrayLiteral("package of ") +
                               entry.value(QStringLiteral("version")).toString().toUtf8();
    if (answer == StoreAnswer::PackageLowerCase)
        entry.insert(QStringLiteral("checksum"), md5Hex(package));
    else if (answer == StoreAnswer::PackageUpperCase)
        entry.insert(QStringLiteral("checksum"), md5Hex(package).toUpper());

    QStringList requested;
    const PackageCache::Downloader download = [&](const QString &name, bool *succeeded) {
        requested.append(name);
        *succeeded = answer != StoreAnswer::Nothing;
        if (answer == StoreAnswer::Nothing)
            return QByteArray();
        return answer == StoreAnswer::OtherBytes ? QByteArrayLiteral("other bytes") : package;
    };
    const PackageCache::Resolution resolution =
        PackageCache::resolve(entry, cacheFolder, vendorId, productId, download);
    const QString version = entry.value(QStringLiteral("version")).toString();
    const QString name = entry.value(QStringLiteral("download")).toString();

    if (resolution.outcome == PackageCache::Outcome::InvalidEntry) {
        // Nothing is asked of the store for an entry that was refused.
        FUZZ_REQUIRE(requested.isEmpty());
    } else {
        FUZZ_REQUIRE(Catalogue::isVersion(version));
        FUZZ_REQUIRE(Catalogue::isPlainObjectName(name));
        checkPath(resolution.path, cacheFolder, productId, version);
        for (const QString &asked : requested)
            FUZZ_REQUIRE(asked == name);
    }
    FUZZ_REQUIRE(requested.size() <= 1);
    switch (resolution.outcome) {
    case PackageCache::Outcome::Downloaded: {
        FUZZ_REQUIRE(answer == StoreAnswer::PackageLowerCase ||
                     answer == StoreAnswer::PackageUpperCase);
        QFile file(resolution.path);
        FUZZ_REQUIRE(file.open(QIODevice::ReadOnly));
        FUZZ_REQUIRE(file.readAll() == package);
        // Asked again, the package is there and still the right one.
        requested.clear();
        const PackageCache::Resolution again =
            PackageCache::resolve(entry, cacheFolder, vendorId, productId, download);
        FUZZ_REQUIRE(again.usable());
        FUZZ_REQUIRE(again.path == resolution.path);
        break;
    }
    case PackageCache::Outcome::Cached:
        // The cache starts empty for every entry.
        FuzzSupport::failInvariant("a package is found only after it was saved", __FILE__,
                                   __LINE__);
        break;
    case PackageCache::Outcome::DownloadFailed:
    case PackageCache::Outcome::ChecksumMismatch:
        // Bytes that are not the published file are never kept.
        FUZZ_REQUIRE(!QFileInfo::exists(resolution.path));
        break;
    default:
        break;
    }
    QDir(cacheFolder).removeRecursively();
}

void applyPublishingChanges(const QJsonObject &catalogue)
{
    for (const QString &modelKey : modelKeys) {
        const QJsonValue member = catalogue.value(modelKey);
        const int stored = member.isArray() ? member.toArray().size() : 0;
        const QJsonObject entry =
            Catalogue::newEntry(modelKey, QStringLiteral("9.8.7"), QStringLiteral("fix;feature"),
                                QStringLiteral("2024-01-02 03:04:05"),
                                QStringLiteral("00112233445566778899aabbccddeeff"));
        const QJsonObject added = Catalogue::withEntryInFront(catalogue, modelKey, entry);
        FUZZ_REQUIRE(added.value(modelKey).toArray().size() == stored + 1);
        FUZZ_REQUIRE(added.value(modelKey).toArray().at(0).toObject() == entry);

        const QJsonArray usable = Catalogue::usableEntries(catalogue, modelKey);
        if (usable.isEmpty())
            continue;
        const QString checksum =
            usable.at(0).toObject().value(QStringLiteral("checksum")).toString();
        bool matched = false;
        const QJsonObject removed =
            Catalogue::withEntryRemoved(catalogue, modelKey, checksum.toUpper(), &matched);
        FUZZ_REQUIRE(matched);
        FUZZ_REQUIRE(removed.value(modelKey).toArray().size() == stored - 1);
        const QJsonObject edited =
            Catalogue::withEntryEdited(catalogue, modelKey, checksum, QStringLiteral("1.2.3"),
                                       QStringLiteral("info"), QStringLiteral("now"), &matched);
        FUZZ_REQUIRE(matched);
        FUZZ_REQUIRE(edited.value(modelKey).toArray().size() == stored);
        FUZZ_REQUIRE(Catalogue::usableEntries(edited, modelKey).size() == usable.size());
    }

    // Reordering keeps every model's entries, only their order changes.
    QStringList checksums;
    for (const QString &modelKey : modelKeys) {
        for (const QJsonValue &entry : catalogue.value(modelKey).toArray())
            checksums.prepend(entry.toObject().value(QStringLiteral("checksum")).toString());
    }
    const QJsonObject sorted = Catalogue::reordered(catalogue, modelKeys, checksums);
    for (const QString &modelKey : modelKeys) {
        const QJsonArray before = catalogue.value(modelKey).toArray();
        const QJsonArray after = sorted.value(modelKey).toArray();
        FUZZ_REQUIRE(before.size() == after.size());
        for (const QJsonValue &entry : before)
            FUZZ_REQUIRE(std::count(after.begin(), after.end(), entry) ==
                         std::count(before.begin(), before.end(), entry));
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialised = (FuzzSupport::silenceLogging(), true);
    Q_UNUSED(initialised)
    InputReader input(data, size);
    const uint8_t options = input.byte();
    const QByteArray document = input.rest();

    bool readable = false;
    const QJsonObject catalogue = Catalogue::parse(document, &readable);
    if (!readable)
        FUZZ_REQUIRE(catalogue.isEmpty());
    // What is stored after a change is read back as the same catalogue: the
    // same members with the same values. (Not QJsonObject's ==: Qt 5.15
    // accepts raw control characters inside strings, which JSON does not
    // allow, and keeps keys holding a NUL out of order, so that comparison
    // fails on objects with the same members.)
    bool readBack = false;
    const QJsonObject stored = Catalogue::parse(Catalogue::serialize(catalogue), &readBack);
    FUZZ_REQUIRE(readBack);
    FUZZ_REQUIRE(stored.toVariantMap() == catalogue.toVariantMap());
    for (const QString &modelKey : modelKeys)
        FUZZ_REQUIRE(Catalogue::usableEntries(stored, modelKey).toVariantList() ==
                     Catalogue::usableEntries(catalogue, modelKey).toVariantList());

    QStringList keys = catalogue.keys();
    for (const QString &modelKey : modelKeys) {
        if (!keys.contains(modelKey))
            keys.append(modelKey);
    }
    for (const QString &key : keys)
        checkEntries(catalogue, key);

    const auto answer = StoreAnswer(options & 3);
    int resolved = 0;
    for (int model = 0; model < modelKeys.size() && resolved < entriesResolvedPerInput; ++model) {
        for (const QJsonValue &entry : Catalogue::usableEntries(catalogue, modelKeys.at(model))) {
            if (resolved++ >= entriesResolvedPerInput)
                break;
            resolveEntry(entry.toObject(), productIds[model], answer);
        }
    }
    if (options & 4)
        applyPublishingChanges(catalogue);
    return 0;
}
