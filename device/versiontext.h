#pragma once

#include <QString>
#include <QStringList>

// Firmware versions as the adapters and the catalogue write them,
// "major.minor.patch", compared as numbers part by part. A missing or
// non-numeric part counts as 0.
namespace VersionText {

QStringList parts(const QString &version);
// -1, 0 or 1; only the first three parts count.
int compare(const QStringList &first, const QStringList &second);
int compare(const QString &first, const QString &second);
// major × 10 + minor: the key of a firmware generation.
int generationKey(const QStringList &parts);
// 1 when a's generation is newer than b's, -1 when older, 0 when the same.
int compareGenerations(const QString &a, const QString &b);

} // namespace VersionText
