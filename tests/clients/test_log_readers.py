#!/usr/bin/env python3
"""The tools that read web servers' logs, on a log websrv wrote in the
combined form: curl makes requests of every kind (files, a redirect, a
missing file, wrong passwords until the login limit refuses the address);
fail2ban-regex with the shipped filter finds each failed login and the
refusal, and nothing else; GoAccess, reading the combined format, counts
every request and every status."""

import json
import sys
import time
from collections import Counter
from pathlib import Path

from websrv_harness import LOGIN, PASSWORD, check, check_equal, main, require_program, run

CURL = require_program("curl")
FAIL2BAN_REGEX = require_program("fail2ban-regex")
GOACCESS = require_program("goaccess")
FILTER = Path(__file__).resolve().parents[2] / "dist" / "fail2ban" / "websrv.conf"
CONFIG = "log_format=combined\nlogin_limit=3\nretry_after=1\nwake_on_io=1\n"


def curl_statuses(user, *urls):
    """The status of each URL, fetched one after the other on one connection."""
    discard = [argument for url in urls for argument in ("--output", "/dev/null", url)]
    result = run([CURL, "--silent", "--noproxy", "*", "--max-time", "30", "--user", user,
                  "--write-out", "%{http_code}\\n", *discard])
    return [int(code) for code in result.stdout.split()]


def requests(server):
    """Makes the requests and returns the statuses websrv answered them with."""
    good = curl_statuses(f"{LOGIN}:{PASSWORD}", server.url("/"), server.url("/demo.js"), server.url("/docs"),
                         server.url("/missing.htm"))
    wrong = []
    for _ in range(4):  # three failures, then the limit
        wrong += curl_statuses(f"{LOGIN}:wrong", server.url("/"))
    check_equal(good, [200, 200, 302, 404], "the answers to curl with the password")
    check_equal(wrong, [401, 401, 401, 429], "the answers to wrong passwords")
    # The log is written at the end of each poll round: the last answer may come first.
    deadline = time.monotonic() + 5
    while '" 429 ' not in server.log() and time.monotonic() < deadline:
        time.sleep(0.02)
    return good + wrong


def fail2ban_reads_it(server):
    result = run([FAIL2BAN_REGEX, "--print-all-matched", str(server.dir / "websrv.log"), str(FILTER)])
    check(result.returncode == 0, f"fail2ban-regex failed: {result.stderr.strip()}")
    found = [line for line in result.stdout.splitlines() if line.startswith("Lines:")]
    check(found, f"fail2ban-regex said nothing of the lines:\n{result.stdout}")
    matched = int(found[0].split(",")[2].split()[0])
    check_equal(matched, 4, f"lines the filter matched (three failed logins, one refusal):\n{result.stdout}")
    return "fail2ban-regex: the filter matched the 3 failed logins and the refusal, nothing else"


def goaccess_reads_it(server, statuses):
    # The start-up lines come first and are no requests: GoAccess must not
    # judge the format by them (--num-tests=0) and counts them as failed.
    result = run([GOACCESS, str(server.dir / "websrv.log"), "--log-format=COMBINED", "--no-global-config",
                  "--num-tests=0", "--output=json"])
    check(result.returncode == 0, f"goaccess failed: {result.stderr.strip()}")
    report = json.loads(result.stdout)
    check_equal(report["general"]["valid_requests"], len(statuses), "requests GoAccess counted")
    counted = Counter()
    for group in report["status_codes"]["data"]:
        for code in group.get("items", []):
            counted[int(code["data"].split()[0])] += code["hits"]["count"]
    check_equal(dict(counted), dict(Counter(statuses)), "statuses GoAccess counted")
    return f"GoAccess: {len(statuses)} requests with their statuses {dict(counted)}"


def body(server):
    statuses = requests(server)
    yield f"curl: {len(statuses)} requests answered {statuses}"
    yield fail2ban_reads_it(server)
    yield goaccess_reads_it(server, statuses)


if __name__ == "__main__":
    sys.exit(main(body, "fail2ban and GoAccess on the combined log", CONFIG))
