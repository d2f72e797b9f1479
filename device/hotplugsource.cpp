#include "hotplugsource.h"

#include "hotplugmapping.h"

#include <QDebug>
#include <QMap>
#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <libudev.h>
#endif

HotplugSource::HotplugSource(QObject *parent) : QObject(parent) {}

HotplugSource::~HotplugSource()
{
#ifdef Q_OS_LINUX
    delete notifier;
    if (monitor)
        udev_monitor_unref(monitor);
    if (context)
        udev_unref(context);
#endif
}

bool HotplugSource::start()
{
#ifdef Q_OS_LINUX
    if (notifier)
        return true;
    context = udev_new();
    if (!context)
        return false;
    monitor = udev_monitor_new_from_netlink(context, "udev");
    if (!monitor)
        return false;
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", "disk");
    if (udev_monitor_enable_receiving(monitor) < 0)
        return false;
    notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &HotplugSource::receiveEvents);
    return true;
#else
    return false;
#endif
}

void HotplugSource::receiveEvents()
{
#ifdef Q_OS_LINUX
    while (udev_device *device = udev_monitor_receive_device(monitor)) {
        QMap<QByteArray, QByteArray> properties;
        udev_list_entry *entry = nullptr;
        udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device))
        {
            properties.insert(udev_list_entry_get_name(entry), udev_list_entry_get_value(entry));
        }
        udev_device_unref(device);
        if (const std::optional<HotplugEvent> event = hotplugEventFromUdev(properties))
            emit connectedChanged(event->connected, event->vendorId, event->productId);
    }
#endif
}
