"""The ways a run ends when nothing goes wrong: up to date, new cams added or not, Cancel, and
every window closed the way a window manager closes it, in each phase of the run."""

import sys

sys.dont_write_bytecode = True  # keep the source tree free of caches

import os  # noqa: E402
import subprocess  # noqa: E402
import unittest  # noqa: E402

import harness  # noqa: E402
from harness import CANCEL, CANCEL_AREA, FORM1, FORM2, FORM3, OK, records  # noqa: E402

OWN = records((b"Alpha Cam", b"http://cams.example/alpha.jpg"),
              (b"Harbour", b"http://cams.example/harbour.jpg"),
              (b"Zoo", b"http://cams.example/zoo.jpg"))

# The server's list: two known cams (one with another address: a key is what counts), and
# three new ones out of order, with bytes outside ASCII that must come through unchanged.
NEW = [(b"mountain pass", b"http://cams.example/pass.jpg"),
       (b"Caf\xe9 Terrace", b"http://cams.example/caf\xc3\xa9.jpg?size=2\tlarge"),
       (b"Bridge", b"http://cams.example/bridge.jpg")]
SERVER = records((b"Zoo", b"http://cams.example/zoo.jpg"), NEW[0],
                 (b"Harbour", b"http://mirror.example/harbour.jpg"), NEW[1], NEW[2])
# The lists window shows new cams sorted, ignoring case; that is the order they are added in.
NEW_IN_ORDER = records(NEW[2], NEW[1], NEW[0])

UP_TO_DATE = "No new Cams available"
ADD_QUESTION = "Add all"
ADDED = "New Cams added"
NO_LIST = "No list received"
UP_TO_DATE_TEXT = "Your list is up to date."
NO_LIST_TEXT = "No cam list could be received from the server."
# xdg-open ends once the program runs; this waits in its place, as the subreaper it falls to.
XDG_OPEN = ("import ctypes, os, subprocess, sys; ctypes.CDLL(None).prctl(36, 1); subprocess.run(["
            "'xdg-open', sys.argv[1]], check=True); sys.exit(os.waitstatus_to_exitcode(os.wait()[1]))")


def setUpModule():
    harness.start_x()


def tearDownModule():
    harness.stop_x()



def yes_to_the_end(test, app, **yes):
    """Answers Yes to "add all" and goes through the count and the up-to-date message to the
    end: the new records are in Cams.inf, and nothing else is left."""
    app.answer(ADD_QUESTION, text="Do you really want to add all new cams?", **yes)
    app.answer(ADDED, text=" 3 Cams was/were added")
    test.assertEqual(test.read("Cams.inf"), OWN + NEW_IN_ORDER)
    # Nothing is new any more, and the program says so by itself.
    app.answer(UP_TO_DATE, text=UP_TO_DATE_TEXT)
    test.assert_ended(app)
    test.assertEqual(test.files(), ["Cams.inf"])
    test.assertEqual(test.read("Cams.inf"), OWN + NEW_IN_ORDER)
    test.assertEqual(app.seen, [ADD_QUESTION, ADDED, UP_TO_DATE])

