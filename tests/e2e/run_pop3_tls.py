#!/usr/bin/env python3
"""End-to-end checks of the Linux program's secure connections against Dovecot with TLS
(`ssl = required`, STLS on 110, TLS from the first byte on 995) and the scriptable server.

The certificates are made at run time with the openssl command (tests/support/test_certs.py).
The program trusts the test CA the way a user's system would: SSL_CERT_FILE names a bundle of
the system's roots with the test CA appended. What reached the server is asserted at the server:
Dovecot logs every login (with "TLS" when it came over TLS) and, for a connection that never
tried one, "no auth attempts"; the scriptable server logs every command it received.

    run_pop3_tls.py --program build/linux/kestova --scenario implicit
    run_pop3_tls.py --program build/linux/kestova --scenario all

Each run re-runs itself in a network namespace of its own. Exit code 77 (skipped) when not
root; 1 when unshare, ip, dovecot or openssl are missing (scripts/install-deps.sh installs them).
"""
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)

from native_program import (CONNECT, PASSWORD, READS, SERVER_WAIT_S, USER,  # noqa: E402
                            LatencyProxy, Program, ScriptServer, dialogue, dovecot_server,
                            from_block, senders_traced)
from scenario_runner import ScenarioContext, run_scenarios  # noqa: E402
from test_certs import TestCerts, fingerprint  # noqa: E402

FD_WRITE = rb"FD_WRITE notification received\r\n"
SOME_READS = READS[:-1] + b"*"
HANDSHAKE = rb"----- TLS HANDSHAKE -----\r\nStarting TLS handshake with %s\r\n"
DONE = rb"TLS handshake done: TLSv1\.[23], [A-Z0-9_-]+\r\n"
USER_SENT = rb"AppState = CONNECTING, sending USER\r\n"
SANITIZER_REPORT = re.compile(rb"ERROR: (?:Address|Leak|Memory)Sanitizer|runtime error:")


# Receives, and the FD_WRITE of a batch that did not go out in one send.
EVENTS = rb"(?:FD_READ notification received\r\nCalling recv\(\)\r\n|" + FD_WRITE + rb")*"
CAPA_ONE_AT_A_TIME = (rb"(?:Server does not pipeline commands: one at a time\r\n|"
                      rb"CAPA refused: commands sent one at a time\r\nServer said: [^\r\n]*\r\n)")
PIPELINES = rb"Server pipelines commands: TOP commands sent at once\r\n"
CAPA_USER = rb"AppState = CAPA, sending USER\r\n"


def pipelined_tail(count, froms):
    """From the login on, with all the TOP commands and QUIT sent at once."""
    one = dialogue(count, froms).split(USER_SENT, 1)[1]
    if not froms:
        return one
    p = one.split(rb"Sending TOP\r\n", 1)[0] + rb"Sending TOP\r\n"
    p += rb"Sent TOP 1 to TOP %d and QUIT at once\r\n" % len(froms)
    for text in froms:
        p += EVENTS + from_block(text)
    p += rb"AppState = TOP, QUIT sent already, reading its reply\r\n"
    p += EVENTS + rb"Host QUIT OK\r\nClosing socket\r\n"
    return p


def tls_dialogue(count, froms, starttls=False, host=b"localhost", accepted=None, pipelined=None):
    """The trace of a good check over TLS: the handshake, CAPA, then the dialogue, one command
    at a time or with the TOP commands pipelined (pipelined None: either, as the server says)."""
    accepted = accepted or rb"TLS certificate accepted\r\n"
    start = HANDSHAKE % re.escape(host)
    if starttls:
        p = (CONNECT + READS + rb"AppState = CONNECTING, sending STLS\r\n" + READS +
             rb"AppState = STLS, starting TLS\r\n" + start + READS + DONE + accepted +
             rb"AppState = STLS, sending CAPA\r\n")
    else:
        p = (CONNECT[:-len(FD_WRITE)] + start + FD_WRITE + READS + DONE + accepted +
             SOME_READS + rb"AppState = CONNECTING, sending CAPA\r\n")
    one = SOME_READS + CAPA_ONE_AT_A_TIME + CAPA_USER + dialogue(count, froms).split(USER_SENT, 1)[1]
    piped = SOME_READS + PIPELINES + CAPA_USER + pipelined_tail(count, froms)
    if pipelined is None:
        return p + rb"(?:" + piped + rb"|" + one + rb")"
    return p + (piped if pipelined else one)


def refusal(text, cert):
    return (rb"TLS certificate refused: " + re.escape(text.encode()) + rb"; SHA-256 " +
            fingerprint(cert).encode() + rb"\r\n")


