#!/usr/bin/env python3
"""ab (ApacheBench) against websrv serving the demo site with http10=1 and
head=1. ab speaks HTTP/1.0 and, with -k, asks to keep each connection alive:
every request must be answered, none may fail, and the bytes ab counts must
be those of the page as websrv sends it, over no more connections than ab
runs at once; then the same with HEAD requests (ab -i)."""

import base64
import re
import socket
import sys

from websrv_harness import CLIENT_SECONDS, LOGIN, PASSWORD, check, check_equal, main, require_program, run

AB = require_program("ab")

# websrv answers a connection about five times a second, so 200 requests over
# 4 connections take about 10 s.
REQUESTS = 200
CONCURRENCY = 4
HEAD_REQUESTS = 20


def one_answer(server, method, path):
    """The whole answer to one HTTP/1.0 keep-alive request, as ab receives each."""
    credentials = base64.b64encode(f"{LOGIN}:{PASSWORD}".encode()).decode()
    request = (f"{method} {path} HTTP/1.0\r\nConnection: Keep-Alive\r\n"
               f"Authorization: Basic {credentials}\r\n\r\n")
    with socket.create_connection(("127.0.0.1", server.port), timeout=CLIENT_SECONDS) as connection:
        connection.sendall(request.encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(65536)
            check(chunk, f"websrv closed the connection after {data!r}")
            data += chunk
        header, _, body = data.partition(b"\r\n\r\n")
        check(b"\r\nConnection: keep-alive\r\n" in header + b"\r\n", f"no keep-alive in {header!r}")
        length = 0 if method == "HEAD" else int(re.search(rb"Content-Length: (\d+)", header).group(1))
        while len(body) < length:
            chunk = connection.recv(65536)
            check(chunk, "websrv closed the connection in the body")
            body += chunk
        return len(header) + 4 + length, length


def ab(server, *options):
    """ab's report of a run against the page at /, as a dict of its lines."""
    result = run([AB, "-k", "-A", f"{LOGIN}:{PASSWORD}", "-s", str(CLIENT_SECONDS), *options, server.url("/")],
                 seconds=60)
    check(result.returncode == 0, f"ab {' '.join(options)} exited with {result.returncode}:\n"
                                  f"{result.stdout}{result.stderr}")
    report = {}
    for line in result.stdout.splitlines():
        name, colon, value = line.partition(":")
        if colon:
            report[name.strip()] = value.strip()
    return report


def check_run(report, requests, answer_bytes, body_bytes, what):
    check_equal(report.get("Complete requests"), str(requests), f"{what}: complete requests")
    check_equal(report.get("Failed requests"), "0", f"{what}: failed requests")
    check_equal(report.get("Keep-Alive requests"), str(requests), f"{what}: kept-alive requests")
    check("Non-2xx responses" not in report, f"{what}: answers other than 200: {report}")
    check_equal(report.get("Total transferred"), f"{requests * answer_bytes} bytes", f"{what}: bytes")
    check_equal(report.get("HTML transferred"), f"{requests * body_bytes} bytes", f"{what}: body bytes")


def body(server):
    page = (server.dir / "root" / "index.htm").stat().st_size
    answer_bytes, body_bytes = one_answer(server, "GET", "/")
    check_equal(body_bytes, page, "the length of the page")
    before = len(server.connections())
    report = ab(server, "-n", str(REQUESTS), "-c", str(CONCURRENCY))
    check_run(report, REQUESTS, answer_bytes, body_bytes, "GET")
    check_equal(len(server.connections()) - before, CONCURRENCY, "connections ab opened")
    yield (f"ab -k -n {REQUESTS} -c {CONCURRENCY}: 0 failed, {report['Total transferred']} "
           f"in {report.get('Time taken for tests')}")

    head_bytes, _ = one_answer(server, "HEAD", "/")
    check_equal(head_bytes, answer_bytes - page, "the length of the HEAD answer")
    report = ab(server, "-i", "-n", str(HEAD_REQUESTS), "-c", "2")
    check_run(report, HEAD_REQUESTS, head_bytes, 0, "HEAD")
    yield f"ab -k -i -n {HEAD_REQUESTS} -c 2: 0 failed, {report['Total transferred']}"


if __name__ == "__main__":
    sys.exit(main(body, "ab", config="http10=1\nhead=1\n"))
