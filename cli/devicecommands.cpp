#include "clicommon.h"
#include "controllersession.h"

#include "accessadvice.h"
#include "basedevice.h"
#include "bridgeusb.h"
#include "catalogue.h"
#include "cloudaws.h"
#include "devicefactory.h"
#include "emulatorbackend.h"
#include "global.h"
#include "hidbackend.h"
#include "packagecache.h"
#include "t5device.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QMetaEnum>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTextStream>
#include <QtConcurrent>

#include <functional>
#include <memory>

namespace {

// "Not found", unless the adapter was there but could not be opened for
// want of permission: that the user can fix.
QString notFoundText(const QString &model, quint64 denialsBefore)
{
    BridgeUSB *bridge = BridgeUSB::instance();
    if (bridge->accessDenials() == denialsBefore)
        return QStringLiteral("no %1 adapter found").arg(model);
    return AccessAdvice::commandLineText(model, bridge->lastDeniedPath(),
                                         AccessAdvice::installedUdevRule());
}

// Collects what the device says; signals arrive from pool threads. The
// records outlive the device.
class DeviceListener
{
public:
    DeviceListener() = default;
    explicit DeviceListener(BaseDevice *device) { attach(device); }

    void attach(BaseDevice *device)
    {
        QObject::connect(
            device, &BaseDevice::error, device,
            [this](const QString &text) { record(&errors, QStringLiteral("error: "), text); },
            Qt::DirectConnection);
        QObject::connect(
            device, &BaseDevice::message, device,
            [this](const QString &text) { record(&messages, QString(), text); },
            Qt::DirectConnection);
        QObject::connect(
            device, &BaseDevice::progressChanged, device,
            [](double progress) {
                if (progress > 0.0)
                    Cli::drawProgress(progress);
                else
                    Cli::endProgress();
            },
            Qt::DirectConnection);
    }

    QStringList errorsSince(int first) const
    {
        QMutexLocker locker(&lock);
        return errors.mid(first);
    }
    int errorCount() const
    {
        QMutexLocker locker(&lock);
        return errors.size();
    }
    QStringList allMessages() const
    {
        QMutexLocker locker(&lock);
        return messages;
    }

private:
    void record(QStringList *list, const QString &prefix, const QString &text)
    {
        QMutexLocker locker(&lock);
        list->append(text);
        Cli::endProgress();
        QTextStream err(stderr);
        err << prefix << text << '\n';
    }

    mutable QMutex lock;
    QStringList errors;
    QStringList messages;
};

// Runs work on the global pool while this thread keeps processing events:
// the transport's retries and queued signals need them.
void runKeepingEventsFlowing(const std::function<void()> &work)
{
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), work));
    if (!watcher.isFinished())
        loop.exec();
    QCoreApplication::processEvents();
}

QString bootModeName(int mode)
{
    const QMetaEnum modes = QMetaEnum::fromType<BaseDevice::BootMode>();
    const char *key = modes.valueToKey(mode);
    return key ? QString::fromLatin1(key) : QString::number(mode);
}

// A boot mode given as its number (0-5) or its name (Auto, PS4_PC, ...).
bool parseBootMode(const QString &text, int *mode)
{
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    if (isNumber) {
        *mode = number;
        return number >= BaseDevice::Auto && number <= BaseDevice::Q8LINK;
    }
    const QMetaEnum modes = QMetaEnum::fromType<BaseDevice::BootMode>();
    for (int index = 0; index < modes.keyCount(); ++index) {
        if (text.compare(QLatin1String(modes.key(index)), Qt::CaseInsensitive) == 0) {
            *mode = modes.value(index);
            return true;
        }
    }
    return false;
}

QString hex16(uint16_t value)
{
    return QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
}

