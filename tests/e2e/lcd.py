#!/usr/bin/env python3
"""End-to-end checks of the display: the unchanged Linux program drives a simulated hidraw
display, and lcd_screen shows what its screen holds.

lcd_screen --make-tree builds a sysfs tree with one HID device (vendor 0x5E1C, product 0x2A07,
64-byte reports) whose node is a FIFO; the program is pointed at it with KESTOVA_SYSFS_ROOT and
KESTOVA_DEV_ROOT, and lcd_screen --oneline reads the FIFO and prints "[row 1][row 2]" after
every completed update. Each scenario runs in a network namespace of its own (the script
re-runs itself under `unshare -n` and brings the loopback up), so servers listen on
127.0.0.1:110, the "pop3" service port.

    lcd.py --program build/linux/kestova --screen build/linux/tests/lcd_screen --scenario down

Exit code 77 (skipped) when not root; 1 when unshare, ip or (for its scenarios) dovecot are
missing (scripts/install-deps.sh installs them).
"""
import os
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

from native_program import dovecot_server, program_env, write_settings  # noqa: E402
from processes import end_on_sigterm, kill_left  # noqa: E402
import real_mail  # noqa: E402
from scenario_runner import ScenarioContext, run_scenarios  # noqa: E402

PASSWORD = "Lcd-e2e-5t8"
PAGE_S = 5.0

BLANK = " " * 16


def screen(row1, row2=""):
    """What lcd_screen prints for two rows (each padded to 16 cells; one character a cell)."""
    return "[" + row1.ljust(16) + "][" + row2.ljust(16) + "]"


CHECKING = screen("E-Mail ｦ ﾁｪｯｸｼﾃｲ", "ﾏｽ")
SERVER_ERROR = screen("POP3ｻｰﾊﾞｰｴﾗｰ")
NO_MAIL = screen("E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏ", "ｾﾝ")


