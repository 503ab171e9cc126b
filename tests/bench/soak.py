#!/usr/bin/env python3
"""A soak run of the Linux program: many consecutive checks against Dovecot with a mailbox that
changes between checks, on a simulated display. It asserts that every check ends and the cycle
is idle again, and that resident memory and open descriptors stay flat.

    soak.py --program build/linux/kestova --screen build/linux/tests/lcd_screen [--checks 2000]
            [--sample-every N] [--rss-margin-kib K] [--seed S] [--keep]

Each check is asked for by writing "c" to the program's standard input; it has ended when the
trace shows "Host QUIT OK" and "Closing socket" and the status line on standard output shows a
picture other than busy again. The check's STAT count, the number of senders traced and the
picture are compared with the mailbox as it was. Between checks, messages are added to new/ and
removed from new/ or cur/ of the maildir. Every N checks (and after the first) the program's
VmRSS, its anonymous part RssAnon (the heap and stack: where a leak would show), VmHWM and the
number of open descriptors are read from /proc.

The flat-memory rule: the largest VmRSS of the last quarter of the samples is at most the
largest of the first quarter plus a margin (default 128 KiB), the same for RssAnon with a
margin of its own (default 96 KiB), and every sample holds the same number of open descriptors.
The margins allow for growth that happens once: every check makes and frees the resolver's
channel, one heap block of about 73 KiB, and after some dozens of checks the heap may have to
grow once to fit it again; a code path first taken late maps its library pages, up to 64 KiB at
a time with the kernel's fault-around. Runs in a network namespace of its own (root), like the end-to-end suites; exit
code 77 when that cannot be had.
"""
import argparse
import collections
import os
import random
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TESTS, "support"))

import dovecot  # noqa: E402
from native_program import enter_network_namespace, program_env, write_settings  # noqa: E402
from processes import end_on_sigterm, finish_work_dir, make_work_dir  # noqa: E402

USER = "kestova"
PASSWORD = "Soak-pw-4k2"
MAX_MESSAGES = 40  # the mailbox wanders between 0 and this
SENDER_SLOTS = 255  # the program fetches the senders of the first 255 messages

BUSY = "checking"


