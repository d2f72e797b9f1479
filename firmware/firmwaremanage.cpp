#include "firmwaremanage.h"

#include "accessadvice.h"
#include "basedevice.h"
#include "bridgeusb.h"
#include "catalogue.h"
#include "cloudaws.h"
#include "global.h"
#include "k3device.h"
#include "m7device.h"
#include "t5device.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QFutureInterface>
#include <QFutureWatcher>
#include <QMutexLocker>
#include <QTimer>
#include <QtConcurrent>

const QList<int> FirmwareManage::languageNumbers{31, 25, 59, 96, 37};
const QStringList FirmwareManage::modelKeys{QStringLiteral("T5"), QStringLiteral("M7"),
                                            QStringLiteral("K3")};

namespace {

constexpr double t5VendorId = BaseDevice::Brivane_VID;
constexpr double t5ProductId = BaseDevice::Brivane_PID_T5;

} // namespace

FirmwareManage::FirmwareManage(QObject *parent) : FirmwareManage(Mode::Window, parent) {}

FirmwareManage::FirmwareManage(Mode mode, QObject *parent) : QObject(parent), m_mode(mode)
{
    workerMutex = new QMutex(QMutex::NonRecursive);
    m_cloud = new CloudAWS(this);

    const int position = languageNumbers.indexOf(Global::instance()->readLanguage());
    m_currentLanguage = position < 0 ? 0 : position;
    // The window is busy until the first synchronisation has ended.
    m_busying = mode == Mode::Window;

    connect(m_cloud, &CloudAWS::currentIndexChanged, this,
            &FirmwareManage::syncFirmwareInformation);
    connect(this, &FirmwareManage::firmwareIndexChanged, this, &FirmwareManage::refreshChangeLog);
    if (mode == Mode::Window) {
        connect(BridgeUSB::instance(), &BridgeUSB::connectedChanged, this,
                &FirmwareManage::onDeviceConnectionChanged);
        QTimer::singleShot(startDelayMs, this, &FirmwareManage::onStartTimer);
    }
}

FirmwareManage::~FirmwareManage()
{
    m_closing = true;
    m_pendingConnection.reset();
    waitForWorkers();
    delete workerMutex;
}

// Properties --------------------------------------------------------------

template <typename T, typename Signal>
bool FirmwareManage::setMember(T *member, const T &value, Signal signal)
{
    {
        QMutexLocker locker(&m_propertyLock);
        if (*member == value)
            return false;
        *member = value;
    }
    emit(this->*signal)(value);
    return true;
}

BaseDevice *FirmwareManage::currentDevice() const
{
    QMutexLocker locker(&m_deviceLock);
    return m_currentDevice;
}

int FirmwareManage::currentLanguage() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_currentLanguage;
}

int FirmwareManage::currentDeviceIndex() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_currentDeviceIndex;
}

bool FirmwareManage::synced() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_synced;
}

bool FirmwareManage::busying() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_busying;
}

bool FirmwareManage::isLocalFirmware() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_isLocalFirmware;
}

QString FirmwareManage::localFirmwareVersion() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_localFirmwareVersion;
}

QString FirmwareManage::localFirmwarePath() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_localFirmwarePath;
}

int FirmwareManage::firmwareIndex() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_firmwareIndex;
}

QString FirmwareManage::currentfirmwareInfo() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_currentfirmwareInfo;
}

QVariant FirmwareManage::firmwareInformation() const
{
    return QVariant(firmwareEntries());
}

QVariant FirmwareManage::allFirmwareInformation() const
{
    return QVariant(catalogue());
}

QJsonArray FirmwareManage::firmwareEntries() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_firmwareInformation;
}

QJsonObject FirmwareManage::catalogue() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_allFirmwareInformation;
}

bool FirmwareManage::set_isLocalFirmware(bool isLocalFirmware)
{
    return setMember(&m_isLocalFirmware, isLocalFirmware, &FirmwareManage::isLocalFirmwareChanged);
}

bool FirmwareManage::set_localFirmwareVersion(QString localFirmwareVersion)
{
    return setMember(&m_localFirmwareVersion, localFirmwareVersion,
                     &FirmwareManage::localFirmwareVersionChanged);
}

