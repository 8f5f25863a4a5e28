#!/usr/bin/env python3
"""Throws abuse at a real websrv on loopback and checks that it survives.

    tools/stress.py build/sanitize/websrv            # the CI run
    tools/stress.py build/default/websrv --quick     # a short run while developing
    tools/stress.py build/sanitize/websrv --config wake_on_io=1   # another mode

The binary is copied into a temporary directory beside its own websrv.cfg and
a small root, and started with a raised descriptor limit. Then come waves of
abuse: many connections held open at once, slow clients, heads larger than the
receive buffer, garbage, resets in the middle of a large response, pipelined
bursts against a small response buffer, and connect-and-close floods.

After every wave a fresh client with the right credentials must get its file,
the process must still run, its standard error (where a sanitizer build
reports) must be empty, and its open descriptors must come back to their count
after the warm-up. At the end its resident memory must be back near its size
after the warm-up. One summary line per wave and a final line; the exit status
is 0 only when everything passed.

Only the Python standard library; loopback only; every loop is bounded, every
socket operation has a deadline, and the servers are killed by PID at the end.
"""

import argparse
import asyncio
import base64
import ctypes
import os
import random
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

HOST = "127.0.0.1"
# A password of its own: with the default one the server warns on stderr,
# which the waves read as a failure.
PASSWORD = "stress-5712"
AUTH_LINE = "Authorization: Basic " + base64.b64encode(f"user:{PASSWORD}".encode()).decode() + "\r\n"
SIZEOF_IN = 10240  # both servers' receive buffer (the default)
SIZEOF_OUT = 1048576  # the main server's response buffer (the default)
SMALL_OUT = 4096  # the pipelining server's response buffer
CLIENT_RCVBUF = 4096  # receive buffer of clients that must not take a large response at once
MIB = 1024 * 1024

# How far the end's memory may lie above the warm-up's, in bytes: (VmRSS, VmSize).
# Not everything freed goes back to the system: the C library can only shrink
# its heap down to the highest block still in use, so after the 1100
# connections it may keep up to their small allocations (about 3 MiB, seen in
# both measures). Under the sanitizers the allocator keeps freed small blocks
# resident for reuse and the quarantine holds up to SANITIZER_QUARANTINE_MB of
# freed blocks: the end lay 11 to 29 MiB above the warm-up resident and 28 MiB
# above it mapped. A leaked response buffer adds 1 MiB of VmSize per
# connection, and in the plain build a leaked receive buffer 12 KiB, so a leak
# on every one of the 1600 connections crosses the margins several times.
MEMORY_MARGINS = {"plain": (8 * MIB, 8 * MIB), "sanitizer": (48 * MIB, 48 * MIB)}
# The blocks freed most recently stay poisoned, where a use after free in a
# poll would strike; the default (256 MiB) would leave no memory check worth the name.
SANITIZER_QUARANTINE_MB = 32


class Failure(Exception):
    """A check that did not hold; the message says which."""


def now():
    return time.monotonic()


async def within(deadline, awaitable, what):
    """Awaits with the time left until `deadline`; a timeout becomes a Failure."""
    try:
        return await asyncio.wait_for(awaitable, max(deadline - now(), 0.001))
    except asyncio.TimeoutError:
        raise Failure(f"{what}: deadline passed") from None


def request(path, auth=True, extra=""):
    head = f"GET {path} HTTP/1.1\r\nHost: {HOST}\r\n"
    return (head + (AUTH_LINE if auth else "") + extra + "\r\n").encode("latin-1")


def padded_request(path, total):
    """An authenticated request of exactly `total` bytes, padded with a header field."""
    bare = len(request(path, extra="X-Pad: \r\n"))
    if total < bare:
        raise ValueError("padding target too small")
    return request(path, extra="X-Pad: " + "p" * (total - bare) + "\r\n")


def site_files(rng):
    """The served root: name below the root -> content."""
    return {
        "index.htm": b"<p>websrv under stress</p>\n",
        "tiny.txt": b"tiny\n",
        "small.txt": bytes(rng.choice(b"abcdefgh") for _ in range(700)),
        "mid.txt": bytes(rng.choice(b"0123456789") for _ in range(3000)),
        "empty.txt": b"",
        "big.bin": rng.randbytes(500 * 1024),
        "docs/index.htm": b"<p>docs</p>\n",
    }


# ---------------------------------------------------------------------------
# The server under test


def free_port():
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


def is_sanitizer_build(binary):
    with open(binary, "rb") as file:
        return b"__asan_init" in file.read()


