#!/usr/bin/env python3
"""The whole running program beside the floor: the smallest blocking C client that makes the
same check (tests/bench/blocking_client.c). Both are started as processes of their own and
driven the same way, one line on standard input per check and one line back on standard output
at its end: the program gets "c" and answers with its status line, the client makes a check for
each line and prints "N messages".

    program_bench.py --program build/linux/kestova --client build/linux/tests/blocking_client
                     [--counts 0,255] [--rounds 3] [--checks 101] [--warmup 5] [--display]
    program_bench.py ... --tls --client build/linux/tests/blocking_client_tls
    program_bench.py ... --split [--split-checks 5]

CPU: each round starts a fresh program and a fresh client (which goes first alternates from
round to round), lets each make --warmup checks (the program's start check among them), then
--checks more, and reads the process's CPU time (user + system, nanoseconds from
/proc/PID/schedstat) before and after those: the start-up, the set-up and the warm-up are left
out. The program writes its trace to /dev/null, as the pop3 benchmark does, and its status line
and notice lines to the pipe the bench reads. Peak memory: VmHWM of each process at the end of
its round. --display gives the program a simulated display whose node is /dev/null, so every
report is written (300 per check); without it the program has no display, as the client.

The server is Dovecot with --counts messages, in a network namespace of its own (root; exit
code 77 otherwise). With --tls Dovecot requires TLS (a test CA made for the run, trusted
through SSL_CERT_FILE, the system's bundle with the test CA appended), the program has SSL 1
and both go to port 995; --ca-only trusts the test CA alone (what the system's trust store costs
is the difference).

--memory prints, for the first round, the resident set of each process after its checks by
mapping (/proc/PID/smaps): each library, the heap, the stack, other anonymous memory.

--wrap and --client-wrap run the program and the client under a command (strace -c -o FILE,
valgrind --tool=callgrind --callgrind-out-file=FILE): the profiles of docs/PERFORMANCE.md.

--split: the check against tests/support/pop3_server.py writing each reply in one write and in
two (--replies one / split, 255 messages), the program beside the client (which never hurries
its acknowledgements, so it shows what a delayed ACK costs per reply); the server times each
check from its greeting to QUIT. --split-checks checks per process and mode after one warm-up;
--rounds rounds alternate which mode goes first, each with a fresh server and program; the
client makes one check against the split replies, at the end (about 11 s). --mailutils adds the program
against GNU mailutils' pop3d (a real server that writes its replies this way) with 255 messages,
timed from the key to the status line.

Prints one row per mailbox size (or mode) with medians over the rounds and the range.
"""
import argparse
import os
import re
import select
import shlex
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

import dovecot  # noqa: E402
from native_program import ScriptServer, program_env, write_settings  # noqa: E402
from processes import end_on_sigterm, finish_work_dir, make_work_dir  # noqa: E402
from scenario_runner import enter_network_namespace  # noqa: E402
from test_certs import TestCerts  # noqa: E402

USER = "kestova"
PASSWORD = "Bench-pw-9z"
BUSY = "checking"


