#include "m7device.h"

#include "bridgeusb.h"
#include "firmwarepackage.h"
#include "k3device.h" // the information block has the K3's layout

#include <QCryptographicHash>
#include <QDebug>
#include <QMutexLocker>

#include <algorithm>
#include <cstring>
#include <memory>

constexpr char M7Device::packageMarker[];

namespace {
void putLe32(uint8_t *bytes, uint32_t value)
{
    for (int index = 0; index < 4; ++index)
        bytes[index] = uint8_t((value >> (8 * index)) & 0xFF);
}

uint32_t le32(const QByteArray &bytes, int offset)
{
    uint32_t value = 0;
    for (int index = 3; index >= 0; --index)
        value = (value << 8) | uint8_t(bytes.at(offset + index));
    return value;
}

bool blockIsMarkedValid(const uint8_t *block)
{
    return block[0] == K3Device::blockStartMark &&
           block[K3Device::blockEndMarkOffset] == K3Device::blockEndMark;
}

QString versionText(const uint8_t *informationBlock)
{
    return QStringLiteral("%1.%2.%3")
        .arg(unsigned(informationBlock[K3Device::infoVersionMajorOffset]))
        .arg(unsigned(informationBlock[K3Device::infoVersionMinorOffset]))
        .arg(unsigned(informationBlock[K3Device::infoVersionPatchOffset]));
}

bool replyMatches(const QByteArray &reply, const QByteArray &request, uint32_t length)
{
    return le32(reply, M7Device::frameCommandOffset) == M7Device::StatusOk &&
           le32(reply, M7Device::frameAddressOffset) ==
               le32(request, M7Device::frameAddressOffset) &&
           le32(reply, M7Device::frameLengthOffset) == length &&
           reply.at(M7Device::frameReportIdOffset) == request.at(M7Device::frameReportIdOffset);
}
} // namespace

M7Device::M7Device(QObject *parent) : BaseDevice(parent)
{
    set_image(QStringLiteral("qrc:/images/M7.png"));
    connect(this, &BaseDevice::connectedChanged, this, &M7Device::handleConnectedChanged);
}

QByteArray M7Device::buildFrame(uint32_t command, uint32_t address, uint32_t length,
                                const uint8_t *data, int dataLength)
{
    QByteArray frame(frameSizeBytes, '\0');
    uint8_t *bytes = reinterpret_cast<uint8_t *>(frame.data());
    bytes[frameReportIdOffset] = 0;
    putLe32(bytes + frameCommandOffset, command);
    putLe32(bytes + frameAddressOffset, address);
    putLe32(bytes + frameLengthOffset, length);
    if (data && dataLength > 0)
        std::memcpy(bytes + frameDataOffset, data, size_t(std::min(dataLength, maxChunkBytes)));
    return frame;
}

QByteArray M7Device::buildInformationBlock(uint8_t major, uint8_t minor, uint8_t patch,
                                           const QByteArray &image)
{
    QByteArray block(blockSizeBytes, '\0');
    uint8_t *bytes = reinterpret_cast<uint8_t *>(block.data());
    bytes[0] = K3Device::blockStartMark;
    putLe32(bytes + K3Device::infoStartAddressOffset, imageAddress);
    bytes[K3Device::infoVersionMajorOffset] = major;
    bytes[K3Device::infoVersionMinorOffset] = minor;
    bytes[K3Device::infoVersionPatchOffset] = patch;
    putLe32(bytes + K3Device::infoImageSizeOffset, uint32_t(image.size()));
    const QByteArray digest = QCryptographicHash::hash(image, QCryptographicHash::Md5);
    std::memcpy(bytes + K3Device::infoImageDigestOffset, digest.constData(), size_t(digest.size()));
    bytes[K3Device::blockEndMarkOffset] = K3Device::blockEndMark;
    return block;
}

QList<uint8_t> M7Device::eraseSectorsForImage(uint32_t imageSizeBytes)
{
    if (imageSizeBytes == 0)
        return {};
    // Sector 4 is only 64 KiB, so the sectors follow from the flash map, not
    // from a fixed 128 KiB step.
    const int firstSector = Stm32F4Flash::sectorOf(imageAddress);
    const uint64_t lastByte = uint64_t(imageAddress) + imageSizeBytes - 1;
    const int lastSector = lastByte > 0xFFFFFFFFu ? -1 : Stm32F4Flash::sectorOf(uint32_t(lastByte));
    if (firstSector < 0 || lastSector < 0 || lastSector > highestSector)
        return {};
    QList<uint8_t> sectors{firmwareInformationSector};
    for (int sector = firstSector; sector <= lastSector; ++sector)
        sectors.append(uint8_t(sector));
    return sectors;
}

