#include "catalogue.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>

namespace Catalogue {

namespace {

const QString checksumKey = QStringLiteral("checksum");
const QString versionKey = QStringLiteral("version");
const QString infoKey = QStringLiteral("info");
const QString datetimeKey = QStringLiteral("datetime");
const QString downloadKey = QStringLiteral("download");
const QString urlKey = QStringLiteral("url");

// An entry whose members are all strings; anything else cannot be shown or
// resolved the same way by every reader.
bool isUsableEntry(const QJsonValue &value)
{
    if (!value.isObject())
        return false;
    const QJsonObject entry = value.toObject();
    for (auto member = entry.begin(); member != entry.end(); ++member) {
        if (!member.value().isString())
            return false;
    }
    return true;
}

bool checksumMatches(const QJsonValue &value, const QString &checksum)
{
    return isUsableEntry(value) &&
           value.toObject().value(checksumKey).toString().compare(checksum, Qt::CaseInsensitive) ==
               0;
}

QJsonArray modelArray(const QJsonObject &catalogue, const QString &modelKey)
{
    return catalogue.value(modelKey).toArray();
}

} // namespace

QString objectName()
{
    return QStringLiteral("index.json");
}

QString versionPattern()
{
    return QStringLiteral("\\d+\\.(?:\\d+\\.)*\\d+");
}

QJsonObject parse(const QByteArray &document, bool *readable)
{
    QJsonParseError error{};
    const QJsonDocument parsed = QJsonDocument::fromJson(document, &error);
    const bool isObject = error.error == QJsonParseError::NoError && parsed.isObject();
    if (readable)
        *readable = isObject;
    return isObject ? parsed.object() : QJsonObject();
}

QByteArray serialize(const QJsonObject &catalogue)
{
    return QJsonDocument(catalogue).toJson(QJsonDocument::Compact);
}

QJsonArray usableEntries(const QJsonObject &catalogue, const QString &modelKey)
{
    const QJsonValue member = catalogue.value(modelKey);
    if (member.isUndefined())
        return QJsonArray();
    if (!member.isArray()) {
        qWarning().noquote() << "firmware catalogue:" << modelKey
                             << "is not a list of entries; ignored";
        return QJsonArray();
    }
    QJsonArray usable;
    const QJsonArray entries = member.toArray();
    for (int position = 0; position < entries.size(); ++position) {
        if (isUsableEntry(entries.at(position)))
            usable.append(entries.at(position));
        else
            qWarning().noquote() << "firmware catalogue:" << modelKey << "entry" << position
                                 << "is not an entry of text members; skipped";
    }
    return usable;
}

QString changeLogText(const QString &info)
{
    return info.split(QLatin1Char(';'), Qt::KeepEmptyParts).join(QLatin1Char('\n'));
}

QString changeLogOf(const QJsonArray &entries, int index)
{
    return changeLogText(entries.at(index).toObject().value(infoKey).toString());
}

int indexOfChecksum(const QJsonArray &entries, const QString &checksum)
{
    for (int position = 0; position < entries.size(); ++position) {
        if (checksumMatches(entries.at(position), checksum))
            return position;
    }
    return -1;
}

bool isVersion(const QString &text)
{
    static const QRegularExpression whole(QRegularExpression::anchoredPattern(versionPattern()));
    return whole.match(text).hasMatch();
}

QString versionInFileName(const QString &fileName)
{
    static const QRegularExpression version(versionPattern());
    return version.match(fileName).captured(0);
}

bool isPlainObjectName(const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name.contains(QLatin1String("..")))
        return false;
    return std::none_of(name.begin(), name.end(), [](QChar character) {
        return character.category() == QChar::Other_Control;
    });
}

QString firmwareObjectName(const QString &modelKey, const QString &version)
{
    return QStringLiteral("%1_v%2.bin").arg(modelKey, version);
}

QString timestampNow()
{
    // The C locale keeps the digits ASCII whatever the user's locale is.
    return QLocale::c().toString(QDateTime::currentDateTime(),
                                 QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QJsonObject newEntry(const QString &modelKey, const QString &version, const QString &info,
                     const QString &datetime, const QString &checksum)
{
    return QJsonObject{
        {versionKey, version},   {urlKey, QString()},
        {infoKey, info},         {datetimeKey, datetime},
        {checksumKey, checksum}, {downloadKey, firmwareObjectName(modelKey, version)}};
}

QJsonObject withEntryInFront(QJsonObject catalogue, const QString &modelKey,
                             const QJsonObject &entry)
{
    QJsonArray entries = modelArray(catalogue, modelKey);
    entries.prepend(entry);
    catalogue.insert(modelKey, entries);
    return catalogue;
}

QJsonObject withEntryEdited(QJsonObject catalogue, const QString &modelKey, const QString &checksum,
                            const QString &version, const QString &info, const QString &datetime,
                            bool *matched)
{
    if (matched)
        *matched = false;
    QJsonArray entries = modelArray(catalogue, modelKey);
    const int position = indexOfChecksum(entries, checksum);
    if (position >= 0) {
        QJsonObject entry = entries.at(position).toObject();
        entry.insert(versionKey, version);
        entry.insert(infoKey, info);
        entry.insert(datetimeKey, datetime);
        entry.insert(downloadKey, firmwareObjectName(modelKey, version));
        entries.replace(position, entry);
        if (matched)
            *matched = true;
    }
    if (catalogue.contains(modelKey) || !entries.isEmpty())
        catalogue.insert(modelKey, entries);
    return catalogue;
}

QJsonObject withEntryRemoved(QJsonObject catalogue, const QString &modelKey,
                             const QString &checksum, bool *matched)
{
    if (matched)
        *matched = false;
    QJsonArray entries = modelArray(catalogue, modelKey);
    const int position = indexOfChecksum(entries, checksum);
    if (position >= 0) {
        entries.removeAt(position);
        if (matched)
            *matched = true;
    }
    if (catalogue.contains(modelKey) || !entries.isEmpty())
        catalogue.insert(modelKey, entries);
    return catalogue;
}

QJsonObject reordered(QJsonObject catalogue, const QStringList &modelKeys,
                      const QStringList &checksums)
{
    for (const QString &modelKey : modelKeys) {
        const QJsonArray entries = modelArray(catalogue, modelKey);
        std::vector<QJsonValue> sorted(entries.begin(), entries.end());
        const auto positionOf = [&checksums](const QJsonValue &entry) {
            return checksums.indexOf(entry.toObject().value(checksumKey).toString());
        };
        // Stable, so entries that are not listed keep their order among
        // themselves.
        std::stable_sort(sorted.begin(), sorted.end(),
                         [&positionOf](const QJsonValue &first, const QJsonValue &second) {
                             return positionOf(first) < positionOf(second);
                         });
        QJsonArray result;
        for (const QJsonValue &entry : sorted)
            result.append(entry);
        catalogue.insert(modelKey, result);
    }
    return catalogue;
}

} // namespace Catalogue
