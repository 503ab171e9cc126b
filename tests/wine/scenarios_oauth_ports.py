"""The sign-in's Windows back ends under Wine, each on its own through oauth_ports.exe:
WinHTTP's asynchronous requests against a local HTTP server (a reply, a form POST, a slow
reply during which the message loop goes on answering, a body larger than the buffer, plain
HTTP to another host refused), the DPAPI token file (sealed, loaded back, replaced, erased),
CNG's SHA-256 and random bytes, and the loopback listener answering a browser's redirect."""
import hashlib
import http.server
import os
import shutil
import subprocess
import threading
import time
import urllib.request

import harness
import wine_host
from harness import check, log

SECRET = b"kestova-refresh-3f9a7c"


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _reply(self, body, status=200):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/slow"):
            time.sleep(1.5)
            self._reply(b'{"slow":true}')
        elif self.path.startswith("/large"):
            self._reply(b"x" * 40000)
        else:
            self._reply(b'{"path":"' + self.path.encode() + b'"}')

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        kind = self.headers.get("Content-Type", "")
        self._reply(b'{"form":"' + body + b'","type":"' + kind.encode() + b'"}', 400)


def run(env, *args, timeout=60):
    cmd = wine_host.wine_command(f"C:\\kctest-{env.arch}\\oauth_ports.exe", *args)
    done = subprocess.run(cmd, cwd=env.helpers_linux, env=env.wenv, capture_output=True,
                          timeout=timeout)
    out = done.stdout.decode("latin-1").replace("\r", "")
    log(f"oauth_ports {' '.join(args)} -> {done.returncode}: {out.strip()}")
    return done.returncode, out


def field(out, name):
    for line in out.splitlines():
        parts = line.split()
        if parts and parts[0] == name:
            return parts[1:]
    return None


def fields(line_parts):
    return dict(zip(line_parts[1::2], line_parts[2::2])) | {"status": line_parts[0]}


def oauth_ports(env):
    helper = os.path.join(env.helpers, "oauth_ports.exe")
    if not os.path.exists(helper):
        raise harness.Skip("oauth_ports.exe is not built")
    shutil.copy2(helper, env.helpers_linux)

    # CNG: SHA-256 of "abc" and two different random draws.
    rc, out = run(env, "crypto")
    check(rc == 0, f"crypto failed: {out}")
    check(field(out, "sha256") == [hashlib.sha256(b"abc").hexdigest()], f"sha256: {out}")
    a, b = field(out, "random")
    check(a != b and a != "00" * 16, f"random bytes {a} {b}")

    # DPAPI: the file under LOCALAPPDATA\KESTOVA holds no plain text; load gives it back.
    rc, out = run(env, "store", "save")
    check(rc == 0 and "saved" in out, f"save: {out}")
    where = " ".join(field(out, "where"))
    check(where.lower().endswith("\\kestova\\token.dat") and "AppData\\Local" in where,
          f"token file at {where}")
    users = os.path.join(env.prefix, "drive_c", "users")
    files = [os.path.join(d, f) for d, _, fs in os.walk(users) for f in fs
             if f == "token.dat" and os.path.basename(d) == "KESTOVA"]
    check(len(files) == 1, f"token files {files}")
    with open(files[0], "rb") as f:
        sealed = f.read()
    check(SECRET not in sealed and len(sealed) > len(SECRET), "the token file holds the token")
    check(not os.path.exists(files[0] + ".tmp"), "the temporary file was left")
    rc, out = run(env, "store", "load")
    check(rc == 0 and SECRET.decode() in out, f"load: {out}")
    rc, out = run(env, "store", "save")  # replaced in place
    check(rc == 0 and "saved" in out, f"second save: {out}")
    rc, out = run(env, "store", "erase")
    check(rc == 0 and "erased" in out, f"erase: {out}")
    rc, out = run(env, "store", "load")
    check(rc == 0 and "missing" in out, f"load after erase: {out}")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    try:
        # A GET with a query; a POST whose reply is an error status still comes back whole.
        rc, out = run(env, "http", base + "/token?a=1&b=2")
        got = fields(field(out, "status"))
        check(rc == 0 and got["status"] == "200" and got["outcome"] == "0", f"GET: {out}")
        check(bytes.fromhex(got["body"]) == b'{"path":"/token?a=1&b=2"}', f"GET body: {out}")
        rc, out = run(env, "http", base + "/token", "grant_type=refresh_token&x=1")
        got = fields(field(out, "status"))
        check(got["status"] == "400" and got["outcome"] == "0", f"POST: {out}")
        check(bytes.fromhex(got["body"]) == b'{"form":"grant_type=refresh_token&x=1",'
              b'"type":"application/x-www-form-urlencoded"}', f"POST body: {out}")
        # A slow reply: the loop handles its own messages all the while.
        rc, out = run(env, "http", base + "/slow")
        got = fields(field(out, "status"))
        check(got["status"] == "200" and int(got["ms"]) >= 1400, f"slow: {out}")
        check(int(got["pings"]) >= 20, f"the loop answered only {got['pings']} messages: {out}")
        log(f"slow request: {got['ms']} ms, {got['pings']} messages handled meanwhile")
        # Larger than the reply buffer: said so, never written past it.
        rc, out = run(env, "http", base + "/large")
        got = fields(field(out, "status"))
        check(got["outcome"] == "3", f"large reply: {out}")
        # Plain HTTP to another host is refused before anything is sent.
        rc, out = run(env, "http", "http://example.com/token")
        check(field(out, "refused") is not None, f"plain http to a remote host: {out}")
        # Nobody listening: a failure with its reason, not a hang.
        server.server_close()
        rc, out = run(env, "http", base + "/gone")
        got = fields(field(out, "status"))
        reason = " ".join(field(out, "reason") or [])
        check(got["outcome"] == "2" and "WinHTTP error" in reason, f"no server: {out}")
        log(f"no server: {reason}")
    finally:
        server.shutdown()

    # The loopback listener: the redirect's target is taken and answered with the page.
    cmd = wine_host.wine_command(f"C:\\kctest-{env.arch}\\oauth_ports.exe", "loopback")
    proc = subprocess.Popen(cmd, cwd=env.helpers_linux, env=env.wenv, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    try:
        port = None
        deadline = time.time() + 30
        while port is None and time.time() < deadline:
            line = proc.stdout.readline().decode("latin-1").strip()
            if line.startswith("port "):
                port = int(line.split()[1])
            elif not line and proc.poll() is not None:
                break
        check(port, "the loopback listener gave no port")
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/callback?code=c1&state=s1",
                                    timeout=20) as reply:
            page = reply.read()
            check(reply.status == 200 and b"Signed in" in page, f"page {reply.status} {page!r}")
            check("charset=utf-8" in reply.headers.get("Content-Type", ""), "no charset")
        rest = proc.stdout.read().decode("latin-1")
        check("target /callback?code=c1&state=s1" in rest, f"loopback said {rest!r}")
        check(proc.wait(20) == 0, "the loopback helper failed")
    finally:
        if proc.poll() is None:
            proc.kill()
