#include "recordingbackend.h"

#include <QMutexLocker>

RecordingBackend::RecordingBackend(HidBackend *inner, QObject *parent)
    : HidBackend(parent), inner(inner)
{
    connect(inner, &HidBackend::deviceConnectionChanged, this, &HidBackend::deviceConnectionChanged,
            Qt::DirectConnection);
}

QList<QByteArray> RecordingBackend::writtenReports() const
{
    QMutexLocker locker(&reportsLock);
    return reports;
}

void RecordingBackend::clear()
{
    QMutexLocker locker(&reportsLock);
    reports.clear();
}

int RecordingBackend::init()
{
    return inner->init();
}

hid_device_info *RecordingBackend::enumerate(unsigned short vendorId, unsigned short productId)
{
    return inner->enumerate(vendorId, productId);
}

void RecordingBackend::freeEnumeration(hid_device_info *devices)
{
    inner->freeEnumeration(devices);
}

HidBackend::Handle RecordingBackend::open(const char *path)
{
    return inner->open(path);
}

int RecordingBackend::readTimeout(Handle handle, unsigned char *data, size_t length, int timeoutMs)
{
    return inner->readTimeout(handle, data, length, timeoutMs);
}

int RecordingBackend::write(Handle handle, const unsigned char *data, size_t length)
{
    {
        QMutexLocker locker(&reportsLock);
        reports.append(QByteArray(reinterpret_cast<const char *>(data), int(length)));
    }
    return inner->write(handle, data, length);
}

void RecordingBackend::close(Handle handle)
{
    inner->close(handle);
}
