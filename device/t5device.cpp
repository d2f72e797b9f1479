#include "t5device.h"

#include "bridgeusb.h"
#include "global.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QMutexLocker>
#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace LittleEndian;

namespace {
uint8_t *bytesOf(QByteArray &array)
{
    return reinterpret_cast<uint8_t *>(array.data());
}

const uint8_t *bytesOf(const QByteArray &array)
{
    return reinterpret_cast<const uint8_t *>(array.constData());
}

QString versionText(const QByteArray &config)
{
    const uint8_t *bytes = bytesOf(config);
    return QStringLiteral("%1.%2.%3").arg(bytes[1]).arg(bytes[2]).arg(bytes[3]);
}

QByteArray md5Of(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

// Backups are bound to one adapter: the key comes from its serial number.
void scrambleWithSerialKey(QByteArray *data, const QString &serialNumber)
{
    const QByteArray key = md5Of(serialNumber.toLocal8Bit());
    for (int index = 0; index < data->size(); ++index)
        (*data)[index] = char((*data)[index] ^ key[index % key.size()]);
}

QByteArray imageWithEndMark(const QByteArray &image)
{
    QByteArray bytes = image;
    bytes.append(char(T5Device::firmwareEndMark & 0xFF));
    bytes.append(char(T5Device::firmwareEndMark >> 8));
    return bytes;
}

QByteArray emptyBlock(uint16_t mark)
{
    QByteArray block(T5Device::emptyBlockLengthBytes, '\0');
    writeU16(bytesOf(block), 0, T5Device::emptyBlockLengthBytes);
    writeU16(bytesOf(block), T5Device::emptyBlockLengthBytes - 2, mark);
    return block;
}

// The five u16 settings a factory configuration starts with.
void writeFactorySettings(uint8_t *config)
{
    const uint16_t settings[5] = {0x1245, 0x1252, 0x1251, 0x124F, 0x1250};
    for (int index = 0; index < 5; ++index)
        writeU16(config, T5Device::configSettingsOffset + 2 * index, settings[index]);
}

// The configuration's description of the image it goes with, and the marks
// that make the configuration valid.
void describeImage(uint8_t *config, const QStringList &version, uint32_t imageBase,
                   uint32_t imageLength)
{
    config[T5Device::configStartMarkOffset] = T5Device::startMark;
    for (int index = 0; index < 3; ++index)
        config[T5Device::configVersionOffset + index] = uint8_t(version.at(index).toUInt());
    writeU32(config, T5Device::configImageAddressOffset, imageBase);
    writeU32(config, T5Device::configImageLengthOffset, imageLength);
    writeU16(config, T5Device::configValidMarkOffset, T5Device::configValidMark);
    config[T5Device::configEndMarkOffset] = T5Device::endMark;
}

QRecursiveMutex *exchangeMutex()
{
    return BridgeUSB::instance()->exchangeMutex();
}
} // namespace

// ---------------------------------------------------------------------------
// Construction, connection and background tasks

T5Device::T5Device(QObject *parent)
    : BaseDevice(parent), info(int(infoSizeBytes), '\0'), config(int(configSizeBytes), '\0')
{
    set_bootMode(Auto);
    set_image(QStringLiteral("qrc:/images/T5.png"));
    connect(this, &BaseDevice::connectedChanged, this, &T5Device::onConnectedChanged);
}

T5Device::~T5Device()
{
    // The pool tasks use this object; it must outlive them.
    waitForBackgroundTasks();
}

bool T5Device::tryConnected()
{
    bool opened = false;
    {
        QMutexLocker exchange(exchangeMutex());
        opened = BridgeUSB::instance()->open(Brivane_VID, Brivane_PID_T5, -1);
    }
    set_connected(opened);
    setVPID(Brivane_VID, Brivane_PID_T5);
    return connected();
}

void T5Device::syncFirmwareInformation()
{
    pulseBusy();
}

void T5Device::onConnectedChanged(bool isConnected)
{
    qDebug() << "T5Device::connectedChanged" << isConnected;
    if (isConnected) {
        startBackgroundTask(
            [this]() {
                // Held for the whole status read: it runs without busying, so an
                // operation started meanwhile must not mix its reports with it.
                QMutexLocker exchange(exchangeMutex());
                updateVersion();
                updateRunStatus();
            },
            true);
    } else {
        set_version(QString());
        set_serialNumber(QString());
    }
}

void T5Device::startBackgroundTask(const std::function<void()> &work, bool isConnectionTask)
{
    QMutexLocker locker(&tasksLock);
    backgroundTasks.erase(std::remove_if(backgroundTasks.begin(), backgroundTasks.end(),
                                         [](const QFuture<void> &f) { return f.isFinished(); }),
                          backgroundTasks.end());
    backgroundTasks.append(QtConcurrent::run(QThreadPool::globalInstance(), work));
    if (isConnectionTask)
        connectionTask = backgroundTasks.last();
}

void T5Device::waitForConnectionTask()
{
    QFuture<void> task;
    {
        QMutexLocker locker(&tasksLock);
        task = connectionTask;
    }
    task.waitForFinished();
}

void T5Device::waitForBackgroundTasks()
{
    QList<QFuture<void>> tasks;
    {
        QMutexLocker locker(&tasksLock);
        tasks = backgroundTasks;
    }
    for (QFuture<void> &task : tasks)
        task.waitForFinished();
}

// ---------------------------------------------------------------------------
// Protocol primitives

bool T5Device::readCMDData(MemoryFrame *reply)
{
    const QByteArray bytes = BaseDevice::readCMDData(MemoryFrame::sizeBytes);
    if (bytes.isEmpty()) {
        qWarning() << "T5Device readCMDData read error !!!";
        return false;
    }
    reply->assign(bytes);
    return true;
}

bool T5Device::writeCMDData(const MemoryFrame &request)
{
    const bool written = BaseDevice::writeCMDData(request.toByteArray());
    if (!written)
        qWarning() << "T5Device writeCMDData write error !!!";
    return written;
}

bool T5Device::readFlash(uint32_t address, uint32_t length, uint8_t *buffer)
{
    return readChunks(wideFrameLayout, USB_CMD_READ, address, length, buffer);
}

bool T5Device::eraseFlash(const FlashPlan &plan)
{
    QMutexLocker exchange(exchangeMutex());
    qDebug() << "eraseFlash...";
    const uint32_t count = std::min<uint32_t>(plan.eraseCount, FlashPlan::maxEntries);
    MemoryFrame reply;
    // The adapter answers only once every sector is erased.
    sendAndReceive(
        MemoryFrame::request(wideFrameLayout, USB_CMD_ERASE, 0, count, plan.eraseSectors), &reply);
    if (reply.code() != USB_ACK_ERASE) {
        qWarning() << "erase error !" << Qt::hex << reply.code();
        emit error(tr("Erase error!"));
        return false;
    }
    return true;
}

bool T5Device::write2Flash(const FlashPlan &plan)
{
    qDebug() << "write2Flash...";
    // A header that answers another request also means the write stopped
    // part-way; the user must not take it for done.
    return writePlan(wideFrameLayout, USB_CMD_WRITE, plan, [this](WriteFailure failure) {
        emit error(failure == WriteFailure::Verify ? tr("Write to flash data verify error!")
                                                   : tr("Write to flash error!"));
    });
}

void T5Device::updateVersion()
{
    QMutexLocker exchange(exchangeMutex());
    const uint32_t chunkBytes = uint32_t(wideFrameLayout.maxDataBytes);
    uint32_t copied = 0;
    uint32_t address = configAddress;
    configReadComplete = false;
    while (copied < configSizeBytes) {
        // Always a full chunk; only the bytes still needed are kept.
        if (!writeCMDData(
                MemoryFrame::request(wideFrameLayout, USB_CMD_READ, address, chunkBytes))) {
            qWarning() << "updateVersion write error !!!";
            break;
        }
        MemoryFrame reply;
        if (!readCMDData(&reply)) {
            qWarning() << "updateVersion read error !!!";
            break;
        }
        if (reply.code() != USB_ACK_DATA || reply.address() != address ||
            reply.length() != chunkBytes) {
            qWarning() << "updateVersion Error" << Qt::hex << address << reply.address();
            break;
        }
        const uint32_t needed = std::min(configSizeBytes - copied, chunkBytes);
        std::memcpy(bytesOf(config) + copied, reply.data(), needed);
        copied += needed;
        address += chunkBytes;
    }
    configReadComplete = copied == configSizeBytes;
    set_version(versionText(config));
}

bool T5Device::configHoldsAdapterSettings() const
{
    const uint8_t *bytes = bytesOf(config);
    return configReadComplete && bytes[configStartMarkOffset] == startMark &&
           readU16(bytes, configValidMarkOffset) == configValidMark;
}

bool T5Device::readRunStatus()
{
    uint8_t status[runStatusLengthBytes] = {};
    MemoryFrame reply;
    sendAndReceive(
        MemoryFrame::request(wideFrameLayout, USB_CMD_RUN_STATUS, 0, runStatusLengthBytes), &reply);
    const bool valid = reply.code() == USB_CMD_RUN_STATUS && reply.length() == runStatusLengthBytes;
    if (valid)
        std::memcpy(status, reply.data(), runStatusLengthBytes);
    else
        qWarning() << "getRunStatus Error!!!";
    qDebug() << "updateRunStatus" << status[0];
    return valid;
}

void T5Device::updateRunStatus()
{
    QMutexLocker exchange(exchangeMutex());

    // Step 1: run status (logged only).
    readRunStatus();

    // Step 2: the factory information block with the serial number.
    readFlash(infoAddress, infoSizeBytes, bytesOf(info));
    const uint8_t *infoBytes = bytesOf(info);
    if (infoBytes[0] != startMark || infoBytes[infoEndMarkOffset] != endMark) {
        qWarning() << "Hardware failure!";
        return;
    }

    // Step 3 and 4: end marks of the data blocks. A length of 0 or 1 would put
    // the mark before the block, so such a block counts as broken.
    uint8_t blockHead[64] = {};
    readFlash(dataBlockAAddress, sizeof blockHead, blockHead);
    uint16_t length = readU16(blockHead, 0);
    markA = 0;
    if (length >= 2 && length < dataBlockAAreaBytes) {
        uint8_t mark[2] = {};
        readFlash(dataBlockAAddress + length - 2, 2, mark);
        markA = readU16(mark, 0);
    }
    std::memset(blockHead, 0, sizeof blockHead);
    readFlash(dataBlockBAddress, sizeof blockHead, blockHead);
    length = readU16(blockHead, 0);
    markB = 0;
    if (length >= 2) {
        uint8_t mark[2] = {};
        readFlash(dataBlockBAddress + length - 2, 2, mark);
        markB = readU16(mark, 0);
    }

    // Step 5: the configuration sector.
    configReadComplete = readFlash(configAddress, configSizeBytes, bytesOf(config));
    const uint8_t *configBytes = bytesOf(config);

    // Step 6: layout, block marks and firmware end mark.
    if (readU16(configBytes, configValidMarkOffset) == configValidMark) {
        set_version(versionText(config));
        const uint32_t imageLength = readU32(configBytes, configImageLengthOffset);
        const bool newLayout = versionCompare(version(), QStringLiteral("5.5.0")) >= 0 &&
                               imageLength < newLayoutImageLengthLimit;
        const uint16_t expectedMark = newLayout ? newLayoutMark : oldLayoutMark;
        const uint32_t imageBase = newLayout ? newLayoutImageBase : oldLayoutImageBase;
        if (markB != expectedMark || markA != expectedMark)
            qWarning() << "DeviceError_ConfigurationLost";
        uint8_t mark[2] = {};
        readFlash(imageBase + imageLength, 2, mark);
        firmwareMark = readU16(mark, 0);
        qDebug() << "Version:" << version() << Qt::hex << firmwareMark << markA << markB;
    } else {
        qDebug() << "firmware_info :" << Qt::hex << readU16(configBytes, configValidMarkOffset)
                 << configBytes[0];
    }

    // Step 7: an image without its end mark is no usable firmware.
    if (firmwareMark != firmwareEndMark) {
        set_version(QString());
        qWarning() << "Firmware lost!";
        emit error(tr("Firmware lost!"));
    }

    // Step 8 and 9: serial number and boot mode.
    set_serialNumber(info.mid(infoSerialOffset, infoSerialBytes).toHex());
    const uint8_t storedBootMode = configBytes[configBootModeOffset];
    // Only 0-4 are read back; a stored 5 shows as Auto.
    set_bootMode(storedBootMode < 5 ? int(storedBootMode) : int(Auto));
}

void T5Device::setBootMode(BootMode mode)
{
    startBackgroundTask([this, mode]() { applyBootMode(mode); });
}

void T5Device::applyBootMode(int mode)
{
    if (mode < Auto || mode > Q8LINK || mode == bootMode())
        return;
    if (!configHoldsAdapterSettings()) {
        qWarning() << "applyBootMode refused: the adapter's configuration was not read" << mode;
        emit error(tr("The adapter's settings could not be read!"));
        return;
    }
    set_bootMode(mode);
    set_busying(true);
    {
        QMutexLocker exchange(exchangeMutex());
        std::unique_ptr<FlashPlan> plan(FlashPlan::create());
        QByteArray newConfig = config;
        newConfig[configBootModeOffset] = char(mode);
        plan->setSegment(0, configAddress, newConfig);
        plan->addEraseSector(configSector);
        plan->totalSize = configSizeBytes;
        runPlan(plan.get());
    }
    set_busying(false);
}

// ---------------------------------------------------------------------------
// Firmware update and factory restore

void T5Device::updateFirmwareFile(QString path, QString version)
{
    qDebug() << "T5Device::updateFirmwareFile" << path << version;
    if (versionCompare(version, QStringLiteral("5.5.0")) < 0)
        updateFirmware_v1(path, version);
    else
        updateFirmware_v2(path, version);
}

void T5Device::updateFirmware_v1(const QString &path, const QString &version)
{
    updateFirmware(Layout::Old, path, version);
}

void T5Device::updateFirmware_v2(const QString &path, const QString &version)
{
    updateFirmware(Layout::New, path, version);
}

bool T5Device::isVersionBelow(const QStringList &current, const QString &threshold)
{
    const QStringList thresholdParts = threshold.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    for (int index = 0; index < 3; ++index) {
        const int currentPart = index < current.size() ? current.at(index).toInt() : 0;
        const int thresholdPart =
            index < thresholdParts.size() ? thresholdParts.at(index).toInt() : 0;
        if (currentPart != thresholdPart)
            return currentPart < thresholdPart;
    }
    return false;
}

bool T5Device::imageFitsLayout(Layout layout, int imageLength)
{
    const uint32_t area = layout == Layout::Old ? oldLayoutImageAreaBytes : newLayoutImageAreaBytes;
    if (uint32_t(imageLength) + 2 <= area)
        return true;
    qWarning() << "The firmware image of" << imageLength << "bytes does not fit the" << area
               << "bytes of its flash area";
    emit error(tr("The firmware is too large for the adapter!"));
    return false;
}

void T5Device::addImageSectors(FlashPlan *plan, Layout layout, uint32_t imageLength)
{
    if (layout == Layout::Old) {
        plan->addEraseSector(5);
        plan->addEraseSector(6);
        return;
    }
    const uint32_t sectorsNeeded = ((imageLength + 2) >> largeSectorShift) + 1;
    for (uint32_t index = 0; index < sectorsNeeded; ++index) {
        const uint32_t sector = firstNewLayoutImageSector + index;
        if (sector > lastFlashSector)
            break;
        plan->addEraseSector(uint8_t(sector));
    }
}

void T5Device::applyMigrations(Layout layout)
{
    const QStringList current = version().split(QLatin1Char('.'), Qt::KeepEmptyParts);
    uint8_t *bytes = bytesOf(config);
    if (layout == Layout::Old && isVersionBelow(current, QStringLiteral("5.2.14"))) {
        bytes[configMacroCountOffset] = 0;
        writeU16(bytes, configMacroTotalOffset, 0);
    }
    if (isVersionBelow(current, QStringLiteral("5.2.44")))
        bytes[configSetting7FOffset] = 0;
    if (isVersionBelow(current, QStringLiteral("5.0.0"))) {
        bytes[configSetting7EOffset] = 0x10;
        bytes[configSetting7FOffset] = 0;
        writeFactorySettings(bytes);
        bytes[configTailSettingsOffset] = 1;
        bytes[configTailSettingsOffset + 1] = 0;
        bytes[configTailSettingsOffset + 2] = 0;
    }
    if (isVersionBelow(current, QStringLiteral("5.3.0"))) {
        std::memset(bytes + configTailStartOffset, 0,
                    configTailEndOffset - configTailStartOffset + 1);
        bytes[configTailStartOffset] = startMark;
        bytes[configTailEndOffset] = endMark;
        bytes[configTailSetting21Offset] = 0;
        bytes[configTailSettingsOffset] = 1;
        bytes[configTailSettingsOffset + 1] = 0;
        bytes[configTailSettingsOffset + 2] = 0;
    }
}

void T5Device::runPlan(FlashPlan *plan)
{
    // A failed erase is reported; the write then shows what the flash took.
    eraseFlash(*plan);
    write2Flash(*plan);
}

void T5Device::updateFirmware(Layout layout, const QString &path, const QString &version)
{
    set_busying(true);
    {
        QMutexLocker exchange(exchangeMutex());
        const QByteArray image = getFirmwareData(path);
        const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
        const bool ok = !image.isEmpty() && parts.size() == 3;
        qInfo() << "=updateFirmware=" << ok;
        if (!ok) {
            emit error(tr("The firmware is empty!"));
            qDebug() << "updateFirmware Error! firmware_data.isEmpty" << image.isEmpty()
                     << "firmware_version.size is 3" << (parts.size() == 3) << parts;
        } else if (imageFitsLayout(layout, image.size())) {
            qWarning() << (layout == Layout::Old ? "updateFirmware_v1" : "updateFirmware_v2");
            std::unique_ptr<FlashPlan> plan(FlashPlan::create());
            applyMigrations(layout);

            const uint32_t imageBase =
                layout == Layout::Old ? oldLayoutImageBase : newLayoutImageBase;
            const uint32_t imageLength = uint32_t(image.size());
            describeImage(bytesOf(config), parts, imageBase, imageLength);

            plan->setSegment(0, configAddress, config);
            plan->addEraseSector(configSector);
            plan->setSegment(1, imageBase, imageWithEndMark(image));
            addImageSectors(plan.get(), layout, imageLength);
            plan->totalSize = configSizeBytes + imageLength + 2;

            runPlan(plan.get());
            plan.reset();
            updateVersion();
        }
    }
    set_busying(false);
    afterUpdate();
}

void T5Device::afterUpdate()
{
    Global *global = Global::instance();
    if (global->readConfig(Global::SetBootModeAfterUpdate, QString()).toString() ==
        QLatin1String("ON")) {
        bool isNumber = false;
        const int mode = global->readConfig(Global::BootMode, -1).toInt(&isNumber);
        if (isNumber && mode >= Auto && mode <= PS5_M7)
            applyBootMode(mode);
        else
            qWarning() << "Error: set boot mode after update but 'BootMode' not config!";
    }
    if (global->readConfig(Global::RebootAfterUpdate, QString()).toString() ==
        QLatin1String("ON")) {
        QMutexLocker exchange(exchangeMutex());
        // The adapter restarts at once and sends no reply.
        writeCMDData(MemoryFrame::request(wideFrameLayout, USB_CMD_REBOOT, 0, 4));
    }
}

void T5Device::restoreFirmwareFile(QString path, QString version)
{
    qDebug() << "T5Device::restoreFirmwareFile" << path << version;
    if (versionCompare(version, QStringLiteral("5.5.0")) < 0)
        restoreFactorySettings_v1(path, version);
    else
        restoreFactorySettings_v2(path, version);
    set_bootMode(Auto);
}

void T5Device::restoreFactorySettings_v1(const QString &path, const QString &version)
{
    restoreFactorySettings(Layout::Old, path, version);
}

void T5Device::restoreFactorySettings_v2(const QString &path, const QString &version)
{
    restoreFactorySettings(Layout::New, path, version);
}

void T5Device::restoreFactorySettings(Layout layout, const QString &path, const QString &version)
{
    set_busying(true);
    {
        QMutexLocker exchange(exchangeMutex());
        const QByteArray image = getFirmwareData(path);
        const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
        if (image.isEmpty() || parts.size() != 3) {
            qDebug() << "restoreFactorySettings Error! firmware_data.isEmpty" << image.isEmpty()
                     << "Device.isOpen" << BridgeUSB::instance()->isOpen()
                     << "firmware_version.size is 3" << (parts.size() == 3) << parts;
            // Nothing was written; the user has to learn that.
            emit error(tr("The firmware is empty!"));
        } else if (imageFitsLayout(layout, image.size())) {
            qWarning() << (layout == Layout::Old ? "restoreFactorySettings_v1"
                                                 : "restoreFactorySettings_v2");
            const bool oldLayout = layout == Layout::Old;
            const uint32_t imageBase = oldLayout ? oldLayoutImageBase : newLayoutImageBase;
            const uint32_t imageLength = uint32_t(image.size());
            const uint16_t blockMark = oldLayout ? oldLayoutMark : newLayoutMark;

            // The factory configuration, built from zero.
            QByteArray factory(int(configSizeBytes), '\0');
            uint8_t *bytes = bytesOf(factory);
            describeImage(bytes, parts, imageBase, imageLength);
            writeFactorySettings(bytes);
            bytes[configSetting7EOffset] = 0x10;
            bytes[configTailStartOffset] = startMark;
            writeU32(bytes, configTailSettingsOffset, 1);
            bytes[configTailEndOffset] = endMark;

            QByteArray blockA = emptyBlock(blockMark);
            for (int index = 3; index <= 8; ++index)
                blockA[index] = char(0xFF);

            std::unique_ptr<FlashPlan> plan(FlashPlan::create());
            int segment = 0;
            plan->setSegment(segment++, configAddress, factory);
            plan->addEraseSector(configSector);
            plan->setSegment(segment++, dataBlockAAddress, blockA);
            plan->addEraseSector(dataBlockASectors[0]);
            plan->setSegment(segment++, dataBlockBAddress, emptyBlock(blockMark));
            plan->addEraseSector(dataBlockBSector);
            if (!oldLayout) {
                plan->setSegment(segment++, macroBlockAddress, emptyBlock(newLayoutMark));
                plan->addEraseSector(macroBlockSector);
            }
            plan->setSegment(segment, imageBase, imageWithEndMark(image));
            addImageSectors(plan.get(), layout, imageLength);
            plan->totalSize = plan->sumOfSegmentSizes();

            runPlan(plan.get());
        }
        updateVersion();
    }
    set_busying(false);
}

// ---------------------------------------------------------------------------
// Data backup and restore

void T5Device::dataBackupFile(QString path)
{
    set_busying(true);
    {
        QMutexLocker exchange(exchangeMutex());
        QByteArray body(backupBodyBytes, '\0');
        const uint32_t length = versionCompare(version(), QStringLiteral("5.5.0")) < 0
                                    ? backupLengthOldLayout
                                    : backupLengthNewLayout;
        if (readFlash(backupStartAddress, length, bytesOf(body))) {
            QByteArray data = body + md5Of(body);
            scrambleWithSerialKey(&data, serialNumber());
            if (Global::saveFileWithResult(path, data) == Global::SaveResult::Failed) {
                qWarning() << "dataBackup Error!"
                           << "the file cannot be written" << path;
                emit error(tr("Data backup error!"));
            }
        } else {
            // Nothing is written: a backup must never hold a partial read.
            qWarning() << "dataBackup Error!";
            emit error(tr("Data backup error!"));
        }
    }
    set_busying(false);
}

void T5Device::dataRestoreFile(QString path)
{
    // Step 1: the file, decoded with this adapter's key.
    QByteArray data = Global::readFile(path);
    if (data.isEmpty()) {
        qWarning() << "dataRestore: the backup file is empty or cannot be read" << path;
        emit error(tr("The backup file is empty or cannot be read!"));
        return;
    }
    scrambleWithSerialKey(&data, serialNumber());

    // Step 2: the digest binds the file to this adapter and finds damage.
    const int payloadBytes = data.size() - backupDigestBytes;
    if (payloadBytes < 4 || md5Of(data.left(payloadBytes)) != data.right(backupDigestBytes)) {
        qWarning() << "Corrupted file/Unauthorized !";
        emit error(tr("Corrupted file unauthorized!"));
        return;
    }

    // Step 3: only the same or an older firmware generation can be restored.
    // The body starts with the saved configuration and its version bytes.
    const QString backupVersion = versionText(data);
    qDebug() << "dataRestore" << backupVersion;
    if (compareMajorMinor(backupVersion, version()) > 0) {
        qWarning().noquote()
            << QStringLiteral("Firmware data restore error( >= %1) !").arg(backupVersion);
        emit error(tr("Firmware data restore error!"));
        return;
    }

    // Step 4: the restore writes the new layout, whose macro block lies where
    // firmware below 5.5.0 keeps its image.
    if (versionCompare(version(), QStringLiteral("5.5.0")) < 0) {
        qWarning() << "dataRestore refused: the adapter runs firmware below 5.5.0" << version();
        emit error(tr("Update the adapter to firmware 5.5.0 or later first!"));
        return;
    }

    // The restore keeps this adapter's firmware description (bytes 1 to 0x41)
    // from the copy read at connection; a copy that is not a complete read
    // would leave the firmware undescribed.
    if (!configHoldsAdapterSettings()) {
        qWarning() << "dataRestore refused: the adapter's configuration was not read";
        emit error(tr("The adapter's settings could not be read!"));
        return;
    }

    qDebug() << "Firmware data restore ...";
    QByteArray body(backupBodyBytes, '\0');
    std::memcpy(body.data(), data.constData(), size_t(std::min(payloadBytes, backupBodyBytes)));

    set_busying(true);
    const bool compatible = compareMajorMinor(version(), backupVersion) == 0
                                ? true
                                : versionCompare(version(), QStringLiteral("5.6.0")) < 0;
    qInfo() << "dataRestore...." << version() << backupVersion << compatible;
    {
        QMutexLocker exchange(exchangeMutex());
        if (versionCompare(backupVersion, QStringLiteral("5.5.0")) < 0)
            restoreV1ToV2(body, compatible);
        else
            restoreV2ToV2(body, compatible);
    }
    set_busying(false);
}

bool T5Device::readRecords(const uint8_t *area, int areaBytes, int startOffset, int count,
                           QList<Record> *records)
{
    int offset = startOffset;
    for (int index = 0; index < count; ++index) {
        if (offset + recordFormatOffset + 1 > areaBytes)
            return false;
        const int length = readU16(area, offset);
        const int headerBytes = area[offset + recordFormatOffset] >= recordFormatV4
                                    ? recordHeaderBytesV4
                                    : recordHeaderBytesV3;
        if (length < headerBytes || offset + length > areaBytes)
            return false;
        records->append({offset, length});
        offset += length;
    }
    return true;
}

int T5Device::convertedLength(const uint8_t *area, const QList<Record> &records)
{
    int total = 0;
    for (const Record &record : records) {
        const bool alreadyV4 = area[record.offset + recordFormatOffset] >= recordFormatV4;
        total +=
            alreadyV4 ? record.length : record.length - recordHeaderBytesV3 + recordHeaderBytesV4;
    }
    return total;
}

int T5Device::convertRecords(const uint8_t *source, const QList<Record> &records, uint8_t *target,
                             bool logEachRecord)
{
    int written = 0;
    for (const Record &record : records) {
        const uint8_t *old = source + record.offset;
        uint8_t *converted = target + written;
        const uint8_t oldFormat = old[recordFormatOffset];
        if (oldFormat >= recordFormatV4) {
            // Already in the target format: converting again would push the
            // header into the body.
            std::memcpy(converted, old, size_t(record.length));
            written += record.length;
            continue;
        }
        const int bodyBytes = record.length - recordHeaderBytesV3;
        std::memcpy(converted, old, recordHeaderBytesV3);
        std::memset(converted + recordHeaderBytesV3, 0, recordHeaderBytesV4 - recordHeaderBytesV3);
        std::memcpy(converted + recordHeaderBytesV4, old + recordHeaderBytesV3, size_t(bodyBytes));
        const uint16_t newLength = uint16_t(bodyBytes + recordHeaderBytesV4);
        writeU16(converted, 0, newLength);
        converted[recordV4PlayModeOffset] = oldFormat >= 3 ? 0 : oldFormat == 2 ? 1 : 2;
        writeU16(converted, 2, 0);
        converted[recordFormatOffset] = recordFormatV4;
        if (logEachRecord) {
            const QByteArray firstBodyBytes(
                reinterpret_cast<const char *>(converted + recordHeaderBytesV4),
                std::min(bodyBytes, 10));
            qWarning() << "restoreV2ToV2" << recordHeaderBytesV4 << readU16(old, 0x39)
                       << (macroHeaderBytes + written + recordHeaderBytesV4)
                       << firstBodyBytes.toHex();
            const char *name = reinterpret_cast<const char *>(old + recordNameOffset);
            const int nameBytes =
                int(strnlen(name, size_t(recordHeaderBytesV3 - recordNameOffset)));
            qWarning() << "restoreV2ToV2  mmacro v1 to v4" << QString::fromUtf8(name, nameBytes)
                       << newLength;
        }
        written += newLength;
    }
    return written;
}

bool T5Device::fillBlockSegment(FlashPlan *plan, int index, uint32_t address,
                                const QByteArray &body, int bodyOffset, bool rewriteMark)
{
    const uint32_t areaBytes =
        address == dataBlockAAddress ? dataBlockAAreaBytes : dataBlockBAreaBytes;
    const uint16_t length = readU16(bytesOf(body), bodyOffset);
    if (length < 2 || length > areaBytes) {
        qWarning() << "dataRestore: data block length" << length << "does not fit its" << areaBytes
                   << "bytes";
        return false;
    }
    QByteArray block = body.mid(bodyOffset, length);
    if (rewriteMark)
        writeU16(bytesOf(block), length - 2, newLayoutMark);
    return plan->setSegment(index, address, block);
}

void T5Device::keepFirmwareDescription(uint8_t *newConfig) const
{
    std::memcpy(newConfig + 1, bytesOf(config) + 1, configValidMarkOffset + 2 - 1);
    newConfig[configStartMarkOffset] = startMark;
    newConfig[configEndMarkOffset] = endMark;
}

void T5Device::closeMacroBlock(uint8_t *block, int count, int total)
{
    block[macroCountOffset] = uint8_t(count);
    writeU16(block, macroTotalOffset, uint16_t(total));
    writeU16(block, macroHeaderBytes + total, newLayoutMark);
    writeU16(block, 0, uint16_t(macroHeaderBytes + total + 2));
}

void T5Device::restoreV1ToV2(const QByteArray &body, bool compatible)
{
    qWarning() << "restoreV1ToV2";
    const auto refuse = [this]() {
        qWarning() << "restoreV1ToV2: the backup holds an area that runs past its bounds";
        emit error(tr("The backup file holds damaged data!"));
    };
    if (body.size() < backupBodyBytes) {
        refuse();
        return;
    }
    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    const uint8_t *savedConfig = bytesOf(body);

    // Slot 0: the saved settings around this adapter's firmware description.
    QByteArray newConfig(int(configSizeBytes), '\0');
    uint8_t *configBytes = bytesOf(newConfig);
    std::memcpy(configBytes + 0x42, savedConfig + 0x42, 0xE3 - 0x42 + 1);
    std::memcpy(configBytes + configTailStartOffset, savedConfig + configTailStartOffset,
                configTailEndOffset - configTailStartOffset + 1);
    keepFirmwareDescription(configBytes);
    plan->setSegment(0, configAddress, newConfig);
    plan->addEraseSector(configSector);

    // Slots 1 and 2: the data blocks with the new-layout mark.
    if (!fillBlockSegment(plan.get(), 1, dataBlockAAddress, body, backupDataBlockAOffset, true) ||
        !fillBlockSegment(plan.get(), 2, dataBlockBAddress, body, backupDataBlockBOffset, true)) {
        refuse();
        return;
    }
    plan->addEraseSector(dataBlockASectors[0]);
    plan->addEraseSector(dataBlockASectors[1]);
    plan->addEraseSector(dataBlockBSector);

    // Slot 3: a macro block made of the records kept in the old configuration.
    const int count = savedConfig[configMacroCountOffset];
    QList<Record> records;
    if (!readRecords(savedConfig, int(configSizeBytes), configMacroRecordsOffset, count,
                     &records)) {
        refuse();
        return;
    }
    int total = 0;
    for (const Record &record : records)
        total += record.length;
    const bool convert = !compatible && count > 0;
    if (convert)
        total = convertedLength(savedConfig, records);
    // The block length is a u16 and the block must fit its sector.
    if (macroHeaderBytes + total + 2 > 0xFFFF) {
        refuse();
        return;
    }
    QByteArray macro(macroHeaderBytes + total + 2, '\0');
    uint8_t *macroBytes = bytesOf(macro);
    if (convert) {
        qWarning() << "is not compatible version";
        convertRecords(savedConfig, records, macroBytes + macroHeaderBytes, false);
    } else {
        std::memcpy(macroBytes + macroHeaderBytes, savedConfig + configMacroRecordsOffset,
                    size_t(total));
    }
    closeMacroBlock(macroBytes, count, total);
    plan->setSegment(3, macroBlockAddress, macro);
    plan->addEraseSector(macroBlockSector);

    plan->totalSize = plan->sumOfSegmentSizes();
    runPlan(plan.get());
}

void T5Device::restoreV2ToV2(const QByteArray &body, bool compatible)
{
    const auto refuse = [this]() {
        qWarning() << "restoreV2ToV2: the backup holds an area that runs past its bounds";
        emit error(tr("The backup file holds damaged data!"));
    };
    if (body.size() < backupBodyBytes) {
        refuse();
        return;
    }
    std::unique_ptr<FlashPlan> plan(FlashPlan::create());

    // Slot 0: the saved configuration around this adapter's firmware description.
    QByteArray newConfig = body.left(int(configSizeBytes));
    uint8_t *configBytes = bytesOf(newConfig);
    keepFirmwareDescription(configBytes);
    qWarning() << "restoreV2ToV2" << configBytes[1] << configBytes[2] << configBytes[3];
    plan->setSegment(0, configAddress, newConfig);
    plan->addEraseSector(configSector);

    // Slots 1 and 2: the data blocks as saved.
    if (!fillBlockSegment(plan.get(), 1, dataBlockAAddress, body, backupDataBlockAOffset, false) ||
        !fillBlockSegment(plan.get(), 2, dataBlockBAddress, body, backupDataBlockBOffset, false)) {
        refuse();
        return;
    }
    plan->addEraseSector(dataBlockASectors[0]);
    plan->addEraseSector(dataBlockASectors[1]);
    plan->addEraseSector(dataBlockBSector);

    // Slot 3: the macro block, converted when the generations differ.
    const uint8_t *savedMacro = bytesOf(body) + backupMacroBlockOffset;
    const int count = savedMacro[macroCountOffset];
    QByteArray macro;
    if (compatible || count == 0) {
        const int length = readU16(savedMacro, 0);
        if (length < macroHeaderBytes + 2) {
            refuse();
            return;
        }
        macro = body.mid(backupMacroBlockOffset, length);
    } else {
        qWarning() << "is not compatible version";
        QList<Record> records;
        if (!readRecords(savedMacro, int(macroBlockAreaBytes), macroHeaderBytes, count, &records)) {
            refuse();
            return;
        }
        const int total = convertedLength(savedMacro, records);
        if (macroHeaderBytes + total + 2 > 0xFFFF) {
            refuse();
            return;
        }
        macro = QByteArray(macroHeaderBytes + total + 2, '\0');
        uint8_t *macroBytes = bytesOf(macro);
        std::memcpy(macroBytes, savedMacro, macroHeaderBytes);
        convertRecords(savedMacro, records, macroBytes + macroHeaderBytes, true);
        closeMacroBlock(macroBytes, count, total);
    }
    plan->setSegment(3, macroBlockAddress, macro);
    plan->addEraseSector(macroBlockSector);

    plan->totalSize = plan->sumOfSegmentSizes();
    runPlan(plan.get());
}
