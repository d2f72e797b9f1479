#include "global.h"

#include <QAtomicPointer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMetaEnum>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTranslator>

namespace {
QRecursiveMutex instanceMutex;
QAtomicPointer<Global> globalInstance;
QAtomicPointer<GlobalGuiServices> guiServices;

QMutex configFolderMutex;
QString configFolder;

const char languageKey[] = "Language";
const char recentDirKey[] = "RecentDir";

// A settings object that lives for one access only, so a value written is on
// disk when the call returns and nothing is cached between calls.
std::unique_ptr<QSettings> openSettings()
{
    auto settings = std::make_unique<QSettings>(Global::configFileName(), QSettings::IniFormat);
    return settings;
}

QByteArray md5Of(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}
} // namespace

Global::Global(QObject *parent) : QObject(parent)
{
    translator = new QTranslator(this);
    setLanguage(readLanguage());
}

Global *Global::instance()
{
    Global *existing = globalInstance.loadAcquire();
    if (existing)
        return existing;
    QMutexLocker locker(&instanceMutex);
    existing = globalInstance.loadAcquire();
    if (!existing) {
        existing = new Global();
        globalInstance.storeRelease(existing);
    }
    return existing;
}

void Global::setGuiServices(GlobalGuiServices *services)
{
    guiServices.storeRelease(services);
}

QString Global::configFileName()
{
    const QString fileName = QStringLiteral("configs.ini");
    QMutexLocker locker(&configFolderMutex);
    return configFolder.isEmpty() ? fileName : QDir(configFolder).filePath(fileName);
}

void Global::setConfigFolder(const QString &folder)
{
    QMutexLocker locker(&configFolderMutex);
    configFolder = folder;
}

QString Global::configKeyName(ConfigKey key)
{
    const QMetaEnum metaEnum = QMetaEnum::fromType<ConfigKey>();
    const char *name = metaEnum.valueToKey(key);
    return name ? QString::fromLatin1(name) : QString();
}

QVariant Global::readConfig(ConfigKey key, const QVariant &defaultValue) const
{
    return openSettings()->value(configKeyName(key), defaultValue);
}

void Global::writeConfig(ConfigKey key, const QVariant &value)
{
    auto settings = openSettings();
    settings->setValue(configKeyName(key), value);
    settings->sync();
}

int Global::readLanguage() const
{
    return openSettings()
        ->value(QLatin1String(languageKey), int(QLocale::system().language()))
        .toInt();
}

QString Global::languageResource(int language)
{
    switch (language) {
    case QLocale::Chinese:
        return QStringLiteral(":/languages/client_zh_CN.qm");
    case QLocale::French:
        return QStringLiteral(":/languages/client_fr_FR.qm");
    case QLocale::Japanese:
        return QStringLiteral(":/languages/client_ja_JP.qm");
    case QLocale::Russian:
        return QStringLiteral(":/languages/client_ru_RU.qm");
    case QLocale::English:
    default:
        return QStringLiteral(":/languages/client_en_EN.qm");
    }
}

void Global::setLanguage(int language)
{
    if (!translator->load(languageResource(language), QString(), QString(), QString()))
        return;
    QCoreApplication::installTranslator(translator);
    auto settings = openSettings();
    settings->setValue(QLatin1String(languageKey), language);
    settings->sync();
}

QString Global::readRecentDir() const
{
    return openSettings()
        ->value(QLatin1String(recentDirKey),
                QStandardPaths::writableLocation(QStandardPaths::DownloadLocation))
        .toString();
}

void Global::writeRecentDir(const QString &dir)
{
    auto settings = openSettings();
    settings->setValue(QLatin1String(recentDirKey), dir);
    settings->sync();
}

void Global::loadFonts()
{
    static const char *const fontFiles[] = {
        ":/fonts/arbutusslab-regular.ttf", ":/fonts/cn-msyh.ttf",     ":/fonts/en-micross.ttf",
        ":/fonts/FontAwesome.otf",         ":/fonts/jp-msgothic.ttf", ":/fonts/ru-consola.ttf",
    };
    GlobalGuiServices *services = guiServices.loadAcquire();
    for (const char *file : fontFiles) {
        const QString path = QString::fromLatin1(file);
        QStringList families;
        const int fontId = services ? services->addApplicationFont(path, &families) : -1;
        if (fontId < 0) {
            qWarning().noquote() << path << "could not be loaded!";
            continue;
        }
        qDebug().noquote() << "App Load Font Family:" << fontId
                           << QStringLiteral("(%1)").arg(families.join(QStringLiteral(", ")));
    }
}

QByteArray Global::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool Global::saveFile(const QString &path, const QByteArray &data)
{
    const SaveResult result = saveFileWithResult(path, data);
    return result == SaveResult::Written || result == SaveResult::NothingToWrite;
}

Global::SaveResult Global::saveFileWithResult(const QString &path, const QByteArray &data)
{
    QFile existing(path);
    if (existing.exists() && existing.open(QIODevice::ReadOnly)) {
        const QByteArray oldContent = existing.readAll();
        existing.close();
        if (md5Of(oldContent) == md5Of(data)) {
            qWarning() << "File already exists and not changed." << path;
            return SaveResult::Unchanged;
        }
        // With new content coming the old file is replaced atomically below,
        // so it is only removed here when there is nothing to write.
        if (data.isEmpty()) {
            const bool removed = QFile::remove(path);
            qWarning() << "File already exists and changed will be removed..." << removed << path;
            if (!removed)
                return SaveResult::Failed;
        } else {
            qWarning() << "File already exists and changed will be removed..." << true << path;
        }
    }
    if (data.isEmpty())
        return SaveResult::NothingToWrite;

    const QString folder = QFileInfo(path).absolutePath();
    QDir dir(folder);
    if (!dir.exists()) {
        if (dir.mkpath(QStringLiteral(".")))
            qInfo() << "Created app data destination directory. " << dir.absolutePath();
        else
            qWarning() << "Failed to create app data destination directory. " << dir.absolutePath();
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "file open error!" << folder;
        return SaveResult::Failed;
    }
    if (file.write(data) != data.size() || !file.commit()) {
        qWarning() << "file write error!" << path << file.errorString();
        file.cancelWriting();
        return SaveResult::Failed;
    }
    qDebug() << "Save file data size:" << data.size() << "--->" << path;
    return SaveResult::Written;
}

bool Global::checkFileMd5(const QString &path, const QString &md5Hex)
{
    if (!QFile::exists(path))
        return false;
    const QString actual = QString::fromLatin1(md5Of(readFile(path)).toHex());
    return actual == md5Hex;
}

void Global::writeClipBoard(QString text)
{
    if (GlobalGuiServices *services = guiServices.loadAcquire())
        services->setClipboardText(text);
}

QString Global::readClipBoard()
{
    GlobalGuiServices *services = guiServices.loadAcquire();
    return services ? services->clipboardText() : QString();
}

int Global::versionCompare(QString version1, QString version2)
{
    if (version1 == version2)
        return 0;
    const QStringList parts1 = version1.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    const QStringList parts2 = version2.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts1.size() != parts2.size() || parts1.size() != 3) {
        qWarning() << "VersionCompare Error !!!";
        return -1;
    }
    for (int i = 0; i < 3; ++i) {
        const int a = parts1.at(i).toInt();
        const int b = parts2.at(i).toInt();
        if (a > b)
            return 1;
        if (a < b)
            return -1;
    }
    return -1;
}
