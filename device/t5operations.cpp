// The T5's long operations: firmware update, factory restore, data backup,
// data restore and the restore of saved settings. Each runs the phases
// prepare (check the input, no I/O), state (a complete read of this
// adapter), save (what will be erased), erase, write, verify (read back).

#include "t5device.h"

#include "bridgeusb.h"
#include "firmwareimagecheck.h"
#include "global.h"
#include "t5backup.h"
#include "t5configuration.h"

#include <QDebug>
#include <QMutexLocker>

#include <cstring>
#include <memory>

using namespace LittleEndian;
using namespace T5FlashLayout;

namespace {
// busying from the start of an operation to its end on every path.
class BusyScope
{
public:
    explicit BusyScope(BaseDevice *device) : m_device(device) { m_device->set_busying(true); }
    ~BusyScope() { m_device->set_busying(false); }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    BaseDevice *m_device;
};

void addSectors(FlashPlan *plan, const QList<uint8_t> &sectors)
{
    for (uint8_t sector : sectors)
        plan->addEraseSector(sector);
}

// The layout the adapter's flash is in, from a whole configuration.
Layout installedLayout(const QByteArray &config)
{
    const uint32_t imageLength = readU32(bytesOf(config), configImageLengthOffset);
    return T5Configuration::layoutForVersion(T5Configuration::versionText(config)) == Layout::New &&
                   imageLength < newLayoutImageLengthLimit
               ? Layout::New
               : Layout::Old;
}
} // namespace

// ---------------------------------------------------------------------------
// Prepare

std::optional<T5Device::PreparedImage>
T5Device::prepareImage(const QString &path, const QString &version, bool factoryRestore)
{
    PreparedImage prepared;
    prepared.image = getFirmwareData(path);
    const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    const bool ok = !prepared.image.isEmpty() && parts.size() == 3;
    if (!factoryRestore)
        qInfo() << "=updateFirmware=" << ok;
    if (!ok) {
        if (factoryRestore)
            qDebug() << "restoreFactorySettings Error! firmware_data.isEmpty"
                     << prepared.image.isEmpty() << "Device.isOpen"
                     << BridgeUSB::instance()->isOpen() << "firmware_version.size is 3"
                     << (parts.size() == 3) << parts;
        else
            qDebug() << "updateFirmware Error! firmware_data.isEmpty" << prepared.image.isEmpty()
                     << "firmware_version.size is 3" << (parts.size() == 3) << parts;
        // Nothing is written; the user has to learn that.
        emit error(tr("The firmware is empty!"));
        return std::nullopt;
    }
    // Each part is stored in one byte: 5.256.0 would install as 5.0.0.
    const auto versionBytes = FirmwareImageCheck::parseVersion(version);
    if (!versionBytes) {
        qWarning() << "T5Device: firmware version" << version << "is not three numbers 0-255";
        emit error(tr("The firmware version is not valid!"));
        return std::nullopt;
    }
    prepared.version = *versionBytes;
    prepared.layout = T5Configuration::layoutForVersion(version);
    const uint32_t area = T5Configuration::imageAreaBytes(prepared.layout);
    if (uint32_t(prepared.image.size()) + 2 > area) {
        qWarning() << "The firmware image of" << prepared.image.size() << "bytes does not fit the"
                   << area << "bytes of its flash area";
        emit error(tr("The firmware is too large for the adapter!"));
        return std::nullopt;
    }
    // A raw image has no header or checksum: without this check any file
    // would be erased over the adapter's firmware.
    const FirmwareImageCheck::ImageVerdict verdict = FirmwareImageCheck::checkCortexMImage(
        prepared.image, T5Configuration::imageBase(prepared.layout));
    if (verdict != FirmwareImageCheck::ImageVerdict::Plausible) {
        qWarning().noquote() << "T5Device:" << path
                             << "is no T5 firmware image:" << FirmwareImageCheck::describe(verdict);
        if (imageCheckEnabled.load()) {
            emit error(tr("The file is not a firmware for this adapter!"));
            return std::nullopt;
        }
        qWarning() << "T5Device: installing it anyway, as asked";
    }
    return prepared;
}

// ---------------------------------------------------------------------------
// Firmware update

void T5Device::updateFirmwareFile(QString path, QString version)
{
    qDebug() << "T5Device::updateFirmwareFile" << path << version;
    bool updated = false;
    {
        BusyScope busy(this);
        updated = updateFirmware(path, version);
    }
    // A boot mode or restart after a failed update could only make things
    // worse: the adapter keeps the state the failure left for the next try.
    if (updated)
        afterUpdate();
}

