"""Reads one program's accessible tree over AT-SPI, or presses one of its controls, as a screen
reader would. Run by harness.py with the program's own session bus in DBUS_SESSION_BUS_ADDRESS:
AT-SPI keeps one bus connection per process, so each look at another program's bus is a new
process.

    atspi_client.py tree PID             prints the program's windows as JSON
    atspi_client.py press PID WINDOW CONTROL   runs the control's first action (Press, Click)

Exit status 0 on success, 3 when the program has no such window or control (yet).
"""

import json
import sys
import time

import pyatspi
from gi.repository import GLib

NOT_FOUND = 3
# A bound on every call, so a program that hangs cannot hold a test up past its deadline.
pyatspi.setTimeout(2000, 5000)


def application(pid):
    # A new client learns the desktop's applications a moment after it first asks.
    desktop = pyatspi.Registry.getDesktop(0)
    deadline = time.monotonic() + 2.0
    while True:
        for index in range(desktop.childCount):
            app = desktop.getChildAtIndex(index)
            if app is not None and app.get_process_id() == pid:
                return app
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.05)


def describe(node, depth=0):
    """A node and its children as a dict, or None for a node that went while it was read (a
    message box that closed, say)."""
    try:
        return _describe(node, depth)
    except (AttributeError, GLib.GError, NotImplementedError):
        # pyatspi says NotImplementedError for an interface of a node that has just gone.
        return None


def _describe(node, depth):
    states = node.getState()
    entry = {
        "role": node.getRoleName(),
        "name": node.name or "",
        "showing": states.contains(pyatspi.STATE_SHOWING),
        "enabled": states.contains(pyatspi.STATE_SENSITIVE),
        "actions": [],
        "text": "",
        "children": [],
    }
    action = node.queryAction() if "Action" in pyatspi.listInterfaces(node) else None
    if action is not None:
        entry["actions"] = [action.getName(i) for i in range(action.nActions)]
    if "Text" in pyatspi.listInterfaces(node):
        text = node.queryText()
        entry["text"] = text.getText(0, min(text.characterCount, 4096))
    if depth < 8:
        for index in range(node.childCount):
            child = describe(node.getChildAtIndex(index), depth + 1)
            if child is not None:
                entry["children"].append(child)
    return entry


def find(node, name):
    if (node.name or "") == name and "Action" in pyatspi.listInterfaces(node):
        return node
    for index in range(node.childCount):
        child = node.getChildAtIndex(index)
        found = find(child, name) if child is not None else None
        if found is not None:
            return found
    return None


def main(argv):
    app = application(int(argv[2]))
    if argv[1] == "tree":
        try:
            windows = [] if app is None else [
                describe(app.getChildAtIndex(i)) for i in range(app.childCount)]
        except GLib.GError:
            windows = []  # the program ended meanwhile
        json.dump([window for window in windows if window is not None], sys.stdout)
        return 0
    if argv[1] == "press" and app is not None:
        for index in range(app.childCount):
            window = app.getChildAtIndex(index)
            if window is None or window.name != argv[3]:
                continue
            control = find(window, argv[4])
            if control is not None:
                return 0 if control.queryAction().doAction(0) else 1
    return NOT_FOUND


if __name__ == "__main__":
    sys.exit(main(sys.argv))
