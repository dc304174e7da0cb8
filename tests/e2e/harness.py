"""Runs the installed camupdate on a private X server and drives it the way a user would.

Shared by the end-to-end test files and by the headless demo (scripts/lib/headless_demo.py):
the X server, the program under test, the list servers (a well-behaved one and one that
misbehaves on purpose), the window manager's close request, which bare Xvfb has nobody to send,
and pictures of the windows.

The tests find the program through CAMUPDATE_E2E_BINARY. Every wait has a deadline, every server
listens on 127.0.0.1 only, and whatever a test starts is ended by that test.
"""

import contextlib
import http.server
import json
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

import PIL.Image
import Xlib.display
import Xlib.error
import Xlib.protocol.event
import Xlib.Xatom
from Xlib import X

# The program's own windows; anything else that shows up is a message box.
FORM1 = "Recieving List..."
FORM2 = "Lists"
FORM3 = "Searching..."
MAIN_WINDOWS = frozenset({FORM1, FORM2, FORM3})

# Controls, as offsets of their centres from the window's top-left corner (the windows have
# fixed sizes, and without a window manager there is no frame around them).
CANCEL = (152, 108)  # Form1
CANCEL_AREA = (120, 96, 65, 25)  # Form1's Cancel button: left, top, width, height
ADD_ALL = (244, 36)  # Form2, the "<" button
OK = (444, 372)  # Form2

# The program gives up on a silent server after this long; fault cases wait it out.
STALL_TIMEOUT = 30.0

LIST_PATH = "/list.txt"

# The test set of certificates that the build made (tests/support/make-certs): the authority
# that signed them, and each certificate with its key beside it as NAME.pem and NAME-key.pem.
TLS_DIR = os.environ.get("CAMUPDATE_TEST_TLS_DIR", "")
TEST_AUTHORITY = os.path.join(TLS_DIR, "ca.pem")

# AT-SPI's Python bindings are Debian's, for Debian's Python, whatever python3 runs the tests.
ATSPI_PYTHON = "/usr/bin/python3"
ATSPI_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_client.py")


def binary():
    path = os.environ.get("CAMUPDATE_E2E_BINARY", "")
    if not path or not os.access(path, os.X_OK):
        raise unittest.SkipTest(f"CAMUPDATE_E2E_BINARY does not name the installed program: {path!r}")
    return path


def records(*pairs):
    """The bytes of cam-list records: each key line followed by its detail line."""
    return b"".join(key + b"\r\n" + detail + b"\r\n" for key, detail in pairs)


def read_records(content):
    """The records of a cam list as a reader sees them, as (key, detail) pairs: a key line,
    then its detail line; empty key lines are skipped. Line ends are CR LF or a lone CR."""
    lines = content.replace(b"\r\n", b"\r").split(b"\r")
    if lines and lines[-1] == b"":
        lines.pop()
    pairs, i = [], 0
    while i < len(lines):
        if lines[i] == b"":
            i += 1
            continue
        pairs.append((lines[i], lines[i + 1] if i + 1 < len(lines) else b""))
        i += 2
    return pairs