bool T5Device::updateFirmware(const QString &path, const QString &version)
{
    const std::optional<PreparedImage> prepared = prepareImage(path, version, false);
    if (!prepared)
        return false;
    qWarning() << (prepared->layout == Layout::Old ? "updateFirmware_v1" : "updateFirmware_v2");

    QMutexLocker operation(&operationLock);
    if (!ensureCurrentState())
        return false;
    const AdapterState current = state();

    // The settings to carry over, and the firmware they were written by:
    // the configuration's own version, which stays right when the firmware
    // was lost (the version shown is then empty).
    QString restoredFrom;
    QByteArray config = settingsToCarryOver(&restoredFrom);
    const bool settingsLost = config.isEmpty();
    if (settingsLost) {
        qWarning() << "T5Device: no settings to carry over; factory settings are written";
        config = T5Configuration::factoryConfiguration(prepared->version, prepared->layout,
                                                       uint32_t(prepared->image.size()));
    } else {
        T5Configuration::applyMigrations(&config, prepared->layout,
                                         T5Configuration::versionText(config));
    }
    const uint32_t imageBase = T5Configuration::imageBase(prepared->layout);
    const uint32_t imageLength = uint32_t(prepared->image.size());
    T5Configuration::describeImage(&config, prepared->version, imageBase, imageLength);

    // An old-layout image lies where the new layout keeps the macro block.
    const bool overwritesMacroBlock = prepared->layout == Layout::Old &&
                                      T5Configuration::isComplete(current.config) &&
                                      installedLayout(current.config) == Layout::New;
    if (!saveBeforeErasing(QStringLiteral("update"), false, overwritesMacroBlock))
        return false;

    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    plan->setSegment(0, configAddress, config);
    plan->addEraseSector(configSector);
    plan->setSegment(1, imageBase, T5Configuration::imageWithEndMark(prepared->image));
    addSectors(plan.get(), T5Configuration::imageEraseSectors(prepared->layout, imageLength));
    plan->totalSize = configSizeBytes + imageLength + 2;

    const WriteOutcome outcome = runPlan(plan.get());
    plan.reset();
    const bool verified = verifyAfterWrite(config, true);
    if (outcome != WriteOutcome::Written || !verified)
        return false;
    if (!restoredFrom.isEmpty())
        emit message(tr("The adapter's settings were restored from the copy saved on %1.")
                         .arg(restoredFrom));
    if (settingsLost)
        emit message(tr("The adapter's settings were lost; factory settings were written."));
    return true;
}

// ---------------------------------------------------------------------------
// Factory restore

void T5Device::restoreFirmwareFile(QString path, QString version)
{
    qDebug() << "T5Device::restoreFirmwareFile" << path << version;
    BusyScope busy(this);
    if (restoreFactorySettings(path, version))
        set_bootMode(Auto);
}

bool T5Device::restoreFactorySettings(const QString &path, const QString &version)
{
    const std::optional<PreparedImage> prepared = prepareImage(path, version, true);
    if (!prepared)
        return false;
    const bool oldLayout = prepared->layout == Layout::Old;
    qWarning() << (oldLayout ? "restoreFactorySettings_v1" : "restoreFactorySettings_v2");

    QMutexLocker operation(&operationLock);
    if (!ensureCurrentState())
        return false;
    const AdapterState current = state();
    // The user chose to erase; a copy still lets them change their mind.
    const bool macroBlockInstalled = T5Configuration::isComplete(current.config) &&
                                     installedLayout(current.config) == Layout::New;
    if (!saveBeforeErasing(QStringLiteral("factory-restore"), true, macroBlockInstalled))
        return false;

    const uint32_t imageBase = T5Configuration::imageBase(prepared->layout);
    const uint32_t imageLength = uint32_t(prepared->image.size());
    const uint16_t blockMark = T5Configuration::blockMark(prepared->layout);
    const QByteArray factory =
        T5Configuration::factoryConfiguration(prepared->version, prepared->layout, imageLength);

    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    int segment = 0;
    plan->setSegment(segment++, configAddress, factory);
    plan->addEraseSector(configSector);
    plan->setSegment(segment++, dataBlockAAddress, T5Configuration::factoryBlockA(blockMark));
    plan->addEraseSector(dataBlockASectors[0]);
    plan->setSegment(segment++, dataBlockBAddress, T5Configuration::emptyBlock(blockMark));
    plan->addEraseSector(dataBlockBSector);
    if (!oldLayout) {
        plan->setSegment(segment++, macroBlockAddress, T5Configuration::emptyBlock(newLayoutMark));
        plan->addEraseSector(macroBlockSector);
    }
    plan->setSegment(segment, imageBase, T5Configuration::imageWithEndMark(prepared->image));
    addSectors(plan.get(), T5Configuration::imageEraseSectors(prepared->layout, imageLength));
    plan->totalSize = plan->sumOfSegmentSizes();

    const WriteOutcome outcome = runPlan(plan.get());
    plan.reset();
    const bool verified = verifyAfterWrite(factory, true);
    return outcome == WriteOutcome::Written && verified;
}