class Context(ScenarioContext):
    def __init__(self, exe, workdir):
        super().__init__(workdir)
        self.exe = exe
        self.programs = []
        self.dovecots = []
        self.certs = TestCerts(os.path.join(workdir, "certs"))
        self.bundle = self.certs.bundle()

    def program(self, ssl, **settings):
        env = {"SSL_CERT_FILE": self.bundle, "SSL_CERT_DIR": os.path.join(self.dir, "no-dir")}
        p = Program(self.exe, os.path.join(self.dir, f"p{len(self.programs)}"), ssl=ssl, env=env,
                    **settings).start()
        self.programs.append(p)
        self.cleanups.append(p.stop)
        return p

    def dovecot(self, cert, count=3):
        server = dovecot_server(self.dir, count, name=f"dovecot{len(self.dovecots)}", tls=cert)
        self.cleanups.append(server.stop)
        self.dovecots.append(server)
        return server

    def script_server(self, *args, listen="127.0.0.1:110"):
        workdir = os.path.join(self.dir, f"s{len(self.cleanups)}")
        os.makedirs(workdir)
        s = ScriptServer(workdir, *args, listen=listen)
        self.cleanups.append(s.stop)
        return s


def assert_tls_login(server, count=1):
    logins = server.log_lines("Login: user=<%s>" % USER)
    assert len(logins) == count, f"{len(logins)} logins, expected {count}: {logins}"
    assert all("TLS" in line for line in logins), f"a login not over TLS: {logins}"


def assert_no_login(server):
    assert not server.log_lines("Login:"), server.log_lines("Login:")
    assert not server.log_lines("passwd-file("), server.log_lines("passwd-file(")
    assert server.log_lines("no auth attempts"), "Dovecot saw no connection end without login"


def scenario_implicit(ctx):
    """TLS from the first byte on 995, by name and by address."""
    server = ctx.dovecot(ctx.certs.server("good"))
    p = ctx.program(1)
    p.wait_for(tls_dialogue(3, senders_traced(3)), 30)
    ctx.finish(p)
    p = ctx.program(1, server="127.0.0.1")
    p.wait_for(tls_dialogue(3, senders_traced(3), host=b"127.0.0.1"), 30)
    ctx.finish(p)
    assert_tls_login(server, 2)


def scenario_pipelined_slow(ctx):
    """Dovecot behind a link of 20 ms round trip, TLS from the first byte and after STLS: the
    TOP commands and QUIT go out at once; the senders, the count, QUIT and the traces per
    message are those of the dialogue."""
    count = 60
    server = ctx.dovecot(ctx.certs.server("good"), count=count)
    for ssl, target, listen in ((1, 995, 1995), (2, 110, 1110)):
        proxy = LatencyProxy(f"127.0.0.1:{listen}", f"127.0.0.1:{target}", 10)
        ctx.cleanups.append(proxy.stop)
        p = ctx.program(ssl, port=listen)
        expected = tls_dialogue(count, senders_traced(count), starttls=ssl == 2, pipelined=True)
        expected = expected.replace(rb"getservbyname\(\) took \d+ milliseconds to complete\r\n",
                                    rb"Using port %d\r\n" % listen)
        p.wait_for(expected, 60)
        ctx.finish(p)
    assert_tls_login(server, 2)


def scenario_stls(ctx):
    server = ctx.dovecot(ctx.certs.server("good"))
    p = ctx.program(2)
    p.wait_for(tls_dialogue(3, senders_traced(3), starttls=True), 30)
    ctx.finish(p)
    assert_tls_login(server)


def scenario_refused(ctx):
    """Certificates the program must refuse: nothing of the login reaches the server, and the
    next check runs (and is refused again)."""
    certs = ctx.certs
    cases = [
        ("wrong name", "localhost", certs.server("other-name", names=("mail.example.org",)),
         "wrong name, not issued for localhost"),
        ("address not named", "127.0.0.1", certs.server("dns-only", names=("localhost",)),
         "wrong name, not issued for 127.0.0.1"),
        ("untrusted CA", "localhost", certs.server("stranger", issuer=certs.stranger),
         "not trusted (issuer unknown)"),
        ("expired", "localhost", certs.server("expired", days=-1), "expired"),
        ("self-signed", "localhost", certs.self_signed("self"), "self-signed, not trusted"),
    ]
    for what, host, cert, text in cases:
        server = ctx.dovecot(cert)
        for mode in (1, 2):
            p = ctx.program(mode, server=host)
            line = refusal(text, cert[0])
            first = p.wait_for(line, 30)
            second = p.check_again(first, 15)
            p.wait_for(line, 30, second)
            ctx.finish(p)
        try:
            assert_no_login(server)
        except AssertionError as e:
            raise AssertionError(f"{what}: {e}")
        server.stop()