class Endings(harness.E2ETest):

    def test_up_to_date_list_says_so_and_ends(self):
        self.write_cams(OWN)
        server = self.serve(records((b"Harbour", b"http://cams.example/harbour.jpg")))
        app = self.start(server.url)
        app.wait_for(UP_TO_DATE)
        # The server's copy is kept while the user reads: its body and one line end more.
        self.assertEqual(self.read("temp.tmp"),
                         records((b"Harbour", b"http://cams.example/harbour.jpg")) + b"\r\n")
        app.answer(UP_TO_DATE, text=UP_TO_DATE_TEXT)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)
        self.assertEqual(app.seen, [UP_TO_DATE])

    def test_yes_appends_exactly_the_new_records(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_search_ended()
        # The search window has no icon; the others carry the program's, also at twice the size.
        self.assertEqual(app.icon_sizes(), {FORM1: [(48, 48), (96, 96)],
                                            FORM2: [(48, 48), (96, 96)], FORM3: []})
        app.click_add_all(ADD_QUESTION)
        # Yes is the default button.
        yes_to_the_end(self, app)

    def test_a_list_opened_in_the_file_manager_is_the_one_updated(self):
        # From the desktop's folder, through the installed file type and desktop entry, the list
        # in a folder with a blank. Another name (even cams.inf), a folder or no file is refused.
        cams = self.path("viewer lists/Cams.inf")
        self.write_cams(OWN)
        os.renames(self.path("Cams.inf"), cams)
        os.link(cams, self.path("cams.inf"))
        os.makedirs(self.path("folder/Cams.inf"))
        share = os.path.join(os.path.dirname(harness.binary()), "../share")
        desktop = {"XDG_CURRENT_DESKTOP": "GNOME", "XDG_DATA_HOME": share}

        def ask(*command):
            return subprocess.run(command, env={**os.environ, **desktop}, capture_output=True, text=True)
        types = [ask("xdg-mime", "query", "filetype", self.path(name)).stdout
                 for name in ("viewer lists/Cams.inf", "cams.inf")]
        self.assertEqual(types, ["application/x-cam-list\n", "text/plain\n"])
        refused = [ask(share + "/../libexec/camupdate/open-list", self.path(name)).returncode
                   for name in ("cams.inf", "folder/Cams.inf", "gone/Cams.inf")]
        self.assertEqual(refused, [2, 2, 2])
        app = self.start(self.serve(SERVER).url, wrapper=[sys.executable, "-c", XDG_OPEN],
                         program=cams, window_pid_is_own=False, environment=desktop)
        app.click_add_all(ADD_QUESTION)
        for box in (ADD_QUESTION, ADDED, UP_TO_DATE):
            app.answer(box)
        self.assert_ended(app)
        self.assertEqual(self.read("viewer lists/Cams.inf"), OWN + NEW_IN_ORDER)
        self.assertEqual([self.files(), os.listdir(self.path("viewer lists"))],
                         [["cams.inf", "folder", "viewer lists"], ["Cams.inf"]])

    def test_no_changes_nothing_and_ok_ends(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_search_ended()
        app.click_add_all(ADD_QUESTION)
        app.answer(ADD_QUESTION, "Escape")  # Escape answers No
        self.assertEqual(self.read("Cams.inf"), OWN)
        self.assertEqual(self.read("temp.tmp"), SERVER + b"\r\n")
        self.assertTrue(app.is_visible(FORM2))
        app.click(FORM2, OK)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)
        self.assertEqual(app.seen, [ADD_QUESTION])

    def test_ok_before_adding_ends_without_adding(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_search_ended()
        app.key(FORM2, "alt+o")
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)
        self.assertEqual(app.seen, [])

    def test_cancel_during_a_stalled_fetch_ends_at_once(self):
        # Each way a user presses Cancel: the mouse, and from the keyboard the window's cancel
        # key, the focused button's default key, and Alt+C.
        presses = {"click": lambda app: app.click(FORM1, CANCEL),
                   "Escape": lambda app: self.focus_and_type(app, "Escape"),
                   "Return": lambda app: self.focus_and_type(app, "Return"),
                   "Alt+C": lambda app: self.focus_and_type(app, "alt+c")}
        for how, press in presses.items():
            with self.subTest(press=how):
                self.write_cams(OWN)
                server = self.serve_raw(lambda connection, head, srv: srv.wait())
                app = self.start(server.url)
                app.wait_for(FORM1)
                harness.poll(server.request_count, 10, "the list to be asked for")
                press(app)
                self.assert_ended(app, within=1.0)
                self.assertEqual(self.files(), ["Cams.inf"])
                self.assertEqual(self.read("Cams.inf"), OWN)
                self.assertEqual(app.seen, [])

    def focus_and_type(self, app, keys):
        """Gives the download window the keyboard focus, sees the Cancel button show that it has
        it (a keyboard user must see where the keys go), then types."""
        window = app.wait_for(FORM1)
        unfocused = self.x.pixels(window, CANCEL_AREA)
        self.x.xdotool("windowfocus", "--sync", str(window))
        harness.poll(lambda: self.x.pixels(window, CANCEL_AREA) != unfocused, 2.0,
                     "the Cancel button to show the focus")
        app.key(FORM1, keys)

    def test_empty_list_is_not_called_up_to_date(self):
        self.write_cams(OWN)
        app = self.start(self.serve(b"").url)
        app.answer(NO_LIST, text=NO_LIST_TEXT)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)
        self.assertEqual(app.seen, [NO_LIST])


