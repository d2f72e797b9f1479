"""The guide and upgrader pages as a user meets them: Enter without and with
an adapter, what the upgrader page shows of the adapter and the catalogue,
Back, the source selector, and switching the language."""

import re

import windowtest
from guiharness import wait_until
from windowtest import (APPLICATION_TITLE, BOOT_MODES, LANGUAGE_NAMES, T5_CATALOGUE,
                        T5_COMPATIBLE, T5_INCOMPATIBLE, T5_INSTRUCTION_ENGLISH, T5_SERIAL_SHOWN,
                        T5_VERSION, WindowTestCase)

CYRILLIC = re.compile("[\u0400-\u04ff]")


class GuideAndUpgraderPages(WindowTestCase):

    def test_enter_without_adapter_reports_and_stays_on_guide_page(self):
        window = self.start_window()
        self.assertEqual(window.frame.name, APPLICATION_TITLE)
        for label in ("Product", "Instructions", T5_INSTRUCTION_ENGLISH):
            self.assertShown(window, "label", label)
        self.assertIsNotNone(self.toggle(window, "Brivane T5"), window.describe())
        self.assertIsNone(self.toggle(window, "Brivane M7"), "only the T5 tile is shown")
        self.assertIsNone(self.toggle(window, "Brivane K3"), "only the T5 tile is shown")
        self.assertShown(window, "combo box", "English")
        self.assertShown(window, "push button", "Close")
        self.assertNotShown(window, "push button", "Back", "one page on the stack")
        self.assertNotShown(window, "push button", "Administration",
                            "hidden without BRIVANE_ADMIN=1")

        first = self.press_until(window, "Enter", window.tool_tip)
        self.assertEqual(first, ("connecting", "#28a7e1"), "connecting is information")
        shown = window.watch_messages(
            12, stop_when=lambda shown, current: any(
                text == "No Brivane Device found" and end is not None
                for _, end, text, _ in shown))
        not_found = windowtest.message_times(shown, "No Brivane Device found")
        self.assertIsNotNone(not_found, "messages shown: %r" % shown)
        self.assertEqual(not_found[2], "#ff0000", "not found is an error")
        self.assertIsNotNone(not_found[1], "the error stays shown")
        self.assertAlmostEqual(not_found[1] - not_found[0], 3.0, delta=0.6,
                               msg="the error is shown for 3 s")
        self.assertTrue(self.on_guide_page(window), window.describe())
        self.assertNotShown(window, "push button", "Back")

    def test_enter_with_t5_shows_adapter_and_catalogue_and_back_returns(self):
        window = self.start_window(self.emulated_t5())
        self.enter_upgrader_page(window)
        self.assertEqual(self.serial_line(window), "SN:" + T5_SERIAL_SHOWN)
        self.assertEqual(self.label_description(window, "Installed version"), T5_VERSION)
        self.assertNotShown(window, "push button", "Firmware lost! Please update firmware!")
        for label in ("New Version", "Boot Mode"):
            self.assertShown(window, "label", label)
        for button in ("Update", "Update&Erase", "Data Backup", "Data Restore", "Back"):
            self.assertShown(window, "push button", button)
        self.assertTrue(self.is_checked(window, self.toggle(window, "OTA")), "OTA is chosen")
        self.assertFalse(self.is_checked(window, self.toggle(window, "LOCAL")))
        self.assertNotShown(window, "push button", "Open firmware file", "OTA is chosen")

        # The catalogue arrives from the store: entry 0 is chosen and is the target.
        box = wait_until(lambda: self.catalogue_box(window), 15,
                         what="the catalogue's versions")
        self.assertEqual(box.name, T5_INCOMPATIBLE)
        self.assertEqual(self.label_description(window, "Target version"), T5_INCOMPATIBLE)
        self.assertEqual(self.open_list_entries(window, box, len(T5_CATALOGUE)), T5_CATALOGUE)

        boot_mode = self.boot_mode_box(window)
        self.assertIsNotNone(boot_mode, window.describe())
        self.assertEqual(boot_mode.name, BOOT_MODES[windowtest.T5_BOOT_MODE])
        self.assertEqual(self.open_list_entries(window, boot_mode, len(BOOT_MODES)), BOOT_MODES)

        self.choose(window, self.catalogue_box(window), T5_COMPATIBLE)
        wait_until(lambda: self.label_description(window, "Target version") == T5_COMPATIBLE,
                   5, what="the chosen version as target")
        self.assertEqual(self.catalogue_box(window).name, T5_COMPATIBLE)

        window.press("Back")
        self.wait_guide_page(window)
        self.assertNotShown(window, "push button", "Back")
        self.assertIsNone(self.serial_line(window))

    def test_close_button_ends_the_program(self):
        window = self.start_window(self.emulated_t5())
        self.enter_upgrader_page(window)
        window.click(window.find("push button", "Close"))
        wait_until(window.exited, 10, what="the program to end")
        self.assertEqual(window.process.returncode, 0)

    def test_adapter_without_firmware_shows_the_warning(self):
        window = self.start_window(self.emulated_t5(state="firmware-lost"))
        self.enter_upgrader_page(window)
        self.assertEqual(self.serial_line(window), "SN:" + T5_SERIAL_SHOWN)
        self.assertShown(window, "push button", "Firmware lost! Please update firmware!")
        self.assertEqual(self.label_description(window, "Installed version"), "")

    def test_source_selector_starts_on_ota_at_each_push(self):
        window = self.start_window(self.emulated_t5())
        for visit in range(2):
            self.enter_upgrader_page(window)
            wait_until(lambda: self.catalogue_box(window), 15,
                       what="the catalogue box (OTA) on visit %d" % (visit + 1))
            self.assertNotShown(window, "push button", "Open firmware file",
                                "visit %d starts on OTA" % (visit + 1))
            self.assertTrue(self.is_checked(window, self.toggle(window, "OTA")))
            window.press_object(self.toggle(window, "LOCAL"), "Toggle")
            window.wait_for("push button", "Open firmware file", 5)
            self.assertIsNone(self.catalogue_box(window), "LOCAL hides the catalogue")
            window.press("Back")
            self.wait_guide_page(window)

    def test_language_switch_retranslates_the_scene(self):
        window = self.start_window(self.emulated_t5())
        enter = window.find("push button", "Enter")
        enter_place = window.extents(enter)
        instruction_place = window.extents(window.find("label", T5_INSTRUCTION_ENGLISH))

        self.enter_upgrader_page(window)
        data_places = [window.extents(window.find("push button", name))
                       for name in ("Data Backup", "Data Restore")]
        english_heights = self.ink_heights(window, data_places, "english")
        window.press("Back")
        self.wait_guide_page(window)

        self.choose(window, self.language_box(window), "русский")
        wait_until(lambda: window.find("combo box", "русский"), 5, what="the box on русский")
        instruction = wait_until(lambda: self.label_at(window, instruction_place), 5,
                                 what="the instruction label")
        self.assertRegex(instruction, CYRILLIC, "the instruction follows the language")
        self.assertIn("Brivane T5", instruction)
        self.assertNotEqual(instruction, T5_INSTRUCTION_ENGLISH)
        self.assertEqual(self.open_list_entries(window, self.language_box(window),
                                                len(LANGUAGE_NAMES)), LANGUAGE_NAMES)

        window.press_object(self.button_at(window, enter_place))
        wait_until(lambda: window.find("label", "Installed version"), 15,
                   what="the upgrader page in Russian")
        russian_heights = self.ink_heights(window, data_places, "russian")
        for name in ("Data Backup", "Data Restore"):
            self.assertNotShown(window, "push button", name, "translated in Russian")
        for english, russian in zip(english_heights, russian_heights):
            # 10 pt instead of 12 pt: the letters are about 5/6 as tall.
            self.assertLess(russian / english, 0.93,
                            "Russian data buttons use a smaller font (%d px vs %d px)"
                            % (russian, english))
            self.assertGreater(russian / english, 0.65)

        self.choose(window, self.language_box(window), "English")
        wait_until(lambda: window.find("push button", "Data Backup"), 5,
                   what="the English texts again")
        window.press("Back")
        self.wait_guide_page(window)
        self.assertShown(window, "label", T5_INSTRUCTION_ENGLISH)

    # -- helpers -------------------------------------------------------------------

    def label_at(self, window, place):
        for node in window.find_all("label"):
            if window.extents(node) == place:
                return node.name
        return None

    def button_at(self, window, place):
        for node in window.find_all("push button"):
            if window.extents(node) == place:
                return node
        self.fail("no button at %r:\n%s" % (place, window.describe()))

    def ink_heights(self, window, places, name):
        """Height in pixels of the first letter on each button: a capital in
        every language here (D, Р, В), so it grows and shrinks with the font
        and has no descender."""
        frame_x, frame_y, _, _ = window.extents(window.frame)
        window.xdotool("mousemove", frame_x + 275, frame_y + 20)  # no hover border
        # The message tip is drawn over the lower part of these buttons.
        wait_until(lambda: window.tool_tip() is None, 5, what="the message to end")
        picture = window.screenshot(self.folder("pictures") + "/data-buttons-%s.png" % name)

        def ink(column, row):
            return sum(picture.pixel(column, row)) < 3 * 190

        heights = []
        for x, y, width, height in places:
            left, top = x - frame_x + 6, y - frame_y + 6
            rows = range(top, top + height - 12)
            columns = [column for column in range(left, left + width - 12)
                       if any(ink(column, row) for row in rows)]
            self.assertTrue(columns, "no text drawn on the button at %r" % ((x, y),))
            letter = [columns[0]]
            for column in columns[1:]:
                if column != letter[-1] + 1:
                    break
                letter.append(column)
            inked = [row for row in rows if any(ink(column, row) for column in letter)]
            heights.append(inked[-1] - inked[0] + 1)
        return heights


if __name__ == "__main__":
    windowtest.main()
