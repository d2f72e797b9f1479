#pragma once

#include "memoryframe.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>

// One flash job: the sectors to erase, the segments to write and their bytes.
// The record is zero-filled before use; unused entries stay zero.
struct FlashPlan
{
    static constexpr int maxEntries = 15;
    static constexpr uint32_t slotSizeBytes = 0x20000; // 128 KiB
    static constexpr uint32_t dataAreaBytes = maxEntries * slotSizeBytes;

    struct Segment
    {
        uint32_t address;
        uint32_t size;
    };

    uint8_t eraseSectors[maxEntries];
    uint32_t eraseCount;
    Segment segments[maxEntries];
    uint8_t slot[maxEntries][slotSizeBytes];
    uint32_t totalSize;

    // A new zero-filled plan on the heap.
    static FlashPlan *create();

    uint8_t *slotData(int index) { return slot[index]; }
    const uint8_t *slotData(int index) const { return slot[index]; }
    // Space left in the data area from the start of a slot to its end.
    static uint32_t bytesAvailableFromSlot(int index)
    {
        return dataAreaBytes - uint32_t(index) * slotSizeBytes;
    }
    // Copies bytes to the start of slot index and sets segment index to them.
    // False when they would not end within the data area.
    bool setSegment(int index, uint32_t address, const QByteArray &bytes);
    void addEraseSector(uint8_t sector);
    // Sum of the sizes of the filled segments.
    uint32_t sumOfSegmentSizes() const;
};

// STM32F4 flash sector map (sector 0 at 0x08000000).
namespace Stm32F4Flash {
constexpr uint32_t baseAddress = 0x08000000;
constexpr int sectorCount = 12;
uint32_t sectorAddress(int sector);
uint32_t sectorSizeBytes(int sector);
// Sector holding an address, or -1 outside the 1 MiB of flash.
int sectorOf(uint32_t address);
} // namespace Stm32F4Flash

// The model of the one adapter the tool works with.
class BaseDevice : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString image READ image NOTIFY imageChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(QString serialNumber READ serialNumber NOTIFY serialNumberChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool busying READ busying NOTIFY busyingChanged)
    Q_PROPERTY(
        int firmwareIndex READ firmwareIndex WRITE set_firmwareIndex NOTIFY firmwareIndexChanged)
    Q_PROPERTY(int bootMode READ bootMode NOTIFY bootModeChanged)
    Q_PROPERTY(
        QString currentfirmwareInfo READ currentfirmwareInfo NOTIFY currentfirmwareInfoChanged)
    Q_PROPERTY(
        QVariant firmwareInformation READ firmwareInformation NOTIFY firmwareInformationChanged)
public:
    enum BootMode { Auto = 0, PS4_PC = 1, XB360_PC = 2, SWITCH = 3, PS5_M7 = 4, Q8LINK = 5 };
    Q_ENUM(BootMode)

    enum DeviceVPID {
        Brivane_VID = 0x0E3A,
        Brivane_PID_T5 = 0xB373,
        Brivane_PID_M7 = 0xB471,
        Brivane_PID_K3_BOOT_V1 = 0xB270,
        Brivane_PID_K3_BOOT = 0xB275,
        Brivane_PID_K3_APP = 0xB274,
        Brivane_Unknow = 0x0000,
    };
    Q_ENUM(DeviceVPID)

    explicit BaseDevice(QObject *parent = nullptr);
    ~BaseDevice() override;

    QString image() const { return m_image; }
    QString version() const { return m_version; }
    QString serialNumber() const { return m_serialNumber; }
    bool connected() const { return m_connected; }
    double progress() const { return m_progress; }
    bool busying() const { return m_busying; }
    int firmwareIndex() const { return m_firmwareIndex; }
    int bootMode() const { return m_bootMode; }
    QString currentfirmwareInfo() const { return m_currentfirmwareInfo; }
    QVariant firmwareInformation() const { return m_firmwareInformation; }

    bool set_image(const QString &image);
    bool set_version(const QString &version);
    bool set_serialNumber(const QString &serialNumber);
    bool set_connected(bool connected);
    bool set_progress(double progress);
    bool set_busying(bool busying);
    bool set_bootMode(int bootMode);
    bool set_currentfirmwareInfo(const QString &currentfirmwareInfo);
    bool set_firmwareInformation(const QVariant &firmwareInformation);

    // The seven model operations; each model re-declares them invokable.
    virtual bool tryConnected() = 0;
    virtual void syncFirmwareInformation() = 0;
    virtual void setBootMode(BootMode mode) = 0;
    virtual void dataBackupFile(QString path) = 0;
    virtual void dataRestoreFile(QString path) = 0;
    virtual void updateFirmwareFile(QString path, QString version) = 0;
    virtual void restoreFirmwareFile(QString path, QString version) = 0;

    Q_INVOKABLE int versionCompare(QString first, QString second);
    Q_INVOKABLE bool isCompatibleVersion(QString currentVersion, QString updateVersion);
    static int compareMajorMinor(const QString &a, const QString &b);

    // One reply (0x00 + report bytes), empty on a read error or time-out.
    static QByteArray readCMDData(int length);
    static bool writeCMDData(QByteArray data);
    // One reply or request in a model's frame; a failure is logged.
    virtual bool readCMDData(MemoryFrame *reply);
    virtual bool writeCMDData(const MemoryFrame &request);

    static QByteArray getFirmwareData(const QString &path);

    void setVPID(double vid, double pid);
    double vid() const { return m_vid; }
    double pid() const { return m_pid; }

public slots:
    bool set_firmwareIndex(int firmwareIndex);

signals:
    void imageChanged(QString image);
    void versionChanged(QString version);
    void serialNumberChanged(QString serialNumber);
    void connectedChanged(bool connected);
    void progressChanged(double progress);
    void busyingChanged(bool busying);
    void firmwareIndexChanged(int firmwareIndex);
    void bootModeChanged(int bootMode);
    void currentfirmwareInfoChanged(QString currentfirmwareInfo);
    void firmwareInformationChanged(QVariant firmwareInformation);
    void error(QString error);
    void message(QString message);

protected:
    // The shared behaviour of syncFirmwareInformation: one busy pulse.
    void pulseBusy();

    // A request, then its reply if the request went out.
    bool sendAndReceive(const MemoryFrame &request, MemoryFrame *reply);
    // Reads memory in chunks of the layout's data size; each reply must
    // answer its request. Progress follows the chunks and ends at 0.
    bool readChunks(const FrameLayout &layout, uint32_t command, uint32_t address, uint32_t length,
                    uint8_t *destination);
    enum class WriteFailure { Transfer, Verify };
    // Writes the plan's segments in chunks, each echoed chunk compared with
    // the one sent, and stops at the first failure. A model that tells the
    // user about failures does so in reportFailure, called where the failure
    // is found. Progress runs over the plan's total and ends at 0.
    bool writePlan(const FrameLayout &layout, uint32_t command, const FlashPlan &plan,
                   const std::function<void(WriteFailure)> &reportFailure = {});

private:
    void updateCurrentFirmwareInfo(int index);

    QString m_image;
    QString m_version;
    QString m_serialNumber;
    bool m_connected = false;
    double m_progress = 0.0;
    bool m_busying = false;
    int m_firmwareIndex = -1;
    int m_bootMode = Auto;
    QString m_currentfirmwareInfo;
    QVariant m_firmwareInformation;
    double m_vid = 0;
    double m_pid = 0;
};
