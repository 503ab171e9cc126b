#!/usr/bin/env python3
"""End-to-end checks of the Linux program's console: keys, status line, menu, settings form,
the settings-file help without a terminal, the launcher and the single-instance guard.

The program runs on a pseudo-terminal (it is the session's controlling terminal, 100 x 30), or
with pipes where a scenario needs no terminal. Scenarios that talk to a POP3 server run in a
network namespace of their own (the script re-runs itself under `unshare -n` and brings the
loopback up) with the project's scriptable server on 127.0.0.1:110.

    run_console.py --program build/linux/kestova --scenario form
    run_console.py --program build/linux/kestova --scenario all

Exit code 77 (skipped) when a scenario needs root, unshare or ip and they are missing.
"""
import argparse
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import fcntl

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
SKIP = 77
USER = "kestova"
PASSWORD = "Pw-console-5k"  # distinctive: must never show on the screen

TAB, ENTER, ESC = "\t", "\r", "\x1b"


def write_settings(path, server="127.0.0.1", user=USER, password=PASSWORD, minutes=30,
                   mailer=""):
    """The settings key as the REGEDIT4 file the Linux store reads."""
    def quoted(text):
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'
    pw = ",".join("%02x" % (b ^ 0xFF) for b in password.encode() + b"\0")
    lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]",
             '"SERVER"=' + quoted(server), '"USER"=' + quoted(user), '"PASS"=hex:' + pw,
             '"TIME"=dword:%08x' % minutes, '"LIST"=dword:00000001', '"LED"=dword:00000001',
             '"MAILLER"=' + quoted(mailer), ""]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines))


def read_settings_value(path, name):
    """The bytes of a hex(1) or quoted value in the settings file, up to its NUL."""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1").replace("\\\r\n", "").replace("\\\n", "")
    m = re.search(r'^"%s"=(.*)$' % name, text, re.M | re.I)
    if not m:
        return None
    value = m.group(1).strip()
    if value.startswith('"'):
        return value[1:-1].encode("latin-1")
    data = bytes(int(b, 16) for b in value.split(":", 1)[1].replace(" ", "").split(",") if b)
    return data.split(b"\0", 1)[0]


class Program:
    """The program on a pseudo-terminal (tty=True) or on pipes, its output collected."""

    def __init__(self, exe, workdir, tty=True):
        self.exe, self.dir, self.tty = exe, workdir, tty
        self.settings = os.path.join(workdir, "settings.reg")
        for sub in ("runtime", "sys", "dev", "home"):
            os.makedirs(os.path.join(workdir, sub), exist_ok=True)
        os.chmod(os.path.join(workdir, "runtime"), 0o700)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.path.join(workdir, "home"),
            "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime"),
            "KESTOVA_SETTINGS_FILE": self.settings,
            "KESTOVA_SYSFS_ROOT": os.path.join(workdir, "sys"),  # no display device
            "KESTOVA_DEV_ROOT": os.path.join(workdir, "dev"),
            "LANG": "C.UTF-8",
            "TERM": "xterm",
        }
        self.out = bytearray()
        self.cond = threading.Condition()
        self.pid = None
        self.proc = None
        self.code = None

    def start(self):
        if self.tty:
            pid, fd = pty.fork()
            if pid == 0:  # the child: the terminal is its controlling one, 100 x 30
                try:
                    fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
                    os.chdir(self.dir)
                    os.execve(self.exe, [self.exe], self.env)
                finally:
                    os._exit(127)
            self.pid, self.master = pid, fd
            threading.Thread(target=self._pump_fd, daemon=True).start()
        else:
            self.proc = subprocess.Popen([self.exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, env=self.env, cwd=self.dir)
            threading.Thread(target=self._pump_pipe, daemon=True).start()
        return self

    def _add(self, data):
        with self.cond:
            self.out.extend(data)
            self.cond.notify_all()

    def _pump_fd(self):
        while True:
            try:
                data = os.read(self.master, 65536)
            except OSError:
                data = b""
            if not data:
                break
            self._add(data)
        self._add(b"")

    def _pump_pipe(self):
        while True:
            data = self.proc.stdout.read1(65536)
            if not data:
                break
            self._add(data)
        self._add(b"")

    def output(self):
        with self.cond:
            return bytes(self.out)

    def running(self):
        if self.code is not None:
            return False
        if self.proc is not None:
            self.code = self.proc.poll()
            return self.code is None
        pid, status = os.waitpid(self.pid, os.WNOHANG)
        if pid == 0:
            return True
        self.code = os.waitstatus_to_exitcode(status)
        return False

    def wait_for(self, text, timeout=20, start=0, count=1):
        """Waits until the output from `start` holds `count` times `text` (str, UTF-8 on the
        terminal); returns the end of the last one."""
        needle = text.encode()
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                at, found = start, 0
                while found < count:
                    i = self.out.find(needle, at)
                    if i < 0:
                        break
                    found, at = found + 1, i + len(needle)
                if found >= count:
                    return at
                left = deadline - time.monotonic()
                if left <= 0 or (not self.running() and self.code is not None and left < timeout - 1):
                    tail = bytes(self.out[-1500:]).decode("utf-8", "replace")
                    raise AssertionError(f"no {text!r} (x{count}) in the output; its end:\n{tail}")
                self.cond.wait(min(left, 0.2))

    def press(self, keys, pause=0.05):
        """Each key in its own write, as typed."""
        for key in keys:
            data = key.encode()
            if self.proc is not None:
                self.proc.stdin.write(data)
                self.proc.stdin.flush()
            else:
                os.write(self.master, data)
            time.sleep(pause)

    def wait_exit(self, timeout=15):
        deadline = time.monotonic() + timeout
        while self.running():
            if time.monotonic() > deadline:
                self.kill()
                raise AssertionError("the program did not end")
            time.sleep(0.05)
        return self.code

    def kill(self):
        if self.running():
            if self.proc is not None:
                self.proc.kill()
                self.proc.wait()
            else:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)


