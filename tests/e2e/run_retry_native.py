#!/usr/bin/env python3
"""End-to-end checks of the early retries after start-up with the Linux program against
Dovecot. Same conventions as run_pop3_native.py: one network namespace per scenario, root
needed (exit 77 otherwise).

    run_retry_native.py --program build/linux/kestova --scenario late_network

late_network: the program starts while the namespace has no route to its loopback addresses
(no network yet: the connection fails at once as unreachable), the routes come back 40 s later
(Dovecot listened all along), and the early retries
(30 s, then 60 s later) log in within a minute of it instead of after the 30-minute interval.
wrong_password: a login the server refused is not tried again early.
wake: logind's PrepareForSleep(false) on the system bus (a private bus standing in for it)
brings a check about 10 s later.
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)
sys.path.insert(0, HERE)

from run_pop3_native import Context, check_programs, print_failure  # noqa: E402
from scenario_runner import run_scenarios  # noqa: E402

CHECK_END = rb"Host QUIT OK\r\nClosing socket\r\n"
NETWORK_UP_AFTER_S = 40


LOCAL_ROUTES = (["local", "127.0.0.0/8", "dev", "lo", "table", "local"],
                ["local", "127.0.0.1", "dev", "lo", "table", "local"])


def network(up):
    """The loopback's routes taken away or given back: connections fail as unreachable while
    they are gone, as on a machine whose network is not up yet."""
    for route in LOCAL_ROUTES:
        subprocess.run(["ip", "route", "add" if up else "del", *route], check=True)


def scenario_late_network(ctx):
    ctx.dovecot(2)  # listening before the network goes
    network(False)
    started = time.monotonic()
    p = ctx.program(server="127.0.0.1")
    p.wait_for(rb"Error connecting\r\nClosing socket\r\nretrying in 30 s\r\n", 15)
    time.sleep(max(0.0, NETWORK_UP_AFTER_S - (time.monotonic() - started)))
    network(True)
    up = time.monotonic()
    p.wait_for(CHECK_END, 75)
    took = time.monotonic() - up
    print(f"network up {NETWORK_UP_AFTER_S} s after start; logged in {took:.1f} s later")
    assert took < 60, f"logged in {took:.1f} s after the network came up"
    trace = p.trace()
    assert b"retrying in 60 s\r\n" in trace, "the second retry did not wait 60 s"
    assert trace.count(b"----- FIND HOST -----") == 3, "start-up check and two retries"
    deadline = time.monotonic() + 10
    while True:  # the console's line comes right after the trace's
        with p.cond:
            out = bytes(p.out).decode("utf-8", "replace")
        if "2 messages" in out or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    for line in ("could not connect (WSAENETUNREACH 10051)", "retrying in 30 s",
                 "retrying in 60 s", "2 messages"):
        assert line in out, f"the console lacks {line!r}:\n{out[-800:]}"
    ctx.finish(p)


def scenario_wrong_password(ctx):
    ctx.dovecot(1, password="Another-8k")
    p = ctx.program(server="127.0.0.1")
    p.wait_for(rb"Negative response: [^\r]*\r\n", 15)
    time.sleep(35)  # past the first early retry
    trace = p.trace()
    assert b"retrying" not in trace, "a refused login was tried again early"
    assert trace.count(b"----- FIND HOST -----") == 1
    ctx.finish(p)


def scenario_wake(ctx):
    from run_notify_native import desktop
    ctx.dovecot(1)
    system_bus = desktop(ctx, with_service=False)
    p = ctx.program(server="127.0.0.1", env={"DBUS_SYSTEM_BUS_ADDRESS": system_bus.address})
    end = p.wait_for(CHECK_END, 15)
    time.sleep(1)  # the program's match on the bus is in place
    subprocess.run(["dbus-send", "--bus=" + system_bus.address, "--type=signal",
                    "/org/freedesktop/login1", "org.freedesktop.login1.Manager.PrepareForSleep",
                    "boolean:true"], check=True)
    time.sleep(1)
    assert b"Resumed from sleep" not in p.trace(), "going to sleep is not a wake"
    woke = time.monotonic()
    subprocess.run(["dbus-send", "--bus=" + system_bus.address, "--type=signal",
                    "/org/freedesktop/login1", "org.freedesktop.login1.Manager.PrepareForSleep",
                    "boolean:false"], check=True)
    at = p.wait_for(rb"Resumed from sleep: checking in 10 s\r\n", 5, end)
    p.wait_for(CHECK_END, 20, at)
    took = time.monotonic() - woke
    print(f"check {took:.1f} s after the wake")
    assert 9 <= took <= 13, f"the check came {took:.1f} s after the wake"
    assert p.trace().count(b"----- FIND HOST -----") == 2
    ctx.finish(p)


SCENARIOS = {"late_network": scenario_late_network, "wrong_password": scenario_wrong_password,
             "wake": scenario_wake}

if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS,
                           lambda args, workdir: Context(os.path.abspath(args.program), workdir),
                           "kc-retry",
                           tools=lambda names: ["dovecot"] + (["dbus-daemon", "dbus-send"]
                                                              if "wake" in names else []),
                           check=check_programs, report=print_failure))
