#pragma once

#include <QObject>
#include <QScopedPointer>
#include <QString>

#include <cstdio>

class QHidDevicePrivate;

// A thin object over one HID device handle of the installed HID backend.
class QHidDevice : public QObject
{
    Q_OBJECT
public:
    explicit QHidDevice(QObject *parent = nullptr);
    ~QHidDevice() override;

    // Opens the first enumerated device whose vendor id, product id and USB
    // interface number all match; interfaceNumber -1 is a device whose path
    // names no interface, or where the HID library lists every device with
    // its interface (Linux), a device whose only interface is 0.
    bool open(quint16 vendorId, quint16 productId, int interfaceNumber);
    // Path of the device the last open() found but was not allowed to open
    // (no permission on its node), or empty.
    QString deniedPath() const;
    // Whether an open that failed with openError (errno) failed for want of
    // permission.
    static bool isAccessDenied(const char *path, int openError);
    void close();
    bool isOpen() const;

    // Reads one input report into data; length -1 means data's current size,
    // timeoutMs -1 waits without limit. Returns the byte count (data resized
    // to it), 0 on time-out, negative on error (data left empty).
    int read(QByteArray *data, int length = -1, int timeoutMs = -1);
    // Writes data (byte 0 is the report id); returns bytes written or -1.
    int write(const QByteArray *data, int length = -1);

    // Where the "hid_open:" line of every open goes (standard output unless
    // changed; the command-line tool keeps its standard output for results).
    static void setOpenTraceStream(FILE *stream);
    // The command-line tool keeps the line for its verbose mode.
    static void setOpenTraceEnabled(bool enabled);

private:
    QScopedPointer<QHidDevicePrivate> d;
};
