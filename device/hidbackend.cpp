#include "hidbackend.h"

#include <QAtomicPointer>

namespace {
QAtomicPointer<HidBackend> installedBackend;
} // namespace

HidBackend *HidBackend::current()
{
    HidBackend *backend = installedBackend.loadAcquire();
    if (backend)
        return backend;
    static SystemHidBackend systemBackend;
    return &systemBackend;
}

void HidBackend::install(HidBackend *backend)
{
    installedBackend.storeRelease(backend);
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

int SystemHidBackend::readTimeout(Handle handle, unsigned char *data, size_t length,
                                  int timeoutMs)
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
