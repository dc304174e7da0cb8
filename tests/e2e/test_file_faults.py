"""The own list (Cams.inf) and the server copy (temp.tmp) in shapes and states a user's folder
can have: read-only, a folder, a full disk, no line end at the end, missing, or a copy left by
an earlier run. Cams.inf must always hold its old bytes, or its old bytes plus whole records."""

import sys

sys.dont_write_bytecode = True  # keep the source tree free of caches

import os  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import stat  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import unittest  # noqa: E402

import harness  # noqa: E402
from harness import FORM2, read_records, records  # noqa: E402

OWN_PAIRS = [(b"Alpha Cam", b"http://cams.example/alpha.jpg"),
             (b"Harbour", b"http://cams.example/harbour.jpg"),
             (b"Zoo", b"http://cams.example/zoo.jpg")]
OWN = records(*OWN_PAIRS)
NEW_PAIRS = [(b"Bridge", b"http://cams.example/bridge.jpg"),
             (b"mountain pass", b"http://cams.example/pass.jpg")]
SERVER = records(NEW_PAIRS[1], OWN_PAIRS[2], NEW_PAIRS[0])
NEW = records(*NEW_PAIRS)  # in the order the lists window shows them: sorted, ignoring case

ADD_QUESTION = "Add all"
ADDED = "New Cams added"
NOT_ADDED = "Cams not added"
UP_TO_DATE = "No new Cams available"
INTERRUPTED = "Interrupted add"

NOBODY = 65534  # the unprivileged user the program runs as where the test is root


def setUpModule():
    harness.start_x()


def tearDownModule():
    harness.stop_x()


class FileTest(harness.E2ETest):

    def add_all(self, app, outcome):
        """Waits for the search, clicks "<", answers Yes and waits for the outcome's box."""
        app.wait_search_ended()
        app.click_add_all(ADD_QUESTION)
        app.answer(ADD_QUESTION)
        app.wait_for(outcome)

    def assert_refused_and_kept(self, app, reason, old_cams_check):
        """The append failed: the user is told why, the list is as it was, and OK still ends."""
        app.answer(NOT_ADDED, text="Cams.inf could not be updated: " + reason)
        old_cams_check()
        self.assertIsNone(app.process.poll())
        self.assertTrue(app.is_visible(FORM2))
        app.key(FORM2, "alt+o")
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        old_cams_check()
        self.assertEqual(app.seen, [ADD_QUESTION, NOT_ADDED])

    def add_and_read(self, app, count):
        """Adds with Yes, goes through to the end, and gives what Cams.inf holds then."""
        self.add_all(app, ADDED)
        app.answer(ADDED, text=f" {count} Cams was/were added")
        app.answer(UP_TO_DATE)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(app.seen, [ADD_QUESTION, ADDED, UP_TO_DATE])
        return self.read("Cams.inf")


class Unprivileged:
    """Runs the program as a user that file modes apply to. Root ignores them, so a test run
    as root starts the program through setpriv as nobody, in a folder nobody owns."""

    def __init__(self, test):
        self.test = test
        self.root = os.geteuid() == 0
        self.wrapper = []
        self.user = None
        self.program = None
        if not self.root:
            return
        if shutil.which("setpriv") is None:
            raise unittest.SkipTest("setpriv (util-linux) is needed to run the program as nobody")
        self.wrapper = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
        self.user = NOBODY
        os.chown(test.dir, NOBODY, NOBODY)
        # The build folder may sit where nobody cannot reach; then nobody gets a copy.
        if not self.can("-x", harness.binary()):
            folder = tempfile.mkdtemp(prefix="camupdate-e2e-bin-")
            test.addCleanup(shutil.rmtree, folder, ignore_errors=True)
            os.chmod(folder, 0o755)
            self.program = shutil.copy(harness.binary(), folder)

    def give(self, path):
        """Makes the file the program's own, as the user's files are."""
        if self.root:
            os.chown(path, NOBODY, NOBODY)

    def can(self, flag, path):
        if not self.root:
            return subprocess.run(["test", flag, path]).returncode == 0
        return subprocess.run([*self.wrapper, "test", flag, path], timeout=10).returncode == 0

    def start(self, url):
        return self.test.start(url, wrapper=self.wrapper, user=self.user, program=self.program)


