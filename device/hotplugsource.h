#pragma once

#include <QObject>

struct udev;
struct udev_monitor;
class QSocketNotifier;

// Arrivals and removals of USB devices and disks on Linux, from a udev
// monitor watched by the event loop of the thread that owns this object.
class HotplugSource : public QObject
{
    Q_OBJECT
public:
    explicit HotplugSource(QObject *parent = nullptr);
    ~HotplugSource() override;

    bool start();

signals:
    void connectedChanged(bool connected, double vid, double pid);

private:
    void receiveEvents();

    udev *context = nullptr;
    udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
};
