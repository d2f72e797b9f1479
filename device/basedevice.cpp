#include "basedevice.h"

#include "bridgeusb.h"
#include "versiontext.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMutexLocker>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cstring>

namespace {
// Delay between construction and the first synchronisation pulse, so the
// window has bound to the new object before it sees busying change.
constexpr int syncFirmwareInformationDelayMs = 10;

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
// BaseDevice

BaseDevice::BaseDevice(QObject *parent) : QObject(parent)
{
    QTimer::singleShot(syncFirmwareInformationDelayMs, this,
                       [this]() { syncFirmwareInformation(); });
    connect(this, &BaseDevice::firmwareIndexChanged, this, &BaseDevice::updateCurrentFirmwareInfo);
}

BaseDevice::~BaseDevice()
{
    // Subclasses stop and wait in their own destructors, while their members
    // still exist; this is the last guard.
    requestStop();
    waitForBackgroundTasks();
}

template <typename T, typename Signal>
bool BaseDevice::setProperty(T *member, const T &value, Signal signal)
{
    {
        QMutexLocker locker(&m_propertyLock);
        // Exact comparison on purpose, also for progress: every distinct
        // value is a visible step.
        if (*member == value)
            return false;
        *member = value;
    }
    emit(this->*signal)(value);
    return true;
}

QString BaseDevice::image() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_image;
}

QString BaseDevice::version() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_version;
}

QString BaseDevice::serialNumber() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_serialNumber;
}

bool BaseDevice::connected() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_connected;
}

double BaseDevice::progress() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_progress;
}

bool BaseDevice::busying() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_busying;
}

int BaseDevice::firmwareIndex() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_firmwareIndex;
}

int BaseDevice::bootMode() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_bootMode;
}

QString BaseDevice::currentfirmwareInfo() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_currentfirmwareInfo;
}

QVariant BaseDevice::firmwareInformation() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_firmwareInformation;
}

double BaseDevice::vid() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_vid;
}

double BaseDevice::pid() const
{
    QMutexLocker locker(&m_propertyLock);
    return m_pid;
}

bool BaseDevice::set_image(const QString &image)
{
    return setProperty(&m_image, image, &BaseDevice::imageChanged);
}

bool BaseDevice::set_version(const QString &version)
{
    return setProperty(&m_version, version, &BaseDevice::versionChanged);
}

bool BaseDevice::set_serialNumber(const QString &serialNumber)
{
    return setProperty(&m_serialNumber, serialNumber, &BaseDevice::serialNumberChanged);
}

bool BaseDevice::set_connected(bool connected)
{
    return setProperty(&m_connected, connected, &BaseDevice::connectedChanged);
}

bool BaseDevice::set_progress(double progress)
{
    return setProperty(&m_progress, progress, &BaseDevice::progressChanged);
}

bool BaseDevice::set_busying(bool busying)
{
    return setProperty(&m_busying, busying, &BaseDevice::busyingChanged);
}

bool BaseDevice::set_bootMode(int bootMode)
{
    return setProperty(&m_bootMode, bootMode, &BaseDevice::bootModeChanged);
}

bool BaseDevice::set_currentfirmwareInfo(const QString &currentfirmwareInfo)
{
    return setProperty(&m_currentfirmwareInfo, currentfirmwareInfo,
                       &BaseDevice::currentfirmwareInfoChanged);
}

bool BaseDevice::set_firmwareInformation(const QVariant &firmwareInformation)
{
    return setProperty(&m_firmwareInformation, firmwareInformation,
                       &BaseDevice::firmwareInformationChanged);
}

bool BaseDevice::set_firmwareIndex(int firmwareIndex)
{
    return setProperty(&m_firmwareIndex, firmwareIndex, &BaseDevice::firmwareIndexChanged);
}

void BaseDevice::updateCurrentFirmwareInfo(int index)
{
    const QJsonArray entries = toJsonArray(firmwareInformation());
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
    const QStringList firstParts = VersionText::parts(first);
    const QStringList secondParts = VersionText::parts(second);
    qWarning() << "versionCompare: " << firstParts << secondParts;
    return VersionText::compare(firstParts, secondParts);
}

bool BaseDevice::isCompatibleVersion(QString currentVersion, QString updateVersion)
{
    const QStringList currentParts = VersionText::parts(currentVersion);
    const QStringList updateParts = VersionText::parts(updateVersion);
    if (currentParts.size() < 2 || updateParts.size() < 2) {
        qWarning() << "BaseDevice::isCompatibleVersion Error";
        return false;
    }
    const int currentKey = VersionText::generationKey(currentParts);
    const int updateKey = VersionText::generationKey(updateParts);
    qDebug() << "isCompatibleVersion " << currentKey << updateKey;
    return currentKey == updateKey;
}

