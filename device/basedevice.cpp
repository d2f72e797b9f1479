#include "basedevice.h"

#include "bridgeusb.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMutexLocker>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace {
// Delay between construction and the first synchronisation pulse, so the
// window has bound to the new object before it sees busying change.
constexpr int syncFirmwareInformationDelayMs = 10;

int versionPart(const QStringList &parts, int index)
{
    // A missing or non-numeric part counts as 0.
    return index < parts.size() ? parts.at(index).toInt(nullptr, 10) : 0;
}

int majorMinorKey(const QStringList &parts)
{
    return versionPart(parts, 0) * 10 + versionPart(parts, 1);
}

QJsonArray toJsonArray(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QJsonArray>())
        return value.value<QJsonArray>();
    if (value.userType() == qMetaTypeId<QJsonDocument>())
        return value.value<QJsonDocument>().array();
    if (value.userType() == qMetaTypeId<QJsonValue>())
        return value.value<QJsonValue>().toArray();
    return QJsonArray::fromVariantList(value.toList());
}
} // namespace

// ---------------------------------------------------------------------------
// FlashPlan

FlashPlan *FlashPlan::create()
{
    // Value-initialisation zero-fills the whole record, slots included.
    return new FlashPlan();
}

bool FlashPlan::setSegment(int index, uint32_t address, const QByteArray &bytes)
{
    if (index < 0 || index >= maxEntries)
        return false;
    const uint32_t size = uint32_t(bytes.size());
    if (size > bytesAvailableFromSlot(index))
        return false;
    // A segment longer than one slot runs on into the following slots.
    std::memcpy(&slot[0][0] + size_t(index) * slotSizeBytes, bytes.constData(), size);
    segments[index].address = address;
    segments[index].size = size;
    return true;
}

void FlashPlan::addEraseSector(uint8_t sector)
{
    if (eraseCount >= uint32_t(maxEntries))
        return;
    eraseSectors[eraseCount++] = sector;
}

uint32_t FlashPlan::sumOfSegmentSizes() const
{
    uint32_t sum = 0;
    for (int index = 0; index < maxEntries && segments[index].size > 0; ++index)
        sum += segments[index].size;
    return sum;
}

// ---------------------------------------------------------------------------
// Stm32F4Flash

namespace Stm32F4Flash {
namespace {
constexpr uint32_t smallSectorBytes = 0x4000;   // sectors 0-3
constexpr uint32_t mediumSectorBytes = 0x10000; // sector 4
constexpr uint32_t largeSectorBytes = 0x20000;  // sectors 5-11
constexpr uint32_t flashSizeBytes = 0x100000;
} // namespace

uint32_t sectorSizeBytes(int sector)
{
    if (sector < 0 || sector >= sectorCount)
        return 0;
    if (sector < 4)
        return smallSectorBytes;
    if (sector == 4)
        return mediumSectorBytes;
    return largeSectorBytes;
}

uint32_t sectorAddress(int sector)
{
    if (sector <= 0)
        return baseAddress;
    if (sector < 4)
        return baseAddress + uint32_t(sector) * smallSectorBytes;
    if (sector == 4)
        return baseAddress + 4 * smallSectorBytes;
    return baseAddress + 4 * smallSectorBytes + mediumSectorBytes +
           uint32_t(sector - 5) * largeSectorBytes;
}

int sectorOf(uint32_t address)
{
    if (address < baseAddress || address - baseAddress >= flashSizeBytes)
        return -1;
    for (int sector = sectorCount - 1; sector >= 0; --sector) {
        if (address >= sectorAddress(sector))
            return sector;
    }
    return -1;
}
} // namespace Stm32F4Flash

// ---------------------------------------------------------------------------
// BaseDevice

BaseDevice::BaseDevice(QObject *parent) : QObject(parent)
{
    QTimer::singleShot(syncFirmwareInformationDelayMs, this,
                       [this]() { syncFirmwareInformation(); });
    connect(this, &BaseDevice::firmwareIndexChanged, this, &BaseDevice::updateCurrentFirmwareInfo);
}

BaseDevice::~BaseDevice() = default;

bool BaseDevice::set_image(const QString &image)
{
    if (m_image == image)
        return false;
    m_image = image;
    emit imageChanged(m_image);
    return true;
}

bool BaseDevice::set_version(const QString &version)
{
    if (m_version == version)
        return false;
    m_version = version;
    emit versionChanged(m_version);
    return true;
}

