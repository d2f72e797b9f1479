#include "emulatorbackend.h"

#include "adapterfolder.h"
#include "emulatedflash.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Flash files are written back this long after the first unsaved change, so
// a long flash job costs a few file writes instead of one per chunk, while a
// scenario is still on disk shortly after the job ends.
constexpr int flushDelayMs = 300;
// A departing adapter (boot-loader switch) leaves at the latest this long
// after its last reply was queued, also when the host never reads it.
constexpr int departureAfterUnreadReplyMs = 500;
constexpr size_t reportWithIdBytes = 65;

std::mutex liveBackendsMutex;
QSet<EmulatorBackend *> liveBackends;
bool postRoutineRegistered = false;

// Backends that are never destroyed (a program keeping one for its whole
// run) still leave their scenario on disk when the application object goes.
void flushLiveBackends()
{
    std::lock_guard<std::mutex> guard(liveBackendsMutex);
    postRoutineRegistered = false;
    for (EmulatorBackend *backend : qAsConst(liveBackends))
        backend->flush();
}

char *copyText(const QByteArray &text)
{
    char *copy = static_cast<char *>(std::calloc(size_t(text.size()) + 1, 1));
    std::memcpy(copy, text.constData(), size_t(text.size()));
    return copy;
}

// Whether the short-reply fault cuts the reply to this request.
bool cutsReply(const EmulatedAdapter::Faults &faults, int request)
{
    if (faults.shortReplyBytes <= 0)
        return false;
    if (faults.shortReplyFromReport == 0 && faults.shortReplyToReport == 0)
        return true;
    const int first = qMax(1, faults.shortReplyFromReport);
    return request >= first &&
           (faults.shortReplyToReport == 0 || request <= faults.shortReplyToReport);
}

wchar_t *copyText(const QString &text)
{
    const std::wstring wide = text.toStdWString();
    wchar_t *copy = static_cast<wchar_t *>(std::calloc(wide.size() + 1, sizeof(wchar_t)));
    std::wmemcpy(copy, wide.c_str(), wide.size());
    return copy;
}

} // namespace

EmulatorBackend::EmulatorBackend(QObject *parent) : HidBackend(parent)
{
    {
        std::lock_guard<std::mutex> guard(liveBackendsMutex);
        liveBackends.insert(this);
        if (!postRoutineRegistered && QCoreApplication::instance()) {
            qAddPostRoutine(flushLiveBackends);
            postRoutineRegistered = true;
        }
    }
    m_timerThread = std::thread([this] { timerLoop(); });
}

EmulatorBackend::~EmulatorBackend()
{
    if (HidBackend::current() == this)
        HidBackend::install(nullptr);
    {
        Lock locker(m_mutex);
        m_stopping = true;
        for (const auto &handle : qAsConst(m_handles))
            handle->dead = true;
    }
    m_changed.notify_all();
    m_timerThread.join();
    flush();
    std::lock_guard<std::mutex> guard(liveBackendsMutex);
    liveBackends.remove(this);
}

EmulatedAdapter *EmulatorBackend::addAdapter(std::unique_ptr<EmulatedAdapter> adapter)
{
    EmulatedAdapter *added = adapter.get();
    {
        Lock locker(m_mutex);
        {
            // Paths are built from names, so names must be unique.
            EmulatedAdapter::Lock adapterLocker = added->lock();
            const QString base = added->m_name;
            for (int suffix = 2;; ++suffix) {
                const bool taken =
                    std::any_of(m_adapters.begin(), m_adapters.end(),
                                [&](const auto &other) { return other->m_name == added->m_name; });
                if (!taken)
                    break;
                added->m_name = QStringLiteral("%1-%2").arg(base).arg(suffix);
            }
            added->m_mutex = &m_mutex;
        }
        m_adapters.push_back(std::move(adapter));
        if (added->m_appearAfterMs > 0)
            scheduleLocked(Clock::now() + std::chrono::milliseconds(added->m_appearAfterMs), added,
                           [this, added] { plugLocked(added); });
        else
            plugLocked(added);
    }
    emitPendingChanges();
    return added;
}

void EmulatorBackend::plug(EmulatedAdapter *adapter)
{
    {
        Lock locker(m_mutex);
        cancelEventsLocked(adapter);
        plugLocked(adapter);
    }
    emitPendingChanges();
}

void EmulatorBackend::unplug(EmulatedAdapter *adapter)
{
    {
        Lock locker(m_mutex);
        cancelEventsLocked(adapter);
        unplugLocked(adapter);
    }
    emitPendingChanges();
}

