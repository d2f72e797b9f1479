#include "clicommon.h"
#include "controllersession.h"

#include "catalogue.h"
#include "cloudaws.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>

namespace {

const char catalogueDescription[] =
    "The firmware catalogue (index.json) on the firmware store, as the window's\n"
    "publishing page keeps it.\n"
    "\n"
    "  catalogue list [--model T5|M7|K3]\n"
    "  catalogue publish --model M --file F --version V [--info TEXT]\n"
    "  catalogue edit --model M --checksum C --version V [--info TEXT]\n"
    "  catalogue remove --model M --checksum C\n"
    "  catalogue order --checksums C1,C2,...\n"
    "\n"
    "Each action takes --help and --json. Change logs separate their items with \";\".\n"
    "%1\n"
    "Exit status 0 when the catalogue was read (list) or the store confirmed the\n"
    "change, 1 on failure, 2 on wrong usage.";

QString storeText()
{
    return QStringLiteral("The store's credentials come from the INI file named by\n"
                          "BRIVANE_STORE_CONFIG, or else from\n"
                          "  %1\n"
                          "as for the store command. The profile in use is CloudDefaultIndex in\n"
                          "configs.ini of the working directory.")
        .arg(CloudAWS::storeConfigPath());
}

const QRegularExpression &checksumPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    return pattern;
}

// The arguments of one action. parse() gives -1 when the action may run,
// else the exit status (0 after --help).
class ActionArguments
{
public:
    ActionArguments(const QString &action, const QString &description) : action(action)
    {
        parser.setApplicationDescription(description + QStringLiteral("\n") + storeText());
        parser.addHelpOption();
        parser.addOption(jsonOption);
    }

    int parse(const QStringList &arguments)
    {
        if (!parser.parse(QStringList{QStringLiteral("brivane-fwtool catalogue")} + arguments))
            return Cli::usageError(parser.errorText());
        if (parser.isSet(QStringLiteral("help"))) {
            Cli::printHelp(parser, QStringLiteral("catalogue ") + action);
            return Cli::exitSuccess;
        }
        if (!parser.positionalArguments().isEmpty())
            return Cli::usageError(
                QStringLiteral("catalogue %1 takes no positional arguments").arg(action));
        return -1;
    }

    // The model option's value as a key, or a usage error (status in *status).
    QString model(const QCommandLineOption &option, bool required, int *status) const
    {
        const QString model = parser.value(option).trimmed().toUpper();
        if (model.isEmpty() && !required)
            return model;
        if (CatalogueText::modelPosition(model) < 0) {
            *status =
                Cli::usageError(model.isEmpty() ? QStringLiteral("catalogue %1 needs --model %2")
                                                      .arg(action, CatalogueText::knownModels())
                                                : QStringLiteral("unknown model '%1' (known: %2)")
                                                      .arg(model, CatalogueText::knownModels()));
            return QString();
        }
        return model;
    }

    QString version(const QCommandLineOption &option, int *status) const
    {
        const QString version = parser.value(option).trimmed();
        if (!Catalogue::isVersion(version))
            *status = Cli::usageError(
                QStringLiteral("catalogue %1 needs --version of dot-separated numbers, e.g. 1.2.3")
                    .arg(action));
        return version;
    }

    QString checksum(const QCommandLineOption &option, int *status) const
    {
        const QString checksum = parser.value(option).trimmed();
        if (!checksumPattern().match(checksum).hasMatch())
            *status = Cli::usageError(
                QStringLiteral("catalogue %1 needs --checksum of 32 hexadecimal digits (MD5)")
                    .arg(action));
        return checksum;
    }

    bool json() const { return parser.isSet(jsonOption); }

    const QString action;
    QCommandLineParser parser;
    const QCommandLineOption jsonOption{QStringLiteral("json"), QStringLiteral("Print JSON.")};
};

const QCommandLineOption &modelOption()
{
    static const QCommandLineOption option(QStringLiteral("model"),
                                           QStringLiteral("Adapter model: T5, M7 or K3."),
                                           QStringLiteral("M"));
    return option;
}

