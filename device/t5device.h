#pragma once

#include "basedevice.h"

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

// The T5 adapter: its command protocol, flash layouts, firmware update,
// factory restore and user-data backup.
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

    // Flash map.
    static constexpr uint32_t infoAddress = 0x08003FC0;
    static constexpr uint32_t infoSizeBytes = 64;
    static constexpr uint32_t configAddress = 0x08004000;
    static constexpr uint32_t configSizeBytes = 0x4000;
    static constexpr uint32_t dataBlockAAddress = 0x08008000;
    static constexpr uint32_t dataBlockAAreaBytes = 0x8000;
    static constexpr uint32_t dataBlockBAddress = 0x08010000;
    static constexpr uint32_t dataBlockBAreaBytes = 0x10000;
    static constexpr uint32_t macroBlockAddress = 0x08020000;
    static constexpr uint32_t macroBlockAreaBytes = 0x20000;
    static constexpr uint32_t oldLayoutImageBase = 0x08020000;
    static constexpr uint32_t newLayoutImageBase = 0x08040000;
    // Flash the image and its end mark may occupy in each layout.
    static constexpr uint32_t oldLayoutImageAreaBytes = 0x40000;
    static constexpr uint32_t newLayoutImageAreaBytes = 0xC0000;
    // A stored image this long or longer cannot be a new-layout image.
    static constexpr uint32_t newLayoutImageLengthLimit = 0xE0000;
    static constexpr uint8_t configSector = 1;
    static constexpr uint8_t dataBlockASectors[2] = {2, 3};
    static constexpr uint8_t dataBlockBSector = 4;
    static constexpr uint8_t macroBlockSector = 5;
    static constexpr uint8_t firstNewLayoutImageSector = 6;
    static constexpr uint8_t lastFlashSector = 11;
    static constexpr int largeSectorShift = 17; // 128 KiB sectors

    // Integrity marks.
    static constexpr uint8_t startMark = 0x55;
    static constexpr uint8_t endMark = 0xAA;
    static constexpr uint16_t oldLayoutMark = 0xAA55;
    static constexpr uint16_t newLayoutMark = 0x55AA;
    static constexpr uint16_t firmwareEndMark = 0xAA55;
    static constexpr uint16_t configValidMark = 0xAA55;

    // T5Info offsets.
    static constexpr int infoSerialOffset = 1;
    static constexpr int infoSerialBytes = 12;
    static constexpr int infoEndMarkOffset = 63;

    // T5Config offsets.
    static constexpr int configStartMarkOffset = 0x0000;
    static constexpr int configVersionOffset = 0x0001;
    static constexpr int configImageAddressOffset = 0x0004;
    static constexpr int configImageLengthOffset = 0x0008;
    static constexpr int configValidMarkOffset = 0x0040;
    static constexpr int configSettingsOffset = 0x0046; // five u16
    static constexpr int configSetting7EOffset = 0x007E;
    static constexpr int configSetting7FOffset = 0x007F;
    static constexpr int configBootModeOffset = 0x0082;
    static constexpr int configMacroCountOffset = 0x0124;
    static constexpr int configMacroTotalOffset = 0x0125;
    static constexpr int configMacroRecordsOffset = 0x0164;
    static constexpr int configTailStartOffset = 0x3F1D;
    static constexpr int configTailSettingsOffset = 0x3F1E;
    static constexpr int configTailSetting21Offset = 0x3F21;
    static constexpr int configTailEndOffset = 0x3FFE;
    static constexpr int configEndMarkOffset = 0x3FFF;

    // Data blocks and macro block.
    static constexpr uint16_t emptyBlockLengthBytes = 66;
    static constexpr int macroHeaderBytes = 64;
    static constexpr int macroCountOffset = 2;
    static constexpr int macroTotalOffset = 3;

    // Macro records.
    static constexpr int recordFormatOffset = 4;
    static constexpr int recordNameOffset = 5;
    static constexpr int recordHeaderBytesV3 = 85;
    static constexpr int recordHeaderBytesV4 = 132;
    static constexpr int recordV4PlayModeOffset = 0x54;
    static constexpr uint8_t recordFormatV4 = 4;

    // Backup file.
    static constexpr int backupBodyBytes = 0x3C400;
    static constexpr int backupDigestBytes = 16;
    static constexpr uint32_t backupStartAddress = 0x08004000;
    static constexpr uint32_t backupLengthOldLayout = 0x1C000;
    static constexpr uint32_t backupLengthNewLayout = 0x3C000;
    static constexpr int backupDataBlockAOffset = 0x4000;
    static constexpr int backupDataBlockBOffset = 0xC000;
    static constexpr int backupMacroBlockOffset = 0x1C000;

    explicit T5Device(QObject *parent = nullptr);
    ~T5Device() override;

    Q_INVOKABLE bool tryConnected() override;
    Q_INVOKABLE void syncFirmwareInformation() override;
    Q_INVOKABLE void setBootMode(BootMode mode) override;
    Q_INVOKABLE void dataBackupFile(QString path) override;
    Q_INVOKABLE void dataRestoreFile(QString path) override;
    Q_INVOKABLE void updateFirmwareFile(QString path, QString version) override;
    Q_INVOKABLE void restoreFirmwareFile(QString path, QString version) override;

    // Waits until the status read started by a connection has finished.
    void waitForConnectionTask();
    // Waits for the connection task and every boot-mode write started so far.
    void waitForBackgroundTasks();

    // Protocol primitives; a command report has the wide frame layout.
    bool readCMDData(MemoryFrame *reply) override;
    bool writeCMDData(const MemoryFrame &request) override;
    bool readFlash(uint32_t address, uint32_t length, uint8_t *buffer);
    // Both report failures through error; the results tell callers too.
    bool eraseFlash(const FlashPlan &plan);
    bool write2Flash(const FlashPlan &plan);
    void updateVersion();
    void updateRunStatus();
    void applyBootMode(int mode);

    // Firmware update and factory restore.
    void updateFirmware_v1(const QString &path, const QString &version);
    void updateFirmware_v2(const QString &path, const QString &version);
    void restoreFactorySettings_v1(const QString &path, const QString &version);
    void restoreFactorySettings_v2(const QString &path, const QString &version);
    void afterUpdate();
    static bool isVersionBelow(const QStringList &current, const QString &threshold);

    // Data restore onto the new layout.
    void restoreV1ToV2(const QByteArray &body, bool compatible);
    void restoreV2ToV2(const QByteArray &body, bool compatible);

    // Copies of what was last read from the adapter.
    QByteArray configBlock() const { return config; }
    uint16_t firmwareEndMarkRead() const { return firmwareMark; }
    uint16_t dataBlockAMarkRead() const { return markA; }
    uint16_t dataBlockBMarkRead() const { return markB; }

