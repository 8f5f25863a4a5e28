#!/usr/bin/env python3
"""Behind real proxies with TLS at the proxy: nginx (X-Forwarded-For,
-Proto and -Host, kept-alive upstream connections that carry many clients'
requests) in front of one websrv with trusted_proxies, and haproxy
(send-proxy-v2) in front of another with proxy_protocol=1, both websrv
plain HTTP on loopback. Through each: a browser's upload form (an https
Origin, Sec-Fetch-Site: same-origin) stores its file, and another site's is
refused; one client's wrong passwords lock out that client only, not
another behind the same proxy; the log names each real client. Then two
websrv copies on one folder behind haproxy, which alternates between them:
a file uploaded through one is read through the other, with the same
entity tag. Clients differ by their loopback address (curl --interface
127.0.0.x)."""

import os
import signal
import socket
import subprocess
import tempfile
import shutil
import sys
import time
from pathlib import Path

from websrv_harness import (
    LOGIN, PASSWORD, START_SECONDS, CheckFailed, Websrv, check, check_equal, free_port, main,
    make_certificate, require_program, run,
)

CURL = require_program("curl")
OPENSSL = require_program("openssl")
NGINX = require_program("nginx")
HAPROXY = require_program("haproxy")

LIMIT = 3  # the login_limit of both servers
SERVER_KEYS = f"trusted_proxies=127.0.0.1\nlogin_limit={LIMIT}\nlog_format=combined\nupload=1\n"

NGINX_CONFIG = """
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log {dir}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    upstream websrv {{
        server 127.0.0.1:{upstream};
        keepalive 4;
    }}
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        client_max_body_size 16m;
        location / {{
            proxy_pass http://websrv;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header Host $host;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
            proxy_set_header X-Forwarded-Proto $scheme;
            proxy_set_header X-Forwarded-Host $http_host;
        }}
    }}
}}
"""

HAPROXY_CONFIG = """
global
    maxconn 64
defaults
    mode http
    timeout connect 5s
    timeout client 30s
    timeout server 30s
frontend share
    bind 127.0.0.1:{port} ssl crt {pem}
    http-request set-header X-Forwarded-Proto https
    default_backend websrv
backend websrv
{servers}
"""


class Proxy:
    """A proxy program run in the foreground with its configuration file,
    waited for on its port and stopped by its PID."""

    def __init__(self, name, command, port, directory):
        self.name, self.command, self.port, self.dir = name, command, port, directory
        self.process = None

    def __enter__(self):
        with open(self.dir / f"{self.name}.out", "wb") as out:
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.__exit__()
        output = (self.dir / f"{self.name}.out").read_text(errors="replace")
        raise CheckFailed(f"{self.name} did not listen on {self.port}:\n{output}")

    def __exit__(self, *exception):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait(timeout=10)
        return False


def curl_status(base, cert, client, path="/", extra=()):
    """The status of one request from loopback address `client` through the proxy at `base`."""
    result = run([CURL, "--silent", "--cacert", str(cert), "--interface", client, "--output", "/dev/null",
                  "--write-out", "%{http_code}", *extra, base + path])
    check(result.returncode == 0, f"curl from {client} failed: {result.stderr}")
    return int(result.stdout)


def upload(base, cert, work, name, origin):
    """A browser's upload form through the proxy, as the browser sends it."""
    sent = work / name
    sent.write_bytes(bytes(range(256)) * 64 + b"\r\n--boundary-like\r\n")
    return curl_status(base, cert, "127.0.0.4", "/", [
        "--user", f"{LOGIN}:{PASSWORD}", "--form", f"file=@{sent};filename={name}",
        "--header", f"Origin: {origin}", "--header", "Sec-Fetch-Site: same-origin",
        "--header", "Accept: text/html,application/xhtml+xml,*/*;q=0.8"]), sent.read_bytes()


