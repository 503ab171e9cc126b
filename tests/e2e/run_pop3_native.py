#!/usr/bin/env python3
"""End-to-end checks of the Linux program against a real POP3 server.

Each scenario runs in a network namespace of its own (the script re-runs itself under
`unshare -n` and brings the loopback up), so the servers can listen on 127.0.0.1:110, the
"pop3" service port the program connects to. The server is Dovecot (tests/support/dovecot.py),
GNU mailutils' pop3d (tests/support/mailutils.py) or the scriptable server (tests/support/pop3_server.py) for faults Dovecot never makes.

The program runs with its runtime, config and device directories inside a temp dir and the
settings file written here. Its trace comes on stderr. A second check is asked for by writing
"c" to its standard input (the console's check key); a check request made while a check runs
is dropped, so a new "----- FIND HOST -----" after such a key proves the cycle was idle again.
The program is ended with SIGTERM and must exit with 0.

    run_pop3_native.py --program build/linux/kestova --scenario three
    run_pop3_native.py --program build/linux/kestova --scenario all

Exit code 77 (skipped) when not root; 1 when unshare, ip or dovecot (or, for its scenarios,
mailutils' pop3d) are missing (scripts/install-deps.sh installs them).
"""
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)

from native_program import (CONNECT, LOGIN, PASSWORD, READS, SERVER_WAIT_S,  # noqa: E402
                            USER, Program, ScriptServer, dialogue, dovecot_server, from_block,
                            senders_traced)
import mailutils  # noqa: E402
from scenario_runner import ScenarioContext, run_scenarios  # noqa: E402
import poplib  # noqa: E402
import real_mail  # noqa: E402


# ---- scenarios ---------------------------------------------------------------------------


class Context(ScenarioContext):
    def __init__(self, exe, workdir):
        super().__init__(workdir)
        self.exe = exe
        self.programs = []
        self.servers = 0

    def program(self, **settings):
        p = Program(self.exe, os.path.join(self.dir, f"p{len(self.programs)}"), **settings).start()
        self.programs.append(p)
        self.cleanups.append(p.stop)
        return p

    def script_server(self, *args):
        self.servers += 1
        workdir = os.path.join(self.dir, f"s{self.servers}")
        os.makedirs(workdir)
        s = ScriptServer(workdir, *args)
        self.cleanups.append(s.stop)
        return s

    def dovecot(self, count, **kw):
        s = dovecot_server(self.dir, count, **kw)
        self.cleanups.append(s.stop)
        return s


def scenario_three(ctx):
    ctx.dovecot(3)
    p = ctx.program()
    p.wait_for(dialogue(3, senders_traced(3)), 20)
    ctx.finish(p)


def scenario_empty(ctx):
    ctx.dovecot(0)
    p = ctx.program()
    p.wait_for(dialogue(0, []), 20)
    ctx.finish(p)


def scenario_many(ctx):
    """300 messages: the count is the server's, senders are fetched for the first 255."""
    ctx.dovecot(300)
    p = ctx.program()
    end = p.wait_for(rb"Host QUIT OK\r\nClosing socket\r\n", 60)
    trace = p.trace()[:end]
    assert re.search(rb"----- RESULT -----\r\n300 messages \d+ bytes\r\nSending TOP\r\n", trace), "no STAT result of 300"
    assert trace.count(b"----- FROM -----\r\n") == 2 * 255, trace.count(b"----- FROM -----\r\n")
    p.wait_for(from_block(b"Sender 255 <sender255@example.com>\r\n") + rb"Sending QUIT\r\n", 1)
    assert b"sender256@" not in trace
    ctx.finish(p)


def scenario_wrong_password(ctx):
    ctx.dovecot(3, password="another-password")
    p = ctx.program()
    p.wait_for(CONNECT + LOGIN + READS +
               rb"Negative response: Wrong Password\r\n"
               rb"Server said: -ERR \[AUTH\] Authentication failed.\r\n"
               rb"Sending QUIT\r\nQUIT\r\n" +
               READS + rb"Host QUIT OK\r\nClosing socket\r\n", 20)
    assert b"STAT" not in p.trace()
    ctx.finish(p)


