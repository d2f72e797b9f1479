#include "k3device.h"

#include "bridgeusb.h"
#include "firmwarepackage.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QMutexLocker>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cstring>
#include <memory>

constexpr char K3Device::packageMarker[];

namespace {
void putLe16(QByteArray *frame, int offset, uint16_t value)
{
    (*frame)[offset] = char(value & 0xFF);
    (*frame)[offset + 1] = char((value >> 8) & 0xFF);
}

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

uint16_t le16(const QByteArray &bytes, int offset)
{
    return uint16_t(uint8_t(bytes.at(offset)) | (uint8_t(bytes.at(offset + 1)) << 8));
}

uint8_t byteAt(const QByteArray &bytes, int offset)
{
    return uint8_t(bytes.at(offset));
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

// The reply answers the request: right status, address, length and report id.
bool replyMatches(const QByteArray &reply, const QByteArray &request, uint16_t length)
{
    return byteAt(reply, K3Device::frameCommandOffset) == K3Device::StatusOk &&
           le32(reply, K3Device::frameAddressOffset) ==
               le32(request, K3Device::frameAddressOffset) &&
           le16(reply, K3Device::frameLengthOffset) == length &&
           reply.at(K3Device::frameReportIdOffset) == request.at(K3Device::frameReportIdOffset);
}
} // namespace

K3Device::K3Device(QObject *parent) : BaseDevice(parent)
{
    set_image(QStringLiteral("qrc:/images/K3.png"));
    // Emitted from the search's pool thread, so the handler runs queued on
    // this object's own thread.
    connect(this, &BaseDevice::connectedChanged, this, &K3Device::handleConnectedChanged);
}

QByteArray K3Device::buildFrame(uint8_t command, uint32_t address, uint16_t length,
                                const uint8_t *data, int dataLength)
{
    QByteArray frame(frameSizeBytes, '\0');
    frame[frameReportIdOffset] = '\0';
    frame[frameTagOffset] = char(frameTag);
    frame[frameCommandOffset] = char(command);
    putLe32(reinterpret_cast<uint8_t *>(frame.data()) + frameAddressOffset, address);
    putLe16(&frame, frameLengthOffset, length);
    if (data && dataLength > 0)
        std::memcpy(frame.data() + frameDataOffset, data,
                    size_t(std::min(dataLength, maxChunkBytes)));
    return frame;
}

QByteArray K3Device::buildInformationBlock(uint8_t major, uint8_t minor, uint8_t patch,
                                           const QByteArray &image)
{
    QByteArray block(blockSizeBytes, '\0');
    uint8_t *bytes = reinterpret_cast<uint8_t *>(block.data());
    bytes[0] = blockStartMark;
    putLe32(bytes + infoStartAddressOffset, imageAddress);
    bytes[infoVersionMajorOffset] = major;
    bytes[infoVersionMinorOffset] = minor;
    bytes[infoVersionPatchOffset] = patch;
    putLe32(bytes + infoImageSizeOffset, uint32_t(image.size()));
    const QByteArray digest = QCryptographicHash::hash(image, QCryptographicHash::Md5);
    std::memcpy(bytes + infoImageDigestOffset, digest.constData(), size_t(digest.size()));
    bytes[blockEndMarkOffset] = blockEndMark;
    return block;
}

bool K3Device::sendCommand(const QByteArray &frame)
{
    if (!writeCMDData(frame)) {
        qWarning() << "writeCMDData write error !!!";
        return false;
    }
    return true;
}

bool K3Device::readReply(QByteArray *destination)
{
    QByteArray reply = readCMDData(frameSizeBytes);
    if (reply.isEmpty()) {
        qWarning() << "readCMDData read error !!!";
        return false;
    }
    // A short report still leaves every field of the frame readable.
    if (reply.size() < frameSizeBytes)
        reply.append(QByteArray(frameSizeBytes - reply.size(), '\0'));
    *destination = reply.left(frameSizeBytes);
    return true;
}

bool K3Device::readMemory(uint8_t command, uint32_t address, int length, uint8_t *destination)
{
    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());
    int remaining = length;
    int offset = 0;
    uint32_t currentAddress = address;
    bool succeeded = true;
    while (remaining > 0) {
        const int chunk = std::min(remaining, maxChunkBytes);
        const QByteArray request = buildFrame(command, currentAddress, uint16_t(chunk));
        if (!sendCommand(request)) {
            succeeded = false;
            break;
        }
        QByteArray reply;
        if (!readReply(&reply) || !replyMatches(reply, request, uint16_t(chunk))) {
            succeeded = false;
            break;
        }
        std::memcpy(destination + offset, reply.constData() + frameDataOffset, size_t(chunk));
        offset += chunk;
        currentAddress += uint32_t(chunk);
        remaining -= chunk;
        set_progress(double(length - remaining) / double(length));
    }
    // Back to idle on failure too, so no stale bar is left behind.
    set_progress(0.0);
    return succeeded;
}