def scenario_pinned(ctx):
    """A self-signed certificate with its fingerprint in CERTPIN is accepted, and no other."""
    cert = ctx.certs.self_signed("self")
    pin = fingerprint(cert[0])
    server = ctx.dovecot(cert)
    p = ctx.program(1, certpin=pin)
    p.wait_for(tls_dialogue(3, senders_traced(3),
                            accepted=rb"TLS certificate accepted: it matches CERTPIN\r\n"), 30)
    ctx.finish(p)
    assert_tls_login(server)
    server.stop()
    # The pin holds against a certificate the system trusts as well.
    good = ctx.certs.server("good")
    server = ctx.dovecot(good)
    p = ctx.program(1, certpin=pin)
    p.wait_for(refusal("it does not match CERTPIN", good[0]), 30)
    ctx.finish(p)
    assert_no_login(server)


def scenario_unreadable_ssl(ctx):
    """An SSL value that is there but is no DWORD (a REG_QWORD, the string "1", 5 bytes of
    REG_BINARY) secures the connection from the first byte, and the trace says so; Dovecot
    sees every login over TLS."""
    server = ctx.dovecot(ctx.certs.server("good"))
    cases = [("hex(b):01,00,00,00,00,00,00,00", 11, 8), ('"1"', 1, 2), ("hex:01,00,00,00,00", 3, 5)]
    for text, kind, length in cases:
        p = ctx.program(None, raw_values={"SSL": text})
        said = (rb"SSL value cannot be read as a REG_DWORD \(type %d, %d bytes\): using TLS from "
                rb"the first byte, as SSL 1\r\n" % (kind, length))
        expected = tls_dialogue(3, senders_traced(3)).replace(
            rb"getservbyname\(\) took", said + rb"getservbyname\(\) took", 1)
        p.wait_for(expected, 30)
        ctx.finish(p)
    assert_tls_login(server, len(cases))


def scenario_pin_unusable(ctx):
    """A CERTPIN that is there but cannot be used refuses a certificate the system trusts,
    says why in the trace and in the box, and no login is tried; the pin with blanks after
    it, however many fit the read, is the pin."""
    good = ctx.certs.server("good")
    other = fingerprint(ctx.certs.self_signed("other")[0])
    mine = fingerprint(good[0])
    server = ctx.dovecot(good)
    cases = [
        ('"%s%s"' % (other, " " * 2000), "CERTPIN is too long for a SHA-256 fingerprint "
         "(%d bytes)" % (len(other) + 2001), "設定 CERTPIN が長すぎるため"),
        ('"%s%s"' % (other, " " * 300), "it does not match CERTPIN",
         "サーバーの証明書を確認できませんでした"),
        ("hex:" + ",".join("%02x" % b for b in mine.encode()),
         "CERTPIN cannot be read as a REG_SZ (type 3, %d bytes)" % len(mine),
         "設定 CERTPIN を読み取れないため"),
        ('"%s"' % ("   :" * 40), "CERTPIN is not a SHA-256 fingerprint",
         "設定 CERTPIN が SHA-256 のフィンガープリントではないため"),
    ]
    for value, text, box in cases:
        p = ctx.program(1, raw_values={"CERTPIN": value})
        end = p.wait_for(refusal(text, good[0]), 30)
        p.wait_for(re.escape(("[KESTOVA] " + box).encode()), 10, end)
        ctx.finish(p)
    assert_no_login(server)
    # The documented form with blanks after it is accepted.
    p = ctx.program(1, raw_values={"CERTPIN": '"%s%s"' % (mine, " " * 500)})
    p.wait_for(tls_dialogue(3, senders_traced(3),
                            accepted=rb"TLS certificate accepted: it matches CERTPIN\r\n"), 30)
    ctx.finish(p)
    assert_tls_login(server)


def scenario_stls_refused(ctx):
    """A server without STLS gets no password: the check ends after QUIT."""
    server = ctx.script_server("--count", "3")
    p = ctx.program(2)
    first = p.wait_for(CONNECT + READS + rb"AppState = CONNECTING, sending STLS\r\n" + READS +
                       rb"Negative response: STLS command not supported\r\n"
                       rb"(?:Server said: -ERR[^\r\n]*\r\n)?Sending QUIT\r\n"
                       rb"QUIT\r\n" + READS + rb"Host QUIT OK\r\nClosing socket\r\n", 30)
    second = p.check_again(first, 15)
    p.wait_for(rb"Negative response: STLS command not supported\r\n", 30, second)
    p.wait_for(rb"Host QUIT OK\r\n", 30, second)
    ctx.finish(p)
    assert server.commands() == [b"STLS", b"QUIT", b"STLS", b"QUIT"], server.commands()