def server_environment():
    """The caller's environment with the allocator settings that the memory check needs;
    options the caller sets come last and win."""
    ours = {
        # Each connection buffer becomes a mapping of its own that free() returns at once
        # (a fixed threshold also stops the C library from moving it into the heap after
        # the first free), so what stays mapped at the end is what is still allocated.
        "GLIBC_TUNABLES": "glibc.malloc.mmap_threshold=8192",
        "ASAN_OPTIONS": f"quarantine_size_mb={SANITIZER_QUARANTINE_MB}",
        "UBSAN_OPTIONS": "print_stacktrace=1",
    }
    env = dict(os.environ)
    for name, value in ours.items():
        env[name] = ":".join(part for part in (value, env.get(name)) if part)
    return env


class Server:
    """One copy of websrv in its own directory, started and killed by PID."""

    def __init__(self, binary, workdir, name, files, sizeof_out, nofile, extra_config=()):
        self.name = name
        self.extra_config = extra_config
        self.dir = os.path.join(workdir, name)
        self.exe = os.path.join(self.dir, "websrv")
        self.files = files
        self.sizeof_out = sizeof_out
        self.nofile = nofile
        self.proc = None
        self.port = 0
        os.makedirs(self.dir)
        shutil.copy2(binary, self.exe)
        for relative, content in files.items():
            path = os.path.join(self.dir, "root", relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as file:
                file.write(content)

    def _configure(self):
        self.port = free_port()
        with open(self.exe + ".cfg", "w") as cfg:
            cfg.write(
                f"// written by tools/stress.py\nip={HOST}\nport={self.port}\n"
                f"login=user\npassword={PASSWORD}\nroot={self.dir}/root/\n"
                f"sizeof_in={SIZEOF_IN}\nsizeof_out={self.sizeof_out}\n"
                + "".join(line + "\n" for line in self.extra_config)
            )

    def _limits(self):
        # Runs in the child between fork and exec.
        resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile, self.nofile))
        try:  # the server dies with this tool even if the tool is killed outright
            ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass

    def start(self):
        """Starts the server; a port taken between choosing and binding it is retried."""
        for _attempt in range(3):
            self._configure()
            with open(self.stderr_path, "wb") as stderr:
                self.proc = subprocess.Popen(
                    [self.exe], cwd=self.dir, stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=stderr, env=server_environment(),
                    preexec_fn=self._limits)
            deadline = now() + 20
            while now() < deadline and self.alive():
                log = self.log()
                if b"server activated" in log:
                    return
                if b"can not activate server" in log:
                    break
                time.sleep(0.05)
            self.stop()
        raise Failure(f"{self.name}: the server did not start; see {self.dir}")

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    @property
    def stderr_path(self):
        return os.path.join(self.dir, "stderr.txt")

    def log(self):
        try:
            with open(self.exe + ".log", "rb") as file:
                return file.read()
        except FileNotFoundError:  # not written yet
            return b""

    def log_count(self, text):
        return self.log().count(text.encode())

    def stderr_text(self):
        with open(self.stderr_path, "rb") as file:
            return file.read().decode("utf-8", "replace")

    def fds(self):
        """Targets of the server's open descriptors."""
        base = f"/proc/{self.proc.pid}/fd"
        targets = []
        for entry in os.listdir(base):
            try:
                targets.append(os.readlink(os.path.join(base, entry)))
            except OSError:
                pass  # closed while we looked
        return targets

    def status_kib(self, key):
        with open(f"/proc/{self.proc.pid}/status") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def listen_queue(self):
        """Connections waiting in the listening socket's backlog, or None if unknown."""
        wanted = f"0100007F:{self.port:04X}"
        try:
            with open("/proc/net/tcp") as table:
                for line in table:
                    cols = line.split()
                    if len(cols) > 4 and cols[1] == wanted and cols[3] == "0A":
                        return int(cols[4].split(":")[1], 16)
        except OSError:
            pass
        return None

    async def settle(self, fd_count, seconds):
        """Waits until the backlog is empty and exactly `fd_count` descriptors are open."""
        deadline = now() + seconds
        while True:
            settled = len(self.fds()) == fd_count and self.listen_queue() in (0, None)
            if settled or now() > deadline or not self.alive():
                return settled
            await asyncio.sleep(0.1)


# ---------------------------------------------------------------------------
# Clients


@dataclass
class Response:
    status: int
    headers: dict
    body: bytes


