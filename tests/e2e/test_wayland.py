"""The whole update on a headless Wayland compositor, as on today's desktops: the program runs
on Qt's Wayland platform with no X display to fall back on, and the test sees and presses its
windows through AT-SPI. The windows open where the compositor puts them."""

import sys

sys.dont_write_bytecode = True  # keep the source tree free of caches

import os  # noqa: E402
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

    def test_a_lost_compositor_ends_the_program_and_the_copy_goes(self):
        # As at a logout: the server copy goes, the own list stays, status 0.
        self.write_cams(OWN)
        compositor = self.own_wayland()
        app = self.start(self.serve(SERVER).url, x=compositor)
        app.wait_for(FORM2)
        harness.poll(lambda: os.path.exists(self.path("temp.tmp")), 10, "the server copy")
        compositor.crash()
        status = app.wait_exit(5)
        self.assertEqual(status, 0, app.output())
        self.assertIn("The Wayland connection broke", app.output())
        harness.poll(lambda: not app.leftovers(), 2.0, "the program's processes to go")
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)


if __name__ == "__main__":
    unittest.main()