class Lines:
    """The lines of a stream, each with the time it arrived."""

    def __init__(self, stream):
        self.items = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self.thread.start()

    def _pump(self, stream):
        for raw in stream:
            with self.cond:
                self.items.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
                self.cond.notify_all()
        with self.cond:
            self.items.append((time.monotonic(), None))  # the end
            self.cond.notify_all()

    def wait_match(self, match, timeout, start=0, what="a screen"):
        """Index, text and arrival time of the first line at or after index start for which
        match(text) holds."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.items)):
                    when, text = self.items[i]
                    if text is not None and match(text):
                        return i, text, when
                left = deadline - time.monotonic()
                if left <= 0 or (self.items and self.items[-1][1] is None):
                    shown = "\n".join(t for _, t in self.items if t is not None)
                    raise AssertionError(f"the screen never showed {what}; it showed:\n{shown}")
                self.cond.wait(min(left, 0.2))

    def wait_for(self, text, timeout, start=0):
        """Index and arrival time of the first line equal to text at or after index start."""
        i, _, when = self.wait_match(lambda t: t == text, timeout, start, repr(text))
        return i, when

    def texts(self):
        with self.cond:
            return [t for _, t in self.items if t is not None]


class Rig:
    """The simulated display, lcd_screen reading it, and the program writing to it."""

    def __init__(self, exe, screen_exe, workdir, server="127.0.0.1", plugged=True):
        self.dir = workdir
        self.screen_exe = screen_exe
        self.tree = tree = os.path.join(workdir, "lcd")
        self.spares = 0
        subprocess.run([screen_exe, "--make-tree", tree], check=True, stdout=subprocess.DEVNULL)
        self.viewer = None
        self.screens = None
        self.viewers = []
        if plugged:
            self._view()
        else:
            self.unplug()
        settings = os.path.join(workdir, "config", "kestova", "settings.reg")
        write_settings(settings, server, password=PASSWORD)
        for sub in ("runtime", "home"):
            os.makedirs(os.path.join(workdir, sub), mode=0o700, exist_ok=True)
        env = program_env(workdir, settings, os.path.join(tree, "sys"), os.path.join(tree, "dev"))
        self.trace_path = os.path.join(workdir, "trace.txt")
        self.trace_file = open(self.trace_path, "wb")
        self.program = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=self.trace_file, env=env, cwd=workdir)

    def trace(self):
        with open(self.trace_path, "rb") as f:
            return f.read()

    def _view(self):
        """lcd_screen reading what the program writes to the node from now on."""
        self.viewer = subprocess.Popen([self.screen_exe, "--tree", self.tree, "--oneline",
                                        "--stats"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.viewers.append(self.viewer)
        self.screens = Lines(self.viewer.stdout)

    def unplug(self):
        """The display pulled out: its sysfs entry and its node go, and nobody reads it."""
        if self.viewer is not None:
            self.viewer.kill()
            self.viewer.wait()
        shutil.rmtree(os.path.join(self.tree, "sys", "class", "hidraw", "hidraw0"))
        os.remove(os.path.join(self.tree, "dev", "hidraw0"))

    def plug(self):
        """The display plugged in: its sysfs entry first, then its node, as the kernel and udev
        make them; returns when the node appeared."""
        self.spares += 1
        spare = os.path.join(self.dir, f"spare{self.spares}")
        subprocess.run([self.screen_exe, "--make-tree", spare], check=True,
                       stdout=subprocess.DEVNULL)
        os.rename(os.path.join(spare, "sys", "class", "hidraw", "hidraw0"),
                  os.path.join(self.tree, "sys", "class", "hidraw", "hidraw0"))
        at = time.monotonic()
        os.rename(os.path.join(spare, "dev", "hidraw0"), os.path.join(self.tree, "dev", "hidraw0"))
        self._view()
        return at

    def stop(self):
        """Ends the program as SIGTERM does; returns its exit code and the reports lcd_screen
        counted (the FIFO ends when the program has closed the device)."""
        code = end_on_sigterm(self.program)
        try:
            _, err = self.viewer.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.viewer.kill()
            self.viewer.wait()
            raise AssertionError("lcd_screen did not see the end of the stream")
        reports = None
        for line in err.decode(errors="replace").splitlines():
            if line.startswith("reports: "):
                reports = int(line.split()[1])
        return code, reports

    def close(self):
        kill_left([self.program] + self.viewers)
        self.trace_file.close()


# Reports of the program's start and of the two texts of a check that found no mail: the
# controller's start-up is 7 instructions (21 reports); the notice of a check changes 14 cells
# of the blank row 1 (its two blanks are skipped), 2 of row 2 and blanks the 14 after them
# (62 bytes, 186 reports); the no-mail text differs from it in 8 cells of row 1 and 2 of row 2
# and blanks the 14 after them again (50 bytes, 150 reports).
REPORTS_EMPTY_CHECK = 21 + 186 + 150


def scenario_down(ctx):
    """No server listens: the refused connection ends the check with the server-error text."""
    rig = ctx.rig()
    i, _ = rig.screens.wait_for(CHECKING, 20)
    rig.screens.wait_for(SERVER_ERROR, 20, i + 1)
    trace = rig.trace()
    assert b"DevicePath : " + os.path.join(ctx.dir, "lcd", "dev", "hidraw0").encode() + b" \n" in trace
    assert b" Structure size: 0c  Vendor ID: 5e1c  Product ID: 2a07  Version Number: 0000 \n" in trace
    ctx.finish(rig)


def scenario_empty(ctx):
    """An empty mailbox: the notice of a running check, then the no-mail text, with the
    report counts of the link."""
    ctx.dovecot(0)
    rig = ctx.rig()
    i, _ = rig.screens.wait_for(CHECKING, 20)
    rig.screens.wait_for(NO_MAIL, 20, i + 1)
    reports = ctx.finish(rig)
    assert reports == REPORTS_EMPTY_CHECK, f"{reports} reports, expected {REPORTS_EMPTY_CHECK}"
    print(f"reports: {reports} (start-up 21, notice 186, no-mail text 150)")


def scenario_three(ctx):
    """Three messages with the list of senders: the report has more than two row breaks, so it
    pages one row down every 5 seconds."""
    ctx.dovecot(3)
    rig = ctx.rig()
    i, _ = rig.screens.wait_for(CHECKING, 20)
    # The first page comes with the next tick of the page timer, up to 5 s after the check.
    j, first, t1 = rig.screens.wait_match(
        lambda t: t.startswith("[E-Mail ｶﾞ 3ｹﾝ ﾄﾄ][ﾞｲﾃｲﾏｽ("), 20, i + 1, "the report")
    # The next page: the second row moves up.
    row2 = first[19:35]
    _, second, t2 = rig.screens.wait_match(lambda t: True, PAGE_S * 3, j + 1, "a second page")
    assert second.startswith("[" + row2 + "]["), (first, second)
    waited = t2 - t1
    assert PAGE_S * 0.6 <= waited <= PAGE_S * 2, f"the next page came after {waited:.1f} s"
    print(f"first page {first}\nnext page  {second} after {waited:.1f} s")
    ctx.finish(rig)


def scenario_real_mail(ctx):
    """Realistic mail: 6 KB and 40 KB of provider headers before From:, FROM:, From:<a@b>,
    CR CR LF lines and a NUL byte. The check reads every reply to its end, sends QUIT, and the
    report's pages show the count and every sender."""
    server = ctx.dovecot(0)
    server.set_messages([m.data.replace(b"\r\n", b"\r\r\n") if m.stored_crlf else m.data
                         for m in real_mail.MESSAGES])
    rig = ctx.rig()
    count = len(real_mail.MESSAGES)
    i, _ = rig.screens.wait_for(CHECKING, 20)
    j, _, _ = rig.screens.wait_match(
        lambda t: t.startswith(f"[E-Mail ｶﾞ {count}ｹﾝ ﾄﾄ][ﾞｲﾃｲﾏｽ("), 20, i + 1, "the report")
    trace = rig.trace()
    froms = [b"----- FROM -----\r\n" + m.from_text + b"\r\n----- FROM -----\r\n"
             for m in real_mail.MESSAGES]
    pos = trace.find(b"----- RESULT -----\r\n%d messages " % count)
    assert pos >= 0, "no STAT result of %d" % count
    for f in froms:
        at = trace.find(f, pos)
        assert at >= 0, f"the trace lacks {f!r} in order"
        pos = at + len(f)
    assert trace.find(b"Sending QUIT\r\n", pos) >= 0 and b"Host QUIT OK\r\n" in trace[pos:]
    # The two long header blocks, and only they, were read on past the buffer.
    assert trace.count(b"is longer than 4096 bytes, reading on to its end\r\n") == 2, trace[-3000:]
    assert b"Reply to TOP 2 is longer" in trace and b"Reply to TOP 3 is longer" in trace
    assert b"Buffer overrun" not in trace
    # Every sender line comes by as the report pages down, one row every 5 s.
    wanted = {f"{n} : {m.sender}".ljust(16) for n, m in enumerate(real_mail.MESSAGES, 1)}
    deadline = time.monotonic() + PAGE_S * (count + 6)
    seen = set()
    while not wanted <= seen and time.monotonic() < deadline:
        for text in rig.screens.texts()[j:]:
            seen.update({text[1:17], text[19:35]})
        time.sleep(0.5)
    assert wanted <= seen, f"never shown: {sorted(wanted - seen)}"
    print("senders shown: " + ", ".join(m.sender for m in real_mail.MESSAGES))
    ctx.finish(rig)


