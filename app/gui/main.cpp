#include "singleapplication.h"
#include "startup.h"

int main(int argc, char *argv[])
{
    // A second start of the program announces itself to the running one and
    // ends inside this construction with exit code 0, before any window
    // exists. It sees the toolkit's default identity, as every start does.
    SingleApplication application(argc, argv, Startup::allowSecondInstance,
                                  Startup::instanceGuardOptions,
                                  Startup::instanceHandOverTimeoutMs);
    Startup::setApplicationIdentity();
    Startup::useSettingsFolderOf(application.arguments());
    return Startup::run(application, QUrl(QStringLiteral("qrc:/Main.qml")), &application);
}
