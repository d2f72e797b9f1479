"""Pictures of every page in English and Chinese, taken from the X display
as a user sees them: the guide page, the publishing page, the erase dialog and
the upgrader page of an emulated T5 in the middle of an update. They are
written to gui-test-runs/screenshots/ in the build folder; the checks are
what a picture can tell: its size, that it is not blank, and the colours of
the header (short on the guide page, tall above the other pages) and footer."""

import os
import shutil

import guiharness as harness
import windowtest
from guiharness import wait_until
from pictures import blend, colour_of, near
from windowtest import T5_COMPATIBLE, T5_INCOMPATIBLE, WindowTestCase

WINDOW_SIZE = (550, 720)
HEADER_LEFT = colour_of("#2dbdff")
HEADER_RIGHT = colour_of("#0093d5")
FOOTER = colour_of("#F5F5F5")
WHITE = colour_of("#FFFFFF")
SHORT_HEADER = 128
TALL_HEADER = 242
SLOW_ADAPTER = {"replyDelayMs": 3, "eraseMsPerSector": 300}


class Screenshots(WindowTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pictures = os.path.join(options_build_dir(), "gui-test-runs", "screenshots")
        shutil.rmtree(cls.pictures, ignore_errors=True)
        os.makedirs(cls.pictures)
        cls.places = {}

    def test_1_english(self):
        self.take_pictures("en", harness.LANGUAGE_ENGLISH)

    def test_2_chinese(self):
        if not self.places:
            self.skipTest("the English run finds the controls for the Chinese one")
        self.take_pictures("zh", harness.LANGUAGE_CHINESE)

    def take_pictures(self, suffix, language):
        """English: finds the controls by name and notes where they are;
        Chinese (translated names): uses the same places."""
        administrator = self.start_window(admin=True, language=language,
                                          name="publishing-" + suffix)
        self.act_until(lambda: administrator.press("Administration"),
                       lambda: administrator.find("label", "V" + T5_INCOMPATIBLE),
                       "pressing Administration")
        wait_until(lambda: administrator.tool_tip() is None, 8, what="the messages to end")
        publishing = self.picture(administrator, "publishing", suffix)
        self.check_header(publishing, TALL_HEADER)
        administrator.stop()

        # As users see it: without the administration button.
        window = self.start_window(self.emulated_t5(**SLOW_ADAPTER), language=language,
                                   name="window-" + suffix)
        wait_until(lambda: window.tool_tip() is None, 8, what="the start-up messages to end")
        guide = self.picture(window, "guide", suffix)
        self.check_header(guide, SHORT_HEADER)

        # The upgrader page's source selector (OTA and LOCAL) shows it in any language.
        self.act_until(lambda: window.click(self.control(window, "Enter")),
                       lambda: len(window.find_all("check box")) >= 2, "pressing Enter")
        wait_until(lambda: (self.catalogue_box(window) or window.frame).name == T5_INCOMPATIBLE,
                   15, what="the catalogue")
        wait_until(lambda: window.tool_tip() is None, 8, what="the connection's message to end")
        self.note_places(window, "Update", "Update&Erase")
        page_labels = {window.extents(node) for node in window.find_all("label")}

        self.act_until(lambda: window.press_object(self.control(window, "Update")),
                       lambda: len(window.find_all("push button")) > len(self.page_buttons),
                       "pressing Update")
        dialog = self.picture(window, "erase-dialog", suffix, shaded=True)
        question = next(window.extents(node) for node in window.find_all("label")
                        if window.extents(node) not in page_labels)
        frame_x, frame_y, _, _ = window.extents(window.frame)
        self.assertTrue(near(dialog.pixel(question[0] - frame_x - 8, question[1] - frame_y + 2),
                             WHITE), "the dialog is drawn white over the shaded page")
        close = next(node for node in window.find_all("push button", "Close")
                     if window.extents(node) not in self.page_buttons)
        window.press_object(close)
        wait_until(lambda: len(window.find_all("push button")) == len(self.page_buttons), 5,
                   what="the dialog to close")

        self.choose(window, self.catalogue_box(window), T5_COMPATIBLE)
        self.act_until(lambda: window.press_object(self.control(window, "Update")),
                       lambda: (self.progress(window) or 0) >= 30, "pressing Update", retry_s=3)
        upgrader = self.picture(window, "upgrader-updating", suffix, still=False)
        self.check_header(upgrader, TALL_HEADER)
        window.stop()  # the emulated adapter is thrown away with this test

    # -- helpers -------------------------------------------------------------------

    def control(self, window, name):
        """By name in English; at the English place in another language."""
        node = window.find("push button", name)
        if node is not None:
            self.places[name] = window.extents(node)
            return node
        place = self.places.get(name)
        for node in window.find_all("push button") if place else []:
            # A translated text may make the button narrower or wider.
            x, y, width, height = window.extents(node)
            if x <= place[0] + place[2] // 2 <= x + width and y <= place[1] + place[3] // 2 <= y + height:
                return node
        self.fail("no button %r (or at %r)\n%s" % (name, self.places.get(name),
                                                   window.describe()))

    def note_places(self, window, *names):
        for name in names:
            self.control(window, name)
        self.page_buttons = {window.extents(node) for node in window.find_all("push button")}

    def picture(self, window, page, suffix, still=True, shaded=False):
        frame_x, frame_y, _, _ = window.extents(window.frame)
        window.xdotool("mousemove", frame_x + 275, frame_y + 150)  # no hover on a button
        path = os.path.join(self.pictures, "%s-%s.png" % (page, suffix))
        picture = window.screenshot(path, still=still)
        self.assertEqual((picture.width, picture.height), WINDOW_SIZE, path)
        self.assertGreater(picture.distinct_colours(), 40, "%s is not blank" % path)
        footer = picture.pixel(150, 666)
        if shaded:  # a modal dialog shades the page
            self.assertTrue(all(shown < plain - 20 for shown, plain in zip(footer, FOOTER)),
                            "the page under the dialog of %s is shaded: %r" % (path, footer))
        else:
            self.assertTrue(near(footer, FOOTER), "footer of %s: %r" % (path, footer))
        return picture

    def check_header(self, picture, height):
        for x in (10, 540):
            expected = blend(HEADER_LEFT, HEADER_RIGHT, x / (WINDOW_SIZE[0] - 1))
            for y in (60, height - 24):
                self.assertTrue(near(picture.pixel(x, y), expected),
                                "header at (%d, %d) of %s: %r, not %r"
                                % (x, y, picture.path, picture.pixel(x, y), expected))
            self.assertTrue(near(picture.pixel(x, height + 6), WHITE),
                            "below the %d-high header at x %d of %s: %r"
                            % (height, x, picture.path, picture.pixel(x, height + 6)))


def options_build_dir():
    return windowtest.options.build_dir


if __name__ == "__main__":
    windowtest.main()