def wait_trace(rig, text, timeout):
    deadline = time.monotonic() + timeout
    while text not in rig.trace():
        if time.monotonic() > deadline:
            raise AssertionError(f"the trace lacks {text!r}:\n{rig.trace()[-2000:]!r}")
        time.sleep(0.05)


def scenario_replug(ctx):
    """The display pulled out and plugged in again: the program closes it without a box when
    it goes, and shows the current text again within a second when it comes back, without a
    restart."""
    ctx.dovecot(0)
    rig = ctx.rig()
    i, _ = rig.screens.wait_for(CHECKING, 20)
    rig.screens.wait_for(NO_MAIL, 20, i + 1)
    rig.unplug()
    wait_trace(rig, b"LCD device removed; display closed until it is plugged in again\r\n", 5)
    assert rig.program.poll() is None, "the program ended"
    for round_ in (1, 2):
        plugged = rig.plug()
        _, shown = rig.screens.wait_for(NO_MAIL, 5)
        took = shown - plugged
        print(f"plugged in again ({round_}): the current text shown after {took:.3f} s")
        assert took < 1.0, f"the display showed the text {took:.3f} s after it was plugged in"
        if round_ == 1:
            rig.unplug()
            wait_trace(rig, b"LCD device removed", 5)
    assert rig.trace().count(b"LCD device found again; showing the current text\r\n") == 2
    ctx.finish(rig)


