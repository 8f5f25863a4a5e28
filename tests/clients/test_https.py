#!/usr/bin/env python3
"""HTTPS: websrv with tls_cert and tls_key (a certificate made here with
openssl for 127.0.0.1) answers Python's ssl, curl (trusting the certificate,
and with -k), wget and openssl s_client: a download, a resumed range, a
revalidation and an upload, all over TLS 1.2 or 1.3 only. A plain HTTP
request on the TLS port is told to use https; a client that opens a
connection and never says hello is closed at job_timeout, and 200 handshakes
that stop half-way do not hold up a client whose handshake is done; sslscan
finds no protocol below TLS 1.2 and no weak cipher; sslscan and testssl find
the key exchange groups X25519, P-256 and P-384 and no other, and a client
that offers only a finite-field group is refused."""

import hashlib
import json
import http.client
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from websrv_harness import (
    LOGIN, PASSWORD, CLIENT_SECONDS, check, check_equal, main, make_certificate, require_program, run,
)

CURL = require_program("curl")
WGET = require_program("wget")
OPENSSL = require_program("openssl")
SSLSCAN = require_program("sslscan")
TESTSSL = require_program("testssl")
AUTH = {"Authorization": "Basic dXNlcjo1NzEy"}
# The key exchange groups the server takes, and the names scanners give them.
GROUPS = ["P-256", "P-384", "X25519"]
GROUP_NAMES = {"secp256r1": "P-256", "prime256v1": "P-256", "secp384r1": "P-384", "x25519": "X25519"}


def python_ssl(server, cert):
    context = ssl.create_default_context(cafile=str(cert))
    connection = http.client.HTTPSConnection("127.0.0.1", server.port, context=context, timeout=CLIENT_SECONDS)
    try:
        big = server.dir / "root" / "big.bin"
        big.write_bytes(os.urandom(3 << 20))
        connection.request("GET", "/big.bin", headers=AUTH)
        response = connection.getresponse()
        body = response.read()
        check_equal(response.status, 200, "status of a 3 MiB file over TLS")
        check(body == big.read_bytes(), "the file differs")
        tag = response.getheader("ETag")
        connection.request("GET", "/big.bin", headers={"Range": "bytes=1000-1999"})
        response = connection.getresponse()
        check_equal((response.status, response.read()), (206, big.read_bytes()[1000:2000]), "a range")
        connection.request("GET", "/big.bin", headers={"If-None-Match": tag})
        response = connection.getresponse()
        response.read()
        check_equal(response.status, 304, "a revalidation")
        connection.request("PUT", "/sent.bin", body=b"over tls", headers=AUTH)
        response = connection.getresponse()
        response.read()
        check_equal(response.status, 201, "an upload")
        version = connection.sock.version()
        check(version in ("TLSv1.2", "TLSv1.3"), f"the version: {version}")
        check_equal(connection.sock.selected_alpn_protocol(), None, "ALPN when none was offered")
    finally:
        connection.close()
    check_equal((server.dir / "root" / "sent.bin").read_bytes(), b"over tls", "the upload")
    return f"Python ssl ({version}): 3 MiB, a range, a 304 and an upload"


def curl_and_wget(server, cert, work):
    failures_before = server.log().count("tls failed")
    url = f"https://127.0.0.1:{server.port}/big.bin"
    digest = hashlib.sha256((server.dir / "root" / "big.bin").read_bytes()).hexdigest()
    for trust in (["--cacert", str(cert)], ["-k"]):
        result = run([CURL, "-sS", "--noproxy", "*", "--user", f"{LOGIN}:{PASSWORD}", *trust,
                      "--http1.1", "-o", str(work / "curl.bin"), url])
        check(result.returncode == 0, f"curl {trust[0]}: {result.stderr}")
        check_equal(hashlib.sha256((work / "curl.bin").read_bytes()).hexdigest(), digest, "curl's copy")
    # A resumed download: the first half is there, curl asks for the rest.
    half = (server.dir / "root" / "big.bin").read_bytes()[: 1 << 20]
    (work / "resumed.bin").write_bytes(half)
    result = run([CURL, "-sS", "--noproxy", "*", "--user", f"{LOGIN}:{PASSWORD}", "--cacert", str(cert),
                  "-C", "-", "-o", str(work / "resumed.bin"), url])
    check(result.returncode == 0, f"curl -C -: {result.stderr}")
    check_equal(hashlib.sha256((work / "resumed.bin").read_bytes()).hexdigest(), digest, "the resumed copy")
    result = run([WGET, "-q", "--no-proxy", f"--ca-certificate={cert}", f"--user={LOGIN}",
                  f"--password={PASSWORD}", "-O", str(work / "wget.bin"), url])
    check(result.returncode == 0, f"wget: {result.stderr}")
    check_equal(hashlib.sha256((work / "wget.bin").read_bytes()).hexdigest(), digest, "wget's copy")
    # wget, like many clients, closes without a close_notify after its answer.
    time.sleep(0.2)
    check_equal(server.log().count("tls failed"), failures_before,
                "a client that closed after its answer was logged as a failure: " +
                "; ".join(line for line in server.log().splitlines() if "tls failed" in line))
    return "curl (--cacert, -k, a resumed download) and wget fetched the file whole, no failure logged"


