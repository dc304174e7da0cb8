#!/usr/bin/env python3
"""Writes a server cam list and an own Cams.inf for bench/run-scale.

usage: gen_lists.py RECORDS OUTDIR

OUTDIR gets list.txt (RECORDS server records) and Cams.inf (about every second server record
plus some of the user's own). Prints the number of records an update must add. The same
RECORDS always give the same files.

Besides plain CR LF records the lists hold the awkward cases an update meets, so the two ways
of updating that run-scale compares must agree on them too: repeated server keys, own keys that
differ from a server key only in letter case, a detail line equal to a new key, empty lines,
lone CR line ends, and an own list whose last record was cut short.
"""
import random
import string
import sys

MAX_BODY = 64 * 1024 * 1024  # the transfer's body limit
DIGITS36 = string.digits + string.ascii_lowercase


def base36(n):
    text = ""
    while True:
        n, digit = divmod(n, 36)
        text = DIGITS36[digit] + text
        if n == 0:
            return text


def main():
    records = int(sys.argv[1])
    outdir = sys.argv[2]
    rng = random.Random(records)
    letters = string.ascii_letters

    def key(prefix, n):
        head = f"{prefix} {n:06d} "
        return head + "".join(rng.choices(letters, k=rng.randint(20, 40) - len(head)))

    def detail(n):
        return f"http://cams.example.com/{base36(n)}"

    repeats = max(2, records // 1000)
    unique = records - repeats
    server = [[key("Cam", n), detail(n), b"\r\n"] for n in range(unique)]
    rng.shuffle(server)
    own_share = server[0::2]
    new_share = server[1::2]

    # Repeated keys, later in the list with other details: half new, half already owned.
    for i in range(repeats):
        source = (new_share if i % 2 == 0 else own_share)[i % len(own_share)]
        server.append([source[0], detail(unique + i), b"\r\n"])
    # Own keys that differ only in case do not hide the server key.
    own_extra = []
    for rec in new_share[1:4]:
        own_extra.append([rec[0].upper(), "http://cams.example.com/mine", b"\r\n"])
    own_extra += [[key("My Cam", n), detail(n), b"\r\n"] for n in range(records // 10)]
    # A detail line equal to a new key: that key's record is taken from there.
    own_share[0][1] = new_share[0][0]
    # Lone CR line ends.
    for rec in server[5:8] + own_share[5:8]:
        rec[2] = b"\r"

    def encode(recs, blank_after=None):
        out = bytearray()
        for i, (k, d, end) in enumerate(recs):
            out += k.encode() + end + d.encode() + end
            if i == blank_after:
                out += b"\r\n"
        return bytes(out)

    body = encode(server, blank_after=len(server) // 2)
    if len(body) >= MAX_BODY:
        sys.exit(f"gen_lists.py: {len(body)} bytes is over the transfer limit")

    own = own_share + own_extra
    rng.shuffle(own)
    own_bytes = encode(own)
    if records <= 1000:
        # Cut after a key: the update must give that key an empty detail line first.
        own_bytes += b"Cam cut short"
    else:
        # Cut inside the last detail line: only its line end is missing.
        own_bytes = own_bytes[:-2]

    with open(f"{outdir}/list.txt", "wb") as f:
        f.write(body)
    with open(f"{outdir}/Cams.inf", "wb") as f:
        f.write(own_bytes)

    own_keys = {rec[0] for rec in own}
    print(sum(1 for rec in server if rec[0] not in own_keys))


if __name__ == "__main__":
    main()