def poll(condition, timeout, what, interval=0.05):
    """Calls condition until it gives something true, and returns that; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


# --------------------------------------------------------------------------------------------
# The X server


class _LoggedProcess:
    """A helper process whose output goes to self.log, shown when it fails."""

    def _log(self):
        self.log.seek(0)
        return ":\n" + self.log.read().decode(errors="replace")


class XServer(_LoggedProcess):
    """One Xvfb for a whole test run, on a display number it picks itself."""

    def __init__(self):
        for tool in ("Xvfb", "xdotool"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} is not installed")
        self.log = tempfile.TemporaryFile()
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=self.log,
                stderr=subprocess.STDOUT, start_new_session=True)
        finally:
            os.close(write_end)
        try:
            number = b""
            deadline = time.monotonic() + 15
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise RuntimeError("Xvfb did not report its display in time" + self._log())
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise RuntimeError("Xvfb ended before reporting its display" + self._log())
                number += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)
        self.number = int(number)
        self.display = f":{self.number}"

    def environment(self):
        return {"DISPLAY": self.display, "QT_QPA_PLATFORM": "xcb"}

    def crash(self):
        """Ends the X server at once, as a crash or a dropped ssh -X does: its clients find
        their connection broken, with no word before."""
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(5)

    def stop(self):
        if self.log.closed:
            return
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.log.close()

    def xdotool(self, *args, check=True):
        done = subprocess.run(["xdotool", *args], env={"DISPLAY": self.display, "PATH": os.environ["PATH"]},
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
        if check and done.returncode != 0:
            raise AssertionError(f"xdotool {' '.join(args)} failed: {done.stderr.strip()}")
        return done

    @contextlib.contextmanager
    def _connection(self):
        """A connection of its own for each question: a test may end this server at any time.
        An X error fails as any other check here does."""
        x = Xlib.display.Display(self.display)
        try:
            yield x
        except Xlib.error.XError as error:
            raise AssertionError(f"X error: {error}") from None
        finally:
            x.close()

    def windows(self, pid=None, visible=True):
        """The windows, of the process if given, shown ones only unless told otherwise, as
        (id, title) pairs in the order xdotool search gives them."""
        found = []
        with self._connection() as x:
            pid_atom = x.intern_atom("_NET_WM_PID")

            def walk(parent):
                for window in parent.query_tree().children:
                    try:  # a window may go while we look
                        owner = window.get_full_property(pid_atom, X.AnyPropertyType)
                        if ((not visible or window.get_attributes().map_state == X.IsViewable)
                                and (pid is None or (owner and owner.value[0] == pid))):
                            found.append((window.id, _title(window)))
                        walk(window)
                    except Xlib.error.BadWindow:
                        pass

            walk(x.screen().root)
        return found

    def search(self, pattern, pid=None, visible=True):
        """The ids of the windows whose title matches the regular expression, whatever the
        case, as xdotool's search matched it (see windows)."""
        return [window for window, title in self.windows(pid, visible)
                if re.search(pattern, title, re.IGNORECASE)]

    def name(self, window):
        """A window's title; None when it is gone."""
        try:
            with self._connection() as x:
                return _title(x.create_resource_object("window", window))
        except AssertionError:
            return None

    def geometry(self, window):
        """Where a window's inside lies on the screen: left, top, width, height."""
        with self._connection() as x:
            window = x.create_resource_object("window", window)
            size = window.get_geometry()
            place = x.screen().root.translate_coords(window, 0, 0)
        return place.x, place.y, size.width, size.height

    def send_delete_window(self, window):
        """Asks a window to close as a window manager does when its close button is clicked:
        a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW. xdotool's windowclose would
        destroy the window instead, and wmctrl needs a window manager to act for it."""
        with self._connection() as x:
            window = x.create_resource_object("window", window)
            data = (32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])
            failed = Xlib.error.CatchError()
            window.send_event(Xlib.protocol.event.ClientMessage(
                window=window, client_type=x.intern_atom("WM_PROTOCOLS"), data=data),
                onerror=failed)
            x.sync()
            if failed.get_error():
                raise AssertionError(f"X error: {failed.get_error()}")

    def icon_sizes(self, window):
        """The sizes of the icons a window offers the desktop (_NET_WM_ICON), as (width,
        height) pairs: each icon is its width, its height, then that many ARGB pixels."""
        with self._connection() as x:
            icons = x.create_resource_object("window", window).get_full_property(
                x.intern_atom("_NET_WM_ICON"), X.AnyPropertyType)
        values = icons.value if icons else []
        sizes, i = [], 0
        while i + 2 <= len(values):
            width, height = values[i], values[i + 1]
            sizes.append((width, height))
            i += 2 + width * height
        return sizes

    def picture(self, window, area=None):
        """What the screen shows of a window, or of an area of it (left, top, width, height
        from its top-left corner), whatever lies on top included, as a user sees it."""
        left, top, width, height = self.geometry(window)
        x0, y0, width, height = area or (0, 0, width, height)
        with self._connection() as x:
            image = x.screen().root.get_image(left + x0, top + y0, width, height, X.ZPixmap,
                                              0xFFFFFFFF)
        # Our Xvfb's screen is 24-bit TrueColor, kept 32 bits a pixel, blue first.
        if image.depth != 24:
            raise AssertionError(f"the screen has depth {image.depth}, not 24")
        return PIL.Image.frombytes("RGB", (width, height), image.data, "raw", "BGRX")

    def capture(self, window, path):
        """Saves the picture of a window as a PNG and returns how many different colours it
        holds."""
        picture = self.picture(window)
        picture.save(path)
        return len(picture.getcolors(picture.width * picture.height))

    def pixels(self, window, area):
        """The picture of an area of a window as red, green, blue bytes."""
        return self.picture(window, area).tobytes()

    def selection_text(self, selection="PRIMARY", timeout=2.0):
        """A selection's text (PRIMARY, CLIPBOARD), or None if nobody holds it: its owner
        puts it on a window of ours as UTF-8 and tells us."""
        with self._connection() as x:
            window = _input_window(x)
            target = x.intern_atom("CAMUPDATE_E2E_SELECTION")
            window.convert_selection(x.intern_atom(selection), x.intern_atom("UTF8_STRING"),
                                     target, X.CurrentTime)
            x.flush()
            deadline = time.monotonic() + timeout
            while True:
                while x.pending_events():
                    event = x.next_event()
                    if event.type != X.SelectionNotify:
                        continue
                    if event.property == X.NONE:
                        return None  # no owner, or it could not convert
                    text = window.get_full_property(target, X.AnyPropertyType, sizehint=16384)
                    return text.value.decode("utf-8", errors="replace") if text else ""
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([x.fileno()], [], [], left)[0]:
                    raise AssertionError(f"the {selection} selection was not given in time")

    def clear_selection(self, selection="PRIMARY"):
        """Takes the selection and lets it go with our connection, so no old text is left."""
        with self._connection() as x:
            _input_window(x).set_selection_owner(x.intern_atom(selection), X.CurrentTime)
            x.sync()