class Pop3Server:
    def __init__(self, workdir, count=3):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "pop3_server.py"), "--listen", "127.0.0.1:110",
             "--user", USER, "--password", PASSWORD, "--count", str(count),
             "--log", os.path.join(workdir, "pop3.log")],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.proc.stdout.readline()
        if not line.startswith(b"LISTENING"):
            raise AssertionError(f"the POP3 server did not start: {line!r}")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


# ---- scenarios ---------------------------------------------------------------------------


def scenario_form(exe, workdir):
    """First start without settings: the form; an OK without password keeps it open with the
    warning and writes nothing; a complete OK writes the file and closes it; q ends with 0."""
    p = Program(exe, workdir).start()
    try:
        at = p.wait_for("KESTOVA の 設定")
        for text in ("POP3サーバーネーム", "アカウント", "パスワード", "メーラー", "チェック間隔",
                     "分おきにチェックする", "送信先リストを表示する", "LED自動点灯", "OK", "ｷｬﾝｾﾙ"):
            p.wait_for(text, start=at)
        p.press([TAB, TAB] + list("127.0.0.1") + [TAB] + list(USER) + [ENTER])
        at = p.wait_for("全ての項目が設定されていません", start=at)
        # Still the form: it is drawn again and takes keys; nothing was saved.
        at = p.wait_for("アカウント", start=at)
        time.sleep(0.3)
        assert not os.path.exists(p.settings), "a refused OK wrote the settings"
        assert p.running(), "the program ended after a refused OK"
        p.press([TAB] + list(PASSWORD))
        p.wait_for("*" * len(PASSWORD), start=at)
        p.press([TAB, TAB] + ["\x15"] + list("12") + [ENTER])  # interval 12
        deadline = time.monotonic() + 10
        while not os.path.exists(p.settings):
            assert time.monotonic() < deadline, "a complete OK wrote no settings file"
            time.sleep(0.05)
        time.sleep(0.2)
        assert read_settings_value(p.settings, "SERVER") == b"127.0.0.1"
        assert read_settings_value(p.settings, "USER") == USER.encode()
        pw = read_settings_value(p.settings, "PASS")
        with open(p.settings, "rb") as f:
            raw = f.read().decode("latin-1").replace("\\\r\n", "").replace("\\\n", "")
        m = re.search(r'^"PASS"=hex:(.*)$', raw, re.M)
        stored = bytes(int(b, 16) ^ 0xFF for b in m.group(1).replace(" ", "").split(","))
        assert stored.split(b"\0", 1)[0] == PASSWORD.encode(), stored
        assert re.search(r'^"TIME"=dword:0000000c\s*$', raw, re.M), "interval not saved as 12"
        del pw
        # The check the OK allowed starts; then q ends the program with 0.
        p.wait_for("[busy/magenta]", start=at)
        p.press(["q"])
        code = p.wait_exit()
        assert code == 0, f"exit code {code}"
        assert PASSWORD.encode() not in p.output(), "the password reached the screen"
    finally:
        p.kill()


