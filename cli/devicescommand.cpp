#include "clicommon.h"

#include "hidbackend.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>

int runDevicesCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Lists the HID devices the transport sees: vendor, product, interface, path."));
    parser.addHelpOption();
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    parser.addOption(jsonOption);
    if (!parser.parse(QStringList{QStringLiteral("brivane-fwtool devices")} + arguments))
        return Cli::usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        Cli::printHelp(parser, QStringLiteral("devices"));
        return Cli::exitSuccess;
    }
    if (!parser.positionalArguments().isEmpty())
        return Cli::usageError(QStringLiteral("devices takes no arguments"));
    if (!Cli::setupHidBackendFromEnvironment())
        return Cli::exitFailure;

    HidBackend *backend = HidBackend::current();
    if (backend->init() < 0)
        return Cli::fail(QStringLiteral("the HID library could not be initialised"));
    hid_device_info *devices = backend->enumerate(0, 0);
    QJsonArray list;
    QStringList lines;
    for (hid_device_info *entry = devices; entry; entry = entry->next) {
        const QString path = QString::fromLocal8Bit(entry->path ? entry->path : "");
        QJsonObject object{
            {QStringLiteral("vendorId"), entry->vendor_id},
            {QStringLiteral("productId"), entry->product_id},
            {QStringLiteral("interface"), entry->interface_number},
            {QStringLiteral("path"), path},
        };
        list.append(object);
        lines.append(QStringLiteral("%1:%2 interface %3 %4")
                         .arg(entry->vendor_id, 4, 16, QLatin1Char('0'))
                         .arg(entry->product_id, 4, 16, QLatin1Char('0'))
                         .arg(entry->interface_number)
                         .arg(path));
    }
    backend->freeEnumeration(devices);
    if (parser.isSet(jsonOption))
        Cli::printJson(list);
    else
        for (const QString &line : qAsConst(lines))
            Cli::printLine(line);
    return Cli::exitSuccess;
}
