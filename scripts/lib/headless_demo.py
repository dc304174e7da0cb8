"""Runs camupdate through a whole update on a virtual X server, as a user would: waits for the
lists window, presses "<", answers Yes, then OK on each message. Saves a picture of each window
on the way in the working folder and prints their paths. Drives the windows with the end-to-end
tests' own driver.

usage: python3 headless_demo.py PROGRAM WORKING_FOLDER LIST_FILE
The working folder holds Cams.inf; LIST_FILE is served on 127.0.0.1 as the server's list.
"""

import os
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "e2e"))

import harness  # noqa: E402
from harness import FORM1, FORM2  # noqa: E402

ADD_QUESTION = "Add all"
ADDED = "New Cams added"
UP_TO_DATE = "No new Cams available"

# Long enough to watch the wait animation, as from a distant server.
SERVER_DELAY = 1.5
# A window is mapped before it is painted; a picture taken at once can be blank.
PAINT_TIME = 0.4
# Even the plainest window shows text on its background: a flat picture missed the window.
FEWEST_COLOURS = 8


def main():
    program, workdir, list_file = sys.argv[1:4]
    with open(list_file, "rb") as f:
        body = f.read()
    x = harness.XServer()
    server = harness.ListServer(body, delay=SERVER_DELAY)
    app = None
    pictures = []

    def picture(title, name):
        window = app.wait_for(title)
        time.sleep(PAINT_TIME)
        path = os.path.join(workdir, name)
        colours = x.capture(window, path)
        if colours < FEWEST_COLOURS:
            raise AssertionError(f"the picture of {title!r} is flat ({colours} colours): {path}")
        pictures.append(path)

    try:
        app = harness.App(x, workdir, server.url, program=program)
        picture(FORM1, "1-download-window.png")
        app.wait_search_ended()
        picture(FORM2, "2-lists-window.png")
        app.click_add_all(ADD_QUESTION)
        picture(ADD_QUESTION, "3-add-all.png")
        app.answer(ADD_QUESTION)  # Yes is the default button
        picture(ADDED, "4-new-cams-added.png")
        app.answer(ADDED)
        picture(UP_TO_DATE, "5-up-to-date.png")
        app.answer(UP_TO_DATE)
        status = app.wait_exit(10)
        if app.seen != [ADD_QUESTION, ADDED, UP_TO_DATE]:
            raise AssertionError(f"the messages were {app.seen}")
    except AssertionError as error:
        print(f"The demo went wrong: {error}", file=sys.stderr)
        if app is not None:
            print(app.output(), file=sys.stderr)
        return 1
    finally:
        if app is not None:
            app.kill()
        server.stop()
        x.stop()
    print("Pictures of the windows:")
    for path in pictures:
        print(f"    {path}")
    return status


if __name__ == "__main__":
    sys.exit(main())
