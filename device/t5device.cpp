#include "t5device.h"

#include "bridgeusb.h"
#include "brivanelogging.h"
#include "global.h"
#include "t5configuration.h"

#include <QDebug>
#include <QLocale>
#include <QMutexLocker>
#include <QPointer>

#include <cstring>
#include <memory>

using namespace LittleEndian;
using namespace T5FlashLayout;

// ---------------------------------------------------------------------------
// Construction and connection

T5Device::T5Device(QObject *parent) : BaseDevice(parent)
{
    m_state.info = QByteArray(int(infoSizeBytes), '\0');
    m_state.config = QByteArray(int(configSizeBytes), '\0');
    set_bootMode(Auto);
    set_image(QStringLiteral("qrc:/images/T5.png"));
    connect(this, &BaseDevice::connectedChanged, this, &T5Device::onConnectedChanged);
}

T5Device::~T5Device()
{
    // The pool tasks use this object: they stop at their next exchange, and
    // the object outlives them.
    requestStop();
    waitForBackgroundTasks();
}

bool T5Device::tryConnected()
{
    setVPID(Brivane_VID, Brivane_PID_T5);
    const bool wasConnected = connected();
    QPointer<T5Device> self(this);
    // The open may wait for the transport while another thread exchanges,
    // and retries after a second: it runs on the pool while this thread
    // keeps processing events.
    const bool opened = openAdapter(Brivane_VID, Brivane_PID_T5, -1);
    if (!self)
        return false;
    set_connected(opened);
    // An adapter opened again while connected may have been unplugged and
    // replaced meanwhile: its state is read again.
    if (opened && wasConnected)
        startConnectionRead();
    return opened;
}

void T5Device::syncFirmwareInformation()
{
    pulseBusy();
}

void T5Device::onConnectedChanged(bool isConnected)
{
    qDebug() << "T5Device::connectedChanged" << isConnected;
    if (isConnected) {
        startConnectionRead();
    } else {
        set_version(QString());
        set_serialNumber(QString());
        QMutexLocker locker(&stateLock);
        m_state.readComplete = false;
    }
}

void T5Device::startConnectionRead()
{
    startStateRead([this]() {
        // Held for the whole read: it runs without busying, so an operation
        // started meanwhile waits for it instead of mixing its reports in.
        QMutexLocker operation(&operationLock);
        if (!stopping())
            readAdapterState(true);
    });
}

void T5Device::setImageCheckEnabled(bool enabled)
{
    imageCheckEnabled.store(enabled);
}

T5Device::AdapterState T5Device::state() const
{
    QMutexLocker locker(&stateLock);
    return m_state;
}

void T5Device::setState(const AdapterState &newState)
{
    QMutexLocker locker(&stateLock);
    m_state = newState;
}

void T5Device::updateConfigCopy(const QByteArray &config)
{
    QMutexLocker locker(&stateLock);
    m_state.config = config;
}

QByteArray T5Device::configBlock() const
{
    return state().config;
}

uint16_t T5Device::firmwareEndMarkRead() const
{
    return state().firmwareMark;
}

uint16_t T5Device::dataBlockAMarkRead() const
{
    return state().markA;
}

uint16_t T5Device::dataBlockBMarkRead() const
{
    return state().markB;
}

bool T5Device::stateIsCurrent() const
{
    const AdapterState current = state();
    return current.readComplete && current.infoValid &&
           current.generation == BridgeUSB::instance()->openGeneration();
}

SettingsCopyStore T5Device::settingsCopyStore() const
{
    return SettingsCopyStore();
}

bool T5Device::isVersionBelow(const QStringList &current, const QString &threshold)
{
    return T5Configuration::isVersionBelow(current, threshold);
}

// ---------------------------------------------------------------------------
// Protocol primitives

bool T5Device::readFlash(uint32_t address, uint32_t length, uint8_t *buffer, bool reportProgress)
{
    return readChunks(wideFrameLayout, USB_CMD_READ, address, length, buffer, reportProgress);
}

