#!/usr/bin/env python3
"""Files of any size, resumed and segmented downloads and revalidation, with
real clients and large_files, ranges and conditional set: a 64 MiB file made
at run time is fetched whole by curl and by ten curls at once (the server's
memory stays small), resumed by curl and wget, fetched in four segments by
aria2c, revalidated with 304s, truncated while it is sent, and pipelined
behind itself. Without the keys the same file is answered 500, and no range
or revalidation answer or field ever appears."""

import base64
import hashlib
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from websrv_harness import (
    CLIENT_SECONDS, LOGIN, PASSWORD, CheckFailed, Websrv, answered, check, check_equal, main,
    require_program, run,
)

CURL = require_program("curl")
WGET = require_program("wget")

KEYS = "wake_on_io=1\nlarge_files=1\nranges=1\nconditional=1\nhead=1\n"
BIG, SMALL = "/big.bin", "/demo.js"
BIG_SIZE = 64 << 20
# The same bytes on every run, never committed.
BIG_BYTES = b"".join(random.Random(18).randbytes(1 << 20) for _ in range(BIG_SIZE >> 20))
# What ten transfers may add to the server's resident memory: far less than
# one copy of the file, whatever the build (a sanitizer's own memory differs).
RSS_GROWTH_LIMIT_KB = 12 * 1000  # 12 MB
AUTHORIZATION = base64.b64encode(f"{LOGIN}:{PASSWORD}".encode()).decode()


def optional_program(name):
    """A client that only some machines have: None when it is missing, unless CI requires every client."""
    if shutil.which(name) or os.environ.get("WEBSRV_REQUIRE_CLIENTS") == "1":
        return require_program(name)
    return None


ARIA2C = optional_program("aria2c")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def check_same_bytes(path, expected, what):
    check_equal(sha256(Path(path).read_bytes()), sha256(expected), f"sha256 of {what}")


def curl(server, path, *arguments):
    """One curl transfer with the login; the status it was answered with."""
    result = run([CURL, "--silent", "--show-error", "--noproxy", "*", "--max-time", str(CLIENT_SECONDS),
                  "--user", f"{LOGIN}:{PASSWORD}", "--write-out", "%{http_code}", *map(str, arguments),
                  server.url(path)])
    check(result.returncode == 0, f"curl {' '.join(map(str, arguments))} {path} failed: {result.stderr.strip()}")
    return int(result.stdout)


def check_last_answers(server, want, what):
    """The answers the log shows on the last connection, once the server has
    written them: it logs a round of its loop at a time, which a client may
    outrun with its answer in hand."""
    deadline = time.monotonic() + 5
    while (got := answered(server.connections()[-1])) != want and time.monotonic() < deadline:
        time.sleep(0.05)
    check_equal(got, want, what)