bool BaseDevice::set_serialNumber(const QString &serialNumber)
{
    if (m_serialNumber == serialNumber)
        return false;
    m_serialNumber = serialNumber;
    emit serialNumberChanged(m_serialNumber);
    return true;
}

bool BaseDevice::set_connected(bool connected)
{
    if (m_connected == connected)
        return false;
    m_connected = connected;
    emit connectedChanged(m_connected);
    return true;
}

bool BaseDevice::set_progress(double progress)
{
    // Exact comparison on purpose: every distinct value is a visible step.
    if (m_progress == progress)
        return false;
    m_progress = progress;
    emit progressChanged(m_progress);
    return true;
}

bool BaseDevice::set_busying(bool busying)
{
    if (m_busying == busying)
        return false;
    m_busying = busying;
    emit busyingChanged(m_busying);
    return true;
}

bool BaseDevice::set_bootMode(int bootMode)
{
    if (m_bootMode == bootMode)
        return false;
    m_bootMode = bootMode;
    emit bootModeChanged(m_bootMode);
    return true;
}

bool BaseDevice::set_currentfirmwareInfo(const QString &currentfirmwareInfo)
{
    if (m_currentfirmwareInfo == currentfirmwareInfo)
        return false;
    m_currentfirmwareInfo = currentfirmwareInfo;
    emit currentfirmwareInfoChanged(m_currentfirmwareInfo);
    return true;
}

bool BaseDevice::set_firmwareInformation(const QVariant &firmwareInformation)
{
    if (m_firmwareInformation == firmwareInformation)
        return false;
    m_firmwareInformation = firmwareInformation;
    emit firmwareInformationChanged(m_firmwareInformation);
    return true;
}

bool BaseDevice::set_firmwareIndex(int firmwareIndex)
{
    if (m_firmwareIndex == firmwareIndex)
        return false;
    m_firmwareIndex = firmwareIndex;
    emit firmwareIndexChanged(m_firmwareIndex);
    return true;
}

void BaseDevice::updateCurrentFirmwareInfo(int index)
{
    const QJsonArray entries = toJsonArray(m_firmwareInformation);
    if (index >= entries.size())
        return;
    // A negative index gives an undefined entry and so an empty text.
    const QJsonObject entry = index >= 0 ? entries.at(index).toObject() : QJsonObject();
    const QString info = entry.value(QStringLiteral("info")).toString();
    set_currentfirmwareInfo(info.split(QLatin1Char(';')).join(QLatin1Char('\n')));
}

void BaseDevice::pulseBusy()
{
    set_busying(true);
    set_busying(false);
}

int BaseDevice::versionCompare(QString first, QString second)
{
    const QStringList firstParts = first.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    const QStringList secondParts = second.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    qWarning() << "versionCompare: " << firstParts << secondParts;
    for (int index = 0; index < 3; ++index) {
        const int a = versionPart(firstParts, index);
        const int b = versionPart(secondParts, index);
        if (a < b)
            return -1;
        if (a > b)
            return 1;
    }
    return 0;
}

bool BaseDevice::isCompatibleVersion(QString currentVersion, QString updateVersion)
{
    const QStringList currentParts = currentVersion.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    const QStringList updateParts = updateVersion.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (currentParts.size() < 2 || updateParts.size() < 2) {
        qWarning() << "BaseDevice::isCompatibleVersion Error";
        return false;
    }
    const int currentKey = majorMinorKey(currentParts);
    const int updateKey = majorMinorKey(updateParts);
    qDebug() << "isCompatibleVersion " << currentKey << updateKey;
    return currentKey == updateKey;
}

int BaseDevice::compareMajorMinor(const QString &a, const QString &b)
{
    const int keyA = majorMinorKey(a.split(QLatin1Char('.'), Qt::KeepEmptyParts));
    const int keyB = majorMinorKey(b.split(QLatin1Char('.'), Qt::KeepEmptyParts));
    if (keyA == keyB)
        return 0;
    return keyB < keyA ? 1 : -1;
}

QByteArray BaseDevice::readCMDData(int length)
{
    return BridgeUSB::instance()->readCMDData(length);
}

bool BaseDevice::writeCMDData(QByteArray data)
{
    return BridgeUSB::instance()->writeCMDData(data);
}

