#!/usr/bin/env python3
"""The share mounted by the WebDAV clients people use: the litmus suite, each
of its groups run alone (basic, copymove, props, locks, http) on a site with
webdav=1 and rights=*:change, and whole on `websrv -w DIR` and on
`websrv -c FILE` with those two keys; rclone's webdav
remote making a folder, copying a tree up and back, listing, checking every
byte, renaming and deleting; and cadaver, scripted, making a folder,
storing, renaming, locking, setting a property and reading it back, and
deleting; and the npm `webdav` client (installed by CI under
WEBSRV_NPM_PREFIX) doing the same from Node. Every client logs in with the
site's password."""

import json
import os
import re
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from websrv_harness import (LOGIN, PASSWORD, START_SECONDS, check, check_equal, free_port, main,
                            require_program, run)

LITMUS = require_program("litmus")
RCLONE = require_program("rclone")
CADAVER = require_program("cadaver")
CURL = require_program("curl")
NODE = require_program("node")
# Where CI installed npm's webdav client: PREFIX/node_modules/webdav.
NPM_PREFIX = Path(os.environ.get("WEBSRV_NPM_PREFIX", Path.home() / ".cache/websrv-npm"))
if not (NPM_PREFIX / "node_modules/webdav").is_dir():
    require_program("the npm webdav client in WEBSRV_NPM_PREFIX")
NODE_CLIENT = """
import { createClient } from "webdav";
const [url, username, password] = process.argv.slice(2);
const client = createClient(url, { username, password });
await client.createDirectory("/npm");
await client.putFileContents("/npm/a.txt", "from node\\n");
const names = (await client.getDirectoryContents("/npm")).map((entry) => entry.basename);
await client.moveFile("/npm/a.txt", "/npm/b.txt");
const text = await client.getFileContents("/npm/b.txt", { format: "text" });
const size = (await client.stat("/npm/b.txt")).size;
await client.deleteFile("/npm");
console.log(JSON.stringify({ names, text, size, left: await client.exists("/npm") }));
"""

KEYS = "webdav=1\nrights=*:change\ndecode_path=1\nconditional=1\nhead=1\nwake_on_io=1\n"
LITMUS_GROUPS = {"basic": 16, "copymove": 13, "props": 30, "locks": 41, "http": 4}


def litmus_passed(url, groups, env=None):
    """The tests litmus passed of `groups`, by group."""
    got = run([LITMUS, url, LOGIN, PASSWORD], seconds=120, cwd=tempfile.gettempdir(),
              env={**os.environ, **(env or {})})
    passed = dict(re.findall(r"summary for `(\w+)': of (\d+) tests run: \2 passed", got.stdout))
    for group in groups:
        check(passed.get(group) == str(LITMUS_GROUPS[group]),
              f"litmus {group}: not {LITMUS_GROUPS[group]} of {LITMUS_GROUPS[group]} passed\n"
              f"{got.stdout[-3000:]}")


def litmus(server):
    for group in LITMUS_GROUPS:
        litmus_passed(server.url("/"), [group], {"TESTS": group})
    yield f"litmus, each group alone: {sum(LITMUS_GROUPS.values())} of 104 passed"