int BaseDevice::compareMajorMinor(const QString &a, const QString &b)
{
    return VersionText::compareGenerations(a, b);
}

QByteArray BaseDevice::readCMDData(int length)
{
    return BridgeUSB::instance()->readCMDData(length);
}

bool BaseDevice::writeCMDData(QByteArray data)
{
    return BridgeUSB::instance()->writeCMDData(data);
}

bool BaseDevice::exchangeFrame(const MemoryFrame &request, MemoryFrame *reply,
                               ExchangeStatus *status)
{
    if (status)
        *status = ExchangeStatus::NotOpen;
    if (stopping()) {
        qWarning().noquote() << transferLogPrefix() + QStringLiteral("writeCMDData write error !!!")
                             << "(the device is being closed)";
        return false;
    }
    const FrameLayout &layout = reply->layout();
    const ReplyFilter filter = [&request, &layout](const QByteArray &bytes) {
        MemoryFrame candidate(layout);
        candidate.assign(bytes);
        return candidate.answersAnEarlierRequest(request) ? ReplyKind::Stale : ReplyKind::Answer;
    };
    const ExchangeResult result = BridgeUSB::instance()->exchange(request.toByteArray(), filter);
    if (status)
        *status = result.status;
    if (!result.answered()) {
        reply->assign(QByteArray());
        if (result.status == ExchangeStatus::NotOpen ||
            result.status == ExchangeStatus::WriteFailed)
            qWarning().noquote() << transferLogPrefix() +
                                        QStringLiteral("writeCMDData write error !!!");
        else
            qWarning().noquote() << transferLogPrefix() +
                                        QStringLiteral("readCMDData read error !!!");
        return false;
    }
    reply->assign(result.reply);
    return true;
}

bool BaseDevice::sendFrame(const MemoryFrame &request)
{
    if (stopping() || !BridgeUSB::instance()->send(request.toByteArray())) {
        qWarning().noquote() << transferLogPrefix() +
                                    QStringLiteral("writeCMDData write error !!!");
        return false;
    }
    return true;
}

BaseDevice::EraseOutcome BaseDevice::eraseSectorList(uint32_t command, uint32_t acknowledgement,
                                                     const uint8_t *sectors, uint32_t count)
{
    qDebug() << "eraseFlash...";
    const uint32_t listed = std::min<uint32_t>(count, FlashPlan::maxEntries);
    MemoryFrame reply;
    // The adapter answers only once every sector is erased.
    if (!exchangeFrame(MemoryFrame::request(wideFrameLayout, command, 0, listed, sectors),
                       &reply)) {
        qWarning() << "erase error !";
        return EraseOutcome::NoAnswer;
    }
    if (reply.code() != acknowledgement) {
        qWarning() << "erase error !" << Qt::hex << reply.code();
        return EraseOutcome::Refused;
    }
    return EraseOutcome::Acknowledged;
}

BaseDevice::ImageProbe BaseDevice::probeImage(const FrameLayout &layout, uint32_t readCommand,
                                              uint32_t imageAddress, uint32_t imageSizeBytes)
{
    const uint32_t probeBytes = std::min<uint32_t>(uint32_t(layout.maxDataBytes), imageSizeBytes);
    const auto erased = [probeBytes](const QByteArray &bytes) {
        return bytes.count(char(0xFF)) == int(probeBytes);
    };
    QByteArray first(int(probeBytes), '\0');
    QByteArray last(int(probeBytes), '\0');
    if (probeBytes == 0 ||
        !readChunks(layout, readCommand, imageAddress, probeBytes,
                    reinterpret_cast<uint8_t *>(first.data())) ||
        !readChunks(layout, readCommand, imageAddress + imageSizeBytes - probeBytes, probeBytes,
                    reinterpret_cast<uint8_t *>(last.data())))
        return ImageProbe::Unreadable;
    return erased(first) || erased(last) ? ImageProbe::Erased : ImageProbe::Present;
}

