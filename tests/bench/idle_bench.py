#!/usr/bin/env python3
"""The Linux program measured from outside, as it runs: its resident memory and CPU time over
checks of 0, 50, 255 and 300 messages, and how often it wakes up while it waits.

    idle_bench.py --program build/linux/kestova --screen build/linux/tests/lcd_screen
                  [--checks 50] [--idle-seconds 60] [--counts 0,50,255,300]

Memory: for each mailbox size a fresh program (on a simulated display whose node is /dev/null)
makes its start check, then --checks more, each asked for with "c" on its standard input and
waited for to return to idle. VmHWM is the peak resident set of the process since it started;
CPU is user + system time from /proc/PID/stat (clock-tick resolution, 10 ms), divided by the
checks.

Idle: programs that have made their start check are left alone for --idle-seconds, and the
context switches of each (voluntary ones are the returns from poll(); /proc/PID/status) are
counted: one with the display and a paged report on it, one with the display and no mail, one
without a display; a fourth, like the first, runs under `strace -c` to count its poll() calls.
The check timer is set to a day, so only the display's 5-second page timer is due while
waiting. Runs in a network namespace of its own (root), with two Dovecot servers (127.0.0.1
with three messages, 127.0.0.2 with none); exit code 77 when that cannot be had.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

import dovecot  # noqa: E402
from native_program import enter_network_namespace  # noqa: E402
from processes import finish_work_dir, kill_left, make_work_dir  # noqa: E402
from soak import PASSWORD, USER, Program, cpu_ms, proc_status  # noqa: E402


def messages(count):
    return [dovecot.message(f"Sender {n} <sender{n}@example.com>", f"Message {n}")
            for n in range(1, count + 1)]


def run_checks(program, first, count, timeout=60):
    """Asks for `count` checks one after another, each once the one before has ended."""
    for done in range(first + 1, first + count + 1):
        program.press("c")
        program.wait(lambda: program.started >= done, 10, f"check {done} to start")
        program.idle_after(done, timeout)


def measure_memory(args, workdir, server):
    print(f"The program over its checks ({args.checks} after the start check, each to idle)")
    print(f"{'messages':>8} {'VmHWM 1st KiB':>14} {'VmRSS 1st KiB':>14} {'VmHWM end KiB':>14} "
          f"{'VmRSS end KiB':>14} {'CPU ms/check':>13} {'wall ms/check':>14}")
    for count in [int(c) for c in args.counts.split(",")]:
        server.set_messages(messages(count))
        program = Program(args.program, args.screen, os.path.join(workdir, f"memory-{count}"))
        try:
            program.idle_after(1, 60)
            first = proc_status(program.pid)
            cpu0 = cpu_ms(program.pid)
            t0 = time.monotonic()
            run_checks(program, 1, args.checks)
            wall = (time.monotonic() - t0) * 1000 / args.checks
            cpu = (cpu_ms(program.pid) - cpu0) / args.checks
            end = proc_status(program.pid)
            counts = {c for c, _ in program.results}
            if counts != {count} or program.troubles:
                raise AssertionError(f"{count} messages: STAT counts {counts}, {program.troubles[:1]}")
            code = program.stop()
            if code != 0:
                raise AssertionError(f"exit code {code} after SIGTERM")
        except AssertionError:
            program.dump_tail()
            raise
        finally:
            kill_left([program.proc])
        print(f"{count:>8} {first['VmHWM']:>14} {first['VmRSS']:>14} {end['VmHWM']:>14} "
              f"{end['VmRSS']:>14} {cpu:>13.2f} {wall:>14.1f}")


def strace_polls(path):
    """poll and ppoll calls in an `strace -c` summary."""
    calls = 0
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields and fields[-1] in ("poll", "ppoll") and len(fields) >= 5:
                calls += int(fields[3])
    return calls


def measure_idle(args, workdir, servers):
    servers[0].set_messages(messages(3))
    cases = [("display, paged report (3 mails)", "127.0.0.1", True),
             ("display, no mail", "127.0.0.2", True),
             ("no display, 3 mails", "127.0.0.1", False)]
    strace = shutil.which("strace")
    if strace:
        cases.append(("display, paged report, under strace", "127.0.0.1", True))
    programs = []
    tracer = None
    trace_out = os.path.join(workdir, "strace.txt")
    try:
        for i, (_, server, display) in enumerate(cases):
            programs.append(Program(args.program, args.screen, os.path.join(workdir, f"idle-{i}"),
                                    server=server, display=display))
        for p in programs:
            p.idle_after(1, 60)
        time.sleep(1)  # let the start check's last messages pass
        if strace:
            tracer = subprocess.Popen([strace, "-c", "-e", "trace=poll,ppoll", "-o", trace_out,
                                       "-p", str(programs[-1].pid)], stderr=subprocess.DEVNULL)
            time.sleep(0.5)  # attached
        before = [(proc_status(p.pid), cpu_ms(p.pid)) for p in programs]
        t0 = time.monotonic()
        time.sleep(args.idle_seconds)
        seconds = time.monotonic() - t0
        after = [(proc_status(p.pid), cpu_ms(p.pid)) for p in programs]
        if tracer is not None:
            tracer.send_signal(signal.SIGINT)
            tracer.wait(timeout=10)
        started = [p.started for p in programs]
        for p in programs:
            code = p.stop()
            if code != 0:
                raise AssertionError(f"exit code {code} after SIGTERM")
    finally:
        kill_left([tracer] + [p.proc for p in programs])
    print(f"\nThe program while it waits, over {seconds:.1f} s "
          "(check timer a day away; the display's page timer every 5 s)")
    print(f"{'program':<38} {'wake-ups/min':>12} {'voluntary':>10} {'involuntary':>11} "
          f"{'CPU ms/min':>10} {'poll()/min':>10}")
    for i, (name, _, _) in enumerate(cases):
        (b, bcpu), (a, acpu) = before[i], after[i]
        vol = a["voluntary_ctxt_switches"] - b["voluntary_ctxt_switches"]
        invol = a["nonvoluntary_ctxt_switches"] - b["nonvoluntary_ctxt_switches"]
        polls = "-"
        if strace and i == len(cases) - 1:
            polls = f"{strace_polls(trace_out) * 60 / seconds:.1f}"
            vol_text = "(traced)"
            print(f"{name:<38} {'-':>12} {vol_text:>10} {'-':>11} {'-':>10} {polls:>10}")
            continue
        print(f"{name:<38} {vol * 60 / seconds:>12.1f} {vol:>10} {invol:>11} "
              f"{(acpu - bcpu) * 60 / seconds:>10.1f} {polls:>10}")
    if any(s != 1 for s in started):
        raise AssertionError(f"checks started while waiting: {started}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--screen", required=True, help="lcd_screen, to make the display tree")
    parser.add_argument("--checks", type=int, default=50)
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--counts", default="0,50,255,300")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--skip-idle", action="store_true")
    args = parser.parse_args()
    code = enter_network_namespace(sys.argv[0], sys.argv[1:], tools=("unshare", "ip", "dovecot"))
    if code is not None:
        return code
    args.program = os.path.abspath(args.program)
    args.screen = os.path.abspath(args.screen)
    workdir = make_work_dir("kc-idle-")
    servers = [dovecot.Dovecot(os.path.join(workdir, "dovecot1"), user=USER, password=PASSWORD),
               dovecot.Dovecot(os.path.join(workdir, "dovecot2"), user=USER, password=PASSWORD,
                               address="127.0.0.2")]
    ok = False
    try:
        for s in servers:
            s.start()
        if not args.skip_memory:
            measure_memory(args, workdir, servers[0])
        if not args.skip_idle:
            measure_idle(args, workdir, servers)
        ok = True
    except AssertionError as e:
        print(f"FAIL: {e}")
    finally:
        for s in servers:
            s.stop()
        finish_work_dir(workdir, False, ok)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
