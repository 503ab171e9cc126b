#!/usr/bin/env python3
"""Several accounts against single ones, with the real Linux program: three Dovecot users of
255 messages each (one server per user, on ports 110, 1110 and 2110), then

  - the wall time of a check of the three accounts in one program, against the sum of the
    times of one check in each of three one-account programs (median of --checks checks,
    the key pressed and the outcome line read by this driver);
  - idle cost: context switches (wake-ups) per minute and resident memory of the
    three-account program and of a one-account program over --idle-seconds after their
    checks.

Runs in a network namespace of its own (root). Prints the figures; the goal is a ratio of at
most 1.1.

    accounts_bench.py --program build/linux/kestova [--checks 15] [--idle-seconds 60]
"""
import argparse
import os
import re
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TESTS, "support"))
sys.path.insert(0, os.path.join(TESTS, "e2e"))

import dovecot  # noqa: E402
from scenario_runner import enter_network_namespace  # noqa: E402
from native_program import PASSWORD, Program  # noqa: E402
from run_accounts_native import subkey  # noqa: E402

PORTS = (110, 1110, 2110)
USERS = ("kestova", "second", "third")
OUTCOME = re.compile(r"^check \d\d:\d\d: ", re.M)


def outcomes(p):
    with p.cond:
        return len(OUTCOME.findall(bytes(p.out).decode("utf-8", "replace")))


def wait_outcomes(p, n, timeout=120):
    deadline = time.monotonic() + timeout
    with p.cond:
        while len(OUTCOME.findall(bytes(p.out).decode("utf-8", "replace"))) < n:
            left = deadline - time.monotonic()
            if left <= 0 or p.proc.poll() is not None:
                raise AssertionError("no outcome line: " + bytes(p.out)[-800:].decode("utf-8", "replace"))
            p.cond.wait(min(left, 0.05))


def timed_checks(p, checks):
    """The wall time of each of `checks` checks asked for with the check key."""
    wait_outcomes(p, 1)  # the check at start-up
    times = []
    for _ in range(checks):
        n = outcomes(p)
        started = time.perf_counter()
        p.press("c")
        wait_outcomes(p, n + 1)
        times.append(time.perf_counter() - started)
    return times


def idle_cost(p, seconds):
    """Context switches per minute and resident memory (KiB) while the program waits."""
    def status():
        fields = {}
        with open(f"/proc/{p.proc.pid}/status") as f:
            for line in f:
                name, _, value = line.partition(":")
                fields[name] = value.split()[0] if value.split() else ""
        return fields
    before = status()
    time.sleep(seconds)
    after = status()
    switches = sum(int(after[k]) - int(before[k])
                   for k in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"))
    return switches * 60.0 / seconds, int(after["VmRSS"]), int(after["VmHWM"])


def program(exe, workdir, accounts):
    first = accounts[0]
    p = Program(exe, workdir, server="localhost", user=first[0], port=first[1])
    with open(p.settings, "a", newline="") as f:
        for number, (user, port) in enumerate(accounts[1:], 2):
            f.write(subkey(number, "localhost", user, PASSWORD, port=port))
    return p.start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--checks", type=int, default=15)
    parser.add_argument("--messages", type=int, default=255)
    parser.add_argument("--idle-seconds", type=float, default=60)
    args = parser.parse_args()
    code = enter_network_namespace(__file__, sys.argv[1:], tools=("unshare", "ip", "dovecot"))
    if code is not None:
        return code
    exe = os.path.abspath(args.program)
    workdir = tempfile.mkdtemp(prefix="kc-bench-accounts-")
    os.chmod(workdir, 0o755)
    servers, programs = [], []
    try:
        for user, port in zip(USERS, PORTS):
            s = dovecot.Dovecot(os.path.join(workdir, "dovecot-" + user), user=user,
                                password=PASSWORD, port=port)
            s.start()
            servers.append(s)
            s.set_messages([dovecot.message(f"Sender {n} <sender{n}@example.com>", f"M {n}")
                            for n in range(1, args.messages + 1)])
        accounts = list(zip(USERS, PORTS))
        singles = []
        for i, account in enumerate(accounts):
            p = program(exe, os.path.join(workdir, f"one{i}"), [account])
            programs.append(p)
            singles.append(statistics.median(timed_checks(p, args.checks)))
        one_idle = idle_cost(programs[0], args.idle_seconds)
        for p in programs:
            p.stop()
        p = program(exe, os.path.join(workdir, "three"), accounts)
        programs.append(p)
        three = statistics.median(timed_checks(p, args.checks))
        three_idle = idle_cost(p, args.idle_seconds)
        p.stop()
        total = sum(singles)
        print(f"messages per account: {args.messages}, checks: {args.checks} (median)")
        print("one-account checks:   " + ", ".join(f"{t * 1000:.1f}" for t in singles) +
              f" ms, sum {total * 1000:.1f} ms")
        print(f"three-account check:  {three * 1000:.1f} ms")
        print(f"ratio:                {three / total:.3f} (goal <= 1.1)")
        print(f"idle, one account:    {one_idle[0]:.1f} wake-ups/min, RSS {one_idle[1]} KiB, "
              f"peak {one_idle[2]} KiB")
        print(f"idle, three accounts: {three_idle[0]:.1f} wake-ups/min, RSS {three_idle[1]} KiB, "
              f"peak {three_idle[2]} KiB")
        return 0
    finally:
        for p in programs:
            p.stop()
        for s in servers:
            s.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