class Conn:
    """A non-blocking loopback client with a receive buffer and deadlines."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    @classmethod
    async def open(cls, wave, port, deadline, rcvbuf=None, nodelay=False):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        if rcvbuf is not None:  # before connecting, so the window starts small
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if nodelay:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        wave.connections += 1
        try:
            await within(deadline, asyncio.get_running_loop().sock_connect(sock, (HOST, port)),
                         "connect")
        except BaseException:
            sock.close()
            raise
        return cls(sock)

    async def send(self, data, deadline):
        """Sends everything; False when the server has closed or reset the connection."""
        try:
            await within(deadline, asyncio.get_running_loop().sock_sendall(self.sock, data), "send")
            return True
        except (BrokenPipeError, ConnectionResetError):
            return False

    async def fill(self, deadline, what, chunk=65536, pause=0.0):
        """Receives more; False once the peer has closed or reset."""
        try:
            data = await within(deadline, asyncio.get_running_loop().sock_recv(self.sock, chunk),
                                what)
        except ConnectionResetError:
            return False
        if pause:
            await asyncio.sleep(pause)
        self.buf += data
        return bool(data)

    async def response(self, deadline, what="response", chunk=65536, pause=0.0):
        """The next whole response, or None when the connection closes before one begins."""
        while (end := self.buf.find(b"\r\n\r\n")) < 0:
            if not await self.fill(deadline, what, chunk, pause):
                if self.buf:
                    raise Failure(f"{what}: connection closed inside a response head")
                return None
        lines = bytes(self.buf[:end]).decode("latin-1").split("\r\n")
        parts = lines[0].split(" ", 2)
        if len(parts) < 2 or parts[0] != "HTTP/1.1" or not parts[1].isdigit():
            raise Failure(f"{what}: malformed status line {lines[0]!r}")
        headers = dict(line.split(": ", 1) for line in lines[1:] if ": " in line)
        if "Content-Length" not in headers:
            raise Failure(f"{what}: no Content-Length in {lines[0]!r}")
        total = end + 4 + int(headers["Content-Length"])
        while len(self.buf) < total:
            if not await self.fill(deadline, what, chunk, pause):
                raise Failure(f"{what}: connection closed inside a response body")
        body = bytes(self.buf[end + 4:total])
        del self.buf[:total]
        return Response(int(parts[1]), headers, body)

    async def closed_by_server(self, deadline, what):
        """Reads until the server closes; returns the bytes that came first."""
        while await self.fill(deadline, what):
            pass
        data, self.buf = bytes(self.buf), bytearray()
        return data

    async def quiet(self, seconds, deadline, what):
        """Reads until the server closes or stays silent for `seconds`; (bytes, closed)."""
        closed = False
        while now() < deadline:
            try:
                if not await within(min(deadline, now() + seconds), self.fill(deadline, what),
                                    what):
                    closed = True
                    break
            except Failure:
                break  # silent long enough
        data, self.buf = bytes(self.buf), bytearray()
        return data, closed

    def close(self):
        self.sock.close()

    def reset_close(self):
        """Closes with SO_LINGER 0: the server gets a reset instead of a FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def split_responses(data):
    """Splits bytes into whole responses; a Failure when they are not exactly that."""
    responses = []
    while data:
        end = data.find(b"\r\n\r\n")
        if end < 0 or not data.startswith(b"HTTP/1.1 "):
            raise Failure(f"bytes that are not a response: {data[:60]!r}")
        head = data[:end].decode("latin-1")
        length = [int(line.split(": ", 1)[1]) for line in head.split("\r\n")
                  if line.startswith("Content-Length: ")]
        if not length or len(data) < end + 4 + length[0]:
            raise Failure(f"incomplete response: {head[:60]!r}")
        responses.append(int(head[9:12]))
        data = data[end + 4 + length[0]:]
    return responses


# ---------------------------------------------------------------------------
# Waves


@dataclass
class Wave:
    name: str
    connections: int = 0
    requests: int = 0
    seconds: float = 0.0
    errors: list = field(default_factory=list)
    notes: list = field(default_factory=list)

    def fail(self, text):
        self.errors.append(text)


async def run_clients(wave, clients):
    """Runs (label, coroutine) pairs at once; each Failure or socket error fails the wave."""

    async def guarded(label, coro):
        try:
            await coro
        except Failure as failure:
            wave.fail(f"{label}: {failure}")
        except OSError as error:
            wave.fail(f"{label}: {error!r}")

    await asyncio.gather(*(guarded(label, coro) for label, coro in clients))


def expect_file(response, server, path, what):
    if response is None:
        raise Failure(f"{what}: closed without an answer to GET {path}")
    wanted = server.files[path.lstrip("/") or "index.htm"]
    if response.status != 200 or response.body != wanted:
        raise Failure(f"{what}: GET {path} answered {response.status} with "
                      f"{len(response.body)} bytes, wanted 200 with {len(wanted)}")


async def get_file(wave, server, path, seconds, what="fresh client"):
    """One authenticated GET on a new connection; the file must come back exactly."""
    deadline = now() + seconds
    conn = await Conn.open(wave, server.port, deadline)
    try:
        if not await conn.send(request(path), deadline):
            raise Failure(f"{what}: the server closed the connection before the request")
        wave.requests += 1
        expect_file(await conn.response(deadline, what), server, path, what)
    finally:
        conn.close()


