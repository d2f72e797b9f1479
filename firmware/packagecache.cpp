#include "packagecache.h"

#include "catalogue.h"
#include "global.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace PackageCache {

QString cacheDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString packagePath(const QString &cacheDirectory, double vendorId, double productId,
                    const QString &version)
{
    // QString::number of an integer never uses the locale's digits.
    return QStringLiteral("%1/%2/%3/%4.rfw")
        .arg(cacheDirectory, QString::number(qint64(vendorId)), QString::number(qint64(productId)),
             version);
}

namespace {

bool liesInside(const QString &path, const QString &folder)
{
    const QString cleanFolder = QDir::cleanPath(QDir(folder).absolutePath());
    const QString cleanPath = QDir::cleanPath(QDir(folder).absoluteFilePath(path));
    return cleanPath.startsWith(cleanFolder + QLatin1Char('/'));
}

// A cached file that does not match the entry is of no use and must never be
// flashed by mistake later.
void removeStale(const QString &path)
{
    if (QFile::exists(path) && !QFile::remove(path))
        qWarning().noquote() << "firmware package" << path << "could not be removed";
}

} // namespace

Resolution resolve(const QJsonObject &entry, const QString &cacheDirectory, double vendorId,
                   double productId, const Downloader &download)
{
    Resolution result;
    result.version = entry.value(QStringLiteral("version")).toString();
    const QString name = entry.value(QStringLiteral("download")).toString();
    const QString checksum = entry.value(QStringLiteral("checksum")).toString();

    // The version becomes a file name and the download name a store key:
    // neither may lead out of its folder.
    if (!Catalogue::isVersion(result.version) || !Catalogue::isPlainObjectName(name)) {
        qWarning().noquote() << "firmware catalogue entry refused: version" << result.version
                             << "download" << name;
        result.outcome = Outcome::InvalidEntry;
        return result;
    }
    result.path = packagePath(cacheDirectory, vendorId, productId, result.version);
    if (!liesInside(result.path, cacheDirectory)) {
        result.outcome = Outcome::InvalidEntry;
        return result;
    }

    if (Global::checkFileMd5(result.path, checksum)) {
        result.outcome = Outcome::Cached;
        return result;
    }

    bool downloaded = false;
    const QByteArray bytes = download(name, &downloaded);
    // The T5's raw image carries no check of its own: bytes that are not the
    // published file must never reach the adapter.
    if (!downloaded || bytes.isEmpty()) {
        removeStale(result.path);
        result.outcome = Outcome::DownloadFailed;
        return result;
    }
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    if (digest.compare(checksum, Qt::CaseInsensitive) != 0) {
        qWarning().noquote() << "firmware package" << name << "has MD5" << digest
                             << "but the catalogue says" << checksum;
        removeStale(result.path);
        result.outcome = Outcome::ChecksumMismatch;
        return result;
    }
    const Global::SaveResult saved = Global::saveFileWithResult(result.path, bytes);
    if (saved != Global::SaveResult::Written && saved != Global::SaveResult::Unchanged) {
        result.outcome = Outcome::NotSaved;
        return result;
    }
    result.outcome = Outcome::Downloaded;
    return result;
}

} // namespace PackageCache
