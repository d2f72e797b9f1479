#include "qhiddevice.h"

#include "hidbackend.h"

#include <QByteArray>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
std::atomic<FILE *> openTraceStream{nullptr};
std::atomic<bool> openTraceEnabled{true};
} // namespace

void QHidDevice::setOpenTraceStream(FILE *stream)
{
    openTraceStream.store(stream);
}

void QHidDevice::setOpenTraceEnabled(bool enabled)
{
    openTraceEnabled.store(enabled);
}

class QHidDevicePrivate
{
public:
    HidBackend::Handle handle = nullptr;
    // The backend that opened the handle; it must also close it, even if
    // another backend was installed meanwhile.
    HidBackend *backend = nullptr;
    QString deniedPath;
};

namespace {
// Only Windows paths leave out the interface of a device that is not
// composite, and hidapi reports -1 for it there; the hidraw backend (and
// libusb) report every device's USB interface, so there the same device is
// interface 0. Asked for a device without an interface part, that entry
// counts too, unless the device has further interfaces (a composite
// device's interface 0 is never taken for it).
hid_device_info *soleInterfaceEntry(hid_device_info *devices, quint16 vendorId, quint16 productId)
{
    hid_device_info *first = nullptr;
    for (hid_device_info *entry = devices; entry; entry = entry->next) {
        if (entry->vendor_id != vendorId || entry->product_id != productId)
            continue;
        if (entry->interface_number > 0)
            return nullptr;
        if (entry->interface_number == 0 && !first)
            first = entry;
    }
    return first;
}
} // namespace

bool QHidDevice::isAccessDenied(const char *path, int openError)
{
    if (openError == EACCES || openError == EPERM)
        return true;
        // hidapi may lose errno on its way out; a device node says it itself.
#ifndef Q_OS_WIN
    if (path && std::strncmp(path, "/dev/", 5) == 0 && ::access(path, F_OK) == 0 &&
        ::access(path, R_OK | W_OK) != 0)
        return errno == EACCES || errno == EPERM;
#endif
    return false;
}

QHidDevice::QHidDevice(QObject *parent) : QObject(parent), d(new QHidDevicePrivate)
{
    HidBackend::current()->init();
}

QHidDevice::~QHidDevice()
{
    close();
}

bool QHidDevice::open(quint16 vendorId, quint16 productId, int interfaceNumber)
{
    close();
    d->deniedPath.clear();
    HidBackend *backend = HidBackend::current();
    hid_device_info *devices = backend->enumerate(vendorId, productId);
    hid_device_info *chosen = nullptr;
    for (hid_device_info *entry = devices; entry && !chosen; entry = entry->next) {
        if (entry->vendor_id == vendorId && entry->product_id == productId &&
            entry->interface_number == interfaceNumber)
            chosen = entry;
    }
    if (!chosen && interfaceNumber == -1)
        chosen = soleInterfaceEntry(devices, vendorId, productId);
    if (chosen && chosen->path) {
        if (openTraceEnabled.load()) {
            FILE *trace = openTraceStream.load();
            if (!trace)
                trace = stdout;
            std::fprintf(trace, "hid_open: %s\n", chosen->path);
            std::fflush(trace);
        }
        errno = 0;
        d->handle = backend->open(chosen->path);
        const int openError = errno;
        d->backend = d->handle ? backend : nullptr;
        if (!d->handle && isAccessDenied(chosen->path, openError))
            d->deniedPath = QString::fromLocal8Bit(chosen->path);
    }
    backend->freeEnumeration(devices);
    return d->handle != nullptr;
}

QString QHidDevice::deniedPath() const
{
    return d->deniedPath;
}

void QHidDevice::close()
{
    if (d->handle)
        d->backend->close(d->handle);
    d->handle = nullptr;
    d->backend = nullptr;
}

bool QHidDevice::isOpen() const
{
    return d->handle != nullptr;
}

int QHidDevice::read(QByteArray *data, int length, int timeoutMs)
{
    if (length < 0)
        length = data->size();
    data->fill('\0', length);
    if (!d->handle) {
        data->clear();
        return -1;
    }
    const int count = d->backend->readTimeout(
        d->handle, reinterpret_cast<unsigned char *>(data->data()), size_t(length), timeoutMs);
    if (count < 0)
        data->clear();
    else
        data->resize(count);
    return count;
}

int QHidDevice::write(const QByteArray *data, int length)
{
    if (length < 0)
        length = data->size();
    if (!d->handle)
        return -1;
    length = qMin(length, data->size());
    return d->backend->write(d->handle, reinterpret_cast<const unsigned char *>(data->constData()),
                             size_t(length));
}
