#!/usr/bin/env python3
"""End-to-end checks of the Linux program's OAuth 2.0 sign-in (AUTH 1) against the real parts:
oidc-provider (tests/oauth/server.mjs) on 127.0.0.1:9000 over http (a loopback address, which
the program allows), and Dovecot with the oauth2 passdb checking tokens by introspection, POP3
with STLS on 110 and TLS on 995.

    run_oauth_native.py --program build/linux/kestova --scenario device
    run_oauth_native.py --program build/linux/kestova --scenario all

Each run re-runs itself in a network namespace of its own. Exit code 77 (skipped) when not
root or when unshare, ip, dovecot, openssl or node are missing; oidc-provider not installed
is a failure (scripts/install-deps.sh installs it).
"""
import json
import os
import re
import stat
import sys
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)

import dovecot  # noqa: E402
from native_program import USER, Program  # noqa: E402
from oidc_server import OidcServer, available  # noqa: E402
from scenario_runner import ScenarioContext, run_scenarios  # noqa: E402
from test_certs import TestCerts  # noqa: E402

IDP_PORT = 9000
ISSUER = f"http://127.0.0.1:{IDP_PORT}"
CODE_LINE = re.compile(rb"sign in: open (\S+) and enter the code ([A-Z]{4}-[A-Z]{4})")
SANITIZER_REPORT = re.compile(rb"ERROR: (?:Address|Leak|Memory)Sanitizer|runtime error:")


def hex_text(text, width):
    data = text.encode()[: width - 1]
    return "hex(1):" + ",".join("%02x" % b for b in data + bytes(width - len(data)))


class Context(ScenarioContext):
    def __init__(self, exe, workdir):
        super().__init__(workdir)
        self.exe = exe
        self.programs = []
        self.dovecots = []
        self.secrets = []  # every token the test saw: none may reach the program's output
        self.certs = TestCerts(os.path.join(workdir, "certs"))
        self.bundle = self.certs.bundle()
        self.cert = self.certs.server("server")
        self.home = os.path.join(workdir, "program")  # one home: the stored sign-in stays

    def idp(self, **options):
        why = available()
        assert why is None, why
        server = OidcServer(os.path.join(self.dir, "idp"), port=IDP_PORT, **options).start()
        self.cleanups.append(server.stop)
        return server

    def dovecot(self, idp, mechanisms="xoauth2 oauthbearer", count=2):
        d = dovecot.Dovecot(os.path.join(self.dir, f"dovecot{len(self.dovecots)}"), user=USER,
                            password="unused", tls=self.cert,
                            oauth2=(idp.introspection_url(), mechanisms))
        d.start()
        d.set_messages([dovecot.message(f"Sender {n} <s{n}@example.com>", f"Message {n}")
                        for n in range(1, count + 1)])
        self.cleanups.append(d.stop)
        self.dovecots.append(d)
        return d

    def program(self, ssl=2, env=None):
        raw = {"AUTH": "dword:00000001", "OAUTH": hex_text(ISSUER, 260),
               "CLIENTID": hex_text("kestova", 260)}
        e = {"SSL_CERT_FILE": self.bundle, "SSL_CERT_DIR": os.path.join(self.dir, "no-dir"),
             "XDG_STATE_HOME": os.path.join(self.home, "state")}
        e.update(env or {})
        p = Program(self.exe, self.home, ssl=ssl, password="", env=e, raw_values=raw).start()
        self.programs.append(p)
        self.cleanups.append(p.stop)
        return p

    def token_file(self):
        return os.path.join(self.home, "state", "kestova", "token.dat")

    def stored_refresh_token(self):
        with open(self.token_file()) as f:
            record = json.load(f)
        self.secrets.append(record["refresh_token"])
        return record["refresh_token"]


def out_text(p):
    with p.cond:
        return bytes(p.out)


def wait_out(p, pattern, timeout, count=1):
    regex = re.compile(pattern)
    deadline = time.monotonic() + timeout
    while True:
        found = list(regex.finditer(out_text(p)))
        if len(found) >= count:
            return found[count - 1]
        assert p.proc.poll() is None, f"program ended waiting for {pattern!r}"
        assert time.monotonic() < deadline, (f"timed out waiting for {pattern!r}; console: "
                                             + out_text(p)[-800:].decode("utf-8", "replace"))
        time.sleep(0.1)