def scenario_silent(ctx):
    """The server stops answering after PASS: the check is given up after the time-out, the
    cycle is idle again, and the next check (a healthy session) succeeds.

    Waits on what the program does, never on a guess of how long something takes, so a slow
    machine cannot fail it: the time is measured from before the program starts, which can
    only make it longer than the program's own wait, never shorter."""
    ctx.script_server("--count", "3", "--fault", "stat=silent", "--faulty-sessions", "1")
    started = time.monotonic()
    p = ctx.program()
    first = p.wait_for(CONNECT + LOGIN + READS + rb"AppState = PASS, sending STAT\r\n", 60)
    # A check asked for meanwhile is dropped: the key is read while the check waits, and no
    # second check starts before the time-out ends the first.
    p.press("c")
    p.wait_input_taken(SERVER_WAIT_S / 2)
    end = p.wait_for(rb"Server timed out\r\n", SERVER_WAIT_S + 60, first)
    waited = time.monotonic() - started
    assert waited >= SERVER_WAIT_S - 1, f"the check ended after {waited:.1f} s"
    assert b"----- FIND HOST -----" not in p.trace()[first:end], \
        "a second check started while one ran"
    second = p.check_again(end, 30)
    p.wait_for(dialogue(3, senders_traced(3)), 30, second)
    ctx.finish(p)


def scenario_down(ctx):
    """No server: the refused connection ends the check; once a server runs, a check works."""
    p = ctx.program()
    first = p.wait_for(CONNECT[:-len(rb"FD_WRITE notification received\r\n")], 20)
    time.sleep(0.5)
    assert b"FD_WRITE notification received" not in p.trace()[first:]
    ctx.script_server("--count", "2")
    second = p.check_again(first, 20)
    p.wait_for(dialogue(2, senders_traced(2)), 20, second)
    ctx.finish(p)


def scenario_unknown_host(ctx):
    """A server name that does not exist fails at once, offline, and the cycle goes on."""
    p = ctx.program(server="kc-no-such-host.invalid")
    first = p.wait_for(rb"SM_GETHOST message received\r\n"
                       rb"WSAAsyncGetHostByName\(\) took \d+  milliseconds to complete\r\n"
                       rb"WSAAsyncGetHostByName\(\) error: 110\d\d \(WSA\w+\)\r\n", 10)
    p.check_again(first, 10)
    ctx.finish(p)


def scenario_reassembly(ctx):
    """Replies split over several receives, two replies in one receive, a folded From: value,
    NUL bytes after a reply and a reply to TOP longer than the buffer: the dialogue still
    completes with the right senders."""
    ctx.script_server("--count", "3", "--fault", "greeting=split", "--fault", "user=merge",
                      "--fault", "stat=nultail", "--fault", "top1=split", "--fault", "top2=fold",
                      "--fault", "top3=big")
    p = ctx.program()
    froms = senders_traced(3)
    froms[1] = b"Sender 2\r\n <sender2@example.com>\r\n"
    end = p.wait_for(dialogue(3, froms, merged=True, long_replies=True), 20)
    assert p.trace()[:end].count(b"is longer than 4096 bytes") == 1, "TOP 3 not traced as long"
    # The USER and PASS replies came in one receive and were both handled in that one event.
    assert re.search(rb"Calling recv\(\)\r\nAppState = USER, sending PASS\r\nAppState = PASS, sending STAT\r\n",
                     p.trace()[:end]), "merged replies not handled in one receive"
    ctx.finish(p)


