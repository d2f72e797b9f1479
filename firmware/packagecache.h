#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

// Firmware packages downloaded from the store, kept under the user's cache
// folder as <cache>/<vendor id>/<product id>/<version>.rfw and reused while
// their MD5 equals the catalogue entry's checksum.
namespace PackageCache {

// The user's cache folder of this application.
QString cacheDirectory();
// <cache>/<vendor id>/<product id>/<version>.rfw, identifiers as decimal
// integers (3642, 45939).
QString packagePath(const QString &cacheDirectory, double vendorId, double productId,
                    const QString &version);

enum class Outcome {
    Cached,           // the cached file matched the checksum
    Downloaded,       // downloaded, checked and saved
    InvalidEntry,     // a version or download name that could leave the cache or the store folder
    DownloadFailed,   // the store did not deliver the file
    ChecksumMismatch, // the delivered bytes are not the file the catalogue names
    NotSaved,         // the file could not be written
};

struct Resolution
{
    Outcome outcome = Outcome::InvalidEntry;
    QString version;
    QString path;
    bool usable() const { return outcome == Outcome::Cached || outcome == Outcome::Downloaded; }
};

// Fetches a store object by name; sets *succeeded.
using Downloader = std::function<QByteArray(const QString &name, bool *succeeded)>;

// Makes sure the package of the entry is in the cache and checked. Nothing
// is kept that does not match the checksum: a differing cached file is
// removed, and bytes that do not match are not saved.
Resolution resolve(const QJsonObject &entry, const QString &cacheDirectory, double vendorId,
                   double productId, const Downloader &download);

} // namespace PackageCache
