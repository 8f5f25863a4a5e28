#!/usr/bin/env python3
"""Python's own HTTP clients against websrv serving the demo site: http.client
on one kept-alive connection through the challenge, every kind of answer and
a redirect followed by hand; then urllib's opener, which answers the
challenge and follows the redirect by itself."""

import base64
import http.client
import sys
import urllib.request
from email.utils import parsedate_to_datetime

from websrv_harness import CLIENT_SECONDS, LOGIN, PASSWORD, check, check_equal, main

CREDENTIALS = "Basic " + base64.b64encode(f"{LOGIN}:{PASSWORD}".encode()).decode()


def get(connection, path, authorization=None):
    """One GET on the open connection; the response and its whole body."""
    headers = {"Authorization": authorization} if authorization else {}
    connection.request("GET", path, headers=headers)
    response = connection.getresponse()
    return response, response.read()


def check_file(connection, path, file, content_type):
    response, body = get(connection, path)
    check_equal(response.status, 200, f"status of {path}")
    check_equal(response.getheader("Content-Type"), content_type, f"content type of {path}")
    check_equal(response.getheader("Content-Length"), str(file.stat().st_size), f"length of {path}")
    check(body == file.read_bytes(), f"the body of {path} differs from {file.name}")
    modified = parsedate_to_datetime(response.getheader("Last-Modified")).timestamp()
    check_equal(int(modified), int(file.stat().st_mtime), f"Last-Modified of {path}")


def one_connection(server):
    site = server.dir / "root"
    (site / "notes.txt").write_bytes(bytes(range(256)))  # no known extension
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=CLIENT_SECONDS)
    try:
        response, body = get(connection, "/")
        check_equal(response.status, 401, "status without credentials")
        check_equal(response.getheader("WWW-Authenticate"), 'Basic realm="websrv"', "the challenge")
        check_equal(body, b"401 Unauthorized", "the body of the 401")
        socket_in_use = connection.sock

        response, _ = get(connection, "/", CREDENTIALS)
        check_equal(response.status, 200, "status with credentials")
        # The connection is authenticated now: later requests carry no credentials.
        check_file(connection, "/", site / "index.htm", "text/html")
        check_file(connection, "/demo.js", site / "demo.js", "application/javascript")
        check_file(connection, "/logo.jpg", site / "logo.jpg", "image/jpeg")
        check_file(connection, "/notes.txt", site / "notes.txt", "application/octet-stream")

        response, _ = get(connection, "/docs?page=2")
        check_equal(response.status, 302, "status of a directory without its /")
        location = response.getheader("Location")
        check_equal(location, server.url("/docs/?page=2"), "the redirect")
        redirected = location.removeprefix(server.url(""))
        check_file(connection, redirected, site / "docs" / "index.htm", "text/html")

        check_equal(get(connection, "/missing.htm")[0].status, 404, "status of a missing file")
        # The configuration, with the password, lies just above the root.
        check((site / ".." / "websrv.cfg").exists(), "the configuration is not where the test expects it")
        check_equal(get(connection, "/../websrv.cfg")[0].status, 403, "status of a path above the root")
        check_file(connection, "/logo.jpg", site / "logo.jpg", "image/jpeg")
        check(connection.sock is socket_in_use, "http.client had to reconnect")
    finally:
        connection.close()
    connections = server.connections()
    check_equal(len(connections), 1, "connections accepted")
    answered = [(exchange.path, exchange.status) for exchange in connections[0]]
    check_equal(
        answered,
        [("/", 401), ("/", 200), ("/", 200), ("/demo.js", 200), ("/logo.jpg", 200), ("/notes.txt", 200),
         ("/docs?page=2", 302), ("/docs/?page=2", 200), ("/missing.htm", 404), ("/../websrv.cfg", 403),
         ("/logo.jpg", 200)],
        "requests on the connection",
    )
    return f"{len(answered)} requests over one connection: 401, 200s of four types, 302 followed, 404, 403"


def urllib_opener(server):
    passwords = urllib.request.HTTPPasswordMgrWithDefaultRealm()
    passwords.add_password(None, server.url("/"), LOGIN, PASSWORD)
    no_proxy = urllib.request.ProxyHandler({})
    opener = urllib.request.build_opener(no_proxy, urllib.request.HTTPBasicAuthHandler(passwords))
    with opener.open(server.url("/docs"), timeout=CLIENT_SECONDS) as response:
        check_equal(response.status, 200, "status at the end")
        check_equal(response.url, server.url("/docs/"), "where the redirect led")
        expected = (server.dir / "root" / "docs" / "index.htm").read_bytes()
        check(response.read() == expected, "docs/index.htm differs")
    return "urllib answered the challenge and followed the redirect"


def body(server):
    yield one_connection(server)
    yield urllib_opener(server)


if __name__ == "__main__":
    sys.exit(main(body, "Python http.client and urllib"))
