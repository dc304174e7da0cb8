"""Servers that fail the program: error pages, silence, dropped connections, endless redirects,
floods, heads that never end, encoded bodies, sign-in pages, certificates that are not trusted and
bytes that are not HTTP. Each must end in "No list received" with the own list untouched; an error
page, a web page or half a list must never pass for the server's list. And a site that moved to
HTTPS is followed there."""

import sys

sys.dont_write_bytecode = True  # keep the source tree free of caches

import gzip  # noqa: E402
import socket  # noqa: E402
import struct  # noqa: E402
import time  # noqa: E402
import unittest  # noqa: E402

import harness  # noqa: E402
from harness import STALL_TIMEOUT, TEST_AUTHORITY, poll, records  # noqa: E402

OWN = records((b"Harbour", b"http://cams.example/harbour.jpg"))
# What the failing servers send where a body goes: a list with a cam the user does not have,
# so a program that took it for the server's list would offer a new cam instead of failing.
BAIT = records((b"Harbour", b"http://cams.example/harbour.jpg"),
               *((b"Bait %03d" % i, b"http://bait.example/%d.jpg" % i) for i in range(200)))

NO_LIST = "No list received"
UP_TO_DATE = "No new Cams available"
ADD_QUESTION = "Add all"
ADDED = "New Cams added"
MAX_BODY = 64 * 1024 * 1024
MAX_REDIRECTS = 5


def setUpModule():
    harness.start_x()


def tearDownModule():
    harness.stop_x()


def head(status, *fields):
    # The server closes every connection after one answer, and says so.
    fields += ("Connection: close",)
    return (f"HTTP/1.1 {status}\r\n" + "".join(f"{f}\r\n" for f in fields) + "\r\n").encode()


def error_page(status):
    def handler(connection, request, server):
        connection.sendall(head(status, "Content-Type: text/plain",
                                f"Content-Length: {len(BAIT)}") + BAIT)
    return handler


def stall_before_head(connection, request, server):
    server.wait()


def stall_in_body(connection, request, server):
    connection.sendall(head("200 OK", f"Content-Length: {2 * len(BAIT)}") + BAIT)
    server.wait()


def drop_mid_body(connection, request, server):
    connection.sendall(head("200 OK", f"Content-Length: {2 * len(BAIT)}") + BAIT)


def reset_mid_body(connection, request, server):
    # As drop_mid_body, but the connection is reset rather than closed.
    connection.sendall(head("200 OK", f"Content-Length: {2 * len(BAIT)}") + BAIT)
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def drop_mid_chunks(connection, request, server):
    # A chunked body ends with a chunk of size 0; this one never does.
    connection.sendall(head("200 OK", "Transfer-Encoding: chunked") + b"%x\r\n" % len(BAIT) + BAIT
                       + b"\r\n")


def redirect_loop(connection, request, server):
    # /list.txt leads to /hop1, /hop1 to /hop2, and so on without end.
    path = request.split(b" ", 2)[1].decode()
    hop = int(path[4:]) + 1 if path.startswith("/hop") else 1
    connection.sendall(head("302 Found", f"Location: /hop{hop}", "Content-Length: 0"))


def short_redirect_chain(connection, request, server):
    path = request.split(b" ", 2)[1]
    if path == b"/list.txt":
        connection.sendall(head("301 Moved Permanently", "Location: /moved", "Content-Length: 0"))
    elif path == b"/moved":
        connection.sendall(head("307 Temporary Redirect", "Location: /here/list.txt",
                                "Content-Length: 0"))
    else:
        connection.sendall(head("200 OK", f"Content-Length: {len(OWN)}") + OWN)


def flood(connection, announce):
    """Streams a list a bit over the size limit, made as it goes, until the program hangs up."""
    block = b"".join(b"Flood %08d\r\nhttp://flood.example/%d.jpg\r\n" % (i, i) for i in range(2000))
    total = MAX_BODY + 64 * 1024
    if announce:
        connection.sendall(head("200 OK", f"Content-Length: {total}"))
    else:
        connection.sendall(head("200 OK", "Transfer-Encoding: chunked"))
    sent = 0
    while sent < total:
        piece = block[: total - sent]
        connection.sendall(piece if announce else b"%x\r\n%s\r\n" % (len(piece), piece))
        sent += len(piece)
    if not announce:
        connection.sendall(b"0\r\n\r\n")


