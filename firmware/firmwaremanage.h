#pragma once

#include <QFuture>
#include <QFutureInterface>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <optional>

class BaseDevice;
class CloudAWS;

// The file dialogs of the controller. The program installs one built on
// QFileDialog; tests and the command line answer with a path (an empty path
// is a cancel), so the controller needs no widgets.
class FileDialogs
{
public:
    virtual ~FileDialogs() = default;
    virtual QString saveFileName(const QString &caption, const QString &folder,
                                 const QString &filter) = 0;
    virtual QString openFileName(const QString &caption, const QString &folder,
                                 const QString &filter) = 0;
};

// The controller behind the window: the one current device, the firmware
// catalogue, and every long operation, run one at a time on the global
// thread pool.
class FirmwareManage : public QObject
{
    Q_OBJECT
    Q_PROPERTY(BaseDevice *currentDevice READ currentDevice NOTIFY currentDeviceChanged)
    Q_PROPERTY(int currentLanguage READ currentLanguage NOTIFY currentLanguageChanged)
    Q_PROPERTY(int currentDeviceIndex READ currentDeviceIndex NOTIFY currentDeviceIndexChanged)
    Q_PROPERTY(bool synced READ synced NOTIFY syncedChanged)
    Q_PROPERTY(bool busying READ busying NOTIFY busyingChanged)
    Q_PROPERTY(bool isLocalFirmware READ isLocalFirmware WRITE set_isLocalFirmware NOTIFY
                   isLocalFirmwareChanged)
    Q_PROPERTY(QString localFirmwareVersion READ localFirmwareVersion WRITE set_localFirmwareVersion
                   NOTIFY localFirmwareVersionChanged)
    Q_PROPERTY(QString localFirmwarePath READ localFirmwarePath NOTIFY localFirmwarePathChanged)
    Q_PROPERTY(
        int firmwareIndex READ firmwareIndex WRITE set_firmwareIndex NOTIFY firmwareIndexChanged)
    Q_PROPERTY(
        QString currentfirmwareInfo READ currentfirmwareInfo NOTIFY currentfirmwareInfoChanged)
    Q_PROPERTY(
        QVariant firmwareInformation READ firmwareInformation NOTIFY firmwareInformationChanged)
    Q_PROPERTY(QVariant allFirmwareInformation READ allFirmwareInformation NOTIFY
                   allFirmwareInformationChanged)
public:
    enum Device { Device_Unknow = 0, Device_T5 = 1, Device_M7 = 2, Device_K3 = 3 };
    Q_ENUM(Device)

    // Language box position -> language number of Global::setLanguage.
    static const QList<int> languageNumbers;
    // Catalogue member of each model; position p is Device value p + 1.
    static const QStringList modelKeys;

    static constexpr int startDelayMs = 100;
    static constexpr int syncRetryDelayMs = 3000;
    static constexpr int messageTimeoutMs = 3000;
    static constexpr int settingsMessageTimeoutMs = 30000;

    // The window follows the adapter's hot-plug and synchronises the
    // catalogue shortly after start. The command line does neither: it
    // asks for what it needs, and an adapter that restarts after an update
    // must not be replaced behind its back.
    enum class Mode { Window, CommandLine };

    explicit FirmwareManage(QObject *parent = nullptr);
    FirmwareManage(Mode mode, QObject *parent);
    // Waits for the workers still running (the program never destroys it).
    ~FirmwareManage() override;

    BaseDevice *currentDevice() const;
    int currentLanguage() const;
    int currentDeviceIndex() const;
    bool synced() const;
    bool busying() const;
    bool isLocalFirmware() const;
    QString localFirmwareVersion() const;
    QString localFirmwarePath() const;
    int firmwareIndex() const;
    QString currentfirmwareInfo() const;
    QVariant firmwareInformation() const;
    QVariant allFirmwareInformation() const;
    // The catalogue in memory (allFirmwareInformation as a document).
    QJsonObject catalogue() const;