def _title(window):
    """A window's title: WM_NAME, which xdotool's search matches too (a tool tip has an empty
    one); empty if it has none."""
    title = window.get_full_text_property(Xlib.Xatom.WM_NAME) or ""
    return title if isinstance(title, str) else title.decode(errors="replace")


def _input_window(x):
    """An input-only 1x1 window, gone with the connection."""
    return x.screen().root.create_window(0, 0, 1, 1, 0, 0, X.InputOnly, X.CopyFromParent)


# --------------------------------------------------------------------------------------------
# A Wayland compositor


class Weston(_LoggedProcess):
    """One headless Weston for a whole test run, as a Wayland desktop has. Its socket lies in a
    private runtime folder of its own; the program reaches it by the socket's full path."""

    def __init__(self):
        if shutil.which("weston") is None:
            raise unittest.SkipTest("weston is not installed")
        self.runtime = tempfile.mkdtemp(prefix="camupdate-e2e-wayland-")  # mode 0700
        self.socket = os.path.join(self.runtime, "wayland-e2e")
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--use-pixman", "--no-config",
             "--idle-time=0", "--width=1024", "--height=768", "--socket=wayland-e2e"],
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": self.runtime,
                 "HOME": self.runtime},
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            start_new_session=True)
        try:
            poll(lambda: self._ready(), 15.0, "weston's socket")
        except BaseException as error:
            self.stop()
            raise RuntimeError(f"{error}{self._log()}") from None

    def _ready(self):
        if self.process.poll() is not None:
            raise RuntimeError(f"weston ended with status {self.process.returncode}")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            return probe.connect_ex(self.socket) == 0

    def environment(self):
        return {"WAYLAND_DISPLAY": self.socket, "QT_QPA_PLATFORM": "wayland"}

    def crash(self):
        """Ends the compositor and its helpers at once, as a crash does."""
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(5)

    def stop(self):
        if self.log.closed:
            return
        # Weston's shell and keyboard helpers are in its process group.
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(5)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(5)
        self.log.close()
        shutil.rmtree(self.runtime, ignore_errors=True)


