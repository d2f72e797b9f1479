#include "clicommon.h"

#include "cloudaws.h"

#include <QCommandLineParser>
#include <QFile>
#include <QJsonArray>
#include <QSaveFile>

#include <cstdio>

namespace {

const char storeDescription[] =
    "Objects of the firmware store, on the profile in use (CloudDefaultIndex in configs.ini\n"
    "of the working directory) or, for put, on every profile.\n"
    "\n"
    "  store get NAME [--out F]   fetch NAME (to stdout without --out)\n"
    "  store put NAME FILE        store FILE as NAME on every profile\n"
    "  store head NAME            show whether NAME exists, its size and date\n"
    "  store ping                 measure the profiles and use the fastest that answers\n"
    "\n"
    "Credentials and profile overrides come from the INI file named by\n"
    "BRIVANE_STORE_CONFIG, or else store.ini in the application's config folder.\n"
    "Exit status 0 on success, 1 on failure (for ping: no profile answered, and the\n"
    "stored choice is kept), 2 on wrong usage.";

QString profileLabel(const CloudAWS &store, int profileIndex)
{
    return QStringLiteral("profile %1 (%2)").arg(profileIndex).arg(store.profileHost(profileIndex));
}

// Adds where the credentials were looked for: the usual cause of a refusal.
QString withConfigurationHint(const CloudAWS &store, const QString &message)
{
    if (!store.loadedConfigPath().isEmpty())
        return message;
    return message +
           QStringLiteral(" (no store configuration at %1)").arg(CloudAWS::storeConfigPath());
}

bool writeStandardOutput(const QByteArray &content)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly))
        return false;
    const bool written = out.write(content) == content.size();
    out.flush();
    return written;
}

int runGet(CloudAWS &store, const QString &name, const QString &outPath, bool json)
{
    if (json && outPath.isEmpty()) {
        return Cli::usageError(QStringLiteral("store get --json needs --out F for the content"));
    }
    const int profileIndex = store.currentIndex();
    bool succeeded = false;
    QString failure;
    const QByteArray content = store.download(name, &succeeded, &failure);
    if (!succeeded)
        return Cli::fail(withConfigurationHint(
            store, QStringLiteral("store get: %1 could not be fetched from %2: %3")
                       .arg(name, profileLabel(store, profileIndex), failure)));

    if (outPath.isEmpty())
        return writeStandardOutput(content) ? Cli::exitSuccess
                                            : Cli::fail(QStringLiteral("cannot write to stdout"));
    QSaveFile file(outPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        return Cli::fail(QStringLiteral("cannot write %1: %2").arg(outPath, file.errorString()));
    if (json)
        Cli::printJson(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("key"), store.objectKey(profileIndex, name)},
                                   {QStringLiteral("profile"), profileIndex},
                                   {QStringLiteral("host"), store.profileHost(profileIndex)},
                                   {QStringLiteral("bytes"), content.size()},
                                   {QStringLiteral("out"), outPath}});
    else
        Cli::printLine(QStringLiteral("%1: %2 bytes from %3 written to %4")
                           .arg(name)
                           .arg(content.size())
                           .arg(profileLabel(store, profileIndex), outPath));
    return Cli::exitSuccess;
}

int runPut(CloudAWS &store, const QString &name, const QString &path, bool json)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Cli::fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    const QByteArray content = file.readAll();

    QList<bool> results;
    QStringList failures;
    const bool stored = store.upload(name, content, {}, &results, &failures);
    if (json) {
        QJsonArray profiles;
        for (int profileIndex = 0; profileIndex < results.size(); ++profileIndex) {
            QJsonObject profile{{QStringLiteral("profile"), profileIndex},
                                {QStringLiteral("host"), store.profileHost(profileIndex)},
                                {QStringLiteral("stored"), results.at(profileIndex)}};
            if (!results.at(profileIndex))
                profile.insert(QStringLiteral("error"), failures.at(profileIndex));
            profiles.append(profile);
        }
        Cli::printJson(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("bytes"), content.size()},
                                   {QStringLiteral("ok"), stored},
                                   {QStringLiteral("profiles"), profiles}});
    }
    if (!stored) {
        QStringList refusals;
        for (int profileIndex = 0; profileIndex < results.size(); ++profileIndex) {
            if (!results.at(profileIndex))
                refusals.append(QStringLiteral("%1: %2").arg(profileLabel(store, profileIndex),
                                                             failures.at(profileIndex)));
        }
        return Cli::fail(
            withConfigurationHint(store, QStringLiteral("store put: %1 not stored on %2")
                                             .arg(name, refusals.join(QStringLiteral("; ")))));
    }
    if (!json)
        Cli::printLine(QStringLiteral("%1: %2 bytes stored on %3 profiles")
                           .arg(name)
                           .arg(content.size())
                           .arg(results.size()));
    return Cli::exitSuccess;
}

