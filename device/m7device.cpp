#include "m7device.h"

#include "bridgeusb.h"
#include "firmwarepackage.h"
#include "k3device.h" // the information block has the K3's layout

#include <QDebug>
#include <QMutexLocker>

#include <algorithm>
#include <memory>

constexpr char M7Device::packageMarker[];

M7Device::M7Device(QObject *parent) : BaseDevice(parent)
{
    set_image(QStringLiteral("qrc:/images/M7.png"));
    connect(this, &BaseDevice::connectedChanged, this, &M7Device::handleConnectedChanged);
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

bool M7Device::readMemory(uint32_t command, uint32_t address, int length, uint8_t *destination)
{
    return readChunks(wideFrameLayout, command, address, uint32_t(std::max(length, 0)),
                      destination);
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
    if (K3Device::blockIsMarkedValid(informationBlock.data()))
        set_version(K3Device::informationVersion(informationBlock.data()));
    else
        qWarning() << "DeviceError_FirmwareLost";
    qDebug() << "M7 readDeviceConfig finished!";
}

bool M7Device::eraseFlash(const FlashPlan &plan)
{
    qDebug() << "eraseFlash...";
    // A request that never went out gets no reply; waiting for one would only
    // hold the update up for the whole reply time-out.
    MemoryFrame reply;
    if (!sendAndReceive(MemoryFrame::request(wideFrameLayout, CommandEraseSectors, 0,
                                             plan.eraseCount, plan.eraseSectors),
                        &reply) ||
        reply.code() != StatusEraseDone) {
        qWarning() << "erase error !";
        emit error(tr("Erase error!"));
        return false;
    }
    return true;
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
    plan->setSegment(0, firmwareInformationAddress,
                     K3Device::buildInformationBlock(imageAddress, uint8_t(package.major),
                                                     package.minor, package.patch, package.image));
    plan->setSegment(1, imageAddress, package.image);
    plan->totalSize = plan->sumOfSegmentSizes();

    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());

    // Step 3: erase, then write even after a refused erase; the verified
    // writes tell whether the flash took the image.
    eraseFlash(*plan);
    const bool writeComplete = writePlan(wideFrameLayout, CommandWriteMemory, *plan);

    // Step 4: the information block is written first, so it looks valid even
    // when the image stopped part-way: success also needs a complete write.
    std::array<uint8_t, blockSizeBytes> readBack{};
    const bool readOk =
        readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes, readBack.data());
    if (readOk && writeComplete && K3Device::blockIsMarkedValid(readBack.data())) {
        set_version(K3Device::informationVersion(readBack.data()));
        qDebug() << "M7Device::updateFirmwareFile Ok!";
        emit message(tr("Update OK!"));
    } else {
        emit error(tr("Update error!"));
        qWarning() << "M7Device::updateFirmwareFile error!";
    }
    set_busying(false);
}
