"""Plugging and unplugging a T5 while the window runs: a T5 that arrives
shows its upgrader page without Enter; one that leaves takes the page away.
The emulated adapter arrives late (appearAfterMs) and, after an update with
RebootAfterUpdate=ON, restarts: it leaves the bus and comes back."""

import time

import windowtest
from guiharness import wait_until
from windowtest import T5_COMPATIBLE, T5_INCOMPATIBLE, T5_SERIAL_SHOWN, WindowTestCase

ARRIVAL_MS = 2500
RESTART_MS = 3000


class HotPlug(WindowTestCase):

    def test_arriving_t5_pushes_its_page_without_enter(self):
        adapters = self.emulated_t5(appearAfterMs=ARRIVAL_MS)
        window = self.start_window(adapters)
        started = time.monotonic()
        self.assertTrue(self.on_guide_page(window), window.describe())
        wait_until(lambda: self.on_upgrader_page(window), 15, what="the page of the arriving T5")
        arrived_s = time.monotonic() - started
        self.assertGreater(arrived_s, ARRIVAL_MS / 1000 - 1.0, "the page waits for the adapter")
        wait_until(lambda: self.serial_line(window) == "SN:" + T5_SERIAL_SHOWN, 10,
                   what="the arriving adapter's serial number")
        wait_until(lambda: (self.catalogue_box(window) or window.frame).name == T5_INCOMPATIBLE,
                   15, what="the catalogue, read for the arriving adapter")

    def test_restart_after_update_pops_and_pushes_the_page(self):
        adapters = self.emulated_t5(replyDelayMs=1, rebootReturnAfterMs=RESTART_MS)
        window = self.start_window(adapters, configs={"RebootAfterUpdate": "ON",
                                                      "SetBootModeAfterUpdate": "OFF"})
        self.enter_upgrader_page(window)
        wait_until(lambda: (self.catalogue_box(window) or window.frame).name == T5_INCOMPATIBLE,
                   15, what="the catalogue")
        self.choose(window, self.catalogue_box(window), T5_COMPATIBLE)
        self.act_until(lambda: window.press("Update"),
                       lambda: self.progress(window) is not None, "pressing Update")

        # The adapter leaves when it restarts: back to the guide page...
        wait_until(lambda: self.on_guide_page(window), 30, what="the guide page when the T5 left")
        left = time.monotonic()
        self.assertIsNone(self.serial_line(window))
        # ...and its page returns with it, showing the new version.
        wait_until(lambda: self.on_upgrader_page(window), 15, what="the page of the returning T5")
        self.assertGreater(time.monotonic() - left, RESTART_MS / 1000 - 1.0)
        wait_until(lambda: self.label_description(window, "Installed version") == T5_COMPATIBLE,
                   10, what="the new version after the restart")
        self.assertEqual(self.serial_line(window), "SN:" + T5_SERIAL_SHOWN)
        self.assertTrue(self.is_checked(window, self.toggle(window, "OTA")),
                        "the page pushed again starts on OTA")


if __name__ == "__main__":
    windowtest.main()
