#!/usr/bin/env python3
"""End-to-end checks of the Linux program against a real POP3 server.

Each scenario runs in a network namespace of its own (the script re-runs itself under
`unshare -n` and brings the loopback up), so the servers can listen on 127.0.0.1:110, the
"pop3" service port the program connects to. The server is Dovecot (tests/support/dovecot.py)
or the scriptable server (tests/support/pop3_server.py) for faults Dovecot never makes.

The program runs with its runtime, config and device directories inside a temp dir and the
settings file written here. Its trace comes on stderr. A second check is asked for by writing
"c" to its standard input (the console's check key); a check request made while a check runs
is dropped, so a new "----- FIND HOST -----" after such a key proves the cycle was idle again.
The program is ended with SIGTERM and must exit with 0.

    run_pop3_native.py --program build/linux/kestova --scenario three
    run_pop3_native.py --program build/linux/kestova --scenario all

Exit code 77 (skipped) when not root or when unshare, ip or dovecot are missing.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)

import dovecot  # noqa: E402

SKIP = 77
USER = "kestova"
PASSWORD = "Pw-e2e-7q3!x"  # distinctive, so any leak into the trace is found
SERVER_WAIT_S = 60  # the program's limit on a silent server

# ---- the settings file -------------------------------------------------------------------


def _hex(data, size):
    data = data[:size - 1]
    return ",".join("%02x" % b for b in data + bytes(size - len(data)))


def write_settings(path, server, user=USER, password=PASSWORD, minutes=30, mailer=""):
    """The settings key as a REGEDIT4 file, the form the Linux store reads."""
    pw = bytes(b ^ 0xFF for b in password.encode()[:79] + bytes(80 - len(password.encode()[:79])))
    lines = [
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]",
        '"SERVER"=hex(1):' + _hex(server.encode(), 255),
        '"USER"=hex(1):' + _hex(user.encode(), 80),
        '"PASS"=hex:' + ",".join("%02x" % b for b in pw),
        '"TIME"=dword:%08x' % minutes,
        '"LIST"=dword:00000001',
        '"LED"=dword:00000001',
        '"MAILLER"=hex(1):' + _hex(mailer.encode(), 260),
        "",
    ]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", newline="") as f:
        f.write("\r\n".join(lines))


# ---- the program -------------------------------------------------------------------------


class Program:
    """The Linux program with its trace (stderr) and console output (stdout) collected."""

    def __init__(self, exe, workdir, server="localhost", **settings):
        self.exe = exe
        self.dir = workdir
        self.settings = os.path.join(workdir, "config", "kestova", "settings.reg")
        write_settings(self.settings, server, **settings)
        for sub in ("runtime", "sys", "dev", "home"):
            os.makedirs(os.path.join(workdir, sub), exist_ok=True)
        os.chmod(os.path.join(workdir, "runtime"), 0o700)
        self.env = dict(os.environ)
        self.env.update({
            "HOME": os.path.join(workdir, "home"),
            "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime"),
            "XDG_CONFIG_HOME": os.path.join(workdir, "config"),
            "KESTOVA_SETTINGS_FILE": self.settings,
            # No display device: empty sysfs and /dev trees.
            "KESTOVA_SYSFS_ROOT": os.path.join(workdir, "sys"),
            "KESTOVA_DEV_ROOT": os.path.join(workdir, "dev"),
            "LANG": "C.UTF-8",
        })
        self.err = bytearray()
        self.out = bytearray()
        self.cond = threading.Condition()
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen([self.exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=self.env, cwd=self.dir)
        self.readers = [threading.Thread(target=self._pump, args=(self.proc.stderr, self.err), daemon=True),
                        threading.Thread(target=self._pump, args=(self.proc.stdout, self.out), daemon=True)]
        for t in self.readers:
            t.start()
        return self

    def _pump(self, stream, sink):
        while True:
            data = stream.read1(65536)
            if not data:
                break
            with self.cond:
                sink.extend(data)
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def trace(self):
        with self.cond:
            return bytes(self.err)

    def wait_for(self, pattern, timeout, start=0, count=1):
        """Waits until the trace from `start` holds `count` matches of pattern (bytes regex);
        returns the end of the last one."""
        regex = re.compile(pattern, re.S)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                matches = list(regex.finditer(bytes(self.err), start))
                if len(matches) >= count:
                    return matches[count - 1].end()
                if self.proc.poll() is not None:
                    raise AssertionError(f"program ended ({self.proc.returncode}) while waiting for {pattern!r}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"timed out after {timeout} s waiting for {pattern!r}")
                self.cond.wait(min(left, 0.2))

    def press(self, key):
        self.proc.stdin.write(key.encode())
        self.proc.stdin.flush()

    def check_again(self, start, timeout):
        """Asks for a check until one starts after `start`; returns where its trace begins.
        Requests made while the previous check still runs are dropped by the program."""
        deadline = time.monotonic() + timeout
        while True:
            self.press("c")
            try:
                end = self.wait_for(rb"----- FIND HOST -----\r\n", 0.5, start)
                return end - len(b"----- FIND HOST -----\r\n")
            except AssertionError:
                if time.monotonic() > deadline:
                    raise AssertionError(f"no new check within {timeout} s")

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("the program did not end on SIGTERM")
        for t in self.readers:
            t.join(timeout=5)
        return code


# ---- expected traces ---------------------------------------------------------------------

READS = rb"(?:FD_READ notification received\r\nCalling recv\(\)\r\n)+"

CONNECT = (
    rb"----- FIND HOST -----\r\n"
    rb"Calling WSAAsyncGetHostByName\(\) to find server\r\n"
    rb"SM_GETHOST message received\r\n"
    rb"WSAAsyncGetHostByName\(\) took \d+  milliseconds to complete\r\n"
    rb"Server found OK\r\n\r\n"
    rb"----- CONNECT TO HOST -----\r\n"
    rb"Calling socket\(AF_INET, SOCK_STREAM, 0\);\r\n"
    rb"Calling WSAAsyncSelect\(\)\r\n"
    rb"getservbyname\(\) took \d+ milliseconds to complete\r\n"
    rb"Calling connect\(\)\r\n"
    rb"\r\n----- PROCESS MESSAGES -----\r\n"
    rb"FD_CONNECT notification received\r\n"
    rb"FD_WRITE notification received\r\n"
)

LOGIN = (
    READS + rb"AppState = CONNECTING, sending USER\r\n" +
    READS + rb"AppState = USER, sending PASS\r\n"
)


def from_block(text):
    return rb"----- FROM -----\r\n" + re.escape(text) + rb"\r\n----- FROM -----\r\n"


def dialogue(count, froms, merged=False):
    """The whole trace of a good check: count from STAT, froms the From: texts traced. With
    merged, a reply may have come in the same receive as the one before it."""
    reads = READS[:-1] + b"*" if merged else READS
    p = CONNECT + reads + rb"AppState = CONNECTING, sending USER\r\n"
    p += reads + rb"AppState = USER, sending PASS\r\n"
    p += reads + rb"AppState = PASS, sending STAT\r\n"
    p += reads + rb"AppState = STAT, reading response\r\n----- RESULT -----\r\n"
    p += str(count).encode() + rb" messages \d+ bytes\r\n"
    if froms:
        p += rb"Sending TOP\r\n"
        for text in froms:
            p += reads + from_block(text)
    p += rb"Sending QUIT\r\n" + reads + rb"Host QUIT OK\r\nClosing socket\r\n"
    return p


# ---- servers -----------------------------------------------------------------------------


class ScriptServer:
    """tests/support/pop3_server.py on 127.0.0.1:110."""

    def __init__(self, workdir, *args):
        self.log = os.path.join(workdir, "pop3_server.log")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "pop3_server.py"), "--listen", "127.0.0.1:110",
             "--user", USER, "--password", PASSWORD, "--log", self.log, *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.proc.stdout.readline()
        if not line.startswith(b"LISTENING"):
            raise RuntimeError("pop3_server.py did not start: " + line.decode(errors="replace"))

    def commands(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return f.read().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def dovecot_server(workdir, count, password=PASSWORD):
    server = dovecot.Dovecot(os.path.join(workdir, "dovecot"), user=USER, password=password)
    server.start()
    senders = [f"Sender {n} <sender{n}@example.com>" for n in range(1, count + 1)]
    server.set_messages([dovecot.message(s, f"Message {i}") for i, s in enumerate(senders, 1)])
    return server


# ---- scenarios ---------------------------------------------------------------------------


class Context:
    def __init__(self, exe, workdir):
        self.exe = exe
        self.dir = workdir
        self.cleanups = []
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

    def finish(self, program):
        code = program.stop()
        if code != 0:
            raise AssertionError(f"exit code {code} after SIGTERM, expected 0")

    def close(self):
        for c in reversed(self.cleanups):
            try:
                c()
            except Exception as e:  # noqa: BLE001 - cleanup goes on
                print(f"cleanup: {e}", file=sys.stderr)


def senders_traced(count):
    return [f"Sender {n} <sender{n}@example.com>\r\n".encode() for n in range(1, count + 1)]


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
               rb"Negative response: Wrong Password\r\nSending QUIT\r\nQUIT\r\n" +
               READS + rb"Host QUIT OK\r\nClosing socket\r\n", 20)
    assert b"STAT" not in p.trace()
    ctx.finish(p)


def scenario_silent(ctx):
    """The server stops answering after PASS: the check is given up after the time-out, the
    cycle is idle again, and the next check (a healthy session) succeeds."""
    ctx.script_server("--count", "3", "--fault", "stat=silent", "--faulty-sessions", "1")
    p = ctx.program()
    first = p.wait_for(CONNECT + LOGIN + READS + rb"AppState = PASS, sending STAT\r\n", 20)
    started = time.monotonic()
    # Nothing may end the check early, and a check asked for meanwhile is dropped.
    p.press("c")
    time.sleep(2)
    assert p.trace().count(b"----- FIND HOST -----") == 1, "a second check started while one ran"
    second = p.check_again(first, SERVER_WAIT_S + 20)
    waited = time.monotonic() - started
    assert waited >= SERVER_WAIT_S - 2, f"the check ended after {waited:.1f} s"
    p.wait_for(dialogue(3, senders_traced(3)), 20, second)
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
                       rb"WSAAsyncGetHostByName\(\) error: 110\d\d\r\n", 10)
    p.check_again(first, 10)
    ctx.finish(p)


def scenario_reassembly(ctx):
    """Replies split over several receives, two replies in one receive, a folded From: value
    and NUL bytes after a reply: the dialogue still completes with the right senders."""
    ctx.script_server("--count", "3", "--fault", "greeting=split", "--fault", "user=merge",
                      "--fault", "stat=nultail", "--fault", "top1=split", "--fault", "top2=fold")
    p = ctx.program()
    froms = senders_traced(3)
    froms[1] = b"Sender 2\r\n <sender2@example.com>\r\n"
    end = p.wait_for(dialogue(3, froms, merged=True), 20)
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
        first = p.wait_for(rb"Negative response: " + re.escape(text) + then, 20)
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
    """The server closes or resets mid-dialogue or sends more than a reply may hold: the check
    ends at once (no waiting for the time-out) and the next check succeeds."""
    cases = [("top2", "close"), ("stat", "reset"), ("top1", "big"), ("greeting", "big"),
             ("user", "close")]
    for step, fault in cases:
        server = ctx.script_server("--count", "3", "--fault", f"{step}={fault}", "--faulty-sessions", "1")
        p = ctx.program()
        first = p.wait_for(CONNECT, 20)
        second = p.check_again(first, 15)
        p.wait_for(dialogue(3, senders_traced(3)), 20, second)
        ctx.finish(p)
        server.stop()


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
}


def run(exe, name, keep):
    workdir = tempfile.mkdtemp(prefix=f"kc-e2e-{name}-")
    os.chmod(workdir, 0o755)  # Dovecot's users reach the mailbox below it
    ctx = Context(exe, workdir)
    ok = False
    try:
        SCENARIOS[name](ctx)
        for p in ctx.programs:
            assert PASSWORD.encode() not in p.trace(), "the password is in the trace"
            assert PASSWORD.encode() not in bytes(p.out), "the password is on standard output"
        ok = True
    except AssertionError as e:
        print(f"FAIL {name}: {e}")
    finally:
        ctx.close()
        if not ok:
            for i, p in enumerate(ctx.programs):
                print(f"--- trace of program {i} (last 6000 bytes) ---")
                print(p.trace()[-6000:].decode("utf-8", "backslashreplace"))
                print(f"--- standard output of program {i} (last 2000 bytes) ---")
                print(bytes(p.out)[-2000:].decode("utf-8", "backslashreplace"))
            log = os.path.join(workdir, "dovecot", "dovecot.log")
            if os.path.exists(log):
                print("--- dovecot log ---")
                print(open(log, errors="replace").read()[-3000:])
        if keep or not ok:
            print(f"work dir kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    if ok:
        print(f"PASS {name}")
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--scenario", default="all", help="one of: all, " + ", ".join(SCENARIOS))
    parser.add_argument("--keep", action="store_true", help="keep the work dir")
    args = parser.parse_args()
    names = list(SCENARIOS) if args.scenario == "all" else args.scenario.split(",")
    for n in names:
        if n not in SCENARIOS:
            parser.error(f"unknown scenario {n}")

    if os.environ.get("KC_E2E_NETNS") != "1":
        if os.geteuid() != 0:
            print("SKIP: needs root for a network namespace")
            return SKIP
        for tool in ("unshare", "ip", "dovecot"):
            if shutil.which(tool) is None and not os.path.exists(f"/usr/sbin/{tool}"):
                print(f"SKIP: {tool} not found")
                return SKIP
        env = dict(os.environ, KC_E2E_NETNS="1")
        return subprocess.call(["unshare", "-n", "--", sys.executable, os.path.abspath(__file__),
                                *sys.argv[1:]], env=env)

    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    exe = os.path.abspath(args.program)
    failed = [n for n in names if not run(exe, n, args.keep)]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
