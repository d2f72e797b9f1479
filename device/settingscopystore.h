#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// Copies of what an operation is about to erase from an adapter (its
// settings, and the user data where the operation rewrites it), kept on
// this computer per adapter, so that an operation cut short never loses
// them for good. One file per copy, written atomically; the newest few of
// each adapter are kept.
class SettingsCopyStore
{
public:
    static constexpr int copiesKeptPerAdapter = 5;
    // Overrides the folder (tests, and technicians who keep copies elsewhere).
    static constexpr const char *folderVariable = "BRIVANE_SETTINGS_COPY_DIR";

    struct Section
    {
        uint32_t address = 0;
        QByteArray bytes;
    };

    struct Copy
    {
        QString model;
        QString serialNumber;
        // The firmware version the saved settings were written by.
        QString firmwareVersion;
        // What was about to run when the copy was made ("update", ...).
        QString operation;
        QDateTime savedAtUtc;
        QList<Section> sections;
        QString filePath; // set when read from or written to a file

        const Section *section(uint32_t address) const;
    };

    explicit SettingsCopyStore(const QString &folder = defaultFolder());

    // The user's data folder, or the folder named by folderVariable.
    static QString defaultFolder();
    QString folder() const { return m_folder; }
    QString adapterFolder(const QString &model, const QString &serialNumber) const;

    // Writes a new copy unless the newest one holds the same sections; then
    // removes the oldest beyond copiesKeptPerAdapter. False with a reason
    // when the copy could not be written whole.
    bool save(Copy *copy, QString *error);
    // The adapter's copies, newest first; damaged files are left out.
    QList<Copy> copies(const QString &model, const QString &serialNumber) const;
    std::optional<Copy> newest(const QString &model, const QString &serialNumber) const;

    // The file form, exposed for tests: JSON with each section's bytes in
    // Base64 and their SHA-256, so a damaged file is recognised.
    static QByteArray encode(const Copy &copy);
    static std::optional<Copy> decode(const QByteArray &bytes);

private:
    QString m_folder;
};
