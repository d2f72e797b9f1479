#include "clicommon.h"
#include "qhiddevice.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace {

const char usageText[] =
    "Usage: brivane-fwtool <command> [options]\n"
    "\n"
    "Commands:\n"
    "  devices                      list the HID devices the transport sees\n"
    "  info                         connect an adapter and print its state\n"
    "  update                       write a firmware file or catalogue entry into an adapter\n"
    "  factory-restore              write firmware and factory settings (T5)\n"
    "  boot-mode                    set the console boot mode (T5)\n"
    "  backup                       save the adapter's user data to a .bkp file (T5)\n"
    "  restore-data                 write a .bkp file back into the adapter (T5)\n"
    "  restore-settings             write back the settings saved on this computer (T5)\n"
    "  package-info                 decode a K3/M7 firmware package\n"
    "  store                        get, put, head objects of the firmware store; ping it\n"
    "  catalogue                    list, publish, edit, remove and order firmware entries\n"
    "  emulate                      create emulated adapters and T5 test images\n"
    "\n"
    "Every command takes --help. -v or --verbose (anywhere) shows the protocol log.\n"
    "BRIVANE_EMULATOR=<folder> makes the tool talk to the emulated adapters in that\n"
    "folder instead of real ones.\n";

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Brivane Firmware Tool"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brivane"));
    QCoreApplication::setApplicationVersion(QStringLiteral("3.3.8"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool verbose = arguments.removeAll(QStringLiteral("-v")) +
                             arguments.removeAll(QStringLiteral("--verbose")) >
                         0;

    // The libraries log every exchange. A technician asks for that with -v
    // or QT_LOGGING_RULES; otherwise only what a user can act on reaches
    // stderr: problems of the set-up, and critical errors.
    const bool protocolLog = verbose || qEnvironmentVariableIsSet("QT_LOGGING_RULES");
    if (verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
    else if (!protocolLog)
        QLoggingCategory::setFilterRules(QStringLiteral(
            "*.debug=false\n*.info=false\n*.warning=false\nbrivane.setup.warning=true"));
    QHidDevice::setOpenTraceStream(stderr);
    QHidDevice::setOpenTraceEnabled(protocolLog);

    if (arguments.isEmpty() || arguments.first() == QLatin1String("--help") ||
        arguments.first() == QLatin1String("-h") || arguments.first() == QLatin1String("help")) {
        Cli::printLine(QString::fromLatin1(usageText));
        return arguments.isEmpty() ? Cli::exitUsage : Cli::exitSuccess;
    }
    const QString command = arguments.takeFirst();
    if (command == QLatin1String("devices"))
        return runDevicesCommand(arguments);
    if (command == QLatin1String("info") || command == QLatin1String("update") ||
        command == QLatin1String("factory-restore") || command == QLatin1String("boot-mode") ||
        command == QLatin1String("backup") || command == QLatin1String("restore-data") ||
        command == QLatin1String("restore-settings"))
        return runDeviceCommand(command, arguments);
    if (command == QLatin1String("package-info"))
        return runPackageInfoCommand(arguments);
    if (command == QLatin1String("store"))
        return runStoreCommand(arguments);
    if (command == QLatin1String("catalogue"))
        return runCatalogueCommand(arguments);
    if (command == QLatin1String("emulate"))
        return runEmulatorCommand(arguments);
    return Cli::usageError(
        QStringLiteral("unknown command '%1' (see brivane-fwtool --help)").arg(command));
}
