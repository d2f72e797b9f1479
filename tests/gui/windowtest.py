"""Shared set-up of the window tests: command line, one private desktop and
one local store per test program, the catalogue they publish, and what a
user sees of each page.

Every test program is run by CTest as
    /usr/bin/python3 test_x.py --program PATH --fwtool PATH --build-dir DIR
"""

import argparse
import os
import sys
import time
import unittest

import fixtures
import guiharness as harness
from guiharness import HarnessError, wait_until

APPLICATION_TITLE = "Brivane Firmware Tool v3.3.8"

# The guide page's instruction for the T5, as the English language file shows it.
T5_INSTRUCTION_ENGLISH = ("1. connect Brivane T5 to PC while holding the button\n"
                          "2. release the button until the LED indicator is stable green")
LANGUAGE_NAMES = ["English", "中文", "日本語", "русский", "Français"]
BOOT_MODES = ["Auto", "PS4(PC)", "XB360(PC)", "SWITCH", "PS5(M7)", "PS5(Q8LINK)"]

# The emulated T5 of most tests: new flash layout, 5.5.x, boot mode SWITCH.
# Its serial number is shown as 24 lower-case hexadecimal digits.
T5_SERIAL = "0A1B2C3D4E5F601122334455"
T5_SERIAL_SHOWN = "0a1b2c3d4e5f601122334455"
T5_VERSION = "5.5.3"
T5_BOOT_MODE = 3
# Catalogue of the tests, entry 0 first. 5.6.0 keeps no data of a 5.5 adapter
# (major x 10 + minor differs); 5.5.4 does.
T5_INCOMPATIBLE = "5.6.0"
T5_COMPATIBLE = "5.5.4"
T5_CATALOGUE = [T5_INCOMPATIBLE, T5_COMPATIBLE, "5.4.9"]
M7_CATALOGUE = ["2.0.1", "1.9.0"]
K3_CATALOGUE = ["2.1.0"]

CONNECTING = ("connecting", "#28a7e1")
# Qt exposes a checkable button (model tile, OTA/LOCAL) as a check box.
TOGGLE_ROLES = ("push button", "toggle button", "check box")

options = None


def parse_options():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True, help="brivane-firmware-tool")
    parser.add_argument("--fwtool", required=True, help="brivane-fwtool")
    parser.add_argument("--build-dir", required=True, help="where runs and pictures go")
    known, rest = parser.parse_known_args()
    return known, [sys.argv[0]] + rest


def main():
    """unittest's main with our options taken off the command line."""
    global options
    options, rest = parse_options()
    unittest.main(argv=rest, verbosity=2)