def logins(server):
    return server.log_lines("Login: user=<%s>" % USER)


def sign_in_by_device(ctx, p, idp):
    """Presses s, reads the code from the console, approves it at the provider."""
    p.press("s")
    m = wait_out(p, CODE_LINE, 20)
    assert m.group(1).decode() == ISSUER + "/device", m.group(1)
    idp.approve_device(m.group(2).decode(), USER)
    wait_out(p, rb"signed in\r?\n", 40)
    return m.group(2).decode()


def scenario_device(ctx):
    """No sign-in: the check says so. The device grant signs in, the check logs in with
    XOAUTH2; the stored record is 0600 and holds no access token. A restart refreshes with
    the stored token (rotated, stored before use) and needs no user step."""
    idp = ctx.idp()
    server = ctx.dovecot(idp)
    p = ctx.program(ssl=2)
    wait_out(p, rb"not signed in", 20)
    assert not logins(server), "a login without a token"
    sign_in_by_device(ctx, p, idp)
    p.wait_for(rb"AppState = CAPA, sending AUTH XOAUTH2\r\n", 20)
    wait_out(p, rb"2 messages", 20)
    assert len(logins(server)) == 1 and "TLS" in logins(server)[0], logins(server)
    mode = stat.S_IMODE(os.stat(ctx.token_file()).st_mode)
    assert mode == 0o600, oct(mode)
    with open(ctx.token_file()) as f:
        record = json.load(f)
    assert set(record) == {"version", "provider", "client_id", "account", "refresh_token"}, record
    first = ctx.stored_refresh_token()
    ctx.finish(p)

    p2 = ctx.program(ssl=1)
    p2.wait_for(rb"OAuth: refresh token stored\r\n.*AppState = CAPA, sending AUTH XOAUTH2", 30)
    wait_out(p2, rb"2 messages", 20)
    assert ctx.stored_refresh_token() != first, "the refresh token did not rotate"
    assert b"sign in: open" not in out_text(p2), "a restart asked for a sign-in"
    assert len(logins(server)) == 2
    ctx.finish(p2)


def scenario_oauthbearer(ctx):
    """A server that lists only OAUTHBEARER gets the RFC 7628 form on 995."""
    idp = ctx.idp()
    server = ctx.dovecot(idp, mechanisms="oauthbearer")
    p = ctx.program(ssl=1)
    wait_out(p, rb"not signed in", 20)
    sign_in_by_device(ctx, p, idp)
    p.wait_for(rb"AppState = CAPA, sending AUTH OAUTHBEARER\r\n", 20)
    wait_out(p, rb"2 messages", 20)
    assert len(logins(server)) == 1
    ctx.stored_refresh_token()
    ctx.finish(p)


def scenario_no_mechanism(ctx):
    """A server without an OAuth mechanism: the check fails naming what it offers."""
    idp = ctx.idp()
    ctx.dovecot(idp, mechanisms="plain")
    p = ctx.program(ssl=2)
    wait_out(p, rb"not signed in", 20)
    sign_in_by_device(ctx, p, idp)
    wait_out(p, rb"server offers no OAuth mechanism \(SASL: PLAIN\)", 20)
    ctx.stored_refresh_token()
    ctx.finish(p)


def scenario_revoked(ctx):
    """The grant is revoked (the stored refresh token replayed elsewhere): the program says
    to sign in again, makes no login attempt and starts a new sign-in, once."""
    idp = ctx.idp()
    server = ctx.dovecot(idp)
    p = ctx.program(ssl=2)
    wait_out(p, rb"not signed in", 20)
    sign_in_by_device(ctx, p, idp)
    wait_out(p, rb"2 messages", 20)
    ctx.finish(p)
    token = ctx.stored_refresh_token()
    reply = idp.refresh(token)  # rotates: the stored token is now an old one
    ctx.secrets += [reply.get("access_token", ""), reply.get("refresh_token", "")]
    before = len(logins(server))
    p2 = ctx.program(ssl=2)
    wait_out(p2, rb"sign-in expired or revoked, sign in again: invalid_grant", 30)
    wait_out(p2, CODE_LINE, 20)  # a new sign-in started by itself
    p2.press("c")
    wait_out(p2, rb"a sign-in is under way", 20)
    assert len(logins(server)) == before, "a login was tried with a dead grant"
    assert not os.path.exists(ctx.token_file()), "the dead sign-in is still stored"
    ctx.finish(p2)


