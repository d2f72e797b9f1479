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

using LittleEndian::writeU32;

K3Device::K3Device(QObject *parent) : BaseDevice(parent)
{
    set_image(QStringLiteral("qrc:/images/K3.png"));
    // Emitted from the search's pool thread, so the handler runs queued on
    // this object's own thread.
    connect(this, &BaseDevice::connectedChanged, this, &K3Device::handleConnectedChanged);
}

QByteArray K3Device::buildInformationBlock(uint32_t startAddress, uint8_t major, uint8_t minor,
                                           uint8_t patch, const QByteArray &image)
{
    QByteArray block(blockSizeBytes, '\0');
    uint8_t *bytes = reinterpret_cast<uint8_t *>(block.data());
    bytes[0] = blockStartMark;
    writeU32(bytes, infoStartAddressOffset, startAddress);
    bytes[infoVersionMajorOffset] = major;
    bytes[infoVersionMinorOffset] = minor;
    bytes[infoVersionPatchOffset] = patch;
    writeU32(bytes, infoImageSizeOffset, uint32_t(image.size()));
    const QByteArray digest = QCryptographicHash::hash(image, QCryptographicHash::Md5);
    std::memcpy(bytes + infoImageDigestOffset, digest.constData(), size_t(digest.size()));
    bytes[blockEndMarkOffset] = blockEndMark;
    return block;
}

bool K3Device::blockIsMarkedValid(const uint8_t *block)
{
    return block[0] == blockStartMark && block[blockEndMarkOffset] == blockEndMark;
}

QString K3Device::informationVersion(const uint8_t *informationBlock)
{
    return QStringLiteral("%1.%2.%3")
        .arg(unsigned(informationBlock[infoVersionMajorOffset]))
        .arg(unsigned(informationBlock[infoVersionMinorOffset]))
        .arg(unsigned(informationBlock[infoVersionPatchOffset]));
}

bool K3Device::readMemory(uint8_t command, uint32_t address, int length, uint8_t *destination)
{
    return readChunks(frameLayout, command, address, uint32_t(std::max(length, 0)), destination);
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

void K3Device::searchAdapter()
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
            MemoryFrame ignoredReply(frameLayout);
            sendAndReceive(MemoryFrame::request(frameLayout, CommandEnterBootLoader, 0, 1, &zero),
                           &ignoredReply);
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
    MemoryFrame reply(frameLayout);
    if (!sendAndReceive(MemoryFrame::request(frameLayout, CommandReadBootFlag, 0, 1), &reply) ||
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
    return writeCMDData(reply) ? 1 : -1;
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
    set_version(informationVersion(informationBlock.data()));
    return true;
}

bool K3Device::eraseFlash(const FlashPlan &plan)
{
    for (int index = 0; index < FlashPlan::maxEntries && plan.segments[index].address != 0;
         ++index) {
        qWarning() << "eraseFlash...";
        uint8_t range[8];
        writeU32(range, 0, plan.segments[index].address);
        writeU32(range, 4, plan.segments[index].size);
        MemoryFrame reply(frameLayout);
        if (!sendAndReceive(MemoryFrame::request(frameLayout, CommandErase, 0, sizeof range, range),
                            &reply) ||
            reply.code() != StatusEraseDone) {
            qWarning() << "erase error !";
            emit error(tr("Erase error!"));
            return false;
        }
    }
    return true;
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
    plan->setSegment(1, firmwareInformationAddress,
                     buildInformationBlock(imageAddress, uint8_t(package.major), package.minor,
                                           package.patch, package.image));
    plan->totalSize = plan->sumOfSegmentSizes();

    QMutexLocker exchangeLock(BridgeUSB::instance()->exchangeMutex());

    // Step 3: erase, then write even after a refused erase; the verified
    // writes tell whether the flash took the image.
    eraseFlash(*plan);
    const bool writeComplete = writePlan(frameLayout, CommandWriteMemory, *plan);

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
            set_version(informationVersion(readBack.data()));
            emit message(tr("Update OK!"));
        } else {
            emit error(tr("Update error!"));
        }
    }
    set_busying(false);
}
