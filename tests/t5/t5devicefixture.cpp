#include "t5devicefixture.h"

namespace T5DeviceTests {

void T5DeviceFixture::setUpTestCase(QObject *owner)
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(workDirectory.isValid());
    // configs.ini is read from the working directory.
    QVERIFY(QDir::setCurrent(workDirectory.path()));
    backend = new EmulatorBackend(owner);
    HidBackend::install(backend);
    Global::instance();
}

void T5DeviceFixture::setUp()
{
    // Each test function starts without saved settings copies.
    copiesFolder = std::make_unique<QTemporaryDir>();
    qputenv(SettingsCopyStore::folderVariable, copiesFolder->path().toLocal8Bit());
    QFile::remove(QStringLiteral("configs.ini"));
    BridgeUSB::instance()->setReplyTimeoutMs(normalReplyTimeoutMs);
}

void T5DeviceFixture::tearDown()
{
    device.reset();
    if (adapter)
        backend->unplug(adapter);
    adapter = nullptr;
}

T5Adapter *T5DeviceFixture::plug(const AdapterState &state)
{
    if (adapter)
        backend->unplug(adapter);
    adapter = backend->emplaceAdapter<T5Adapter>(QStringLiteral("t5-%1").arg(++adapterCounter));
    adapter->setFlashContents(flash(state));
    adapter->resetCounters();
    return adapter;
}

bool T5DeviceFixture::connectDevice()
{
    device = std::make_unique<T5Device>();
    if (!device->tryConnected())
        return false;
    device->waitForConnectionTask();
    adapter->resetCounters();
    return true;
}

QString T5DeviceFixture::writeFile(const QString &name, const QByteArray &bytes)
{
    return TestSupport::writeWholeFile(workDirectory.filePath(name), bytes);
}

QVector<int> T5DeviceFixture::eraseCounts() const
{
    QVector<int> counts;
    for (int sector = 0; sector < 12; ++sector)
        counts.append(adapter->erasesOfSector(sector));
    return counts;
}

QVector<int> T5DeviceFixture::erasedOnce(const QList<int> &sectorList)
{
    QVector<int> counts(12, 0);
    for (int sector : sectorList)
        counts[sector] = 1;
    return counts;
}

void T5DeviceFixture::writeSettings(const QMap<QString, QString> &values)
{
    QSettings settings(QStringLiteral("configs.ini"), QSettings::IniFormat);
    settings.clear();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

// The one error, and nothing erased, written or changed on the adapter.
void T5DeviceFixture::verifyRefusedUntouched(const QSignalSpy &errors, const QString &error,
                                             const QByteArray &before)
{
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), error);
    QCOMPARE(adapter->erasesReceived(), 0);
    QCOMPARE(adapter->writesReceived(), 0);
    QCOMPARE(adapter->flashContents(), before);
    QVERIFY(!device->busying());
}

} // namespace T5DeviceTests