// ---------------------------------------------------------------------------
// Data backup

void T5Device::dataBackupFile(QString path)
{
    BusyScope busy(this);
    QMutexLocker operation(&operationLock);
    // The file is keyed with the serial number and must hold the macro
    // block of a new-layout adapter: both come from a complete state read.
    if (!ensureCurrentState())
        return;
    const AdapterState current = state();
    const bool newLayout = T5Configuration::isComplete(current.config)
                               ? installedLayout(current.config) == Layout::New
                               : T5Configuration::layoutForVersion(version()) == Layout::New;
    const uint32_t length = newLayout ? backupLengthNewLayout : backupLengthOldLayout;
    QByteArray body(backupBodyBytes, '\0');
    if (!readFlash(backupStartAddress, length, bytesOf(&body))) {
        // Nothing is written: a backup must never hold a partial read.
        qWarning() << "dataBackup Error!";
        emit error(tr("Data backup error!"));
        return;
    }
    const QByteArray data = T5Backup::encode(body, serialNumber());
    if (Global::saveFileWithResult(path, data) == Global::SaveResult::Failed) {
        qWarning() << "dataBackup Error!"
                   << "the file cannot be written" << path;
        emit error(tr("Data backup error!"));
    }
}

// ---------------------------------------------------------------------------
// Data restore

void T5Device::dataRestoreFile(QString path)
{
    BusyScope busy(this);
    restoreData(path);
}

void T5Device::restoreData(const QString &path)
{
    const QByteArray file = Global::readFile(path);
    if (file.isEmpty()) {
        qWarning() << "dataRestore: the backup file is empty or cannot be read" << path;
        emit error(tr("The backup file is empty or cannot be read!"));
        return;
    }

    QMutexLocker operation(&operationLock);
    // The key is this adapter's serial number, and the restore keeps this
    // adapter's firmware description: both need a complete state read.
    if (!ensureCurrentState())
        return;

    QByteArray body;
    if (T5Backup::decode(file, serialNumber(), &body) != T5Backup::DecodeResult::Decoded) {
        qWarning() << "Corrupted file/Unauthorized !";
        emit error(tr("Corrupted file unauthorized!"));
        return;
    }

    // Only the same or an older firmware generation can be restored.
    const QString backupVersion = T5Backup::backupVersion(body);
    const QString adapterVersion = version();
    qDebug() << "dataRestore" << backupVersion;
    if (compareMajorMinor(backupVersion, adapterVersion) > 0) {
        qWarning().noquote()
            << QStringLiteral("Firmware data restore error( >= %1) !").arg(backupVersion);
        emit error(tr("Firmware data restore error!"));
        return;
    }
    // The restore writes the new layout, whose macro block lies where
    // firmware below 5.5.0 keeps its image.
    if (versionCompare(adapterVersion, QStringLiteral("5.5.0")) < 0) {
        qWarning() << "dataRestore refused: the adapter runs firmware below 5.5.0"
                   << adapterVersion;
        emit error(tr("Update the adapter to firmware 5.5.0 or later first!"));
        return;
    }
    // The firmware description comes from the adapter's configuration, or,
    // when a cut write damaged it, from the copy saved before: a data
    // restore does not change the firmware, so that description still holds.
    QString restoredFrom;
    const QByteArray description = settingsToCarryOver(&restoredFrom);
    if (description.isEmpty()) {
        qWarning() << "dataRestore refused: the adapter's configuration was not read";
        emit error(tr("The adapter's settings could not be read!"));
        return;
    }

    qDebug() << "Firmware data restore ...";
    const bool keepFormat = T5Backup::recordsKeepFormat(adapterVersion, backupVersion);
    qInfo() << "dataRestore...." << adapterVersion << backupVersion << keepFormat;
    const std::optional<T5Backup::RestoreContents> contents =
        T5Backup::restoreContents(body, description, keepFormat);
    if (!contents) {
        qWarning() << "dataRestore: the backup holds an area that runs past its bounds";
        emit error(tr("The backup file holds damaged data!"));
        return;
    }
    if (!saveBeforeErasing(QStringLiteral("restore-data"), true, true))
        return;

    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    plan->setSegment(0, configAddress, contents->config);
    plan->addEraseSector(configSector);
    plan->setSegment(1, dataBlockAAddress, contents->blockA);
    plan->addEraseSector(dataBlockASectors[0]);
    plan->addEraseSector(dataBlockASectors[1]);
    plan->setSegment(2, dataBlockBAddress, contents->blockB);
    plan->addEraseSector(dataBlockBSector);
    plan->setSegment(3, macroBlockAddress, contents->macroBlock);
    plan->addEraseSector(macroBlockSector);
    plan->totalSize = plan->sumOfSegmentSizes();
    runPlan(plan.get());
    plan.reset();
    // The object's copy must be the restored configuration, or a later boot
    // mode change or update would write the old settings back.
    verifyAfterWrite(contents->config, true);
}

