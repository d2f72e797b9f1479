// The long operations of the controller: each runs as one worker holding the
// worker mutex (see startWorker).

#include "basedevice.h"
#include "catalogue.h"
#include "cataloguestore.h"
#include "cloudaws.h"
#include "firmwaremanage.h"
#include "global.h"
#include "packagecache.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QTimer>

// Catalogue ------------------------------------------------------------------

void FirmwareManage::syncFirmwareInformation()
{
    startSynchronisation();
}

QFuture<bool> FirmwareManage::startSynchronisation()
{
    return startWorker("syncFirmwareInformation", [this]() { return runSynchronisation(); });
}

bool FirmwareManage::runSynchronisation()
{
    qDebug() << "sync firmware information...";
    set_synced(false);
    set_busying(true);
    if (m_cloud->currentIndex() != -1) {
        if (catalogue().isEmpty()) {
            const QJsonObject downloaded =
                Catalogue::parse(m_cloud->download(Catalogue::objectName()));
            set_allFirmwareInformation(downloaded);
            if (downloaded.isEmpty()) {
                emit messageError(tr("The network error!"), messageTimeoutMs);
                m_cloud->ping(CloudAWS::PingPolicy::AnsweredOnly);
                scheduleSyncRetry();
            }
        }
        const int index = currentDeviceIndex();
        if (index != Device_Unknow) {
            const QJsonArray entries =
                Catalogue::usableEntries(catalogue(), modelKeys.value(index - 1));
            set_firmwareInformation(entries);
            if (firmwareIndex() != 0)
                set_firmwareIndex(0);
            if (!entries.isEmpty())
                set_currentfirmwareInfo(Catalogue::changeLogOf(entries, 0));
            set_synced(true);
        }
    }
    qDebug() << "sync firmware information finshed!";
    const bool loaded = !catalogue().isEmpty();
    set_busying(false);
    return loaded;
}

// One retry chain: a failure while a retry is already waiting (a profile
// change from the ping starts a synchronisation too) adds no second one.
void FirmwareManage::scheduleSyncRetry()
{
    if (m_syncRetryScheduled.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this]() {
            QTimer::singleShot(syncRetryDelayMs, this, [this]() {
                m_syncRetryScheduled.store(false);
                syncFirmwareInformation();
            });
        },
        Qt::QueuedConnection);
}

void FirmwareManage::sortFirmwareInformation(QStringList checksums)
{
    startSort(checksums);
}

QFuture<bool> FirmwareManage::startSort(const QStringList &checksums)
{
    return startWorker("sortFirmwareInformation",
                       [this, checksums]() { return runSort(checksums); });
}

bool FirmwareManage::runSort(const QStringList &checksums)
{
    set_busying(true);
    // Ordered as the store holds the catalogue now, so entries another
    // publisher added meanwhile are kept.
    const CatalogueStore::Result result =
        CatalogueStore(m_cloud).apply([checksums](const QJsonObject &current) {
            return Catalogue::reordered(current, modelKeys, checksums);
        });
    const bool stored = result.outcome == CatalogueStore::Outcome::Stored;
    if (stored) {
        set_allFirmwareInformation(result.catalogue);
        emit messageInfo(tr("Upload firmware info OK!"), messageTimeoutMs);
    } else {
        emit messageError(tr("Upload firmware info error!"), messageTimeoutMs);
    }
    set_busying(false);
    return stored;
}

// Device operations ------------------------------------------------------------

void FirmwareManage::updateFirmware()
{
    qDebug() << "FirmwareManage::updateFirmware...";
    startUpdate();
}

void FirmwareManage::restoreFirmware()
{
    startRestore();
}

QFuture<bool> FirmwareManage::startUpdate()
{
    const quint64 requested = currentDeviceSerial();
    return startWorker("updateFirmware",
                       [this, requested]() { return runUpdate(requested, false); });
}

QFuture<bool> FirmwareManage::startRestore()
{
    const quint64 requested = currentDeviceSerial();
    return startWorker("restoreFirmware",
                       [this, requested]() { return runUpdate(requested, true); });
}