def rss_kb(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise CheckFailed(f"no VmRSS for process {pid}")


class RawClient:
    """A connection the test reads as it likes: heads, bodies of a known
    length, or everything up to the server's close."""

    def __init__(self, server, receive_buffer=0):
        self.sock = socket.socket()
        if receive_buffer:  # before connecting, so the window stays small from the start
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(CLIENT_SECONDS)
        self.sock.connect(("127.0.0.1", server.port))
        self.pending = bytearray()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.sock.close()
        return False

    def ask(self, *paths):
        self.sock.sendall(b"".join(
            f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic {AUTHORIZATION}\r\n\r\n".encode()
            for path in paths))

    def _receive(self):
        chunk = self.sock.recv(1 << 20)
        self.pending += chunk
        return chunk

    def read_head(self):
        """The status line and the fields, by lower-case name, of the next answer."""
        while b"\r\n\r\n" not in self.pending:
            check(self._receive(), f"the connection closed before a whole head: {bytes(self.pending[:200])!r}")
        end = self.pending.index(b"\r\n\r\n")
        status, *lines = self.pending[:end].decode().split("\r\n")
        del self.pending[: end + 4]
        return status, {name.lower(): value for name, value in (line.split(": ", 1) for line in lines)}

    def read_body(self, length):
        while len(self.pending) < length:
            check(self._receive(), f"the connection closed after {len(self.pending)} of {length} body bytes")
        body = bytes(self.pending[:length])
        del self.pending[:length]
        return body

    def read_to_close(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                if not self._receive():
                    return bytes(self.pending)
            except socket.timeout:
                break
        raise CheckFailed(f"the connection is still open after {seconds} s, {len(self.pending)} bytes read")


def whole_file(server, out):
    # The date and the tag kept here are what the revalidation step sends back.
    status = curl(server, BIG, "--remote-time", "--etag-save", out / "etag", "--output", out / "whole.bin")
    check_equal(status, 200, "status of the whole file")
    check_same_bytes(out / "whole.bin", BIG_BYTES, "the whole file")
    return "64 MiB fetched whole with the default sizeof_out"


def ten_at_once(server, out):
    # Rate-limited, so that all ten transfers overlap for seconds.
    clients = [subprocess.Popen([CURL, "--silent", "--noproxy", "*", "--limit-rate", "20M",
                                 "--user", f"{LOGIN}:{PASSWORD}", "--output", out / f"copy{i}",
                                 server.url(BIG)]) for i in range(10)]
    before = rss_kb(server.process.pid)
    peak, samples = before, 0
    deadline = time.monotonic() + CLIENT_SECONDS
    try:
        while any(c.poll() is None for c in clients) and time.monotonic() < deadline:
            peak, samples = max(peak, rss_kb(server.process.pid)), samples + 1
            time.sleep(0.05)
    finally:
        for c in clients:
            if c.poll() is None:
                c.kill()
            c.wait()
    check_equal([c.returncode for c in clients], [0] * 10, "exit codes of the ten curls")
    for i in range(10):
        check_same_bytes(out / f"copy{i}", BIG_BYTES, f"copy {i}")
        (out / f"copy{i}").unlink()
    check(peak - before < RSS_GROWTH_LIMIT_KB,
          f"the server's RSS grew from {before} to {peak} kB with ten transfers running")
    return (f"ten curls at once, all bytes equal; server RSS from {before} to at most {peak} kB "
            f"over {samples} samples")


def resumed(server, out):
    half = BIG_BYTES[: BIG_SIZE // 2]
    (out / "resumed.bin").write_bytes(half)
    check_equal(curl(server, BIG, "--continue-at", "-", "--output", out / "resumed.bin"), 206, "status of the resume")
    check_same_bytes(out / "resumed.bin", BIG_BYTES, "the download resumed by curl")

    (out / "big.bin").write_bytes(half)
    result = run([WGET, "--no-verbose", "--no-proxy", "--tries=1", "--timeout=30", "--continue",
                  f"--user={LOGIN}", f"--password={PASSWORD}", server.url(BIG)], cwd=out)
    check(result.returncode == 0, f"wget --continue failed: {result.stderr.strip()}")
    check_same_bytes(out / "big.bin", BIG_BYTES, "the download resumed by wget")
    # wget sends its credentials only when challenged.
    check_last_answers(server, [(f"GET {BIG} HTTP/1.1", 401), (f"GET {BIG} HTTP/1.1", 206)],
                       "wget's requests")
    return "a download interrupted halfway resumed by curl -C - and by wget -c"


def four_segments(server, out):
    if ARIA2C is None:
        return "aria2c is not installed: four segments not tried"
    before = len(server.connections())
    result = run([ARIA2C, "--no-conf", "-x4", "-s4", "-k1M", "--file-allocation=none", "--summary-interval=0",
                  "--console-log-level=warn", f"--http-user={LOGIN}", f"--http-passwd={PASSWORD}",
                  f"--dir={out}", "--out=aria.bin", server.url(BIG)])
    check(result.returncode == 0, f"aria2c failed: {result.stdout.strip()} {result.stderr.strip()}")
    check_same_bytes(out / "aria.bin", BIG_BYTES, "the download in four segments")
    ranged = [c for c in server.connections()[before:] if any(e.status == 206 for e in c)]
    check(len(ranged) >= 2, f"aria2c fetched no segments in parallel: {server.connections()[before:]}")
    return f"aria2c in four segments, {len(ranged)} connections answered 206"


def revalidated(server, out):
    check_equal(curl(server, BIG, "--time-cond", out / "whole.bin", "--output", out / "unchanged"), 304,
                "status of curl -z")
    check_equal(curl(server, BIG, "--etag-compare", out / "etag", "--output", out / "unchanged"), 304,
                "status with the saved tag")
    check_last_answers(server, [(f"GET {BIG} HTTP/1.1", 304)], "the repeated request")
    return "304 for curl -z and for the saved entity tag"


def truncated_while_sent(server, out):
    shrinking = server.dir / "root" / "shrinking.bin"
    shrinking.write_bytes(BIG_BYTES)
    # A small window keeps most of the file unsent when it shrinks.
    with RawClient(server, receive_buffer=4096) as client:
        client.ask("/shrinking.bin")
        status, fields = client.read_head()
        check_equal(status, "HTTP/1.1 200 OK", "status of the file that shrinks")
        os.truncate(shrinking, BIG_SIZE // 4)
        body = client.read_to_close(seconds=5)
    announced = int(fields["content-length"])
    check(len(body) < announced, f"{len(body)} bytes arrived of {announced} announced")
    check(body == BIG_BYTES[: len(body)], "the bytes before the truncation arrived changed")
    deadline = time.monotonic() + 5
    while "file ended before its announced length" not in server.log():
        check(time.monotonic() < deadline, "the log does not say that the file ended early")
        time.sleep(0.05)
    return f"a file truncated while sent: closed after {len(body)} of {announced} bytes"


def pipelined(server, out):
    small = (server.dir / "root" / SMALL[1:]).read_bytes()
    expected = [(BIG, BIG_BYTES), (BIG, BIG_BYTES), (SMALL, small)]
    with RawClient(server) as client:
        client.ask(*(path for path, _ in expected))
        for index, (path, content) in enumerate(expected):
            status, fields = client.read_head()
            check_equal(status, "HTTP/1.1 200 OK", f"status of answer {index} ({path})")
            body = client.read_body(int(fields["content-length"]))
            check(body == content, f"answer {index} ({path}) arrived changed")
    check_last_answers(server, [(f"GET {path} HTTP/1.1", 200) for path, _ in expected],
                       "the pipelined requests")
    return "two large and one small file pipelined on one connection, in order"


# Fields that, with the keys, would make a range or a revalidation answer.
RANGE_AND_REVALIDATION = [
    ["Range: bytes=0-3"],
    ["Range: bytes=-4", "If-Range: Thu, 01 Jan 2099 00:00:00 GMT"],
    ["If-None-Match: *"],
    ["If-Modified-Since: Thu, 01 Jan 2099 00:00:00 GMT"],
]


def without_the_keys(binary, site, out):
    with Websrv(binary, site) as plain:
        try:
            (plain.dir / "root" / BIG[1:]).write_bytes(BIG_BYTES)
            check_equal(curl(plain, BIG, "--output", out / "refused"), 500, "status of the large file")
            small = (plain.dir / "root" / SMALL[1:]).read_bytes()
            for fields in RANGE_AND_REVALIDATION:
                headers = [argument for field in fields for argument in ("--header", field)]
                status = curl(plain, SMALL, *headers, "--output", out / "small")
                check_equal(status, 200, f"status with {fields}")
                check((out / "small").read_bytes() == small, f"the body with {fields} is not the whole file")
            statuses = {exchange.status for connection in plain.connections() for exchange in connection}
            check(statuses <= {200, 500}, f"statuses without the keys: {statuses}")
            for name in ("Accept-Ranges", "ETag", "Content-Range"):
                check(name not in plain.log(), f"{name} is sent without the keys")
        except CheckFailed as failure:
            raise CheckFailed(f"{failure}\nwithout the keys: {plain.report()}") from None
    return "without the keys: the large file answers 500, ranges and revalidation are ignored"


def body(server):
    (server.dir / "root" / BIG[1:]).write_bytes(BIG_BYTES)
    with tempfile.TemporaryDirectory(prefix="websrv-large-") as directory:
        out = Path(directory)
        for step in (whole_file, ten_at_once, resumed, four_segments, revalidated, truncated_while_sent,
                     pipelined):
            yield step(server, out)
        yield without_the_keys(server.binary, server.site, out)


if __name__ == "__main__":
    sys.exit(main(body, "large files, ranges and revalidation", KEYS))