bool M7Device::sendCommand(const QByteArray &frame)
{
    if (!writeCMDData(frame)) {
        qWarning() << "writeCMDData write error !!!";
        return false;
    }
    return true;
}

bool M7Device::readReply(QByteArray *destination)
{
    QByteArray reply = readCMDData(frameSizeBytes);
    if (reply.isEmpty()) {
        qWarning() << "readCMDData read error !!!";
        return false;
    }
    // A short report still leaves every header field readable (as zero).
    if (reply.size() < frameSizeBytes)
        reply.append(QByteArray(frameSizeBytes - reply.size(), '\0'));
    *destination = reply.left(frameSizeBytes);
    return true;
}

bool M7Device::readMemory(uint32_t command, uint32_t address, int length, uint8_t *destination)
{
    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());
    int remaining = length;
    int offset = 0;
    uint32_t currentAddress = address;
    bool succeeded = true;
    while (remaining > 0) {
        const int chunk = std::min(remaining, maxChunkBytes);
        const QByteArray request = buildFrame(command, currentAddress, uint32_t(chunk));
        if (!sendCommand(request)) {
            succeeded = false;
            break;
        }
        QByteArray reply;
        if (!readReply(&reply) || !replyMatches(reply, request, uint32_t(chunk))) {
            succeeded = false;
            break;
        }
        std::memcpy(destination + offset, reply.constData() + frameDataOffset, size_t(chunk));
        offset += chunk;
        currentAddress += uint32_t(chunk);
        remaining -= chunk;
        set_progress(double(length - remaining) / double(length));
    }
    set_progress(0.0);
    return succeeded;
}

bool M7Device::tryConnected()
{
    setVPID(Brivane_VID, Brivane_PID_M7);
    bool opened = false;
    {
        QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());
        opened = BridgeUSB::instance()->open(Brivane_VID, Brivane_PID_M7, -1);
    }
    // On this thread the handler runs right here, inside the setter.
    set_connected(opened);
    return connected();
}

void M7Device::handleConnectedChanged(bool isConnected)
{
    if (isConnected) {
        readDeviceConfig();
    } else {
        set_version(QString());
        set_serialNumber(QString());
    }
}

void M7Device::readDeviceConfig()
{
    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());
    qDebug() << "M7 readDeviceConfig....";

    // Step 1: factory area and chip identifier.
    if (!readMemory(CommandReadMemory, factoryAreaAddress, factoryAreaBytes,
                    factoryInformation.data()) ||
        !readMemory(CommandReadMemory, chipIdentifierAddress, chipIdentifierBytes,
                    factoryInformation.data() + factoryIdentifierOffset)) {
        qWarning() << "read factory Info failure!";
        return;
    }

    // Step 2: firmware-information block.
    std::array<uint8_t, blockSizeBytes> informationBlock{};
    if (!readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes,
                    informationBlock.data())) {
        qWarning() << "read firmware Info failure!";
        return;
    }

    // Step 3: serial number and version.
    const QByteArray identifier(
        reinterpret_cast<const char *>(factoryInformation.data() + factoryIdentifierOffset),
        chipIdentifierBytes);
    set_serialNumber(QString::fromLatin1(identifier.toHex()));
    if (blockIsMarkedValid(informationBlock.data()))
        set_version(versionText(informationBlock.data()));
    else
        qWarning() << "DeviceError_FirmwareLost";
    qDebug() << "M7 readDeviceConfig finished!";
}

void M7Device::syncFirmwareInformation()
{
    pulseBusy();
}

void M7Device::setBootMode(BootMode mode)
{
    Q_UNUSED(mode)
}

void M7Device::dataBackupFile(QString path)
{
    Q_UNUSED(path)
}

void M7Device::dataRestoreFile(QString path)
{
    Q_UNUSED(path)
}

void M7Device::restoreFirmwareFile(QString path, QString version)
{
    Q_UNUSED(path)
    Q_UNUSED(version)
}

bool M7Device::eraseFlash(const FlashPlan &plan)
{
    qDebug() << "eraseFlash...";
    const QByteArray request = buildFrame(CommandEraseSectors, 0, plan.eraseCount,
                                          plan.eraseSectors, int(plan.eraseCount));
    // A request that never went out gets no reply; waiting for one would only
    // hold the update up for the whole reply time-out.
    QByteArray reply;
    if (!sendCommand(request) || !readReply(&reply) ||
        le32(reply, frameCommandOffset) != StatusEraseDone) {
        qWarning() << "erase error !";
        emit error(tr("Erase error!"));
        return false;
    }
    return true;
}

