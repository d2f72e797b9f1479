"""Updating an emulated T5 from the catalogue through the window: the erase
dialog for a target that keeps no data and each of its buttons, the progress
bar, a busy window that ignores the user, and a device error."""

import json
import os
import time

import windowtest
from guiharness import HarnessError, wait_until
from windowtest import (T5_COMPATIBLE, T5_INCOMPATIBLE, T5_SERIAL_SHOWN, T5_VERSION,
                        WindowTestCase)

# Slow enough to watch: about 3 s of erasing and writing per update.
SLOW_ADAPTER = {"replyDelayMs": 2, "eraseMsPerSector": 300}
UPDATE_TIMEOUT_S = 60
ERASE_QUESTION = "Erase all data?"


class UpdateThroughTheWindow(WindowTestCase):

    def test_erase_dialog_buttons_decide_what_happens(self):
        adapters = self.emulated_t5(**SLOW_ADAPTER)
        window = self.start_window(adapters)
        self.enter_upgrader_page(window)
        self.wait_catalogue(window, T5_INCOMPATIBLE)
        page_places = self.page_button_places(window)

        # Update mode: "Close" and the left button's siblings; nothing is written.
        self.open_erase_dialog(window, "Update", page_places)
        for name in ("Update", "Erased&Update", "Close"):
            self.assertIsNotNone(self.dialog_button(window, name, page_places),
                                 "update mode offers %r\n%s" % (name, window.describe()))
        window.press_object(self.dialog_button(window, "Close", page_places))
        window.wait_gone("label", ERASE_QUESTION, 5)

        # Restore mode: "Cancel" closes without writing.
        self.open_erase_dialog(window, "Update&Erase", page_places)
        for name in ("Cancel", "OK", "Close"):
            self.assertIsNotNone(self.dialog_button(window, name, page_places),
                                 "restore mode offers %r\n%s" % (name, window.describe()))
        self.assertIsNone(self.dialog_button(window, "Erased&Update", page_places))
        window.press_object(self.dialog_button(window, "Cancel", page_places))
        window.wait_gone("label", ERASE_QUESTION, 5)
        time.sleep(0.5)
        self.assertIsNone(self.progress(window), "closing the dialog starts nothing")
        self.assertEqual(self.label_description(window, "Installed version"), T5_VERSION)

        # "Update" in the dialog: a plain update anyway, with progress.
        self.open_erase_dialog(window, "Update", page_places)
        window.press_object(self.dialog_button(window, "Update", page_places))
        percentages = self.watch_update(window, T5_INCOMPATIBLE)
        # Reading the adapter before and after shows progress of its own;
        # writing is the longest stretch of rising values.
        writing = max(self.rising_runs(percentages), key=len)
        self.assertGreaterEqual(len(writing), 5, "progress rises while writing: %r" % percentages)
        self.assertGreaterEqual(writing[-1], 90, "writing runs to the end: %r" % percentages)
        self.assertTrue(all(0 <= value <= 100 for run in percentages for value in run),
                        percentages)
        self.assertIsNone(self.progress(window), "the bar is gone after the update")
        self.assertIsNone(window.find("label", ERASE_QUESTION))

        # Now installed and target agree (5.6 and 5.6): no question asked.
        self.press_when_enabled(window, "Update", lambda: self.progress(window) is not None)
        self.assertIsNone(window.find("label", ERASE_QUESTION))
        self.watch_update(window, T5_INCOMPATIBLE)

        window.stop()
        self.assertEqual(self.adapter_info(adapters)["version"], T5_INCOMPATIBLE)

    def test_erase_and_update_restores_factory_settings(self):
        adapters = self.emulated_t5(**SLOW_ADAPTER)
        window = self.start_window(adapters)
        self.enter_upgrader_page(window)
        self.wait_catalogue(window, T5_INCOMPATIBLE)
        page_places = self.page_button_places(window)

        self.open_erase_dialog(window, "Update&Erase", page_places)
        window.press_object(self.dialog_button(window, "OK", page_places))
        self.watch_update(window, T5_INCOMPATIBLE)

        # 5.6 installed, 5.5 chosen: the dialog again; erase and update.
        self.choose(window, self.catalogue_box(window), T5_COMPATIBLE)
        self.open_erase_dialog(window, "Update", page_places)
        window.press_object(self.dialog_button(window, "Erased&Update", page_places))
        self.watch_update(window, T5_COMPATIBLE)
        window.stop()
        info = self.adapter_info(adapters)
        self.assertEqual(info["version"], T5_COMPATIBLE)
        self.assertEqual(info["serialNumber"], T5_SERIAL_SHOWN)

    def test_busy_window_ignores_footer_and_settings(self):
        adapters = self.emulated_t5(replyDelayMs=4, eraseMsPerSector=4000)
        window = self.start_window(adapters)
        self.enter_upgrader_page(window)
        self.wait_catalogue(window, T5_INCOMPATIBLE)
        self.choose(window, self.catalogue_box(window), T5_COMPATIBLE)
        frames = len(window.find_all("frame")) + len(window.find_all("dialog"))

        # 5.5.3 to 5.5.4 keeps the data: no question.
        self.press_when_enabled(window, "Update", lambda: self.update_started(window))
        window.press("Back")
        window.click(self.toggle(window, "LOCAL"))
        # The page undoes the toggle and lays itself out again. The button is
        # clicked when shown, and pressed through its action as a keyboard or
        # screen-reader user would: neither may act.
        backup = window.wait_for("push button", "Data Backup", showing=False)
        if window.find("push button", "Data Backup") is not None:
            window.click(backup)
        try:
            window.press_object(backup)
        except HarnessError:
            pass  # a disabled button may offer no Press action at all
        for find_box in (self.language_box, self.boot_mode_box):
            box = find_box(window)
            window.click(box)
            time.sleep(0.3)
            self.assertEqual([item.name for item in window.find_all("list item")], [],
                             "the list of %r opens while busy; showing: %s"
                             % (box.name, window.describe()))
        self.assertTrue(self.busy(window), "the update outlasts the presses; slow it down")
        self.assertTrue(self.on_upgrader_page(window), "Back is disabled while busy")
        self.assertFalse(self.is_checked(window, self.toggle(window, "LOCAL")),
                         "the source selector is disabled while busy")
        self.assertEqual(len(window.find_all("frame")) + len(window.find_all("dialog")), frames,
                         "no file dialog opens while busy")
        # A screen reader switches a toggle with its Toggle action.
        window.press_object(self.toggle(window, "LOCAL"), "Toggle")
        time.sleep(0.3)
        toggled_while_busy = self.is_checked(window, self.toggle(window, "LOCAL"))
        self.assertTrue(self.busy(window), "the update outlasts the presses; slow it down")

        self.watch_update(window, T5_COMPATIBLE, seen_running=True)
        self.assertTrue(self.on_upgrader_page(window))
        self.assertEqual(self.language_box(window).name, "English")
        self.press_until(window, "Back", lambda: self.on_guide_page(window))
        self.assertFalse(toggled_while_busy, "the source selector is disabled while busy, also "
                         "for the Toggle action of AT-SPI (a screen reader)")

    def test_nothing_acts_before_the_adapter_is_read(self):
        # The page is shown while the adapter is still being read; the update
        # decides from the installed version whether the data survive, so an
        # early press must neither ask nor write.
        adapters = self.emulated_t5(replyDelayMs=15)
        flash_before = self.flash(adapters)
        window = self.start_window(adapters)
        self.enter_upgrader_page(window, read=False)
        self.assertIsNone(self.serial_line(window),
                          "the adapter was read before the test could press; slow it down")
        window.click(window.find("push button", "Update"))
        try:
            window.press_object(window.find("push button", "Update"))
        except HarnessError:
            pass  # a disabled button may offer no Press action at all
        time.sleep(0.5)
        self.assertIsNone(window.find("label", ERASE_QUESTION), "asked before the version is known")

        wait_until(lambda: self.serial_line(window), 60, what="the adapter's state")
        self.assertEqual(self.label_description(window, "Installed version"), T5_VERSION)
        # Once read, the same press asks (catalogue entry 0 keeps no data).
        self.wait_catalogue(window, T5_INCOMPATIBLE)
        self.press_when_enabled(window, "Update", lambda: window.find("label", ERASE_QUESTION))
        window.stop()
        self.assertEqual(self.flash(adapters), flash_before, "the adapter was written")

    def test_local_file_that_is_no_firmware_is_refused_in_red_for_three_seconds(self):
        adapters = self.emulated_t5()
        window = self.start_window(adapters)
        self.enter_upgrader_page(window)
        self.wait_catalogue(window, T5_INCOMPATIBLE)
        not_firmware = os.path.join(self.folder("files"), "T5_v5.5.9.bin")
        with open(not_firmware, "w") as file:
            file.write("release notes, not a firmware image\n" * 100)

        self.act_until(lambda: window.press_object(self.toggle(window, "LOCAL"), "Toggle"),
                       lambda: window.find("push button", "Open firmware file"), "choosing LOCAL")
        # A click: the Press action would wait for the modal dialog to close.
        self.act_until(lambda: window.click(window.find("push button", "Open firmware file")),
                       lambda: window.find("dialog", "Brivane firmware"), "opening a file")
        self.choose_file(window, "Brivane firmware", not_firmware)
        # The version comes from the file's name; 5.5 keeps the data: no question.
        wait_until(lambda: self.label_description(window, "Target version") == "5.5.9", 5,
                   what="the file's version as target")
        self.press_when_enabled(window, "Update", window.tool_tip)
        shown = window.watch_messages(
            8, stop_when=lambda shown, current: current is None and shown)
        refusal = windowtest.message_times(shown, "The file is not a firmware for this adapter!")
        self.assertIsNotNone(refusal, "messages shown: %r" % shown)
        self.assertEqual(refusal[2], "#ff0000")
        self.assertIsNotNone(refusal[1], "the error goes away")
        self.assertAlmostEqual(refusal[1] - refusal[0], 3.0, delta=0.6,
                               msg="a device error is shown for 3 s: %r" % shown)
        self.assertEqual(len(shown), 1, "one refusal, one message: %r" % shown)
        self.assertIsNone(self.progress(window), "nothing is written")
        self.assertEqual(self.label_description(window, "Installed version"), T5_VERSION)
        window.stop()
        self.assertEqual(self.adapter_info(adapters)["version"], T5_VERSION)

    # -- helpers -------------------------------------------------------------------

    def wait_catalogue(self, window, version):
        wait_until(lambda: (self.catalogue_box(window) or window.frame).name == version, 15,
                   what="catalogue entry %s" % version)

    def page_button_places(self, window):
        """Where the page's buttons are, once the page stands still."""
        def places():
            return {window.extents(node) for node in window.find_all("push button")}
        previous = None
        for _ in range(50):
            current = places()
            if current == previous:
                return current
            previous = current
            time.sleep(0.1)
        self.fail("the page keeps moving")

    def dialog_button(self, window, name, page_places):
        """A button of the erase dialog: one that is not one of the page's."""
        for node in window.find_all("push button", name):
            if window.extents(node) not in page_places:
                return node
        return None

    def open_erase_dialog(self, window, page_button, page_places):
        node = next(node for node in window.find_all("push button", page_button)
                    if window.extents(node) in page_places)
        self.act_until(lambda: window.press_object(node),
                       lambda: window.find("label", ERASE_QUESTION), "pressing " + page_button)

    def press_when_enabled(self, window, name, effect):
        self.act_until(lambda: window.press(name), effect, "pressing " + name)

    def update_started(self, window):
        """The adapter is read again first: its version disappears meanwhile,
        and the bar shows the reading."""
        return (self.progress(window) is not None
                or not self.label_description(window, "Installed version"))

    def busy(self, window, target=T5_COMPATIBLE):
        """Still working: the bar is shown, or the installed version shown is
        not yet the target (while the adapter is read again, no version is
        shown at all)."""
        if self.progress(window) is not None:
            return True
        installed = self.label_description(window, "Installed version")
        return installed is not None and installed != target

    def answers(self, window):
        """Whether the window takes input again: the footer's language box,
        disabled while the adapter is busy, opens its list (closed again at once)."""
        window.click(self.language_box(window))
        try:
            wait_until(lambda: window.find_all("list item"), 0.3, 0.02)
        except HarnessError:
            return False
        window.key("Escape")
        wait_until(lambda: not window.find_all("list item"), 5, what="the list to close")
        return True

    def watch_update(self, window, target, seen_running=False):
        """Follows an update until the window takes input again; returns the
        percentages shown, one list per stretch of time the bar was visible.
        An update the caller has already seen running may end before the
        first look at the bar."""
        percentages = []
        deadline = time.monotonic() + UPDATE_TIMEOUT_S
        visible = False
        while time.monotonic() < deadline:
            value = self.progress(window)
            if value is not None:
                if not visible:
                    percentages.append([])
                    visible = True
                if not percentages[-1] or percentages[-1][-1] != value:
                    percentages[-1].append(value)
            else:
                visible = False
                if (percentages or seen_running) and self.answers(window):
                    break
            time.sleep(0.03)
        else:
            self.fail("the update to %s did not end within %d s (progress %r)\n%s"
                      % (target, UPDATE_TIMEOUT_S, percentages, window.describe()))
        self.assertEqual(self.label_description(window, "Installed version"), target)
        return percentages

    @staticmethod
    def rising_runs(percentages):
        runs = []
        for stretch in percentages:
            for value in stretch:
                if runs and runs[-1] and value > runs[-1][-1]:
                    runs[-1].append(value)
                else:
                    runs.append([value])
        return runs

    def flash(self, adapters):
        with open(os.path.join(adapters, "t5", "flash.bin"), "rb") as file:
            return file.read()

    def adapter_info(self, adapters):
        result = self.fwtool.run(["info", "--json"],
                                 env={"BRIVANE_EMULATOR": adapters,
                                      "BRIVANE_SETTINGS_COPY_DIR": self.folder("fwtool-copies")},
                                 cwd=self.folder("fwtool"))
        return json.loads(result.stdout)["device"]


if __name__ == "__main__":
    windowtest.main()