def scenario_late(ctx):
    """No display at start-up; one plugged in later is taken up and shows the current text at
    once."""
    ctx.dovecot(0)
    rig = ctx.rig(plugged=False)
    wait_trace(rig, b"Host QUIT OK\r\n", 20)
    assert b"DevicePath" not in rig.trace()
    plugged = rig.plug()
    _, shown = rig.screens.wait_for(NO_MAIL, 5)
    print(f"plugged in after start-up: the current text shown after {shown - plugged:.3f} s")
    assert shown - plugged < 1.0
    # The page timer runs from now on, and the next check shows on it.
    rig.program.stdin.write(b"c")
    rig.program.stdin.flush()
    i, _ = rig.screens.wait_for(CHECKING, 10)
    rig.screens.wait_for(NO_MAIL, 20, i + 1)
    ctx.finish(rig)


SCENARIOS = {"down": scenario_down, "empty": scenario_empty, "three": scenario_three,
             "real_mail": scenario_real_mail, "replug": scenario_replug, "late": scenario_late}
NEEDS_DOVECOT = {"empty", "three", "real_mail", "replug", "late"}


class Context(ScenarioContext):
    def __init__(self, exe, screen_exe, workdir):
        super().__init__(workdir)
        self.exe = exe
        self.screen_exe = screen_exe
        self.rigs = []

    def rig(self, plugged=True):
        r = Rig(self.exe, self.screen_exe, self.dir, plugged=plugged)
        self.rigs.append(r)
        self.cleanups.append(r.close)
        return r

    def dovecot(self, count):
        server = dovecot_server(self.dir, count, password=PASSWORD)
        self.cleanups.append(server.stop)
        return server

    def finish(self, rig):
        code, reports = rig.stop()
        if code != 0:
            raise AssertionError(f"exit code {code} after SIGTERM, expected 0")
        return reports


def print_failure(ctx):
    """The screens shown and the end of each program's trace, for a failed run."""
    for r in ctx.rigs:
        print("--- screens ---")
        print("\n".join(r.screens.texts() if r.screens else []))
        print("--- trace (last 4000 bytes) ---")
        print(r.trace()[-4000:].decode("cp932", "backslashreplace"))


def make_context(args, workdir):
    return Context(os.path.abspath(args.program), os.path.abspath(args.screen), workdir)


def screen_option(parser):
    parser.add_argument("--screen", required=True, help="the lcd_screen program")


if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS, make_context, "kc-lcd",
                           tools=lambda names: ["dovecot"] if NEEDS_DOVECOT & set(names) else [],
                           report=print_failure, extra_options=screen_option))
