#include "controllersession.h"

#include "catalogue.h"
#include "clicommon.h"
#include "global.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QTextStream>

std::unique_ptr<ControllerSession> ControllerSession::open()
{
    if (!Cli::setupHidBackendFromEnvironment())
        return nullptr;
    // The settings (configs.ini of the working directory) are checked before
    // any adapter is connected, and the store profile in use is kept there.
    Global::instance();
    return std::unique_ptr<ControllerSession>(new ControllerSession());
}

ControllerSession::ControllerSession()
    : manage(std::make_unique<FirmwareManage>(FirmwareManage::Mode::CommandLine, nullptr))
{
    // Workers emit from pool threads; the records are taken there at once so
    // that nothing is lost when the command ends right after the operation.
    QObject::connect(
        manage.get(), &FirmwareManage::messageError, manage.get(),
        [this](const QString &text) { record(&errorTexts, QStringLiteral("error: "), text); },
        Qt::DirectConnection);
    QObject::connect(
        manage.get(), &FirmwareManage::messageInfo, manage.get(),
        [this](const QString &text) { record(&infoTexts, QString(), text); }, Qt::DirectConnection);
}

ControllerSession::~ControllerSession()
{
    manage->waitForWorkers();
}

bool ControllerSession::wait(const QFuture<bool> &operation)
{
    QFutureWatcher<bool> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(operation);
    if (!watcher.isFinished())
        loop.exec();
    // Property changes the worker emitted reach this thread queued.
    QCoreApplication::processEvents();
    return operation.result();
}

QStringList ControllerSession::errors() const
{
    QMutexLocker locker(&lock);
    return errorTexts;
}

QStringList ControllerSession::infos() const
{
    QMutexLocker locker(&lock);
    return infoTexts;
}

int ControllerSession::errorCount() const
{
    QMutexLocker locker(&lock);
    return errorTexts.size();
}

QJsonObject ControllerSession::catalogue() const
{
    return manage->catalogue();
}

QJsonArray ControllerSession::entriesOf(const QString &modelKey) const
{
    return Catalogue::usableEntries(catalogue(), modelKey);
}

void ControllerSession::record(QStringList *list, const QString &prefix, const QString &text)
{
    QMutexLocker locker(&lock);
    list->append(text);
    Cli::endProgress();
    QTextStream err(stderr);
    err << prefix << text << '\n';
}

namespace CatalogueText {

int modelPosition(const QString &model)
{
    return FirmwareManage::modelKeys.indexOf(model);
}

QString knownModels()
{
    return FirmwareManage::modelKeys.join(QStringLiteral(", "));
}

QJsonObject entryJson(const QJsonObject &entry)
{
    QJsonObject printed = entry;
    const QString info = entry.value(QStringLiteral("info")).toString();
    // An entry without a change log has no lines; otherwise every item is
    // one, empty ones included, as the window shows them.
    const QStringList lines =
        info.isEmpty()
            ? QStringList()
            : Catalogue::changeLogText(info).split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    printed.insert(QStringLiteral("changeLog"), QJsonArray::fromStringList(lines));
    return printed;
}

QJsonArray entriesJson(const QJsonArray &entries)
{
    QJsonArray printed;
    for (const QJsonValue &entry : entries)
        printed.append(entryJson(entry.toObject()));
    return printed;
}

QString versionsOf(const QJsonArray &entries)
{
    QStringList versions;
    for (const QJsonValue &entry : entries)
        versions.append(entry.toObject().value(QStringLiteral("version")).toString());
    return versions.isEmpty() ? QStringLiteral("none") : versions.join(QStringLiteral(", "));
}

} // namespace CatalogueText