    CloudAWS *cloud() const { return m_cloud; }

    // Not owned; nullptr makes every dialog a cancel.
    void setFileDialogs(FileDialogs *dialogs);
    // Called on this thread with every device object the controller
    // creates, before it connects: the command line reports what the
    // adapter says while it is read.
    void setDeviceCreatedObserver(std::function<void(BaseDevice *)> observer);

    // The operations as the command line and tests start them. A device
    // operation's result tells whether the device was asked (it reports its
    // own outcome through its signals); a publishing operation's, whether
    // the store confirmed the change; a synchronisation's, whether a
    // catalogue is in memory.
    QFuture<bool> startSynchronisation();
    QFuture<bool> startUpdate();
    QFuture<bool> startRestore();
    QFuture<bool> startDataBackup(const QString &path);
    QFuture<bool> startDataRestore(const QString &path);
    QFuture<bool> startUpload(int device, const QString &changLog);
    QFuture<bool> startEdit(int device, const QString &checksum, const QString &changLog);
    QFuture<bool> startRemove(int device, const QString &checksum);
    QFuture<bool> startSort(const QStringList &checksums);
    // Waits, keeping this thread's events flowing, until no worker runs.
    void waitForWorkers();

signals:
    void currentDeviceChanged(BaseDevice *currentDevice);
    void currentLanguageChanged(int currentLanguage);
    void currentDeviceIndexChanged(int currentDeviceIndex);
    void syncedChanged(bool synced);
    void busyingChanged(bool busying);
    void isLocalFirmwareChanged(bool isLocalFirmware);
    void localFirmwareVersionChanged(QString localFirmwareVersion);
    void localFirmwarePathChanged(QString localFirmwarePath);
    void firmwareIndexChanged(int firmwareIndex);
    void currentfirmwareInfoChanged(QString currentfirmwareInfo);
    void firmwareInformationChanged(QVariant firmwareInformation);
    void allFirmwareInformationChanged(QVariant allFirmwareInformation);
    void messageInfo(QString info, int timeout = messageTimeoutMs);
    void messageError(QString error, int timeout = messageTimeoutMs);

public slots:
    bool set_isLocalFirmware(bool isLocalFirmware);
    bool set_localFirmwareVersion(QString localFirmwareVersion);
    bool set_firmwareIndex(int firmwareIndex);

public:
    Q_INVOKABLE void setCurrentLanguage(int currentLanguage);
    Q_INVOKABLE void syncFirmwareInformation();
    Q_INVOKABLE void disconectCurrentDevice();
    Q_INVOKABLE void tryCurrentDeviceIndex(int index);
    Q_INVOKABLE void removeFirmware(int device, QString checksum);
    Q_INVOKABLE void editFirmware(int device, QString checksum, QString changLog);
    Q_INVOKABLE void uploadFirmware(int device, QString changLog);
    Q_INVOKABLE void updateFirmware();
    Q_INVOKABLE void restoreFirmware();
    Q_INVOKABLE void dataBackup();
    Q_INVOKABLE void dataRestore();
    Q_INVOKABLE void openLocalFirmware();
    Q_INVOKABLE void sortFirmwareInformation(QStringList checksums);
    Q_INVOKABLE void close();

private:
    // What the device-change handler and the Enter button ask for while a
    // worker still uses a device that was dropped: done once it is free.
    struct PendingConnection
    {
        bool fromHotplug = false;
        int index = 0;
        double vendorId = 0;
        double productId = 0;
    };
    struct QueuedWorker
    {
        const char *name;
        std::function<bool()> work;
        QFutureInterface<bool> promise;
    };
    enum class Connection { Connected, NotAnswered, Overtaken };