bool K3Device::tryConnected()
{
    // The watcher's finished signal is queued after any connectedChanged
    // delivery, so the connection handler has run by the time the loop ends.
    // The search never touches the loop: if the loop is left early (the
    // application quitting), nothing points into this stack frame.
    QEventLoop waitLoop;
    QFutureWatcher<void> searchWatcher;
    connect(&searchWatcher, &QFutureWatcher<void>::finished, &waitLoop, &QEventLoop::quit);
    searchWatcher.setFuture(QtConcurrent::run([this]() { searchAdapter(); }));
    waitLoop.exec();
    qDebug() << "K3Device::tryConnected finished" << connected();
    return connected();
}

double K3Device::searchAdapter()
{
    BridgeUSB *bridge = BridgeUSB::instance();
    double openedProductId = 0;
    {
        QMutexLocker exchangeLock(bridge->exchangeMutex());

        // Step 1: the first identity that opens.
        struct Identity
        {
            DeviceVPID productId;
            int interfaceNumber;
        };
        const Identity identities[] = {
            {Brivane_PID_K3_APP, 0},
            {Brivane_PID_K3_BOOT_V1, -1},
            {Brivane_PID_K3_BOOT, -1},
        };
        DeviceVPID found = Brivane_Unknow;
        for (const Identity &identity : identities) {
            if (bridge->open(Brivane_VID, identity.productId, identity.interfaceNumber)) {
                found = identity.productId;
                break;
            }
        }

        if (found == Brivane_PID_K3_APP) {
            // Step 2: ask the application to hand over to its boot loader,
            // then wait for it to come back under a boot identity.
            const uint8_t zero = 0;
            if (sendCommand(buildFrame(CommandEnterBootLoader, 0, 1, &zero, 1))) {
                QByteArray ignoredReply;
                readReply(&ignoredReply);
            }
            QEventLoop switchLoop;
            QTimer::singleShot(bootLoaderSwitchDelayMs, &switchLoop, &QEventLoop::quit);
            switchLoop.exec();
            // Opening the second identity would close a first one that
            // opened, so the search stops at the first that opens.
            for (DeviceVPID bootIdentity : {Brivane_PID_K3_BOOT_V1, Brivane_PID_K3_BOOT}) {
                if (bridge->open(Brivane_VID, bootIdentity, -1)) {
                    openedProductId = bootIdentity;
                    break;
                }
            }
        } else if (found != Brivane_Unknow) {
            // Step 3: already in the boot loader.
            openedProductId = found;
        }
    }

    // Step 4: nothing opened leaves connected as it was. The exchange lock is
    // released first: the connection handler takes it on the model's thread.
    if (openedProductId != 0) {
        setVPID(Brivane_VID, openedProductId);
        set_connected(true);
    }
    return openedProductId;
}

void K3Device::handleConnectedChanged(bool isConnected)
{
    qDebug() << "K3Device::connectedChanged" << isConnected;
    if (isConnected) {
        qDebug() << "K3Device::readDeviceConfig...";
        readDeviceConfig();
        qDebug() << "K3Device::readDeviceConfig finished";
    } else {
        set_version(QString());
        set_serialNumber(QString());
    }
}

int K3Device::clearBootFlag()
{
    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());
    if (!sendCommand(buildFrame(CommandReadBootFlag, 0, 1)))
        return -1;
    QByteArray reply;
    if (!readReply(&reply) || byteAt(reply, frameCommandOffset) != StatusBootFlag)
        return -1;
    const uint8_t flag = byteAt(reply, frameDataOffset);
    if (flag == 0)
        return 0;
    if (flag != 1)
        return -1;
    // The adapter takes its own reply back with the write code and a clear flag.
    reply[frameCommandOffset] = char(CommandWriteBootFlag);
    reply[frameDataOffset] = '\0';
    return sendCommand(reply) ? 1 : -1;
}

