#!/usr/bin/env python3
"""curl against websrv serving the demo site: several files and a followed
redirect over one kept-alive connection with --user, the 401 challenge
answered on the same connection, and the attempt limit as curl sees it."""

import sys
import tempfile
from pathlib import Path

from websrv_harness import (
    DEMO_ANSWERS, LOGIN, PASSWORD, answered, check, check_equal, main, require_program, run,
)

CURL = require_program("curl")

# What `-w` prints after each transfer.
WRITE_OUT = "%{http_code} %{num_connects} %{num_redirects} %{content_type} %{url_effective}\\n"

# Path asked for, the file that answers it, and its content type.
DEMO_FILES = [
    ("/", "index.htm", "text/html"),
    ("/demo.js", "demo.js", "application/javascript"),
    ("/logo.jpg", "logo.jpg", "image/jpeg"),
    ("/docs", "docs/index.htm", "text/html"),  # redirected to /docs/
]


def curl(*arguments):
    result = run([CURL, "--silent", "--show-error", "--noproxy", "*", "--max-time", "30", *arguments])
    check(result.returncode == 0, f"curl {' '.join(arguments)} failed: {result.stderr.strip()}")
    return [line.split(" ") for line in result.stdout.splitlines()]


def files_over_one_connection(server, out):
    outputs = []
    for index, _ in enumerate(DEMO_FILES):
        outputs += ["--output", str(out / f"file{index}")]
    urls = [server.url(path) for path, _, _ in DEMO_FILES]
    transfers = curl("--user", f"{LOGIN}:{PASSWORD}", "--location", "--write-out", WRITE_OUT, *outputs, *urls)
    check_equal(len(transfers), len(DEMO_FILES), "transfers reported")

    site = server.dir / "root"
    for index, ((path, file_name, content_type), transfer) in enumerate(zip(DEMO_FILES, transfers)):
        code, connects, redirects, received_type, effective_url = transfer
        check_equal(code, "200", f"status of {path}")
        check_equal(received_type, content_type, f"content type of {path}")
        check_equal(connects, "1" if index == 0 else "0", f"new connections opened for {path}")
        received = (out / f"file{index}").read_bytes()
        check(received == (site / file_name).read_bytes(), f"{path} arrived changed")
        if path == "/docs":
            check_equal(redirects, "1", "redirects followed for /docs")
            check_equal(effective_url, server.url("/docs/"), "where the redirect led")

    connections = server.connections()
    check_equal(len(connections), 1, "connections accepted")
    check_equal(answered(connections[0]), DEMO_ANSWERS, "requests on the connection")
    check_equal(server.log().count("authorization detected"), 1, "authentications")
    return "four files and a redirect over one connection with --user"


def challenge_answered_on_the_same_connection(server):
    # --anyauth sends no credentials until the server asks for them.
    transfers = curl("--anyauth", "--user", f"{LOGIN}:{PASSWORD}", "--output", "/dev/null",
                     "--write-out", WRITE_OUT, server.url("/demo.js"))
    check_equal(transfers[0][:2], ["200", "1"], "status and connections of the challenged transfer")
    connection = server.connections()[-1]
    check_equal(
        answered(connection),
        [("GET /demo.js HTTP/1.1", 401), ("GET /demo.js HTTP/1.1", 200)],
        "requests on the connection",
    )
    check("Authorization: Basic " in connection[1].head, "the second request carries credentials")
    return "the 401 challenge answered on the same connection with --anyauth"


def attempts_run_out(server):
    urls = [server.url("/")] * 6
    outputs = ["--output", "/dev/null"] * len(urls)
    transfers = curl("--user", f"{LOGIN}:wrong", *outputs, "--write-out", WRITE_OUT, *urls)
    check_equal([t[0] for t in transfers], ["401"] * 4 + ["403"] * 2, "statuses with a wrong password")
    check_equal([t[1] for t in transfers], ["1"] + ["0"] * 5, "new connections opened")
    return "a wrong password: four 401s, then 403, on one connection"


def body(server):
    with tempfile.TemporaryDirectory(prefix="websrv-curl-") as out:
        yield files_over_one_connection(server, Path(out))
    yield challenge_answered_on_the_same_connection(server)
    yield attempts_run_out(server)


if __name__ == "__main__":
    sys.exit(main(body, "curl"))
