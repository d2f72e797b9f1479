#pragma once

// What the K3 and M7 device tests share: the adapters' identities and memory
// maps as documented, the process log, frame helpers, test packages and a
// fixture with emulated adapters on the real transport.

#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "hidbackend.h"
#include "k3adapter.h"
#include "k3device.h"
#include "k3m7flashbuilder.h"
#include "m7adapter.h"
#include "m7device.h"
#include "settingscopystore.h"
#include "testpackage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace K3M7Test {
inline constexpr quint16 vendorId = 0x0E3A;
inline constexpr quint16 k3ApplicationId = 0xB274;
inline constexpr quint16 k3BootV1Id = 0xB270;
inline constexpr quint16 k3BootId = 0xB275;
inline constexpr quint16 m7Id = 0xB471;
inline constexpr quint32 flashBase = 0x08000000;

inline constexpr quint32 k3ConfigurationAddress = 0x08004000;
inline constexpr quint32 k3InformationAddress = 0x08004100;
inline constexpr quint32 k3SpareAddress = 0x08004200;
inline constexpr quint32 k3ImageAddress = 0x08005000;
inline constexpr int k3ChunkBytes = 56;

inline constexpr quint32 m7InformationAddress = 0x08004000;
inline constexpr quint32 m7ImageAddress = 0x08010000;
inline constexpr int m7ChunkBytes = 52;

inline constexpr int blockBytes = 256;
inline constexpr int normalReplyTimeoutMs = 3000;
inline constexpr int shortReplyTimeoutMs = 300;

inline const QByteArray k3ChipId = QByteArray::fromHex("3fff7a05484e353224600943");
inline const QByteArray m7ChipId = QByteArray::fromHex("2d0047000c5133313934a6ff");

// Log lines of the whole process, as the device code writes them.
inline QMutex logLock;
inline QStringList logLines;
inline QtMessageHandler previousHandler = nullptr;

inline void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        QMutexLocker locker(&logLock);
        logLines.append(text);
    }
    if (previousHandler && type != QtDebugMsg && type != QtInfoMsg)
        previousHandler(type, context, text);
}

inline bool logged(const QString &line)
{
    QMutexLocker locker(&logLock);
    return logLines.contains(line);
}

inline void clearLog()
{
    QMutexLocker locker(&logLock);
    logLines.clear();
}

inline void putLe32(QByteArray *bytes, int offset, quint32 value)
{
    for (int index = 0; index < 4; ++index)
        (*bytes)[offset + index] = char((value >> (8 * index)) & 0xFF);
}

inline quint32 le32(const QByteArray &bytes, int offset)
{
    quint32 value = 0;
    for (int index = 3; index >= 0; --index)
        value = (value << 8) | quint8(bytes.at(offset + index));
    return value;
}

inline QByteArray flashAt(const QByteArray &flash, quint32 address, int count)
{
    return flash.mid(int(address - flashBase), count);
}

inline QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Progress after each chunk of a transfer of the given segment sizes.
inline QList<double> progressSteps(const QList<int> &segmentSizes, int chunkBytes)
{
    int total = 0;
    for (int size : segmentSizes)
        total += size;
    QList<double> steps;
    int done = 0;
    for (int size : segmentSizes) {
        for (int offset = 0; offset < size; offset += chunkBytes) {
            done += qMin(chunkBytes, size - offset);
            steps.append(double(done) / double(total));
        }
    }
    return steps;
}

inline QList<double> valuesOf(const QSignalSpy &spy)
{
    QList<double> values;
    for (const QList<QVariant> &arguments : spy)
        values.append(arguments.at(0).toDouble());
    return values;
}

inline bool sameSteps(const QList<double> &actual, const QList<double> &expected)
{
    if (actual.size() != expected.size())
        return false;
    for (int index = 0; index < actual.size(); ++index) {
        if (!qFuzzyCompare(1.0 + actual.at(index), 1.0 + expected.at(index)))
            return false;
    }
    return true;
}

inline QList<bool> busyValuesOf(const QSignalSpy &spy)
{
    QList<bool> values;
    for (const QList<QVariant> &arguments : spy)
        values.append(arguments.at(0).toBool());
    return values;
}

inline QStringList textsOf(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy)
        texts.append(arguments.at(0).toString());
    return texts;
}

inline QByteArray k3Package(qint8 major, const QByteArray &image, quint8 minor = 4,
                            quint8 patch = 1)
{
    return TestPackage::build({"Brivane_K3", major, minor, patch, image});
}

inline QByteArray m7Package(qint8 major, const QByteArray &image, quint8 minor = 4,
                            quint8 patch = 1)
{
    return TestPackage::build({"Brivane_M7", major, minor, patch, image});
}

// The emulator, keeping a copy of every report the host writes: the
// adapters do not look at every byte of a frame (the zero padding, for one),
// so the frames the device code sends are checked byte by byte here.
class RecordingEmulatorBackend : public EmulatorBackend
{
public:
    using EmulatorBackend::EmulatorBackend;

    // Reports written since the last clear(), report id byte included.
    QList<QByteArray> writtenReports() const
    {
        QMutexLocker locker(&reportsLock);
        return reports;
    }

    void clear()
    {
        QMutexLocker locker(&reportsLock);
        reports.clear();
    }

    int write(Handle handle, const unsigned char *data, size_t length) override
    {
        {
            QMutexLocker locker(&reportsLock);
            reports.append(QByteArray(reinterpret_cast<const char *>(data), int(length)));
        }
        return EmulatorBackend::write(handle, data, length);
    }

private:
    mutable QMutex reportsLock;
    QList<QByteArray> reports;
};

// A flash with an old firmware whose image reaches into sector 7, so every
// sector an update could forget to erase holds old data.
inline QByteArray m7FlashWithLargeOldFirmware()
{
    M7FlashBuilder builder;
    builder.version = QStringLiteral("1.3.0");
    builder.image = TestPackage::patternImage(400000, 0x5E);
    return builder.build();
}

// Emulated adapters on the real transport, a working folder and a folder
// of settings copies per test function. Test classes call setUp* and
// tearDown from their own initTestCase, init and cleanup.
class K3M7Fixture
{
protected:
    void setUpTestCase(QObject *owner);
    void setUp();
    void tearDown();

    K3Adapter *plugK3(quint16 startProductId, quint16 bootProductId, const QByteArray &flash);
    M7Adapter *plugM7(const QByteArray &flash);
    template <typename Device> std::unique_ptr<Device> makeDevice()
    {
        auto device = std::make_unique<Device>();
        // Let the busy pulse of a new model pass before anything is observed.
        QTest::qWait(20);
        return device;
    }
    bool openTransport(quint16 productId);
    // A K3 (as 0xB275) or an M7 holding flash, opened on the transport as the
    // update finds it, with a new model object; nullptr when that failed.
    std::unique_ptr<BaseDevice> openBootLoader(bool k3, const QByteArray &flash);
    QString writeFile(const QString &name, const QByteArray &bytes);

    RecordingEmulatorBackend *emulator = nullptr;
    QTemporaryDir workDirectory;
    std::unique_ptr<QTemporaryDir> copiesFolder;
    EmulatedAdapter *adapter = nullptr;
    int adapterCounter = 0;
};

} // namespace K3M7Test