private:
    enum class Layout { Old, New };
    struct Record
    {
        int offset;
        int length;
    };

    void onConnectedChanged(bool isConnected);
    void startBackgroundTask(const std::function<void()> &work, bool isConnectionTask = false);
    bool readRunStatus();

    void updateFirmware(Layout layout, const QString &path, const QString &version);
    void restoreFactorySettings(Layout layout, const QString &path, const QString &version);
    bool imageFitsLayout(Layout layout, int imageLength);
    static void addImageSectors(FlashPlan *plan, Layout layout, uint32_t imageLength);
    void applyMigrations(Layout layout);

    // The records of an area, each checked to lie within it; false when one
    // is shorter than its header or runs past the area.
    static bool readRecords(const uint8_t *area, int areaBytes, int startOffset, int count,
                            QList<Record> *records);
    static int convertedLength(const uint8_t *area, const QList<Record> &records);
    // Writes records converted to format 4 to target; returns the bytes written.
    static int convertRecords(const uint8_t *source, const QList<Record> &records, uint8_t *target,
                              bool logEachRecord);
    bool fillBlockSegment(FlashPlan *plan, int index, uint32_t address, const QByteArray &body,
                          int bodyOffset, bool rewriteMark);
    // Bytes 1 to 0x41 (version, image location, valid mark) from this
    // adapter's configuration, so the installed firmware keeps matching it,
    // and the start and end marks.
    void keepFirmwareDescription(uint8_t *newConfig) const;
    static void closeMacroBlock(uint8_t *block, int count, int total);
    void runPlan(FlashPlan *plan);

    // True while config holds a complete read of the adapter's configuration
    // sector with its marks. Writing back a copy that is not one would put a
    // half-read sector in place of the user's settings.
    bool configHoldsAdapterSettings() const;
    bool configReadComplete = false;

    QByteArray info;
    QByteArray config;
    uint16_t firmwareMark = 0;
    uint16_t markA = 0;
    uint16_t markB = 0;

    QMutex tasksLock;
    QFuture<void> connectionTask;
    QList<QFuture<void>> backgroundTasks;
};