const QCommandLineOption &versionOption()
{
    static const QCommandLineOption option(QStringLiteral("version"),
                                           QStringLiteral("Firmware version, e.g. 1.2.3."),
                                           QStringLiteral("V"));
    return option;
}

const QCommandLineOption &checksumOption()
{
    static const QCommandLineOption option(
        QStringLiteral("checksum"),
        QStringLiteral("The entry's checksum as catalogue list prints it (case is ignored)."),
        QStringLiteral("C"));
    return option;
}

void printEntries(const QString &modelKey, const QJsonArray &entries)
{
    Cli::printLine(
        QStringLiteral("%1: %2 %3")
            .arg(modelKey)
            .arg(entries.size())
            .arg(entries.size() == 1 ? QStringLiteral("entry") : QStringLiteral("entries")));
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = CatalogueText::entryJson(value.toObject());
        Cli::printLine(QStringLiteral("  %1  %2  %3  %4")
                           .arg(entry.value(QStringLiteral("version")).toString(),
                                entry.value(QStringLiteral("datetime")).toString(),
                                entry.value(QStringLiteral("checksum")).toString(),
                                entry.value(QStringLiteral("download")).toString()));
        for (const QJsonValue &line : entry.value(QStringLiteral("changeLog")).toArray())
            Cli::printLine(QStringLiteral("    - ") + line.toString());
    }
}

QJsonArray modelsJson(const ControllerSession &session, const QStringList &modelKeys)
{
    QJsonArray models;
    for (const QString &modelKey : modelKeys)
        models.append(QJsonObject{
            {QStringLiteral("model"), modelKey},
            {QStringLiteral("entries"), CatalogueText::entriesJson(session.entriesOf(modelKey))}});
    return models;
}

// The outcome of a change in JSON: what was asked, whether the store
// confirmed it, and the controller's messages.
QJsonObject outcomeJson(const QString &action, bool ok, const ControllerSession &session)
{
    return QJsonObject{{QStringLiteral("command"), QStringLiteral("catalogue ") + action},
                       {QStringLiteral("ok"), ok},
                       {QStringLiteral("messages"), QJsonArray::fromStringList(session.infos())},
                       {QStringLiteral("errors"), QJsonArray::fromStringList(session.errors())}};
}

// Reads the catalogue from the store into the controller.
bool synchronise(ControllerSession &session, const ActionArguments &args)
{
    if (session.wait(session.controller().startSynchronisation()))
        return true;
    if (args.json())
        Cli::printJson(outcomeJson(args.action, false, session));
    Cli::fail(QStringLiteral("catalogue %1: the catalogue could not be read from the store "
                             "(-v shows the store's answer)")
                  .arg(args.action));
    return false;
}

int runList(const QStringList &arguments)
{
    ActionArguments args(
        QStringLiteral("list"),
        QStringLiteral("Prints each entry's version, date, checksum, stored file name and\n"
                       "change log (one item a line), in catalogue order: the first entry is\n"
                       "the one an update takes by default."));
    args.parser.addOption(modelOption());
    const int parsed = args.parse(arguments);
    if (parsed >= 0)
        return parsed;
    int usage = -1;
    const QString model = args.model(modelOption(), false, &usage);
    if (usage >= 0)
        return usage;

    auto session = ControllerSession::open();
    if (!session)
        return Cli::exitFailure;
    if (!synchronise(*session, args))
        return Cli::exitFailure;
    const QStringList models = model.isEmpty() ? FirmwareManage::modelKeys : QStringList{model};
    if (args.json()) {
        QJsonObject result = outcomeJson(args.action, true, *session);
        result.insert(QStringLiteral("models"), modelsJson(*session, models));
        Cli::printJson(result);
    } else {
        for (const QString &modelKey : models)
            printEntries(modelKey, session->entriesOf(modelKey));
    }
    return Cli::exitSuccess;
}

