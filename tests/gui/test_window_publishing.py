"""The publishing page (reached with BRIVANE_ADMIN=1): sections and rows from
the stored catalogue, the entry dialog, hold-to-delete and reordering by
dragging, each checked against index.json on the store afterwards."""

import json
import re
import time

import windowtest
from guiharness import wait_until
from windowtest import WindowTestCase

ROW_HEIGHT = 48
DELETE_HOLD_S = 1.5
EDIT_OK = ("Edit firmware OK!", "#28a7e1")
REMOVE_OK = ("Remove firmware OK!", "#28a7e1")
DATETIME = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")


class PublishingPage(WindowTestCase):

    def test_sections_and_rows_follow_the_stored_catalogue(self):
        window = self.open_publishing_page()
        stored = self.stored_catalogue()
        shown = self.rows(window)
        expected = [(model, "V" + entry["version"], entry["checksum"])
                    for model in ("T5", "M7", "K3") for entry in stored[model]]
        self.assertEqual([(model, version, checksum.lower())
                          for model, version, checksum, _ in shown], expected)
        self.assertShown(window, "push button", "Upload")
        self.assertShown(window, "push button", "Back")

        self.act_until(lambda: window.press("Upload"), lambda: window.find("label", "Device:"),
                       "pressing Upload")
        for label in ("Device:", "Version:", "Firmware Path:"):
            self.assertShown(window, "label", label, "upload dialog")
        self.assertShown(window, "push button", "Cancel")
        self.assertShown(window, "push button", "OK")
        window.press("Cancel")
        window.wait_gone("label", "Device:", 5)

        window.press("Back")
        self.wait_guide_page(window)

    def test_edit_dialog_shows_the_entry_and_ok_stores_the_change(self):
        window = self.open_publishing_page()
        before = self.stored_catalogue()
        entry = before["T5"][1]
        row = self.row(window, "T5", "V" + entry["version"])

        self.open_edit_dialog(window, row)
        for label in ("Device:", "Version:"):
            self.assertShown(window, "label", label, "edit dialog")
        self.assertNotShown(window, "label", "Firmware Path:", "only uploads choose a file")
        self.assertShown(window, "combo box", "T5")
        self.assertEqual(self.field_text(window, "Version"), entry["version"])
        self.assertEqual(self.field_text(window, "Change log"), entry["info"])
        window.press("Cancel")
        window.wait_gone("label", "Device:", 5)
        self.assertEqual(self.stored_catalogue(), before, "Cancel changes nothing")

        self.open_edit_dialog(window, self.row(window, "T5", "V" + entry["version"]))
        self.type_into(window, "Version", "5.5.7")
        self.type_into(window, "Change log", "Edited in the window;second line")
        window.press("OK")
        self.assertEqual(wait_until(window.tool_tip, 10, what="the edit's message"), EDIT_OK)
        window.wait_gone("label", "Device:", 5)
        wait_until(lambda: window.find("label", "V5.5.7"), 5, what="the edited row")

        after = self.stored_catalogue()
        edited = after["T5"][1]
        self.assertEqual(edited["checksum"], entry["checksum"])
        self.assertEqual(edited["version"], "5.5.7")
        self.assertEqual(edited["info"], "Edited in the window;second line")
        self.assertEqual(edited["download"], "T5_v5.5.7.bin")
        self.assertRegex(edited["datetime"], DATETIME)
        self.assertEqual([e["checksum"] for e in after["T5"]],
                         [e["checksum"] for e in before["T5"]], "the entry keeps its place")
        self.assertEqual((after["M7"], after["K3"]), (before["M7"], before["K3"]))

    def test_delete_fires_only_when_held(self):
        window = self.open_publishing_page()
        before = self.stored_catalogue()
        entry = before["M7"][-1]
        version = "V" + entry["version"]

        window.click(self.row(window, "M7", version)[3]["Delete"], hold_s=0.5)
        time.sleep(1.5)
        self.assertIsNotNone(self.row(window, "M7", version, required=False),
                             "a short press deletes nothing")
        self.assertEqual(self.stored_catalogue(), before)

        window.click(self.row(window, "M7", version)[3]["Delete"], hold_s=DELETE_HOLD_S + 0.5)
        self.assertEqual(wait_until(window.tool_tip, 10, what="the removal's message"),
                         REMOVE_OK)
        wait_until(lambda: self.row(window, "M7", version, required=False) is None, 5,
                   what="the deleted row to go")
        after = self.stored_catalogue()
        self.assertNotIn(entry["checksum"], [e["checksum"] for e in after["M7"]])
        self.assertEqual(after["M7"], before["M7"][:-1])
        self.assertEqual((after["T5"], after["K3"]), (before["T5"], before["K3"]))

    def test_drag_stores_every_entry_in_the_order_shown(self):
        window = self.open_publishing_page()
        before = self.stored_catalogue()
        last = self.rows(window)[len(before["T5"]) - 1]
        first = self.rows(window)[0]
        self.assertEqual((last[0], first[0]), ("T5", "T5"))

        grab = self.row_grip(window, last)
        target = self.row_grip(window, first)
        window.drag(grab, (target[0], target[1] - ROW_HEIGHT // 3))
        wait_until(lambda: self.stored_catalogue() != before, 10,
                   what="the new order on the store")

        shown = self.settled_rows(window)
        after = self.stored_catalogue()
        self.assertEqual(shown[0][1], last[1], "the dragged row is first")
        for model in ("T5", "M7", "K3"):
            on_screen = [checksum.lower() for shown_model, _, checksum, _ in shown
                         if shown_model == model]
            self.assertEqual([e["checksum"] for e in after[model]], on_screen,
                             "%s is stored in the order shown" % model)
            self.assertEqual(sorted(json.dumps(e, sort_keys=True) for e in after[model]),
                             sorted(json.dumps(e, sort_keys=True) for e in before[model]),
                             "%s keeps every entry unchanged" % model)

    # -- helpers -------------------------------------------------------------------

    def open_publishing_page(self):
        window = self.start_window(admin=True)
        self.act_until(lambda: window.press("Administration"),
                       lambda: window.find("push button", "Upload"), "pressing Administration")
        wait_until(lambda: self.rows(window), 15, what="the catalogue's rows")
        return window

    def stored_catalogue(self):
        return json.loads(self.store.get(self.fwtool, "index.json", self.folder("fwtool")))

    def rows(self, window):
        """[(section, "V" + version, checksum, {button name: node})] top to bottom."""
        sections = sorted((window.extents(node)[1], node.name)
                          for name in ("T5", "M7", "K3")
                          for node in window.find_all("label", name))
        buttons = [(window.extents(node), node) for name in ("Delete", "Edit")
                   for node in window.find_all("push button", name)]
        rows = []
        for label in window.find_all("label"):
            if not re.match(r"^V\d", label.name):
                continue
            x, y, width, height = window.extents(label)
            middle = y + height // 2
            above = [name for top, name in sections if top < y]
            row_buttons = {}
            for (bx, by, bwidth, bheight), node in buttons:
                if abs(by + bheight // 2 - middle) < ROW_HEIGHT // 2:
                    row_buttons[node.name] = node
            checksum = row_buttons["Edit"].description if "Edit" in row_buttons else ""
            rows.append((y, (above[-1] if above else None, label.name, checksum, row_buttons)))
        rows.sort(key=lambda row: row[0])
        return [row for _, row in rows]

    def settled_rows(self, window):
        """The rows once the displaced ones have slid to their places."""
        def places():
            return [(row[:3], sorted(window.extents(node) for node in row[3].values()))
                    for row in self.rows(window)]
        previous = None
        for _ in range(50):
            try:
                current = places()
                if current == previous and all(row[2] for row, _ in current):
                    return self.rows(window)
            except Exception:  # the list is rebuilt from the stored catalogue
                current = None
            previous = current
            time.sleep(0.1)
        self.fail("the rows do not settle: %r" % (previous,))

    def row(self, window, section, version, required=True):
        for row in self.rows(window):
            if row[0] == section and row[1] == version:
                return row
        if required:
            self.fail("no row %s %s\n%s" % (section, version, window.describe()))
        return None

    def row_grip(self, window, row):
        """A point of the row away from its buttons: the middle of its line."""
        label = window.find("label", row[1])
        x, y, width, height = window.extents(window.frame)
        return x + width // 2, window.extents(label)[1] + window.extents(label)[3] // 2

    def open_edit_dialog(self, window, row):
        self.act_until(lambda: window.press_object(row[3]["Edit"]),
                       lambda: window.find("label", "Device:"), "pressing Edit")

    def field_text(self, window, name):
        text = window.find("text", name).queryText()
        return text.getText(0, -1)

    def type_into(self, window, name, text):
        """As a user types: click into the field, select everything, type."""
        window.click(window.find("text", name))
        window.xdotool("key", "ctrl+a")
        window.xdotool("type", "--delay", "20", text)
        wait_until(lambda: self.field_text(window, name) == text, 5,
                   what="%r in the field %s" % (text, name))


if __name__ == "__main__":
    windowtest.main()
