#include "settingscopystore.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
constexpr int formatVersion = 1;
const char formatName[] = "brivane-settings-copy";
const char fileSuffix[] = ".json";

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Serial numbers come from the adapter; only hexadecimal digits may name a
// folder, so an adapter cannot steer where copies are written.
QString safeName(const QString &text)
{
    QString name;
    for (const QChar character : text) {
        if ((character >= QLatin1Char('0') && character <= QLatin1Char('9')) ||
            (character >= QLatin1Char('a') && character <= QLatin1Char('z')) ||
            (character >= QLatin1Char('A') && character <= QLatin1Char('Z')))
            name.append(character);
    }
    return name.isEmpty() ? QStringLiteral("unknown") : name;
}

bool sameSections(const SettingsCopyStore::Copy &first, const SettingsCopyStore::Copy &second)
{
    if (first.sections.size() != second.sections.size())
        return false;
    for (int index = 0; index < first.sections.size(); ++index) {
        if (first.sections.at(index).address != second.sections.at(index).address ||
            first.sections.at(index).bytes != second.sections.at(index).bytes)
            return false;
    }
    return true;
}
} // namespace

const SettingsCopyStore::Section *SettingsCopyStore::Copy::section(uint32_t address) const
{
    for (const Section &candidate : sections) {
        if (candidate.address == address)
            return &candidate;
    }
    return nullptr;
}

SettingsCopyStore::SettingsCopyStore(const QString &folder) : m_folder(folder) {}

QString SettingsCopyStore::defaultFolder()
{
    const QString configured = qEnvironmentVariable(folderVariable);
    if (!configured.isEmpty())
        return configured;
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/settings-copies");
}

QString SettingsCopyStore::adapterFolder(const QString &model, const QString &serialNumber) const
{
    return QDir(m_folder).filePath(safeName(model) + QLatin1Char('-') + safeName(serialNumber));
}

QByteArray SettingsCopyStore::encode(const Copy &copy)
{
    QJsonArray sections;
    for (const Section &section : copy.sections) {
        sections.append(QJsonObject{
            {QStringLiteral("address"),
             QStringLiteral("0x%1").arg(section.address, 8, 16, QLatin1Char('0'))},
            {QStringLiteral("length"), section.bytes.size()},
            {QStringLiteral("sha256"), sha256Hex(section.bytes)},
            {QStringLiteral("data"), QString::fromLatin1(section.bytes.toBase64())},
        });
    }
    const QJsonObject root{
        {QStringLiteral("format"), QString::fromLatin1(formatName)},
        {QStringLiteral("formatVersion"), formatVersion},
        {QStringLiteral("model"), copy.model},
        {QStringLiteral("serialNumber"), copy.serialNumber},
        {QStringLiteral("firmwareVersion"), copy.firmwareVersion},
        {QStringLiteral("operation"), copy.operation},
        {QStringLiteral("savedAtUtc"), copy.savedAtUtc.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("sections"), sections},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<SettingsCopyStore::Copy> SettingsCopyStore::decode(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("format")).toString() != QLatin1String(formatName) ||
        root.value(QStringLiteral("formatVersion")).toInt() != formatVersion)
        return std::nullopt;
    Copy copy;
    copy.model = root.value(QStringLiteral("model")).toString();
    copy.serialNumber = root.value(QStringLiteral("serialNumber")).toString();
    copy.firmwareVersion = root.value(QStringLiteral("firmwareVersion")).toString();
    copy.operation = root.value(QStringLiteral("operation")).toString();
    copy.savedAtUtc = QDateTime::fromString(root.value(QStringLiteral("savedAtUtc")).toString(),
                                            Qt::ISODateWithMs);
    if (!copy.savedAtUtc.isValid())
        return std::nullopt;
    copy.savedAtUtc = copy.savedAtUtc.toUTC();
    const QJsonArray sections = root.value(QStringLiteral("sections")).toArray();
    if (sections.isEmpty())
        return std::nullopt;
    for (const QJsonValue &value : sections) {
        const QJsonObject object = value.toObject();
        const QString addressText = object.value(QStringLiteral("address")).toString();
        bool isNumber = false;
        const uint address = addressText.startsWith(QLatin1String("0x"))
                                 ? addressText.mid(2).toUInt(&isNumber, 16)
                                 : 0;
        const QByteArray data =
            QByteArray::fromBase64(object.value(QStringLiteral("data")).toString().toLatin1(),
                                   QByteArray::AbortOnBase64DecodingErrors);
        if (!isNumber || data.isEmpty() ||
            data.size() != object.value(QStringLiteral("length")).toInt(-1) ||
            sha256Hex(data) != object.value(QStringLiteral("sha256")).toString())
            return std::nullopt;
        copy.sections.append({uint32_t(address), data});
    }
    return copy;
}

bool SettingsCopyStore::save(Copy *copy, QString *error)
{
    const QString folder = adapterFolder(copy->model, copy->serialNumber);
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    const QList<Copy> existing = copies(copy->model, copy->serialNumber);
    if (!existing.isEmpty() && sameSections(existing.first(), *copy)) {
        // Saving it again would only push an older, different copy out.
        copy->filePath = existing.first().filePath;
        copy->savedAtUtc = existing.first().savedAtUtc;
        return true;
    }
    if (!copy->savedAtUtc.isValid())
        copy->savedAtUtc = QDateTime::currentDateTimeUtc();
    // Names sort by time; C-locale digits whatever the user's locale.
    const QString name =
        QLocale::c().toString(copy->savedAtUtc.toUTC(), QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'")) +
        QLatin1Char('-') + safeName(copy->operation) + QLatin1String(fileSuffix);
    const QString path = QDir(folder).filePath(name);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(encode(*copy)) < 0 || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    copy->filePath = path;

    const QStringList files =
        QDir(folder).entryList({QStringLiteral("*") + QLatin1String(fileSuffix)}, QDir::Files,
                               QDir::Name | QDir::Reversed);
    for (int index = copiesKeptPerAdapter; index < files.size(); ++index)
        QFile::remove(QDir(folder).filePath(files.at(index)));
    return true;
}

QList<SettingsCopyStore::Copy> SettingsCopyStore::copies(const QString &model,
                                                         const QString &serialNumber) const
{
    const QDir folder(adapterFolder(model, serialNumber));
    const QStringList files = folder.entryList({QStringLiteral("*") + QLatin1String(fileSuffix)},
                                               QDir::Files, QDir::Name | QDir::Reversed);
    QList<Copy> result;
    for (const QString &name : files) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        std::optional<Copy> copy = decode(file.readAll());
        if (!copy || copy->serialNumber != serialNumber || copy->model != model) {
            qWarning() << "settings copy" << file.fileName() << "is damaged; left out";
            continue;
        }
        copy->filePath = file.fileName();
        result.append(*copy);
    }
    return result;
}

std::optional<SettingsCopyStore::Copy> SettingsCopyStore::newest(const QString &model,
                                                                 const QString &serialNumber) const
{
    const QList<Copy> all = copies(model, serialNumber);
    if (all.isEmpty())
        return std::nullopt;
    return all.first();
}