def scenario_negative(ctx):
    """-ERR at each step: the state's trace, QUIT, and the cycle is idle again."""
    cases = [("greeting", b"Connection denied\r\n"), ("user", b"Unknown UserID\r\n"),
             ("pass", b"Wrong Password\r\n"), ("stat", b"STAT command not supported\r\n"),
             ("top1", b"TOP command not supported\r\n"), ("top2", b"TOP command not supported\r\n"),
             ("quit", b"QUIT command not supported\r\n")]
    for step, text in cases:
        server = ctx.script_server("--count", "3", "--fault", f"{step}=err", "--faulty-sessions", "1")
        p = ctx.program()
        # A refused QUIT ends the check at once: QUIT is not sent a second time.
        then = b"" if step == "quit" else rb"Sending QUIT\r\nQUIT\r\n"
        said = rb"Server said: -ERR scripted failure\r\n"
        first = p.wait_for(rb"Negative response: " + re.escape(text) + said + then, 20)
        second = p.check_again(first, 15)
        p.wait_for(dialogue(3, senders_traced(3)), 20, second)
        ctx.finish(p)
        # The first session stops at the refusal: nothing after it but QUIT.
        commands = server.commands()
        first_session = commands[:commands.index(b"QUIT") + 1]
        expected = {"greeting": 0, "user": 1, "pass": 2, "stat": 3, "top1": 4, "top2": 5, "quit": 6}[step]
        assert len(first_session) == expected + 1, (step, first_session)
        server.stop()


def scenario_broken(ctx):
    """The server closes or resets mid-dialogue or sends a status line longer than the buffer:
    the check ends at once (no waiting for the time-out) and the next check succeeds."""
    cases = [("top2", "close"), ("stat", "reset"), ("greeting", "big"), ("user", "big"),
             ("user", "close")]
    for step, fault in cases:
        server = ctx.script_server("--count", "3", "--fault", f"{step}={fault}", "--faulty-sessions", "1")
        p = ctx.program()
        first = p.wait_for(CONNECT, 20)
        second = p.check_again(first, 15)
        p.wait_for(dialogue(3, senders_traced(3)), 20, second)
        ctx.finish(p)
        server.stop()


def scenario_inert(ctx):
    """A server whose words hold terminal escape sequences (retitle, clear the screen) and a
    piece of the password: first a refused login, then two senders with such a From: value.
    No ESC or BEL byte reaches the trace or the console; the control bytes stand as '?', the
    piece of the password as "***"."""
    attack = "\x1b]0;title\x07\x1b[2J"
    ctx.script_server("--count", "2", "--sender", f"Mallory {attack} <mallory{attack}@example.com>",
                      "--fault", "pass=err", "--faulty-sessions", "1",
                      "--err-text", f"{attack} {PASSWORD[:-1]} is wrong")
    p = ctx.program()
    shown = b"?]0;title??[2J"
    first = p.wait_for(CONNECT + LOGIN + READS + rb"Negative response: Wrong Password\r\n"
                       rb"Server said: -ERR " + re.escape(shown + b" *** is wrong") + rb"\r\n", 20)
    second = p.check_again(first, 15)
    froms = [b"Mallory " + shown + b" <mallory" + shown + b"@example.com>\r\n"] * 2
    p.wait_for(dialogue(2, froms), 20, second)
    ctx.finish(p)
    out = bytes(p.out)
    assert b"login refused: -ERR " + shown + b" *** is wrong" in out, out
    assert b"2 messages" in out, out
    for stream, data in (("trace", p.trace()), ("console", out)):
        assert b"\x1b" not in data and b"\x07" not in data, f"a control byte reached the {stream}"
        assert PASSWORD[:4].encode() not in data, f"a piece of the password reached the {stream}"


def mailutils_server(ctx, password=PASSWORD):
    server = mailutils.Pop3d(os.path.join(ctx.dir, "mailutils"), user=USER, password=password)
    server.start()
    ctx.cleanups.append(server.stop)
    return server


def ordinary(count):
    return [f"From: Sender {n} <sender{n}@example.com>\r\nSubject: Message {n}\r\n\r\nHi.\r\n"
            .encode() for n in range(1, count + 1)]


