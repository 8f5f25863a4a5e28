#!/usr/bin/env python3
"""wget against websrv serving the demo site: wget sends credentials only
when challenged, so each run starts with a 401 that it answers on the same
connection; then several files and a followed redirect over that connection,
and a recursive download of the whole site the way a user mirrors it."""

import os
import sys
import tempfile
from pathlib import Path

from websrv_harness import (
    DEMO_ANSWERS, DEMO_PATHS, LOGIN, PASSWORD, Websrv, answered, check, check_equal, main, require_program,
    run,
)

WGET = require_program("wget")


def wget(directory, *arguments):
    result = run(
        [WGET, "--no-verbose", "--no-proxy", "--tries=1", "--timeout=30",
         f"--user={LOGIN}", f"--password={PASSWORD}", *arguments],
        cwd=directory,
    )
    check(result.returncode == 0,
          f"wget {' '.join(arguments)} exited with {result.returncode}: {result.stderr.strip()}")
    return result.stderr


def last_connection(server):
    connections = server.connections()
    check(connections, "websrv logged no connection")
    return answered(connections[-1])


def check_saved(directory, site, saved_as):
    for saved, original in saved_as.items():
        path = directory / saved
        check(path.is_file(), f"wget did not save {saved}")
        same = path.read_bytes() == (site / original).read_bytes()
        check(same, f"{saved} differs from the site's {original}")


def files_and_redirect(server, directory):
    connections_before = len(server.connections())
    output = wget(directory, *(server.url(path) for path in DEMO_PATHS))
    check(server.url("/docs/") in output, f"wget did not follow the redirect to /docs/:\n{output}")
    check_saved(
        directory,
        server.dir / "root",
        {"index.html": "index.htm", "demo.js": "demo.js", "logo.jpg": "logo.jpg", "docs": "docs/index.htm"},
    )
    check_equal(len(server.connections()) - connections_before, 1, "connections wget opened")
    challenge = [("GET / HTTP/1.1", 401)]
    check_equal(last_connection(server), challenge + DEMO_ANSWERS, "requests on the connection")
    return "challenge, four files and a redirect over one connection"


def recursive_download(server, directory):
    connections_before = len(server.connections())
    wget(directory, "--recursive", "--level=3", "--no-parent", "--no-host-directories", server.url("/"))
    check_saved(
        directory,
        server.dir / "root",
        {"index.html": "index.htm", "demo.js": "demo.js", "logo.jpg": "logo.jpg",
         "docs/index.html": "docs/index.htm"},
    )
    check_equal(len(server.connections()) - connections_before, 1, "connections wget opened")
    requests = last_connection(server)
    check_equal(requests[:2], [("GET / HTTP/1.1", 401), ("GET / HTTP/1.1", 200)], "the first requests")
    check(("GET /robots.txt HTTP/1.1", 404) in requests,
          f"wget asked for robots.txt and got no 404: {requests}")
    return f"the site downloaded recursively: {len(requests)} requests over one connection"


def upload_after_the_challenge(server, directory):
    """wget sends its PUT's whole body before it reads the 401, then again with credentials."""
    data = os.urandom(1 << 20)
    (directory / "sent.bin").write_bytes(data)
    with Websrv(server.binary, config="upload=1\nwake_on_io=1\n") as uploads:
        wget(directory, "--method=PUT", f"--body-file={directory / 'sent.bin'}", "-O", "answer.txt",
             uploads.url("/sent.bin"))
        check((uploads.dir / "root" / "sent.bin").read_bytes() == data, "the stored file differs")
    return "a 1 MiB PUT stored after the challenge"


def body(server):
    for step in (files_and_redirect, recursive_download, upload_after_the_challenge):
        with tempfile.TemporaryDirectory(prefix="websrv-wget-") as directory:
            yield step(server, Path(directory))


if __name__ == "__main__":
    sys.exit(main(body, "wget"))
