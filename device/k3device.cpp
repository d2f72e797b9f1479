#include "k3device.h"

#include "bridgeusb.h"
#include "firmwareinformationblock.h"
#include "firmwarepackage.h"
#include "settingscopystore.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cstring>
#include <memory>

constexpr char K3Device::packageMarker[];

using LittleEndian::writeU32;
namespace InformationBlock = FirmwareInformationBlock;

K3Device::K3Device(QObject *parent) : BaseDevice(parent)
{
    set_image(QStringLiteral("qrc:/images/K3.png"));
    connect(this, &BaseDevice::connectedChanged, this, &K3Device::handleConnectedChanged);
}

K3Device::~K3Device()
{
    requestStop();
    waitForBackgroundTasks();
}

bool K3Device::readMemory(uint8_t command, uint32_t address, int length, uint8_t *destination)
{
    return readChunks(frameLayout, command, address, uint32_t(std::max(length, 0)), destination);
}

bool K3Device::tryConnected()
{
    QPointer<K3Device> self(this);
    // The search waits 800 ms for the boot loader and up to three open
    // retries: it runs on the pool while this thread keeps processing
    // events, and it touches no device object, so this one may go away
    // meanwhile.
    double openedProductId = 0;
    {
        QEventLoop waitLoop;
        QFutureWatcher<double> searchWatcher;
        connect(&searchWatcher, &QFutureWatcher<double>::finished, &waitLoop, &QEventLoop::quit);
        searchWatcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), &searchAdapter));
        if (!searchWatcher.isFinished())
            waitLoop.exec();
        openedProductId = searchWatcher.result();
    }
    if (!self)
        return false;
    // Nothing opened leaves connected as it was.
    if (openedProductId != 0) {
        setVPID(Brivane_VID, openedProductId);
        const bool wasConnected = connected();
        set_connected(true);
        // Found again while connected: the adapter may have been replaced.
        if (wasConnected)
            startConfigurationRead();
        if (!waitForStateRead())
            return false;
    }
    qDebug() << "K3Device::tryConnected finished" << connected();
    return connected();
}

double K3Device::searchAdapter()
{
    BridgeUSB *bridge = BridgeUSB::instance();

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
    if (found != Brivane_PID_K3_APP)
        return found;

    // Step 2: ask the application to hand over to its boot loader, then
    // wait for it to come back under a boot identity. Its reply is read but
    // not examined.
    const uint8_t zero = 0;
    bridge->exchange(
        MemoryFrame::request(frameLayout, CommandEnterBootLoader, 0, 1, &zero).toByteArray());
    QEventLoop switchLoop;
    QTimer::singleShot(bootLoaderSwitchDelayMs, &switchLoop, &QEventLoop::quit);
    switchLoop.exec();
    // Opening the second identity would close a first one that opened, so
    // the search stops at the first that opens.
    for (DeviceVPID bootIdentity : {Brivane_PID_K3_BOOT_V1, Brivane_PID_K3_BOOT}) {
        if (bridge->open(Brivane_VID, bootIdentity, -1))
            return bootIdentity;
    }
    return 0;
}

void K3Device::handleConnectedChanged(bool isConnected)
{
    qDebug() << "K3Device::connectedChanged" << isConnected;
    if (isConnected) {
        startConfigurationRead();
    } else {
        set_version(QString());
        set_serialNumber(QString());
    }
}

void K3Device::startConfigurationRead()
{
    startStateRead([this]() {
        qDebug() << "K3Device::readDeviceConfig...";
        readDeviceConfig();
        qDebug() << "K3Device::readDeviceConfig finished";
    });
}

int K3Device::clearBootFlag()
{
    MemoryFrame reply(frameLayout);
    if (!exchangeFrame(MemoryFrame::request(frameLayout, CommandReadBootFlag, 0, 1), &reply) ||
        reply.code() != StatusBootFlag)
        return -1;
    const uint8_t flag = reply.data()[0];
    if (flag == 0)
        return 0;
    if (flag != 1)
        return -1;
    // The adapter takes its own reply back with the write code and a clear flag.
    reply.setCode(CommandWriteBootFlag);
    reply.data()[0] = 0;
    return sendFrame(reply) ? 1 : -1;
}