def scenario_mailutils(ctx):
    """GNU mailutils' pop3d, which sends "+OK" and a reply's data in separate packets and keeps
    an mbox: three ordinary messages, then the realistic mailbox (long provider headers, FROM:,
    From:<a@b>, a file stored with CR LF, a NUL byte), then an empty mailbox."""
    server = mailutils_server(ctx)
    server.set_messages(ordinary(3))
    p = ctx.program(user=server.login)
    first = p.wait_for(dialogue(3, senders_traced(3)), 20)
    # The file stored with CR LF goes last: pop3d does not see the mbox separator after it.
    mail = sorted(real_mail.MESSAGES, key=lambda m: m.stored_crlf)
    server.set_messages([(m.data, m.stored_crlf) for m in mail])
    second = p.check_again(first, 15)
    froms = [m.from_text for m in mail]
    end = p.wait_for(dialogue(len(froms), froms, long_replies=True), 30, second)
    assert p.trace()[second:end].count(b"is longer than 4096 bytes") == 2, "long replies not traced"
    server.set_messages([])
    third = p.check_again(end, 15)
    p.wait_for(dialogue(0, []), 20, third)
    ctx.finish(p)


def scenario_mailutils_refused(ctx):
    """GNU mailutils' pop3d refusing the login: a wrong password, then a mailbox held by
    another client ("-ERR [IN-USE]"); the trace tells the two apart in the server's words, and
    once the mailbox is free a check succeeds."""
    server = mailutils_server(ctx, password="another-password")
    server.set_messages(ordinary(2))
    p = ctx.program(user=server.login)
    refused = (CONNECT + LOGIN + READS + rb"Negative response: Wrong Password\r\n"
               rb"Server said: (-ERR [^\r\n]*)\r\nSending QUIT\r\nQUIT\r\n" +
               READS + rb"Host QUIT OK\r\nClosing socket\r\n")
    first = p.wait_for(refused, 20)
    said = re.search(refused, p.trace(), re.S).group(1)
    assert b"IN-USE" not in said, said
    server.set_password(PASSWORD)
    holder = poplib.POP3("127.0.0.1", 110, timeout=10)
    try:
        holder.user(server.login)
        holder.pass_(PASSWORD)
        second = p.check_again(first, 15)
        end = p.wait_for(refused, 20, second)
        said = re.search(refused, p.trace()[second:], re.S).group(1)
        assert said.startswith(b"-ERR [IN-USE]"), said
    finally:
        holder.quit()
    third = p.check_again(end, 15)
    p.wait_for(dialogue(2, senders_traced(2)), 20, third)
    ctx.finish(p)


SCENARIOS = {
    "three": scenario_three,
    "empty": scenario_empty,
    "many": scenario_many,
    "wrong_password": scenario_wrong_password,
    "silent": scenario_silent,
    "down": scenario_down,
    "unknown_host": scenario_unknown_host,
    "reassembly": scenario_reassembly,
    "negative": scenario_negative,
    "broken": scenario_broken,
    "inert": scenario_inert,
    "mailutils": scenario_mailutils,
    "mailutils_refused": scenario_mailutils_refused,
}


def check_programs(ctx):
    """No program let the password out, in its trace or on its standard output."""
    for p in ctx.programs:
        assert PASSWORD.encode() not in p.trace(), "the password is in the trace"
        assert PASSWORD.encode() not in bytes(p.out), "the password is on standard output"


def print_failure(ctx):
    """The end of each program's trace and output, and Dovecot's log, for a failed run."""
    for i, p in enumerate(ctx.programs):
        print(f"--- trace of program {i} (last 6000 bytes) ---")
        print(p.trace()[-6000:].decode("utf-8", "backslashreplace"))
        print(f"--- standard output of program {i} (last 2000 bytes) ---")
        print(bytes(p.out)[-2000:].decode("utf-8", "backslashreplace"))
    log = os.path.join(ctx.dir, "dovecot", "dovecot.log")
    if os.path.exists(log):
        print("--- dovecot log ---")
        print(open(log, errors="replace").read()[-3000:])


def tools_for(names):
    """The servers the chosen scenarios start, besides the scriptable one."""
    return ["dovecot"] + (["pop3d"] if any(n.startswith("mailutils") for n in names) else [])


if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS,
                           lambda args, workdir: Context(os.path.abspath(args.program), workdir),
                           "kc-e2e", tools=tools_for, check=check_programs, report=print_failure))