bool FirmwareManage::set_firmwareIndex(int firmwareIndex)
{
    return setMember(&m_firmwareIndex, firmwareIndex, &FirmwareManage::firmwareIndexChanged);
}

bool FirmwareManage::set_currentLanguage(int currentLanguage)
{
    return setMember(&m_currentLanguage, currentLanguage, &FirmwareManage::currentLanguageChanged);
}

bool FirmwareManage::set_currentDeviceIndex(int currentDeviceIndex)
{
    return setMember(&m_currentDeviceIndex, currentDeviceIndex,
                     &FirmwareManage::currentDeviceIndexChanged);
}

bool FirmwareManage::set_synced(bool synced)
{
    return setMember(&m_synced, synced, &FirmwareManage::syncedChanged);
}

bool FirmwareManage::set_busying(bool busying)
{
    return setMember(&m_busying, busying, &FirmwareManage::busyingChanged);
}

bool FirmwareManage::set_localFirmwarePath(QString localFirmwarePath)
{
    return setMember(&m_localFirmwarePath, localFirmwarePath,
                     &FirmwareManage::localFirmwarePathChanged);
}

bool FirmwareManage::set_currentfirmwareInfo(QString currentfirmwareInfo)
{
    return setMember(&m_currentfirmwareInfo, currentfirmwareInfo,
                     &FirmwareManage::currentfirmwareInfoChanged);
}

bool FirmwareManage::set_firmwareInformation(const QJsonArray &firmwareInformation)
{
    {
        QMutexLocker locker(&m_propertyLock);
        if (m_firmwareInformation == firmwareInformation)
            return false;
        m_firmwareInformation = firmwareInformation;
    }
    emit firmwareInformationChanged(QVariant(firmwareInformation));
    return true;
}

bool FirmwareManage::set_allFirmwareInformation(const QJsonObject &allFirmwareInformation)
{
    {
        QMutexLocker locker(&m_propertyLock);
        if (m_allFirmwareInformation == allFirmwareInformation)
            return false;
        m_allFirmwareInformation = allFirmwareInformation;
    }
    emit allFirmwareInformationChanged(QVariant(allFirmwareInformation));
    return true;
}

void FirmwareManage::refreshChangeLog(int index)
{
    const QJsonArray entries = firmwareEntries();
    if (index >= entries.size())
        return;
    // A negative index stands for an entry without a change log.
    set_currentfirmwareInfo(index < 0 ? QString() : Catalogue::changeLogOf(entries, index));
}

void FirmwareManage::clearLocalFirmware()
{
    set_isLocalFirmware(false);
    set_localFirmwareVersion(QString());
    set_localFirmwarePath(QString());
}

// Start, settings, language -------------------------------------------------

void FirmwareManage::onStartTimer()
{
    syncFirmwareInformation();
    if (!checkConfigs())
        set_busying(true);
}

bool FirmwareManage::checkConfigs()
{
    Global *global = Global::instance();
    bool valid = true;
    bool isNumber = false;
    // Negative values (and an absent key) leave the boot mode alone; 5 and
    // above are no mode an update may set. A value that is no number is
    // refused too: the update would not know which mode was meant.
    const int bootMode = global->readConfig(Global::BootMode, -1).toInt(&isNumber);
    if (!isNumber || bootMode > BaseDevice::PS5_M7) {
        qDebug() << "err boot_mode";
        valid = false;
    }
    const QStringList switches{QStringLiteral("ON"), QStringLiteral("OFF")};
    const QString setBootMode =
        global->readConfig(Global::SetBootModeAfterUpdate, QStringLiteral("OFF")).toString();
    const QString reboot =
        global->readConfig(Global::RebootAfterUpdate, QStringLiteral("OFF")).toString();
    if (!switches.contains(setBootMode) || !switches.contains(reboot))
        valid = false;
    if (!valid)
        emit messageError(tr("App 'configs.ini' error!"), settingsMessageTimeoutMs);
    return valid;
}

