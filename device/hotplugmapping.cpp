#include "hotplugmapping.h"

#include <QList>

std::optional<HotplugEvent> hotplugEventFromUdev(const QMap<QByteArray, QByteArray> &properties)
{
    const QByteArray action = properties.value("ACTION");
    HotplugEvent event;
    if (action == "add")
        event.connected = true;
    else if (action == "remove")
        event.connected = false;
    else
        return std::nullopt;

    const QByteArray subsystem = properties.value("SUBSYSTEM");
    const QByteArray deviceType = properties.value("DEVTYPE");

    if (subsystem == "usb" && deviceType == "usb_device") {
        // PRODUCT is "vendor/product/revision" in hexadecimal without leading
        // zeros; unlike ID_VENDOR_ID it is also present on removal.
        const QList<QByteArray> product = properties.value("PRODUCT").split('/');
        bool vendorOk = false;
        bool productOk = false;
        if (product.size() >= 2) {
            event.vendorId = product.at(0).toUInt(&vendorOk, 16);
            event.productId = product.at(1).toUInt(&productOk, 16);
        }
        if (!vendorOk || !productOk) {
            event.vendorId = properties.value("ID_VENDOR_ID").toUInt(&vendorOk, 16);
            event.productId = properties.value("ID_MODEL_ID").toUInt(&productOk, 16);
        }
        if (!vendorOk)
            event.vendorId = 0;
        if (!productOk)
            event.productId = 0;
        return event;
    }

    // A whole disk (not its partitions) stands for the disk interface
    // notification, whose vendor and product texts are never hexadecimal.
    if (subsystem == "block" && deviceType == "disk") {
        if (properties.value("ID_BUS") != "usb")
            return std::nullopt;
        event.vendorId = 0;
        event.productId = 0;
        return event;
    }
    return std::nullopt;
}