bool EmulatorBackend::isPlugged(const EmulatedAdapter *adapter) const
{
    Lock locker(m_mutex);
    const_cast<EmulatorBackend *>(this)->runDueEventsLocked();
    return adapter->m_plugged;
}

QList<EmulatedAdapter *> EmulatorBackend::adapters() const
{
    Lock locker(m_mutex);
    QList<EmulatedAdapter *> list;
    for (const auto &adapter : m_adapters)
        list.append(adapter.get());
    return list;
}

EmulatedAdapter *EmulatorBackend::adapter(const QString &name) const
{
    Lock locker(m_mutex);
    for (const auto &adapter : m_adapters) {
        if (adapter->m_name == name)
            return adapter.get();
    }
    return nullptr;
}

bool EmulatorBackend::loadFolder(const QString &folder, QString *error)
{
    const QDir directory(folder);
    if (!directory.exists()) {
        if (error)
            *error = QStringLiteral("emulator folder %1 does not exist").arg(folder);
        return false;
    }
    QStringList adapterFolders;
    if (QFileInfo::exists(directory.filePath(AdapterFolder::configurationFileName))) {
        adapterFolders.append(directory.absolutePath());
    } else {
        const QStringList names =
            directory.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &name : names) {
            if (QFileInfo::exists(
                    directory.filePath(name + '/' + AdapterFolder::configurationFileName)))
                adapterFolders.append(directory.absoluteFilePath(name));
        }
    }
    // Load all first, add none on a failure: a half-loaded scenario would
    // test something other than what was asked for.
    std::vector<std::unique_ptr<EmulatedAdapter>> loaded;
    for (const QString &adapterFolder : qAsConst(adapterFolders)) {
        QString reason;
        std::unique_ptr<EmulatedAdapter> adapter = AdapterFolder::load(adapterFolder, &reason);
        if (!adapter) {
            if (error)
                *error = reason;
            return false;
        }
        loaded.push_back(std::move(adapter));
    }
    for (auto &adapter : loaded)
        addAdapter(std::move(adapter));
    return true;
}

EmulatorBackend *EmulatorBackend::fromEnvironment(QString *error)
{
    const QString folder = qEnvironmentVariable(environmentVariable);
    if (folder.isEmpty())
        return nullptr;
    auto *backend = new EmulatorBackend;
    QString reason;
    if (!backend->loadFolder(folder, &reason)) {
        qCritical().noquote() << "EmulatorBackend: no emulated adapters loaded:" << reason;
        if (error)
            *error = reason;
    }
    return backend;
}

bool EmulatorBackend::flush(QString *error)
{
    struct PendingFile
    {
        QString path;
        QByteArray bytes;
    };
    std::vector<PendingFile> files;
    {
        Lock locker(m_mutex);
        m_flushScheduled = false;
        for (const auto &adapter : m_adapters) {
            if (!hasUnflushedFlash(adapter.get()))
                continue;
            EmulatedFlash *memory = adapter->flash();
            files.push_back({adapter->m_flashFile, memory->contents()});
            adapter->m_flushedGeneration = memory->generation();
        }
    }
    bool allWritten = true;
    for (const PendingFile &file : files) {
        QString reason;
        if (!AdapterFolder::writeFile(file.path, file.bytes, &reason)) {
            qWarning().noquote() << "EmulatorBackend:" << reason;
            if (error && allWritten)
                *error = reason;
            allWritten = false;
        }
    }
    return allWritten;
}

int EmulatorBackend::init()
{
    return 0;
}

hid_device_info *EmulatorBackend::enumerate(unsigned short vendorId, unsigned short productId)
{
    Lock locker(m_mutex);
    runDueEventsLocked();
    hid_device_info *first = nullptr;
    hid_device_info **next = &first;
    for (const auto &adapter : m_adapters) {
        if (!adapter->m_plugged)
            continue;
        if ((vendorId && adapter->m_vendorId != vendorId) ||
            (productId && adapter->m_productId != productId))
            continue;
        const QVector<EmulatedAdapter::Interface> entries = adapter->interfacesLocked();
        for (const EmulatedAdapter::Interface &entry : entries) {
            auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
            info->path = copyText(entry.path);
            info->vendor_id = adapter->m_vendorId;
            info->product_id = adapter->m_productId;
            info->serial_number = copyText(adapter->serialString());
            info->manufacturer_string = copyText(QStringLiteral("Brivane"));
            info->product_string = copyText(adapter->productString());
            info->interface_number = entry.number;
            *next = info;
            next = &info->next;
        }
    }
    locker.unlock();
    emitPendingChanges();
    return first;
}

