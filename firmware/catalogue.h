#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The firmware catalogue, index.json: one array of entries per model key
// ("T5", "M7", "K3"), entry 0 first on screen. An entry is an object with the
// string members "version", "url", "info", "datetime", "checksum" (MD5 of the
// stored file, lower-case hex) and "download" (the stored file's name).
// Everything here is pure: reading, writing and changing the document.
namespace Catalogue {

// Name of the catalogue object on the store.
QString objectName();
// Dot-separated decimal numbers, e.g. 1.2.3.
QString versionPattern();

// The top-level object of the document; empty when it is no JSON object.
// readable tells a document that parsed from one that did not.
QJsonObject parse(const QByteArray &document, bool *readable = nullptr);
// Compact JSON, as it is stored.
QByteArray serialize(const QJsonObject &catalogue);

// The entries of a model that can be used: objects whose members are all
// strings. Anything else (a model member that is no array, an entry that is
// no object, members of other types) is skipped with a warning, so one bad
// entry never makes the rest of the catalogue unusable.
QJsonArray usableEntries(const QJsonObject &catalogue, const QString &modelKey);

// A change log with its items (separated by ";") on lines of their own.
QString changeLogText(const QString &info);
// Position of the first usable entry whose checksum matches, ignoring case
// (the entry edit and remove act on); -1 when there is none.
int indexOfChecksum(const QJsonArray &entries, const QString &checksum);
QString changeLogOf(const QJsonArray &entries, int index);

// True when the whole text is a version such as 1.2.3.
bool isVersion(const QString &text);
// The first version in a file name ("fw_v1.2.3.bin" gives 1.2.3), or empty.
QString versionInFileName(const QString &fileName);
// A name the store can hold beside index.json without leaving its folder:
// no "/", "\\", "..", control characters, and not empty.
bool isPlainObjectName(const QString &name);

// "T5_v1.2.3.bin".
QString firmwareObjectName(const QString &modelKey, const QString &version);
// The current local time as catalogue entries record it.
QString timestampNow();
QJsonObject newEntry(const QString &modelKey, const QString &version, const QString &info,
                     const QString &datetime, const QString &checksum);

// Changes that publishing makes. Each returns the whole new catalogue;
// entries it does not understand are kept as they are.
QJsonObject withEntryInFront(QJsonObject catalogue, const QString &modelKey,
                             const QJsonObject &entry);
// The first entry of the model whose checksum equals checksum, ignoring
// case, gets the new version, info, datetime and download name; matched
// tells whether one did.
QJsonObject withEntryEdited(QJsonObject catalogue, const QString &modelKey, const QString &checksum,
                            const QString &version, const QString &info, const QString &datetime,
                            bool *matched = nullptr);
QJsonObject withEntryRemoved(QJsonObject catalogue, const QString &modelKey,
                             const QString &checksum, bool *matched = nullptr);
// Every model's entries in the order of checksums (exact comparison).
// Entries whose checksum is not listed come first, in their old order.
QJsonObject reordered(QJsonObject catalogue, const QStringList &modelKeys,
                      const QStringList &checksums);

} // namespace Catalogue