void FirmwareManage::setCurrentLanguage(int currentLanguage)
{
    if (currentLanguage < 0 || currentLanguage >= languageNumbers.size()) {
        qWarning() << "FirmwareManage::setCurrentLanguage: no language" << currentLanguage;
        return;
    }
    Global::instance()->setLanguage(languageNumbers.at(currentLanguage));
    set_currentLanguage(currentLanguage);
}

void FirmwareManage::close()
{
    QCoreApplication::quit();
}

// Device selection -----------------------------------------------------------

BaseDevice *FirmwareManage::createModelDevice(int index)
{
    switch (index) {
    case Device_T5:
        return new T5Device(this);
    case Device_M7:
        return new M7Device(this);
    case Device_K3:
        return new K3Device(this);
    default:
        return nullptr;
    }
}

void FirmwareManage::makeCurrent(BaseDevice *device, int index)
{
    {
        QMutexLocker locker(&m_deviceLock);
        m_currentDevice = device;
        m_currentDeviceSerial = ++m_deviceSerialCounter;
    }
    emit currentDeviceChanged(device);
    set_currentDeviceIndex(index);
}

void FirmwareManage::dropCurrentDevice()
{
    BaseDevice *device = nullptr;
    bool inUse = false;
    {
        QMutexLocker locker(&m_deviceLock);
        device = m_currentDevice;
        if (!device)
            return;
        m_currentDevice = nullptr;
        m_currentDeviceSerial = 0;
        inUse = device == m_deviceInUse;
        if (inUse)
            m_deviceInUseDropped = true;
    }
    emit currentDeviceChanged(nullptr);
    if (!inUse) {
        discardDevice(device);
        return;
    }
    // A worker is inside one of its operations: the object must outlive it
    // (deleted in releaseDevice), and what it still reports reaches the
    // window through the controller now that the window no longer shows it.
    qDebug()
        << "FirmwareManage: the dropped device is still in use; deleted when its operation ends";
    connect(device, &BaseDevice::error, this,
            [this](const QString &text) { emit messageError(text, messageTimeoutMs); });
    connect(device, &BaseDevice::message, this,
            [this](const QString &text) { emit messageInfo(text, messageTimeoutMs); });
}

void FirmwareManage::discardDevice(BaseDevice *device)
{
    delete device;
}

bool FirmwareManage::deviceInUseWasDropped() const
{
    QMutexLocker locker(&m_deviceLock);
    return m_deviceInUse && m_deviceInUseDropped;
}

quint64 FirmwareManage::currentDeviceSerial() const
{
    QMutexLocker locker(&m_deviceLock);
    return m_currentDeviceSerial;
}

BaseDevice *FirmwareManage::acquireDevice(quint64 requestedSerial, const char *operation)
{
    QMutexLocker locker(&m_deviceLock);
    if (!m_currentDevice || requestedSerial == 0 || m_currentDeviceSerial != requestedSerial) {
        qWarning() << "FirmwareManage::" << operation
                   << ": the device it was asked for is no longer current; nothing done";
        return nullptr;
    }
    m_deviceInUse = m_currentDevice;
    m_deviceInUseDropped = false;
    return m_deviceInUse;
}

void FirmwareManage::releaseDevice(BaseDevice *device)
{
    bool dropped = false;
    {
        QMutexLocker locker(&m_deviceLock);
        dropped = m_deviceInUseDropped;
        m_deviceInUse = nullptr;
        m_deviceInUseDropped = false;
    }
    if (!dropped)
        return;
    QMetaObject::invokeMethod(
        this,
        [this, device]() {
            discardDevice(device);
            resumePendingConnection();
        },
        Qt::QueuedConnection);
}

void FirmwareManage::resumePendingConnection()
{
    if (!m_pendingConnection || m_closing)
        return;
    const PendingConnection pending = *m_pendingConnection;
    m_pendingConnection.reset();
    if (pending.fromHotplug)
        onDeviceConnectionChanged(true, pending.vendorId, pending.productId);
    else
        tryCurrentDeviceIndex(pending.index);
}