def scenario_keys(exe, workdir):
    """Keys against a mailbox of three: c checks again, the menu opens with space and checks
    with 1, opens the form with 3 (Esc closes it), m starts the mail program with its
    arguments and a check follows, q ends with 0. The terminal is given back as it was."""
    server = Pop3Server(workdir, count=3)
    mailer = os.path.join(workdir, "mailer.sh")
    with open(mailer, "w") as f:
        f.write('#!/bin/sh\nprintf "%s|" "$@" > "$(dirname "$0")/launched"\n')
    os.chmod(mailer, 0o755)
    p = Program(exe, workdir)
    write_settings(p.settings, mailer=mailer + " -check")
    p.start()
    try:
        at = p.wait_for("[mail/yellow]", timeout=30)
        p.press(["c"])
        at = p.wait_for("[busy/magenta]", start=at)
        at = p.wait_for("[mail/yellow]", start=at, timeout=30)
        # The menu, in the tray menu's order, then its check command.
        p.press([" "])
        menu = p.wait_for("メニュー", start=at)
        out = p.output()[menu:].decode("utf-8", "replace")
        assert re.search("チェック.*終了.*\\|.*プロパティ", out), out[:400]
        p.press(["1"])
        at = p.wait_for("[busy/magenta]", start=menu)
        at = p.wait_for("[mail/yellow]", start=at, timeout=30)
        # Settings through the menu, closed by Esc.
        p.press([" ", "3"])
        at = p.wait_for("KESTOVA の 設定", start=at)
        p.press([ESC])
        time.sleep(0.3)
        # The double click: the mail program with its arguments, then a check.
        p.press(["m"])
        deadline = time.monotonic() + 10
        launched = os.path.join(workdir, "launched")
        while not os.path.exists(launched):
            assert time.monotonic() < deadline, "the mail program was not started"
            time.sleep(0.05)
        at = p.wait_for("[busy/magenta]", start=at)
        at = p.wait_for("[mail/yellow]", start=at, timeout=30)
        time.sleep(0.1)
        with open(launched) as f:
            assert f.read() == "-check|"
        p.press(["q"])
        code = p.wait_exit()
        assert code == 0, f"exit code {code}"
        out = p.output()
        assert b"\x1b[r" in out[-200:] and b"\x1b[?25h" in out[-200:], "terminal not given back"
    finally:
        p.kill()
        server.stop()


def scenario_second(exe, workdir):
    """A second start ends at once with -1 (255); the first is asked forward, says so, and
    goes on until q."""
    first = Program(exe, workdir)
    write_settings(first.settings)
    first.start()
    try:
        at = first.wait_for("[idle/blue]")
        second = subprocess.run([exe], env=first.env, cwd=workdir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=15)
        assert second.returncode == 255, f"second start exit code {second.returncode}"
        assert second.stdout == b"", second.stdout
        first.wait_for("asked forward by a second start", start=at)
        assert first.running(), "the first instance ended"
        first.press(["q"])
        code = first.wait_exit()
        assert code == 0, f"exit code {code}"
    finally:
        first.kill()


def scenario_notty(exe, workdir):
    """Without a terminal and without settings: the settings-file help instead of the form;
    the program goes on (no check) and q on standard input ends it with 0."""
    p = Program(exe, workdir, tty=False).start()
    try:
        at = p.wait_for("REGEDIT4")
        p.wait_for(p.settings)
        for line in ('[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]', '"SERVER"=', '"USER"=',
                     '"PASS"=hex:', '"TIME"=dword:0000001e', '"LIST"=dword:', '"LED"=dword:',
                     '"MAILLER"='):
            p.wait_for(line)
        p.wait_for("[idle/blue]")  # status lines, one per change
        time.sleep(0.5)
        assert p.running(), "the program ended after the help"
        assert b"FIND HOST" not in p.output(), "a check started without settings"
        p.press(["q"])
        code = p.wait_exit()
        assert code == 0, f"exit code {code}"
        assert b"\x1b[" not in p.output(), "terminal sequences without a terminal"
        del at
    finally:
        p.kill()


SCENARIOS = {
    "form": (scenario_form, False),
    "keys": (scenario_keys, True),
    "second": (scenario_second, False),
    "notty": (scenario_notty, False),
}


def in_namespace():
    return os.environ.get("KC_CONSOLE_NETNS") == "1"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--scenario", required=True, choices=list(SCENARIOS) + ["all"])
    args = parser.parse_args()
    exe = os.path.abspath(args.program)

    # Every scenario runs in a loopback of its own when we can have one: no server of another
    # test answers on port 110, and the keys scenario needs its own server there.
    if not in_namespace():
        can = os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip")
        needs = args.scenario in ("keys", "all")
        if can:
            env = dict(os.environ, KC_CONSOLE_NETNS="1")
            cmd = ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                   sys.executable] + sys.argv
            return subprocess.call(cmd, env=env)
        if needs:
            print("skipped: needs root, unshare and ip for a network namespace")
            return SKIP

    names = list(SCENARIOS) if args.scenario == "all" else [args.scenario]
    failed = 0
    for name in names:
        workdir = tempfile.mkdtemp(prefix=f"kc-console-{name}-")
        try:
            SCENARIOS[name][0](exe, workdir)
            print(f"ok {name}")
        except AssertionError as e:
            failed += 1
            print(f"FAILED {name}: {e}")
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