bool K3Device::readDeviceConfig()
{
    // Step 1: configuration block.
    if (!readMemory(CommandReadMemory, configurationBlockAddress, blockSizeBytes,
                    configurationBlock.data())) {
        qWarning() << "DeviceError_Read_DEV_INFO";
        return false;
    }
    if (!InformationBlock::isMarkedValid(configurationBlock.data())) {
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

    // Step 5: installed firmware version, if the image it describes is there.
    if (!InformationBlock::isMarkedValid(informationBlock.data())) {
        qWarning() << "DeviceError_FirmwareLost";
        return false;
    }
    const uint32_t imageSize = InformationBlock::imageSizeBytes(informationBlock.data());
    if (imageSize == 0 || imageSize > imageCapacityBytes) {
        qWarning() << "DeviceError_FirmwareLost"
                   << "image size" << imageSize;
        return false;
    }
    switch (probeImage(frameLayout, CommandReadMemory, imageAddress, imageSize)) {
    case ImageProbe::Present:
        break;
    case ImageProbe::Erased:
        qWarning() << "DeviceError_FirmwareLost"
                   << "the image is erased";
        return false;
    case ImageProbe::Unreadable:
        qWarning() << "DeviceError_Read_DEV_INFO";
        return false;
    }
    set_version(InformationBlock::versionText(informationBlock.data()));
    return true;
}

bool K3Device::eraseRange(uint32_t address, uint32_t sizeBytes)
{
    qWarning() << "eraseFlash...";
    uint8_t range[8];
    writeU32(range, 0, address);
    writeU32(range, 4, sizeBytes);
    MemoryFrame reply(frameLayout);
    if (!exchangeFrame(MemoryFrame::request(frameLayout, CommandErase, 0, sizeof range, range),
                       &reply) ||
        reply.code() != StatusEraseDone) {
        qWarning() << "erase error !";
        emit error(tr("Erase error!"));
        return false;
    }
    return true;
}

bool K3Device::saveSettingsArea(const QByteArray &area)
{
    // Only a configuration block with its marks is worth keeping; a damaged
    // one would push good copies out.
    if (!InformationBlock::isMarkedValid(reinterpret_cast<const uint8_t *>(area.constData())))
        return true;
    SettingsCopyStore::Copy copy;
    copy.model = QStringLiteral("K3");
    copy.serialNumber = serialNumber();
    copy.firmwareVersion = version();
    copy.operation = QStringLiteral("update");
    copy.sections.append({settingsAreaAddress, area});
    SettingsCopyStore store;
    QString reason;
    if (!store.save(&copy, &reason)) {
        qWarning().noquote() << "K3Device: settings copy not saved:" << reason;
        return false;
    }
    return true;
}

bool K3Device::writeImage(const QByteArray &image, const QByteArray &information)
{
    // Prepare the settings area: everything of the pages that the
    // information block shares, read now, so it can be written back.
    QByteArray area(int(settingsAreaBytes), '\0');
    // Silent: the update's one progress run is its write.
    if (!readChunks(frameLayout, CommandReadMemory, settingsAreaAddress, settingsAreaBytes,
                    reinterpret_cast<uint8_t *>(area.data()), false)) {
        qWarning() << "K3Device: the settings area could not be read; nothing is erased";
        return false;
    }
    if (!saveSettingsArea(area))
        return false;

    // What is written back: the blocks before and after the information
    // block, each without the erased bytes at its ends.
    std::unique_ptr<FlashPlan> settingsPlan(FlashPlan::create());
    const int informationOffset = int(firmwareInformationAddress - settingsAreaAddress);
    const int regions[2][2] = {{0, informationOffset},
                               {informationOffset + blockSizeBytes, area.size()}};
    int segment = 0;
    for (const auto &region : regions) {
        int begin = region[0];
        int end = region[1];
        while (begin < end && uint8_t(area.at(begin)) == 0xFF)
            ++begin;
        while (end > begin && uint8_t(area.at(end - 1)) == 0xFF)
            --end;
        if (end > begin)
            settingsPlan->setSegment(segment++, settingsAreaAddress + uint32_t(begin),
                                     area.mid(begin, end - begin));
    }
    settingsPlan->totalSize = settingsPlan->sumOfSegmentSizes();

    std::unique_ptr<FlashPlan> imagePlan(FlashPlan::create());
    imagePlan->setSegment(0, imageAddress, image);
    // The information block goes last: it marks the image as complete.
    imagePlan->setSegment(1, firmwareInformationAddress, information);
    imagePlan->totalSize = imagePlan->sumOfSegmentSizes();
    const uint32_t totalBytes = settingsPlan->totalSize + imagePlan->totalSize;

    // Erase: the information block first, so that from here until the last
    // write the adapter shows no firmware rather than a version over an
    // incomplete image; then the settings go straight back.
    if (!eraseRange(settingsAreaAddress, settingsAreaBytes))
        return false;
    if (!writePlan(frameLayout, CommandWriteMemory, *settingsPlan, {},
                   ProgressSpan{0, totalBytes, false}))
        return false;
    if (!eraseRange(imageAddress, uint32_t(image.size())))
        return false;
    return writePlan(frameLayout, CommandWriteMemory, *imagePlan, {},
                     ProgressSpan{settingsPlan->totalSize, totalBytes, true});
}

void K3Device::updateFirmwareFile(QString path, QString version)
{
    Q_UNUSED(version)
    set_busying(true);

    // Prepare: the package, checked whole before anything is erased.
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
    const QByteArray information = InformationBlock::build(
        imageAddress, uint8_t(package.major), package.minor, package.patch, package.image);

    // Erase and write; then read the information block back.
    const bool writeComplete = writeImage(package.image, information);
    std::array<uint8_t, blockSizeBytes> readBack{};
    if (!readMemory(CommandReadMemory, firmwareInformationAddress, blockSizeBytes,
                    readBack.data())) {
        qWarning() << "K3Device::updateFirmwareFile information block unreadable";
        emit error(tr("Update error!"));
    } else {
        informationBlock = readBack;
        // Success needs every chunk echoed correctly as well as a valid block.
        // A valid block after a failure is the old one, over the old image:
        // the information block is erased before anything else.
        const bool blockValid = InformationBlock::isMarkedValid(readBack.data());
        set_version(blockValid ? InformationBlock::versionText(readBack.data()) : QString());
        if (writeComplete && blockValid)
            emit message(tr("Update OK!"));
        else
            emit error(tr("Update error!"));
    }
    set_busying(false);
}