bool T5Device::eraseFlash(const FlashPlan &plan)
{
    // Flash whose erase was not confirmed is never written: programming can
    // only clear bits, so writing over the old contents would damage them
    // (and an intact firmware with them).
    if (eraseSectorList(USB_CMD_ERASE, USB_ACK_ERASE, plan.eraseSectors, plan.eraseCount) ==
        EraseOutcome::Acknowledged)
        return true;
    emit error(tr("Erase error!"));
    return false;
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

T5Device::WriteOutcome T5Device::runPlan(FlashPlan *plan)
{
    if (!eraseFlash(*plan))
        return WriteOutcome::EraseFailed;
    return write2Flash(*plan) ? WriteOutcome::Written : WriteOutcome::WriteFailed;
}

void T5Device::updateVersion()
{
    const uint32_t chunkBytes = uint32_t(wideFrameLayout.maxDataBytes);
    QByteArray config = state().config;
    uint32_t copied = 0;
    uint32_t address = configAddress;
    while (copied < configSizeBytes) {
        // Always a full chunk; only the bytes still needed are kept.
        const MemoryFrame request =
            MemoryFrame::request(wideFrameLayout, USB_CMD_READ, address, chunkBytes);
        MemoryFrame reply;
        ExchangeStatus status = ExchangeStatus::NotOpen;
        if (!exchangeFrame(request, &reply, &status)) {
            if (status == ExchangeStatus::NotOpen || status == ExchangeStatus::WriteFailed)
                qWarning() << "updateVersion write error !!!";
            else
                qWarning() << "updateVersion read error !!!";
            break;
        }
        if (reply.code() != USB_ACK_DATA || reply.address() != address ||
            reply.length() != chunkBytes) {
            qWarning() << "updateVersion Error" << Qt::hex << address << reply.address();
            break;
        }
        const uint32_t needed = std::min(configSizeBytes - copied, chunkBytes);
        std::memcpy(bytesOf(&config) + copied, reply.data(), needed);
        copied += needed;
        address += chunkBytes;
    }
    updateConfigCopy(config);
    set_version(T5Configuration::versionText(config));
}

bool T5Device::readRunStatus()
{
    uint8_t status[runStatusLengthBytes] = {};
    MemoryFrame reply;
    const bool answered = exchangeFrame(
        MemoryFrame::request(wideFrameLayout, USB_CMD_RUN_STATUS, 0, runStatusLengthBytes), &reply);
    const bool valid = reply.code() == USB_CMD_RUN_STATUS && reply.length() == runStatusLengthBytes;
    if (valid)
        std::memcpy(status, reply.data(), runStatusLengthBytes);
    else
        qWarning() << "getRunStatus Error!!!";
    qDebug() << "updateRunStatus" << status[0];
    // The status itself is not used; only an adapter that did not answer
    // makes the read incomplete.
    return answered;
}

void T5Device::updateRunStatus()
{
    readStatus(true);
}

void T5Device::readAdapterState(bool reportProgress)
{
    // The generation is taken before the first request: an adapter opened
    // again while the read runs makes the read out of date at once.
    const quint64 generation = BridgeUSB::instance()->openGeneration();
    updateVersion();
    readStatus(reportProgress, generation);
}

void T5Device::readStatus(bool reportProgress, std::optional<quint64> generation)
{
    const AdapterState previous = state();
    AdapterState next = previous;
    next.generation = generation ? *generation : BridgeUSB::instance()->openGeneration();
    next.readComplete = false;
    next.infoValid = false;

    // Step 1: run status (logged only).
    bool complete = readRunStatus();

    // Step 2: the factory information block with the serial number.
    QByteArray info(int(infoSizeBytes), '\0');
    complete = readFlash(infoAddress, infoSizeBytes, bytesOf(&info), reportProgress) && complete;
    next.info = info;
    const uint8_t *infoBytes = bytesOf(info);
    if (infoBytes[0] != startMark || infoBytes[infoEndMarkOffset] != endMark) {
        qWarning() << "Hardware failure!";
        next.config = state().config;
        setState(next);
        return;
    }
    next.infoValid = true;

    // Steps 3 and 4: end marks of the data blocks. A length of 0 or 1 would
    // put the mark before the block, so such a block counts as broken.
    uint8_t blockHead[64] = {};
    complete =
        readFlash(dataBlockAAddress, sizeof blockHead, blockHead, reportProgress) && complete;
    uint16_t length = readU16(blockHead, 0);
    next.markA = 0;
    if (length >= 2 && length < dataBlockAAreaBytes) {
        uint8_t mark[2] = {};
        complete = readFlash(dataBlockAAddress + length - 2, 2, mark, reportProgress) && complete;
        next.markA = readU16(mark, 0);
    }
    std::memset(blockHead, 0, sizeof blockHead);
    complete =
        readFlash(dataBlockBAddress, sizeof blockHead, blockHead, reportProgress) && complete;
    length = readU16(blockHead, 0);
    next.markB = 0;
    if (length >= 2 && length <= dataBlockBAreaBytes) {
        uint8_t mark[2] = {};
        complete = readFlash(dataBlockBAddress + length - 2, 2, mark, reportProgress) && complete;
        next.markB = readU16(mark, 0);
    }

    // Step 5: the configuration sector.
    QByteArray config(int(configSizeBytes), '\0');
    const bool configRead =
        readFlash(configAddress, configSizeBytes, bytesOf(&config), reportProgress);
    complete = configRead && complete;
    next.config = configRead ? config : state().config;
    const uint8_t *configBytes = bytesOf(next.config);

    // A sector a cut write left without its valid mark no longer says where
    // the firmware lies; the copy saved on this computer before that write
    // still does, and holds the settings the next write brings back.
    const QString serial = QString::fromLatin1(info.mid(infoSerialOffset, infoSerialBytes).toHex());
    const bool configWhole = configRead && T5Configuration::isComplete(next.config);
    std::optional<SettingsCopyStore::Copy> savedCopy;
    QByteArray savedConfig;
    if (configRead && !configWhole) {
        qWarning() << "the adapter's configuration sector is damaged or empty";
        savedCopy = savedSettings(serial);
        if (savedCopy)
            savedConfig = savedCopy->section(configAddress)->bytes;
    }
    QByteArray describing;
    if (configRead && readU16(configBytes, configValidMarkOffset) == configValidMark)
        describing = next.config;
    else if (!savedConfig.isEmpty())
        describing = savedConfig;

    // Step 6: layout, block marks and firmware end mark.
    if (!describing.isEmpty()) {
        set_version(T5Configuration::versionText(describing));
        const uint32_t imageLength = readU32(bytesOf(describing), configImageLengthOffset);
        const bool newLayout = T5Configuration::layoutForVersion(version()) == Layout::New &&
                               imageLength < newLayoutImageLengthLimit;
        const uint16_t expectedMark = newLayout ? newLayoutMark : oldLayoutMark;
        const uint32_t imageBase = newLayout ? newLayoutImageBase : oldLayoutImageBase;
        if (next.markB != expectedMark || next.markA != expectedMark)
            qWarning() << "DeviceError_ConfigurationLost";
        uint8_t mark[2] = {};
        complete = readFlash(imageBase + imageLength, 2, mark, reportProgress) && complete;
        next.firmwareMark = readU16(mark, 0);
        qDebug() << "Version:" << version() << Qt::hex << next.firmwareMark << next.markA
                 << next.markB;
    } else {
        qDebug() << "firmware_info :" << Qt::hex << readU16(configBytes, configValidMarkOffset)
                 << configBytes[0];
    }

    // A model being destroyed reads nothing more and tells nothing: its
    // exchanges failed on purpose.
    if (stopping())
        return;

    // Step 7: an image without its end mark is no usable firmware.
    if (next.firmwareMark != firmwareEndMark) {
        set_version(QString());
        qWarning() << "Firmware lost!";
        emit error(tr("Firmware lost!"));
    }

    // Steps 8 and 9: serial number and boot mode; for damaged settings the
    // mode the next write brings back.
    next.readComplete = complete;
    setState(next);
    set_serialNumber(serial);
    set_bootMode(
        T5Configuration::storedBootMode(savedConfig.isEmpty() ? next.config : savedConfig));
    if (reportProgress && !savedConfig.isEmpty())
        emit error(tr("The adapter's settings are damaged. The next update writes back the "
                      "copy saved on %1.")
                       .arg(describeSavedAt(savedCopy->savedAtUtc)));
}

QString T5Device::describeSavedAt(const QDateTime &savedAtUtc) const
{
    return QLocale().toString(savedAtUtc.toLocalTime(), QLocale::ShortFormat);
}

// ---------------------------------------------------------------------------
// Preconditions and settings copies

bool T5Device::ensureCurrentState()
{
    const QString shownSerial = serialNumber();
    if (!stateIsCurrent())
        readAdapterState(true);
    const AdapterState current = state();
    if (!stateIsCurrent()) {
        qWarning() << "T5Device: the adapter's state could not be read completely"
                   << current.readComplete << current.infoValid;
        emit error(tr("The adapter could not be read completely!"));
        return false;
    }
    if (!shownSerial.isEmpty() && serialNumber() != shownSerial) {
        qWarning() << "T5Device: adapter" << shownSerial << "was replaced by" << serialNumber();
        emit error(tr("Another adapter was plugged in; check the adapter and try again!"));
        return false;
    }
    return true;
}

QByteArray T5Device::settingsToCarryOver(QString *restoredFrom) const
{
    const QByteArray config = state().config;
    if (T5Configuration::isComplete(config))
        return config;
    const auto copy = savedSettings(serialNumber());
    if (!copy)
        return {};
    if (restoredFrom)
        *restoredFrom = describeSavedAt(copy->savedAtUtc);
    qWarning() << "T5Device: the adapter's settings come from the copy" << copy->filePath;
    return copy->section(configAddress)->bytes;
}

std::optional<SettingsCopyStore::Copy> T5Device::savedSettings(const QString &serial) const
{
    std::optional<SettingsCopyStore::Copy> copy =
        settingsCopyStore().newest(QStringLiteral("T5"), serial);
    const SettingsCopyStore::Section *saved = copy ? copy->section(configAddress) : nullptr;
    if (!saved || !T5Configuration::isComplete(saved->bytes))
        return std::nullopt;
    return copy;
}

bool T5Device::saveBeforeErasing(const QString &operation, bool withDataBlocks, bool withMacroBlock)
{
    const AdapterState current = state();
    SettingsCopyStore::Copy copy;
    copy.model = QStringLiteral("T5");
    copy.serialNumber = serialNumber();
    copy.operation = operation;
    // A damaged read is never saved: it would only push good copies out.
    if (T5Configuration::isComplete(current.config)) {
        copy.firmwareVersion = T5Configuration::versionText(current.config);
        copy.sections.append({configAddress, current.config});
    }
    const auto readBlock = [&](uint32_t address, uint32_t areaBytes, uint32_t minimumBytes,
                               const QList<uint16_t> &marks) {
        // Silent reads: the operation's one progress run is its write.
        uint8_t head[2] = {};
        if (!readFlash(address, 2, head, false))
            return false;
        const uint16_t length = readU16(head, 0);
        if (length < minimumBytes || length > areaBytes)
            return true; // nothing whole to save
        QByteArray block(length, '\0');
        if (!readFlash(address, length, bytesOf(&block), false))
            return false;
        if (marks.contains(readU16(bytesOf(block), length - 2)))
            copy.sections.append({address, block});
        return true;
    };
    bool readOk = true;
    if (withDataBlocks) {
        readOk =
            readBlock(dataBlockAAddress, dataBlockAAreaBytes, 2, {oldLayoutMark, newLayoutMark}) &&
            readBlock(dataBlockBAddress, dataBlockBAreaBytes, 2, {oldLayoutMark, newLayoutMark});
    }
    if (readOk && withMacroBlock)
        readOk = readBlock(macroBlockAddress, macroBlockAreaBytes, emptyBlockLengthBytes,
                           {newLayoutMark});
    if (!readOk) {
        qWarning() << "T5Device: the data to be erased could not be read; nothing is erased";
        emit error(tr("The adapter could not be read completely!"));
        return false;
    }
    if (copy.sections.isEmpty())
        return true;
    QString reason;
    if (!settingsCopyStore().save(&copy, &reason)) {
        qCWarning(brivaneSetup).noquote() << "settings copy not saved:" << reason;
        emit error(tr("The settings could not be saved on this computer; nothing was written!"));
        return false;
    }
    qInfo().noquote() << "T5Device: settings saved to" << copy.filePath;
    return true;
}

bool T5Device::verifyAfterWrite(const QByteArray &writtenConfig, bool expectFirmware)
{
    readAdapterState(false);
    const AdapterState current = state();
    if (!current.readComplete || !current.infoValid) {
        emit error(tr("The adapter could not be read completely!"));
        return false;
    }
    if (current.config != writtenConfig) {
        qWarning() << "T5Device: the configuration read back differs from the one written";
        emit error(tr("Write to flash data verify error!"));
        return false;
    }
    return !expectFirmware || current.firmwareMark == firmwareEndMark;
}

// ---------------------------------------------------------------------------
// Boot mode

void T5Device::setBootMode(BootMode mode)
{
    runInBackground([this, mode]() { applyBootMode(mode); });
}

void T5Device::applyBootMode(int mode)
{
    if (mode < Auto || mode > Q8LINK || mode == bootMode())
        return;
    const int previousMode = bootMode();
    set_bootMode(mode);
    set_busying(true);
    bool written = false;
    {
        QMutexLocker operation(&operationLock);
        QString restoredFrom;
        const bool stateRead = ensureCurrentState();
        const QByteArray base = stateRead ? settingsToCarryOver(&restoredFrom) : QByteArray();
        if (stateRead && base.isEmpty()) {
            qWarning() << "applyBootMode refused: the adapter's configuration was not read" << mode;
            emit error(tr("The adapter's settings could not be read!"));
        } else if (stateRead && saveBeforeErasing(QStringLiteral("boot-mode"), false, false)) {
            QByteArray newConfig = base;
            newConfig[configBootModeOffset] = char(mode);
            std::unique_ptr<FlashPlan> plan(FlashPlan::create());
            plan->setSegment(0, configAddress, newConfig);
            plan->addEraseSector(configSector);
            plan->totalSize = configSizeBytes;
            written = runPlan(plan.get()) == WriteOutcome::Written;
            if (written) {
                // Every chunk was echoed as written: the copy is the adapter's
                // configuration now, so a later update carries this mode over.
                updateConfigCopy(newConfig);
                if (!restoredFrom.isEmpty())
                    emit message(tr("The adapter's settings were restored from the copy saved "
                                    "on %1.")
                                     .arg(restoredFrom));
            } else {
                QMutexLocker locker(&stateLock);
                m_state.readComplete = false;
            }
        }
    }
    // The state read may have shown the stored mode meanwhile; a mode that
    // was not written is not shown as the adapter's.
    set_bootMode(written ? mode : previousMode);
    set_busying(false);
}

// ---------------------------------------------------------------------------
// After an update

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
        // The adapter restarts at once and sends no reply; what it holds
        // afterwards is read again before the next operation.
        sendFrame(MemoryFrame::request(wideFrameLayout, USB_CMD_REBOOT, 0, 4));
        QMutexLocker locker(&stateLock);
        m_state.readComplete = false;
    }
}
