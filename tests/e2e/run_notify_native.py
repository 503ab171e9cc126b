#!/usr/bin/env python3
"""End-to-end checks of the notification of new mail (NOTIFY) with the Linux program against
Dovecot and a real notification service: dunst on a virtual X display (Xvfb), both on a
private session bus (a dbus-daemon of the test's own, without service activation), and
dbus-monitor watching every Notify call on that bus. Same conventions as run_pop3_native.py:
one network namespace per scenario, root needed (exit 77 otherwise).

    run_notify_native.py --program build/linux/kestova --scenario dunst

Scenarios: dunst (with NOTIFY 1: no notification for the baseline, one naming both senders
of two arrivals, none twice, none for a failed check, the next one replacing the first, and
its default action starting the mail program), off (NOTIFY absent: nothing on the bus),
no_service (a bus without the service, and no bus at all: one trace line, the program goes on).
"""
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)
sys.path.insert(0, HERE)

import dovecot  # noqa: E402
from processes import kill_left  # noqa: E402
from run_pop3_native import Context, check_programs, print_failure  # noqa: E402
from scenario_runner import run_scenarios  # noqa: E402

CHECK_END = rb"Host QUIT OK\r\nClosing socket\r\n"
NOTIFY_ON = {"NOTIFY": "dword:00000001"}

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={path}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