# --------------------------------------------------------------------------------------------
# The program under test


class App:
    """One run of the installed program in a scratch folder, seen through its windows."""

    def __init__(self, x, workdir, url, *, wrapper=(), user=None, program=None,
                 window_pid_is_own=True, accessible=False, environment=None):
        self.x = x
        self.workdir = workdir
        self.log = tempfile.TemporaryFile()
        self.seen = []  # titles of message boxes, in the order they appeared
        self._last_triple_click = 0.0
        home = tempfile.mkdtemp(prefix="camupdate-e2e-home-")
        self._home = home
        if user is not None:
            os.chown(home, user, user)
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home,
            "XDG_RUNTIME_DIR": home,
            **x.environment(),
            "LANG": "C.UTF-8",
        }
        # A session bus of its own, as a desktop gives each login: without one, libdbus would
        # autolaunch a bus (where dbus-x11 is installed) that outlives the program.
        # Not told the display: the accessibility bus would leave its address on the shared X
        # server's root window, where the next run of the program would find a stale one.
        self.bus = SessionBus({k: v for k, v in env.items() if k != "DISPLAY"}, user)
        env["DBUS_SESSION_BUS_ADDRESS"] = self.bus.address
        env["CAMUPDATE_LIST_URL"] = url
        env.update(environment or {})
        if accessible:
            # As when a screen reader runs: Qt's bridge exposes the windows on the bus.
            env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        self.process = subprocess.Popen(
            [*wrapper, program or binary()], cwd=workdir, env=env, stdin=subprocess.DEVNULL,
            stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        self.pid = self.process.pid
        # Wrappers that exec keep the pid the windows carry; a shell that waits does not.
        self.window_pid = self.pid if window_pid_is_own else None

    def output(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    # -- windows

    def windows(self):
        """The program's visible windows as (id, title) pairs."""
        return [(window, title) for window, title in self.x.windows(pid=self.window_pid) if title]

    def _note(self, titles):
        for title in titles:
            if title not in MAIN_WINDOWS and title not in self.seen:
                self.seen.append(title)

    def wait_for(self, title, timeout=10.0, allowed=MAIN_WINDOWS):
        """Waits until a window with this title is visible and returns its id. Fails at once if
        the program ends or shows a window that is neither this one nor an allowed one."""

        def look():
            current = self.windows()
            self._note(t for _, t in current)
            unexpected = [t for _, t in current if t != title and t not in allowed]
            if unexpected:
                raise AssertionError(f"waiting for {title!r}, the program shows {unexpected}")
            matching = [w for w, t in current if t == title]
            if matching:
                return matching[0]
            self.running()
            return None

        return poll(look, timeout, f"window {title!r}")

    def wait_gone(self, title, timeout=10.0):
        poll(lambda: all(t != title for _, t in self.windows()), timeout, f"{title!r} to go")

    def is_visible(self, title):
        return any(t == title for _, t in self.windows())

    def was_shown(self, title):
        """True once the window exists at all, shown now or before (hidden windows are kept)."""
        return any(self.x.name(w) == title for w in self.x.search(".", pid=self.window_pid, visible=False))

    def icon_sizes(self):
        """The icons of each of the program's own windows, shown or not, by title."""
        return {self.x.name(w): self.x.icon_sizes(w)
                for w in self.x.search(".", pid=self.window_pid, visible=False)
                if self.x.name(w) in MAIN_WINDOWS}

    def running(self):
        """Fails if the program has ended: a wait for something it should still do is over."""
        if self.process.poll() is not None:
            raise AssertionError(f"the program ended (status {self.process.returncode})\n"
                                 + self.output())
        return True

    def wait_search_ended(self, timeout=20.0):
        """The search window is shown once; when it is hidden again the search has ended."""
        poll(lambda: self.running() and self.was_shown(FORM3) and not self.is_visible(FORM3),
             timeout, "the search to end")

    def click(self, title, offset):
        window = self.wait_for(title, allowed=MAIN_WINDOWS)
        left, top, _, _ = self.x.geometry(window)
        self.x.xdotool("windowraise", str(window))
        self.x.xdotool("mousemove", str(left + offset[0]), str(top + offset[1]), "click", "1")

    def click_add_all(self, question):
        """Clicks "<" until the question comes. The button is enabled a timer tick after the
        search window goes; a click that comes sooner is lost, as it would be for a person,
        who would then click again."""
        for _ in range(3):
            self.click(FORM2, ADD_ALL)
            try:
                poll(lambda: self.running() and self.is_visible(question), 2.0, question)
                return
            except AssertionError:
                continue
        self.wait_for(question, timeout=0.1)

    # The height of a line of a message box's text, in the font the program's boxes use here.
    BOX_LINE = 15

    def box_text(self, box, line=0):
        """The paragraph of a message box's text on the given line (0 for the first), selected
        the way a user copies it: a triple click on that line, which puts the paragraph in the
        PRIMARY selection."""
        window = self.wait_for(box, allowed=MAIN_WINDOWS | {box})
        left, top, width, _ = self.x.geometry(window)
        # Another program's box may lie on top in the same place; clicks go to the top one.
        self.x.xdotool("windowraise", str(window))
        self.x.clear_selection()
        # Clicks closer than the double-click time would join the last triple click.
        time.sleep(max(0.0, self._last_triple_click + 0.5 - time.monotonic()))
        self.x.xdotool("mousemove", str(left + width // 2), str(top + 18 + line * self.BOX_LINE),
                       "click", "--repeat", "3", "--delay", "60", "1")
        self._last_triple_click = time.monotonic()
        text = poll(self.x.selection_text, 5.0, f"the text of {box!r} to be selected")
        return text.rstrip("\n")

    def key(self, title, keys, allowed=MAIN_WINDOWS):
        """Gives the window the keyboard focus, then types: keys go where the focus is, and
        without a window manager nobody else moves it."""
        window = self.wait_for(title, allowed=allowed)
        self.x.xdotool("windowfocus", "--sync", str(window))
        self.x.xdotool("key", keys)

    def close(self, title, allowed=MAIN_WINDOWS):
        self.x.send_delete_window(self.wait_for(title, allowed=allowed))

    def answer(self, box, keys="Return", timeout=10.0, text=None):
        """Waits for a message box, checks the first paragraph of its text if given, and
        answers it from the keyboard."""
        self.wait_for(box, timeout=timeout)
        if text is not None:
            shown = self.box_text(box)
            if shown != text:
                raise AssertionError(f"{box!r} says {shown!r}, not {text!r}")
        self.key(box, keys, allowed=MAIN_WINDOWS | {box})
        self.wait_gone(box)

    # -- holding the program still
    #
    # The phases before and during the search last a fraction of a second, less than a person
    # needs to close a window in them. To deliver a close in such a phase, the test stops the
    # program (SIGSTOP), lets it run a couple of milliseconds at a time until it is in that
    # phase, sends the close while it is stopped, and lets it go on: the close waits in its
    # queue and is handled within a time slice or two, so the phase must last longer than that.

    def pause(self):
        os.kill(self.pid, signal.SIGSTOP)
        poll(lambda: self._state() in ("T", "t", None), 2.0, "the program to stop", 0.001)

    def resume(self):
        os.kill(self.pid, signal.SIGCONT)

    def _state(self):
        try:
            with open(f"/proc/{self.pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            return None

    def pause_when(self, condition, timeout=10.0, step=0.002):
        """Stops the program at a moment when condition() holds; the caller resumes it."""
        deadline = time.monotonic() + timeout
        self.pause()
        while not condition():
            self.running()
            if time.monotonic() >= deadline:
                self.resume()
                raise AssertionError(f"the program never reached the phase in {timeout} s")
            self.resume()
            time.sleep(step)
            self.pause()

    # -- the end

    def wait_exit(self, timeout=5.0):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program did not end within {timeout} s; it shows "
                                 f"{[t for _, t in self.windows()]}") from None

    def leftovers(self):
        """Processes still in the program's process group (it started its own)."""
        try:
            os.killpg(self.pid, 0)
        except ProcessLookupError:
            return False
        return True

    def kill(self):
        if self.process.poll() is None or self.leftovers():
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            pass
        self.log.close()
        self.bus.stop()
        shutil.rmtree(self._home, ignore_errors=True)

    # -- what a screen reader sees (needs accessible=True)

    def accessible_windows(self):
        """The program's windows as AT-SPI shows them: dicts of role, name, showing, enabled,
        actions, text and children, each child alike."""
        done = self._atspi("tree", str(self.pid))
        return json.loads(done.stdout)

    def accessible_window(self, title, timeout=10.0):
        """The showing window of this title, as accessible_windows() gives it."""

        def look():
            self.running()
            found = [w for w in self.accessible_windows() if w["name"] == title and w["showing"]]
            return found[0] if found else None

        return poll(look, timeout, f"window {title!r} over AT-SPI", interval=0.2)

    def press(self, window, control, timeout=10.0):
        """Runs the first action of the named control in the named window, as a screen
        reader user does; waits for both to be there."""
        poll(lambda: self.running() and self._atspi("press", str(self.pid), window, control,
                                                     check=False).returncode == 0,
             timeout, f"{control!r} in {window!r} to be pressed", interval=0.2)

    def _atspi(self, *args, check=True):
        done = subprocess.run([ATSPI_PYTHON, "-B", ATSPI_CLIENT, *args],
                              env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                                   "HOME": self._home, "XDG_RUNTIME_DIR": self._home,
                                   "DBUS_SESSION_BUS_ADDRESS": self.bus.address},
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
        if check and done.returncode != 0:
            raise AssertionError(f"atspi_client {' '.join(args)}: status {done.returncode}\n"
                                 + done.stderr)
        return done


def descendants(node):
    """Every node under an accessible node, depth first, in the order of its children."""
    for child in node["children"]:
        yield child
        yield from descendants(child)


class WaylandApp(App):
    """The program on a Wayland compositor, seen and driven through AT-SPI as a screen reader
    user would: Wayland lets no client find, read or click another program's windows, so the
    X tools have nothing to work on. Offers the same waits and answers as App."""

    def __init__(self, compositor, workdir, url, **options):
        super().__init__(compositor, workdir, url, accessible=True, **options)

    def windows(self):
        # A window is known by its title here: Wayland gives clients no window ids.
        return [(w["name"], w["name"]) for w in self.accessible_windows() if w["showing"]]

    def click_add_all(self, question):
        """Presses "<" until the question comes: as with a click, a press before the button
        is enabled does nothing."""
        for _ in range(3):
            self.press(FORM2, "Add new cams")
            try:
                poll(lambda: self.running() and self.is_visible(question), 2.0, question, 0.2)
                return
            except AssertionError:
                continue
        self.wait_for(question, timeout=0.1)

    def box_text(self, box, line=0):
        """A paragraph of a message box's text (0 for the first), as a screen reader reads
        it."""
        labels = [node["name"] for node in descendants(self.accessible_window(box))
                  if node["role"] == "label" and node["name"]]
        if not labels:
            raise AssertionError(f"{box!r} has no text a screen reader can read")
        return labels[0].split("\n")[line]

    def answer(self, box, button="OK", timeout=10.0, text=None):
        """Waits for a message box, checks the first paragraph of its text if given, and
        presses one of its buttons."""
        self.wait_for(box, timeout=timeout)
        if text is not None:
            shown = self.box_text(box)
            if shown != text:
                raise AssertionError(f"{box!r} says {shown!r}, not {text!r}")
        self.press(box, button)
        self.wait_gone(box)


class SessionBus(_LoggedProcess):
    """A D-Bus session bus for one run of the program, in a process group of its own with
    whatever it starts on demand (the accessibility bus and its registry), all ended together."""

    def __init__(self, env, user=None):
        if shutil.which("dbus-daemon") is None:
            raise unittest.SkipTest("dbus-daemon is not installed")
        as_user = [] if user is None else ["setpriv", f"--reuid={user}", f"--regid={user}",
                                           "--clear-groups"]
        self.log = tempfile.TemporaryFile()
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                [*as_user, "dbus-daemon", "--session", "--nofork", "--nopidfile",
                 f"--print-address={write_end}"],
                pass_fds=(write_end,), env=env, stdin=subprocess.DEVNULL, stdout=self.log,
                stderr=subprocess.STDOUT, start_new_session=True)
        finally:
            os.close(write_end)
        try:
            self.address = _read_line(read_end, 10, "dbus-daemon", self._log).strip()
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)

    def stop(self):
        """Ends the bus and everything it started; fails if any of it will not go."""
        if self.log.closed:
            return
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.process.wait(5)
                poll(lambda: not _group_alive(self.process.pid), 5.0, "the session bus to go")
                break
            except (subprocess.TimeoutExpired, AssertionError):
                if sig == signal.SIGKILL:
                    raise
        self.log.close()


def _group_alive(group):
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    return True


def _read_line(fd, timeout, who, log):
    """The first line a starting server writes to fd, within timeout seconds."""
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise RuntimeError(f"{who} did not report in time" + log())
        chunk = os.read(fd, 256)
        if not chunk:
            raise RuntimeError(f"{who} ended before reporting" + log())
        data += chunk
    return data.decode()


# --------------------------------------------------------------------------------------------
# List servers


class ListServer:
    """A plain HTTP server on 127.0.0.1 that serves one list at /list.txt, after a delay if
    asked for one, as a distant server would; HTTPS with a certificate of the test set if one
    is named."""

    def __init__(self, body, delay=0.0, certificate=None):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            timeout = 10
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                server.requests += 1
                if self.path != LIST_PATH:
                    self.send_error(404)
                    return
                time.sleep(delay)
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.requests = 0
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        scheme = "http"
        if certificate is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(TLS_DIR, certificate + ".pem"),
                                    os.path.join(TLS_DIR, certificate + "-key.pem"))
            # The handshake happens on the connection's own thread, so a client that refuses
            # the certificate holds nobody else up.
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True,
                                                    do_handshake_on_connect=False)
            scheme = "https"
            # A client that refused the certificate is what some tests want: not an error.
            self.httpd.handle_error = lambda request, address: None
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()
        self.url = f"{scheme}://127.0.0.1:{self.httpd.server_address[1]}{LIST_PATH}"

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(5)


