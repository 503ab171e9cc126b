#!/usr/bin/env python3
"""The Linux program against a server that writes each reply in two pieces with Nagle's
algorithm on (the status line, then the rest), as popa3d, GNU mailutils' pop3d and Twisted do.

Such a server holds the second piece of every reply to TOP until the client has acknowledged
the first. A client that delays its acknowledgements (Linux: 40 ms at least) then waits out
the delay once per message: 255 TOP commands take 10 s and more, where they take a fraction of
a second when each reply comes in one write. The program acknowledges at once whatever it read
and did not answer, so the two kinds of server take about the same time.

The scenario makes one check of 255 messages against the scriptable server in each mode
(tests/support/pop3_server.py --replies one, then --replies split) and compares:

  - the dialogue: the same commands, the same trace (a split reply may take one more receive);
  - the acknowledgements the kernel sent late: TcpExt DelayedACKs of /proc/net/netstat, counted
    in the run's own network namespace around the check; every stalled reply adds one, so a
    check that waits out the delay on each message counts 255 or more;
  - the reply gaps the server timed: from the first write of each reply to TOP to the next
    command; a stalled reply takes 40 ms or more;
  - the check's length as the server saw it (greeting to QUIT).

None of these is a speed goal. The bounds sit far from the delayed-ACK signature and do not
depend on how busy the machine is: at most a quarter of the replies (64) may count a delayed
ACK or a gap of 35 ms, and the split check may last at most 5 s longer than the one-write check
(half the 255 x 40 ms the delays would add). The figures are printed; the ratio of the two
times goes to docs/PERFORMANCE.md from the benchmark (tests/bench/run_split_bench.py).

    run_split_replies.py --program build/linux/kestova

Exit code 77 (skipped) when not root; 1 when unshare or ip are missing (scripts/install-deps.sh installs them).
"""
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)

from native_program import Program, ScriptServer, dialogue, senders_traced  # noqa: E402
from scenario_runner import ScenarioContext, run_scenarios  # noqa: E402

MESSAGES = 255
STALL_MS = 35.0          # a reply gap this long is a delayed acknowledgement
MOST_STALLS = MESSAGES // 4
MOST_EXTRA_S = 5.0       # half of what 255 delayed acknowledgements add


def delayed_acks():
    """TcpExt DelayedACKs of this network namespace: ACKs the kernel sent when its delay ran
    out, for want of data to carry them."""
    with open("/proc/net/netstat") as f:
        lines = f.read().splitlines()
    for names, values in zip(lines, lines[1:]):
        if names.startswith("TcpExt:") and values.startswith("TcpExt:"):
            table = dict(zip(names.split()[1:], values.split()[1:]))
            return int(table["DelayedACKs"])
    raise AssertionError("no TcpExt DelayedACKs in /proc/net/netstat")


def read_timing(path):
    gaps, sessions = [], []
    with open(path) as f:
        for line in f:
            kind, value = line.split()
            (gaps if kind == "gap" else sessions).append(float(value))
    return gaps, sessions


class Context(ScenarioContext):
    def __init__(self, exe, workdir):
        super().__init__(workdir)
        self.exe = exe
        self.programs = []

    def program(self):
        p = Program(self.exe, os.path.join(self.dir, "program")).start()
        self.programs.append(p)
        self.cleanups.append(p.stop)
        return p

    def server(self, mode):
        workdir = os.path.join(self.dir, mode)
        os.makedirs(workdir)
        timing = os.path.join(workdir, "timing.txt")
        s = ScriptServer(workdir, "--count", str(MESSAGES), "--replies", mode, "--timing", timing)
        s.timing = timing
        s.mode = mode
        self.cleanups.append(s.stop)
        return s


def one_check(server, begin):
    """One check against server; begin() starts it and returns the program and where its
    trace begins. Returns the program, the end of the check's trace and its figures."""
    before = delayed_acks()
    p, start = begin()
    end = p.wait_for(dialogue(MESSAGES, senders_traced(MESSAGES)), 60, start)
    acks = delayed_acks() - before
    server.stop()
    gaps, sessions = read_timing(server.timing)
    assert len(gaps) == MESSAGES and len(sessions) == 1, (len(gaps), sessions)
    figures = {
        "session_ms": sessions[0],
        "delayed_acks": acks,
        "stalls": sum(1 for g in gaps if g >= STALL_MS),
        "median_gap_ms": statistics.median(gaps),
        "max_gap_ms": max(gaps),
        "commands": server.commands(),
    }
    print(f"{server.mode:>5}: check {figures['session_ms']:8.1f} ms, delayed ACKs {acks:3d}, "
          f"gaps of {STALL_MS:.0f} ms or more {figures['stalls']:3d}, "
          f"median gap {figures['median_gap_ms']:.3f} ms, max {figures['max_gap_ms']:.1f} ms")
    return p, end, figures


def scenario_split(ctx):
    """255 TOP commands against one-write and split replies: no reply waits for an ACK."""
    # The program checks once at start: that check goes to the one-write server.
    p, end, one = one_check(ctx.server("one"), lambda: (ctx.program(), 0))
    server = ctx.server("split")
    p, end, split = one_check(server, lambda: (p, p.check_again(end, 20)))
    ctx.finish(p)
    assert one["commands"] == split["commands"], "the dialogue differs between the modes"
    ratio = split["session_ms"] / one["session_ms"]
    print(f"split / one-write: {ratio:.2f}")
    assert split["delayed_acks"] <= MOST_STALLS, (
        f"{split['delayed_acks']} delayed ACKs in the split check: replies waited for the ACK")
    assert split["stalls"] <= MOST_STALLS, (
        f"{split['stalls']} of {MESSAGES} replies waited {STALL_MS:.0f} ms or more")
    extra_s = (split["session_ms"] - one["session_ms"]) / 1000
    assert extra_s <= MOST_EXTRA_S, f"the split check took {extra_s:.1f} s longer"


def scenario_pieces(ctx):
    """255 TOP replies whose second half waits for the ACK of the first: none waits out the
    delayed acknowledgement."""
    p, end, one = one_check(ctx.server("one"), lambda: (ctx.program(), 0))
    server = ctx.server("pieces")
    p, end, pieces = one_check(server, lambda: (p, p.check_again(end, 20)))
    ctx.finish(p)
    assert one["commands"] == pieces["commands"], "the dialogue differs between the modes"
    assert pieces["delayed_acks"] <= MOST_STALLS, (
        f"{pieces['delayed_acks']} delayed ACKs: later pieces of replies waited for the ACK")
    assert pieces["stalls"] <= MOST_STALLS, (
        f"{pieces['stalls']} of {MESSAGES} replies waited {STALL_MS:.0f} ms or more")


SCENARIOS = {"split": scenario_split, "pieces": scenario_pieces}


def print_failure(ctx):
    for i, p in enumerate(ctx.programs):
        print(f"--- trace of program {i} (last 4000 bytes) ---")
        print(p.trace()[-4000:].decode("utf-8", "backslashreplace"))


if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS,
                           lambda args, workdir: Context(os.path.abspath(args.program), workdir),
                           "kc-split", report=print_failure))
