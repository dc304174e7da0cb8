"""The program as a screen reader sees it over a real AT-SPI bus: each window with the role a
screen reader announces (a window, a dialog, an alert for each message box) and every control a
user can reach with its role and a name."""

import sys

sys.dont_write_bytecode = True  # keep the source tree free of caches

import unittest  # noqa: E402

import harness  # noqa: E402
from harness import FORM1, FORM2, FORM3, descendants  # noqa: E402
from test_endings import ADD_QUESTION, ADDED, OWN, SERVER, UP_TO_DATE  # noqa: E402

# Roles a screen reader passes over without a word: containers, and pictures without a name
# (a message box's icon). List items are the cams themselves, data rather than controls.
UNSPOKEN = {"filler", "panel", "list item"}

# Each window: its role, then what a screen reader finds in it, in order, as (role, name).
WINDOWS = {
    FORM1: ("dialog", [("image", "Wait animation"), ("push button", "Cancel")]),
    FORM2: ("frame", [("label", "Own List"), ("list", "Own List"), ("label", "New Cams:"),
                      ("list", "New Cams:"), ("push button", "Add new cams"),
                      ("push button", "OK")]),
    FORM3: ("dialog", [("progress bar", "Search progress")]),
    ADD_QUESTION: ("alert", [("label", "Do you really want to add all new cams?"),
                             ("push button", "Yes"), ("push button", "No")]),
    ADDED: ("alert", [("label", " 3 Cams was/were added"), ("push button", "OK")]),
    UP_TO_DATE: ("alert", [("label", "Your list is up to date."), ("push button", "OK")]),
}


def setUpModule():
    harness.start_x()


def tearDownModule():
    harness.stop_x()


def spoken(window):
    """What a screen reader reads of a window: its controls as (role, name). Of a shown window
    that is what shows (hidden working parts are there for nobody). The search window shows too
    briefly to catch; of a window not shown, what a user could operate counts."""
    return [(node["role"], node["name"]) for node in descendants(window)
            if (node["showing"] or (not window["showing"] and node["actions"]))
            and node["role"] not in UNSPOKEN
            and not (node["role"] == "image" and not node["name"])]


class ScreenReader(harness.E2ETest):

    def check(self, window):
        role, controls = WINDOWS[window["name"]]
        self.assertEqual((window["role"], spoken(window)), (role, controls), window["name"])

    def test_every_window_and_control_has_its_role_and_name(self):
        self.write_cams(OWN)
        # A slow server keeps the download window up long enough to read it.
        server = harness.ListServer(SERVER, delay=5.0)
        self.addCleanup(server.stop)
        app = self.start(server.url, accessible=True)
        checked = [FORM1]
        self.check(app.accessible_window(FORM1))
        lists = app.accessible_window(FORM2)
        self.check(lists)
        # The search window comes a timer tick after the lists window, and stays, hidden.
        self.check(harness.poll(
            lambda: next((w for w in app.accessible_windows() if w["name"] == FORM3), None),
            10.0, "the search window"))
        checked += [FORM2, FORM3]
        app.wait_search_ended()
        app.click_add_all(ADD_QUESTION)
        for box, button in ((ADD_QUESTION, "Yes"), (ADDED, "OK"), (UP_TO_DATE, "OK")):
            self.check(app.accessible_window(box))
            checked.append(box)
            app.press(box, button)
            app.wait_gone(box)
        self.assert_ended(app)
        self.assertEqual(sorted(checked), sorted(WINDOWS))


if __name__ == "__main__":
    unittest.main()