class RawServer:
    """A TCP server on 127.0.0.1 that answers each request with a handler of its own making,
    to misbehave in ways http.server will not: stall, drop, loop, flood, or not speak HTTP.

    handler(connection, request_head, server) writes whatever it likes; the connection is
    closed when it returns. Handlers that wait use server.stopping, so stop() ends them."""

    LONGEST_WAIT = 90.0

    def __init__(self, handler):
        self.handler = handler
        self.stopping = threading.Event()
        self.requests = []  # request lines, in order
        self.lock = threading.Lock()
        self.connections = []
        self.threads = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.settimeout(0.05)
        self.port = self.listener.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}{LIST_PATH}"
        self.acceptor = threading.Thread(target=self._accept)
        self.acceptor.start()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            connection.settimeout(10)
            thread = threading.Thread(target=self._serve, args=(connection,), daemon=True)
            with self.lock:
                self.connections.append(connection)
                self.threads.append(thread)
            thread.start()

    def _serve(self, connection):
        try:
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 65536:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                head += chunk
            with self.lock:
                self.requests.append(head.split(b"\r\n", 1)[0].decode("latin-1"))
            self.handler(connection, head, self)
        except OSError:
            pass  # the program hung up: that is what several cases want
        finally:
            connection.close()

    def wait(self, seconds=LONGEST_WAIT):
        """Holds a connection open without a word, until stop() or the longest wait."""
        self.stopping.wait(min(seconds, self.LONGEST_WAIT))

    def request_count(self):
        with self.lock:
            return len(self.requests)

    def stop(self):
        self.stopping.set()
        self.listener.close()
        self.acceptor.join(5)
        with self.lock:
            connections, threads = list(self.connections), list(self.threads)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in threads:
            thread.join(5)


