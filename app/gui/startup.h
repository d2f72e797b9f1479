#pragma once

#include "singleapplication.h"

#include <QStringList>
#include <QUrl>

class QApplication;

namespace Startup {

constexpr char applicationName[] = "Brivane Firmware Tool";
constexpr char organizationName[] = "Brivane";
constexpr char organizationDomain[] = "brivane.example";
constexpr char applicationVersion[] = "3.3.8";

// How the program stays one instance per user and installation: a second
// start announces itself to the running one and ends with exit code 0.
constexpr bool allowSecondInstance = false;
constexpr SingleApplication::Options instanceGuardOptions = SingleApplication::PerUserScope;
constexpr int instanceHandOverTimeoutMs = 1000;

// The name of the menu entry, which the window carries so that desktops
// match the two.
constexpr char desktopFileName[] = "example.brivane.FirmwareTool";

// Asks for the settings in the per-user configuration folder instead of the
// working directory. The menu entry starts the program with it: started
// from a menu, the working directory is the home folder.
constexpr char userSettingsOption[] = "--user-settings";

// Sets the application identity on the core application.
void setApplicationIdentity();

// The folder the settings belong in for these program arguments: the user
// configuration folder with the option, else empty (the working directory).
QString settingsFolder(const QStringList &arguments, const QString &userConfigFolder);

// Applies settingsFolder() to the process's settings; call after
// setApplicationIdentity() and before run().
void useSettingsFolderOf(const QStringList &arguments);

// Makes the running instance tell the user about a second start: the window
// shows a message and comes to the front.
void connectInstanceGuard(SingleApplication &instanceGuard);

// Runs the program on an application object that already exists: the
// process-wide services, the QML engine with "global", the fonts, the main
// page and the event loop. Returns the exit code (-1 when the main page does
// not load). With an instance guard, its signals are connected just before
// the event loop runs.
int run(QApplication &application, const QUrl &mainPage = QUrl(QStringLiteral("qrc:/Main.qml")),
        SingleApplication *instanceGuard = nullptr);

} // namespace Startup