class OwnListFaults(FileTest):

    def test_read_only_list_is_reported_and_kept(self):
        self.write_cams(OWN)
        os.chmod(self.path("Cams.inf"), 0o444 if os.geteuid() else 0o644)
        user = Unprivileged(self)
        # Root owns the file, nobody owns the folder: nobody may read the list, not write it.
        self.assertTrue(user.can("-r", self.path("Cams.inf")))
        self.assertFalse(user.can("-w", self.path("Cams.inf")))
        self.assertTrue(user.can("-w", self.dir))
        before = os.stat(self.path("Cams.inf"))
        app = user.start(self.serve(SERVER).url)
        self.add_all(app, NOT_ADDED)

        def kept():
            self.assertEqual(self.read("Cams.inf"), OWN)
            after = os.stat(self.path("Cams.inf"))
            self.assertEqual((after.st_mode, after.st_uid, after.st_mtime_ns),
                             (before.st_mode, before.st_uid, before.st_mtime_ns))

        self.assert_refused_and_kept(app, "Permission denied", kept)

    def test_list_that_is_a_folder_is_reported_and_kept(self):
        os.mkdir(self.path("Cams.inf"))
        with open(os.path.join(self.path("Cams.inf"), "keep"), "wb") as f:
            f.write(OWN)
        app = self.start(self.serve(SERVER).url)
        self.add_all(app, NOT_ADDED)

        def kept():
            self.assertTrue(stat.S_ISDIR(os.lstat(self.path("Cams.inf")).st_mode))
            self.assertEqual(os.listdir(self.path("Cams.inf")), ["keep"])
            with open(os.path.join(self.path("Cams.inf"), "keep"), "rb") as f:
                self.assertEqual(f.read(), OWN)

        self.assert_refused_and_kept(app, "Is a directory", kept)

    def test_file_size_limit_cuts_the_list_back(self):
        # The limit falls in the middle of the new records: the write stops half way (EFBIG),
        # as it would on a full disk. The server copy is small enough to be written.
        old = records(*((b"Own %05d" % i, b"http://own.example/%d.jpg" % i) for i in range(1000)))
        self.write_cams(old)
        limit = len(old) + len(NEW) // 2
        self.assertLess(len(SERVER) + 2, limit)
        app = self.start(self.serve(SERVER).url, wrapper=["prlimit", f"--fsize={limit}", "--"])
        self.add_all(app, NOT_ADDED)
        self.assert_refused_and_kept(app, "File too large",
                                     lambda: self.assertEqual(self.read("Cams.inf"), old))

    def test_full_disk_cuts_the_list_back(self):
        # A 16 KiB tmpfs, mounted in a mount namespace of the program's own so it goes away
        # with it. The list fills two pages but for a few bytes, the server copy the third and
        # the add's journal the fourth: the new records stop after those few bytes with "No
        # space left on device".
        old = bytearray(records(*((b"Own %05d" % i, b"http://own.example/%d.jpg" % i)
                                  for i in range(150))))
        pad = 2 * 4096 - 8 - len(old)
        self.assertGreater(pad, 0)
        old[-2:-2] = b"#" * pad  # the last detail line grows to fill the pages
        old = bytes(old)
        self.write_cams(old)
        mount_point = tempfile.mkdtemp(prefix="camupdate-e2e-mnt-")
        self.addCleanup(os.rmdir, mount_point)
        wrapper = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", """
            mount -t tmpfs -o size=16k,mode=0755 camupdate-e2e "$1" || exit 97
            cp "$2/Cams.inf" "$1/" && cd "$1" || exit 98
            "$3"
            status=$?
            [ -d "$2" ] && rm -rf "${2:?}"/* && cp -a "$1"/. "$2"/
            exit $status""", "sh", mount_point, self.dir]
        probe = subprocess.run([*wrapper, "true"], capture_output=True, timeout=20)
        if probe.returncode in (1, 97):  # unshare or mount refused
            self.skipTest("no tmpfs can be mounted here: " + probe.stderr.decode().strip())
        self.assertEqual(probe.returncode, 0, probe.stderr)
        self.assertEqual(self.read("Cams.inf"), old)
        app = self.start(self.serve(SERVER).url, wrapper=wrapper, window_pid_is_own=False)
        self.add_all(app, NOT_ADDED)
        # The files are inside the program's namespace until it ends.
        app.answer(NOT_ADDED, text="Cams.inf could not be updated: No space left on device")
        app.key(FORM2, "alt+o")
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), old)
        self.assertEqual(app.seen, [ADD_QUESTION, NOT_ADDED])


    def test_list_that_is_a_fifo_never_holds_the_program_up(self):
        # Read as it stood, a FIFO would block the program for good right after the fetch.
        os.mkfifo(self.path("Cams.inf"))
        app = self.start(self.serve(SERVER).url)
        self.add_all(app, NOT_ADDED)
        self.assert_refused_and_kept(
            app, "Not a regular file",
            lambda: self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("Cams.inf")).st_mode)))


class OwnListShapes(FileTest):

    def test_list_without_a_final_line_end_gets_whole_records(self):
        old = OWN[:-2]
        self.write_cams(old)
        content = self.add_and_read(self.start(self.serve(SERVER).url), 2)
        self.assertEqual(content, old + b"\r\n" + NEW)
        self.assertEqual(read_records(content), OWN_PAIRS + NEW_PAIRS)

    def test_list_ending_in_a_key_without_its_detail(self):
        # The lone key keeps an empty detail line, so the new keys are not read as its detail.
        for tail in (b"Lonely\r\n", b"Lonely"):
            with self.subTest(tail=tail):
                old = OWN + tail
                self.write_cams(old)
                content = self.add_and_read(self.start(self.serve(SERVER).url), 2)
                self.assertTrue(content.startswith(old), content)
                self.assertEqual(read_records(content), OWN_PAIRS + [(b"Lonely", b"")] + NEW_PAIRS)

    def test_missing_list_is_created_with_the_new_cams(self):
        content = self.add_and_read(self.start(self.serve(SERVER).url), 3)
        # With no own list every cam is new, in the lists window's order.
        self.assertEqual(content, records(NEW_PAIRS[0], NEW_PAIRS[1], OWN_PAIRS[2]))


class ServerCopyFaults(FileTest):

    def test_copy_left_by_an_earlier_run_is_never_offered(self):
        # An earlier run as another user left temp.tmp behind, and this user cannot overwrite
        # it. Its cams are not on the server: they must never be offered, let alone added.
        # Either the program says it cannot go on, or it goes on with the list it received.
        self.write_cams(OWN)
        stale = records((b"Stale Cam", b"http://gone.example/stale.jpg"))
        with open(self.path("temp.tmp"), "wb") as f:
            f.write(stale)
        os.chmod(self.path("temp.tmp"), 0o444 if os.geteuid() else 0o644)
        user = Unprivileged(self)
        user.give(self.path("Cams.inf"))
        self.assertTrue(user.can("-w", self.path("Cams.inf")))
        self.assertFalse(user.can("-w", self.path("temp.tmp")))
        app = user.start(self.serve(SERVER).url)

        def settled():
            app.running()
            boxes = [t for _, t in app.windows() if t not in harness.MAIN_WINDOWS]
            if boxes:
                return boxes[0]
            return app.was_shown(harness.FORM3) and not app.is_visible(harness.FORM3) and FORM2

        outcome = harness.poll(settled, 20.0, "a message or the end of the search")
        if outcome != FORM2:
            self.assertNotIn(outcome, (UP_TO_DATE, ADDED))
            app.answer(outcome)
            if app.process.poll() is None:
                app.key(FORM2, "alt+o")
            self.assert_ended(app)
            self.assertEqual(self.read("Cams.inf"), OWN)
            return
        self.add_all(app, ADDED)
        app.answer(ADDED, text=" 2 Cams was/were added")
        self.assertEqual(self.read("Cams.inf"), OWN + NEW)


class TwoRunsInOneFolder(FileTest):

    def test_both_answered_yes_add_each_record_once(self):
        # Both runs offer the same new cams; whichever adds second finds them already there.
        self.write_cams(OWN)
        url = self.serve(SERVER).url
        first, second = self.start(url), self.start(url)
        first.wait_search_ended()
        second.wait_search_ended()
        self.add_all(first, ADDED)
        first.answer(ADDED, text=" 2 Cams was/were added")
        first.answer(UP_TO_DATE)
        self.assert_ended(first)
        self.add_all(second, ADDED)
        second.answer(ADDED, text=" 0 Cams was/were added")
        second.answer(UP_TO_DATE)
        self.assert_ended(second)
        self.assertEqual(self.read("Cams.inf"), OWN + NEW)
        self.assertEqual(self.files(), ["Cams.inf"])


class KilledInTheMiddleOfAnAdd(FileTest):

    def test_next_run_settles_what_the_kill_left_and_goes_on(self):
        # So many new records that the add lasts long enough to be caught with Cams.inf
        # growing, or its journal standing beside it.
        pairs = [(b"Cam %07d" % i, b"http://cams.example/%d.jpg" % i) for i in range(400_000)]
        url = self.serve(records(*pairs)).url
        for _ in range(3):
            scratch = self.new_scratch()
            scratch.write_cams(OWN)
            journal = scratch.path("Cams.inf-journal")
            app = self.start(url, scratch=scratch)
            app.wait_search_ended(timeout=60)
            app.click_add_all(ADD_QUESTION)
            app.key(ADD_QUESTION, "Return", allowed=harness.MAIN_WINDOWS | {ADD_QUESTION})

            # Killed as soon as Cams.inf grows; failing that, while the journal stands.
            journal_seen, deadline = False, time.monotonic() + 30
            while os.path.getsize(scratch.path("Cams.inf")) == len(OWN):
                if os.path.exists(journal):
                    journal_seen = True
                elif journal_seen or time.monotonic() > deadline:
                    break
                app.running()
            os.kill(app.pid, signal.SIGKILL)
            app.process.wait(5)
            if os.path.exists(journal):
                break  # caught in the middle; otherwise the add was done before the kill came
        else:
            self.skipTest("the add was over each time before the kill reached it")

        again = self.start(url, scratch=scratch)
        text = again.box_text(INTERRUPTED)
        self.assertTrue(text.startswith("An earlier add of new cams to Cams.inf was interrupted."),
                        text)
        # Settled before the box: the old bytes, or the old bytes and whole records.
        content = scratch.read("Cams.inf")
        self.assertTrue(content.startswith(OWN))
        added = read_records(content[len(OWN):])
        self.assertEqual(records(*added), content[len(OWN):])
        self.assertIn(len(added), (0, len(pairs)))
        self.assertLessEqual(set(added), set(pairs))
        self.assertFalse(os.path.exists(journal))
        again.answer(INTERRUPTED)
        # The run goes on as usual, with what the kill left read as the own list: when the kill
        # came after the last record was written, every cam is there and none is new.
        if added:
            again.answer(UP_TO_DATE)
            self.assertEqual(again.seen, [INTERRUPTED, UP_TO_DATE])
        else:
            again.wait_search_ended(timeout=60)
            self.assertEqual(again.seen, [INTERRUPTED])
            again.key(FORM2, "alt+o")
        self.assert_ended(again, within=10)
        self.assertEqual(scratch.files(), ["Cams.inf"])


class EndedBySignal(FileTest):
    """A logout or a shutdown sends SIGTERM: the program ends as its own buttons end it."""

    def test_in_review_the_copy_goes(self):
        self.write_cams(OWN)
        app = self.start(self.serve(SERVER).url)
        app.wait_search_ended()
        os.kill(app.pid, signal.SIGTERM)
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)

    def test_during_an_add_the_add_finishes_first(self):
        pairs = [(b"Cam %07d" % i, b"http://cams.example/%d.jpg" % i) for i in range(400_000)]
        self.write_cams(OWN)
        app = self.start(self.serve(records(*pairs)).url)
        app.wait_search_ended(timeout=60)
        app.click_add_all(ADD_QUESTION)
        app.key(ADD_QUESTION, "Return", allowed=harness.MAIN_WINDOWS | {ADD_QUESTION})
        poll_until = time.monotonic() + 30
        while (not os.path.exists(self.path("Cams.inf-journal"))
               and os.path.getsize(self.path("Cams.inf")) == len(OWN)
               and time.monotonic() < poll_until):
            app.running()
        os.kill(app.pid, signal.SIGTERM)
        self.assert_ended(app, within=30)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN + records(*pairs))


class OwnListTooLarge(FileTest):

    def test_a_huge_sparse_list_is_refused_and_left_alone(self):
        with open(self.path("Cams.inf"), "wb") as f:
            f.truncate(40 << 30)
        app = self.start(self.serve(SERVER).url)
        app.answer("List not read", text="Cams.inf is 40.0 GiB (42,949,672,960 bytes), more "
                                         "than the 256 MiB this program reads.")
        self.assert_ended(app)
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(os.path.getsize(self.path("Cams.inf")), 40 << 30)


class MarkupInADetailLine(FileTest):

    def test_the_tool_tip_shows_it_as_text_and_loads_nothing(self):
        # Resting the mouse on a new cam whose detail line names /dev/zero as a picture.
        hostile = records((b"<b>Trap</b> cam", b'<img src="/dev/zero"><img src="/dev/zero">'))
        self.write_cams(OWN)
        app = self.start(self.serve(hostile).url)
        app.wait_search_ended()
        form2 = app.wait_for(FORM2)
        left, top, _, _ = self.x.geometry(form2)
        before = resident_kib(app.pid)
        windows_before = set(self.x.search("", pid=app.pid))
        # Tool tips come for the active window: the user has clicked into it before.
        self.x.xdotool("windowfocus", "--sync", str(form2))
        # The first row of the new cams' list, then a small move as a hand makes.
        self.x.xdotool("mousemove", str(left + 300), str(top + 32))
        time.sleep(0.3)
        self.x.xdotool("mousemove", str(left + 302), str(top + 33))
        harness.poll(lambda: set(self.x.search("", pid=app.pid)) - windows_before, 10.0,
                     "the tool tip to show")
        time.sleep(2)
        app.running()
        self.assertLess(resident_kib(app.pid) - before, 20 * 1024)
        app.key(FORM2, "alt+o")
        self.assert_ended(app)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class LinkedServerCopy(FileTest):

    def test_a_linked_copy_is_replaced_never_written_through(self):
        # temp.tmp left as a link of any kind: the server's list must not land in what it
        # points at, whether that is the user's own list or a file elsewhere.
        outside_dir = tempfile.mkdtemp(prefix="camupdate-e2e-outside-")
        self.addCleanup(shutil.rmtree, outside_dir, ignore_errors=True)
        outside = os.path.join(outside_dir, "notes.txt")
        kinds = {
            "symbolic link to Cams.inf": lambda: os.symlink("Cams.inf", self.path("temp.tmp")),
            "hard link to Cams.inf": lambda: os.link(self.path("Cams.inf"), self.path("temp.tmp")),
            "symbolic link elsewhere": lambda: os.symlink(outside, self.path("temp.tmp")),
        }
        for kind, make_link in kinds.items():
            with self.subTest(kind=kind):
                with open(outside, "wb") as f:
                    f.write(b"not a cam list\r\n")
                self.write_cams(OWN)
                make_link()
                content = self.add_and_read(self.start(self.serve(SERVER).url), 2)
                self.assertEqual(content, OWN + NEW)
                with open(outside, "rb") as f:
                    self.assertEqual(f.read(), b"not a cam list\r\n")


if __name__ == "__main__":
    unittest.main()