def stream(connection, server, start, piece, total):
    """Sends start, then piece after piece up to total bytes, and notes on the server how much
    the system took and whether the program hung up before the end."""
    server.sent, server.hung_up = 0, False
    try:
        connection.sendall(start)
        server.sent = len(start)
        while server.sent < total and not server.stopping.is_set():
            connection.sendall(piece)
            server.sent += len(piece)
    except (BrokenPipeError, ConnectionResetError):
        server.hung_up = True


def endless_head(connection, request, server):
    stream(connection, server, b"HTTP/1.1 200 OK\r\n", b"X-Padding: " + b"p" * 1000 + b"\r\n",
           256 * 1024 * 1024)


def large_error_page(connection, request, server):
    size = 60 * 1024 * 1024
    filler = (BAIT * (65536 // len(BAIT) + 1))[:65536]
    stream(connection, server, head("404 Not Found", f"Content-Length: {size}"), filler, size)


def answer_with(field, body):
    """A 200 with one more header field, such as a coding or a type."""
    def handler(connection, request, server):
        connection.sendall(head("200 OK", field, f"Content-Length: {len(body)}") + body)
    handler.__name__ = f"answer_with_{field}"
    return handler


def packed(coding, body):
    return answer_with(f"Content-Encoding: {coding}", body)


# The bait list, in a coding the program did not ask for: taken as it came, it would be noise.
compress_encoded = packed("compress", gzip.compress(BAIT))


def page(content_type, body):
    """A hotspot's answer to every request: its sign-in page, with a 200."""
    return answer_with(f"Content-Type: {content_type}", body)


SIGN_IN = (b"<!DOCTYPE html>\r\n<html>\r\n<head><title>Free Wi-Fi</title></head>\r\n<body>\r\n"
           b"<form action=\"/login\" method=\"post\">\r\n<input name=\"room\">\r\n</form>\r\n"
           b"</body>\r\n</html>\r\n")
WEB_PAGE = ("The server sent a web page, not a cam list. A network that wants you to sign in first "
            "(a hotel or café hotspot) sends such pages.")


def moved_to(url):
    """A site that has moved: every request is sent on to the same path at url."""
    def handler(connection, request, server):
        connection.sendall(head("301 Moved Permanently", f"Location: {url}", "Content-Length: 0"))
    return handler


def not_http(connection, request, server):
    # List lines and binary noise, without any status line or header.
    connection.sendall(BAIT + bytes(range(256)) * 4)


class NetworkFaults(harness.E2ETest):

    def assert_no_list(self, app, scratch=None, timeout=10.0, reason=None):
        """The program says it got no list (and why, if a reason is given), writes nothing
        meanwhile, and ends on OK with the own list as it was."""
        scratch = scratch or self.scratch
        app.wait_for(NO_LIST, timeout=timeout)
        self.assertEqual(scratch.files(), ["Cams.inf"])
        if reason is not None:
            self.assertEqual(app.box_text(NO_LIST, line=1), reason)
        app.answer(NO_LIST, text="No cam list could be received from the server.")
        self.assert_ended(app)
        self.assertEqual(scratch.files(), ["Cams.inf"])
        self.assertEqual(scratch.read("Cams.inf"), OWN)
        self.assertEqual(app.seen, [NO_LIST])

    def run_against(self, handler, reason=None):
        self.write_cams(OWN)
        server = self.serve_raw(handler)
        app = self.start(server.url)
        self.assert_no_list(app, reason=reason)
        return server

    def test_error_pages(self):
        # Any status other than 2xx fails, a 3xx that leads nowhere included.
        for status in ("404 Not Found", "500 Internal Server Error", "300 Multiple Choices"):
            with self.subTest(status=status):
                self.run_against(error_page(status))

    def test_stalls_end_after_the_time_out(self):
        # Both wait out the program's stall time-out, side by side to save half the time.
        runs = []
        for handler in (stall_before_head, stall_in_body):
            scratch = self.scratch if not runs else self.new_scratch()
            scratch.write_cams(OWN)
            server = self.serve_raw(handler)
            runs.append((self.start(server.url, scratch), scratch, server))
        started = time.monotonic()
        for app, scratch, server in runs:
            app.wait_for(NO_LIST, timeout=STALL_TIMEOUT + 20)
        # Both boxes are up and nothing else will pop up: each can be answered in turn.
        waited = time.monotonic() - started
        # A stall is given its time: a slow server is not a failed one.
        self.assertGreater(waited, STALL_TIMEOUT - 5)
        for app, scratch, server in runs:
            with self.subTest(handler=server.handler.__name__):
                self.assertEqual(server.request_count(), 1)
                self.assert_no_list(app, scratch)

    def test_connection_dropped_in_the_middle_of_the_body(self):
        for handler in (drop_mid_body, reset_mid_body, drop_mid_chunks):
            with self.subTest(handler=handler.__name__):
                self.run_against(handler)

    def test_redirect_loop_is_cut_off(self):
        server = self.run_against(redirect_loop)
        # A request sent again on a new connection is not a hop.
        followed = set(server.requests)
        self.assertGreater(len(followed), 1)
        self.assertLessEqual(len(followed), 1 + MAX_REDIRECTS, server.requests)

    def test_short_redirect_chain_is_followed(self):
        self.write_cams(OWN)
        server = self.serve_raw(short_redirect_chain)
        app = self.start(server.url)
        app.answer(UP_TO_DATE)
        self.assert_ended(app)
        self.assertEqual(list(dict.fromkeys(server.requests)),
                         ["GET /list.txt HTTP/1.1", "GET /moved HTTP/1.1",
                          "GET /here/list.txt HTTP/1.1"])
        self.assertEqual(self.files(), ["Cams.inf"])
        self.assertEqual(self.read("Cams.inf"), OWN)

    def test_body_over_the_size_limit(self):
        for announce in (True, False):
            with self.subTest(announced=announce):
                self.run_against(lambda connection, request, server: flood(connection, announce))

    def test_hostile_answers_are_cut_off(self):
        # Each with the reason the box gives on its second line.
        cases = (
            (endless_head, "The server's answer began with too many header lines."),
            (large_error_page, "The server answered 404 Not Found."),
            (compress_encoded, "The server sent the list packed in a coding, not as plain text."),
            (page("text/html; charset=utf-8", SIGN_IN + BAIT), WEB_PAGE),
            (page("text/plain", SIGN_IN + BAIT), WEB_PAGE),
        )
        for handler, reason in cases:
            with self.subTest(handler=handler.__name__):
                server = self.run_against(handler, reason)
                if handler not in (endless_head, large_error_page):
                    continue
                # Hung up at the head, long before the server was done.
                poll(lambda: getattr(server, "hung_up", False), 5.0, "the program to hang up")
                self.assertLess(server.sent, 8 * 1024 * 1024)

    def test_site_moved_to_https(self):
        """A 301 from http to https: with a certificate the system trusts, the new cams are
        added; with one it does not, the box says so and nothing is changed."""
        new = [(b"Lighthouse", b"http://cams.example/lighthouse.jpg"),
               (b"Dune", b"http://cams.example/dune.jpg")]
        trusted = {"SSL_CERT_FILE": TEST_AUTHORITY}
        for certificate in ("server", "untrusted"):
            with self.subTest(certificate=certificate):
                scratch = self.new_scratch()
                scratch.write_cams(OWN)
                secure = self.serve(OWN + records(*new), certificate=certificate)
                moved = self.serve_raw(moved_to(secure.url))
                app = self.start(moved.url, scratch, environment=trusted)
                if certificate == "untrusted":
                    self.assert_no_list(app, scratch,
                                        reason="The server's certificate is not trusted.")
                    self.assertEqual(moved.requests, ["GET /list.txt HTTP/1.1"])
                    continue
                app.wait_search_ended()
                app.click_add_all(ADD_QUESTION)
                app.answer(ADD_QUESTION)
                app.answer(ADDED, text=" 2 Cams was/were added")
                app.answer(UP_TO_DATE)
                self.assert_ended(app)
                self.assertEqual(moved.requests, ["GET /list.txt HTTP/1.1"])
                self.assertEqual(secure.requests, 1)
                # Added in the lists window's order, which ignores case.
                self.assertEqual(scratch.read("Cams.inf"), OWN + records(new[1], new[0]))
                self.assertEqual(scratch.files(), ["Cams.inf"])

    def test_answer_that_is_not_http(self):
        self.run_against(not_http)

    def test_nobody_listening(self):
        self.write_cams(OWN)
        port, holder = harness.closed_port()
        self.addCleanup(holder.close)
        app = self.start(f"http://127.0.0.1:{port}/list.txt")
        self.assert_no_list(app)


if __name__ == "__main__":
    unittest.main()