QJsonObject deviceState(BaseDevice *device)
{
    QJsonObject state{
        {QStringLiteral("connected"), device->connected()},
        {QStringLiteral("serialNumber"), device->serialNumber()},
        {QStringLiteral("version"), device->version()},
        {QStringLiteral("vendorId"), device->vid()},
        {QStringLiteral("productId"), device->pid()},
    };
    // Only the T5 keeps a boot mode; the K3 and M7 have none to show.
    if (auto *t5 = qobject_cast<T5Device *>(device)) {
        state.insert(QStringLiteral("bootMode"), device->bootMode());
        state.insert(QStringLiteral("bootModeName"), bootModeName(device->bootMode()));
        state.insert(QStringLiteral("firmwareMark"), hex16(t5->firmwareEndMarkRead()));
        state.insert(QStringLiteral("dataBlockAMark"), hex16(t5->dataBlockAMarkRead()));
        state.insert(QStringLiteral("dataBlockBMark"), hex16(t5->dataBlockBMarkRead()));
    }
    return state;
}

void printState(const QJsonObject &state)
{
    const QStringList order{QStringLiteral("serialNumber"),   QStringLiteral("version"),
                            QStringLiteral("bootModeName"),   QStringLiteral("firmwareMark"),
                            QStringLiteral("dataBlockAMark"), QStringLiteral("dataBlockBMark")};
    for (const QString &key : order) {
        if (!state.contains(key))
            continue;
        const QString label =
            key == QLatin1String("bootModeName") ? QStringLiteral("bootMode") : key;
        const QString value = state.value(key).toString();
        Cli::printLine(QStringLiteral("%1: %2")
                           .arg(label, -15)
                           .arg(value.isEmpty() ? QStringLiteral("(none)") : value));
    }
}

void flushEmulator()
{
    // Emulated flash is written back lazily; make it durable before exit.
    if (auto *emulator = qobject_cast<EmulatorBackend *>(HidBackend::current())) {
        QString reason;
        if (!emulator->flush(&reason))
            Cli::fail(QStringLiteral("emulator state not saved: %1").arg(reason));
    }
}

int finish(const QString &command, const QString &model, bool ok, BaseDevice *device,
           const DeviceListener &listener, int firstOperationError, bool json,
           const QString &summary, const QJsonObject &extra = QJsonObject())
{
    Cli::endProgress();
    flushEmulator();
    if (json) {
        QJsonObject result{
            {QStringLiteral("command"), command},
            {QStringLiteral("model"), model},
            {QStringLiteral("ok"), ok},
            {QStringLiteral("errors"), QJsonArray::fromStringList(listener.errorsSince(0))},
            {QStringLiteral("operationErrors"),
             QJsonArray::fromStringList(listener.errorsSince(firstOperationError))},
            {QStringLiteral("messages"), QJsonArray::fromStringList(listener.allMessages())},
            {QStringLiteral("device"), device ? deviceState(device) : QJsonObject()},
        };
        if (!summary.isEmpty())
            result.insert(QStringLiteral("summary"), summary);
        for (auto member = extra.begin(); member != extra.end(); ++member)
            result.insert(member.key(), member.value());
        Cli::printJson(result);
    } else if (!summary.isEmpty()) {
        if (ok)
            Cli::printLine(summary);
        else
            Cli::fail(summary);
    }
    return ok ? Cli::exitSuccess : Cli::exitFailure;
}

struct UpdateVerdict
{
    bool ok = false;
    QString summary;
};

// When an update or factory restore counts as done, whether its firmware
// came from a file or from the catalogue.
UpdateVerdict judgeUpdate(const QString &command, BaseDevice *device,
                          const DeviceListener &listener, int firstOperationError,
                          const QString &version)
{
    const bool t5 = qobject_cast<T5Device *>(device) != nullptr;
    const bool noError = listener.errorCount() == firstOperationError;
    // A T5 write is only done when the adapter reports the new version.
    const bool versionMatches = !t5 || (!device->version().isEmpty() &&
                                        device->versionCompare(device->version(), version) == 0);
    // A K3 or M7 update is only done when the adapter confirmed it.
    const QString updateConfirmed =
        QCoreApplication::translate(device->metaObject()->className(), "Update OK!");
    const bool confirmed = t5 || listener.allMessages().contains(updateConfirmed);
    UpdateVerdict verdict;
    verdict.ok = noError && versionMatches && confirmed;
    if (verdict.ok)
        verdict.summary = QStringLiteral("%1 done: firmware %2").arg(command, device->version());
    else if (noError && !confirmed)
        verdict.summary =
            QStringLiteral("%1 failed: the adapter did not confirm the update").arg(command);
    else if (noError)
        verdict.summary = QStringLiteral("%1 failed: the adapter reports version '%2', not %3")
                              .arg(command, device->version(), version);
    else
        verdict.summary = QStringLiteral("%1 failed").arg(command);
    return verdict;
}