// Answers the controller's open-file dialog with the file given on the
// command line; no other dialog is expected.
class GivenFile : public FileDialogs
{
public:
    explicit GivenFile(const QString &path) : path(path) {}
    QString saveFileName(const QString &, const QString &, const QString &) override
    {
        return QString();
    }
    QString openFileName(const QString &, const QString &, const QString &) override
    {
        return path;
    }

private:
    const QString path;
};

int runPublish(const QStringList &arguments)
{
    ActionArguments args(
        QStringLiteral("publish"),
        QStringLiteral("Stores the firmware file as <model>_v<version>.bin on every store\n"
                       "profile and adds its entry at the front of the model's list. The file\n"
                       "is stored as it is: it must already be the package the model's update\n"
                       "accepts."));
    const QCommandLineOption fileOption(QStringLiteral("file"), QStringLiteral("Firmware file."),
                                        QStringLiteral("F"));
    const QCommandLineOption infoOption(QStringLiteral("info"),
                                        QStringLiteral("Change log, items separated by \";\"."),
                                        QStringLiteral("TEXT"));
    args.parser.addOptions({modelOption(), fileOption, versionOption(), infoOption});
    const int parsed = args.parse(arguments);
    if (parsed >= 0)
        return parsed;
    int usage = -1;
    const QString model = args.model(modelOption(), true, &usage);
    if (usage < 0 && !args.parser.isSet(fileOption))
        usage = Cli::usageError(QStringLiteral("catalogue publish needs --file"));
    const QString version = usage < 0 ? args.version(versionOption(), &usage) : QString();
    if (usage >= 0)
        return usage;
    const QFileInfo file(args.parser.value(fileOption));
    if (!file.isFile())
        return Cli::fail(QStringLiteral("no such file: %1").arg(file.filePath()));

    auto session = ControllerSession::open();
    if (!session)
        return Cli::exitFailure;
    FirmwareManage &manage = session->controller();
    GivenFile dialog(file.absoluteFilePath());
    manage.setFileDialogs(&dialog);
    manage.openLocalFirmware();
    manage.setFileDialogs(nullptr);
    manage.set_localFirmwareVersion(version);
    const bool ok = session->wait(
        manage.startUpload(CatalogueText::modelPosition(model), args.parser.value(infoOption)));

    const QJsonArray entries = session->entriesOf(model);
    QJsonObject result = outcomeJson(args.action, ok, *session);
    result.insert(QStringLiteral("model"), model);
    if (ok) {
        result.insert(QStringLiteral("entry"), CatalogueText::entryJson(entries.at(0).toObject()));
        result.insert(QStringLiteral("entries"), CatalogueText::entriesJson(entries));
    }
    if (args.json())
        Cli::printJson(result);
    if (!ok)
        return Cli::fail(
            QStringLiteral("catalogue publish: %1 %2 was not published").arg(model, version));
    if (!args.json()) {
        const QJsonObject entry = entries.at(0).toObject();
        Cli::printLine(QStringLiteral("published %1 %2 as %3 (MD5 %4)")
                           .arg(model, version, entry.value(QStringLiteral("download")).toString(),
                                entry.value(QStringLiteral("checksum")).toString()));
    }
    return Cli::exitSuccess;
}

