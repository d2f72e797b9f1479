#include "startup.h"

#include "basedevice.h"
#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "firmwaremanage.h"
#include "global.h"
#include "guiservices.h"
#include "widgetfiledialogs.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QtQml>

#include <memory>

namespace Startup {

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(organizationDomain));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(desktopFileName));
}

QString settingsFolder(const QStringList &arguments, const QString &userConfigFolder)
{
    return arguments.mid(1).contains(QLatin1String(userSettingsOption)) ? userConfigFolder
                                                                        : QString();
}

void useSettingsFolderOf(const QStringList &arguments)
{
    const QString folder = settingsFolder(
        arguments, QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    if (folder.isEmpty())
        return;
    // A folder that cannot be made shows up as the settings error on the
    // first write, like any settings file that cannot be written.
    if (!QDir().mkpath(folder))
        qWarning() << "Startup: cannot create the settings folder" << folder;
    Global::setConfigFolder(folder);
}

void connectInstanceGuard(SingleApplication &instanceGuard)
{
    QObject::connect(
        &instanceGuard, &SingleApplication::instanceStarted, &instanceGuard,
        []() {
            qDebug() << "Brivane Firmware is instanceStarted!";
            emit Global::instance()->showMessage(
                QCoreApplication::translate("QObject", "Brivane Firmware is already running!"));
        },
        Qt::DirectConnection);
    QObject::connect(
        &instanceGuard, &SingleApplication::receivedMessage, &instanceGuard,
        [](quint32 instanceId, const QByteArray &message) {
            qDebug() << "App receivedMessage:" << instanceId << message;
        },
        Qt::DirectConnection);
}

int run(QApplication &application, const QUrl &mainPage, SingleApplication *instanceGuard)
{
    static GuiServices guiServices;
    Global::setGuiServices(&guiServices);
    qmlRegisterUncreatableType<Global>("Com.Brivane", 1, 0, "Global",
                                       QStringLiteral("Access to enums & flags only"));
    qmlRegisterUncreatableType<FirmwareManage>("Com.Brivane", 1, 0, "FirmwareManage",
                                               QStringLiteral("Access to enums & flags only"));
    qmlRegisterUncreatableType<BaseDevice>("Com.Brivane", 1, 0, "BaseDevice",
                                           QStringLiteral("Access to enums & flags only"));

    // Emulated adapters only when asked for explicitly.
    static EmulatorBackend *emulator = EmulatorBackend::fromEnvironment();
    if (emulator)
        HidBackend::install(emulator);

    Global *global = Global::instance();
    BridgeUSB::instance();

    // Destroyed after the engine whose scene refers to it; it waits for a
    // worker still running.
    std::unique_ptr<FirmwareManage> firmwareManage;
    static WidgetFileDialogs fileDialogs;

    QQmlApplicationEngine engine;
    firmwareManage = std::make_unique<FirmwareManage>();
    firmwareManage->setFileDialogs(&fileDialogs);
    engine.rootContext()->setContextProperty(QStringLiteral("global"), global);
    engine.rootContext()->setContextProperty(QStringLiteral("firmwareManage"),
                                             firmwareManage.get());
    // The publishing page's button stays hidden for users; a technician (and
    // the window tests) show it with BRIVANE_ADMIN=1.
    engine.rootContext()->setContextProperty(QStringLiteral("administrationVisible"),
                                             qEnvironmentVariableIntValue("BRIVANE_ADMIN") == 1);
    global->loadFonts();
    // The bundled fonts draw every language of the window: Latin and
    // Cyrillic from the first, Chinese and Japanese from its substitute.
    QFont::insertSubstitution(QStringLiteral("Liberation Sans"),
                              QStringLiteral("Droid Sans Fallback"));
    QFont interfaceFont = QGuiApplication::font();
    interfaceFont.setFamily(QStringLiteral("Liberation Sans"));
    QGuiApplication::setFont(interfaceFont);

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
    // Every language switch re-evaluates the scene's translated texts.
    QObject::connect(firmwareManage.get(), &FirmwareManage::currentLanguageChanged, &engine,
                     [&engine]() { engine.retranslate(); });
    if (instanceGuard)
        connectInstanceGuard(*instanceGuard);
    return application.exec();
}

} // namespace Startup
