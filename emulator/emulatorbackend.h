#pragma once

#include "emulatedadapter.h"
#include "hidbackend.h"

#include <QList>
#include <QMap>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A HID backend that serves emulated adapters instead of real ones, so the
// transport's own enumerate / match / open / read / write code runs against
// them. It owns the adapters, delivers each written report to its adapter,
// keeps the replies per open handle until they are read, and raises
// deviceConnectionChanged() when an adapter arrives or leaves.
//
// All functions are thread-safe: the transport calls from worker threads
// while tests plug and unplug from the main thread. Signals are emitted
// from whichever thread caused them (also an internal timer thread), never
// under the lock, so receivers should use the default (auto) connection.
class EmulatorBackend : public HidBackend
{
    Q_OBJECT
public:
    // Name of the environment variable that switches the programs to
    // emulated adapters.
    static constexpr const char *environmentVariable = "BRIVANE_EMULATOR";

    explicit EmulatorBackend(QObject *parent = nullptr);
    ~EmulatorBackend() override;

    // Takes ownership. The adapter is plugged at once, or appearAfterMs()
    // after this call when that is set.
    EmulatedAdapter *addAdapter(std::unique_ptr<EmulatedAdapter> adapter);
    // Typed convenience: addAdapter(std::make_unique<T>(...)).
    template <typename T, typename... Arguments> T *emplaceAdapter(Arguments &&...arguments)
    {
        return static_cast<T *>(
            addAdapter(std::make_unique<T>(std::forward<Arguments>(arguments)...)));
    }
    void plug(EmulatedAdapter *adapter);
    // Open handles of the adapter die for good (a host must open it again
    // after it returns).
    void unplug(EmulatedAdapter *adapter);
    bool isPlugged(const EmulatedAdapter *adapter) const;
    QList<EmulatedAdapter *> adapters() const;
    EmulatedAdapter *adapter(const QString &name) const;

    // Loads one adapter per subfolder holding adapter.json (or the folder
    // itself when it holds adapter.json). Their flash.bin files are written
    // back when the flash changes.
    bool loadFolder(const QString &folder, QString *error);
    // nullptr when BRIVANE_EMULATOR is not set. When it is set but the
    // folder cannot be loaded, the backend is still returned (holding what
    // could be loaded, so the program never falls back to real hardware)
    // and the reason is logged and stored in *error.
    static EmulatorBackend *fromEnvironment(QString *error = nullptr);

    // Writes every changed flash file now; false when one could not be written.
    bool flush(QString *error = nullptr);

    int init() override;
    hid_device_info *enumerate(unsigned short vendorId, unsigned short productId) override;
    void freeEnumeration(hid_device_info *devices) override;
    Handle open(const char *path) override;
    int readTimeout(Handle handle, unsigned char *data, size_t length, int timeoutMs) override;
    int write(Handle handle, const unsigned char *data, size_t length) override;
    void close(Handle handle) override;

private:
    using Clock = std::chrono::steady_clock;
    using Lock = std::unique_lock<std::recursive_mutex>;
    struct Reply
    {
        QByteArray data;
        Clock::time_point readyAt;
    };
    struct OpenHandle
    {
        EmulatedAdapter *adapter = nullptr;
        int interfaceNumber = -1;
        bool dead = false;
        bool readErrorPending = false;
        std::deque<Reply> replies;
    };
    struct TimedEvent
    {
        Clock::time_point at;
        EmulatedAdapter *adapter; // nullptr: not tied to an adapter
        std::function<void()> action;
    };
    struct ConnectionChange
    {
        bool connected;
        double vendorId;
        double productId;
    };

    void plugLocked(EmulatedAdapter *adapter);
    void unplugLocked(EmulatedAdapter *adapter);
    // An unplug the adapter did not choose (a fault): it comes back after
    // Faults::replugAfterMs when that is set.
    void losePowerLocked(EmulatedAdapter *adapter);
    void departLocked(EmulatedAdapter *adapter);
    void handleRequestLocked(EmulatedAdapter *adapter, OpenHandle *handle, int request,
                             const QByteArray &report64);
    void afterReportLocked(EmulatedAdapter *adapter, OpenHandle *handle, Clock::time_point started);
    static void queueReplyLocked(OpenHandle *handle, const Reply &reply);
    void scheduleLocked(Clock::time_point at, EmulatedAdapter *adapter,
                        std::function<void()> action);
    void cancelEventsLocked(EmulatedAdapter *adapter);
    void runDueEventsLocked();
    void waitLocked(Lock &locker, Clock::time_point wakeAt);
    void scheduleFlushLocked();
    bool hasUnflushedFlash(EmulatedAdapter *adapter) const;
    void emitPendingChanges();
    void timerLoop();

    mutable std::recursive_mutex m_mutex;
    std::condition_variable_any m_changed;
    std::recursive_mutex m_emitMutex;
    std::vector<std::unique_ptr<EmulatedAdapter>> m_adapters;
    QMap<Handle, std::shared_ptr<OpenHandle>> m_handles;
    std::vector<TimedEvent> m_events;
    std::vector<ConnectionChange> m_pendingChanges;
    bool m_flushScheduled = false;
    Clock::time_point m_firstUnflushedChange;
    bool m_stopping = false;
    std::thread m_timerThread;
};