class WindowTestCase(unittest.TestCase):
    """One desktop (and, with needs_store, one store with the test catalogue)
    for every test of the class; each test starts the programs it needs."""

    needs_store = True
    catalogue = None

    @classmethod
    def setUpClass(cls):
        cls.started = time.monotonic()
        cls.work = harness.make_work_dir(options.build_dir, cls.__name__)
        cls.fwtool = fixtures.Fwtool(options.fwtool)
        cls.desktop = harness.Desktop(os.path.join(cls.work, "desktop"))
        cls.store = None
        try:
            cls.desktop.start()
            if cls.needs_store:
                cls.store = fixtures.LocalStore(cls.work)
                cls.store.start()
                cls.catalogue = cls.publish_test_catalogue()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        if cls.store:
            cls.store.stop()
        sys.stderr.write("%s: %.1f s\n" % (cls.__name__, time.monotonic() - cls.started))

    @classmethod
    def publish_test_catalogue(cls):
        files = os.path.join(cls.work, "firmware")
        os.makedirs(files, exist_ok=True)
        entries = {"T5": [], "M7": [], "K3": []}
        for index, version in enumerate(T5_CATALOGUE):
            path = cls.fwtool.t5_image(os.path.join(files, "t5-%s.bin" % version), version,
                                       image_bytes=16384, seed=index + 1)
            entries["T5"].append((version, path, "T5 %s: first change;second change" % version,
                                  version in (T5_INCOMPATIBLE, T5_COMPATIBLE)))
        for model, versions in (("M7", M7_CATALOGUE), ("K3", K3_CATALOGUE)):
            for version in versions:
                # Listing only: these packages are never installed here.
                path = os.path.join(files, "%s-%s.rfw" % (model, version))
                with open(path, "wb") as file:
                    file.write(("%s package %s" % (model, version)).encode() * 64)
                entries[model].append((version, path, "", False))
        return fixtures.publish_catalogue(cls.store, cls.fwtool, cls.work, entries)

    def setUp(self):
        self.test_started = time.monotonic()

    def tearDown(self):
        sys.stderr.write("(%.1f s) " % (time.monotonic() - self.test_started))

    # -- programs ----------------------------------------------------------------

    def folder(self, name):
        path = os.path.join(self.work, self.id().split(".")[-1], name)
        os.makedirs(path, exist_ok=True)
        return path

    def emulated_t5(self, name="adapters", **changes):
        """A folder with one emulated T5 (adapter.json changed by **changes)."""
        adapters = self.folder(name)
        state = changes.pop("state", "new-layout")
        version = changes.pop("version", T5_VERSION)
        folder = os.path.join(adapters, "t5")
        self.fwtool.emulated_t5(folder, state=state, version=version, serial=T5_SERIAL)
        if state == "new-layout":
            self.fwtool.run(["boot-mode", "--set", str(T5_BOOT_MODE)],
                            env={"BRIVANE_EMULATOR": adapters,
                                 "BRIVANE_SETTINGS_COPY_DIR": self.folder("fwtool-copies")},
                            cwd=self.folder("fwtool"))
        if changes:
            fixtures.change_adapter(folder, changes)
        return adapters

    def start_window(self, emulator=None, name="window", **arguments):
        """The program with an empty adapter folder unless one is given, so it
        never looks at real hardware."""
        if emulator is None:
            emulator = self.folder("no-adapters")
        window = self.desktop.start_program(options.program, self.folder(name),
                                            emulator=emulator, store=self.store, **arguments)
        self.addCleanup(window.stop)
        return window

    # -- what the user sees ----------------------------------------------------------

    def assertShown(self, window, role, name, message=None):
        if window.find(role, name) is None:
            self.fail("%s %r is not shown%s\nShown:\n%s"
                      % (role, name, " (%s)" % message if message else "", window.describe()))

    def assertNotShown(self, window, role, name, message=None):
        if window.find(role, name) is not None:
            self.fail("%s %r is shown%s" % (role, name, " (%s)" % message if message else ""))

    def act_until(self, action, effect, what, timeout_s=15, retry_s=0.6):
        """Acts again until effect() holds. The window disables its controls
        while the controller works (reading the catalogue after a connection,
        for one), AT-SPI does not report the disabled state, and a disabled
        control ignores the user: a user simply tries again."""
        deadline = time.monotonic() + timeout_s
        while True:
            action()
            try:
                return wait_until(effect, min(retry_s, max(0.05, deadline - time.monotonic())),
                                  0.02)
            except HarnessError:
                if time.monotonic() >= deadline:
                    raise HarnessError("%s had no effect for %.0f s" % (what, timeout_s))

    def press_until(self, window, name, effect, timeout_s=15, retry_s=0.6, role="push button"):
        """Clicks a button until effect() holds (see act_until): Enter stays
        disabled while the catalogue is read at start. A click, not the Press
        action: that call returns only when the button's handler has, and
        Enter's waits for the adapter, hiding the messages shown meanwhile."""
        try:
            return self.act_until(lambda: window.click(window.wait_for(role, name)), effect,
                                  "pressing %r" % name, timeout_s, retry_s)
        except HarnessError as error:
            self.fail("%s\nShown:\n%s" % (error, window.describe()))

    def enter_upgrader_page(self, window, read=True):
        """Enters the T5's page and, unless told otherwise, waits until the
        adapter's state has been read (its serial number is the last thing
        read): a loaded machine reads it long after the page is shown."""
        # A "connecting" left from before would pass for the answer to this click.
        wait_until(lambda: window.tool_tip() != CONNECTING, 5, what="the last message to end")
        self.press_until(window, "Enter", lambda: window.tool_tip() == CONNECTING
                         or window.find("push button", "Update"))
        self.wait_upgrader_page(window)
        if read:
            wait_until(lambda: self.serial_line(window), 30, what="the adapter's state")

    def choose_file(self, window, title, path, button="Open"):
        """Answers the program's file dialog (a widget dialog) with a path."""
        dialog = window.wait_for("dialog", title, 10)
        field = wait_until(lambda: window.find("text", "File name:", root=dialog), 5,
                           what="the file name field")
        field.queryEditableText().setTextContents(path)
        window.press_object(window.find("push button", button, root=dialog))
        window.wait_gone("dialog", title, 10)

    def on_guide_page(self, window):
        return (window.find("push button", "Enter") is not None
                and window.find("push button", "Update") is None)

    def on_upgrader_page(self, window):
        return (window.find("push button", "Update") is not None
                and window.find("push button", "Enter") is None)

    def wait_guide_page(self, window, timeout_s=10):
        wait_until(lambda: self.on_guide_page(window), timeout_s, what="the guide page")

    def wait_upgrader_page(self, window, timeout_s=15):
        try:
            wait_until(lambda: self.on_upgrader_page(window), timeout_s, what="the upgrader page")
        except HarnessError as error:
            self.fail("%s\nShown:\n%s\nMessages: %r" % (error, window.describe(),
                                                         window.tool_tip()))

    def serial_line(self, window):
        return next((name for name in window.names("label") if name.startswith("SN:")), None)

    def label_description(self, window, name):
        node = window.find("label", name)
        return node.description if node is not None else None

    def progress(self, window):
        """The progress bar's percentage, or None while it is hidden."""
        bar = window.find("progress bar")
        if bar is None:
            return None
        text = (bar.description or "").strip()
        if not text.endswith("%"):
            self.fail("the progress bar describes itself as %r, not as a percentage" % text)
        return int(text[:-1])

    def combo_box_named(self, window, names):
        for name in names:
            node = window.find("combo box", name)
            if node is not None:
                return node
        return None

    def catalogue_box(self, window):
        return self.combo_box_named(window, T5_CATALOGUE)

    def language_box(self, window):
        return self.combo_box_named(window, LANGUAGE_NAMES)

    def boot_mode_box(self, window):
        return self.combo_box_named(window, BOOT_MODES)

    def open_list(self, window, box):
        self.act_until(lambda: window.click(box), lambda: window.find_all("list item"),
                       "opening the list of %r" % box.name)

    def open_list_entries(self, window, box, expected_count):
        """Opens a combo box and returns the names of the entries of its list,
        top to bottom; closes it again with Escape."""
        self.open_list(window, box)
        box_x = window.extents(box)[0]

        def entries():
            found = []
            for node in window.find_all("list item"):
                x, y, width, height = window.extents(node)
                # The list opens as wide as the box, above or below it.
                if width > 0 and abs(x - box_x) <= 4:
                    found.append((y, node.name))
            found.sort()
            return found if len(found) >= expected_count else None

        try:
            found = wait_until(entries, 5, what="the open list of %r" % box.name)
        finally:
            window.key("Escape")
            wait_until(lambda: not window.find_all("list item"), 5, what="the list to close")
        return [name for _, name in found]

    def toggle(self, window, name):
        """A toggle button: Qt shows a checkable button as a check box."""
        for role in TOGGLE_ROLES:
            node = window.find(role, name)
            if node is not None:
                return node
        return None

    def is_checked(self, window, node):
        return node.getState().contains(window.pyatspi.STATE_CHECKED)

    def choose(self, window, box, entry):
        """Opens the box and clicks the entry in its list."""
        self.open_list(window, box)
        node = wait_until(lambda: window.find("list item", entry), 5,
                          what="entry %r in the open list" % entry)
        window.click(node)
        wait_until(lambda: not window.find_all("list item"), 5, what="the list to close")


def message_times(shown, text):
    """(start, end, colour) of the first message with this text."""
    for start, end, shown_text, colour in shown:
        if shown_text == text:
            return start, end, colour
    return None