def scenario_authcode(ctx):
    """A provider without the device grant: the browser sign-in. A redirect with a wrong
    state is refused; the right one completes the sign-in and the check logs in."""
    idp = ctx.idp(device=False)
    server = ctx.dovecot(idp)
    opened = os.path.join(ctx.dir, "opened.txt")
    browser = os.path.join(ctx.dir, "browser.sh")
    with open(browser, "w") as f:
        f.write(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> {opened}\n")
    os.chmod(browser, 0o755)
    p = ctx.program(ssl=2, env={"KESTOVA_BROWSER": browser})
    wait_out(p, rb"not signed in", 20)
    p.press("s")
    wait_out(p, rb"sign in: the browser was asked", 20)
    deadline = time.monotonic() + 10
    while not os.path.exists(opened) and time.monotonic() < deadline:
        time.sleep(0.1)
    with open(opened) as f:
        url = f.read().split("\n")[0]
    assert url.startswith(ISSUER + "/auth?") and "code_challenge_method=S256" in url, url
    callback = idp.follow_browser(url, USER)
    assert callback.startswith("http://127.0.0.1:") and "code=" in callback, callback
    ctx.secrets.append(re.search(r"code=([^&]+)", callback).group(1))
    wrong = re.sub(r"state=[^&]+", "state=forged", callback)
    try:
        urllib.request.urlopen(wrong, timeout=10)
        raise AssertionError("a redirect with a wrong state was taken")
    except urllib.error.HTTPError as e:
        assert e.code == 400, e.code
    with urllib.request.urlopen(callback, timeout=10) as r:
        page = r.read().decode()
    assert "KESTOVA" in page and "close this tab" in page, page
    wait_out(p, rb"signed in\r?\n", 30)
    wait_out(p, rb"2 messages", 30)
    assert len(logins(server)) == 1
    try:
        urllib.request.urlopen(callback, timeout=3)
        raise AssertionError("the listener still answers after the sign-in")
    except (urllib.error.URLError, ConnectionError):
        pass
    ctx.stored_refresh_token()
    ctx.finish(p)


SCENARIOS = {
    "device": scenario_device,
    "oauthbearer": scenario_oauthbearer,
    "no_mechanism": scenario_no_mechanism,
    "revoked": scenario_revoked,
    "authcode": scenario_authcode,
}


def check_programs(ctx):
    """No token, code or secret the test saw reached any trace or console output."""
    for p in ctx.programs:
        output = p.trace() + out_text(p)
        for secret in ctx.secrets:
            if secret and len(secret) >= 8:
                assert secret.encode() not in output, "a token or code is in the output"
        report = SANITIZER_REPORT.search(p.trace())
        assert report is None, "sanitizer report: " + p.trace()[report.start():][:400].decode(
            "utf-8", "backslashreplace")


def print_failure(ctx):
    for i, p in enumerate(ctx.programs):
        print(f"--- trace of program {i} (last 5000 bytes) ---")
        print(p.trace()[-5000:].decode("utf-8", "backslashreplace"))
        print(f"--- console of program {i} ---")
        print(out_text(p)[-2000:].decode("utf-8", "backslashreplace"))
    for d in ctx.dovecots:
        print(f"--- {d.dir} log ---")
        print(d.log_text()[-3000:])


if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS,
                           lambda args, workdir: Context(os.path.abspath(args.program), workdir),
                           "kc-oauth", tools=lambda names: ["dovecot", "openssl", "node"],
                           check=check_programs, report=print_failure))
