#!/usr/bin/env python3
"""Python's own HTTP clients against websrv serving the demo site: http.client
on one kept-alive connection through the challenge, every kind of answer and
a redirect followed by hand; then urllib's opener, which answers the
challenge and follows the redirect by itself; then uploads as both send them,
whose refusals they must read however much of the body they sent first."""

import base64
import http.client
import io
import os
import sys
import urllib.error
import urllib.request
from email.utils import parsedate_to_datetime

from websrv_harness import CLIENT_SECONDS, LOGIN, PASSWORD, Websrv, check, check_equal, main

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


def opener_with_challenge(server):
    """urllib's opener that sends credentials only once it is challenged."""
    passwords = urllib.request.HTTPPasswordMgrWithDefaultRealm()
    passwords.add_password(None, server.url("/"), LOGIN, PASSWORD)
    no_proxy = urllib.request.ProxyHandler({})
    return urllib.request.build_opener(no_proxy, urllib.request.HTTPBasicAuthHandler(passwords))


def urllib_opener(server):
    opener = opener_with_challenge(server)
    with opener.open(server.url("/docs"), timeout=CLIENT_SECONDS) as response:
        check_equal(response.status, 200, "status at the end")
        check_equal(response.url, server.url("/docs/"), "where the redirect led")
        expected = (server.dir / "root" / "docs" / "index.htm").read_bytes()
        check(response.read() == expected, "docs/index.htm differs")
    return "urllib answered the challenge and followed the redirect"


def uploads(binary):
    with Websrv(binary, config="upload=1\nwake_on_io=1\n") as server:
        data = os.urandom(20 << 20)
        # The whole body goes out before the 401 is read, then again with credentials.
        put = urllib.request.Request(server.url("/big.bin"), data=data, method="PUT")
        with opener_with_challenge(server).open(put, timeout=CLIENT_SECONDS) as response:
            check_equal(response.status, 201, "status of urllib's PUT after the challenge")
        check((server.dir / "root" / "big.bin").read_bytes() == data, "the stored file differs")

        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=CLIENT_SECONDS)
        try:
            connection.request("PUT", "/big.bin", body=data, headers={"Authorization": CREDENTIALS})
            response = connection.getresponse()
            check_equal(response.status, 409, "status of a PUT over an existing name")
            check(b"big.bin exists" in response.read(), "the 409 does not name the file")
        finally:
            connection.close()

        # A body whose length the client does not know in advance comes in chunks.
        chunked = urllib.request.Request(server.url("/chunked.bin"), data=iter([b"abc"] * 1000),
                                         method="PUT", headers={"Authorization": CREDENTIALS})
        with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(
                chunked, timeout=CLIENT_SECONDS) as stored:
            check_equal(stored.status, 201, "status of a chunked PUT")
        check_equal((server.dir / "root" / "chunked.bin").read_bytes(), b"abc" * 1000,
                    "the chunked PUT's file")
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=CLIENT_SECONDS)
        try:
            connection.request("PUT", "/stream.bin", body=io.BytesIO(data[:300000]),
                               encode_chunked=True, headers={"Authorization": CREDENTIALS,
                                                             "Transfer-Encoding": "chunked"})
            response = connection.getresponse()
            response.read()
            check_equal(response.status, 201, "status of a PUT of a file object in chunks")
        finally:
            connection.close()
        check_equal((server.dir / "root" / "stream.bin").read_bytes(), data[:300000],
                    "the file object's bytes")
        check(server.alive(), "websrv ended")
    return "uploads: 20 MiB PUT after the challenge stored, 409 read by its client, chunked PUTs stored"


def body(server):
    yield one_connection(server)
    yield urllib_opener(server)
    yield uploads(server.binary)


if __name__ == "__main__":
    sys.exit(main(body, "Python http.client and urllib"))
