// One fault at a time, at points spread over each T5 operation that rewrites
// the configuration or data sectors, against the emulated adapter: a missing
// or late reply, an unplug with the adapter coming back, a read or write
// error, a wrong echo, a refused or cut erase, short replies.
//
// For every case: a failure is reported and never a success; the device ends
// idle; and after the user plugs the adapter in again and repeats the
// operation, the adapter holds exactly what a run without the fault leaves,
// user settings and data included. The fault-free outcome itself is checked
// against the documented layouts in tst_t5device.

#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "global.h"
#include "hidbackend.h"
#include "settingscopystore.h"
#include "t5adapter.h"
#include "t5adapterstates.h"
#include "t5device.h"
#include "testsupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace T5Flash;

namespace {
constexpr int faultReplyTimeoutMs = 150;
constexpr int normalReplyTimeoutMs = 5000;
const QString serialText = QStringLiteral("0a1b2c3d4e5f60718293a4b5");

enum class Operation { Update, OldLayoutUpdate, BootMode, DataRestore, FactoryRestore };

struct Outcome
{
    QStringList errors;
    QStringList messages;
    bool busy = false;
    double progress = 0.0;
};

// Reports the host writes, to find the erase and the writes of a clean run.
class RecordingBackend : public EmulatorBackend
{
public:
    using EmulatorBackend::EmulatorBackend;

    QList<QByteArray> reports() const
    {
        QMutexLocker locker(&lock);
        return recorded;
    }
    void clear()
    {
        QMutexLocker locker(&lock);
        recorded.clear();
    }
    int write(Handle handle, const unsigned char *data, size_t length) override
    {
        {
            QMutexLocker locker(&lock);
            recorded.append(QByteArray(reinterpret_cast<const char *>(data), int(length)));
        }
        return EmulatorBackend::write(handle, data, length);
    }

private:
    mutable QMutex lock;
    QList<QByteArray> recorded;
};

quint32 codeOf(const QByteArray &report)
{
    return quint32(quint8(report.at(1)));
}
} // namespace

Q_DECLARE_METATYPE(Operation)

class T5FaultMatrixTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void oneFaultNeverLosesSettings_data();
    void oneFaultNeverLosesSettings();

private:
    AdapterState startState(Operation operation) const;
    T5Adapter *plug(const QByteArray &flashBytes);
    std::unique_ptr<T5Device> connectDevice();
    Outcome run(T5Device *device, Operation operation);
    QString writeFile(const QString &name, const QByteArray &bytes);
    // The points of a clean run's requests where faults go.
    QList<int> faultPoints(const QList<QByteArray> &reports) const;

    RecordingBackend *backend = nullptr;
    QTemporaryDir workDirectory;
    std::unique_ptr<QTemporaryDir> copiesFolder;
    T5Adapter *adapter = nullptr;
    int adapterCounter = 0;
    QString firmwarePath;
    QString oldFirmwarePath;
    QString backupPath;
};

void T5FaultMatrixTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(workDirectory.isValid());
    QVERIFY(QDir::setCurrent(workDirectory.path()));
    backend = new RecordingBackend(this);
    HidBackend::install(backend);
    Global::instance();
    firmwarePath = writeFile(QStringLiteral("firmware.bin"), image(3000, 4));
    oldFirmwarePath =
        writeFile(QStringLiteral("old-firmware.bin"), image(3000, 5, imageBaseFor("5.4.3")));
}

void T5FaultMatrixTest::init()
{
    copiesFolder = std::make_unique<QTemporaryDir>();
    qputenv(SettingsCopyStore::folderVariable, copiesFolder->path().toLocal8Bit());
    BridgeUSB::instance()->setReplyTimeoutMs(normalReplyTimeoutMs);
}

void T5FaultMatrixTest::cleanup()
{
    if (adapter)
        backend->unplug(adapter);
    adapter = nullptr;
}

AdapterState T5FaultMatrixTest::startState(Operation operation) const
{
    AdapterState state;
    state.bootMode = 2;
    if (operation == Operation::OldLayoutUpdate) {
        state.major = 5;
        state.minor = 4;
        state.patch = 2;
        state.newLayout = false;
        state.macroRecords = macroRecord(100, 2, "jump", 1) + macroRecord(90, 3, "dash", 2);
    } else {
        state.macroRecords = macroRecord(150, 4, "combo", 3);
    }
    state.macroCount = operation == Operation::OldLayoutUpdate ? 2 : 1;
    return state;
}

T5Adapter *T5FaultMatrixTest::plug(const QByteArray &flashBytes)
{
    if (adapter)
        backend->unplug(adapter);
    adapter = backend->emplaceAdapter<T5Adapter>(QStringLiteral("t5-%1").arg(++adapterCounter));
    adapter->setFlashContents(flashBytes);
    return adapter;
}

std::unique_ptr<T5Device> T5FaultMatrixTest::connectDevice()
{
    auto device = std::make_unique<T5Device>();
    if (!device->tryConnected())
        return nullptr;
    device->waitForConnectionTask();
    return device;
}