// ---------------------------------------------------------------------------
// Saved settings

bool T5Device::restoreSavedSettings()
{
    BusyScope busy(this);
    QMutexLocker operation(&operationLock);
    if (!ensureCurrentState())
        return false;
    return writeSavedSettings();
}

bool T5Device::writeSavedSettings()
{
    const std::optional<SettingsCopyStore::Copy> copy = savedSettings(serialNumber());
    if (!copy) {
        qWarning() << "T5Device: no saved settings for" << serialNumber() << "in"
                   << settingsCopyStore().folder();
        emit error(tr("No saved settings of this adapter were found!"));
        return false;
    }
    const AdapterState current = state();
    QByteArray config = copy->section(configAddress)->bytes;
    const bool firmwareDescribed = T5Configuration::isComplete(current.config);
    const Layout layout =
        firmwareDescribed ? installedLayout(current.config) : installedLayout(config);
    if (firmwareDescribed) {
        // Carried over to the firmware installed now, as an update would.
        T5Configuration::applyMigrations(&config, layout, copy->firmwareVersion);
        T5Configuration::keepFirmwareDescription(&config, current.config);
    }
    const SettingsCopyStore::Section *blockA = copy->section(dataBlockAAddress);
    const SettingsCopyStore::Section *blockB = copy->section(dataBlockBAddress);
    // On the old layout sector 5 holds the firmware image.
    const SettingsCopyStore::Section *macro =
        layout == Layout::New ? copy->section(macroBlockAddress) : nullptr;
    if (copy->section(macroBlockAddress) && !macro)
        qWarning() << "T5Device: the saved macro block is not written: the adapter runs "
                      "old-layout firmware";

    // This copy is chosen before the adapter's present data is saved, so
    // saving cannot make another copy the newest.
    if (!saveBeforeErasing(QStringLiteral("restore-settings"), blockA || blockB, macro))
        return false;

    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    int segment = 0;
    plan->setSegment(segment++, configAddress, config);
    plan->addEraseSector(configSector);
    if (blockA) {
        plan->setSegment(segment++, dataBlockAAddress, blockA->bytes);
        plan->addEraseSector(dataBlockASectors[0]);
        plan->addEraseSector(dataBlockASectors[1]);
    }
    if (blockB) {
        plan->setSegment(segment++, dataBlockBAddress, blockB->bytes);
        plan->addEraseSector(dataBlockBSector);
    }
    if (macro) {
        plan->setSegment(segment++, macroBlockAddress, macro->bytes);
        plan->addEraseSector(macroBlockSector);
    }
    plan->totalSize = plan->sumOfSegmentSizes();
    const WriteOutcome outcome = runPlan(plan.get());
    plan.reset();
    const bool verified = verifyAfterWrite(config, false);
    if (outcome != WriteOutcome::Written || !verified)
        return false;
    emit message(tr("The adapter's settings were restored from the copy saved on %1.")
                     .arg(describeSavedAt(copy->savedAtUtc)));
    return true;
}