async def wave_many_connections(server, count, baseline_fds):
    """Holds `count` connections open at once, each served one authenticated request.

    The server accepts one connection per 100 ms poll, so at most `pending`
    clients wait for their answer at a time: that keeps the kernel's backlog
    of 128 from overflowing, which would only add the retry delays of SYNs.
    """
    wave = Wave("a many-connections")
    held = []
    pending = asyncio.Semaphore(64)
    deadline = now() + 60 + count * 0.2

    async def one(index):
        async with pending:
            conn = await Conn.open(wave, server.port, deadline)
            held.append(conn)
            path = ("/index.htm", "/tiny.txt", "/small.txt")[index % 3]
            if not await conn.send(request(path), deadline):
                raise Failure("the server closed the connection before the request")
            wave.requests += 1
            expect_file(await conn.response(deadline), server, path, "answer")

    try:
        await run_clients(wave, [(f"connection {i}", one(i)) for i in range(count)])
        open_at_once = len(server.fds()) - baseline_fds
        wave.notes.append(f"server held {open_at_once} connections at once, "
                          f"{server.status_kib('VmRSS') / 1024:.1f} MiB resident")
        if not wave.errors and open_at_once < count:
            wave.fail(f"only {open_at_once} of {count} connections open on the server side")
        try:  # one more, while all of them stay open
            await get_file(wave, server, "/index.htm", 30, "a further client")
        except Failure as failure:
            wave.fail(str(failure))
    finally:
        for conn in held:
            conn.close()
    return wave


async def wave_slow_clients(server, scale):
    """Clients that send a byte at a time, read slowly, or stop halfway; others get served."""
    wave = Wave("b slow-clients")
    deadline = now() + 60

    async def slow_writer(index):
        conn = await Conn.open(wave, server.port, deadline, nodelay=True)
        try:
            if index % 3 == 0:  # a minimal request at more than one poll per byte
                pace, paths = 0.12, ["/tiny.txt"]
                data = b"GET /tiny.txt HTTP/1.1\r\n" + AUTH_LINE.encode() + b"\r\n"
            else:  # one request, or two pipelined, at several bytes per poll
                pace, paths = 0.012, ["/index.htm", "/mid.txt"][: 1 + index % 2]
                data = b"".join(request(p, auth=(i == 0)) for i, p in enumerate(paths))
            for byte in data:
                if not await conn.send(bytes([byte]), deadline):
                    raise Failure("closed while the request was coming in")
                await asyncio.sleep(pace)
            wave.requests += len(paths)
            for path in paths:
                expect_file(await conn.response(deadline), server, path, "slow writer")
        finally:
            conn.close()

    async def slow_reader(_index):
        conn = await Conn.open(wave, server.port, deadline, rcvbuf=CLIENT_RCVBUF)
        try:
            await conn.send(request("/big.bin"), deadline)
            wave.requests += 1
            answer = await conn.response(deadline, "slow reader", chunk=2048, pause=0.005)
            expect_file(answer, server, "/big.bin", "slow reader")
        finally:
            conn.close()

    async def stalled(_index):
        # Half a head, then silence: the server keeps the connection and waits.
        conn = await Conn.open(wave, server.port, deadline)
        try:
            await conn.send(b"GET /index.htm HTTP/1.1\r\n" + AUTH_LINE.encode(), deadline)
            data, closed = await conn.quiet(3.0, deadline, "stalled client")
            if data or closed:
                raise Failure(f"an unfinished head got {data[:40]!r}, closed={closed}")
            await conn.send(b"\r\n", deadline)
            wave.requests += 1
            expect_file(await conn.response(deadline), server, "/index.htm", "stalled client")
        finally:
            conn.close()

    async def bystander():
        await asyncio.sleep(1.0)
        started = now()
        await get_file(wave, server, "/index.htm", 10, "client beside the slow ones")
        wave.notes.append(f"a client beside them was served in {now() - started:.1f} s")

    clients = [(f"slow writer {i}", slow_writer(i)) for i in range(max(3, round(12 * scale)))]
    clients += [(f"slow reader {i}", slow_reader(i)) for i in range(max(1, round(3 * scale)))]
    clients += [(f"stalled {i}", stalled(i)) for i in range(2)]
    clients.append(("bystander", bystander()))
    await run_clients(wave, clients)
    return wave