def cpu_ns(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Lines:
    """A process's standard output, line by line, with a time-out."""

    def __init__(self, proc):
        self.proc = proc
        self.pending = b""

    def next(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or self.proc.poll() is not None:
                raise AssertionError(f"no line within {timeout} s; so far {self.pending[-200:]!r}")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                data = os.read(self.proc.stdout.fileno(), 65536)
                if not data:
                    raise AssertionError("the process closed its output")
                self.pending += data
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode("utf-8", "replace")


class TheProgram:
    """kestova with its trace to /dev/null; a check is asked for with "c" and has ended when a
    status line shows a picture other than the busy one after the busy one."""

    def __init__(self, exe, workdir, port, tls, display, screen, wrap=(), user=USER):
        os.makedirs(workdir, exist_ok=True)
        settings = os.path.join(workdir, "config", "kestova", "settings.reg")
        write_settings(settings, "127.0.0.1", user=user, password=PASSWORD, minutes=1440,
                       ssl=1 if tls else None, port=port)
        for sub in ("runtime", "home", "sys", "dev"):
            os.makedirs(os.path.join(workdir, sub), mode=0o700, exist_ok=True)
        sysfs, dev = os.path.join(workdir, "sys"), os.path.join(workdir, "dev")
        if display:
            tree = os.path.join(workdir, "lcd")
            subprocess.run([screen, "--make-tree", tree, "--file"], check=True,
                           stdout=subprocess.DEVNULL)
            node = os.path.join(tree, "dev", "hidraw0")
            os.unlink(node)
            os.symlink("/dev/null", node)
            sysfs, dev = os.path.join(tree, "sys"), os.path.join(tree, "dev")
        env = program_env(workdir, settings, sysfs, dev)
        self.proc = subprocess.Popen([*wrap, exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env, cwd=workdir)
        self.lines = Lines(self.proc)
        self.wait_idle(60)  # the start check

    def wait_idle(self, timeout):
        busy = False
        while True:
            m = re.match(r"\[([^\]]*)\]", self.lines.next(timeout))
            if m and m.group(1) == BUSY:
                busy = True
            elif m and busy:
                return

    def check(self, timeout=60):
        self.proc.stdin.write(b"c")
        self.proc.stdin.flush()
        self.wait_idle(timeout)

    def stop(self):
        # Under a wrapper the program is the wrapper's child: it gets the signal, and the
        # wrapper ends after it, having written its profile.
        try:
            with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                children = [int(c) for c in f.read().split()]
        except OSError:
            children = []
        if children:
            for child in children:
                os.kill(child, signal.SIGTERM)
            self.proc.wait(timeout=60)
        else:
            end_on_sigterm(self.proc, 10)


class TheClient:
    def __init__(self, exe, port, count, wrap=()):
        self.proc = subprocess.Popen([*wrap, exe, "127.0.0.1", str(port), USER, PASSWORD],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lines = Lines(self.proc)
        self.count = count

    def check(self, timeout=60):
        self.proc.stdin.write(b"c\n")
        self.proc.stdin.flush()
        line = self.lines.next(timeout)
        if line != f"{self.count} messages":
            raise AssertionError(f"client: {line}")

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def smaps_breakdown(pid):
    """Resident KiB by what is mapped: each file by name, the heap, the stack, other anonymous
    memory."""
    out = {}
    name = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5 and not fields[0].endswith(":"):
                name = os.path.basename(fields[5]) if len(fields) > 5 else "[anonymous]"
            elif fields[0] == "Rss:":
                out[name] = out.get(name, 0) + int(fields[1])
    return out


BREAKDOWNS = {}


def measure(make, warmup, checks, label=None):
    """Per-check CPU (ms) and wall (ms) over `checks` after `warmup`, and the peak (KiB)."""
    p = make()
    try:
        for _ in range(warmup):
            p.check()
        cpu = cpu_ns(p.proc.pid)
        start = time.perf_counter()
        for _ in range(checks):
            p.check()
        wall = (time.perf_counter() - start) * 1000 / checks
        cpu = (cpu_ns(p.proc.pid) - cpu) / 1e6 / checks
        if label is not None:
            BREAKDOWNS[label] = smaps_breakdown(p.proc.pid)
        return cpu, wall, peak_kib(p.proc.pid)
    finally:
        p.stop()


def spread(values, fmt="{:.3f}"):
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}-{fmt.format(max(values))})"


def cpu_rows(args, workdir):
    port = 995 if args.tls else 110
    tls = None
    if args.tls:
        certs = TestCerts(os.path.join(workdir, "certs"))
        tls = certs.server("bench", names=("localhost", "127.0.0.1"))
        os.environ["SSL_CERT_FILE"] = certs.ca[0] if args.ca_only else certs.bundle()
    server = dovecot.Dovecot(os.path.join(workdir, "dovecot"), user=USER, password=PASSWORD, tls=tls)
    server.start()
    try:
        print(f"{'messages':>8} | {'program CPU ms/check':>22} | {'client CPU ms/check':>22} | "
              f"{'CPU ratio':>18} | {'wall ratio':>18} | {'program KiB':>11} | {'client KiB':>10}")
        for count in [int(c) for c in args.counts.split(",")]:
            server.set_messages([dovecot.message(f"Sender {n} <sender{n}@example.com>", f"Message {n}")
                                 for n in range(1, count + 1)])
            rows = {"program": [], "client": []}
            for r in range(args.rounds):
                order = ["program", "client"] if r % 2 == 0 else ["client", "program"]
                for who in order:
                    if who == "program":
                        make = lambda: TheProgram(args.program, os.path.join(workdir, f"p{count}-{r}"),  # noqa: E731
                                                  port if args.tls else None, args.tls, args.display,
                                                  args.screen, shlex.split(args.wrap))
                    else:
                        make = lambda: TheClient(args.client, port, count,  # noqa: E731
                                                 shlex.split(args.client_wrap))
                    label = f"{who}, {count} messages" if args.memory and r == 0 else None
                    rows[who].append(measure(make, args.warmup, args.checks, label))
            pc = [x[0] for x in rows["program"]]
            cc = [x[0] for x in rows["client"]]
            # Under a wrapper the CPU read is the wrapper's, perhaps 0: no ratio then.
            ratios = [a / b if b > 0 else 0.0 for a, b in zip(pc, cc)]
            walls = [a[1] / b[1] if b[1] > 0 else 0.0 for a, b in zip(rows["program"], rows["client"])]
            print(f"{count:>8} | {spread(pc):>22} | {spread(cc):>22} | {spread(ratios, '{:.2f}'):>18} | "
                  f"{spread(walls, '{:.2f}'):>18} | {max(x[2] for x in rows['program']):>11} | "
                  f"{max(x[2] for x in rows['client']):>10}", flush=True)
        for label, table in BREAKDOWNS.items():
            print(f"\nresident KiB by mapping after the checks: {label} "
                  f"(total {sum(table.values())})")
            for name, kib in sorted(table.items(), key=lambda x: -x[1]):
                if kib >= 32:
                    print(f"  {kib:>6}  {name}")
    finally:
        server.stop()
    return True


def split_rows(args, workdir):
    count = 255
    print(f"{'server mode':>12} | {'program check ms':>24} | {'client check ms':>24}")
    results = {mode: {"program": [], "client": []} for mode in ("one", "split")}
    runs = 0

    def run(mode, who, checks):
        nonlocal runs
        runs += 1
        sdir = os.path.join(workdir, f"{mode}-{who}-{runs}")
        os.makedirs(sdir)
        timing = os.path.join(sdir, "timing.txt")
        server = ScriptServer(sdir, "--user", USER, "--password", PASSWORD, "--count",
                              str(count), "--replies", mode, "--timing", timing)
        try:
            if who == "program":
                p = TheProgram(args.program, os.path.join(sdir, "program"), None, False, False,
                               None)
            else:
                p = TheClient(args.client, 110, count)
                p.check(60)  # warm-up, as the program's start check
            try:
                for _ in range(checks):
                    p.check(60)
            finally:
                p.stop()
        finally:
            server.stop()
        with open(timing) as f:
            sessions = [float(l.split()[1]) for l in f if l.startswith("session")]
        results[mode][who] += sessions[1:]  # the warm-up left out

    # Rounds alternate which mode goes first; the client that delays its ACKs makes one check
    # against the split replies, at the end (it takes about 11 s).
    for r in range(args.rounds):
        for mode in (("one", "split") if r % 2 == 0 else ("split", "one")):
            run(mode, "program", args.split_checks)
        run("one", "client", args.split_checks)
    run("split", "client", 1)
    for mode in ("one", "split"):
        print(f"{mode:>12} | {spread(results[mode]['program'], '{:.1f}'):>24} | "
              f"{spread(results[mode]['client'], '{:.1f}'):>24}", flush=True)
    ratio = statistics.median(results["split"]["program"]) / statistics.median(results["one"]["program"])
    print(f"program, split / one-write: {ratio:.2f}")
    if args.mailutils:
        import mailutils
        server = mailutils.Pop3d(os.path.join(workdir, "mailutils"), user=USER, password=PASSWORD)
        server.start()
        try:
            server.set_messages([f"From: Sender {n} <sender{n}@example.com>\r\nSubject: {n}\r\n"
                                 f"\r\nHi.\r\n".encode() for n in range(1, count + 1)])
            p = TheProgram(args.program, os.path.join(workdir, "mu"), None, False, False, None,
                           user=server.login)
            try:
                walls = []
                for _ in range(args.split_checks):
                    start = time.perf_counter()
                    p.check(60)
                    walls.append((time.perf_counter() - start) * 1000)
            finally:
                p.stop()
        finally:
            server.stop()
        print(f"program against GNU mailutils' pop3d, 255 messages, key to idle: "
              f"{spread(walls, '{:.1f}')} ms")
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--screen", help="lcd_screen, for --display")
    parser.add_argument("--counts", default="0,255")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--checks", type=int, default=101)
    parser.add_argument("--warmup", type=int, default=5)
    parser.add_argument("--display", action="store_true")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--ca-only", action="store_true",
                        help="with --tls: trust the test CA alone, not the system's bundle with it")
    parser.add_argument("--split", action="store_true")
    parser.add_argument("--split-checks", type=int, default=5)
    parser.add_argument("--mailutils", action="store_true",
                        help="with --split: also the program against GNU mailutils' pop3d")
    parser.add_argument("--memory", action="store_true",
                        help="print the resident memory of each by mapping (first round)")
    parser.add_argument("--wrap", default="",
                        help="a command the program runs under (strace -c, valgrind --tool=callgrind)")
    parser.add_argument("--client-wrap", default="", help="the same for the client")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    code = enter_network_namespace(sys.argv[0], sys.argv[1:], tools=("unshare", "ip", "dovecot"))
    if code is not None:
        return code
    args.program = os.path.abspath(args.program)
    args.client = os.path.abspath(args.client)
    if args.screen:
        args.screen = os.path.abspath(args.screen)
    workdir = make_work_dir("kc-program-bench-")
    ok = False
    try:
        ok = split_rows(args, workdir) if args.split else cpu_rows(args, workdir)
    finally:
        finish_work_dir(workdir, args.keep, ok)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