void EmulatorBackend::freeEnumeration(hid_device_info *devices)
{
    while (devices) {
        hid_device_info *next = devices->next;
        std::free(devices->path);
        std::free(devices->serial_number);
        std::free(devices->manufacturer_string);
        std::free(devices->product_string);
        std::free(devices);
        devices = next;
    }
}

HidBackend::Handle EmulatorBackend::open(const char *path)
{
    if (!path)
        return nullptr;
    const QByteArray wanted(path);
    Handle opened = nullptr;
    bool denied = false;
    {
        Lock locker(m_mutex);
        runDueEventsLocked();
        for (const auto &adapter : m_adapters) {
            if (!adapter->m_plugged)
                continue;
            const QVector<EmulatedAdapter::Interface> entries = adapter->interfacesLocked();
            for (const EmulatedAdapter::Interface &entry : entries) {
                if (entry.path != wanted)
                    continue;
                if (adapter->m_faults.openDenied) {
                    denied = true;
                    break;
                }
                auto handle = std::make_shared<OpenHandle>();
                handle->adapter = adapter.get();
                handle->interfaceNumber = entry.number;
                opened = handle.get();
                m_handles.insert(opened, handle);
                break;
            }
            if (opened)
                break;
        }
    }
    emitPendingChanges();
    if (denied)
        errno = EACCES;
    return opened;
}

int EmulatorBackend::readTimeout(Handle handle, unsigned char *data, size_t length, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(qMax(0, timeoutMs));
    int result = -1;
    {
        Lock locker(m_mutex);
        std::shared_ptr<OpenHandle> open = m_handles.value(handle);
        if (!open)
            return -1;
        for (;;) {
            runDueEventsLocked();
            if (open->dead || !m_handles.contains(handle)) {
                result = -1;
                break;
            }
            if (open->readErrorPending) {
                open->readErrorPending = false;
                result = -1;
                break;
            }
            const Clock::time_point now = Clock::now();
            if (!open->replies.empty() && open->replies.front().readyAt <= now) {
                const Reply reply = open->replies.front();
                open->replies.pop_front();
                result = int(qMin(length, size_t(reply.data.size())));
                std::memcpy(data, reply.data.constData(), size_t(result));
                EmulatedAdapter *adapter = open->adapter;
                if (adapter->m_leaving && adapter->m_departure.afterUnreadReplies &&
                    open->replies.empty())
                    departLocked(adapter);
                break;
            }
            if (timeoutMs >= 0 && now >= deadline) {
                result = 0;
                break;
            }
            Clock::time_point wakeAt = timeoutMs >= 0 ? deadline : Clock::time_point::max();
            if (!open->replies.empty())
                wakeAt = std::min(wakeAt, open->replies.front().readyAt);
            waitLocked(locker, wakeAt);
        }
    }
    emitPendingChanges();
    return result;
}

int EmulatorBackend::write(Handle handle, const unsigned char *data, size_t length)
{
    int result = -1;
    {
        Lock locker(m_mutex);
        runDueEventsLocked();
        std::shared_ptr<OpenHandle> open = m_handles.value(handle);
        if (!open || open->dead)
            return -1;
        // The adapters use no numbered reports: byte 0 must be report id 0.
        if (length < 1 || length > reportWithIdBytes || data[0] != 0) {
            qWarning() << "EmulatorBackend: refused a report of" << length << "bytes with report id"
                       << (length ? int(data[0]) : -1);
            return -1;
        }
        EmulatedAdapter *adapter = open->adapter;
        const int request = ++adapter->m_reportsReceived;
        const EmulatedAdapter::Faults faults = adapter->m_faults;
        if (request == faults.writeErrorAtReport)
            return -1;
        result = int(length);
        if (request == faults.unplugAtReport) {
            losePowerLocked(adapter);
        } else if (!adapter->m_powerLossPending) {
            // While power is being lost the USB side still takes reports,
            // but the boot loader never gets to them.
            QByteArray report(reinterpret_cast<const char *>(data) + 1, int(length) - 1);
            report.append(QByteArray(EmulatedAdapter::reportBytes - report.size(), '\0'));
            handleRequestLocked(adapter, open.get(), request, report);
        }
        m_changed.notify_all();
    }
    emitPendingChanges();
    return result;
}

