#pragma once

#include "basedevice.h"

#include <QByteArray>
#include <QList>
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

    // Command frame: report id, then 32-bit command (status in replies),
    // address and length, then data.
    static constexpr int frameSizeBytes = 65;
    static constexpr int frameReportIdOffset = 0;
    static constexpr int frameCommandOffset = 1;
    static constexpr int frameAddressOffset = 5;
    static constexpr int frameLengthOffset = 9;
    static constexpr int frameDataOffset = 13;
    static constexpr int maxChunkBytes = 52;

    enum Command : uint32_t {
        CommandEraseSectors = 0x55,
        CommandReadMemory = 0x56,
        CommandWriteMemory = 0x57,
    };
    enum Status : uint32_t {
        StatusOk = 0x58,
        StatusEraseDone = 0x59,
    };

    static constexpr char packageMarker[] = "Brivane_M7";

    explicit M7Device(QObject *parent = nullptr);

    Q_INVOKABLE bool tryConnected() override;
    Q_INVOKABLE void syncFirmwareInformation() override;
    Q_INVOKABLE void setBootMode(BootMode mode) override;
    Q_INVOKABLE void dataBackupFile(QString path) override;
    Q_INVOKABLE void dataRestoreFile(QString path) override;
    Q_INVOKABLE void updateFirmwareFile(QString path, QString version) override;
    Q_INVOKABLE void restoreFirmwareFile(QString path, QString version) override;

    void readDeviceConfig();
    // Reads length bytes in chunks of at most maxChunkBytes, moving progress.
    bool readMemory(uint32_t command, uint32_t address, int length, uint8_t *destination);
    bool sendCommand(const QByteArray &frame);
    bool readReply(QByteArray *destination);

    static QByteArray buildFrame(uint32_t command, uint32_t address, uint32_t length,
                                 const uint8_t *data = nullptr, int dataLength = 0);
    static QByteArray buildInformationBlock(uint8_t major, uint8_t minor, uint8_t patch,
                                            const QByteArray &image);
    // Sectors to erase for an image at imageAddress: the information block's
    // sector, then every sector the image touches. Empty when the image is
    // empty or would need sectors past the last one.
    static QList<uint8_t> eraseSectorsForImage(uint32_t imageSizeBytes);

private:
    void handleConnectedChanged(bool isConnected);
    bool eraseFlash(const FlashPlan &plan);
    bool write2Flash(const FlashPlan &plan);

    std::array<uint8_t, factoryAreaBytes> factoryInformation{};
};
