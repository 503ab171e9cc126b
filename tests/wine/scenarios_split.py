"""The Windows program against a server that writes each reply in two pieces with Nagle's
algorithm on (the status line, then the rest), as popa3d, GNU mailutils' pop3d and Twisted do.

The server holds the second piece of every reply to TOP until the program has acknowledged the
first; a socket that delays its acknowledgements waits out the delay once per message. The exe
asks WinSock to acknowledge every segment at once (SIO_TCP_SET_ACK_FREQUENCY through WSAIoctl,
looked up in ws2_32 at run time, so its import table keeps the WinSock 1.1 calls alone) and
carries on without it where the call is missing or refused.

The scenario makes a check of 255 messages against the scriptable server writing each reply in
one write, then one against the split replies, and counts what the run's own network namespace
sent late (TcpExt DelayedACKs) and the reply gaps the server timed, as the native test does
(tests/e2e/run_split_replies.py). Where this Wine refuses the call (Wine 8.0 answers it with
"unimplemented ioctl"), the socket under Wine is a Linux socket with Linux's delayed ACK and
nothing the exe may ask changes that: the dialogue and the trace are still checked, the
figures are printed, and the comparison of the times is reported as skipped with that reason.
"""
import os
import re
import statistics
import sys
import time

from harness import IDM_CHECK, IDM_EXIT, Skip, check, log
from native_program import ScriptServer
from scenarios import PASSWORD, POLLER, USER, settings, start_with_settings, tail, wait_check_done

MESSAGES = 255
STALL_MS = 35.0
MOST_STALLS = MESSAGES // 4
MOST_EXTRA_S = 5.0
# What Wine 8 writes (WINEDEBUG fixme+winsock) for an ioctl it does not know; the code is
# printed as IOC_VENDOR and 23 in some form, so the line is matched loosely.
REFUSED = re.compile(rb"fixme:winsock:WSAIoctl unimplemented ioctl ([^\n]*)")


def skip(reason):
    # harness.py runs as __main__: the Skip it catches is that module's class.
    raise getattr(sys.modules.get("__main__"), "Skip", Skip)(reason)


def delayed_acks():
    with open("/proc/net/netstat") as f:
        lines = f.read().splitlines()
    for names, values in zip(lines, lines[1:]):
        if names.startswith("TcpExt:") and values.startswith("TcpExt:"):
            return int(dict(zip(names.split()[1:], values.split()[1:]))["DelayedACKs"])
    raise AssertionError("no TcpExt DelayedACKs in /proc/net/netstat")


def script_server(env, mode):
    workdir = os.path.join(env.tmp, f"pop3-{mode}")
    os.makedirs(workdir, exist_ok=True)
    timing = os.path.join(workdir, "timing.txt")
    server = ScriptServer(workdir, "--user", USER, "--password", PASSWORD, "--count",
                          str(MESSAGES), "--replies", mode, "--timing", timing)
    server.timing = timing
    return server


def figures_of(server, acks, mode):
    gaps, session = [], None
    with open(server.timing) as f:
        for line in f:
            kind, value = line.split()
            if kind == "gap":
                gaps.append(float(value))
            else:
                session = float(value)
    check(len(gaps) == MESSAGES and session is not None, f"{mode}: {len(gaps)} replies timed")
    stalls = sum(1 for g in gaps if g >= STALL_MS)
    log(f"{mode}: check {session:.1f} ms, delayed ACKs {acks}, gaps of {STALL_MS:.0f} ms or more "
        f"{stalls}, median gap {statistics.median(gaps):.3f} ms, max {max(gaps):.1f} ms")
    return {"session_ms": session, "acks": acks, "stalls": stalls, "commands": server.commands()}


def split_replies(env):
    env.require(*POLLER, feature="the mailbox poller")
    check("WSAIoctl" not in env.imports, "the exe imports WSAIoctl: its import table changed")
    env.wenv["WINEDEBUG"] = env.wenv.get("WINEDEBUG", "-all,+debugstr") + ",fixme+winsock"
    server = script_server(env, "one")
    try:
        before = delayed_acks()
        program, window = start_with_settings(env, settings(), server=False)
        wait_check_done(env, program, 1, 60)
        one = figures_of(server, delayed_acks() - before, "one")
    finally:
        server.stop()
    server = script_server(env, "split")
    try:
        before = delayed_acks()
        env.command(window, IDM_CHECK)
        check(program.wait_trace(b"----- FIND HOST -----", 10, 2), "no second check")
        wait_check_done(env, program, 2, 90)
        split = figures_of(server, delayed_acks() - before, "split")
    finally:
        server.stop()
    text = program.text()
    check(text.count(b"----- FROM -----\r\n") == 2 * 2 * MESSAGES,
          f"not every sender traced in both checks:\n{tail(program)}")
    check(one["commands"] == split["commands"], "the dialogue differs between the modes")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
    extra_s = (split["session_ms"] - one["session_ms"]) / 1000
    log(f"split / one-write: {split['session_ms'] / one['session_ms']:.2f}")
    if split["acks"] <= MOST_STALLS and split["stalls"] <= MOST_STALLS and extra_s <= MOST_EXTRA_S:
        return
    time.sleep(0.5)  # the last lines of Wine's stderr
    with open(program.stderr_path, "rb") as f:
        refused = REFUSED.findall(f.read())
    check(refused, f"{split['stalls']} of {MESSAGES} replies waited for the ACK and the exe never "
                   "asked for the ACK frequency")
    skip(f"this Wine refuses the ACK frequency ({refused[0].decode(errors='replace')}): "
               f"under it the split check took {split['session_ms'] / 1000:.1f} s with "
               f"{split['acks']} delayed ACKs, the one-write check "
               f"{one['session_ms'] / 1000:.2f} s; dialogue and trace checked")
