#!/usr/bin/env python3
"""A folder downloaded as one ZIP archive (listing=1, ?download=zip) and
checked by four readers: unzip -t, 7z t, bsdtar -tf and Python's zipfile,
which also compares every file's bytes with the folder's. The folder holds
nested and empty folders, an empty file, a binary one of a few MiB and names
beyond ASCII; hidden names and a link out of the root stay out. A second
folder of more than 65,535 files needs ZIP64 end records, and every reader
takes them. The archive is reached through the listing's link, as a browser
would, and its length, type and file name are what the header says."""

import base64
import os
import random
import struct
import sys
import tempfile
import urllib.parse
import urllib.request
import zipfile
from pathlib import Path

from websrv_harness import CLIENT_SECONDS, LOGIN, PASSWORD, check, check_equal, main, require_program, run

UNZIP = require_program("unzip")
SEVEN_ZIP = require_program("7z")
BSDTAR = require_program("bsdtar")

# Without wake_on_io every piece of the body waits for the next 100 ms poll.
KEYS = "listing=1\ndecode_path=1\nwake_on_io=1\n"
AUTHORIZATION = "Basic " + base64.b64encode(f"{LOGIN}:{PASSWORD}".encode()).decode()
FOLDER = "sh\u00e4re"  # its name is not ASCII: the attachment's filename* says it exactly
# Files of the folder, by their path in it, with their bytes; the same on every run.
FILES = {
    "a.txt": b"hello\n",
    "empty.txt": b"",
    "big.bin": random.Random(7).randbytes(3 << 20),
    "docs/\u00e9t\u00e9.txt": "\u00e9t\u00e9\n".encode(),
    "docs/deeper/with space.txt": b"spaces\n",
}
EMPTY_FOLDERS = ["void"]
MANY = 66000  # more entries than the 16-bit count of the end record holds
# The readers print names beyond ASCII as they are only in a UTF-8 locale.
UTF8_LOCALE = {**os.environ, "LC_ALL": "C.UTF-8"}


def fetch(server, path):
    """The answer's header fields and body for an authenticated GET."""
    request = urllib.request.Request(server.url(path), headers={"Authorization": AUTHORIZATION})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(request, timeout=CLIENT_SECONDS) as answer:
        return answer.headers, answer.read()


def make_folder(root):
    folder = root / FOLDER
    for name, data in FILES.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)
    for name in EMPTY_FOLDERS:
        (folder / name).mkdir()
    (folder / ".hidden").write_bytes(b"secret")
    (folder / "outside").symlink_to("/etc")
    return folder


def expected_names():
    prefix = FOLDER + "/"
    folders = {prefix} | {prefix + name + "/" for name in EMPTY_FOLDERS}
    for name in FILES:
        parts = name.split("/")[:-1]
        folders |= {prefix + "/".join(parts[: i + 1]) + "/" for i in range(len(parts))}
    return sorted(folders | {prefix + name for name in FILES})


def check_readers(archive, names):
    """unzip, 7z and bsdtar test the archive; each lists `names`."""
    result = run([UNZIP, "-t", archive], env=UTF8_LOCALE)
    check(result.returncode == 0 and "No errors detected" in result.stdout,
          f"unzip -t: {result.stdout[-500:]}{result.stderr}")
    result = run([SEVEN_ZIP, "t", archive], env=UTF8_LOCALE)
    check(result.returncode == 0 and "Everything is Ok" in result.stdout, f"7z t: {result.stdout[-500:]}{result.stderr}")
    result = run([BSDTAR, "-tf", archive], env=UTF8_LOCALE)
    check_equal(result.returncode, 0, f"bsdtar -tf's exit code ({result.stderr.strip()})")
    check_equal(sorted(result.stdout.splitlines()), sorted(names), "the names bsdtar lists")


def zip_of_a_folder(server, out):
    make_folder(server.dir / "root")
    _, page = fetch(server, "/" + urllib.parse.quote(FOLDER) + "/")
    check(b'href="?download=zip"' in page, "the listing links the folder's archive")
    link = urllib.parse.urljoin("/" + urllib.parse.quote(FOLDER) + "/", "?download=zip")
    fields, body = fetch(server, link)
    check_equal(fields["Content-Type"], "application/zip", "Content-Type")
    check_equal(int(fields["Content-Length"]), len(body), "Content-Length against the bytes that came")
    check_equal(fields["Content-Disposition"],
                "attachment; filename=\"sh__re.zip\"; filename*=UTF-8''sh%C3%A4re.zip", "Content-Disposition")
    archive = out / "folder.zip"
    archive.write_bytes(body)

    with zipfile.ZipFile(archive) as z:
        check_equal(z.testzip(), None, "the first damaged member zipfile finds")
        check_equal(sorted(z.namelist()), expected_names(), "the names zipfile reads")
        for name, data in FILES.items():
            check(z.read(f"{FOLDER}/{name}") == data, f"{name} arrived changed")
    check_readers(archive, expected_names())
    return f"{len(body)} bytes: unzip, 7z, bsdtar and zipfile read {len(expected_names())} entries, every file whole"


def zip64_by_count(server, out):
    many = server.dir / "root" / "many"
    many.mkdir()
    for i in range(MANY):
        (many / f"{i:05}").touch()
    _, body = fetch(server, "/many/?download=zip")
    archive = out / "many.zip"
    archive.write_bytes(body)
    # The end record says its count is in the ZIP64 end record.
    check_equal(struct.unpack("<H", body[-22 + 10 : -22 + 12])[0], 0xFFFF, "the 16-bit count of entries")
    names = ["many/"] + [f"many/{i:05}" for i in range(MANY)]
    with zipfile.ZipFile(archive) as z:
        check_equal(len(z.infolist()), MANY + 1, "the entries zipfile reads")
    check_readers(archive, names)
    return f"{MANY} files and their folder: ZIP64 end records, read by all four"


def body(server):
    with tempfile.TemporaryDirectory(prefix="websrv-zip-") as directory:
        out = Path(directory)
        yield zip_of_a_folder(server, out)
        yield zip64_by_count(server, out)


if __name__ == "__main__":
    sys.exit(main(body, "a folder as one ZIP archive", KEYS))