QString catalogueUpdateText()
{
    return QStringLiteral(
               "\n\nWith --catalogue the firmware comes from the catalogue on the firmware\n"
               "store, whose credentials come from the INI file named by\n"
               "BRIVANE_STORE_CONFIG, or else from\n"
               "  %1\n"
               "as for the store command. Packages are downloaded once, checked against\n"
               "the catalogue's MD5 and kept in the package cache,\n"
               "  %2/<vendor id>/<product id>/<version>.rfw\n"
               "A kept package is used again while its MD5 matches. A package whose MD5\n"
               "differs is never written to the adapter.")
        .arg(CloudAWS::storeConfigPath(), PackageCache::cacheDirectory());
}

// The model's catalogue entry (the first, or the one of requestedVersion),
// installed through the window's controller: the same package resolution
// and checks, then the same success rules as an update from a file.
int runCatalogueUpdate(const QString &model, const QString &requestedVersion, bool json)
{
    const QString command = QStringLiteral("update");
    // Declared before the controller so that its records outlive the device.
    DeviceListener listener;
    QPointer<BaseDevice> device;
    auto session = ControllerSession::open();
    if (!session)
        return Cli::exitFailure;
    FirmwareManage &manage = session->controller();
    // From its creation on, so what the adapter says while it is read is
    // reported too.
    manage.setDeviceCreatedObserver([&listener, &device](BaseDevice *created) {
        if (!device) {
            device = created;
            listener.attach(created);
        }
    });
    QJsonObject extra;
    int firstOperationError = 0;
    const auto done = [&](bool ok, const QString &summary) {
        extra.insert(QStringLiteral("controllerMessages"),
                     QJsonArray::fromStringList(session->infos()));
        extra.insert(QStringLiteral("controllerErrors"),
                     QJsonArray::fromStringList(session->errors()));
        return finish(command, model, ok, device.data(), listener, firstOperationError, json,
                      summary, extra);
    };

    // Step 1: connect and read the adapter's state.
    const quint64 denialsBefore = BridgeUSB::instance()->accessDenials();
    manage.tryCurrentDeviceIndex(CatalogueText::modelPosition(model) + 1);
    if (!device)
        return done(false, QStringLiteral("update failed: ") + notFoundText(model, denialsBefore));
    BaseDevice *connected = device.data();
    runKeepingEventsFlowing([connected]() { connected->waitForConnectionTask(); });

    // Step 2: the model's entries.
    manage.waitForWorkers();
    const bool synchronised = session->wait(manage.startSynchronisation());
    const QJsonArray entries = manage.firmwareInformation().toJsonArray();
    if (!synchronised)
        return done(false, QStringLiteral("update failed: the catalogue could not be read from "
                                          "the store (-v shows the store's answer)"));
    if (entries.isEmpty())
        return done(
            false,
            QStringLiteral("update failed: the catalogue holds no firmware for %1").arg(model));
    int index = 0;
    if (!requestedVersion.isEmpty()) {
        index = -1;
        for (int position = 0; position < entries.size() && index < 0; ++position) {
            if (entries.at(position).toObject().value(QStringLiteral("version")).toString() ==
                requestedVersion)
                index = position;
        }
        if (index < 0)
            return done(false,
                        QStringLiteral("update failed: the catalogue has no %1 firmware %2 "
                                       "(it has %3)")
                            .arg(model, requestedVersion, CatalogueText::versionsOf(entries)));
    }
    const QJsonObject entry = entries.at(index).toObject();
    const QString version = entry.value(QStringLiteral("version")).toString();
    extra.insert(
        QStringLiteral("catalogueEntry"),
        QJsonObject{{QStringLiteral("index"), index},
                    {QStringLiteral("version"), version},
                    {QStringLiteral("checksum"), entry.value(QStringLiteral("checksum"))},
                    {QStringLiteral("download"), entry.value(QStringLiteral("download"))}});

    // Step 3: the update, by the controller's worker.
    firstOperationError = listener.errorCount();
    const int firstControllerError = session->errorCount();
    manage.set_isLocalFirmware(false);
    manage.set_firmwareIndex(index);
    const bool deviceAsked = session->wait(manage.startUpdate());
    if (!device)
        return done(false, QStringLiteral("update failed: the adapter was lost during the update"));
    if (!deviceAsked)
        return done(false, QStringLiteral("update failed: the package of %1 %2 could not be used; "
                                          "nothing was written")
                               .arg(model, version));
    UpdateVerdict verdict =
        judgeUpdate(command, device.data(), listener, firstOperationError, version);
    if (session->errorCount() != firstControllerError && verdict.ok)
        verdict = UpdateVerdict{false, QStringLiteral("update failed")};
    return done(verdict.ok, verdict.summary);
}

} // namespace