def litmus_on(server, work, form, port, arguments, ready, told=None):
    """The whole suite on websrv started with `arguments` (listening on
    `port`) beside the site, once `told` (its output by default) holds
    `ready`."""
    output = work / f"{form}.txt"
    told = told or output
    with open(output, "wb") as out:
        process = subprocess.Popen([str(server.dir / "websrv"), *arguments],
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + START_SECONDS
        while not told.exists() or ready not in told.read_bytes():
            check(time.monotonic() < deadline and process.poll() is None,
                  f"websrv {form} did not start: {output.read_text()}")
            time.sleep(0.02)
        litmus_passed(f"http://127.0.0.1:{port}/", LITMUS_GROUPS)
    finally:
        os.kill(process.pid, signal.SIGKILL)
        process.wait(timeout=10)
    yield f"litmus on websrv {form}: 104 of 104 passed"


def litmus_on_the_other_forms(server, work):
    """`websrv -w DIR`, and `websrv -c FILE` with webdav=1 and rights=*:change."""
    for name in ("shared", "configured"):
        (work / name).mkdir()
    port = str(free_port())
    yield from litmus_on(server, work, "-w DIR", port,
                         ["-b", "127.0.0.1", "-p", port, "--auth", f"{LOGIN}:{PASSWORD}", "-w",
                          str(work / "shared")], b"login: ")
    port = str(free_port())
    (work / "site.cfg").write_text(
        f"ip=127.0.0.1\nport={port}\nlogin={LOGIN}\npassword={PASSWORD}\n"
        f"root={work / 'configured'}/\nlog={work / 'configured.log'}\nwebdav=1\nrights=*:change\n")
    yield from litmus_on(server, work, "-c FILE", port, ["-c", str(work / "site.cfg")],
                         b"server activated", work / "configured.log")


def rclone(server, work):
    obscured = run([RCLONE, "obscure", PASSWORD]).stdout.strip()
    env = {**os.environ, "RCLONE_CONFIG": os.devnull, "RCLONE_CONFIG_SHARE_TYPE": "webdav",
           "RCLONE_CONFIG_SHARE_URL": server.url("/"), "RCLONE_CONFIG_SHARE_VENDOR": "other",
           "RCLONE_CONFIG_SHARE_USER": LOGIN, "RCLONE_CONFIG_SHARE_PASS": obscured}
    local = work / "tree"
    for name, data in {"a.txt": b"alpha\n", "sub/b.bin": os.urandom(300000),
                       "sub/deeper/c d.txt": b"spaces\n"}.items():
        (local / name).parent.mkdir(parents=True, exist_ok=True)
        (local / name).write_bytes(data)

    def rc(*arguments):
        got = run([RCLONE, *arguments], seconds=60, env=env)
        check_equal(got.returncode, 0, f"rclone {' '.join(arguments)}: {got.stderr[-2000:]}")
        return got.stdout

    rc("mkdir", "share:up")
    rc("copy", str(local), "share:up")
    check("up" in rc("lsd", "share:"), "rclone lsd does not list the folder it made")
    rc("check", str(local), "share:up")
    rc("copy", "share:up", str(work / "back"))
    got = run(["diff", "-r", str(local), str(work / "back")])
    check_equal(got.returncode, 0, f"the tree copied back differs: {got.stdout[-2000:]}")
    rc("moveto", "share:up/a.txt", "share:up/renamed.txt")
    check_equal((server.dir / "root/up/renamed.txt").read_bytes(), b"alpha\n", "the renamed file")
    rc("delete", "share:up/sub")
    check(not any((server.dir / "root/up/sub").rglob("*.*")), "rclone delete left files")
    rc("purge", "share:up")
    check(not (server.dir / "root/up").exists(), "rclone purge left the folder")
    yield "rclone: mkdir, copy up and back, lsd, check, moveto, delete and purge"


def cadaver(server, work):
    (work / "home").mkdir()
    (work / "home/.netrc").write_text(f"machine 127.0.0.1 login {LOGIN} password {PASSWORD}\n")
    (work / "note.txt").write_text("from cadaver\n")
    script = "\n".join([
        "mkcol box", "cd box", f"put {work / 'note.txt'} note.txt", "move note.txt kept.txt",
        "lock kept.txt", "propset kept.txt colour green", "propget kept.txt colour",
        "unlock kept.txt", f"get kept.txt {work / 'back.txt'}", "ls", "cd ..", "quit", ""])
    got = run([CADAVER, server.url("/")], input=script, env={**os.environ, "HOME": str(work / "home")})
    check_equal((work / "back.txt").read_text(), "from cadaver\n", f"cadaver's get\n{got.stdout}")
    check("green" in got.stdout, f"cadaver's propget does not read the property back\n{got.stdout}")
    check("kept.txt" in got.stdout and "failed" not in got.stdout.lower(),
          f"cadaver's session\n{got.stdout}")
    got = run([CADAVER, server.url("/")], input="rmcol box\nquit\n",
              env={**os.environ, "HOME": str(work / "home")})
    check(not (server.dir / "root/box").exists(), f"cadaver's rmcol\n{got.stdout}")
    yield "cadaver: mkcol, put, move, lock, propset, propget, unlock, get, ls, rmcol"


def npm_client(server, work):
    # Node finds the package beside the script.
    (work / "node").mkdir()
    (work / "node/node_modules").symlink_to(NPM_PREFIX / "node_modules")
    (work / "node/client.mjs").write_text(NODE_CLIENT)
    got = run([NODE, str(work / "node/client.mjs"), server.url("/"), LOGIN, PASSWORD])
    check_equal(got.returncode, 0, f"the npm webdav client: {got.stderr[-2000:]}")
    check_equal(json.loads(got.stdout),
                {"names": ["a.txt"], "text": "from node\n", "size": 10, "left": False},
                "what the npm webdav client saw")
    yield "npm webdav: createDirectory, putFileContents, list, moveFile, get, stat, delete"


def piped_upload(server, work):
    """`tar c DIR | curl -T - URL`: a body of unknown length, sent in chunks."""
    archive = subprocess.run(["tar", "c", "-C", str(server.dir / "root"), "."],
                             capture_output=True, timeout=30, check=True).stdout
    (work / "site.tar").write_bytes(archive)
    got = run(["sh", "-c", f'cat "$1" | "$2" -sS --noproxy "*" -u {LOGIN}:{PASSWORD} -T - "$3"',
               "sh", str(work / "site.tar"), CURL, server.url("/site.tar")])
    check_equal(got.returncode, 0, f"curl -T -: {got.stderr}")
    check_equal((server.dir / "root/site.tar").read_bytes(), archive, "the piped archive")
    yield f"tar c | curl -T -: {len(archive)} bytes stored as sent"


def body(server):
    with tempfile.TemporaryDirectory(prefix="websrv-webdav-") as folder:
        work = Path(folder)
        yield from litmus(server)
        yield from litmus_on_the_other_forms(server, work)
        yield from rclone(server, work)
        yield from cadaver(server, work)
        yield from npm_client(server, work)
        yield from piped_upload(server, work)


if __name__ == "__main__":
    raise SystemExit(main(body, "WebDAV clients", KEYS))
