#include "hidbackend.h"

#include <QAtomicPointer>

#include <QMutex>
#include <QMutexLocker>

namespace {
QAtomicPointer<HidBackend> installedBackend;
QMutex observerMutex;
std::function<void(HidBackend *)> installObserver;
} // namespace

HidBackend *HidBackend::systemBackend()
{
    static SystemHidBackend backend;
    return &backend;
}

HidBackend *HidBackend::current()
{
    HidBackend *backend = installedBackend.loadAcquire();
    return backend ? backend : systemBackend();
}

void HidBackend::install(HidBackend *backend)
{
    installedBackend.storeRelease(backend);
    std::function<void(HidBackend *)> observer;
    {
        QMutexLocker locker(&observerMutex);
        observer = installObserver;
    }
    if (observer)
        observer(current());
}

void HidBackend::setInstallObserver(std::function<void(HidBackend *)> observer)
{
    QMutexLocker locker(&observerMutex);
    installObserver = std::move(observer);
}

int SystemHidBackend::init()
{
    return hid_init();
}

hid_device_info *SystemHidBackend::enumerate(unsigned short vendorId, unsigned short productId)
{
    return hid_enumerate(vendorId, productId);
}

void SystemHidBackend::freeEnumeration(hid_device_info *devices)
{
    hid_free_enumeration(devices);
}

HidBackend::Handle SystemHidBackend::open(const char *path)
{
    return hid_open_path(path);
}

int SystemHidBackend::readTimeout(Handle handle, unsigned char *data, size_t length, int timeoutMs)
{
    return hid_read_timeout(static_cast<hid_device *>(handle), data, length, timeoutMs);
}

int SystemHidBackend::write(Handle handle, const unsigned char *data, size_t length)
{
    return hid_write(static_cast<hid_device *>(handle), data, length);
}

void SystemHidBackend::close(Handle handle)
{
    hid_close(static_cast<hid_device *>(handle));
}