    bool set_currentLanguage(int currentLanguage);
    bool set_currentDeviceIndex(int currentDeviceIndex);
    bool set_synced(bool synced);
    bool set_busying(bool busying);
    bool set_localFirmwarePath(QString localFirmwarePath);
    bool set_currentfirmwareInfo(QString currentfirmwareInfo);
    bool set_firmwareInformation(const QJsonArray &firmwareInformation);
    bool set_allFirmwareInformation(const QJsonObject &allFirmwareInformation);
    template <typename T, typename Signal> bool setMember(T *member, const T &value, Signal signal);
    QJsonArray firmwareEntries() const;

    void onStartTimer();
    bool checkConfigs();
    void onDeviceConnectionChanged(bool connected, double vid, double pid);
    void refreshChangeLog(int index);
    void clearLocalFirmware();
    bool reportAccessDenied(quint64 denialsBefore);

    // Device ownership: the current device is dropped at once; one a worker
    // still uses is deleted when the worker lets go of it.
    BaseDevice *createModelDevice(int index);
    Connection connectDevice(BaseDevice *device, int index);
    void makeCurrent(BaseDevice *device, int index);
    void dropCurrentDevice();
    void discardDevice(BaseDevice *device);
    void resumePendingConnection();
    bool deviceInUseWasDropped() const;
    // Identifies the current device for a request; 0 when there is none.
    quint64 currentDeviceSerial() const;
    // Worker side: the device the request was made for, if it is still
    // current; it then stays alive until releaseDevice().
    BaseDevice *acquireDevice(quint64 requestedSerial, const char *operation);
    void releaseDevice(BaseDevice *device);

    QFuture<bool> startWorker(const char *name, std::function<bool()> work);
    void startNextWorkerLocked();
    bool runSynchronisation();
    void scheduleSyncRetry();
    bool runUpdate(quint64 requestedSerial, bool restore);
    bool runDataTransfer(quint64 requestedSerial, const QString &path, bool backup);
    bool runUpload(int device, const QString &changLog);
    bool runEdit(int device, const QString &checksum, const QString &changLog);
    bool runRemove(int device, const QString &checksum);
    bool runSort(const QStringList &checksums);
    bool storeCatalogueChange(const std::function<QJsonObject(const QJsonObject &)> &change,
                              const QString &okText, const QString &errorText);
    bool resolvePackage(BaseDevice *device, QString *version, QString *path);
    QString chooseFile(bool save, const QString &caption, const QString &filter);

    const Mode m_mode;
    mutable QMutex m_propertyLock;
    int m_currentLanguage = 0;
    int m_currentDeviceIndex = Device_Unknow;
    bool m_synced = false;
    bool m_busying = false;
    bool m_isLocalFirmware = false;
    QString m_localFirmwareVersion;
    QString m_localFirmwarePath;
    int m_firmwareIndex = 0;
    QString m_currentfirmwareInfo;
    QJsonArray m_firmwareInformation;
    QJsonObject m_allFirmwareInformation;
    CloudAWS *m_cloud = nullptr;
    QMutex *workerMutex = nullptr;

    // Guards the current device and the one a worker uses against the
    // user-interface thread dropping them.
    mutable QMutex m_deviceLock;
    BaseDevice *m_currentDevice = nullptr;
    quint64 m_currentDeviceSerial = 0;
    quint64 m_deviceSerialCounter = 0;
    BaseDevice *m_deviceInUse = nullptr;
    bool m_deviceInUseDropped = false;

    // User-interface thread only.
    std::optional<PendingConnection> m_pendingConnection;
    // Raised by every connection attempt; an attempt that finds it changed
    // when its adapter answers was overtaken by a newer one.
    quint64 m_connectionAttempt = 0;
    int m_connectingIndex = Device_Unknow;
    bool m_closing = false;

    std::atomic<bool> m_syncRetryScheduled{false};
    FileDialogs *m_fileDialogs = nullptr;
    std::function<void(BaseDevice *)> m_deviceCreatedObserver;
    QMutex m_workersLock;
    QList<QueuedWorker> m_queuedWorkers;
    QFuture<bool> m_lastWorker;
    bool m_workerRunning = false;
};
