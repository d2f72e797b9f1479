#pragma once

#include "basedevice.h"

#include <QByteArray>
#include <QFuture>
#include <QMutex>
#include <QString>

#include <array>
#include <cstdint>

// The K3 adapter. It is found in its application identity or in one of its two
// boot-loader identities; updates always go to the boot loader.
class K3Device : public BaseDevice
{
    Q_OBJECT
public:
    // Memory map of the adapter.
    static constexpr uint32_t configurationBlockAddress = 0x08004000;
    // The configuration, information and spare blocks and the rest of the
    // flash pages that hold them, up to the image: whatever page size the
    // boot loader erases in (1 or 2 KiB on this family), erasing the
    // information block erases this whole area with it.
    static constexpr uint32_t settingsAreaAddress = 0x08004000;
    static constexpr uint32_t settingsAreaBytes = 0x1000;
    static constexpr uint32_t firmwareInformationAddress = 0x08004100;
    static constexpr uint32_t spareBlockAddress = 0x08004200;
    static constexpr uint32_t imageAddress = 0x08005000;
    static constexpr uint32_t imageCapacityBytes = 131072;
    static constexpr uint32_t chipIdentifierAddress = 0x1FFFF7E8;
    static constexpr int chipIdentifierBytes = 32;
    static constexpr int blockSizeBytes = 256;

    // Command frame: report id, tag 0x04, u8 command (status in replies),
    // u32 address, u16 length, up to 56 data bytes.
    static constexpr FrameLayout frameLayout{2, 1, 3, 7, 2, 9, 56, 1, 0x04};

    enum Command : uint8_t {
        CommandErase = 0x55,
        CommandReadMemory = 0x56,
        CommandWriteMemory = 0x57,
        CommandEnterBootLoader = 0x5B,
        CommandWriteBootFlag = 0x5C,
        CommandReadBootFlag = 0x5D,
    };
    enum Status : uint8_t {
        StatusEraseDone = 0x59,
        StatusBootFlag = 0x5D,
    };

    // The application needs this long to leave the bus and come back as its
    // boot loader after the enter-boot-loader command.
    static constexpr int bootLoaderSwitchDelayMs = 800;

    static constexpr char packageMarker[] = "Brivane_K3";
    static constexpr int minimumMajorVersion = 2;

    explicit K3Device(QObject *parent = nullptr);
    ~K3Device() override;

    Q_INVOKABLE bool tryConnected() override;
    Q_INVOKABLE void syncFirmwareInformation() override { pulseBusy(); }
    // This model has no boot mode, data backup or factory restore.
    Q_INVOKABLE void setBootMode(BootMode mode) override { Q_UNUSED(mode) }
    Q_INVOKABLE void dataBackupFile(QString path) override { Q_UNUSED(path) }
    Q_INVOKABLE void dataRestoreFile(QString path) override { Q_UNUSED(path) }
    Q_INVOKABLE void updateFirmwareFile(QString path, QString version) override;
    Q_INVOKABLE void restoreFirmwareFile(QString path, QString version) override
    {
        Q_UNUSED(path)
        Q_UNUSED(version)
    }

    bool readDeviceConfig();
    // Reads length bytes in chunks of at most 56, moving progress.
    bool readMemory(uint8_t command, uint32_t address, int length, uint8_t *destination);

protected:
    QString transferLogPrefix() const override { return QString(); }

private:
    void handleConnectedChanged(bool isConnected);
    void startConfigurationRead();
    // Opens the adapter, switching it to its boot loader when it runs its
    // application; the product id opened, or 0. Touches no device object.
    static double searchAdapter();
    // 1 when the flag was set and has been cleared, 0 when it was clear, -1
    // when it could not be read or cleared.
    int clearBootFlag();
    bool eraseRange(uint32_t address, uint32_t sizeBytes);
    // The update after its package was checked: false when it did not end
    // with a whole image and a valid information block.
    bool writeImage(const QByteArray &image, const QByteArray &informationBlock);
    bool saveSettingsArea(const QByteArray &area);

    std::array<uint8_t, blockSizeBytes> configurationBlock{};
    std::array<uint8_t, blockSizeBytes> spareBlock{};
    std::array<uint8_t, blockSizeBytes> informationBlock{};
};