bool K3Device::readDeviceConfig()
{
    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());

    // Step 1: configuration block.
    if (!readMemory(CommandReadMemory, configurationBlockAddress, blockSizeBytes,
                    configurationBlock.data())) {
        qWarning() << "DeviceError_Read_DEV_INFO";
        return false;
    }
    if (!blockIsMarkedValid(configurationBlock.data())) {
        qWarning() << "DeviceError_HardwareFailure";
        return false;
    }

    // Step 2: spare and firmware-information blocks.
    if (!readMemory(CommandReadMemory, spareBlockAddress, blockSizeBytes, spareBlock.data()) ||
        !readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes,
                    informationBlock.data())) {
        qWarning() << "DeviceError_Read_DEV_INFO";
        return false;
    }

    // Step 3: serial number from the chip identifier.
    std::array<uint8_t, chipIdentifierBytes> identifier{};
    if (!readMemory(CommandReadMemory, chipIdentifierAddress, chipIdentifierBytes,
                    identifier.data())) {
        qWarning() << "DeviceError_Serial_Number";
        return false;
    }
    const auto firstZero = std::find(identifier.begin(), identifier.end(), uint8_t(0));
    const QByteArray identifierBytes(reinterpret_cast<const char *>(identifier.data()),
                                     int(firstZero - identifier.begin()));
    set_serialNumber(QString::fromLatin1(
        QCryptographicHash::hash(identifierBytes, QCryptographicHash::Md5).toHex()));

    // Step 4: boot flag.
    qDebug() << "Boot Mode:" << clearBootFlag();

    // Step 5: installed firmware version.
    if (!blockIsMarkedValid(informationBlock.data())) {
        qWarning() << "DeviceError_FirmwareLost";
        return false;
    }
    set_version(versionText(informationBlock.data()));
    return true;
}

void K3Device::syncFirmwareInformation()
{
    pulseBusy();
}

void K3Device::setBootMode(BootMode mode)
{
    Q_UNUSED(mode)
}

void K3Device::dataBackupFile(QString path)
{
    Q_UNUSED(path)
}

void K3Device::dataRestoreFile(QString path)
{
    Q_UNUSED(path)
}

void K3Device::restoreFirmwareFile(QString path, QString version)
{
    Q_UNUSED(path)
    Q_UNUSED(version)
}

bool K3Device::eraseFlash(const FlashPlan &plan)
{
    for (int index = 0; index < FlashPlan::maxEntries && plan.segments[index].address != 0;
         ++index) {
        qWarning() << "eraseFlash...";
        uint8_t range[8];
        putLe32(range, plan.segments[index].address);
        putLe32(range + 4, plan.segments[index].size);
        QByteArray reply;
        const bool answered =
            sendCommand(buildFrame(CommandErase, 0, sizeof(range), range, int(sizeof(range)))) &&
            readReply(&reply);
        if (!answered || byteAt(reply, frameCommandOffset) != StatusEraseDone) {
            qWarning() << "erase error !";
            emit error(tr("Erase error!"));
            return false;
        }
    }
    return true;
}

bool K3Device::write2Flash(const FlashPlan &plan)
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
                                                  uint16_t(chunk), chunkData, chunk);
            if (!sendCommand(request)) {
                qWarning() << "write2Flash write error!";
                complete = false;
                break;
            }
            QByteArray reply;
            if (!readReply(&reply) || !replyMatches(reply, request, uint16_t(chunk))) {
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

void K3Device::updateFirmwareFile(QString path, QString version)
{
    Q_UNUSED(version)
    set_busying(true);

    // Step 1: open the package.
    const FirmwarePackage package = FirmwarePackage::decode(getFirmwareData(path));
    if (!package.digestOk || package.marker != QByteArray(packageMarker)) {
        qWarning() << "DeviceError_FirmwareFileDamage";
        set_busying(false);
        emit error(tr("Update firmware file damag!"));
        return;
    }
    // A larger image would run into the slot that carries the information
    // block, and past the adapter's image area.
    if (package.major < minimumMajorVersion || package.image.isEmpty() ||
        uint32_t(package.image.size()) > imageCapacityBytes) {
        qWarning() << "DeviceError_InvalidFile";
        set_busying(false);
        emit error(tr("Update invalid file!"));
        return;
    }

    // Step 2: the plan. The information block goes last: it marks the image
    // as complete.
    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    plan->setSegment(0, imageAddress, package.image);
    plan->setSegment(
        1, firmwareInformationAddress,
        buildInformationBlock(uint8_t(package.major), package.minor, package.patch, package.image));
    plan->totalSize = plan->sumOfSegmentSizes();

    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());

    // Step 3: erase, then write even after a refused erase; the verified
    // writes tell whether the flash took the image.
    eraseFlash(*plan);
    const bool writeComplete = write2Flash(*plan);

    // Step 4: read the information block back.
    std::array<uint8_t, blockSizeBytes> readBack{};
    if (!readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes,
                    readBack.data())) {
        qWarning() << "K3Device::updateFirmwareFile information block unreadable";
        emit error(tr("Update error!"));
    } else {
        informationBlock = readBack;
        // An old block that survived a refused erase still looks valid, so
        // success also needs every chunk echoed correctly.
        if (writeComplete && blockIsMarkedValid(readBack.data())) {
            set_version(versionText(readBack.data()));
            emit message(tr("Update OK!"));
        } else {
            emit error(tr("Update error!"));
        }
    }
    set_busying(false);
}