bool M7Device::write2Flash(const FlashPlan &plan)
{
    // Segments run on contiguously through the slots.
    const uint8_t *dataArea = plan.slotData(0);
    uint32_t written = 0;
    bool complete = true;
    for (int index = 0; complete && index < FlashPlan::maxEntries && plan.segments[index].size != 0;
         ++index) {
        const FlashPlan::Segment &segment = plan.segments[index];
        const uint8_t *segmentData = dataArea + size_t(index) * FlashPlan::slotSizeBytes;
        for (uint32_t offset = 0; offset < segment.size;) {
            const int chunk = int(std::min<uint32_t>(segment.size - offset, maxChunkBytes));
            const uint8_t *chunkData = segmentData + offset;
            const QByteArray request = buildFrame(CommandWriteMemory, segment.address + offset,
                                                  uint32_t(chunk), chunkData, chunk);
            if (!sendCommand(request)) {
                qWarning() << "write2Flash write error!";
                complete = false;
                break;
            }
            QByteArray reply;
            if (!readReply(&reply) || !replyMatches(reply, request, uint32_t(chunk))) {
                qWarning() << "write2Flash USB_ERR_DATA_VERIFY 2";
                complete = false;
                break;
            }
            if (std::memcmp(reply.constData() + frameDataOffset, chunkData, size_t(chunk)) != 0) {
                qWarning() << "write2Flash USB_ERR_DATA_VERIFY 1";
                qDebug() << "write_data:"
                         << QByteArray(reinterpret_cast<const char *>(chunkData), chunk).toHex();
                qDebug() << "read_data :" << reply.mid(frameDataOffset, chunk).toHex();
                complete = false;
                break;
            }
            offset += uint32_t(chunk);
            written += uint32_t(chunk);
            set_progress(double(written) / double(plan.totalSize));
        }
    }
    set_progress(0.0);
    return complete;
}

void M7Device::updateFirmwareFile(QString path, QString version)
{
    Q_UNUSED(version)
    set_busying(true);

    // Step 1: open the package. The M7 accepts any version.
    const FirmwarePackage package = FirmwarePackage::decode(getFirmwareData(path));
    if (!package.digestOk) {
        qWarning() << "DeviceError_FirmwareFileDamage file md5 error";
        set_busying(false);
        emit error(tr("Update file md5 error!"));
        return;
    }
    if (package.marker != QByteArray(packageMarker)) {
        qWarning() << "DeviceError_FirmwareFileDamage file type error";
        set_busying(false);
        emit error(tr("Update file type error!"));
        return;
    }
    // The image must fit both the plan's data area and the adapter's flash.
    const uint32_t imageSize = uint32_t(package.image.size());
    const QList<uint8_t> sectors = eraseSectorsForImage(imageSize);
    if (sectors.isEmpty() || imageSize > FlashPlan::bytesAvailableFromSlot(1)) {
        qWarning() << "DeviceError_InvalidFile";
        set_busying(false);
        emit error(tr("Update invalid file!"));
        return;
    }

    // Step 2: the plan; the information block goes first, as the adapter expects.
    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    for (uint8_t sector : sectors)
        plan->addEraseSector(sector);
    plan->setSegment(
        0, firmwareInformationAddress,
        buildInformationBlock(uint8_t(package.major), package.minor, package.patch, package.image));
    plan->setSegment(1, imageAddress, package.image);
    plan->totalSize = plan->sumOfSegmentSizes();

    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());

    // Step 3: erase, then write even after a refused erase; the verified
    // writes tell whether the flash took the image.
    eraseFlash(*plan);
    const bool writeComplete = write2Flash(*plan);

    // Step 4: the information block is written first, so it looks valid even
    // when the image stopped part-way: success also needs a complete write.
    std::array<uint8_t, blockSizeBytes> readBack{};
    const bool readOk =
        readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes, readBack.data());
    if (readOk && writeComplete && blockIsMarkedValid(readBack.data())) {
        set_version(versionText(readBack.data()));
        qDebug() << "M7Device::updateFirmwareFile Ok!";
        emit message(tr("Update OK!"));
    } else {
        emit error(tr("Update error!"));
        qWarning() << "M7Device::updateFirmwareFile error!";
    }
    set_busying(false);
}
