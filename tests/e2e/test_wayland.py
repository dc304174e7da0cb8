"""The whole update on a headless Wayland compositor, as on today's desktops: the program runs
on Qt's Wayland platform with no X display to fall back on, and the test sees and presses its
windows through AT-SPI. The windows open where the compositor puts them."""

import sys

sys.dont_write_bytecode = True  # keep the source tree free of caches

import unittest  # noqa: E402

import harness  # noqa: E402
from harness import FORM2  # noqa: E402
from test_endings import ADD_QUESTION, OWN, SERVER, yes_to_the_end  # noqa: E402


def setUpModule():
    harness.start_wayland()


def tearDownModule():
    harness.stop_wayland()


class Wayland(harness.E2ETest):

    def test_yes_appends_the_new_records_on_wayland(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_for(FORM2)
        app.click_add_all(ADD_QUESTION)
        yes_to_the_end(self, app, button="Yes")


if __name__ == "__main__":
    unittest.main()
