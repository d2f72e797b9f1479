#pragma once

#include "flashplan.h"
#include "memoryframe.h"

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>

#include <atomic>
#include <cstdint>
#include <functional>

enum class ExchangeStatus;

// The model of the one adapter the tool works with.
class BaseDevice : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString image READ image NOTIFY imageChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(QString serialNumber READ serialNumber NOTIFY serialNumberChanged)
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool busying READ busying NOTIFY busyingChanged)
    Q_PROPERTY(
        int firmwareIndex READ firmwareIndex WRITE set_firmwareIndex NOTIFY firmwareIndexChanged)
    Q_PROPERTY(int bootMode READ bootMode NOTIFY bootModeChanged)
    Q_PROPERTY(
        QString currentfirmwareInfo READ currentfirmwareInfo NOTIFY currentfirmwareInfoChanged)
    Q_PROPERTY(
        QVariant firmwareInformation READ firmwareInformation NOTIFY firmwareInformationChanged)
public:
    enum BootMode { Auto = 0, PS4_PC = 1, XB360_PC = 2, SWITCH = 3, PS5_M7 = 4, Q8LINK = 5 };
    Q_ENUM(BootMode)

    enum DeviceVPID {
        Brivane_VID = 0x0E3A,
        Brivane_PID_T5 = 0xB373,
        Brivane_PID_M7 = 0xB471,
        Brivane_PID_K3_BOOT_V1 = 0xB270,
        Brivane_PID_K3_BOOT = 0xB275,
        Brivane_PID_K3_APP = 0xB274,
        Brivane_Unknow = 0x0000,
    };
    Q_ENUM(DeviceVPID)

    explicit BaseDevice(QObject *parent = nullptr);
    ~BaseDevice() override;

    // Workers write the properties while the window reads them: every
    // getter and setter holds the property lock (never while emitting).
    QString image() const;
    QString version() const;
    QString serialNumber() const;
    bool connected() const;
    double progress() const;
    bool busying() const;
    int firmwareIndex() const;
    int bootMode() const;
    QString currentfirmwareInfo() const;
    QVariant firmwareInformation() const;

    bool set_image(const QString &image);
    bool set_version(const QString &version);
    bool set_serialNumber(const QString &serialNumber);
    bool set_connected(bool connected);
    bool set_progress(double progress);
    bool set_busying(bool busying);
    bool set_bootMode(int bootMode);
    bool set_currentfirmwareInfo(const QString &currentfirmwareInfo);
    bool set_firmwareInformation(const QVariant &firmwareInformation);

    // The seven model operations; each model re-declares them invokable.
    virtual bool tryConnected() = 0;
    virtual void syncFirmwareInformation() = 0;
    virtual void setBootMode(BootMode mode) = 0;
    virtual void dataBackupFile(QString path) = 0;
    virtual void dataRestoreFile(QString path) = 0;
    virtual void updateFirmwareFile(QString path, QString version) = 0;
    virtual void restoreFirmwareFile(QString path, QString version) = 0;

    Q_INVOKABLE int versionCompare(QString first, QString second);
    Q_INVOKABLE bool isCompatibleVersion(QString currentVersion, QString updateVersion);
    static int compareMajorMinor(const QString &a, const QString &b);

    // One reply (0x00 + report bytes), empty on a read error or time-out.
    static QByteArray readCMDData(int length);
    static bool writeCMDData(QByteArray data);

    static QByteArray getFirmwareData(const QString &path);

    void setVPID(double vid, double pid);
    double vid() const;
    double pid() const;

    // Waits for every background task of this object (connection reads,
    // boot-mode writes) started so far.
    void waitForBackgroundTasks();
    // Waits until the state read started by the last connection has finished.
    void waitForConnectionTask();

public slots:
    bool set_firmwareIndex(int firmwareIndex);

signals:
    void imageChanged(QString image);
    void versionChanged(QString version);
    void serialNumberChanged(QString serialNumber);
    void connectedChanged(bool connected);
    void progressChanged(double progress);
    void busyingChanged(bool busying);
    void firmwareIndexChanged(int firmwareIndex);
    void bootModeChanged(int bootMode);
    void currentfirmwareInfoChanged(QString currentfirmwareInfo);
    void firmwareInformationChanged(QVariant firmwareInformation);
    void error(QString error);
    void message(QString message);