async def wave_large_heads(server, scale):
    """Request groups as large as the receive buffer or larger close the connection."""
    wave = Wave("c large-heads")
    deadline = now() + 60
    fields = b"".join(b"X-Fill: " + b"f" * 100 + b"\r\n" for _ in range(3 * SIZEOF_IN // 110))
    cases = [  # (label, [(group, paths answered)], closed by the server at the end)
        ("head of sizeof_in - 1 bytes",
         [(padded_request("/tiny.txt", SIZEOF_IN - 1), ["/tiny.txt"])], False),
        ("head of exactly sizeof_in bytes", [(padded_request("/tiny.txt", SIZEOF_IN), [])], True),
        ("3 x sizeof_in of fields without an end", [(b"GET / HTTP/1.1\r\n" + fields, [])], True),
        ("1 MiB without a line end", [(b"A" * MIB, [])], True),
        ("request target of 20000 bytes", [(request("/" + "t" * 20000), [])], True),
        ("too large second group", [(request("/tiny.txt"), ["/tiny.txt"]),
                                    (padded_request("/tiny.txt", 2 * SIZEOF_IN), [])], True),
    ]

    async def one(groups, closed):
        conn = await Conn.open(wave, server.port, deadline)
        try:
            for data, paths in groups:
                wave.requests += 1
                if not await conn.send(data, deadline):
                    if closed:
                        break  # closed while the large group was still going out
                    raise Failure("closed while the request went out")
                for path in paths:
                    expect_file(await conn.response(deadline), server, path, "answer")
            if closed:
                rest = await conn.closed_by_server(deadline, "waiting for the close")
                if rest:
                    raise Failure(f"answered an oversized group: {rest[:60]!r}")
        finally:
            conn.close()

    rounds = max(1, round(3 * scale))
    await run_clients(wave, [(f"{label} #{r}", one(groups, closed))
                             for r in range(rounds) for label, groups, closed in cases])
    return wave


def garbage_cases(rng):
    """(label, bytes, expectation): 'closed' (no answer, closed), 'silent' (no answer, left
    open), 'any' (well-formed answers or a close), or a list of statuses then a close or not."""
    random_bytes = rng.randbytes(rng.randint(1, 4000)).replace(b"\r\n\r\n", b"")
    printable = "".join(rng.choice("abc XYZ:/.?=&%@\t") for _ in range(rng.randint(1, 3000)))
    return [
        ("random bytes", random_bytes + b"\r\n\r\n", "closed"),
        ("NUL bytes", b"\0" * rng.randint(1, 3000) + b"\r\n\r\n", "closed"),
        ("printable noise", printable.encode() + b"\r\n\r\n", "closed"),
        ("random bytes without an end", random_bytes, "silent"),
        ("field lines of random bytes",
         b"GET / HTTP/1.1\r\n" + rng.randbytes(rng.randint(1, 3000)).replace(b"\r\n\r\n", b"")
         + b"\r\n\r\n", "any"),
        ("NUL in the target", b"GET /index.htm\0.txt HTTP/1.1\r\n" + AUTH_LINE.encode() + b"\r\n",
         "any"),
        ("NUL in a field", request("/index.htm", extra="X-Nul: a\0b\r\n"), "any"),
        ("lone empty line", b"\r\n\r\n", "any"),
        ("TLS hello", bytes([0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03])
         + rng.randbytes(500), "silent"),
        ("HTTP/2 preface", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "closed"),
        ("HTTP/1.0", b"GET / HTTP/1.0\r\n" + AUTH_LINE.encode() + b"\r\n", "closed"),
        ("POST once authenticated", b"POST / HTTP/1.1\r\n" + AUTH_LINE.encode() + b"\r\n",
         "closed"),
        ("ftp scheme", request("ftp://h/index.htm"), "closed"),
        ("@ without a colon", request("http://user@h/index.htm"), "closed"),
        ("query without =", request("/index.htm?x"), "closed"),
        ("good request, then garbage", request("/index.htm") + b"\x00\xff junk\r\n\r\n",
         "closed"),  # one group: the bad head drops the answer to the good one
        ("path above the root", request("/../../../../etc/passwd"), [403, "open"]),
        ("encoded dots are not decoded", request("/%2e%2e/%2e%2e/etc/passwd"), [404, "open"]),
        ("directory without a slash", request("/docs"), [302, "open"]),
        ("password guessing",
         b"".join(request("/", auth=False, extra="Authorization: Basic eDp5\r\n")
                  for _ in range(6)) + request("/index.htm"),
         [401, 401, 401, 401, 403, 403, 403, "open"]),
    ]


async def wave_garbage(server, scale, rng):
    """Garbage, NUL bytes and random data, and requests the server refuses."""
    wave = Wave("d garbage")
    deadline = now() + 90

    async def one(data, expectation):
        conn = await Conn.open(wave, server.port, deadline)
        try:
            await conn.send(data, deadline)
            wave.requests += 1
            if expectation == "closed":
                rest = await conn.closed_by_server(deadline, "waiting for the close")
                if rest:
                    raise Failure(f"answered instead of closing: {rest[:60]!r}")
            elif expectation == "silent":
                rest, closed = await conn.quiet(0.5, deadline, "unfinished garbage")
                if rest or closed:
                    raise Failure(f"an unfinished group got {rest[:60]!r}, closed={closed}")
            elif expectation == "any":
                rest, _closed = await conn.quiet(1.0, deadline, "garbage")
                split_responses(rest)
            else:
                *statuses, state = expectation
                got = [(await conn.response(deadline)) for _ in statuses]
                codes = [r.status if r else None for r in got]
                if codes != statuses:
                    raise Failure(f"answers {codes}, wanted {statuses}")
        finally:
            conn.close()

    clients = []
    for index in range(max(1, round(4 * scale))):
        for label, data, expectation in garbage_cases(rng):
            clients.append((f"{label} #{index}", one(data, expectation)))
    await run_clients(wave, clients)
    return wave


async def wave_resets(server, scale, rng):
    """Clients that reset or close while a large response is on its way."""
    wave = Wave("e resets")
    deadline = now() + 90
    failed_sends_before = server.log_count("finished with result send_failed")

    async def one(kind):
        conn = await Conn.open(wave, server.port, deadline, rcvbuf=CLIENT_RCVBUF)
        try:
            if kind == "reset during the request":
                data = request("/big.bin")
                await conn.send(data[: len(data) // 2], deadline)
                await asyncio.sleep(0.2)
                conn.reset_close()
                return
            twice = kind == "reset during two pipelined large files"
            await conn.send(request("/big.bin") * (2 if twice else 1), deadline)
            wave.requests += 2 if twice else 1
            if kind == "reset before the answer":
                conn.reset_close()
                return
            if kind == "half-close, then read it all":
                conn.sock.shutdown(socket.SHUT_WR)
                expect_file(await conn.response(deadline), server, "/big.bin", kind)
                if await conn.closed_by_server(deadline, kind):
                    raise Failure("bytes after the response")
                return
            wanted = rng.randint(1, 300 * 1024)
            while len(conn.buf) < wanted:
                if not await conn.fill(deadline, kind, chunk=4096):
                    raise Failure(f"closed after {len(conn.buf)} bytes of the response")
            if kind == "close with unread data":
                conn.close()  # the kernel answers the unread data with a reset
            else:
                conn.reset_close()
        finally:
            if conn.sock.fileno() != -1:
                conn.close()

    kinds = ["reset during the request", "reset before the answer", "reset mid-response",
             "reset during two pipelined large files", "close with unread data",
             "half-close, then read it all"]
    count = max(len(kinds), round(30 * scale))
    await run_clients(wave, [(f"{kinds[i % len(kinds)]} #{i}", one(kinds[i % len(kinds)]))
                             for i in range(count)])
    await asyncio.sleep(0.5)  # the server's next poll meets the resets
    failed_sends = server.log_count("finished with result send_failed") - failed_sends_before
    wave.notes.append(f"{failed_sends} sends failed on the server side")
    return wave


PIPELINE_PATHS = {  # path -> what the small-buffer server may answer
    "/tiny.txt": (200, 500), "/small.txt": (200, 500), "/mid.txt": (200, 500),
    "/big.bin": (500,), "/empty.txt": (200, 500), "/": (200, 500), "/missing.txt": (404,),
    "/docs": (302,), "/../x": (403,),
}


async def wave_pipelined(server, scale, rng):
    """Bursts of pipelined requests against a response buffer of SMALL_OUT bytes.

    A burst goes out in one send, so the server takes it as one group: it must
    answer all of it in order, or, when even a short answer no longer fits,
    close the connection without sending any of it. Files that do not fit
    beside the earlier answers are answered 500.
    """
    wave = Wave("f pipelined")
    deadline = now() + 90
    outcome = {"answered": 0, "dropped": 0, "500": 0}

    def burst(kind):
        if kind == "overflow":  # 60 short answers cannot fit: nothing may be sent
            return ["/tiny.txt"] * 60
        if kind == "larger than sizeof_in":
            return ["/tiny.txt"] * (SIZEOF_IN // len(request("/tiny.txt")) + 10)
        if kind == "fits":  # at most 8 short answers: always well inside the buffer
            short = ["/tiny.txt", "/empty.txt", "/missing.txt", "/docs", "/../x"]
            return [rng.choice(short) for _ in range(rng.randint(2, 8))]
        return [rng.choice(list(PIPELINE_PATHS)) for _ in range(rng.randint(2, 16))]

    async def one(kind):
        conn = await Conn.open(wave, server.port, deadline)
        try:
            for group in range(rng.randint(1, 3)):
                paths = burst(kind)
                # Only the first request must authenticate; later ones may repeat it.
                data = b"".join(request(p, auth=(group == 0 and i == 0) or rng.random() < 0.3)
                                for i, p in enumerate(paths))
                wave.requests += len(paths)
                sent = await conn.send(data, deadline)
                first = await conn.response(deadline, "burst") if sent else None
                if first is None:
                    if conn.buf:
                        raise Failure("partial bytes before the close")
                    if kind == "fits":
                        raise Failure(f"a burst of {len(paths)} short answers was dropped")
                    outcome["dropped"] += 1
                    return
                if kind in ("overflow", "larger than sizeof_in"):
                    raise Failure(f"a burst '{kind}' of {len(paths)} was answered ({first.status})")
                answers = [first] + [await conn.response(deadline, "burst") for _ in paths[1:]]
                for path, answer in zip(paths, answers):
                    if answer is None:
                        raise Failure(f"only part of a burst of {len(paths)} was answered")
                    if answer.status not in PIPELINE_PATHS[path]:
                        raise Failure(f"GET {path} answered {answer.status}")
                    if answer.status == 500:
                        outcome["500"] += 1
                    elif answer.status == 200:
                        expect_file(answer, server, path, "burst")
                outcome["answered"] += 1
        finally:
            conn.close()

    def kind_of(index):
        if index % 4 == 0:
            return ("overflow", "larger than sizeof_in")[index // 4 % 2]
        return "fits" if index % 4 == 1 else "random"

    count = max(8, round(40 * scale))
    await run_clients(wave, [(f"burst {kind_of(i)} #{i}", one(kind_of(i))) for i in range(count)])
    wave.notes.append(f"{outcome['answered']} bursts answered whole ({outcome['500']} files did "
                      f"not fit: 500), {outcome['dropped']} dropped with a close")
    return wave


async def wave_floods(server, scale, baseline_fds):
    """Connections opened and closed, reset or abandoned as fast as possible.

    One accept per poll: the flood waits in the kernel's backlog of 128, and
    attempts beyond it are not answered until there is room again.
    """
    wave = Wave("g connect-floods")
    accepted_before = server.log_count(") connected\n")
    styles = ["close", "reset", "partial request", "abandoned attempt"]
    count = max(len(styles), round(300 * scale))
    established = 0

    async def one(style):
        nonlocal established
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        wave.connections += 1
        try:
            limit = 0.002 if style == "abandoned attempt" else 2.0
            connect = asyncio.get_running_loop().sock_connect(sock, (HOST, server.port))
            await asyncio.wait_for(connect, limit)
            established += 1
            if style == "partial request":
                sock.send(b"GET /index.htm HTTP/1.1\r\nHo")
            if style == "reset":
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except (asyncio.TimeoutError, OSError):
            pass  # no room in the backlog: the attempt is given up, as a flood would
        finally:
            sock.close()

    await run_clients(wave, [(f"flood {i}", one(styles[i % len(styles)])) for i in range(count)])
    drained = now()
    await server.settle(baseline_fds, 60)
    accepted = server.log_count(") connected\n") - accepted_before
    wave.notes.append(f"{established} of {count} attempts connected in time, the server accepted "
                      f"{accepted} and drained its backlog in {now() - drained:.1f} s")
    return wave


# ---------------------------------------------------------------------------
# Checks between waves and the run


async def check_after_wave(wave, server, baseline_fds):
    """A fresh client is served, the process runs, stderr is empty, descriptors settle."""
    try:
        await get_file(wave, server, "/index.htm", 60)
    except (Failure, OSError) as failure:
        wave.fail(f"{server.name}: fresh client after the wave: {failure}")
    if not server.alive():
        wave.fail(f"{server.name} exited with status {server.proc.returncode}")
    report = server.stderr_text()
    if report:
        wave.fail(f"{server.name} wrote to stderr:\n{report[:4000]}")
    if server.alive() and not await server.settle(baseline_fds, 60):
        fds = server.fds()
        wave.fail(f"{server.name}: {len(fds)} descriptors open 60 s after the wave, "
                  f"{baseline_fds} before it: {sorted(fds)[:12]}")


def print_wave(wave):
    result = "ok" if not wave.errors else "FAILED"
    notes = "; ".join(wave.notes)
    print(f"wave {wave.name:<20} connections {wave.connections:5d}  requests {wave.requests:5d}  "
          f"{wave.seconds:6.1f} s  {result}  {notes}", flush=True)
    for error in wave.errors[:10]:
        print(f"    {error}", flush=True)
    if len(wave.errors) > 10:
        print(f"    ... and {len(wave.errors) - 10} more", flush=True)


async def warm_up(server):
    """One served request, then the descriptor count at rest."""
    wave = Wave("warm-up")
    await get_file(wave, server, "/index.htm", 30, "warm-up client")
    await asyncio.sleep(0.3)
    if not await server.settle(len(server.fds()), 5):
        raise Failure(f"{server.name} does not settle after the warm-up")
    return len(server.fds())


async def run_waves(args, main, small, baseline_fds, waves, progress):
    """Runs the chosen waves in order, each followed by its checks; stops if the server dies.
    `progress` names the wave under way, for a time limit that strikes inside it."""
    rng = random.Random(args.seed)
    scale = 0.25 if args.quick else 1.0
    plan = {
        "a": lambda: wave_many_connections(main, args.connections, baseline_fds),
        "b": lambda: wave_slow_clients(main, scale),
        "c": lambda: wave_large_heads(main, scale),
        "d": lambda: wave_garbage(main, scale, rng),
        "e": lambda: wave_resets(main, scale, rng),
        "f": lambda: pipelined_on_small_server(small, scale, rng),
        "g": lambda: wave_floods(main, scale, baseline_fds),
    }
    for letter in args.waves:
        progress[0] = letter
        begun = now()
        wave = await plan[letter]()
        await check_after_wave(wave, main, baseline_fds)
        wave.seconds = now() - begun
        waves.append(wave)
        print_wave(wave)
        if not main.alive():
            return


async def pipelined_on_small_server(small, scale, rng):
    """The pipelining wave needs a small response buffer: a server of its own."""
    small.start()
    try:
        small_fds = await warm_up(small)
        wave = await wave_pipelined(small, scale, rng)
        await check_after_wave(wave, small, small_fds)
    finally:
        small.stop()
    return wave


def memory_verdict(server, before, build):
    """(text, failed) for the memory at the end against `before` = (VmRSS, VmSize) in KiB."""
    rss, size = server.status_kib("VmRSS"), server.status_kib("VmSize")
    rss_margin, size_margin = MEMORY_MARGINS[build]
    text = (f"VmRSS {before[0] / 1024:.1f} -> {rss / 1024:.1f} MiB (peak "
            f"{server.status_kib('VmHWM') / 1024:.1f}, allowed +{rss_margin // MIB}), VmSize "
            f"{(size - before[1]) / 1024:+.1f} MiB (allowed +{size_margin // MIB})")
    failed = (rss - before[0]) * 1024 > rss_margin or (size - before[1]) * 1024 > size_margin
    return text, failed


async def run(args, workdir):
    files = site_files(random.Random(args.seed))
    build = "sanitizer" if is_sanitizer_build(args.binary) else "plain"
    raise_own_limit(args.connections + 256)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    nofile = min(max(4096, args.connections + 256), hard)  # the server's descriptor limit
    main = Server(args.binary, workdir, "main", files, SIZEOF_OUT, nofile, args.config)
    small = Server(args.binary, workdir, "small-out", files, SMALL_OUT, nofile, args.config)
    waves = []
    started = now()
    try:
        main.start()
        baseline_fds = await warm_up(main)
        before = (main.status_kib("VmRSS"), main.status_kib("VmSize"))
        configured = "".join(f", {line}" for line in args.config)
        print(f"stress: {args.binary} ({build} build{configured}), pid {main.proc.pid}, "
              f"port {main.port}, seed {args.seed}; after the warm-up {baseline_fds} descriptors, "
              f"VmRSS {before[0] / 1024:.1f} MiB", flush=True)
        failed, progress = [], [None]
        try:
            await asyncio.wait_for(run_waves(args, main, small, baseline_fds, waves, progress),
                                   args.time_limit)
        except asyncio.TimeoutError:
            failed.append(f"time limit of {args.time_limit:.0f} s reached in wave {progress[0]}")
        failed += [wave.name for wave in waves if wave.errors]
        if main.alive():
            memory, memory_failed = memory_verdict(main, before, build)
            fds_after = len(main.fds())
            failed += ["memory"] * memory_failed + ["descriptors"] * (fds_after != baseline_fds)
        else:
            memory, fds_after = f"server exited with status {main.proc.returncode}", "-"
            failed.append("server exited")
        verdict = f"FAILED ({', '.join(failed)})" if failed else "passed"
        print(f"stress: {verdict}: {len(waves)} waves in {now() - started:.1f} s; descriptors "
              f"{baseline_fds} -> {fds_after}; {memory}", flush=True)
        return not failed
    finally:
        main.stop()
        small.stop()


def raise_own_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= wanted:
        return
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, max(hard, wanted)))
    except (ValueError, OSError):
        if hard < wanted:
            raise Failure(f"need {wanted} descriptors, the hard limit is {hard}") from None
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary", help="the built websrv, e.g. build/sanitize/websrv")
    parser.add_argument("--quick", action="store_true",
                        help="150 held connections and a quarter of the other clients")
    parser.add_argument("--connections", type=int,
                        help="connections held open at once (1100; 150 with --quick)")
    parser.add_argument("--waves", default="abcdefg",
                        help="the waves to run, in this order; a letter twice runs a wave twice")
    parser.add_argument("--seed", type=int, default=5712, help="seed of the random data")
    parser.add_argument("--time-limit", type=float, default=480,
                        help="seconds the waves may take in all (480)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    parser.add_argument("--config", action="append", default=[], metavar="KEY=VALUE",
                        help="a further line of both servers' configuration (repeatable)")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    if not args.waves or set(args.waves) - set("abcdefg"):
        parser.error("--waves takes letters from a to g")
    if args.connections is None:
        args.connections = 150 if args.quick else 1100
    if not os.access(args.binary, os.X_OK):
        parser.error(f"{args.binary} is not an executable")

    # A TERM (from a CI timeout, say) unwinds through the finally blocks that kill the servers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    workdir = tempfile.mkdtemp(prefix="websrv-stress-")
    passed = False
    try:
        passed = asyncio.run(run(args, workdir))
    except Failure as failure:
        print(f"stress: FAILED: {failure}", flush=True)
    finally:
        if args.keep or not passed:
            print(f"stress: files kept in {workdir}", flush=True)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
