#pragma once

#include <QUrl>

class QApplication;

namespace Startup {

constexpr char applicationName[] = "Brivane Firmware Tool";
constexpr char organizationName[] = "Brivane";
constexpr char organizationDomain[] = "brivane.example";
constexpr char applicationVersion[] = "3.3.8";

// Sets the application identity on the core application.
void setApplicationIdentity();

// Runs the program on an application object that already exists: the
// process-wide services, the QML engine with "global", the fonts, the main
// page and the event loop. Returns the exit code (-1 when the main page does
// not load).
int run(QApplication &application, const QUrl &mainPage = QUrl(QStringLiteral("qrc:/Main.qml")));

} // namespace Startup