class Desktop:
    """A private session bus, and on request a virtual display with dunst on it; dbus-monitor
    records every Notify call."""

    def __init__(self, workdir, with_service=True):
        self.dir = os.path.join(workdir, "desktop")
        os.makedirs(self.dir)
        self.procs = []
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(path=os.path.join(self.dir, "bus")))
        bus = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork",
                                "--print-address=1"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        self.procs.append(bus)
        self.address = bus.stdout.readline().decode().strip()
        assert self.address.startswith("unix:"), "dbus-daemon gave no address"
        self.env = {"DBUS_SESSION_BUS_ADDRESS": self.address}
        self.monitor_path = os.path.join(self.dir, "notify-calls.txt")
        monitor = subprocess.Popen(
            ["dbus-monitor", "--address", self.address,
             "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"],
            stdout=open(self.monitor_path, "wb"), stderr=subprocess.DEVNULL)
        self.procs.append(monitor)
        self.signals_path = os.path.join(self.dir, "signals.txt")
        self.procs.append(subprocess.Popen(
            ["dbus-monitor", "--address", self.address,
             "type='signal',interface='org.freedesktop.Notifications'"],
            stdout=open(self.signals_path, "wb"), stderr=subprocess.DEVNULL))
        if with_service:
            self._start_dunst()
        time.sleep(0.5)  # the monitor is listening

    def _start_dunst(self):
        display_file = os.path.join(self.dir, "display")
        with open(display_file, "w") as out:
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24",
                                     "-nolisten", "tcp"], stdout=out, stderr=subprocess.DEVNULL)
        self.procs.append(xvfb)
        deadline = time.monotonic() + 15
        while not open(display_file).read().strip():
            assert time.monotonic() < deadline, "Xvfb gave no display"
            time.sleep(0.1)
        self.env["DISPLAY"] = ":" + open(display_file).read().strip()
        dunstrc = os.path.join(self.dir, "dunstrc")
        open(dunstrc, "w").close()
        env = dict(os.environ, **self.env)
        self.procs.append(subprocess.Popen(["dunst", "-config", dunstrc], env=env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 15
        while subprocess.call(["dbus-send", "--bus=" + self.address, "--print-reply",
                               "--dest=org.freedesktop.Notifications",
                               "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications.GetServerInformation"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) != 0:
            assert time.monotonic() < deadline, "dunst did not take its name on the bus"
            time.sleep(0.2)

    def calls(self):
        """Every Notify call seen: its arguments as dbus-monitor prints them."""
        text = open(self.monitor_path, "rb").read().decode("utf-8", "replace")
        blocks = text.split("method call ")[1:]
        out = []
        for b in blocks:
            strings = re.findall(r'^\s+string "(.*?)"$', b, re.M | re.S)
            replaces = re.search(r"^\s+uint32 (\d+)$", b, re.M)
            body = re.search(r'^\s+string "((?:[^"]|\n)*?)"\n\s+array \[', b, re.M)
            out.append({"app": strings[0], "replaces": int(replaces.group(1)),
                        "summary": strings[2], "body": body.group(1) if body else "",
                        "text": b})
        return out

    def wait_calls(self, count, timeout=10):
        deadline = time.monotonic() + timeout
        while len(self.calls()) < count:
            assert time.monotonic() < deadline, f"{len(self.calls())} Notify calls, awaited {count}"
            time.sleep(0.1)
        return self.calls()

    def dunstctl(self, *args):
        subprocess.run(["dunstctl", *args], env=dict(os.environ, **self.env), check=True,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        kill_left(self.procs)


def desktop(ctx, **kw):
    d = Desktop(ctx.dir, **kw)
    ctx.cleanups.append(d.stop)
    return d


def one_check(p, start, timeout=30):
    return p.wait_for(CHECK_END, timeout, start)


def sender(n):
    return f"Sender {n} <sender{n}@example.com>"


def scenario_dunst(ctx):
    server = ctx.dovecot(0)
    server.set_messages([dovecot.message(sender(1))])
    d = desktop(ctx)
    started = os.path.join(ctx.dir, "mailer-started")
    mailer = os.path.join(ctx.dir, "mailer.sh")
    with open(mailer, "w") as f:
        f.write(f"#!/bin/sh\ntouch '{started}'\n")
    os.chmod(mailer, 0o755)
    p = ctx.program(raw_values=NOTIFY_ON, mailer=mailer, env=d.env)
    end = one_check(p, 0)
    time.sleep(1)
    assert d.calls() == [], "a notification for the baseline check"

    server.add_messages([dovecot.message(sender(2)), dovecot.message(sender(3))])
    end = one_check(p, p.check_again(end, 15))
    calls = d.wait_calls(1)
    first = calls[0]
    assert first["summary"] == "新着メール 3 通", first["text"]
    assert first["body"] == ("sender1@example.com\nsender2@example.com\nsender3@example.com"), \
        first["text"]
    assert first["replaces"] == 0
    assert '"default"' in first["text"], "no default action"
    print(f"notification: {first['summary']} / {first['body']!r}")

    end = one_check(p, p.check_again(end, 15))
    time.sleep(1)
    assert len(d.calls()) == 1, "a second notification for the same messages"

    # A failed check (the password changed on the server) tells nothing, though mail arrived.
    server.add_messages([dovecot.message(sender(4))])
    server.set_password("Changed-9z")
    end = one_check_failed(p, p.check_again(end, 15))
    time.sleep(1)
    assert len(d.calls()) == 1, "a notification for a failed check"
    assert b"retrying in" not in p.trace(), "a refused login was retried early"
    server.set_password(p_password())
    end = one_check(p, p.check_again(end, 15))
    calls = d.wait_calls(2)
    assert calls[1]["summary"] == "新着メール 4 通", calls[1]["text"]
    assert calls[1]["replaces"] != 0, "the second notification did not replace the first"

    # The default action (a click on the notification) starts the mail program.
    d.dunstctl("action", "0")
    deadline = time.monotonic() + 10
    while not os.path.exists(started):
        assert time.monotonic() < deadline, "the default action did not start the mail program"
        time.sleep(0.1)
    print("default action: the mail program was started")
    ctx.finish(p)


def p_password():
    from native_program import PASSWORD
    return PASSWORD


def one_check_failed(p, start, timeout=30):
    return p.wait_for(rb"Negative response: [^\r]*\r\n", timeout, start)


def scenario_off(ctx):
    server = ctx.dovecot(1)
    d = desktop(ctx)
    p = ctx.program(env=d.env)
    end = one_check(p, 0)
    server.add_messages([dovecot.message(sender(2)), dovecot.message(sender(3))])
    end = one_check(p, p.check_again(end, 15))
    time.sleep(1.5)
    assert d.calls() == [], "a notification without NOTIFY"
    ctx.finish(p)


def scenario_no_service(ctx):
    server = ctx.dovecot(1)
    d = desktop(ctx, with_service=False)
    p = ctx.program(raw_values=NOTIFY_ON, env=d.env)
    end = one_check(p, 0)
    server.add_messages([dovecot.message(sender(2))])
    end = one_check(p, p.check_again(end, 15))
    at = p.wait_for(rb"Notification not shown: the notification service answered "
                    rb"org\.freedesktop\.DBus\.Error\.ServiceUnknown\r\n", 10, end)
    end = one_check(p, p.check_again(at, 15))  # and the program goes on
    assert p.trace().count(b"Notification not shown") == 1

    # No bus at all.
    q = ctx.program(raw_values=NOTIFY_ON,
                    env={"DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(ctx.dir, "none")})
    end = one_check(q, 0)
    server.add_messages([dovecot.message(sender(3))])
    end = one_check(q, q.check_again(end, 15))
    q.wait_for(rb"Notification not shown: no session bus \([^)]*\)\r\n", 10, end)
    end = one_check(q, q.check_again(end, 15))
    assert q.trace().count(b"Notification not shown") == 1
    ctx.finish(p)
    ctx.finish(q)


SCENARIOS = {"dunst": scenario_dunst, "off": scenario_off, "no_service": scenario_no_service}

if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS,
                           lambda args, workdir: Context(os.path.abspath(args.program), workdir),
                           "kc-notify",
                           tools=lambda names: ["dovecot", "dbus-daemon", "dbus-monitor",
                                                "dbus-send"]
                           + (["Xvfb", "dunst", "dunstctl"] if "dunst" in names else []),
                           check=check_programs, report=print_failure))