int runEdit(const QStringList &arguments)
{
    ActionArguments args(
        QStringLiteral("edit"),
        QStringLiteral("Gives the model's entry with this checksum a new version and change\n"
                       "log (without --info it keeps its change log) and the current time; its\n"
                       "stored file name follows the version. Fails, changing nothing, when the\n"
                       "model has no entry with this checksum."));
    const QCommandLineOption infoOption(QStringLiteral("info"),
                                        QStringLiteral("New change log, items separated by \";\"."),
                                        QStringLiteral("TEXT"));
    args.parser.addOptions({modelOption(), checksumOption(), versionOption(), infoOption});
    const int parsed = args.parse(arguments);
    if (parsed >= 0)
        return parsed;
    int usage = -1;
    const QString model = args.model(modelOption(), true, &usage);
    const QString checksum = usage < 0 ? args.checksum(checksumOption(), &usage) : QString();
    const QString version = usage < 0 ? args.version(versionOption(), &usage) : QString();
    if (usage >= 0)
        return usage;

    auto session = ControllerSession::open();
    if (!session)
        return Cli::exitFailure;
    if (!synchronise(*session, args))
        return Cli::exitFailure;
    const QJsonArray before = session->entriesOf(model);
    const int index = Catalogue::indexOfChecksum(before, checksum);
    if (index < 0)
        return Cli::fail(QStringLiteral("catalogue edit: no entry of %1 with checksum %2 "
                                        "(nothing changed)")
                             .arg(model, checksum));
    const QString info = args.parser.isSet(infoOption)
                             ? args.parser.value(infoOption)
                             : before.at(index).toObject().value(QStringLiteral("info")).toString();

    FirmwareManage &manage = session->controller();
    manage.set_localFirmwareVersion(version);
    const bool ok =
        session->wait(manage.startEdit(CatalogueText::modelPosition(model), checksum, info));
    // Another publisher may have removed the entry meanwhile: then the store
    // took a catalogue without it, and nothing was edited.
    const QJsonArray after = session->entriesOf(model);
    const int edited = Catalogue::indexOfChecksum(after, checksum);
    const bool done = ok && edited >= 0;
    QJsonObject result = outcomeJson(args.action, done, *session);
    result.insert(QStringLiteral("model"), model);
    if (done) {
        result.insert(QStringLiteral("entry"),
                      CatalogueText::entryJson(after.at(edited).toObject()));
        result.insert(QStringLiteral("entries"), CatalogueText::entriesJson(after));
    }
    if (args.json())
        Cli::printJson(result);
    if (!ok)
        return Cli::fail(
            QStringLiteral("catalogue edit: the store did not confirm the change of %1 entry %2")
                .arg(model, checksum));
    if (edited < 0)
        return Cli::fail(QStringLiteral("catalogue edit: no entry of %1 with checksum %2 on the "
                                        "store any more")
                             .arg(model, checksum));
    if (!args.json())
        Cli::printLine(
            QStringLiteral("edited %1 entry %2: version %3")
                .arg(model,
                     after.at(edited).toObject().value(QStringLiteral("checksum")).toString(),
                     version));
    return Cli::exitSuccess;
}

int runRemove(const QStringList &arguments)
{
    ActionArguments args(
        QStringLiteral("remove"),
        QStringLiteral("Removes the model's first entry with this checksum from the catalogue.\n"
                       "The stored firmware file stays on the store. Fails, changing nothing,\n"
                       "when the model has no entry with this checksum."));
    args.parser.addOptions({modelOption(), checksumOption()});
    const int parsed = args.parse(arguments);
    if (parsed >= 0)
        return parsed;
    int usage = -1;
    const QString model = args.model(modelOption(), true, &usage);
    const QString checksum = usage < 0 ? args.checksum(checksumOption(), &usage) : QString();
    if (usage >= 0)
        return usage;

    auto session = ControllerSession::open();
    if (!session)
        return Cli::exitFailure;
    if (!synchronise(*session, args))
        return Cli::exitFailure;
    if (Catalogue::indexOfChecksum(session->entriesOf(model), checksum) < 0)
        return Cli::fail(QStringLiteral("catalogue remove: no entry of %1 with checksum %2 "
                                        "(nothing changed)")
                             .arg(model, checksum));

    const bool ok = session->wait(
        session->controller().startRemove(CatalogueText::modelPosition(model), checksum));
    QJsonObject result = outcomeJson(args.action, ok, *session);
    result.insert(QStringLiteral("model"), model);
    if (ok)
        result.insert(QStringLiteral("entries"),
                      CatalogueText::entriesJson(session->entriesOf(model)));
    if (args.json())
        Cli::printJson(result);
    if (!ok)
        return Cli::fail(
            QStringLiteral("catalogue remove: the store did not confirm the removal of %1 entry %2")
                .arg(model, checksum));
    if (!args.json())
        Cli::printLine(QStringLiteral("removed %1 entry %2").arg(model, checksum));
    return Cli::exitSuccess;
}

