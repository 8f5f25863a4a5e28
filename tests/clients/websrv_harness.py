"""What the real-client tests share: a private copy of websrv serving a copy
of the demo site on a free loopback port, stopped by PID whatever happens,
a reading of its log, bounded runs of client programs, and the verdict.

Each test script is run as `python3 SCRIPT WEBSRV_BINARY [DEMO_SITE]`. It exits
0 when every check held, 1 at the first failed one, and 77 (CTest's skip code)
when a client program it needs is missing, unless WEBSRV_REQUIRE_CLIENTS=1
is set, as CI does: then a missing client is a failure too.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

LOGIN = "user"
PASSWORD = "5712"
SKIP_RETURN_CODE = 77
DEMO_SITE = Path(__file__).resolve().parents[2] / "demo" / "site"

# The demo files a client fetches one after the other, and what it is
# answered on an authenticated connection: /docs is redirected to /docs/.
DEMO_PATHS = ["/", "/demo.js", "/logo.jpg", "/docs"]
DEMO_ANSWERS = [
    ("GET / HTTP/1.1", 200),
    ("GET /demo.js HTTP/1.1", 200),
    ("GET /logo.jpg HTTP/1.1", 200),
    ("GET /docs HTTP/1.1", 302),
    ("GET /docs/ HTTP/1.1", 200),
]

# Every answer waits for the server's next 100 ms poll or two; these limits
# leave ample room for a slow sanitizer build and still end a hung run.
START_SECONDS = 15
CLIENT_SECONDS = 30


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


def check_equal(actual, expected, what):
    check(actual == expected, f"{what}: expected {expected!r}, got {actual!r}")


def require_program(name):
    """The path of a client program, or the end of the test when it is missing."""
    path = shutil.which(name)
    if path:
        return path
    if os.environ.get("WEBSRV_REQUIRE_CLIENTS") == "1":
        print(f"FAIL: {name} is not installed, and WEBSRV_REQUIRE_CLIENTS=1 requires it")
        sys.exit(1)
    print(f"SKIPPED: {name} is not installed (CI installs it and sets WEBSRV_REQUIRE_CLIENTS=1)")
    sys.exit(SKIP_RETURN_CODE)


def run(command, seconds=CLIENT_SECONDS, **options):
    """Runs a client program to its end, within `seconds`; its output as text."""
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=seconds, **options)
    except subprocess.TimeoutExpired:
        raise CheckFailed(f"{command[0]} did not finish within {seconds} s: {' '.join(command)}")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_certificate(directory, openssl):
    """A certificate for 127.0.0.1 and localhost, and its key, as PEM files."""
    cert, key = directory / "cert.pem", directory / "key.pem"
    result = run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                  "-nodes", "-days", "30", "-subj", "/CN=127.0.0.1", "-keyout", str(key), "-out", str(cert),
                  "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"])
    check(result.returncode == 0, f"openssl req failed: {result.stderr}")
    return cert, key


class Exchange:
    """One request of a connection and the status it was answered with."""

    def __init__(self, request_line, head):
        self.request_line = request_line  # "GET / HTTP/1.1"
        self.head = head  # the whole request head as the server received it
        self.status = None  # 200, 302, ...; None while it has no answer

    def __repr__(self):
        return f"{self.request_line} -> {self.status}"

    @property
    def path(self):
        return self.request_line.split(" ")[1]


def answered(connection):
    """The request line and the status of each request on a connection."""
    return [(exchange.request_line, exchange.status) for exchange in connection]


class Websrv:
    """A copy of the websrv binary in a temporary directory with a copy of the
    demo site (or another) as its root, or the root `shared` as it is, and
    `config`, lines of further keys, appended to its configuration. Use it in
    a `with` block: it starts there and is killed by its PID, and its
    directory removed, when the block ends."""

    def __init__(self, binary, site=DEMO_SITE, config="", shared=None):
        self.binary = Path(binary)
        self.site = Path(site)
        self.config = config
        self.shared = shared
        self.dir = None
        self.process = None
        self.port = None

    def __enter__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="websrv-clients-"))
        try:
            shutil.copy2(self.binary, self.dir / "websrv")
            if self.shared is None:
                shutil.copytree(self.site, self.dir / "root")
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exception):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False

    def _start(self):
        # Another process may take the free port before websrv binds it: retry.
        for _ in range(3):
            self.port = free_port()
            (self.dir / "websrv.cfg").write_text(
                f"ip=127.0.0.1\nport={self.port}\nlogin={LOGIN}\npassword={PASSWORD}\n"
                f"root={self.root()}/\n{self.config}"
            )
            with open(self.dir / "stdout.txt", "wb") as out, open(self.dir / "stderr.txt", "wb") as err:
                self.process = subprocess.Popen(
                    [str(self.dir / "websrv")], cwd=self.dir, stdin=subprocess.DEVNULL, stdout=out, stderr=err
                )
            outcome = self._wait_for_activation()
            if outcome == "server activated":
                return
            self.stop()
        raise CheckFailed(f"websrv did not start on a free port:\n{self.report()}")

    def _wait_for_activation(self):
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline and self.alive():
            log = self.log()
            for outcome in ("server activated", "can not activate server"):
                if outcome in log:
                    return outcome
            time.sleep(0.02)
        return None

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=10)
        self.process = None

    def root(self):
        return self.shared if self.shared is not None else self.dir / "root"

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"

    def log(self):
        try:
            # As bytes: text mode would turn the logged requests' CR LF into LF.
            return (self.dir / "websrv.log").read_bytes().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def report(self):
        """The end of the log and of standard error, for a failure message."""
        try:
            errors = (self.dir / "stderr.txt").read_text(errors="replace")
        except FileNotFoundError:
            errors = ""
        running = "running" if self.alive() else "not running"
        return (f"websrv ({running}) log, last lines:\n{tail(self.log(), 60)}\n"
                f"standard error:\n{tail(errors, 30)}")

    def connections(self):
        """Every accepted connection in the order of acceptance, each as the
        list of its requests in order."""
        accepted = []
        by_client_port = {}  # the latest connection from each client port
        lines = self.log().split("\n")
        node = re.compile(r"node \(ip = [\d.]+, port = (\d+)\) (.*)$")
        for at, line in enumerate(lines):
            found = node.search(line)
            if not found:
                continue
            port, event = int(found.group(1)), found.group(2)
            if event == "connected":
                by_client_port[port] = []
                accepted.append(by_client_port[port])
            elif event == "etx detected":
                for head in re.split(r"\r\n\r\n", _block_after(lines, at)):
                    if head:
                        by_client_port[port].append(Exchange(head.split("\r\n", 1)[0], head))
            elif event == "header to send":
                status_line = _block_after(lines, at).split("\r\n", 1)[0]
                unanswered = [e for e in by_client_port[port] if e.status is None]
                if unanswered:
                    unanswered[0].status = int(status_line.split(" ")[1])
        return accepted


def _block_after(lines, at):
    """The text of the log block whose title line is lines[at], with its CR LF line ends."""
    text = []
    for line in lines[at + 2 :]:
        if line.startswith("//----"):
            break
        text.append(line)
    return "\n".join(text)


def tail(text, count):
    return "\n".join(text.splitlines()[-count:])


def main(body, description, config=""):
    """Runs `body(server)` against a started websrv, with `config` added to its
    configuration, and turns the outcome into the exit code. `body` yields
    lines to print as it goes."""
    if len(sys.argv) < 2:
        print(f"usage: {sys.argv[0]} WEBSRV_BINARY [DEMO_SITE]")
        return 2
    site = sys.argv[2] if len(sys.argv) > 2 else DEMO_SITE
    started = time.monotonic()
    try:
        with Websrv(sys.argv[1], site, config) as server:
            try:
                for line in body(server):
                    print(line)
                check(server.alive(), "websrv ended during the test")
            except Exception as failure:  # a failed check, or a client error such as a reset
                what = "" if isinstance(failure, CheckFailed) else f"{type(failure).__name__}: "
                print(f"FAIL: {description}: {what}{failure}\n{server.report()}")
                return 1
    except CheckFailed as failure:  # websrv did not start
        print(f"FAIL: {description}: {failure}")
        return 1
    print(f"PASS: {description} ({time.monotonic() - started:.1f} s)")
    return 0