def checks_through(server, base, cert, work, what):
    """Every check through the proxy at `base` in front of `server`."""
    status, sent = upload(base, cert, work, f"{what}.bin", base)
    check_equal(status, 303, f"{what}: the upload form's answer")
    check_equal((server.dir / "root" / f"{what}.bin").read_bytes(), sent, f"{what}: the stored file")
    status, _ = upload(base, cert, work, f"{what}-evil.bin", "https://evil.example")
    check_equal(status, 403, f"{what}: another site's form")
    check(not (server.dir / "root" / f"{what}-evil.bin").exists(), f"{what}: another site's form stored")
    yield f"{what}: the upload form stores through the proxy; another site's is refused"

    wrong = ["--user", f"{LOGIN}:wrong"]
    right = ["--user", f"{LOGIN}:{PASSWORD}"]
    for attempt in range(LIMIT):
        check_equal(curl_status(base, cert, "127.0.0.2", "/", wrong), 401, f"{what}: wrong password {attempt + 1}")
    locked = curl_status(base, cert, "127.0.0.2", "/", right)
    check(locked in (403, 429), f"{what}: the client with {LIMIT} wrong passwords was answered {locked}")
    check_equal(curl_status(base, cert, "127.0.0.3", "/", right), 200, f"{what}: another client")
    yield f"{what}: {LIMIT} wrong passwords lock out 127.0.0.2 ({locked}), not 127.0.0.3"

    lines = [line for line in server.log().splitlines() if '"GET / HTTP/1.' in line or '"POST' in line]
    clients = {line.split(" ", 1)[0] for line in lines}
    check_equal(clients, {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, f"{what}: the clients the log names")
    check(any(line.startswith("127.0.0.3 - user [") for line in lines), f"{what}: the logged-in client's line")
    check(any("127.0.0.2:" in line and "login limit reached" in line for line in server.log().splitlines()),
          f"{what}: the locked-out client's line")
    yield f"{what}: the log names 127.0.0.2, .3 and .4, never the proxy"


def fetched(base, cert, path):
    """The status, ETag and body of an authenticated GET through the proxy."""
    result = subprocess.run([CURL, "--silent", "--cacert", str(cert), "--user", f"{LOGIN}:{PASSWORD}",
                             "--dump-header", "-", base + path], capture_output=True, timeout=30)
    head, _, body = result.stdout.partition(b"\r\n\r\n")
    lines = head.decode(errors="replace").split("\r\n")
    tag = next((line.split(":", 1)[1].strip() for line in lines if line.lower().startswith("etag:")), None)
    return int(lines[0].split(" ")[1]), tag, body


def two_copies(binary, server, cert, pem, work):
    """Two copies on one folder behind haproxy's round robin: what one stores the other serves, with one tag."""
    keys = SERVER_KEYS + "conditional=1\n"
    with Websrv(binary, config=keys, shared=server.root()) as one, \
            Websrv(binary, config=keys, shared=server.root()) as two:
        port = free_port()
        servers = "\n".join([
            "    balance roundrobin",
            "    option forwardfor",
            f"    server one 127.0.0.1:{one.port}",
            f"    server two 127.0.0.1:{two.port}"])
        (work / "copies.cfg").write_text(HAPROXY_CONFIG.format(port=port, pem=pem, servers=servers))
        base = f"https://127.0.0.1:{port}"
        with Proxy("haproxy-copies", [HAPROXY, "-db", "-f", str(work / "copies.cfg")], port, work):
            status, sent = upload(base, cert, work, "copies.bin", base)
            check_equal(status, 303, "the upload through the balancer")
            answers = [fetched(base, cert, "/copies.bin") for _ in range(2)]
        for copy in (one, two):
            check('"GET /copies.bin HTTP/1.1" 200' in copy.log(), f"a copy served no GET:\n{copy.report()}")
        check_equal([(status, body) for status, _, body in answers], [(200, sent)] * 2, "what both copies serve")
        check(answers[0][1] is not None and answers[0][1] == answers[1][1],
              f"the copies' tags differ: {answers[0][1]} and {answers[1][1]}")
    return f"two copies on one folder: stored through one, read through both with the tag {answers[0][1]}"


def checks(server):
    work = Path(tempfile.mkdtemp(prefix="websrv-proxies-"))
    try:
        cert, key = make_certificate(work, OPENSSL)
        pem = work / "both.pem"
        pem.write_bytes(cert.read_bytes() + key.read_bytes())

        nginx_port = free_port()
        (work / "nginx.conf").write_text(NGINX_CONFIG.format(
            dir=work, upstream=server.port, port=nginx_port, cert=cert, key=key))
        with Proxy("nginx", [NGINX, "-c", str(work / "nginx.conf"), "-e", str(work / "nginx-error.log")],
                   nginx_port, work):
            yield from checks_through(server, f"https://127.0.0.1:{nginx_port}", cert, work, "nginx")

        with Websrv(sys.argv[1], server.site, SERVER_KEYS + "proxy_protocol=1\n") as behind_haproxy:
            haproxy_port = free_port()
            (work / "haproxy.cfg").write_text(HAPROXY_CONFIG.format(
                port=haproxy_port, pem=pem, servers=f"    server one 127.0.0.1:{behind_haproxy.port} send-proxy-v2"))
            with Proxy("haproxy", [HAPROXY, "-db", "-f", str(work / "haproxy.cfg")], haproxy_port, work):
                try:
                    yield from checks_through(behind_haproxy, f"https://127.0.0.1:{haproxy_port}", cert, work,
                                              "haproxy")
                except CheckFailed as failure:
                    raise CheckFailed(f"{failure}\n{behind_haproxy.report()}")
            # A connection that does not begin with a PROXY header is closed unanswered.
            with socket.create_connection(("127.0.0.1", behind_haproxy.port), timeout=5) as direct:
                direct.sendall(b"GET / HTTP/1.1\r\nHost: h\r\n\r\n")
                check_equal(direct.recv(100), b"", "a request without a PROXY header")
            yield "haproxy: a connection without a PROXY header is closed unanswered"

        yield two_copies(sys.argv[1], server, cert, pem, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(checks, "websrv behind nginx and haproxy", SERVER_KEYS))
