#pragma once

#include <QByteArray>
#include <QMap>

#include <optional>

// One arrival or removal as the rest of the program sees it: a USB device
// with its vendor and product id, or a USB disk as 0 and 0.
struct HotplugEvent
{
    bool connected = false;
    double vendorId = 0;
    double productId = 0;
};

// Maps the properties of a udev event to the event the Windows
// device-change path would report for the same plug, or nothing for events
// that path would not report (interfaces, other subsystems, other actions).
std::optional<HotplugEvent> hotplugEventFromUdev(const QMap<QByteArray, QByteArray> &properties);
