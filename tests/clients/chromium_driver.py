"""Headless Chromium driven through chromedriver's WebDriver protocol, as the
browser tests and the screenshot tool use it: chromedriver on a free port in
a process group of its own, killed by that group's id, and every wait bounded
by one deadline from its start.

chromedriver rather than a driver from npm: Debian builds it from the same
source as its chromium, so the two always match after a security update."""

import base64
import json
import os
import signal
import subprocess
import time
import urllib.error
import urllib.request

from websrv_harness import CheckFailed, check, check_equal, require_program

CHROMIUM = require_program("chromium")
CHROMEDRIVER = require_program("chromedriver")

CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--no-proxy-server",  # loopback only, whatever the environment says
    # The HTTPS check's certificate is made at start-up and trusted by nobody.
    "--ignore-certificate-errors",
]

# Everything the browser does, from starting chromedriver to the last check,
# ends within this many seconds; the browser test takes about 25 here, 30 in
# the sanitizer build.
BROWSER_SECONDS = 90
# Chromium's own limits on loading a page and on a script, well inside that.
PAGE_MILLISECONDS = 15000
WEBDRIVER_ELEMENT = "element-6066-11e4-a52e-4f735466cecf"


class ChromeDriver:
    """chromedriver on a port of its choosing, in its own process group so
    that it and the browser it starts are killed by that group's id. Every
    wait ends by one deadline, BROWSER_SECONDS after the start."""

    def __init__(self, work):
        self.work = work
        self.deadline = time.monotonic() + BROWSER_SECONDS
        self.process = None
        self.port = None
        self.session = None
        # No proxy, whatever the environment says: the driver is on loopback.
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def __enter__(self):
        output = self.work / "chromedriver.txt"
        with open(output, "wb") as out:
            self.process = subprocess.Popen(
                [CHROMEDRIVER, "--port=0"], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                start_new_session=True,
            )
        while self.port is None:
            for line in output.read_text(errors="replace").splitlines():
                if "started successfully on port" in line:
                    self.port = int(line.rsplit(" ", 1)[1].rstrip("."))
            if self.port is None:
                if self.seconds_left() == 0 or self.process.poll() is not None:
                    self.__exit__()
                    raise CheckFailed(f"chromedriver did not start:\n{output.read_text(errors='replace')}")
                time.sleep(0.05)
        return self

    def __exit__(self, *exception):
        if self.session:
            try:
                self.request("DELETE", f"/session/{self.session}", seconds=5)
            except (OSError, CheckFailed):
                pass  # the group is killed below in any case
            self.session = None
        if self.process:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)
            self.process = None
        return False

    def seconds_left(self):
        return max(0.0, self.deadline - time.monotonic())

    def request(self, method, path, payload=None, seconds=None):
        """One WebDriver command; its value. Within `seconds`, or else what is
        left of the deadline."""
        seconds = seconds or self.seconds_left()
        if seconds == 0:
            raise CheckFailed(f"the browser took more than {BROWSER_SECONDS} s")
        data = None if payload is None else json.dumps(payload).encode()
        request = urllib.request.Request(
            f"http://127.0.0.1:{self.port}{path}", data=data, method=method,
            headers={"Content-Type": "application/json"},
        )
        try:
            with self.opener.open(request, timeout=seconds) as response:
                return json.load(response)["value"]
        except urllib.error.HTTPError as error:
            answer = error.read().decode(errors="replace")[:2000]
            raise CheckFailed(f"chromedriver: {method} {path}: {answer}")
        except TimeoutError:
            raise CheckFailed(f"chromedriver: {method} {path}: no answer within {seconds:.0f} s")

    def start_browser(self, profile):
        options = {"binary": CHROMIUM, "args": CHROMIUM_FLAGS + [f"--user-data-dir={profile}"]}
        capabilities = {
            "browserName": "chrome",
            "goog:chromeOptions": options,
            "timeouts": {"pageLoad": PAGE_MILLISECONDS, "script": PAGE_MILLISECONDS},
        }
        value = self.request("POST", "/session", {"capabilities": {"alwaysMatch": capabilities}})
        self.session = value["sessionId"]
        return value["capabilities"].get("browserVersion", "?")

    def call(self, method, command, payload=None):
        """A command of the open session."""
        return self.request(method, f"/session/{self.session}{command}", payload)

    def open(self, url):
        self.call("POST", "/url", {"url": url})

    def run(self, script):
        return self.call("POST", "/execute/sync", {"script": script, "args": []})

    def run_async(self, script):
        return self.call("POST", "/execute/async", {"script": script, "args": []})

    def wait_for(self, script, done, what):
        """Runs `script` until `done` holds for its value."""
        while True:
            value = self.run(script)
            if done(value):
                return value
            if self.seconds_left() < 0.2:
                raise CheckFailed(f"{what} before the deadline; the page says {value}")
            time.sleep(0.1)

    def screenshot(self, path):
        path.write_bytes(base64.b64decode(self.call("GET", "/screenshot")))

    def element(self, css):
        return self.call("POST", "/element", {"using": "css selector", "value": css})[WEBDRIVER_ELEMENT]

    def alert_open(self):
        try:
            self.call("GET", "/alert/text")
            return True
        except CheckFailed as failure:
            check("no such alert" in str(failure), str(failure))
            return False

    def drop(self, paths, x=100, y=300):
        """Drops files or folders of this machine onto the page at (x, y), as a user drags them in."""
        for kind in ("dragEnter", "dragOver", "drop"):
            self.call("POST", "/goog/cdp/execute", {"cmd": "Input.dispatchDragEvent", "params": {
                "type": kind, "x": x, "y": y,
                "data": {"items": [], "files": [str(path) for path in paths], "dragOperationsMask": 1}}})

    def save_downloads_in(self, directory):
        """Files the browser downloads go to `directory`, each named by an id of its own."""
        self.call("POST", "/goog/cdp/execute", {"cmd": "Browser.setDownloadBehavior", "params": {
            "behavior": "allowAndName", "downloadPath": str(directory)}})

    def wait_for_file(self, directory, what):
        """The bytes of the one file downloaded into `directory`, which is then emptied."""
        return self.wait_for_files(directory, 1, what)[0]

    def wait_for_files(self, directory, count, what):
        """The bytes of the `count` files downloaded into `directory`, sorted; it is then emptied."""
        while True:
            done = [path for path in directory.iterdir() if path.suffix != ".crdownload"]
            if len(done) >= count and not list(directory.glob("*.crdownload")):
                check_equal(len(done), count, f"files downloaded for {what}")
                data = sorted(path.read_bytes() for path in done)
                for path in done:
                    path.unlink()
                return data
            if self.seconds_left() < 0.2:
                raise CheckFailed(f"the browser saved too little for {what}: {list(directory.iterdir())}")
            time.sleep(0.05)
