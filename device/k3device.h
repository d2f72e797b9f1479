#pragma once

#include "basedevice.h"

#include <QByteArray>
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
    static constexpr uint32_t firmwareInformationAddress = 0x08004100;
    static constexpr uint32_t spareBlockAddress = 0x08004200;
    static constexpr uint32_t imageAddress = 0x08005000;
    static constexpr uint32_t imageCapacityBytes = 131072;
    static constexpr uint32_t chipIdentifierAddress = 0x1FFFF7E8;
    static constexpr int chipIdentifierBytes = 32;
    static constexpr int blockSizeBytes = 256;

    // Validity marks of the configuration and firmware-information blocks.
    static constexpr uint8_t blockStartMark = 0x55;
    static constexpr uint8_t blockEndMark = 0xAA;
    static constexpr int blockEndMarkOffset = 255;

    // Firmware-information block layout.
    static constexpr int infoStartAddressOffset = 1;
    static constexpr int infoVersionMajorOffset = 5;
    static constexpr int infoVersionMinorOffset = 6;
    static constexpr int infoVersionPatchOffset = 7;
    static constexpr int infoImageSizeOffset = 8;
    static constexpr int infoImageDigestOffset = 12;

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

    // The 256-byte block that marks an image at startAddress as installed;
    // the M7 keeps the same block.
    static QByteArray buildInformationBlock(uint32_t startAddress, uint8_t major, uint8_t minor,
                                            uint8_t patch, const QByteArray &image);
    // A configuration or information block with both marks.
    static bool blockIsMarkedValid(const uint8_t *block);
    static QString informationVersion(const uint8_t *informationBlock);

private:
    void handleConnectedChanged(bool isConnected);
    // Opens the adapter, switching it to its boot loader when it runs its
    // application.
    void searchAdapter();
    // 1 when the flag was set and has been cleared, 0 when it was clear, -1
    // when it could not be read or cleared.
    int clearBootFlag();
    bool eraseFlash(const FlashPlan &plan);

    std::array<uint8_t, blockSizeBytes> configurationBlock{};
    std::array<uint8_t, blockSizeBytes> spareBlock{};
    std::array<uint8_t, blockSizeBytes> informationBlock{};
};