bool FirmwareManage::runUpdate(quint64 requestedSerial, bool restore)
{
    if (!restore)
        qDebug() << "FirmwareManage::updateFirmware ";
    BaseDevice *device =
        acquireDevice(requestedSerial, restore ? "restoreFirmware" : "updateFirmware");
    if (!device) {
        set_busying(false);
        return false;
    }
    set_busying(true);
    device->set_busying(true);

    QString path;
    QString version;
    bool ready = true;
    if (isLocalFirmware()) {
        path = localFirmwarePath();
        version = localFirmwareVersion();
    } else {
        ready = resolvePackage(device, &version, &path);
    }
    if (restore)
        qDebug() << "FirmwareManage::restoreFirmware" << path << version;
    const bool called = ready && !path.isEmpty() && !version.isEmpty();
    if (called) {
        if (restore)
            device->restoreFirmwareFile(path, version);
        else
            device->updateFirmwareFile(path, version);
    }

    device->set_busying(false);
    set_busying(false);
    releaseDevice(device);
    return called;
}

bool FirmwareManage::resolvePackage(BaseDevice *device, QString *version, QString *path)
{
    const QJsonArray entries = firmwareEntries();
    const int index = firmwareIndex();
    if (index >= entries.size() || index < 0)
        return false;
    const PackageCache::Resolution resolution = PackageCache::resolve(
        entries.at(index).toObject(), PackageCache::cacheDirectory(), device->vid(), device->pid(),
        [this](const QString &name, bool *succeeded) {
            return m_cloud->download(name, succeeded);
        });
    switch (resolution.outcome) {
    case PackageCache::Outcome::Cached:
    case PackageCache::Outcome::Downloaded:
        *version = resolution.version;
        *path = resolution.path;
        return true;
    case PackageCache::Outcome::InvalidEntry:
        emit messageError(tr("The firmware entry of the catalogue is not valid!"),
                          messageTimeoutMs);
        return false;
    case PackageCache::Outcome::DownloadFailed:
        emit messageError(tr("The firmware could not be downloaded!"), messageTimeoutMs);
        return false;
    case PackageCache::Outcome::ChecksumMismatch:
        emit messageError(tr("The downloaded firmware is damaged!"), messageTimeoutMs);
        return false;
    case PackageCache::Outcome::NotSaved:
        emit messageError(tr("The firmware could not be saved!"), messageTimeoutMs);
        return false;
    }
    return false;
}

QFuture<bool> FirmwareManage::startDataBackup(const QString &path)
{
    const quint64 requested = currentDeviceSerial();
    return startWorker(
        "dataBackup", [this, requested, path]() { return runDataTransfer(requested, path, true); });
}

QFuture<bool> FirmwareManage::startDataRestore(const QString &path)
{
    const quint64 requested = currentDeviceSerial();
    return startWorker("dataRestore", [this, requested, path]() {
        return runDataTransfer(requested, path, false);
    });
}

bool FirmwareManage::runDataTransfer(quint64 requestedSerial, const QString &path, bool backup)
{
    BaseDevice *device = acquireDevice(requestedSerial, backup ? "dataBackup" : "dataRestore");
    if (!device) {
        set_busying(false);
        return false;
    }
    set_busying(true);
    if (backup)
        device->dataBackupFile(path);
    else
        device->dataRestoreFile(path);
    set_busying(false);
    releaseDevice(device);
    return true;
}

// Publishing ---------------------------------------------------------------------

void FirmwareManage::uploadFirmware(int device, QString changLog)
{
    startUpload(device, changLog);
}

void FirmwareManage::editFirmware(int device, QString checksum, QString changLog)
{
    startEdit(device, checksum, changLog);
}

void FirmwareManage::removeFirmware(int device, QString checksum)
{
    startRemove(device, checksum);
}

QFuture<bool> FirmwareManage::startUpload(int device, const QString &changLog)
{
    return startWorker("uploadFirmware",
                       [this, device, changLog]() { return runUpload(device, changLog); });
}

QFuture<bool> FirmwareManage::startEdit(int device, const QString &checksum,
                                        const QString &changLog)
{
    return startWorker("editFirmware", [this, device, checksum, changLog]() {
        return runEdit(device, checksum, changLog);
    });
}

QFuture<bool> FirmwareManage::startRemove(int device, const QString &checksum)
{
    return startWorker("removeFirmware",
                       [this, device, checksum]() { return runRemove(device, checksum); });
}