class WindowManagerClose(harness.E2ETest):
    """Each window closed through the window manager (WM_DELETE_WINDOW), in each phase."""

    # A server list long enough that the search takes a good many of its 10 ms time slices, so
    # a close handled a slice or two after it arrives still comes while the search runs (the own
    # list is indexed while it is read, before the search).
    BIG_SERVER = SERVER + b"".join(b"cam %07d\r\nd\r\n" % i for i in range(2_000_000))

    def test_closing_the_download_window_during_the_fetch_is_cancel(self):
        self.write_cams(OWN)
        server = self.serve_raw(lambda connection, head, srv: srv.wait())
        app = self.start(server.url)
        app.wait_for(FORM1)
        harness.poll(server.request_count, 10, "the list to be asked for")
        app.close(FORM1)
        self.assert_ended(app, within=1.0)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)

    def test_closing_the_lists_window_before_the_search_starts_does_nothing(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_for(FORM2)
        app.pause_when(lambda: not app.was_shown(FORM3), timeout=0.5)
        app.close(FORM2)
        app.resume()
        self.assert_goes_on(app)

    def test_closing_either_window_during_the_search_does_nothing(self):
        for window in (FORM2, FORM3):
            with self.subTest(window=window):
                self.write_cams(OWN)
                app = self.start(self.serve(self.BIG_SERVER).url)
                app.wait_for(FORM2, timeout=20)
                app.pause_when(lambda: app.is_visible(FORM3))
                app.close(window)
                app.resume()
                self.assert_goes_on(app)

    def test_closing_the_lists_window_after_the_search_is_ok(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_search_ended()
        app.close(FORM2)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)

    def test_closing_the_question_is_no_and_the_lists_window_waits_for_it(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_search_ended()
        app.click_add_all(ADD_QUESTION)
        # The question holds the lists window; closing that must neither end nor add.
        app.close(FORM2, allowed=harness.MAIN_WINDOWS | {ADD_QUESTION})
        app.close(ADD_QUESTION, allowed=harness.MAIN_WINDOWS | {ADD_QUESTION})
        app.wait_gone(ADD_QUESTION)
        self.assertIsNone(app.process.poll())
        self.assertEqual(self.read("Cams.inf"), OWN)
        self.assertTrue(app.is_visible(FORM2))
        app.close(FORM2)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)
        self.assertEqual(app.seen, [ADD_QUESTION])

    def test_closing_a_final_message_ends_like_its_ok(self):
        for body, box in ((records((b"Zoo", b"http://cams.example/zoo.jpg")), UP_TO_DATE),
                          (b"", NO_LIST)):
            with self.subTest(box=box):
                self.write_cams(OWN)
                app = self.start(self.serve(body).url)
                app.close(box, allowed=harness.MAIN_WINDOWS | {box})
                self.assert_ended(app)
                self.assertEqual(self.files(), ["Cams.inf"])
                self.assertEqual(self.read("Cams.inf"), OWN)

    def assert_goes_on(self, app, own=OWN):
        """The close changed nothing: the search ends, and the new cams can still be added."""
        app.wait_search_ended()
        self.assertIsNone(app.process.poll(), "the program ended on the close")
        self.assertTrue(os.path.exists(self.path("temp.tmp")))
        app.click_add_all(ADD_QUESTION)
        app.answer(ADD_QUESTION, "Escape")
        app.click(FORM2, OK)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), own)


class DisplayLost(harness.E2ETest):
    """The X server goes away under the program (a crash, a dropped ssh -X): the program ends
    by itself as at a logout, in each phase, instead of dying with the server copy left."""

    # Enough new cams that the add lasts a while: the display is lost in the middle of it.
    MANY = [(b"Cam %07d" % i, b"http://cams.example/%d.jpg" % i) for i in range(400_000)]

    def test_the_program_ends_and_the_copy_goes(self):
        phases = {
            "review": (self.in_review, OWN),
            "question": (self.at_the_question, OWN),
            "add": (self.during_an_add, OWN + records(*self.MANY)),
        }
        for phase, (reach, cams_after) in phases.items():
            with self.subTest(phase=phase):
                scratch = self.new_scratch()
                scratch.write_cams(OWN)
                x = self.own_x()
                app = reach(x, scratch)
                x.crash()
                # The add, if one runs, is finished first; the rest takes a moment.
                status = app.wait_exit(30 if phase == "add" else 5)
                self.assertEqual(status, 0, app.output())
                self.assertIn("The X11 connection broke", app.output())
                harness.poll(lambda: not app.leftovers(), 2.0, "the program's processes to go")
                self.assertEqual(scratch.files(), ["Cams.inf"])
                self.assertEqual(scratch.read("Cams.inf"), cams_after)

    def in_review(self, x, scratch):
        app = self.start(self.serve(SERVER).url, scratch=scratch, x=x)
        app.wait_search_ended()
        self.assertEqual(scratch.read("temp.tmp"), SERVER + b"\r\n")
        return app

    def at_the_question(self, x, scratch):
        app = self.in_review(x, scratch)
        app.click_add_all(ADD_QUESTION)
        return app

    def during_an_add(self, x, scratch):
        app = self.start(self.serve(records(*self.MANY)).url, scratch=scratch, x=x)
        app.wait_search_ended(timeout=60)
        app.click_add_all(ADD_QUESTION)
        app.key(ADD_QUESTION, "Return", allowed=harness.MAIN_WINDOWS | {ADD_QUESTION})
        # Lost as soon as the add has begun: its journal stands, or Cams.inf grows.
        journal = scratch.path("Cams.inf-journal")
        harness.poll(lambda: app.running() and (os.path.exists(journal) or os.path.getsize(
            scratch.path("Cams.inf")) > len(OWN)), 30, "the add to begin", interval=0.001)
        return app


if __name__ == "__main__":
    unittest.main()
