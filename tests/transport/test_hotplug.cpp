#include "bridgeusb.h"
#include "hotplugmapping.h"

#include <QTest>

using Properties = QMap<QByteArray, QByteArray>;
Q_DECLARE_METATYPE(Properties)

// Both hot-plug sources must report the same values for the same plug: a
// USB device with its vendor and product as numbers, a USB disk as 0 and 0.
class HotplugTest : public QObject
{
    Q_OBJECT
private slots:
    void windowsInterfaceNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<double>("vendorId");
        QTest::addColumn<double>("productId");
        QTest::newRow("T5 adapter")
            << "\\\\?\\USB#VID_0E3A&PID_B373#6&1a2b3c4d&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
            << true << 3642.0 << 45939.0;
        QTest::newRow("K3 boot loader, lower-case hex")
            << "\\\\?\\USB#VID_0e3a&PID_b275#5&2f0c1e&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
            << true << 3642.0 << 45685.0;
        QTest::newRow("composite interface") << "\\\\?\\USB#VID_046D&PID_C52B&MI_00#7&3a0b&0&0000#{"
                                                "a5dcbf10-6530-11d2-901f-00c04fb951ed}"
                                             << true << double(0x046D) << double(0xC52B);
        QTest::newRow("USB disk") << "\\\\?\\USBSTOR#Disk&Ven_Kingston&Prod_DataTraveler_3.0&PMAP#"
                                     "60A44C3FACB3E3B0A9&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
                                  << true << 0.0 << 0.0;
        QTest::newRow("USB disk whose vendor text happens to be hex")
            << "\\\\?\\USBSTOR#Disk&Ven_ABCD&Prod_1234&1.00#0123&0#{53f56307-b6bf-11d0-94f2-"
               "00a0c91efb8b}"
            << true << double(0xABCD) << double(0x1234);
        QTest::newRow("too few parts") << "\\\\?\\USB#VID_0E3A&PID_B373" << false << 0.0 << 0.0;
        QTest::newRow("no product item") << "\\\\?\\USB#VID_0E3A#6&1a2b#{x}" << false << 0.0 << 0.0;
        QTest::newRow("disk with too few items")
            << "\\\\?\\USBSTOR#Disk&Ven_X#123#{x}" << false << 0.0 << 0.0;
        QTest::newRow("empty") << "" << false << 0.0 << 0.0;
    }

    void windowsInterfaceNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, readable);
        QFETCH(double, vendorId);
        QFETCH(double, productId);
        const std::optional<DeviceIdentity> identity = parseDeviceInterfaceName(name);
        QCOMPARE(identity.has_value(), readable);
        if (readable) {
            QCOMPARE(identity->vendorId, vendorId);
            QCOMPARE(identity->productId, productId);
        }
    }

    void udevEvents_data()
    {
        QTest::addColumn<Properties>("properties");
        QTest::addColumn<bool>("reported");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<double>("vendorId");
        QTest::addColumn<double>("productId");
        QTest::newRow("T5 arrives")
            << Properties{{"ACTION", "add"},         {"SUBSYSTEM", "usb"},
                          {"DEVTYPE", "usb_device"}, {"PRODUCT", "e3a/b373/200"},
                          {"ID_VENDOR_ID", "0e3a"},  {"ID_MODEL_ID", "b373"}}
            << true << true << 3642.0 << 45939.0;
        QTest::newRow("T5 leaves: only PRODUCT is left") << Properties{{"ACTION", "remove"},
                                                                       {"SUBSYSTEM", "usb"},
                                                                       {"DEVTYPE", "usb_device"},
                                                                       {"PRODUCT", "e3a/b373/200"}}
                                                         << true << false << 3642.0 << 45939.0;
        QTest::newRow("ids only in ID_ properties") << Properties{{"ACTION", "add"},
                                                                  {"SUBSYSTEM", "usb"},
                                                                  {"DEVTYPE", "usb_device"},
                                                                  {"ID_VENDOR_ID", "0e3a"},
                                                                  {"ID_MODEL_ID", "b471"}}
                                                    << true << true << 3642.0 << 46193.0;
        QTest::newRow("USB disk arrives") << Properties{{"ACTION", "add"},
                                                        {"SUBSYSTEM", "block"},
                                                        {"DEVTYPE", "disk"},
                                                        {"ID_BUS", "usb"},
                                                        {"ID_VENDOR", "Kingston"}}
                                          << true << true << 0.0 << 0.0;
        QTest::newRow("USB disk leaves") << Properties{{"ACTION", "remove"},
                                                       {"SUBSYSTEM", "block"},
                                                       {"DEVTYPE", "disk"},
                                                       {"ID_BUS", "usb"}}
                                         << true << false << 0.0 << 0.0;
        QTest::newRow("partition of a disk") << Properties{{"ACTION", "add"},
                                                           {"SUBSYSTEM", "block"},
                                                           {"DEVTYPE", "partition"},
                                                           {"ID_BUS", "usb"}}
                                             << false << false << 0.0 << 0.0;
        QTest::newRow("internal disk") << Properties{{"ACTION", "add"},
                                                     {"SUBSYSTEM", "block"},
                                                     {"DEVTYPE", "disk"},
                                                     {"ID_BUS", "ata"}}
                                       << false << false << 0.0 << 0.0;
        QTest::newRow("USB interface") << Properties{{"ACTION", "add"},
                                                     {"SUBSYSTEM", "usb"},
                                                     {"DEVTYPE", "usb_interface"},
                                                     {"PRODUCT", "e3a/b373/200"}}
                                       << false << false << 0.0 << 0.0;
        QTest::newRow("bind is no arrival") << Properties{{"ACTION", "bind"},
                                                          {"SUBSYSTEM", "usb"},
                                                          {"DEVTYPE", "usb_device"},
                                                          {"PRODUCT", "e3a/b373/200"}}
                                            << false << false << 0.0 << 0.0;
        QTest::newRow("hidraw node") << Properties{{"ACTION", "add"}, {"SUBSYSTEM", "hidraw"}}
                                     << false << false << 0.0 << 0.0;
        QTest::newRow("unreadable ids") << Properties{{"ACTION", "add"},
                                                      {"SUBSYSTEM", "usb"},
                                                      {"DEVTYPE", "usb_device"},
                                                      {"PRODUCT", "zz/yy/1"}}
                                        << true << true << 0.0 << 0.0;
    }

    void udevEvents()
    {
        QFETCH(Properties, properties);
        QFETCH(bool, reported);
        QFETCH(bool, connected);
        QFETCH(double, vendorId);
        QFETCH(double, productId);
        const std::optional<HotplugEvent> event = hotplugEventFromUdev(properties);
        QCOMPARE(event.has_value(), reported);
        if (reported) {
            QCOMPARE(event->connected, connected);
            QCOMPARE(event->vendorId, vendorId);
            QCOMPARE(event->productId, productId);
        }
    }
};

QTEST_GUILESS_MAIN(HotplugTest)
#include "test_hotplug.moc"