void EmulatorBackend::handleRequestLocked(EmulatedAdapter *adapter, OpenHandle *handle, int request,
                                          const QByteArray &report64)
{
    const EmulatedAdapter::Faults faults = adapter->m_faults;
    const Clock::time_point now = Clock::now();
    // A request that arrives while an erase is still running is carried out
    // when the erase is over; its reply is timed from then.
    const Clock::time_point started = std::max(now, adapter->m_busyUntil);
    adapter->m_outgoing.clear();
    adapter->m_occupiedMs = 0;
    adapter->m_powerLossAfterMs = -1;
    adapter->m_currentInterface = handle->interfaceNumber;
    adapter->handleOutputReport(report64);

    const bool dropReplies =
        request == faults.noReplyAtReport || request == faults.readErrorAtReport;
    if (request == faults.readErrorAtReport)
        handle->readErrorPending = true;
    if (!dropReplies) {
        for (const EmulatedAdapter::PendingReply &pending : qAsConst(adapter->m_outgoing)) {
            QByteArray bytes = pending.data;
            if (cutsReply(faults, request))
                bytes.truncate(faults.shortReplyBytes);
            const int delayMs = qMax(0, pending.delayMs + adapter->m_replyDelayMs);
            Clock::time_point readyAt = started + std::chrono::milliseconds(delayMs);
            if (request == faults.lateReplyAtReport && faults.lateReplyDelayMs > 0)
                readyAt =
                    std::max(readyAt, now + std::chrono::milliseconds(faults.lateReplyDelayMs));
            queueReplyLocked(handle, {bytes, readyAt});
        }
    }
    adapter->m_outgoing.clear();
    if (adapter->m_occupiedMs > 0)
        adapter->m_busyUntil = started + std::chrono::milliseconds(adapter->m_occupiedMs);

    if (adapter->m_powerLossAfterMs >= 0) {
        const Clock::time_point lossAt =
            started + std::chrono::milliseconds(adapter->m_powerLossAfterMs);
        adapter->m_powerLossAfterMs = -1;
        if (lossAt <= now) {
            losePowerLocked(adapter);
            return;
        }
        adapter->m_powerLossPending = true;
        scheduleLocked(lossAt, adapter, [this, adapter] { losePowerLocked(adapter); });
    }
    afterReportLocked(adapter, handle, started);
}

void EmulatorBackend::queueReplyLocked(OpenHandle *handle, const Reply &reply)
{
    // Replies go out in the order they are ready: a late one lets later,
    // prompt ones pass.
    const auto position = std::upper_bound(
        handle->replies.begin(), handle->replies.end(), reply.readyAt,
        [](Clock::time_point readyAt, const Reply &queued) { return readyAt < queued.readyAt; });
    handle->replies.insert(position, reply);
}

void EmulatorBackend::close(Handle handle)
{
    {
        Lock locker(m_mutex);
        std::shared_ptr<OpenHandle> open = m_handles.take(handle);
        if (open && !open->dead && open->adapter->m_leaving &&
            open->adapter->m_departure.afterUnreadReplies)
            departLocked(open->adapter);
        m_changed.notify_all();
    }
    emitPendingChanges();
}

void EmulatorBackend::afterReportLocked(EmulatedAdapter *adapter, OpenHandle *handle,
                                        Clock::time_point started)
{
    if (hasUnflushedFlash(adapter) || adapter->m_flashChanged) {
        adapter->m_flashChanged = false;
        scheduleFlushLocked();
    }
    if (!adapter->m_departure.requested || adapter->m_leaving)
        return;
    adapter->m_leaving = true;
    if (!adapter->m_departure.afterUnreadReplies || handle->replies.empty()) {
        if (started <= Clock::now()) {
            departLocked(adapter);
        } else {
            scheduleLocked(started, adapter, [this, adapter] {
                if (adapter->m_leaving)
                    departLocked(adapter);
            });
        }
        return;
    }
    scheduleLocked(Clock::now() + std::chrono::milliseconds(departureAfterUnreadReplyMs), adapter,
                   [this, adapter] {
                       if (adapter->m_leaving)
                           departLocked(adapter);
                   });
}

void EmulatorBackend::departLocked(EmulatedAdapter *adapter)
{
    const EmulatedAdapter::Departure departure = adapter->m_departure;
    adapter->m_departure = EmulatedAdapter::Departure();
    adapter->m_leaving = false;
    cancelEventsLocked(adapter);
    unplugLocked(adapter);
    adapter->m_productId = departure.productId;
    adapter->m_interfaceNumber = departure.interfaceNumber;
    scheduleLocked(Clock::now() + std::chrono::milliseconds(qMax(0, departure.returnAfterMs)),
                   adapter, [this, adapter] { plugLocked(adapter); });
}

void EmulatorBackend::plugLocked(EmulatedAdapter *adapter)
{
    if (adapter->m_plugged)
        return;
    adapter->m_plugged = true;
    m_pendingChanges.push_back({true, double(adapter->m_vendorId), double(adapter->m_productId)});
    m_changed.notify_all();
}