QString T5FaultMatrixTest::writeFile(const QString &name, const QByteArray &bytes)
{
    return TestSupport::writeWholeFile(workDirectory.filePath(name), bytes);
}

Outcome T5FaultMatrixTest::run(T5Device *device, Operation operation)
{
    QSignalSpy errors(device, &BaseDevice::error);
    QSignalSpy messages(device, &BaseDevice::message);
    switch (operation) {
    case Operation::Update:
        device->updateFirmwareFile(firmwarePath, QStringLiteral("5.6.0"));
        break;
    case Operation::OldLayoutUpdate:
        device->updateFirmwareFile(oldFirmwarePath, QStringLiteral("5.4.3"));
        break;
    case Operation::BootMode:
        device->applyBootMode(BaseDevice::SWITCH);
        break;
    case Operation::DataRestore:
        device->dataRestoreFile(backupPath);
        break;
    case Operation::FactoryRestore:
        device->restoreFirmwareFile(firmwarePath, QStringLiteral("5.6.0"));
        break;
    }
    Outcome outcome;
    for (const QList<QVariant> &arguments : errors)
        outcome.errors.append(arguments.at(0).toString());
    for (const QList<QVariant> &arguments : messages)
        outcome.messages.append(arguments.at(0).toString());
    outcome.busy = device->busying();
    outcome.progress = device->progress();
    return outcome;
}

QList<int> T5FaultMatrixTest::faultPoints(const QList<QByteArray> &reports) const
{
    // The first requests, the erase, the first and last writes of each
    // kind of data, and points spread over the whole run.
    QList<int> points{1, 2, 3};
    int firstWrite = 0;
    int lastWrite = 0;
    for (int index = 0; index < reports.size(); ++index) {
        const quint32 code = codeOf(reports.at(index));
        if (code == 0x55) {
            points << index << index + 1 << index + 2;
        } else if (code == 0x57) {
            if (firstWrite == 0)
                firstWrite = index + 1;
            lastWrite = index + 1;
        }
    }
    points << firstWrite + 1 << firstWrite + 160 << firstWrite + 315 << firstWrite + 317
           << lastWrite << lastWrite + 1 << lastWrite + 330;
    for (int step = 1; step < 6; ++step)
        points << reports.size() * step / 6;
    points << reports.size() - 1 << reports.size();
    QList<int> unique;
    for (int point : points) {
        if (point >= 1 && point <= reports.size() && !unique.contains(point))
            unique.append(point);
    }
    std::sort(unique.begin(), unique.end());
    return unique;
}

void T5FaultMatrixTest::oneFaultNeverLosesSettings_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::newRow("update 5.5.3 to 5.6.0") << Operation::Update;
    QTest::newRow("update 5.4.2 to 5.4.3, records in the configuration")
        << Operation::OldLayoutUpdate;
    QTest::newRow("boot mode") << Operation::BootMode;
    QTest::newRow("data restore") << Operation::DataRestore;
    QTest::newRow("factory restore") << Operation::FactoryRestore;
}