int runOrder(const QStringList &arguments)
{
    ActionArguments args(
        QStringLiteral("order"),
        QStringLiteral("Puts every model's entries in the order of the checksums given (exact\n"
                       "text, as catalogue list prints them). Entries whose checksum is not\n"
                       "given come first, in their present order."));
    const QCommandLineOption checksumsOption(QStringLiteral("checksums"),
                                             QStringLiteral("Comma-separated checksums."),
                                             QStringLiteral("C1,C2,..."));
    args.parser.addOption(checksumsOption);
    const int parsed = args.parse(arguments);
    if (parsed >= 0)
        return parsed;
    QStringList checksums;
    for (const QString &checksum :
         args.parser.value(checksumsOption).split(QLatin1Char(','), Qt::SkipEmptyParts))
        checksums.append(checksum.trimmed());
    if (checksums.isEmpty())
        return Cli::usageError(QStringLiteral("catalogue order needs --checksums C1,C2,..."));
    for (const QString &checksum : checksums) {
        if (!checksumPattern().match(checksum).hasMatch())
            return Cli::usageError(
                QStringLiteral("'%1' is no checksum (32 hexadecimal digits)").arg(checksum));
    }

    auto session = ControllerSession::open();
    if (!session)
        return Cli::exitFailure;
    const bool ok = session->wait(session->controller().startSort(checksums));
    QStringList unknown;
    if (ok) {
        for (const QString &checksum : checksums) {
            bool found = false;
            for (const QString &modelKey : FirmwareManage::modelKeys) {
                for (const QJsonValue &entry : session->entriesOf(modelKey))
                    found = found || entry.toObject().value(QStringLiteral("checksum")) ==
                                         QJsonValue(checksum);
            }
            if (!found)
                unknown.append(checksum);
        }
    }
    QJsonObject result = outcomeJson(args.action, ok, *session);
    if (ok) {
        result.insert(QStringLiteral("models"), modelsJson(*session, FirmwareManage::modelKeys));
        result.insert(QStringLiteral("unknownChecksums"), QJsonArray::fromStringList(unknown));
    }
    if (args.json())
        Cli::printJson(result);
    if (!ok)
        return Cli::fail(
            QStringLiteral("catalogue order: the store did not confirm the new order"));
    // Stored all the same; a checksum that matched nothing is most likely a typo.
    if (!unknown.isEmpty())
        Cli::fail(QStringLiteral("warning: no entry has the checksum %1")
                      .arg(unknown.join(QStringLiteral(", "))));
    if (!args.json()) {
        for (const QString &modelKey : FirmwareManage::modelKeys)
            printEntries(modelKey, session->entriesOf(modelKey));
    }
    return Cli::exitSuccess;
}

} // namespace

int runCatalogueCommand(const QStringList &arguments)
{
    const QString action = arguments.value(0);
    const QStringList rest = arguments.mid(1);
    if (action == QLatin1String("list"))
        return runList(rest);
    if (action == QLatin1String("publish"))
        return runPublish(rest);
    if (action == QLatin1String("edit"))
        return runEdit(rest);
    if (action == QLatin1String("remove"))
        return runRemove(rest);
    if (action == QLatin1String("order"))
        return runOrder(rest);
    if (action == QLatin1String("--help") || action == QLatin1String("-h")) {
        Cli::printLine(QString::fromLatin1(catalogueDescription).arg(storeText()));
        return Cli::exitSuccess;
    }
    return Cli::usageError(
        action.isEmpty()
            ? QStringLiteral("catalogue needs an action: list, publish, edit, remove or order")
            : QStringLiteral("unknown catalogue action '%1' (list, publish, edit, remove, order)")
                  .arg(action));
}
