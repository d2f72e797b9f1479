#include "m7device.h"

#include "bridgeusb.h"
#include "firmwareinformationblock.h"
#include "firmwarepackage.h"

#include <QDebug>
#include <QMutexLocker>
#include <QPointer>

#include <algorithm>
#include <memory>

constexpr char M7Device::packageMarker[];

namespace InformationBlock = FirmwareInformationBlock;

M7Device::M7Device(QObject *parent) : BaseDevice(parent)
{
    set_image(QStringLiteral("qrc:/images/M7.png"));
    connect(this, &BaseDevice::connectedChanged, this, &M7Device::handleConnectedChanged);
}

M7Device::~M7Device()
{
    requestStop();
    waitForBackgroundTasks();
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
    const bool wasConnected = connected();
    QPointer<M7Device> self(this);
    const bool opened = openAdapter(Brivane_VID, Brivane_PID_M7, -1);
    if (!self)
        return false;
    set_connected(opened);
    if (opened) {
        // Opened again while connected: the adapter may have been replaced.
        if (wasConnected)
            startConfigurationRead();
        if (!waitForStateRead())
            return false;
    }
    return connected();
}

void M7Device::handleConnectedChanged(bool isConnected)
{
    if (isConnected) {
        startConfigurationRead();
    } else {
        set_version(QString());
        set_serialNumber(QString());
    }
}

void M7Device::startConfigurationRead()
{
    startStateRead([this]() { readDeviceConfig(); });
}

void M7Device::readDeviceConfig()
{
    qDebug() << "M7 readDeviceConfig....";

    // Step 1: factory area and chip identifier.
    std::array<uint8_t, factoryAreaBytes> factory{};
    if (!readMemory(CommandReadMemory, factoryAreaAddress, factoryAreaBytes, factory.data()) ||
        !readMemory(CommandReadMemory, chipIdentifierAddress, chipIdentifierBytes,
                    factory.data() + factoryIdentifierOffset)) {
        qWarning() << "read factory Info failure!";
        return;
    }
    factoryInformation = factory;

    // Step 2: firmware-information block.
    std::array<uint8_t, blockSizeBytes> informationBlock{};
    if (!readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes,
                    informationBlock.data())) {
        qWarning() << "read firmware Info failure!";
        return;
    }

    // Step 3: serial number and version, if the image the block describes
    // is there.
    const QByteArray identifier(
        reinterpret_cast<const char *>(factory.data() + factoryIdentifierOffset),
        chipIdentifierBytes);
    set_serialNumber(QString::fromLatin1(identifier.toHex()));
    if (imageIsInstalled(informationBlock.data()))
        set_version(InformationBlock::versionText(informationBlock.data()));
    qDebug() << "M7 readDeviceConfig finished!";
}

bool M7Device::imageIsInstalled(const uint8_t *informationBlock)
{
    if (!InformationBlock::isMarkedValid(informationBlock)) {
        qWarning() << "DeviceError_FirmwareLost";
        return false;
    }
    const uint32_t imageSize = InformationBlock::imageSizeBytes(informationBlock);
    if (eraseSectorsForImage(imageSize).isEmpty()) {
        qWarning() << "DeviceError_FirmwareLost"
                   << "image size" << imageSize;
        return false;
    }
    switch (probeImage(wideFrameLayout, CommandReadMemory, imageAddress, imageSize)) {
    case ImageProbe::Present:
        return true;
    case ImageProbe::Erased:
        qWarning() << "DeviceError_FirmwareLost"
                   << "the image is erased";
        return false;
    case ImageProbe::Unreadable:
        qWarning() << "read firmware Info failure!";
        return false;
    }
    return false;
}

bool M7Device::eraseFlash(const FlashPlan &plan)
{
    // Without a confirmed erase nothing is written: programming over the old
    // image would damage it.
    if (eraseSectorList(CommandEraseSectors, StatusEraseDone, plan.eraseSectors, plan.eraseCount) ==
        EraseOutcome::Acknowledged)
        return true;
    emit error(tr("Erase error!"));
    return false;
}

void M7Device::updateFirmwareFile(QString path, QString version)
{
    Q_UNUSED(version)
    set_busying(true);

    // Prepare: the package, checked whole before anything is erased. The
    // M7 accepts any version.
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
    if (sectors.isEmpty() || imageSize > FlashPlan::bytesAvailableFromSlot(0)) {
        qWarning() << "DeviceError_InvalidFile";
        set_busying(false);
        emit error(tr("Update invalid file!"));
        return;
    }

    // The plan: the erase takes the information block's sector with the
    // image's, and the block is written after the image, so an update cut
    // anywhere leaves the adapter showing no firmware rather than the new
    // version over an incomplete image.
    std::unique_ptr<FlashPlan> plan(FlashPlan::create());
    for (uint8_t sector : sectors)
        plan->addEraseSector(sector);
    plan->setSegment(0, imageAddress, package.image);
    plan->totalSize = imageSize;
    // The image may run on through several slots, so the block has a plan
    // of its own.
    std::unique_ptr<FlashPlan> informationPlan(FlashPlan::create());
    informationPlan->setSegment(0, firmwareInformationAddress,
                                InformationBlock::build(imageAddress, uint8_t(package.major),
                                                        package.minor, package.patch,
                                                        package.image));
    informationPlan->totalSize = blockSizeBytes;
    const uint32_t totalBytes = imageSize + blockSizeBytes;

    const bool writeComplete = eraseFlash(*plan) &&
                               writePlan(wideFrameLayout, CommandWriteMemory, *plan, {},
                                         ProgressSpan{0, totalBytes, false}) &&
                               writePlan(wideFrameLayout, CommandWriteMemory, *informationPlan, {},
                                         ProgressSpan{imageSize, totalBytes, true});
    plan.reset();
    informationPlan.reset();

    // Read the information block back; success also needs every chunk
    // written and echoed.
    std::array<uint8_t, blockSizeBytes> readBack{};
    const bool readOk =
        readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes, readBack.data());
    const bool blockValid = readOk && InformationBlock::isMarkedValid(readBack.data());
    if (readOk)
        set_version(blockValid ? InformationBlock::versionText(readBack.data()) : QString());
    if (writeComplete && blockValid) {
        qDebug() << "M7Device::updateFirmwareFile Ok!";
        emit message(tr("Update OK!"));
    } else {
        emit error(tr("Update error!"));
        qWarning() << "M7Device::updateFirmwareFile error!";
    }
    set_busying(false);
}
