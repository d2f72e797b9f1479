#pragma once

#include <QObject>

#include <hidapi.h>

#include <cstddef>
#include <functional>

// The seam between the transport and the HID library. Every call the
// transport makes to hidapi goes through the backend that is installed, so
// the transport's own enumerate / match / open / read / write code runs the
// same against real adapters and against emulated ones.
//
// The functions keep hidapi's contracts:
//  - enumerate() returns a linked list of hid_device_info (NULL when nothing
//    matches) that must be given back to freeEnumeration();
//  - open() returns an opaque handle, nullptr on failure;
//  - write() takes the report id in byte 0 and returns the bytes written or -1;
//  - readTimeout() returns the bytes of one input report (without report id),
//    0 when nothing arrived within the time-out, -1 on error; a time-out of
//    -1 waits without limit.
class HidBackend : public QObject
{
    Q_OBJECT
public:
    using Handle = void *;

    explicit HidBackend(QObject *parent = nullptr) : QObject(parent) {}
    ~HidBackend() override = default;

    virtual int init() = 0;
    virtual hid_device_info *enumerate(unsigned short vendorId, unsigned short productId) = 0;
    virtual void freeEnumeration(hid_device_info *devices) = 0;
    virtual Handle open(const char *path) = 0;
    virtual int readTimeout(Handle handle, unsigned char *data, size_t length, int timeoutMs) = 0;
    virtual int write(Handle handle, const unsigned char *data, size_t length) = 0;
    virtual void close(Handle handle) = 0;

    // The backend in use; the system hidapi unless another one was installed.
    static HidBackend *current();
    // Installs a backend for the rest of the process (tests, emulator mode).
    // The backend is not owned; nullptr restores the system hidapi.
    static void install(HidBackend *backend);
    static HidBackend *systemBackend();
    // Called after every install(); the transport uses it to follow the
    // arrivals and removals the new backend reports.
    static void setInstallObserver(std::function<void(HidBackend *)> observer);

signals:
    // Emitted by backends that know about arrivals and removals themselves
    // (the emulator); the system backend leaves this to the hot-plug source.
    void deviceConnectionChanged(bool connected, double vendorId, double productId);
};

// The system hidapi, used unless another backend is installed.
class SystemHidBackend : public HidBackend
{
    Q_OBJECT
public:
    using HidBackend::HidBackend;

    int init() override;
    hid_device_info *enumerate(unsigned short vendorId, unsigned short productId) override;
    void freeEnumeration(hid_device_info *devices) override;
    Handle open(const char *path) override;
    int readTimeout(Handle handle, unsigned char *data, size_t length, int timeoutMs) override;
    int write(Handle handle, const unsigned char *data, size_t length) override;
    void close(Handle handle) override;
};
