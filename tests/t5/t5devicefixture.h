#pragma once

// What the T5 device tests share: helpers written down from the adapter's
// flash map and record formats, and a fixture with an emulated adapter on the
// real transport.

#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "global.h"
#include "hidbackend.h"
#include "settingscopystore.h"
#include "t5adapter.h"
#include "t5adapterstates.h"
#include "t5device.h"
#include "testsupport.h"

#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <memory>

namespace T5DeviceTests {
using namespace T5Flash;

inline constexpr int shortReplyTimeoutMs = 300;
inline constexpr int normalReplyTimeoutMs = 5000;
inline const QString serialText = QStringLiteral("0a1b2c3d4e5f60718293a4b5");

// Flash sectors as offsets into flash.bin.
struct SectorRange
{
    int offset;
    int size;
};
inline const SectorRange sectors[12] = {{0x00000, 0x4000},  {0x04000, 0x4000},  {0x08000, 0x4000},
                                        {0x0C000, 0x4000},  {0x10000, 0x10000}, {0x20000, 0x20000},
                                        {0x40000, 0x20000}, {0x60000, 0x20000}, {0x80000, 0x20000},
                                        {0xA0000, 0x20000}, {0xC0000, 0x20000}, {0xE0000, 0x20000}};

inline QByteArray withEndMark(const QByteArray &bytes)
{
    return bytes + QByteArray::fromHex("55aa");
}

inline bool allBytesAre(const QByteArray &bytes, char value)
{
    return bytes.count(value) == bytes.size();
}

// The documented conversion of one record of format 3 or lower to format 4.
inline QByteArray recordInFormat4(const QByteArray &old)
{
    const int bodyBytes = old.size() - 85;
    QByteArray converted = old.left(85) + QByteArray(47, '\0') + old.mid(85);
    putU16(&converted, 0, quint16(bodyBytes + 132));
    const int oldFormat = quint8(old.at(4));
    converted[0x54] = char(oldFormat >= 3 ? 0 : oldFormat == 2 ? 1 : 2);
    putU16(&converted, 2, 0);
    converted[4] = char(4);
    return converted;
}

inline QByteArray newMacroBlock(const QByteArray &header64, const QByteArray &records, int count)
{
    QByteArray block = header64.left(64);
    putU16(&block, 0, quint16(64 + records.size() + 2));
    block[2] = char(count);
    putU16(&block, 3, quint16(records.size()));
    return block + records + QByteArray::fromHex("aa55");
}

// The documented empty macro block: length 66, no records, end mark at 64.
inline QByteArray emptyMacroBlock()
{
    QByteArray block(66, '\0');
    block[0] = 66;
    block.replace(64, 2, QByteArray::fromHex("aa55"));
    return block;
}

// An adapter on that "major.minor.patch" version, in the layout of that version.
inline AdapterState stateAt(const QString &version)
{
    const QStringList parts = version.split('.');
    AdapterState state;
    state.major = parts.at(0).toInt();
    state.minor = parts.at(1).toInt();
    state.patch = parts.at(2).toInt();
    state.newLayout = state.major > 5 || (state.major == 5 && state.minor >= 5);
    return state;
}

// The body of a backup as the adapter's flash from 0x08004000 holds it.
inline QByteArray bodyOf(const QByteArray &flash, bool withMacroArea)
{
    QByteArray body(0x3C400, '\0');
    const int length = withMacroArea ? 0x3C000 : 0x1C000;
    body.replace(0, length, flash.mid(configOffset, length));
    return body;
}

// An emulated T5 on the real transport, configs.ini in a working folder, and
// a folder of settings copies per test function. Test classes call setUp*
// and tearDown from their own initTestCase, init and cleanup.
class T5DeviceFixture
{
protected:
    void setUpTestCase(QObject *owner);
    void setUp();
    void tearDown();

    T5Adapter *plug(const AdapterState &state);
    bool connectDevice();
    QString writeFile(const QString &name, const QByteArray &bytes);
    QVector<int> eraseCounts() const;
    static QVector<int> erasedOnce(const QList<int> &sectorList);
    void writeSettings(const QMap<QString, QString> &values);
    void verifyRefusedUntouched(const QSignalSpy &errors, const QString &error,
                                const QByteArray &before);

    EmulatorBackend *backend = nullptr;
    QTemporaryDir workDirectory;
    std::unique_ptr<QTemporaryDir> copiesFolder;
    T5Adapter *adapter = nullptr;
    std::unique_ptr<T5Device> device;
    int adapterCounter = 0;
};

} // namespace T5DeviceTests