def closed_port():
    """A local port nobody listens on, as (port, socket): the socket holds the port without
    listening, so connections are refused and no other server can take it meanwhile."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    return holder.getsockname()[1], holder


# --------------------------------------------------------------------------------------------
# The test base


_x_server = None


def start_x():
    global _x_server
    binary()  # no program, no run: skip before starting anything
    _x_server = XServer()


def stop_x():
    global _x_server
    if _x_server is not None:
        _x_server.stop()
        _x_server = None


_weston = None


def start_wayland():
    """For a module whose programs run on Wayland rather than X."""
    global _weston
    binary()
    _weston = Weston()


def stop_wayland():
    global _weston
    if _weston is not None:
        _weston.stop()
        _weston = None


class Scratch:
    """A scratch working folder for one run of the program."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="camupdate-e2e-")

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_cams(self, content):
        with open(self.path("Cams.inf"), "wb") as f:
            f.write(content)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def files(self):
        return sorted(os.listdir(self.dir))

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class E2ETest(unittest.TestCase):
    """Scratch folders, and cleanup of every program and server a test started. The first
    scratch folder is the test's own; its helpers are at hand as the test's methods."""

    maxDiff = None

    def setUp(self):
        if _x_server is None and _weston is None:
            raise unittest.SkipTest("no X server and no Wayland compositor")
        self.x = _x_server or _weston
        self.scratch = self.new_scratch()
        self.dir = self.scratch.dir
        self.path = self.scratch.path
        self.write_cams = self.scratch.write_cams
        self.read = self.scratch.read
        self.files = self.scratch.files

    def new_scratch(self):
        scratch = Scratch()
        self.addCleanup(scratch.remove)
        return scratch

    def serve(self, body, **options):
        server = ListServer(body, **options)
        self.addCleanup(server.stop)
        return server

    def serve_raw(self, handler):
        server = RawServer(handler)
        self.addCleanup(server.stop)
        return server

    def own_x(self):
        """An X server of this test's own, for a test that ends it; stopped with the test."""
        server = XServer()
        self.addCleanup(server.stop)
        return server

    def own_wayland(self):
        """A Wayland compositor of this test's own, for a test that ends it."""
        compositor = Weston()
        self.addCleanup(compositor.stop)
        return compositor

    def start(self, url, scratch=None, x=None, **options):
        x = x or self.x
        kind = WaylandApp if isinstance(x, Weston) else App
        app = kind(x, (scratch or self.scratch).dir, url, **options)
        # Cleanups run last-in first-out: the program goes before the server it talks to.
        self.addCleanup(app.kill)
        return app

    def assert_ended(self, app, within=5.0):
        """The program ended by itself with status 0 and left no process behind."""
        status = app.wait_exit(within)
        self.assertEqual(status, 0, app.output())
        poll(lambda: not app.leftovers(), 2.0, "the program's processes to go")