def proc_status(pid):
    """VmRSS, RssAnon, VmHWM (KiB), voluntary and involuntary context switches, threads, open
    fds."""
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile", "VmHWM", "VmSize"):
                out[key] = int(value.split()[0])
            elif key in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches", "Threads"):
                out[key] = int(value)
    out["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
    return out


def cpu_ms(pid):
    """User + system CPU time of a process in milliseconds (clock-tick resolution)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks * 1000.0 / os.sysconf("SC_CLK_TCK")


class Mailbox:
    """The maildir of Dovecot's user, changed in place between checks."""

    def __init__(self, server, rng):
        self.server = server
        self.rng = rng
        self.serial = 0

    def files(self):
        out = []
        for sub in ("new", "cur"):
            d = os.path.join(self.server.maildir, sub)
            out += [os.path.join(d, n) for n in os.listdir(d)]
        return sorted(out)

    def count(self):
        return len(self.files())

    def sender(self):
        n = self.serial
        kind = n % 7
        if kind == 5:  # longer than a sender slot
            return "Very Long Name " + "x" * 300 + f" <long{n}@example.com>"
        if kind == 6:  # folded
            return f"Folded Sender {n}\r\n <folded{n}@example.com>"
        return f"Sender {n} <sender{n}@example.com>"

    def add(self, k):
        new = os.path.join(self.server.maildir, "new")
        for _ in range(k):
            self.serial += 1
            data = dovecot.message(self.sender(), f"Soak message {self.serial}",
                                   body="Line one.\r\n" * self.rng.randint(1, 40))
            name = f"{int(time.time())}.S{self.serial}P{os.getpid()}.soak"
            tmp = os.path.join(self.server.maildir, "tmp", name)
            with open(tmp, "wb") as f:
                f.write(data)
            os.chown(tmp, dovecot.MAIL_UID, dovecot.MAIL_GID)
            os.rename(tmp, os.path.join(new, name))

    def remove(self, k):
        files = self.files()
        for path in self.rng.sample(files, min(k, len(files))):
            try:
                os.unlink(path)
            except FileNotFoundError:  # renamed into cur/ meanwhile; not while idle
                pass

    def change(self, check):
        """Adds or removes a few messages; empties the mailbox now and then. The first check
        finds it full, so that the largest check comes in the first quarter of any run."""
        n = self.count()
        if check == 1:
            self.add(MAX_MESSAGES - n)
        elif check % 97 == 0:
            self.remove(n)
        elif n == 0 or (n < MAX_MESSAGES and self.rng.random() < 0.55):
            self.add(self.rng.randint(1, min(6, MAX_MESSAGES - n)))
        else:
            self.remove(self.rng.randint(1, min(6, n)))


class Program:
    """The Linux program on a simulated display whose node is /dev/null, with its trace and
    status lines parsed as they come (nothing of them is kept but the last lines)."""

    def __init__(self, exe, screen_exe, workdir, server="127.0.0.1", display=True, minutes=1440):
        self.dir = workdir
        os.makedirs(workdir, exist_ok=True)
        settings = os.path.join(workdir, "config", "kestova", "settings.reg")
        write_settings(settings, server, user=USER, password=PASSWORD, minutes=minutes)
        for sub in ("runtime", "home", "nodisplay/sys", "nodisplay/dev"):
            os.makedirs(os.path.join(workdir, sub), mode=0o700, exist_ok=True)
        if display:
            tree = os.path.join(workdir, "lcd")
            subprocess.run([screen_exe, "--make-tree", tree, "--file"], check=True,
                           stdout=subprocess.DEVNULL)
            node = os.path.join(tree, "dev", "hidraw0")
            os.unlink(node)
            os.symlink("/dev/null", node)  # every report is accepted and dropped
            sysfs, dev = os.path.join(tree, "sys"), os.path.join(tree, "dev")
        else:
            sysfs, dev = os.path.join(workdir, "nodisplay/sys"), os.path.join(workdir, "nodisplay/dev")
        env = program_env(workdir, settings, sysfs, dev)
        self.cond = threading.Condition()
        self.tail = collections.deque(maxlen=300)  # the last trace and status lines
        self.started = 0        # "----- FIND HOST -----" lines
        self.quits = 0          # "Host QUIT OK" lines
        self.closed = 0         # "Closing socket" lines
        self.results = []       # per check: (STAT count, FROM blocks), filled at its end
        self.busy = 0           # status lines with the busy picture: one at each check's start
        self.pictures = {}      # check number (from 1) -> the first other picture after its busy one
        self.troubles = []      # error and negative-response lines
        self._froms = 0
        self._want_result = False
        self._count = None
        self.proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, cwd=workdir)
        self.threads = [threading.Thread(target=self._trace, daemon=True),
                        threading.Thread(target=self._status, daemon=True)]
        for t in self.threads:
            t.start()

    @property
    def pid(self):
        return self.proc.pid

    def _trace(self):
        for raw in self.proc.stderr:
            line = raw.rstrip(b"\r\n")
            with self.cond:
                self.tail.append(b"trace: " + line)
                if line == b"----- FIND HOST -----":
                    self.started += 1
                    self._froms = 0
                    self._count = None
                elif line == b"----- RESULT -----":
                    self._want_result = True
                elif self._want_result:
                    self._want_result = False
                    m = re.match(rb"(-?\d+) messages \d+ bytes$", line)
                    self._count = int(m.group(1)) if m else None
                elif line == b"----- FROM -----":
                    self._froms += 1
                elif line == b"Host QUIT OK":
                    self.quits += 1
                elif line == b"Closing socket":
                    self.closed += 1
                    self.results.append((self._count, self._froms))
                elif b"error" in line.lower() or line.startswith(b"Negative response"):
                    self.troubles.append(line)
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def _status(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.cond:
                self.tail.append(b"status: " + line.encode())
                m = re.match(r"\[([^\]]*)\]", line)
                if m and m.group(1) == BUSY:
                    self.busy += 1
                elif m and self.busy > 0:  # the picture of the start, before any check, is not one
                    self.pictures.setdefault(self.busy, m.group(1))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                if self.proc.poll() is not None:
                    raise AssertionError(f"the program ended ({self.proc.returncode}) waiting for {what}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"timed out after {timeout} s waiting for {what}")
                self.cond.wait(min(left, 0.5))

    def idle_after(self, checks, timeout=30):
        """Waits until `checks` checks have ended: socket closed and a picture other than busy."""
        self.wait(lambda: self.closed >= checks and checks in self.pictures, timeout,
                  f"the end of check {checks}")

    def press(self, key):
        self.proc.stdin.write(key.encode())
        self.proc.stdin.flush()

    def stop(self):
        code = end_on_sigterm(self.proc)
        for t in self.threads:
            t.join(timeout=5)
        return code

    def dump_tail(self):
        with self.cond:
            for line in self.tail:
                print(line.decode("utf-8", "backslashreplace"))


def picture_for(count):
    if count == 0:
        return "no mail"
    return "mail" if count <= 10 else "much mail"


def soak(args, workdir):
    rng = random.Random(args.seed)
    server = dovecot.Dovecot(os.path.join(workdir, "dovecot"), user=USER, password=PASSWORD)
    server.start()
    program = None
    try:
        mailbox = Mailbox(server, rng)
        mailbox.add(5)
        program = Program(args.program, args.screen, os.path.join(workdir, "program"))
        program.idle_after(1)  # the check of the start
        every = args.sample_every or max(1, args.checks // 20)
        samples = [(0, 0.0, proc_status(program.pid), 0.0, cpu_ms(program.pid), 5.0)]
        check_ms = []
        sizes = []  # the mailbox at each check
        repressed = 0
        started = time.monotonic()
        for n in range(1, args.checks + 1):
            mailbox.change(n)
            expected = mailbox.count()
            sizes.append(expected)
            done = n + 1  # the start's check came first
            t0 = time.monotonic()
            program.press("c")
            # A key that arrives while a check still runs is dropped; the loop was idle, so a
            # second press is counted as a fault of the run.
            try:
                program.wait(lambda: program.started >= done, 5, f"check {n} to start")
            except AssertionError:
                repressed += 1
                program.press("c")
                program.wait(lambda: program.started >= done, 5, f"check {n} to start")
            program.idle_after(done)
            check_ms.append((time.monotonic() - t0) * 1000)
            count, froms = program.results[done - 1]
            picture = program.pictures[done]
            want_froms = 2 * min(expected, SENDER_SLOTS)
            if count != expected or froms != want_froms or picture != picture_for(expected):
                raise AssertionError(f"check {n}: STAT {count}, {froms // 2} senders, [{picture}]; "
                                     f"the mailbox held {expected}")
            if program.quits != done:
                raise AssertionError(f"check {n}: {program.quits} QUIT replies for {done} checks")
            if program.troubles:
                raise AssertionError(f"check {n}: {program.troubles[0]!r}")
            if n % every == 0 or n == args.checks:
                window = check_ms[-every:]
                samples.append((n, time.monotonic() - started, proc_status(program.pid),
                                sum(window) / len(window), cpu_ms(program.pid),
                                sum(sizes[-every:]) / len(window)))
        elapsed = time.monotonic() - started
        code = program.stop()
        if code != 0:
            raise AssertionError(f"exit code {code} after SIGTERM, expected 0")
        return report(args, samples, check_ms, elapsed, repressed)
    except AssertionError:
        if program is not None:
            print("--- last lines of the program ---")
            program.dump_tail()
        raise
    finally:
        if program is not None and program.proc.poll() is None:
            program.proc.kill()
            program.proc.wait()
        server.stop()


def report(args, samples, check_ms, elapsed, repressed):
    print(f"{'checks':>7} {'time s':>8} {'VmRSS KiB':>10} {'RssAnon KiB':>12} {'VmHWM KiB':>10} "
          f"{'fds':>4} {'ms/check':>9} {'CPU ms':>8} {'messages':>9}")
    for n, t, st, ms, cpu, size in samples:
        print(f"{n:>7} {t:>8.1f} {st['VmRSS']:>10} {st['RssAnon']:>12} {st['VmHWM']:>10} "
              f"{st['fds']:>4} {ms:>9.1f} {cpu:>8.0f} {size:>9.1f}")
    measured = samples[1:]  # after the first check of the run: sample 0 is the start's check
    quarter = max(1, len(measured) // 4)

    def growth(key):
        first = max(s[2][key] for s in measured[:quarter])
        last = max(s[2][key] for s in measured[-quarter:])
        return first, last

    first, last = growth("VmRSS")
    first_anon, last_anon = growth("RssAnon")
    fds = sorted({s[2]["fds"] for s in samples})
    cpu_per_check = (samples[-1][4] - samples[0][4]) / len(check_ms)
    ordered = sorted(check_ms)
    print(f"\n{len(check_ms)} checks in {elapsed:.1f} s; check time median "
          f"{ordered[len(ordered) // 2]:.1f} ms, max {ordered[-1]:.1f} ms (key to idle, driver "
          f"included); program CPU {cpu_per_check:.2f} ms per check")
    print(f"VmRSS: first-quarter max {first} KiB, last-quarter max {last} KiB "
          f"(margin {args.rss_margin_kib} KiB); VmHWM at the end {samples[-1][2]['VmHWM']} KiB")
    print(f"RssAnon: first-quarter max {first_anon} KiB, last-quarter max {last_anon} KiB "
          f"(margin {args.anon_margin_kib} KiB)")
    print(f"open descriptors: {', '.join(map(str, fds))}; checks that needed a second key: {repressed}")
    ok = True
    if last > first + args.rss_margin_kib:
        print(f"FAIL: resident memory grew by {last - first} KiB")
        ok = False
    if last_anon > first_anon + args.anon_margin_kib:
        print(f"FAIL: anonymous memory (heap, stack) grew by {last_anon - first_anon} KiB")
        ok = False
    if len(fds) != 1:
        print(f"FAIL: open descriptors changed: {fds}")
        ok = False
    if repressed:
        print("FAIL: a check was asked for while the previous one had not returned to idle")
        ok = False
    print("PASS soak" if ok else "FAIL soak")
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--screen", required=True, help="lcd_screen, to make the display tree")
    parser.add_argument("--checks", type=int, default=2000)
    parser.add_argument("--sample-every", type=int, default=0, help="default: checks / 20")
    parser.add_argument("--rss-margin-kib", type=int, default=128)
    parser.add_argument("--anon-margin-kib", type=int, default=96)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--keep", action="store_true", help="keep the work dir")
    args = parser.parse_args()
    code = enter_network_namespace(sys.argv[0], sys.argv[1:], tools=("unshare", "ip", "dovecot"))
    if code is not None:
        return code
    args.program = os.path.abspath(args.program)
    args.screen = os.path.abspath(args.screen)
    workdir = make_work_dir("kc-soak-")
    ok = False
    try:
        ok = soak(args, workdir)
    except AssertionError as e:
        print(f"FAIL soak: {e}")
    finally:
        finish_work_dir(workdir, args.keep, ok)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
