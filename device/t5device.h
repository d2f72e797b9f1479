#pragma once

#include "basedevice.h"
#include "settingscopystore.h"
#include "t5flashlayout.h"

#include <QByteArray>
#include <QDateTime>
#include <QFuture>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>

// The T5 adapter: its command protocol, flash layouts, firmware update,
// factory restore and user-data backup.
//
// Every operation starts from a complete read of the adapter's state (serial
// number, configuration sector, block and firmware marks) taken from the
// adapter that is open now: a connection read still running is waited for,
// and the state is read again when the last read was cut short or the
// adapter was opened again since. Before anything that erases settings or
// user data, what will be erased is saved on this computer (SettingsCopyStore).
class T5Device : public BaseDevice
{
    Q_OBJECT
public:
    // Command and reply codes.
    static constexpr uint32_t USB_CMD_ERASE = 0x55;
    static constexpr uint32_t USB_CMD_READ = 0x56;
    static constexpr uint32_t USB_CMD_WRITE = 0x57;
    static constexpr uint32_t USB_ACK_DATA = 0x58;
    static constexpr uint32_t USB_ACK_ERASE = 0x59;
    static constexpr uint32_t USB_CMD_RUN_STATUS = 0x5D;
    static constexpr uint32_t USB_CMD_REBOOT = 0x61;
    static constexpr uint32_t runStatusLengthBytes = 4;

    explicit T5Device(QObject *parent = nullptr);
    ~T5Device() override;

    Q_INVOKABLE bool tryConnected() override;
    Q_INVOKABLE void syncFirmwareInformation() override;
    Q_INVOKABLE void setBootMode(BootMode mode) override;
    Q_INVOKABLE void dataBackupFile(QString path) override;
    Q_INVOKABLE void dataRestoreFile(QString path) override;
    Q_INVOKABLE void updateFirmwareFile(QString path, QString version) override;
    Q_INVOKABLE void restoreFirmwareFile(QString path, QString version) override;

    // Writes back the newest settings saved on this computer for this
    // adapter, carried over to the firmware it runs now. True when written.
    bool restoreSavedSettings();

    // Technicians may install an image whose start does not look like an
    // STM32F4 application (the command line's --force); the window never.
    void setImageCheckEnabled(bool enabled);

    // Protocol primitives.
    bool readFlash(uint32_t address, uint32_t length, uint8_t *buffer, bool reportProgress = true);
    void updateVersion();
    void updateRunStatus();
    void applyBootMode(int mode);
    void afterUpdate();
    static bool isVersionBelow(const QStringList &current, const QString &threshold);

    // Copies of what was last read from the adapter (safe from any thread).
    QByteArray configBlock() const;
    uint16_t firmwareEndMarkRead() const;
    uint16_t dataBlockAMarkRead() const;
    uint16_t dataBlockBMarkRead() const;
    // The last state read was complete and came from the adapter open now.
    bool stateIsCurrent() const;

    SettingsCopyStore settingsCopyStore() const;

protected:
    QString transferLogPrefix() const override { return QStringLiteral("T5Device "); }

private:
    using Layout = T5FlashLayout::Layout;
    using VersionBytes = std::array<uint8_t, 3>;

    // What a status read found; replaced whole under the state lock.
    struct AdapterState
    {
        QByteArray info;
        QByteArray config;
        uint16_t firmwareMark = 0;
        uint16_t markA = 0;
        uint16_t markB = 0;
        bool infoValid = false;
        // Every read of the status read was answered.
        bool readComplete = false;
        // BridgeUSB::openGeneration() when the read began.
        quint64 generation = 0;
    };

    // Firmware input checked before any exchange.
    struct PreparedImage
    {
        QByteArray image;
        VersionBytes version{};
        Layout layout = Layout::New;
    };

    enum class WriteOutcome { Written, EraseFailed, WriteFailed };

    void onConnectedChanged(bool isConnected);
    void startConnectionRead();
    // The connection read: the version read, then the status read.
    void readAdapterState(bool reportProgress);
    void readStatus(bool reportProgress, std::optional<quint64> generation = std::nullopt);
    bool readRunStatus();
    AdapterState state() const;
    void setState(const AdapterState &newState);
    void updateConfigCopy(const QByteArray &config);

    // Prepare step of the update and the factory restore: no I/O.
    std::optional<PreparedImage> prepareImage(const QString &path, const QString &version,
                                              bool factoryRestore);
    // Runs with the operation lock held. True when the state is complete and
    // from the adapter whose serial number the window shows; otherwise the
    // user has been told.
    bool ensureCurrentState();
    // The settings an operation carries over: the adapter's configuration
    // when it is whole, else the newest saved copy. Empty when neither.
    QByteArray settingsToCarryOver(QString *restoredFrom) const;
    // Saves the sections an operation is about to erase; tells the user and
    // returns false when that fails.
    bool saveBeforeErasing(const QString &operation, bool withDataBlocks, bool withMacroBlock);

    WriteOutcome runPlan(FlashPlan *plan);
    bool eraseFlash(const FlashPlan &plan);
    bool write2Flash(const FlashPlan &plan);
    // Reads the adapter back after a write: state complete, configuration
    // as written and firmware end mark in place.
    bool verifyAfterWrite(const QByteArray &writtenConfig, bool expectFirmware);

    bool updateFirmware(const QString &path, const QString &version);
    bool restoreFactorySettings(const QString &path, const QString &version);
    void restoreData(const QString &path);
    bool writeSavedSettings();
    QString describeSavedAt(const QDateTime &savedAtUtc) const;
    // The newest copy saved for that adapter, if it holds a whole
    // configuration sector.
    std::optional<SettingsCopyStore::Copy> savedSettings(const QString &serial) const;

    mutable QMutex stateLock;
    AdapterState m_state;
    // Held by the connection read and by every operation for its whole run,
    // so their exchanges never interleave. Only pool threads take it.
    QMutex operationLock;
    std::atomic<bool> imageCheckEnabled{true};
};
