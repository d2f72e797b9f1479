#include "startup.h"

#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "global.h"
#include "guiservices.h"

#include <QApplication>
#include <QDebug>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QtQml>

namespace Startup {

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(organizationDomain));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));
}

int run(QApplication &application, const QUrl &mainPage)
{
    static GuiServices guiServices;
    Global::setGuiServices(&guiServices);
    qmlRegisterUncreatableType<Global>("Com.Brivane", 1, 0, "Global",
                                       QStringLiteral("Access to enums & flags only"));

    // Emulated adapters only when asked for explicitly.
    static EmulatorBackend *emulator = EmulatorBackend::fromEnvironment();
    if (emulator)
        HidBackend::install(emulator);

    Global *global = Global::instance();
    BridgeUSB::instance();

    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("global"), global);
    global->loadFonts();

    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &application,
        [mainPage](QObject *object, const QUrl &url) {
            if (auto *window = qobject_cast<QWindow *>(object)) {
                BridgeUSB::instance()->registerDevice(quintptr(window->winId()));
            } else if (!object && url == mainPage) {
                QCoreApplication::exit(-1);
            }
        },
        Qt::QueuedConnection);
    engine.load(mainPage);
    return application.exec();
}

} // namespace Startup