bool BaseDevice::readCMDData(MemoryFrame *reply)
{
    const QByteArray bytes = readCMDData(MemoryFrame::sizeBytes);
    if (bytes.isEmpty()) {
        qWarning() << "readCMDData read error !!!";
        return false;
    }
    reply->assign(bytes);
    return true;
}

bool BaseDevice::writeCMDData(const MemoryFrame &request)
{
    if (!writeCMDData(request.toByteArray())) {
        qWarning() << "writeCMDData write error !!!";
        return false;
    }
    return true;
}

bool BaseDevice::sendAndReceive(const MemoryFrame &request, MemoryFrame *reply)
{
    return writeCMDData(request) && readCMDData(reply);
}

bool BaseDevice::readChunks(const FrameLayout &layout, uint32_t command, uint32_t address,
                            uint32_t length, uint8_t *destination)
{
    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());
    bool complete = true;
    for (uint32_t offset = 0; offset < length;) {
        const uint32_t chunk = std::min<uint32_t>(length - offset, uint32_t(layout.maxDataBytes));
        const MemoryFrame request = MemoryFrame::request(layout, command, address + offset, chunk);
        MemoryFrame reply(layout);
        if (!sendAndReceive(request, &reply) || !reply.answers(request)) {
            complete = false;
            break;
        }
        std::memcpy(destination + offset, reply.data(), chunk);
        offset += chunk;
        set_progress(double(offset) / double(length));
    }
    // Back to idle on failure too, so no stale bar is left behind.
    set_progress(0.0);
    return complete;
}

bool BaseDevice::writePlan(const FrameLayout &layout, uint32_t command, const FlashPlan &plan,
                           const std::function<void(WriteFailure)> &reportFailure)
{
    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());
    bool complete = true;
    const auto stop = [&](WriteFailure failure) {
        complete = false;
        if (reportFailure)
            reportFailure(failure);
    };
    const uint32_t totalSize = plan.totalSize > 0 ? plan.totalSize : plan.sumOfSegmentSizes();
    // Segments run on contiguously through the slots.
    const uint8_t *dataArea = plan.slotData(0);
    uint32_t written = 0;
    for (int index = 0; complete && index < FlashPlan::maxEntries && plan.segments[index].size > 0;
         ++index) {
        const FlashPlan::Segment &segment = plan.segments[index];
        if (segment.size > FlashPlan::bytesAvailableFromSlot(index)) {
            qWarning() << "write2Flash segment" << index << "runs past the data area";
            stop(WriteFailure::Transfer);
            break;
        }
        const uint8_t *segmentData = dataArea + size_t(index) * FlashPlan::slotSizeBytes;
        for (uint32_t offset = 0; offset < segment.size;) {
            const uint32_t chunk =
                std::min<uint32_t>(segment.size - offset, uint32_t(layout.maxDataBytes));
            const uint8_t *chunkData = segmentData + offset;
            const MemoryFrame request =
                MemoryFrame::request(layout, command, segment.address + offset, chunk, chunkData);
            if (!writeCMDData(request)) {
                qWarning() << "write2Flash write error!";
                stop(WriteFailure::Transfer);
                break;
            }
            // A failed read leaves the reply zero, which answers nothing.
            MemoryFrame reply(layout);
            readCMDData(&reply);
            if (!reply.answers(request)) {
                qWarning() << "write2Flash USB_ERR_DATA_VERIFY 2";
                stop(WriteFailure::Transfer);
                break;
            }
            if (std::memcmp(reply.data(), chunkData, chunk) != 0) {
                stop(WriteFailure::Verify);
                qWarning() << "write2Flash USB_ERR_DATA_VERIFY 1";
                qDebug()
                    << "write_data:"
                    << QByteArray(reinterpret_cast<const char *>(chunkData), int(chunk)).toHex();
                qDebug()
                    << "read_data :"
                    << QByteArray(reinterpret_cast<const char *>(reply.data()), int(chunk)).toHex();
                break;
            }
            offset += chunk;
            written += chunk;
            set_progress(double(written) / double(totalSize));
        }
    }
    set_progress(0.0);
    return complete;
}

QByteArray BaseDevice::getFirmwareData(const QString &path)
{
    QByteArray data;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        data = file.readAll();
    if (data.isEmpty())
        qWarning() << "getFirmwareData is Empty!" << path;
    return data;
}

void BaseDevice::setVPID(double vid, double pid)
{
    m_vid = vid;
    m_pid = pid;
}