FirmwareManage::Connection FirmwareManage::connectDevice(BaseDevice *device, int index)
{
    if (m_deviceCreatedObserver)
        m_deviceCreatedObserver(device);
    const quint64 attempt = ++m_connectionAttempt;
    m_connectingIndex = index;
    const bool answered = device->tryConnected();
    if (attempt != m_connectionAttempt) {
        // Overtaken while it waited (a newer selection, or the adapter left).
        qDebug() << "FirmwareManage: connection attempt overtaken;" << Device(index) << "dropped";
        discardDevice(device);
        return Connection::Overtaken;
    }
    m_connectingIndex = Device_Unknow;
    if (!answered) {
        discardDevice(device);
        return Connection::NotAnswered;
    }
    makeCurrent(device, index);
    return Connection::Connected;
}

// An adapter that is plugged in but may not be opened (on Linux: no
// permission on its device node) is not "not found": the user can fix it.
bool FirmwareManage::reportAccessDenied(quint64 denialsBefore)
{
    BridgeUSB *bridge = BridgeUSB::instance();
    if (bridge->accessDenials() == denialsBefore)
        return false;
    const QString nodePath = bridge->lastDeniedPath();
    const QString installedRule = AccessAdvice::installedUdevRule();
    if (installedRule.isEmpty()) {
        emit messageError(tr("The adapter was found but cannot be opened: no permission for %1. "
                             "Install the package %2, whose udev rule gives the user at this "
                             "computer access to the adapters, then plug the adapter in again.")
                              .arg(nodePath, QLatin1String(AccessAdvice::packageName)),
                          settingsMessageTimeoutMs);
    } else {
        emit messageError(
            tr("The adapter was found but cannot be opened: no permission for %1, although the "
               "udev rule %2 is installed. It gives access only to the user at this computer's "
               "own screen and keyboard. If that is you, run \"%3\" and plug the adapter in "
               "again.")
                .arg(nodePath, installedRule, QLatin1String(AccessAdvice::reloadCommand)),
            settingsMessageTimeoutMs);
    }
    return true;
}

void FirmwareManage::tryCurrentDeviceIndex(int index)
{
    if (index < Device_T5 || index > Device_K3) {
        qWarning() << "FirmwareManage::tryCurrentDeviceIndex: no model" << index;
        return;
    }
    if (!checkConfigs()) {
        set_busying(true);
        return;
    }
    set_isLocalFirmware(false);
    set_localFirmwareVersion(QString());
    if (currentDevice()) {
        dropCurrentDevice();
        set_currentDeviceIndex(Device_Unknow);
        clearLocalFirmware();
    }
    emit messageInfo(tr("The device is connecting..."), messageTimeoutMs);
    if (deviceInUseWasDropped()) {
        // Two device objects must never talk to the transport at once.
        m_pendingConnection = PendingConnection{false, index, 0, 0};
        return;
    }
    const quint64 denialsBefore = BridgeUSB::instance()->accessDenials();
    const Connection connection = connectDevice(createModelDevice(index), index);
    if (connection == Connection::Connected)
        syncFirmwareInformation();
    else if (connection == Connection::NotAnswered && !reportAccessDenied(denialsBefore))
        emit messageError(
            tr("The device is not connected or has not entered upgrade mode as instructed"),
            messageTimeoutMs);
}

void FirmwareManage::onDeviceConnectionChanged(bool connected, double vid, double pid)
{
    qDebug() << "FirmwareManage Device connectedChanged" << connected << vid << pid;
    if (!checkConfigs()) {
        set_busying(true);
        return;
    }
    clearLocalFirmware();
    const Device model = vid == t5VendorId && pid == t5ProductId ? Device_T5 : Device_Unknow;
    if (connected) {
        qDebug() << "FirmwareManage Device ..." << model;
        if (model == Device_Unknow)
            return;
        dropCurrentDevice();
        if (deviceInUseWasDropped()) {
            m_pendingConnection = PendingConnection{true, Device_T5, vid, pid};
            return;
        }
        const quint64 denialsBefore = BridgeUSB::instance()->accessDenials();
        if (connectDevice(new T5Device(this), Device_T5) == Connection::NotAnswered)
            reportAccessDenied(denialsBefore);
        syncFirmwareInformation();
        return;
    }
    if (model == Device_T5 && m_connectingIndex == Device_T5)
        ++m_connectionAttempt; // the adapter being connected left
    if (model != currentDeviceIndex())
        return;
    qDebug() << "FirmwareManage Device unconnected !";
    set_isLocalFirmware(false);
    set_localFirmwareVersion(QString());
    set_currentDeviceIndex(Device_Unknow);
    dropCurrentDevice();
    m_pendingConnection.reset();
}