protected:
    // The shared behaviour of syncFirmwareInformation: one busy pulse.
    void pulseBusy();

    // One request and its reply, as one call of the transport. Replies that
    // answer an earlier request are skipped; a reply shorter than a report,
    // a missing one or a transfer error is a failure, logged with the
    // model's prefix.
    // status, when given, tells a request that never went out from a reply
    // that did not come.
    bool exchangeFrame(const MemoryFrame &request, MemoryFrame *reply,
                       ExchangeStatus *status = nullptr);
    // A request the adapter does not answer.
    bool sendFrame(const MemoryFrame &request);
    // Prefix of the transfer failure lines ("T5Device " for the T5).
    virtual QString transferLogPrefix() const { return QString(); }

    enum class EraseOutcome { Acknowledged, Refused, NoAnswer };
    // Erases a list of sectors with one command of the wide frame and waits
    // for the acknowledgement that the sectors are erased.
    EraseOutcome eraseSectorList(uint32_t command, uint32_t acknowledgement, const uint8_t *sectors,
                                 uint32_t count);

    // BridgeUSB::open on a pool thread while the calling thread keeps
    // processing events (on the user-interface thread nothing may block on
    // the transport). Touches no device object, so the caller may be
    // destroyed meanwhile and must check that it still exists.
    static bool openAdapter(double vid, double pid, int interfaceNumber);

    enum class ImageProbe { Present, Erased, Unreadable };
    // Reads the first and last chunk of an image an information block
    // describes: erased flash there means an update was cut short. A full
    // digest would take one exchange per chunk of the image (thousands, so
    // seconds on the bus) at every connection.
    ImageProbe probeImage(const FrameLayout &layout, uint32_t readCommand, uint32_t imageAddress,
                          uint32_t imageSizeBytes);

    // Reads the adapter's state on the pool: a reply may take up to the
    // transport's time-out, which the user-interface thread must never wait
    // for.
    void startStateRead(const std::function<void()> &read);
    // Waits for the last state read while this thread keeps processing
    // events; false when this object was destroyed meanwhile.
    bool waitForStateRead();

    // Runs work on the global thread pool and keeps its future, so the
    // object outlives it.
    QFuture<void> runInBackground(const std::function<void()> &work);
    // Set when the object is being destroyed: long operations stop at their
    // next exchange.
    bool stopping() const { return m_stopping.load(); }
    void requestStop() { m_stopping.store(true); }
    // Reads memory in chunks of the layout's data size; each reply must
    // answer its request. Progress follows the chunks and ends at 0 (unless
    // reportProgress is false: checks after a write show no second run).
    bool readChunks(const FrameLayout &layout, uint32_t command, uint32_t address, uint32_t length,
                    uint8_t *destination, bool reportProgress = true);
    enum class WriteFailure { Transfer, Verify };
    // Writes the plan's segments in chunks, each echoed chunk compared with
    // the one sent, and stops at the first failure. A model that tells the
    // user about failures does so in reportFailure, called where the failure
    // is found. Progress runs over the plan's total and ends at 0.
    // A write in several steps shows one progress run: the span places this
    // plan's bytes within the whole, and only the last step ends at 0.
    struct ProgressSpan
    {
        uint32_t bytesBefore;
        uint32_t totalBytes; // 0: the plan's own total
        bool endsRun;
    };
    bool writePlan(const FrameLayout &layout, uint32_t command, const FlashPlan &plan,
                   const std::function<void(WriteFailure)> &reportFailure = {})
    {
        return writePlan(layout, command, plan, reportFailure, ProgressSpan{0, 0, true});
    }
    bool writePlan(const FrameLayout &layout, uint32_t command, const FlashPlan &plan,
                   const std::function<void(WriteFailure)> &reportFailure,
                   const ProgressSpan &span);
    // Waits for a background task while this thread keeps processing events;
    // false when this object was destroyed meanwhile (then nothing of it
    // may be touched).
    bool waitKeepingEventsFlowing(const QFuture<void> &task);

private:
    void updateCurrentFirmwareInfo(int index);
    template <typename T, typename Signal>
    bool setProperty(T *member, const T &value, Signal signal);

    mutable QMutex m_propertyLock;
    QMutex m_tasksLock;
    QList<QFuture<void>> m_backgroundTasks;
    QFuture<void> m_stateRead;
    std::atomic<bool> m_stopping{false};
    QString m_image;
    QString m_version;
    QString m_serialNumber;
    bool m_connected = false;
    double m_progress = 0.0;
    bool m_busying = false;
    int m_firmwareIndex = -1;
    int m_bootMode = Auto;
    QString m_currentfirmwareInfo;
    QVariant m_firmwareInformation;
    double m_vid = 0;
    double m_pid = 0;
};
