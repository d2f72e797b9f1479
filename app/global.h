#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

class QTranslator;

// What Global needs from the GUI toolkit. The graphical program installs an
// implementation; the command-line tool and the tests run without one, so this
// library stays free of Qt GUI.
class GlobalGuiServices
{
public:
    virtual ~GlobalGuiServices() = default;
    virtual void setClipboardText(const QString &text) = 0;
    virtual QString clipboardText() const = 0;
    // Registers a font file with the application font database; returns the
    // font id (negative on failure) and fills the family names.
    virtual int addApplicationFont(const QString &path, QStringList *families) = 0;
};

// The application-wide settings and services object.
class Global : public QObject
{
    Q_OBJECT
public:
    enum ConfigKey {
        SetBootModeAfterUpdate = 0,
        BootMode = 1,
        RebootAfterUpdate = 2,
        CloudDefaultIndex = 3,
    };
    Q_ENUM(ConfigKey)

    // Outcome of a save, for callers that must tell "unchanged" from "failed".
    enum class SaveResult {
        Written,        // the new content is on disk
        Unchanged,      // an identical file was already there; nothing written
        NothingToWrite, // empty data: nothing written (a differing old file was removed)
        Failed,         // the file could not be written or removed; see the log
    };

    static Global *instance();

    // Installs the GUI services; not owned. Call before instance() in the GUI program.
    static void setGuiServices(GlobalGuiServices *services);

    static QString configKeyName(ConfigKey key);

    QVariant readConfig(ConfigKey key, const QVariant &defaultValue) const;
    void writeConfig(ConfigKey key, const QVariant &value);

    int readLanguage() const;
    void setLanguage(int language);
    // The translation resource for a language number (English for unknown numbers).
    static QString languageResource(int language);

    QString readRecentDir() const;
    void writeRecentDir(const QString &dir);

    void loadFonts();

    static QByteArray readFile(const QString &path);
    // Writes data to path unless an identical file is already there (false).
    // The file is replaced atomically: a reader never sees a truncated file.
    // A failed write returns false and is logged.
    static bool saveFile(const QString &path, const QByteArray &data);
    static SaveResult saveFileWithResult(const QString &path, const QByteArray &data);
    static bool checkFileMd5(const QString &path, const QString &md5Hex);

    // File name of the settings: relative to the working directory, or in
    // the folder given to setConfigFolder().
    static QString configFileName();
    // Keeps the settings in this folder instead of the working directory (an
    // empty folder: the working directory again). Call before instance() and
    // before any thread reads the settings.
    static void setConfigFolder(const QString &folder);

signals:
    void showMessage(QString msg);

public slots:
    void writeClipBoard(QString text);
    QString readClipBoard();
    int versionCompare(QString version1, QString version2);

private:
    explicit Global(QObject *parent = nullptr);

    QTranslator *translator = nullptr;
};
