#pragma once

#include "firmwaremanage.h"

#include <QFuture>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <memory>

// The controller of the window, driven by the catalogue commands: the same
// code paths as the window, so the command line never has a second notion
// of how the catalogue is read, changed or resolved to a package.
class ControllerSession
{
public:
    // Sets up the HID backend (BRIVANE_EMULATOR) and the settings, then the
    // controller in command-line mode. Null after printing the reason.
    static std::unique_ptr<ControllerSession> open();
    ~ControllerSession();

    FirmwareManage &controller() { return *manage; }

    // Waits for the operation while this thread keeps processing events (the
    // controller's queued signals and the transport need them).
    bool wait(const QFuture<bool> &operation);

    // What the controller told the user, in order; printed to stderr as it
    // arrives, since stdout carries the result.
    QStringList errors() const;
    QStringList infos() const;
    int errorCount() const;

    // The whole catalogue and one model's usable entries as the controller
    // holds them now.
    QJsonObject catalogue() const;
    QJsonArray entriesOf(const QString &modelKey) const;

private:
    ControllerSession();
    void record(QStringList *list, const QString &prefix, const QString &text);

    mutable QMutex lock;
    QStringList errorTexts;
    QStringList infoTexts;
    // Last, so that it goes first: its signals reach the records above.
    std::unique_ptr<FirmwareManage> manage;
};

namespace CatalogueText {
// Position of a model key ("T5", "M7", "K3") or -1.
int modelPosition(const QString &model);
// The model keys, for messages: "T5, M7, K3".
QString knownModels();
// An entry as the commands print it in JSON: its members and its change
// log split into lines (none for an empty one).
QJsonObject entryJson(const QJsonObject &entry);
QJsonArray entriesJson(const QJsonArray &entries);
// "1.2.3, 1.2.2" or "none".
QString versionsOf(const QJsonArray &entries);
} // namespace CatalogueText
