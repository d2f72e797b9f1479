#!/usr/bin/env python3
"""The udev rule, as udev itself reads it: udevadm test runs the system's
rules and ours against hidraw nodes that umockdev describes in a sysfs of its
own, inside a private mount namespace so that nothing on the machine changes.

Every product id of vendor 0e3a gets the "uaccess" tag (the K3's boot loader
comes back under another one during an update), on every interface of a
composite adapter; another vendor's node does not; the rule sets no mode.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

RULE = os.environ.get("BRIVANE_UDEV_RULE") or os.path.join(
    os.path.dirname(__file__), "..", "..", "packaging", "linux", "70-brivane-firmware-tool.rules")
RULE_NAME = "70-brivane-firmware-tool.rules"


def device_description(vendor, product, interface, hidraw_number):
    """A umockdev description of one hidraw node with its hid, USB interface
    and USB device parents, leaf first."""
    usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-1"
    usb_interface = f"{usb}/1-1:1.{interface}"
    hid = f"{usb_interface}/0003:{vendor:04X}:{product:04X}.000{hidraw_number + 1}"
    return textwrap.dedent(f"""\
        P: {hid}/hidraw/hidraw{hidraw_number}
        E: DEVNAME=/dev/hidraw{hidraw_number}
        E: MAJOR=240
        E: MINOR={hidraw_number}
        E: SUBSYSTEM=hidraw
        A: dev=240:{hidraw_number}

        P: {hid}
        E: DRIVER=hid-generic
        E: HID_ID=0003:0000{vendor:04X}:0000{product:04X}
        E: HID_NAME=Adapter
        E: HID_UNIQ=0123456789AB
        E: SUBSYSTEM=hid

        P: {usb_interface}
        E: DEVTYPE=usb_interface
        E: SUBSYSTEM=usb
        A: bInterfaceNumber=0{interface}
        A: bInterfaceClass=03

        P: {usb}
        E: DEVTYPE=usb_device
        E: PRODUCT={vendor:x}/{product:x}/100
        E: SUBSYSTEM=usb
        A: idVendor={vendor:04x}
        A: idProduct={product:04x}
        A: bcdDevice=0100
        A: manufacturer=Adapter maker
        A: product=Adapter
        A: serial=0123456789AB

        P: /devices/pci0000:00/0000:00:14.0/usb1
        E: DEVTYPE=usb_device
        E: SUBSYSTEM=usb
        A: idVendor=1d6b
        A: idProduct=0002

        P: /devices/pci0000:00/0000:00:14.0
        E: SUBSYSTEM=pci

        P: /devices/pci0000:00
        E: SUBSYSTEM=pci_bus
        """), f"/sys{hid}/hidraw/hidraw{hidraw_number}"


def namespace_prefix():
    """How to get a private mount namespace here: as root directly, else as
    root of a user namespace. None when neither works."""
    for prefix in (["unshare", "--mount", "--propagation", "private"],
                   ["unshare", "--map-root-user", "--mount", "--propagation", "private"]):
        try:
            if subprocess.run(prefix + ["true"], capture_output=True, timeout=30).returncode == 0:
                return prefix
        except (OSError, subprocess.TimeoutExpired):
            pass
    return None


# Inside the namespace: only our rule in /etc/udev/rules.d (the system's own
# rules stay, so 73-seat-late.rules turns the tag into its action), and a
# fresh /run/udev and /dev for what udevadm test writes there (its database,
# /dev/char links), with the few real nodes the tools use.
INSIDE = r"""
set -e
rules_copy="$1"; description="$2"; node="$3"; scratch="$4"
mount -t tmpfs tmpfs /etc/udev/rules.d
cp "$rules_copy" /etc/udev/rules.d/
mkdir -p /run/udev
mount -t tmpfs tmpfs /run/udev
mkdir -p "$scratch/dev"
mount -t tmpfs tmpfs "$scratch/dev"
for name in null zero full random urandom tty ptmx; do
    touch "$scratch/dev/$name"
    mount --bind "/dev/$name" "$scratch/dev/$name"
done
mkdir "$scratch/dev/pts" "$scratch/dev/shm"
mount --bind /dev/pts "$scratch/dev/pts"
mount --move "$scratch/dev" /dev
exec umockdev-run -d "$description" -- udevadm test "$node"
"""


class UdevRuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [tool for tool in ("udevadm", "umockdev-run", "unshare")
                   if shutil.which(tool) is None]
        if missing:
            raise unittest.SkipTest("missing " + ", ".join(missing))
        cls.prefix = namespace_prefix()
        if cls.prefix is None:
            raise unittest.SkipTest("no private mount namespace (needs root or user namespaces)")
        cls.work = tempfile.TemporaryDirectory()
        cls.rule_copy = os.path.join(cls.work.name, RULE_NAME)
        shutil.copyfile(RULE, cls.rule_copy)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def run_udev(self, vendor, product, interface=0):
        description, node = device_description(vendor, product, interface, interface)
        description_path = os.path.join(self.work.name, f"{vendor:04x}-{product:04x}-{interface}")
        with open(description_path, "w") as file:
            file.write(description)
        scratch = tempfile.mkdtemp(dir=self.work.name)
        result = subprocess.run(self.prefix + ["sh", "-c", INSIDE, "inside", self.rule_copy,
                                               description_path, node, scratch],
                                capture_output=True, text=True, timeout=120)
        output = result.stdout + result.stderr
        self.assertEqual(result.returncode, 0, output)
        # udevadm names every line of a rule it cannot parse.
        complaints = [line for line in output.splitlines()
                      if RULE_NAME in line and re.search(r"(?i)invalid|error|unknown|ignoring",
                                                         line)]
        self.assertEqual(complaints, [], output)
        self.assertIn(f"Reading rules file: /etc/udev/rules.d/{RULE_NAME}", output)
        self.assertIn("DEVNAME=/dev/hidraw", output)
        # A node no rule tags has no tag line at all.
        tags = re.findall(r"^CURRENT_TAGS=(.*)$", output, re.M)
        self.assertLessEqual(len(tags), 1, output)
        return (tags[0].strip(":").split(":") if tags else []), output

    def test_every_adapter_node_of_the_vendor_is_handed_to_the_user_at_the_seat(self):
        for name, product, interface in (("T5", 0xB373, 0), ("M7", 0xB471, 0),
                                         ("K3 application", 0xB274, 0),
                                         ("K3 boot loader", 0xB275, 0),
                                         ("K3 first boot loader", 0xB270, 0),
                                         ("a product id yet unknown", 0x1234, 0),
                                         ("composite adapter, second interface", 0xB373, 1)):
            with self.subTest(name):
                tags, output = self.run_udev(0x0E3A, product, interface)
                self.assertIn("uaccess", tags, output)

    def test_another_vendors_node_is_left_alone(self):
        tags, output = self.run_udev(0x0E3B, 0xB373)
        self.assertNotIn("uaccess", tags, output)

    def test_the_rule_opens_nothing_to_everyone(self):
        with open(RULE) as file:
            rules = [line for line in file if line.strip() and not line.startswith("#")]
        self.assertEqual(len(rules), 1, rules)
        for forbidden in ("MODE", "GROUP", "OWNER", "RUN"):
            self.assertNotIn(forbidden, rules[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