bool BaseDevice::openAdapter(double vid, double pid, int interfaceNumber)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application || QThread::currentThread() != application->thread())
        return BridgeUSB::instance()->open(vid, pid, interfaceNumber);
    QEventLoop waitLoop;
    QFutureWatcher<bool> watcher;
    QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &waitLoop, &QEventLoop::quit);
    watcher.setFuture(
        QtConcurrent::run(QThreadPool::globalInstance(), [vid, pid, interfaceNumber]() {
            return BridgeUSB::instance()->open(vid, pid, interfaceNumber);
        }));
    if (!watcher.isFinished())
        waitLoop.exec();
    return watcher.result();
}

bool BaseDevice::waitKeepingEventsFlowing(const QFuture<void> &task)
{
    QPointer<BaseDevice> self(this);
    QEventLoop waitLoop;
    QFutureWatcher<void> watcher;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, &waitLoop, &QEventLoop::quit);
    watcher.setFuture(task);
    if (!watcher.isFinished())
        waitLoop.exec();
    return !self.isNull();
}

void BaseDevice::startStateRead(const std::function<void()> &read)
{
    const QFuture<void> task = runInBackground(read);
    QMutexLocker locker(&m_tasksLock);
    m_stateRead = task;
}

bool BaseDevice::waitForStateRead()
{
    QFuture<void> task;
    {
        QMutexLocker locker(&m_tasksLock);
        task = m_stateRead;
    }
    return waitKeepingEventsFlowing(task);
}

void BaseDevice::waitForConnectionTask()
{
    QFuture<void> task;
    {
        QMutexLocker locker(&m_tasksLock);
        task = m_stateRead;
    }
    task.waitForFinished();
}

QFuture<void> BaseDevice::runInBackground(const std::function<void()> &work)
{
    QMutexLocker locker(&m_tasksLock);
    m_backgroundTasks.erase(
        std::remove_if(m_backgroundTasks.begin(), m_backgroundTasks.end(),
                       [](const QFuture<void> &task) { return task.isFinished(); }),
        m_backgroundTasks.end());
    const QFuture<void> task = QtConcurrent::run(QThreadPool::globalInstance(), work);
    m_backgroundTasks.append(task);
    return task;
}

void BaseDevice::waitForBackgroundTasks()
{
    QList<QFuture<void>> tasks;
    {
        QMutexLocker locker(&m_tasksLock);
        tasks = m_backgroundTasks;
    }
    for (QFuture<void> &task : tasks)
        task.waitForFinished();
}

bool BaseDevice::readChunks(const FrameLayout &layout, uint32_t command, uint32_t address,
                            uint32_t length, uint8_t *destination, bool reportProgress)
{
    bool complete = true;
    for (uint32_t offset = 0; offset < length;) {
        const uint32_t chunk = std::min<uint32_t>(length - offset, uint32_t(layout.maxDataBytes));
        const MemoryFrame request = MemoryFrame::request(layout, command, address + offset, chunk);
        MemoryFrame reply(layout);
        if (!exchangeFrame(request, &reply) || !reply.answers(request)) {
            complete = false;
            break;
        }
        std::memcpy(destination + offset, reply.data(), chunk);
        offset += chunk;
        if (reportProgress)
            set_progress(double(offset) / double(length));
    }
    // Back to idle on failure too, so no stale bar is left behind.
    if (reportProgress)
        set_progress(0.0);
    return complete;
}

bool BaseDevice::writePlan(const FrameLayout &layout, uint32_t command, const FlashPlan &plan,
                           const std::function<void(WriteFailure)> &reportFailure,
                           const ProgressSpan &span)
{
    bool complete = true;
    const auto stop = [&](WriteFailure failure) {
        complete = false;
        if (reportFailure)
            reportFailure(failure);
    };
    const uint32_t planSize = plan.totalSize > 0 ? plan.totalSize : plan.sumOfSegmentSizes();
    const uint32_t totalSize = span.totalBytes > 0 ? span.totalBytes : planSize;
    // Segments run on contiguously through the slots.
    const uint8_t *dataArea = plan.slotData(0);
    uint32_t written = span.bytesBefore;
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
            // A failed read leaves the reply zero, which answers nothing. A
            // request that did not go out is told apart by its own message.
            MemoryFrame reply(layout);
            ExchangeStatus status = ExchangeStatus::NotOpen;
            exchangeFrame(request, &reply, &status);
            if (status == ExchangeStatus::NotOpen || status == ExchangeStatus::WriteFailed) {
                qWarning() << "write2Flash write error!";
                stop(WriteFailure::Transfer);
                break;
            }
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
    if (span.endsRun || !complete)
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
    QMutexLocker locker(&m_propertyLock);
    m_vid = vid;
    m_pid = pid;
}
