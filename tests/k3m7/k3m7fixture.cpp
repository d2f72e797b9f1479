#include "k3m7fixture.h"

namespace K3M7Test {

void K3M7Fixture::setUpTestCase(QObject *owner)
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(workDirectory.isValid());
    emulator = new RecordingEmulatorBackend(owner);
    HidBackend::install(emulator);
    previousHandler = qInstallMessageHandler(recordMessage);
}

void K3M7Fixture::setUp()
{
    // Settings copies of each test function go to a folder of its own.
    copiesFolder = std::make_unique<QTemporaryDir>();
    qputenv(SettingsCopyStore::folderVariable, copiesFolder->path().toLocal8Bit());
    BridgeUSB::instance()->setReplyTimeoutMs(normalReplyTimeoutMs);
}

void K3M7Fixture::tearDown()
{
    BridgeUSB::instance()->close();
    if (adapter)
        emulator->unplug(adapter);
    adapter = nullptr;
    emulator->clear();
    clearLog();
}

K3Adapter *K3M7Fixture::plugK3(quint16 startProductId, quint16 bootProductId,
                               const QByteArray &flash)
{
    auto *k3 = emulator->emplaceAdapter<K3Adapter>(QStringLiteral("k3-%1").arg(++adapterCounter),
                                                   startProductId, bootProductId);
    adapter = k3;
    k3->setReenumerateAfterMs(0);
    k3->setChipId(k3ChipId);
    if (!k3->setFlashContents(flash))
        return nullptr;
    k3->resetCounters();
    return k3;
}

M7Adapter *K3M7Fixture::plugM7(const QByteArray &flash)
{
    auto *m7 = emulator->emplaceAdapter<M7Adapter>(QStringLiteral("m7-%1").arg(++adapterCounter));
    adapter = m7;
    m7->setChipId(m7ChipId);
    if (!m7->setFlashContents(flash))
        return nullptr;
    m7->resetCounters();
    return m7;
}

bool K3M7Fixture::openTransport(quint16 productId)
{
    return BridgeUSB::instance()->open(vendorId, productId, -1);
}

std::unique_ptr<BaseDevice> K3M7Fixture::openBootLoader(bool k3, const QByteArray &flash)
{
    if (k3 ? !plugK3(k3BootId, k3BootId, flash) : !plugM7(flash))
        return nullptr;
    if (!openTransport(k3 ? k3BootId : m7Id))
        return nullptr;
    if (k3)
        return makeDevice<K3Device>();
    return makeDevice<M7Device>();
}

QString K3M7Fixture::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = workDirectory.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

} // namespace K3M7Test
