#!/usr/bin/env python3
"""The share mounted by the WebDAV clients people use: the litmus suite, each
of its groups whole (basic, copymove, props, locks, http); rclone's webdav
remote making a folder, copying a tree up, listing, checking every byte,
renaming and deleting; and cadaver, scripted, making a folder, storing,
renaming, locking, setting a property and reading it back, and deleting.
Every client logs in with the site's password and writes where the rights
let every user change (rights=*:change)."""

import os
import re
import tempfile
from pathlib import Path

from websrv_harness import LOGIN, PASSWORD, check, check_equal, main, require_program, run

LITMUS = require_program("litmus")
RCLONE = require_program("rclone")
CADAVER = require_program("cadaver")

KEYS = "webdav=1\nrights=*:change\ndecode_path=1\nconditional=1\nhead=1\nwake_on_io=1\n"
LITMUS_GROUPS = {"basic": 16, "copymove": 13, "props": 30, "locks": 41, "http": 4}


def litmus(server):
    got = run([LITMUS, server.url("/"), LOGIN, PASSWORD], seconds=120, cwd=tempfile.gettempdir())
    summaries = dict(re.findall(r"summary for `(\w+)': of (\d+) tests run: \2 passed", got.stdout))
    for group, count in LITMUS_GROUPS.items():
        check(summaries.get(group) == str(count),
              f"litmus {group}: not {count} of {count} passed\n{got.stdout[-3000:]}")
    yield f"litmus: {sum(LITMUS_GROUPS.values())} of {sum(LITMUS_GROUPS.values())} passed"


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
    rc("moveto", "share:up/a.txt", "share:up/renamed.txt")
    check_equal((server.dir / "root/up/renamed.txt").read_bytes(), b"alpha\n", "the renamed file")
    rc("delete", "share:up/sub")
    check(not any((server.dir / "root/up/sub").rglob("*.*")), "rclone delete left files")
    rc("purge", "share:up")
    check(not (server.dir / "root/up").exists(), "rclone purge left the folder")
    yield "rclone: mkdir, copy, lsd, check, moveto, delete and purge"


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


def body(server):
    with tempfile.TemporaryDirectory(prefix="websrv-webdav-") as folder:
        work = Path(folder)
        yield from litmus(server)
        yield from rclone(server, work)
        yield from cadaver(server, work)


if __name__ == "__main__":
    raise SystemExit(main(body, "WebDAV clients", KEYS))
