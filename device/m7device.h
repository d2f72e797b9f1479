#pragma once

#include "basedevice.h"

#include <QFuture>
#include <QList>
#include <QMutex>
#include <QString>

#include <array>
#include <cstdint>

// The M7 adapter: an STM32F4 boot loader reached under one identity.
class M7Device : public BaseDevice
{
    Q_OBJECT
public:
    // Memory map of the adapter.
    static constexpr uint32_t factoryAreaAddress = 0x08003FC0;
    static constexpr int factoryAreaBytes = 64;
    static constexpr uint32_t chipIdentifierAddress = 0x1FFF7A10;
    static constexpr int chipIdentifierBytes = 12;
    // The identifier lands in bytes 1-12 of the factory buffer.
    static constexpr int factoryIdentifierOffset = 1;
    static constexpr uint32_t firmwareInformationAddress = 0x08004000;
    static constexpr uint8_t firmwareInformationSector = 1;
    static constexpr uint32_t imageAddress = 0x08010000;
    static constexpr int blockSizeBytes = 256;
    static constexpr int highestSector = 11;

    enum Command : uint32_t {
        CommandEraseSectors = 0x55,
        CommandReadMemory = 0x56,
        CommandWriteMemory = 0x57,
    };
    enum Status : uint32_t {
        StatusEraseDone = 0x59,
    };

    static constexpr char packageMarker[] = "Brivane_M7";

    explicit M7Device(QObject *parent = nullptr);
    ~M7Device() override;

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

    void readDeviceConfig();
    // Reads length bytes in chunks of at most 52 (the wide frame), moving
    // progress.
    bool readMemory(uint32_t command, uint32_t address, int length, uint8_t *destination);

    // Sectors to erase for an image at imageAddress: the information block's
    // sector, then every sector the image touches. Empty when the image is
    // empty or would need sectors past the last one.
    static QList<uint8_t> eraseSectorsForImage(uint32_t imageSizeBytes);

private:
    void handleConnectedChanged(bool isConnected);
    void startConfigurationRead();
    // The block has its marks and the image it describes is there: its
    // first and last bytes are not erased.
    bool imageIsInstalled(const uint8_t *informationBlock);
    bool eraseFlash(const FlashPlan &plan);

    std::array<uint8_t, factoryAreaBytes> factoryInformation{};
};