void EmulatorBackend::unplugLocked(EmulatedAdapter *adapter)
{
    adapter->m_leaving = false;
    adapter->m_departure = EmulatedAdapter::Departure();
    // Whatever the adapter was doing ends with its power.
    adapter->m_busyUntil = Clock::time_point();
    adapter->m_powerLossPending = false;
    if (!adapter->m_plugged)
        return;
    adapter->m_plugged = false;
    for (const auto &handle : qAsConst(m_handles)) {
        if (handle->adapter == adapter) {
            handle->dead = true;
            handle->replies.clear();
        }
    }
    m_pendingChanges.push_back({false, double(adapter->m_vendorId), double(adapter->m_productId)});
    if (hasUnflushedFlash(adapter))
        scheduleFlushLocked();
    m_changed.notify_all();
}

void EmulatorBackend::losePowerLocked(EmulatedAdapter *adapter)
{
    cancelEventsLocked(adapter);
    unplugLocked(adapter);
    const int replugAfterMs = adapter->m_faults.replugAfterMs;
    if (replugAfterMs > 0)
        scheduleLocked(Clock::now() + std::chrono::milliseconds(replugAfterMs), adapter,
                       [this, adapter] { plugLocked(adapter); });
}

void EmulatorBackend::scheduleLocked(Clock::time_point at, EmulatedAdapter *adapter,
                                     std::function<void()> action)
{
    m_events.push_back({at, adapter, std::move(action)});
    m_changed.notify_all();
}

void EmulatorBackend::cancelEventsLocked(EmulatedAdapter *adapter)
{
    m_events.erase(
        std::remove_if(m_events.begin(), m_events.end(),
                       [adapter](const TimedEvent &event) { return event.adapter == adapter; }),
        m_events.end());
}

void EmulatorBackend::runDueEventsLocked()
{
    // Run in time order; an action may schedule further events.
    for (;;) {
        const Clock::time_point now = Clock::now();
        auto due = m_events.end();
        for (auto event = m_events.begin(); event != m_events.end(); ++event) {
            if (event->at <= now && (due == m_events.end() || event->at < due->at))
                due = event;
        }
        if (due == m_events.end())
            return;
        std::function<void()> action = std::move(due->action);
        m_events.erase(due);
        action();
    }
}

void EmulatorBackend::scheduleFlushLocked()
{
    if (m_flushScheduled)
        return;
    m_flushScheduled = true;
    m_firstUnflushedChange = Clock::now();
    m_changed.notify_all();
}

bool EmulatorBackend::hasUnflushedFlash(EmulatedAdapter *adapter) const
{
    EmulatedFlash *memory = adapter->flash();
    return memory && !adapter->m_flashFile.isEmpty() &&
           memory->generation() != adapter->m_flushedGeneration;
}

void EmulatorBackend::waitLocked(Lock &locker, Clock::time_point wakeAt)
{
    // A due event may plug an adapter or release a reply: never sleep past it.
    for (const TimedEvent &event : m_events)
        wakeAt = std::min(wakeAt, event.at);
    if (wakeAt == Clock::time_point::max())
        m_changed.wait(locker);
    else
        m_changed.wait_until(locker, wakeAt);
}

void EmulatorBackend::emitPendingChanges()
{
    // Notices are emitted on the backend's own thread only: one emitted
    // from the timer thread reaches receivers queued, and a later one
    // emitted directly would overtake it, so an adapter that left and came
    // back could look gone.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this]() { emitPendingChanges(); }, Qt::QueuedConnection);
        return;
    }
    // One emitter at a time keeps arrivals and departures in the order
    // they happened.
    std::lock_guard<std::recursive_mutex> emitting(m_emitMutex);
    std::vector<ConnectionChange> changes;
    {
        Lock locker(m_mutex);
        changes.swap(m_pendingChanges);
    }
    for (const ConnectionChange &change : changes)
        emit deviceConnectionChanged(change.connected, change.vendorId, change.productId);
}

void EmulatorBackend::timerLoop()
{
    Lock locker(m_mutex);
    while (!m_stopping) {
        runDueEventsLocked();
        const Clock::time_point flushAt =
            m_firstUnflushedChange + std::chrono::milliseconds(flushDelayMs);
        if (m_flushScheduled && Clock::now() >= flushAt) {
            locker.unlock();
            flush();
            emitPendingChanges();
            locker.lock();
            continue;
        }
        if (!m_pendingChanges.empty()) {
            locker.unlock();
            emitPendingChanges();
            locker.lock();
            continue;
        }
        waitLocked(locker, m_flushScheduled ? flushAt : Clock::time_point::max());
    }
}