def scenario_plain_on_tls_port(ctx):
    """A plain-text server on the TLS port: the handshake fails, the login is never sent, and
    the next check, against a TLS server, succeeds."""
    server = ctx.script_server("--count", "3", listen="127.0.0.1:995")
    p = ctx.program(1)
    first = p.wait_for(rb"TLS handshake failed: error \d+ \([^)\r\n]*\)\r\n", 30)
    server.stop()
    assert not [c for c in server.commands() if c.startswith((b"USER", b"PASS"))]
    ctx.dovecot(ctx.certs.server("good"))
    second = p.check_again(first, 30)
    p.wait_for(tls_dialogue(3, senders_traced(3)), 30, second)
    ctx.finish(p)


def scenario_handshake_faults(ctx):
    """The server closes, resets or sends garbage in place of the handshake: the check ends at
    once (a reset can come before the connection is reported) and the next one, a healthy TLS
    session, completes."""
    cert = ",".join(ctx.certs.server("good"))
    for fault in ("close", "reset", "garbage"):
        server = ctx.script_server("--count", "3", "--tls", cert, "--fault", f"handshake={fault}",
                                   "--faulty-sessions", "1", listen="127.0.0.1:995")
        p = ctx.program(1)
        first = p.wait_for(rb"(?:TLS handshake failed: [^\r\n]+|"
                           rb"Could not connect to the server: 10054(?: \(WSAECONNRESET\))?)\r\n", 30)
        second = p.check_again(first, 15)
        p.wait_for(tls_dialogue(3, senders_traced(3)), 30, second)
        ctx.finish(p)
        assert server.commands()[:3] == [b"CAPA", b"USER " + USER.encode(),
                                         b"PASS " + PASSWORD.encode()], server.commands()[:3]
        server.stop()


def scenario_silent_handshake(ctx):
    """The server stops in the middle of the handshake: the 60-second limit ends the check and
    the next one completes."""
    cert = ",".join(ctx.certs.server("good"))
    ctx.script_server("--count", "3", "--tls", cert, "--fault", "handshake=silent",
                      "--faulty-sessions", "1", listen="127.0.0.1:995")
    # Taken before the program starts: the time measured can only be longer than the
    # program's own wait, however late this script sees its trace.
    started = time.monotonic()
    p = ctx.program(1)
    first = p.wait_for(HANDSHAKE % b"localhost", 30)
    end = p.wait_for(rb"Server timed out\r\n", SERVER_WAIT_S + 20, first)
    waited = time.monotonic() - started
    assert waited >= SERVER_WAIT_S - 2, f"the check ended after {waited:.1f} s"
    second = p.check_again(end, 15)
    p.wait_for(tls_dialogue(3, senders_traced(3)), 30, second)
    ctx.finish(p)


SCENARIOS = {
    "implicit": scenario_implicit,
    "stls": scenario_stls,
    "pipelined_slow": scenario_pipelined_slow,
    "refused": scenario_refused,
    "pinned": scenario_pinned,
    "stls_refused": scenario_stls_refused,
    "unreadable_ssl": scenario_unreadable_ssl,
    "pin_unusable": scenario_pin_unusable,
    "plain_on_tls_port": scenario_plain_on_tls_port,
    "handshake_faults": scenario_handshake_faults,
    "silent_handshake": scenario_silent_handshake,
}


def check_programs(ctx):
    """No program let the password into its trace or had a sanitizer report there."""
    for p in ctx.programs:
        assert PASSWORD.encode() not in p.trace(), "the password is in the trace"
        report = SANITIZER_REPORT.search(p.trace())
        assert report is None, "sanitizer report: " + p.trace()[report.start():][:400].decode(
            "utf-8", "backslashreplace")


def print_failure(ctx):
    """The end of each program's trace and every Dovecot's log, for a failed run."""
    for i, p in enumerate(ctx.programs):
        print(f"--- trace of program {i} (last 5000 bytes) ---")
        print(p.trace()[-5000:].decode("utf-8", "backslashreplace"))
    for d in ctx.dovecots:
        print(f"--- {d.dir} log ---")
        print(d.log_text()[-3000:])


if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS,
                           lambda args, workdir: Context(os.path.abspath(args.program), workdir),
                           "kc-tls", tools=lambda names: ["dovecot", "openssl"],
                           check=check_programs, report=print_failure))