int runDeviceCommand(const QString &command, const QStringList &arguments)
{
    QCommandLineParser parser;
    QString description =
        QStringLiteral(
            "%1 on a connected adapter. Exit status 0 on success, 1 on failure, 2 on wrong usage.")
            .arg(command);
    if (command == QLatin1String("update"))
        description += catalogueUpdateText();
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    const QCommandLineOption modelOption(QStringLiteral("model"),
                                         QStringLiteral("Adapter model (default T5)."),
                                         QStringLiteral("model"), QStringLiteral("T5"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    const QCommandLineOption fileOption(QStringLiteral("file"), QStringLiteral("Firmware file."),
                                        QStringLiteral("path"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Version of the firmware file."),
                                           QStringLiteral("x.y.z"));
    const QCommandLineOption setOption(QStringLiteral("set"),
                                       QStringLiteral("Boot mode: 0-5 or its name."),
                                       QStringLiteral("mode"));
    const QCommandLineOption outOption(
        QStringLiteral("out"), QStringLiteral("Backup file to write."), QStringLiteral("path"));
    const QCommandLineOption inOption(
        QStringLiteral("in"), QStringLiteral("Backup file to restore."), QStringLiteral("path"));
    const QCommandLineOption forceOption(
        QStringLiteral("force"),
        QStringLiteral("T5: install an image even if it does not start like an STM32F4 "
                       "application (technicians only; the version is still checked)."));
    parser.addOptions({modelOption, jsonOption});
    const bool writesFirmware =
        command == QLatin1String("update") || command == QLatin1String("factory-restore");
    if (writesFirmware)
        parser.addOptions({fileOption, versionOption, forceOption});
    const QCommandLineOption catalogueOption(
        QStringLiteral("catalogue"),
        QStringLiteral("Firmware from the catalogue: the model's first entry, or the entry of "
                       "the VERSION given after the options."));
    if (command == QLatin1String("update")) {
        parser.addOption(catalogueOption);
        parser.addPositionalArgument(QStringLiteral("VERSION"),
                                     QStringLiteral("With --catalogue: the entry to install."),
                                     QStringLiteral("[VERSION]"));
    } else if (command == QLatin1String("boot-mode"))
        parser.addOption(setOption);
    else if (command == QLatin1String("backup"))
        parser.addOption(outOption);
    else if (command == QLatin1String("restore-data"))
        parser.addOption(inOption);

    if (!parser.parse(QStringList{QStringLiteral("brivane-fwtool %1").arg(command)} + arguments))
        return Cli::usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        Cli::printHelp(parser, command);
        return Cli::exitSuccess;
    }
    const bool fromCatalogue = command == QLatin1String("update") && parser.isSet(catalogueOption);
    if (fromCatalogue) {
        const QStringList positional = parser.positionalArguments();
        const QString model = parser.value(modelOption).trimmed().toUpper();
        if (positional.size() > 1)
            return Cli::usageError(QStringLiteral("update --catalogue takes at most one VERSION"));
        if (parser.isSet(fileOption) || parser.isSet(versionOption) || parser.isSet(forceOption))
            return Cli::usageError(
                QStringLiteral("--catalogue excludes --file, --version and --force"));
        if (CatalogueText::modelPosition(model) < 0)
            return Cli::usageError(QStringLiteral("unknown model '%1' (known: %2)")
                                       .arg(model, CatalogueText::knownModels()));
        if (!positional.isEmpty() && !Catalogue::isVersion(positional.first()))
            return Cli::usageError(
                QStringLiteral("'%1' is no version (dot-separated numbers, e.g. 1.2.3)")
                    .arg(positional.first()));
        return runCatalogueUpdate(model, positional.value(0), parser.isSet(jsonOption));
    }
    if (!parser.positionalArguments().isEmpty())
        return Cli::usageError(QStringLiteral("%1 takes no positional arguments").arg(command));

    // Check the arguments before touching the adapter.
    const QString model = parser.value(modelOption).trimmed().toUpper();
    const bool json = parser.isSet(jsonOption);
    QString path;
    QString version;
    int requestedBootMode = -1;
    if (command == QLatin1String("update") || command == QLatin1String("factory-restore")) {
        path = parser.value(fileOption);
        version = parser.value(versionOption);
        // K3 and M7 packages carry their own version.
        const bool versionNeeded = model == QLatin1String("T5");
        if (path.isEmpty() || (versionNeeded && version.isEmpty()))
            return Cli::usageError(
                command == QLatin1String("update")
                    ? QStringLiteral("update needs --file and --version, or --catalogue")
                    : QStringLiteral("%1 needs --file and --version").arg(command));
        if (!QFileInfo(path).isFile())
            return Cli::fail(QStringLiteral("no such file: %1").arg(path));
    } else if (command == QLatin1String("boot-mode")) {
        if (!parseBootMode(parser.value(setOption), &requestedBootMode))
            return Cli::usageError(
                QStringLiteral("boot-mode needs --set 0-5 or one of Auto, PS4_PC, XB360_PC, "
                               "SWITCH, PS5_M7, Q8LINK"));
    } else if (command == QLatin1String("backup")) {
        path = parser.value(outOption);
        if (path.isEmpty())
            return Cli::usageError(QStringLiteral("backup needs --out"));
    } else if (command == QLatin1String("restore-data")) {
        path = parser.value(inOption);
        if (path.isEmpty())
            return Cli::usageError(QStringLiteral("restore-data needs --in"));
    }

    const bool t5Only =
        command == QLatin1String("factory-restore") || command == QLatin1String("boot-mode") ||
        command == QLatin1String("backup") || command == QLatin1String("restore-data") ||
        command == QLatin1String("restore-settings");
    if (t5Only && model != QLatin1String("T5"))
        return Cli::usageError(QStringLiteral("%1 is available for the T5 only").arg(command));

    if (!Cli::setupHidBackendFromEnvironment())
        return Cli::exitFailure;
    // Settings (configs.ini in the working directory) are read after updates.
    Global::instance();

    std::unique_ptr<BaseDevice> device(createDevice(model, nullptr));
    if (!device)
        return Cli::usageError(QStringLiteral("unknown model '%1' (known: %2)")
                                   .arg(model, deviceModels().join(QStringLiteral(", "))));
    DeviceListener listener(device.get());
    auto *t5 = qobject_cast<T5Device *>(device.get());
    // Only the firmware commands know --force; asking the parser about an
    // option it was not given prints a warning.
    if (t5 && writesFirmware && parser.isSet(forceOption))
        t5->setImageCheckEnabled(false);

    // Step 1: connect and read the adapter's state.
    const quint64 denialsBefore = BridgeUSB::instance()->accessDenials();
    if (!device->tryConnected())
        return finish(command, model, false, device.get(), listener, 0, json,
                      notFoundText(model, denialsBefore));
    if (t5)
        runKeepingEventsFlowing([t5]() { t5->waitForConnectionTask(); });
    const int firstOperationError = listener.errorCount();

    // Step 2: the operation.
    if (command == QLatin1String("info")) {
        // The T5 reports a lost firmware as an error; the K3 and M7 only log
        // it and leave the version empty, which must fail just the same.
        const bool firmwareMissing = !t5 && device->version().isEmpty();
        const bool ok = listener.errorCount() == 0 && !device->serialNumber().isEmpty() &&
                        !firmwareMissing && (!t5 || t5->stateIsCurrent());
        if (!json)
            printState(deviceState(device.get()));
        QString summary;
        if (!ok)
            summary = firmwareMissing && !device->serialNumber().isEmpty()
                          ? QStringLiteral("the adapter holds no valid firmware")
                          : QStringLiteral("the adapter state could not be read completely");
        return finish(command, model, ok, device.get(), listener, 0, json, summary);
    }

    if (command == QLatin1String("update") || command == QLatin1String("factory-restore")) {
        const bool update = command == QLatin1String("update");
        BaseDevice *target = device.get();
        runKeepingEventsFlowing([target, update, path, version]() {
            if (update)
                target->updateFirmwareFile(path, version);
            else
                target->restoreFirmwareFile(path, version);
        });
        const UpdateVerdict verdict =
            judgeUpdate(command, device.get(), listener, firstOperationError, version);
        return finish(command, model, verdict.ok, device.get(), listener, firstOperationError, json,
                      verdict.summary);
    }

    if (command == QLatin1String("boot-mode")) {
        const int before = device->bootMode();
        if (before == requestedBootMode)
            return finish(command, model, true, device.get(), listener, firstOperationError, json,
                          QStringLiteral("boot mode already %1; nothing written")
                              .arg(bootModeName(requestedBootMode)));
        runKeepingEventsFlowing(
            [t5, requestedBootMode]() { t5->applyBootMode(requestedBootMode); });
        // A mode that was not written is not shown as the adapter's.
        const bool ok =
            listener.errorCount() == firstOperationError && device->bootMode() == requestedBootMode;
        return finish(
            command, model, ok, device.get(), listener, firstOperationError, json,
            ok ? QStringLiteral("boot mode set to %1").arg(bootModeName(requestedBootMode))
               : QStringLiteral("boot-mode failed"));
    }

    if (command == QLatin1String("backup")) {
        runKeepingEventsFlowing([t5, path]() { t5->dataBackupFile(path); });
        const bool ok = listener.errorCount() == firstOperationError && QFileInfo(path).isFile();
        return finish(command, model, ok, device.get(), listener, firstOperationError, json,
                      ok ? QStringLiteral("backup written to %1").arg(path)
                         : QStringLiteral("backup failed"));
    }

    if (command == QLatin1String("restore-settings")) {
        bool restored = false;
        runKeepingEventsFlowing([t5, &restored]() { restored = t5->restoreSavedSettings(); });
        const bool ok = restored && listener.errorCount() == firstOperationError;
        return finish(command, model, ok, device.get(), listener, firstOperationError, json,
                      ok ? QStringLiteral("settings restored")
                         : QStringLiteral("restore-settings failed"));
    }

    if (command == QLatin1String("restore-data")) {
        runKeepingEventsFlowing([t5, path]() { t5->dataRestoreFile(path); });
        const bool ok = listener.errorCount() == firstOperationError;
        return finish(command, model, ok, device.get(), listener, firstOperationError, json,
                      ok ? QStringLiteral("data restored from %1").arg(path)
                         : QStringLiteral("restore-data failed"));
    }

    return Cli::fail(QStringLiteral("unknown command '%1'").arg(command));
}