bool FirmwareManage::runUpload(int device, const QString &changLog)
{
    set_busying(true);
    const auto finish = [this](bool stored) {
        set_busying(false);
        return stored;
    };
    const QByteArray data = Global::readFile(localFirmwarePath());
    if (data.isEmpty()) {
        emit messageError(tr("The firmware file is empty!"), messageTimeoutMs);
        return finish(false);
    }
    const QString version = localFirmwareVersion();
    // The version names the stored object and, later, a cached file: an
    // entry no reader could install is never published.
    if (!Catalogue::isVersion(version)) {
        emit messageError(tr("The firmware version is not valid!"), messageTimeoutMs);
        return finish(false);
    }
    if (device < 0 || device >= modelKeys.size()) {
        qWarning() << "FirmwareManage::uploadFirmware: no model" << device;
        return finish(false);
    }
    const QString modelKey = modelKeys.at(device);

    // The catalogue is read first: with no catalogue to add the entry to,
    // nothing is uploaded at all.
    const CatalogueStore store(m_cloud);
    const CatalogueStore::Snapshot snapshot = store.read();
    if (!snapshot.readable) {
        emit messageError(tr("The firmware catalogue could not be read!"), messageTimeoutMs);
        return finish(false);
    }
    const QString checksum =
        QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    if (!m_cloud->upload(Catalogue::firmwareObjectName(modelKey, version), data, {})) {
        emit messageError(tr("Upload firmware error!"), messageTimeoutMs);
        return finish(false);
    }
    const QJsonObject entry =
        Catalogue::newEntry(modelKey, version, changLog, Catalogue::timestampNow(), checksum);
    const CatalogueStore::Result result = store.apply(
        [&modelKey, &entry](const QJsonObject &current) {
            return Catalogue::withEntryInFront(current, modelKey, entry);
        },
        &snapshot);
    if (result.outcome != CatalogueStore::Outcome::Stored) {
        emit messageError(tr("Upload firmware info error!"), messageTimeoutMs);
        return finish(false);
    }
    set_allFirmwareInformation(result.catalogue);
    emit messageInfo(tr("Upload firmware OK!"), messageTimeoutMs);
    return finish(true);
}

bool FirmwareManage::runEdit(int device, const QString &checksum, const QString &changLog)
{
    const QString version = localFirmwareVersion();
    if (!Catalogue::isVersion(version)) {
        emit messageError(tr("The firmware version is not valid!"), messageTimeoutMs);
        set_busying(false);
        return false;
    }
    if (device < 0 || device >= modelKeys.size()) {
        qWarning() << "FirmwareManage::editFirmware: no model" << device;
        set_busying(false);
        return false;
    }
    const QString modelKey = modelKeys.at(device);
    const QString datetime = Catalogue::timestampNow();
    return storeCatalogueChange(
        [=](const QJsonObject &current) {
            return Catalogue::withEntryEdited(current, modelKey, checksum, version, changLog,
                                              datetime);
        },
        tr("Edit firmware OK!"), tr("Edit firmware info error!"));
}

bool FirmwareManage::runRemove(int device, const QString &checksum)
{
    if (device < 0 || device >= modelKeys.size()) {
        qWarning() << "FirmwareManage::removeFirmware: no model" << device;
        set_busying(false);
        return false;
    }
    const QString modelKey = modelKeys.at(device);
    return storeCatalogueChange(
        [=](const QJsonObject &current) {
            return Catalogue::withEntryRemoved(current, modelKey, checksum);
        },
        tr("Remove firmware OK!"), tr("Remove firmware info error!"));
}

// Edits and removals change the catalogue as the store holds it now; an
// empty catalogue has nothing to edit or remove.
bool FirmwareManage::storeCatalogueChange(
    const std::function<QJsonObject(const QJsonObject &)> &change, const QString &okText,
    const QString &errorText)
{
    set_busying(true);
    const CatalogueStore store(m_cloud);
    const CatalogueStore::Snapshot snapshot = store.read();
    bool stored = false;
    if (!snapshot.readable) {
        emit messageError(errorText, messageTimeoutMs);
    } else if (!snapshot.catalogue.isEmpty()) {
        const CatalogueStore::Result result = store.apply(change, &snapshot);
        stored = result.outcome == CatalogueStore::Outcome::Stored;
        if (stored) {
            set_allFirmwareInformation(result.catalogue);
            emit messageInfo(okText, messageTimeoutMs);
        } else {
            emit messageError(errorText, messageTimeoutMs);
        }
    }
    set_busying(false);
    return stored;
}