def s_client(server):
    def handshake(*options):
        return run([OPENSSL, "s_client", "-connect", f"127.0.0.1:{server.port}", "-alpn", "http/1.1",
                    *options], input="")
    good = handshake()
    check("ALPN protocol: http/1.1" in good.stdout, f"ALPN: {good.stdout[-600:]}")
    # Old versions, and a TLS 1.3 key exchange that would cost the server a
    # hundred X25519 handshakes.
    for refused_options in (["-tls1"], ["-tls1_1"], ["-groups", "ffdhe8192", "-tls1_3"]):
        refused = handshake(*refused_options)
        check("Cipher is (NONE)" in refused.stdout or refused.returncode != 0,
              f"{' '.join(refused_options)} was taken: {refused.stdout[-300:]}")
    return "openssl s_client: ALPN http/1.1; TLS 1.0 and 1.1 and a client offering only ffdhe8192 refused"


def plain_and_stalled(server):
    with socket.create_connection(("127.0.0.1", server.port), timeout=CLIENT_SECONDS) as plain:
        plain.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        answer = b""
        while chunk := plain.recv(4096):
            answer += chunk
    check(answer.startswith(b"HTTP/1.1 400 Bad Request") and b"https://" in answer,
          f"the answer to plain HTTP: {answer!r}")
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", server.port), timeout=CLIENT_SECONDS) as silent:
        check_equal(silent.recv(1), b"", "a connection that never says hello is closed")
    waited = time.monotonic() - started
    check(1.9 < waited < 4, f"closed after {waited:.1f} s, job_timeout is 2 s")
    return f"plain HTTP told to use https; a silent connection closed after {waited:.1f} s"


def half_open_flood(server, cert):
    """200 connections that start a hello and stop: a client whose handshake
    is done is still answered at once."""
    (server.dir / "root" / "small.txt").write_bytes(b"small")
    context = ssl.create_default_context(cafile=str(cert))
    connection = http.client.HTTPSConnection("127.0.0.1", server.port, context=context, timeout=CLIENT_SECONDS)
    flood = []
    try:
        def ask():
            started = time.monotonic()
            connection.request("GET", "/small.txt", headers=AUTH)
            response = connection.getresponse()
            check_equal((response.status, response.read()), (200, b"small"), "the established client")
            return time.monotonic() - started
        ask()
        for _ in range(200):
            half = socket.create_connection(("127.0.0.1", server.port), timeout=CLIENT_SECONDS)
            half.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")  # a hello cut short
            flood.append(half)
        slowest = max(ask() for _ in range(20))
    finally:
        connection.close()
        for half in flood:
            half.close()
    check(slowest < 0.1, f"an answer took {slowest * 1000:.0f} ms beside 200 half-open handshakes")
    return f"beside 200 half-open handshakes, the slowest of 20 answers took {slowest * 1000:.1f} ms"


def scanned(server):
    result = run([SSLSCAN, "--no-colour", f"127.0.0.1:{server.port}"], seconds=120)
    check(result.returncode == 0, f"sslscan: {result.stderr}")
    enabled = [line.split()[0] for line in result.stdout.splitlines()
               if line.strip().endswith("enabled") and line.split()[0].startswith(("SSL", "TLS"))]
    check_equal(sorted(enabled), ["TLSv1.2", "TLSv1.3"], "the protocols sslscan finds")
    weak = [line for line in result.stdout.splitlines()
            if line.startswith(("Accepted", "Preferred")) and
            any(word in line for word in ("RC4", "DES", "NULL", "EXP", "MD5", "CBC", "SHA "))]
    check_equal(weak, [], "weak ciphers")
    # Its key exchange groups, a line each: "TLSv1.3  128 bits  secp256r1 (NIST P-256)".
    listed = re.findall(r"^TLSv1\.[23] +\d+ bits +(\S+)", result.stdout, re.MULTILINE)
    groups = check_groups(listed, "sslscan")
    return f"sslscan: TLSv1.2 and TLSv1.3 only, no weak cipher, the groups {groups}"


def check_groups(found, scanner):
    """The groups a scanner `found` are the server's, no more and no fewer."""
    named = sorted({GROUP_NAMES.get(name.lower(), name) for name in found})
    check_equal(named, GROUPS, f"the key exchange groups {scanner} finds")
    return " ".join(named)


def testssl_groups(server, work):
    """testssl's forward secrecy check: the curves, and no finite-field group."""
    report = work / "testssl.json"
    result = run([TESTSSL, "--quiet", "--color", "0", "--warnings", "off", "--fs",
                  "--jsonfile", str(report), f"127.0.0.1:{server.port}"], seconds=150)
    check(result.returncode == 0 and report.exists(), f"testssl: {result.stdout[-600:]}")
    findings = {entry["id"]: entry["finding"] for entry in json.loads(report.read_text())}
    found = findings.get("PFS_ECDHE_curves", "").split() + findings.get("DH_groups", "").split()
    return f"testssl: the groups {check_groups(found, 'testssl')}"


def checks_with(cert):
    def body(server):
        yield python_ssl(server, cert)
        with tempfile.TemporaryDirectory(prefix="websrv-https-") as work:
            yield curl_and_wget(server, cert, Path(work))
        yield s_client(server)
        yield plain_and_stalled(server)
        yield half_open_flood(server, cert)
        yield scanned(server)
        with tempfile.TemporaryDirectory(prefix="websrv-testssl-") as work:
            yield testssl_groups(server, Path(work))
    return body


if __name__ == "__main__":
    certificates = Path(tempfile.mkdtemp(prefix="websrv-certs-"))
    try:
        cert, key = make_certificate(certificates, OPENSSL)
        config = (f"tls_cert={cert}\ntls_key={key}\nupload=1\nranges=1\nconditional=1\nlarge_files=1\n"
                  "wake_on_io=1\njob_timeout=2000\n")
        sys.exit(main(checks_with(cert), "HTTPS with OpenSSL", config))
    finally:
        shutil.rmtree(certificates, ignore_errors=True)