int runHead(CloudAWS &store, const QString &name, bool json)
{
    const int profileIndex = store.currentIndex();
    if (profileIndex < 0 || profileIndex >= store.profileCount())
        return Cli::fail(
            QStringLiteral("store head: no store profile chosen yet (run store ping)"));
    const QtS3 client = store.createClient(profileIndex);
    const QtS3Reply reply =
        client.headObject(store.bucketName(profileIndex), store.objectKey(profileIndex, name));
    const int status = reply.httpStatus();
    // The client counts any answer of the store as done; the status says
    // whether the object is there.
    if (!reply.isSuccess() || (status != 200 && status != 404)) {
        const QString reason = reply.errorString().isEmpty()
                                   ? QStringLiteral("HTTP status %1").arg(status)
                                   : reply.errorString();
        return Cli::fail(withConfigurationHint(
            store, QStringLiteral("store head: %1 on %2: %3")
                       .arg(name, profileLabel(store, profileIndex), reason)));
    }
    const bool present = status == 200;
    const QString size = QString::fromLatin1(reply.rawHeader("Content-Length"));
    const QString modified = QString::fromLatin1(reply.rawHeader("Last-Modified"));
    const QString etag = QString::fromLatin1(reply.rawHeader("ETag"));
    if (json) {
        QJsonObject object{{QStringLiteral("name"), name},
                           {QStringLiteral("key"), store.objectKey(profileIndex, name)},
                           {QStringLiteral("profile"), profileIndex},
                           {QStringLiteral("host"), store.profileHost(profileIndex)},
                           {QStringLiteral("present"), present}};
        if (present) {
            object.insert(QStringLiteral("bytes"), size.toLongLong());
            object.insert(QStringLiteral("lastModified"), modified);
            object.insert(QStringLiteral("etag"), etag);
        }
        Cli::printJson(object);
    }
    if (!present)
        return Cli::fail(QStringLiteral("store head: %1 not found on %2")
                             .arg(name, profileLabel(store, profileIndex)));
    if (!json)
        Cli::printLine(QStringLiteral("%1: %2 bytes, last modified %3, etag %4 (%5)")
                           .arg(name, size, modified, etag, profileLabel(store, profileIndex)));
    return Cli::exitSuccess;
}

int runPing(CloudAWS &store, bool json)
{
    QJsonArray measurements;
    QObject::connect(
        &store, &CloudAWS::pingMeasured, &store,
        [&store, &measurements, json](int pass, int profileIndex, qint64 elapsedMs, bool answered) {
            measurements.append(
                QJsonObject{{QStringLiteral("pass"), pass + 1},
                            {QStringLiteral("profile"), profileIndex},
                            {QStringLiteral("host"), store.profileHost(profileIndex)},
                            {QStringLiteral("ms"), elapsedMs},
                            {QStringLiteral("answered"), answered}});
            if (!json)
                Cli::printLine(QStringLiteral("pass %1, %2: %3 ms%4")
                                   .arg(pass + 1)
                                   .arg(profileLabel(store, profileIndex))
                                   .arg(elapsedMs)
                                   .arg(answered ? QString() : QStringLiteral(", no answer")));
        },
        Qt::DirectConnection);
    // A profile that fails, however fast, is not the fastest; with no answer
    // at all the stored choice stays.
    const bool answered = store.ping(CloudAWS::PingPolicy::AnsweredOnly);
    const int chosen = store.currentIndex();
    if (json)
        Cli::printJson(QJsonObject{{QStringLiteral("measurements"), measurements},
                                   {QStringLiteral("answered"), answered},
                                   {QStringLiteral("chosen"), chosen},
                                   {QStringLiteral("host"), store.profileHost(chosen)}});
    if (!answered)
        return Cli::fail(withConfigurationHint(
            store, chosen >= 0 && chosen < store.profileCount()
                       ? QStringLiteral("store ping: no profile answered; %1 stays in use")
                             .arg(profileLabel(store, chosen))
                       : QStringLiteral("store ping: no profile answered; none is chosen")));
    if (!json)
        Cli::printLine(QStringLiteral("chosen: %1").arg(profileLabel(store, chosen)));
    return Cli::exitSuccess;
}

} // namespace

int runStoreCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(storeDescription));
    parser.addHelpOption();
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    const QCommandLineOption outOption(
        QStringLiteral("out"), QStringLiteral("File to write (store get)."), QStringLiteral("F"));
    parser.addOptions({jsonOption, outOption});
    parser.addPositionalArgument(QStringLiteral("action"),
                                 QStringLiteral("get, put, head or ping."));
    if (!parser.parse(QStringList{QStringLiteral("brivane-fwtool store")} + arguments)) {
        return Cli::usageError(parser.errorText());
    }
    if (parser.isSet(QStringLiteral("help"))) {
        Cli::printHelp(parser, QStringLiteral("store"));
        return Cli::exitSuccess;
    }

    const QStringList positional = parser.positionalArguments();
    const QString action = positional.value(0);
    const int expectedArguments = action == QLatin1String("get") || action == QLatin1String("head")
                                      ? 2
                                  : action == QLatin1String("put")  ? 3
                                  : action == QLatin1String("ping") ? 1
                                                                    : -1;
    if (expectedArguments < 0) {
        return Cli::usageError(
            action.isEmpty()
                ? QStringLiteral("store needs an action: get, put, head or ping")
                : QStringLiteral("unknown store action '%1' (get, put, head, ping)").arg(action));
    }
    if (positional.size() != expectedArguments) {
        return Cli::usageError(
            QStringLiteral("usage: store get NAME [--out F] | store put NAME FILE | "
                           "store head NAME | store ping"));
    }
    if (parser.isSet(outOption) && action != QLatin1String("get")) {
        return Cli::usageError(QStringLiteral("--out is for store get only"));
    }
    const QString name = positional.value(1);
    if (expectedArguments > 1 && name.isEmpty()) {
        return Cli::usageError(QStringLiteral("store %1 needs a non-empty NAME").arg(action));
    }

    CloudAWS store;
    const bool json = parser.isSet(jsonOption);
    if (action == QLatin1String("get"))
        return runGet(store, name, parser.value(outOption), json);
    if (action == QLatin1String("put"))
        return runPut(store, name, positional.value(2), json);
    if (action == QLatin1String("head"))
        return runHead(store, name, json);
    return runPing(store, json);
}