void FirmwareManage::disconectCurrentDevice()
{
    if (currentDeviceIndex() == Device_Unknow)
        return;
    set_currentDeviceIndex(Device_Unknow);
    dropCurrentDevice();
    m_pendingConnection.reset();
}

// Dialogs ----------------------------------------------------------------

void FirmwareManage::setFileDialogs(FileDialogs *dialogs)
{
    m_fileDialogs = dialogs;
}

void FirmwareManage::setDeviceCreatedObserver(std::function<void(BaseDevice *)> observer)
{
    m_deviceCreatedObserver = std::move(observer);
}

QString FirmwareManage::chooseFile(bool save, const QString &caption, const QString &filter)
{
    if (!m_fileDialogs) {
        qWarning() << "FirmwareManage: no file dialogs installed";
        return QString();
    }
    const QString folder = Global::instance()->readRecentDir();
    const QString path = save ? m_fileDialogs->saveFileName(caption, folder, filter)
                              : m_fileDialogs->openFileName(caption, folder, filter);
    if (!path.isEmpty())
        Global::instance()->writeRecentDir(QFileInfo(path).absolutePath());
    return path;
}

void FirmwareManage::openLocalFirmware()
{
    const QString path = chooseFile(false, tr("Brivane firmware"), tr("Firmware Files (*.bin)"));
    if (path.isEmpty())
        return;
    const QString version = Catalogue::versionInFileName(QFileInfo(path).fileName());
    if (!version.isEmpty())
        set_localFirmwareVersion(version);
    set_localFirmwarePath(path);
}

void FirmwareManage::dataBackup()
{
    const QString path = chooseFile(true, tr("Brivane data backup"), tr("Backup Files (*.bkp)"));
    if (!path.isEmpty())
        startDataBackup(path);
}

void FirmwareManage::dataRestore()
{
    const QString path = chooseFile(false, tr("Brivane data restore"), tr("Backup Files (*.bkp)"));
    if (!path.isEmpty())
        startDataRestore(path);
}

// Workers ----------------------------------------------------------------

QFuture<bool> FirmwareManage::startWorker(const char *name, std::function<bool()> work)
{
    QFutureInterface<bool> promise;
    promise.reportStarted();
    const QFuture<bool> future = promise.future();
    QMutexLocker locker(&m_workersLock);
    m_queuedWorkers.append(QueuedWorker{name, std::move(work), promise});
    m_lastWorker = future;
    if (!m_workerRunning)
        startNextWorkerLocked();
    return future;
}

// Workers run strictly one after another. Each holds the worker mutex, and
// the next is handed to the pool only when the previous has finished: a
// waiting worker must not sit on a pool thread, because the running one may
// need a free thread for its device (a two-core machine has two).
void FirmwareManage::startNextWorkerLocked()
{
    if (m_queuedWorkers.isEmpty()) {
        m_workerRunning = false;
        return;
    }
    m_workerRunning = true;
    QueuedWorker worker = m_queuedWorkers.takeFirst();
    QtConcurrent::run(QThreadPool::globalInstance(), [this, worker]() mutable {
        bool result = false;
        {
            QMutexLocker workerLock(workerMutex);
            result = worker.work();
        }
        worker.promise.reportResult(result);
        worker.promise.reportFinished();
        QMutexLocker locker(&m_workersLock);
        startNextWorkerLocked();
    });
}

void FirmwareManage::waitForWorkers()
{
    for (;;) {
        QFuture<bool> last;
        {
            QMutexLocker locker(&m_workersLock);
            if (!m_workerRunning && m_queuedWorkers.isEmpty())
                break;
            last = m_lastWorker;
        }
        QFutureWatcher<bool> watcher;
        QEventLoop loop;
        connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(last);
        if (!watcher.isFinished())
            loop.exec();
    }
    // Dropped devices whose worker has just let go of them.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}