void T5FaultMatrixTest::oneFaultNeverLosesSettings()
{
    QFETCH(Operation, operation);
    const AdapterState state = startState(operation);
    const QByteArray startFlash = flash(state);
    // The data restore writes back a backup of the same adapter made
    // before its data blocks changed.
    if (operation == Operation::DataRestore) {
        QByteArray body(0x3C400, '\0');
        AdapterState older = state;
        older.blockALength = 200;
        older.macroRecords = macroRecord(120, 4, "older", 8);
        body.replace(0, 0x3C000, flash(older).mid(configOffset, 0x3C000));
        backupPath = writeFile(QStringLiteral("user.bkp"), backupFile(body, serialText));
    }

    // The clean run: what the adapter must hold in the end, and where the
    // faults go.
    plug(startFlash);
    std::unique_ptr<T5Device> device = connectDevice();
    QVERIFY(device);
    backend->clear();
    const Outcome clean = run(device.get(), operation);
    QVERIFY2(clean.errors.isEmpty(), qPrintable(clean.errors.join(", ")));
    const QByteArray cleanFlash = adapter->flashContents();
    const QList<QByteArray> cleanReports = backend->reports();
    QVERIFY(cleanFlash != startFlash);
    device.reset();
    const QList<int> points = faultPoints(cleanReports);

    struct Fault
    {
        const char *name;
        std::function<EmulatedAdapter::Faults(int point)> at;
        bool leavesBus;
    };
    const QList<Fault> faults{
        {"no reply",
         [](int point) {
             EmulatedAdapter::Faults faults;
             faults.noReplyAtReport = point;
             return faults;
         },
         false},
        {"unplug",
         [](int point) {
             EmulatedAdapter::Faults faults;
             faults.unplugAtReport = point;
             return faults;
         },
         true},
        {"read error",
         [](int point) {
             EmulatedAdapter::Faults faults;
             faults.readErrorAtReport = point;
             return faults;
         },
         false},
        {"write error",
         [](int point) {
             EmulatedAdapter::Faults faults;
             faults.writeErrorAtReport = point;
             return faults;
         },
         false},
        {"short replies",
         [](int point) {
             EmulatedAdapter::Faults faults;
             faults.shortReplyBytes = 40;
             faults.shortReplyFromReport = point;
             faults.shortReplyToReport = point + 4;
             return faults;
         },
         false},
        {"late reply",
         [](int point) {
             EmulatedAdapter::Faults faults;
             faults.lateReplyAtReport = point;
             faults.lateReplyDelayMs = faultReplyTimeoutMs * 2;
             return faults;
         },
         false},
    };

    int cases = 0;
    const auto check = [&](const QString &name, const EmulatedAdapter::Faults &faults,
                           bool leavesBus, const std::function<void()> &prepare) {
        ++cases;
        plug(startFlash);
        std::unique_ptr<T5Device> faulty = connectDevice();
        QVERIFY2(faulty, qPrintable(name));
        adapter->resetCounters();
        if (prepare)
            prepare();
        adapter->setFaults(faults);
        BridgeUSB::instance()->setReplyTimeoutMs(faultReplyTimeoutMs);
        const Outcome outcome = run(faulty.get(), operation);
        BridgeUSB::instance()->setReplyTimeoutMs(normalReplyTimeoutMs);
        const QByteArray afterFault = adapter->flashContents();

        // A success is claimed only when the adapter holds the result.
        if (outcome.errors.isEmpty())
            QVERIFY2(afterFault == cleanFlash, qPrintable(name + ": success claimed"));
        QVERIFY2(!outcome.busy && outcome.progress == 0.0, qPrintable(name + ": not idle"));
        faulty.reset();

        // The user plugs the adapter in again and repeats the operation;
        // what the first run left is read again from scratch.
        adapter->setFaults({});
        adapter->setEraseMsPerSector(0);
        if (leavesBus || !backend->isPlugged(adapter))
            backend->plug(adapter);
        std::unique_ptr<T5Device> again = connectDevice();
        QVERIFY2(again, qPrintable(name + ": not found again"));
        Outcome repeated = run(again.get(), operation);
        if (!repeated.errors.isEmpty() &&
            (repeated.errors.contains(QStringLiteral("Update the adapter to firmware 5.5.0 or "
                                                     "later first!")) ||
             repeated.errors.contains(QStringLiteral("Firmware lost!")))) {
            // The firmware went with the data: what a technician does.
            QVERIFY2(again->restoreSavedSettings(), qPrintable(name + ": nothing saved"));
            again.reset();
            again = connectDevice();
            repeated = run(again.get(), operation);
        }
        QVERIFY2(repeated.errors.isEmpty() ||
                     (operation == Operation::BootMode && again->bootMode() == 3),
                 qPrintable(name + ": repeat failed: " + repeated.errors.join(", ")));
        const QByteArray recovered = adapter->flashContents();
        if (recovered != cleanFlash) {
            int first = 0;
            while (recovered.at(first) == cleanFlash.at(first))
                ++first;
            QFAIL(qPrintable(QStringLiteral("%1: after repeating, flash differs from 0x%2")
                                 .arg(name)
                                 .arg(0x08000000 + first, 8, 16, QLatin1Char('0'))));
        }
    };

    for (const Fault &fault : faults) {
        for (int point : points) {
            const QString name = QStringLiteral("%1 at request %2").arg(fault.name).arg(point);
            check(name, fault.at(point), fault.leavesBus, {});
            if (QTest::currentTestFailed())
                return;
        }
    }
    // Model faults, counted in the adapter's own terms.
    for (int write : {1, 100, 316, 317, 360}) {
        EmulatedAdapter::Faults faults;
        faults.wrongEchoAtChunk = write;
        check(QStringLiteral("wrong echo of write %1").arg(write), faults, false, {});
        if (QTest::currentTestFailed())
            return;
    }
    {
        EmulatedAdapter::Faults faults;
        faults.eraseRefused = true;
        check(QStringLiteral("erase refused"), faults, false, {});
        if (QTest::currentTestFailed())
            return;
    }
    for (int sectors : {0, 1, 2}) {
        EmulatedAdapter::Faults faults;
        faults.eraseCutAtErase = 1;
        faults.eraseCutAfterSectors = sectors;
        faults.replugAfterMs = 50;
        check(QStringLiteral("erase cut after %1 sectors").arg(sectors), faults, true, {});
        if (QTest::currentTestFailed())
            return;
    }
    {
        EmulatedAdapter::Faults faults;
        faults.eraseAcknowledgedEarly = true;
        faults.unplugAtReport = 40;
        check(QStringLiteral("early erase acknowledgement, then unplug"), faults, true,
              [this]() { adapter->setEraseMsPerSector(20); });
        if (QTest::currentTestFailed())
            return;
    }
    qInfo() << cases << "fault cases";
}

QTEST_GUILESS_MAIN(T5FaultMatrixTest)
#include "tst_t5faultmatrix.moc"
