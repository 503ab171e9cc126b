#!/usr/bin/env python3
"""End-to-end checks of the Linux program's console: keys, status line, menu, settings form,
the settings-file help without a terminal, the launcher and the single-instance guard.

The program runs on a pseudo-terminal (it is the session's controlling terminal, 100 x 30), or
with pipes where a scenario needs no terminal. Scenarios that talk to a POP3 server run in a
network namespace of their own (the script re-runs itself under `unshare -n` and brings the
loopback up) with the project's scriptable server on 127.0.0.1:110.

    run_console.py --program build/linux/kestova --scenario form
    run_console.py --program build/linux/kestova --scenario all

Exit code 77 (skipped) when a scenario needs root and the test does not run as root; 1 when
unshare or ip is missing (scripts/install-deps.sh installs them).
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
import termios
import threading
import time
import fcntl

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)

from processes import SilentListener, end_on_sigterm, finish_work_dir, make_work_dir  # noqa: E402

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

    def __init__(self, exe, workdir, tty=True, wrapper=(), settings=None):
        self.exe, self.dir, self.tty = exe, workdir, tty
        self.argv = list(wrapper) + [exe]
        self.settings = settings or os.path.join(workdir, "settings.reg")
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
                    os.execvpe(self.argv[0], self.argv, self.env)
                finally:
                    os._exit(127)
            self.pid, self.master = pid, fd
            threading.Thread(target=self._pump_fd, daemon=True).start()
        else:
            self.proc = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
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
    def __init__(self, workdir, count=3, listen="127.0.0.1:110"):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "pop3_server.py"), "--listen", listen,
             "--user", USER, "--password", PASSWORD, "--count", str(count),
             "--log", os.path.join(workdir, "pop3.log")],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.proc.stdout.readline()
        if not line.startswith(b"LISTENING"):
            raise AssertionError(f"the POP3 server did not start: {line!r}")

    def stop(self):
        end_on_sigterm(self.proc, 10, "the POP3 server")


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
        p.wait_for("[checking]", start=at)
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
        at = p.wait_for("[mail]", timeout=30)
        p.press(["c"])
        at = p.wait_for("[checking]", start=at)
        at = p.wait_for("[mail]", start=at, timeout=30)
        # The menu, in the tray menu's order, then its check command.
        p.press([" "])
        menu = p.wait_for("メニュー", start=at)
        out = p.output()[menu:].decode("utf-8", "replace")
        assert re.search("チェック.*終了.*\\|.*プロパティ", out), out[:400]
        p.press(["1"])
        at = p.wait_for("[checking]", start=menu)
        at = p.wait_for("[mail]", start=at, timeout=30)
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
        at = p.wait_for("[checking]", start=at)
        at = p.wait_for("[mail]", start=at, timeout=30)
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
    """A second start ends at once with -1 (255) and says that it asked the running program
    forward; the first is asked forward, says so, and goes on until q."""
    first = Program(exe, workdir)
    write_settings(first.settings)
    first.start()
    try:
        at = first.wait_for("[")
        second = subprocess.run([exe], env=first.env, cwd=workdir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=15)
        assert second.returncode == 255, f"second start exit code {second.returncode}"
        assert second.stdout == b"", second.stdout
        assert b"already running; asked the running program to come forward" in second.stderr, \
            second.stderr
        first.wait_for("asked forward by a second start", start=at)
        assert first.running(), "the first instance ended"
        first.press(["q"])
        code = first.wait_exit()
        assert code == 0, f"exit code {code}"
    finally:
        first.kill()


def scenario_notty(exe, workdir):
    """Without a terminal and without settings: the settings-file help instead of the form,
    then the program ends with exit code 1 instead of waiting for ever."""
    p = Program(exe, workdir, tty=False).start()
    try:
        p.wait_for("REGEDIT4")
        p.wait_for(p.settings)
        for line in ('[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]', '"SERVER"=', '"USER"=',
                     '"PASS"=hex:', '"TIME"=dword:0000001e', '"LIST"=dword:', '"LED"=dword:',
                     '"MAILLER"='):
            p.wait_for(line)
        p.wait_for("no settings and no terminal for the settings form")
        code = p.wait_exit()
        assert code == 1, f"exit code {code}"
        assert b"FIND HOST" not in p.output(), "a check started without settings"
        assert b"\x1b[" not in p.output(), "terminal sequences without a terminal"
    finally:
        p.kill()


def scenario_options(exe, workdir):
    """--help and --version print and end with 0; an unknown option or an argument gives the
    usage on stderr and exit code 2; none of them starts the program."""
    env = Program(exe, workdir).env
    settings = env["KESTOVA_SETTINGS_FILE"]

    def run(*args):
        return subprocess.run([exe, *args], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=10)

    for option in ("--help", "-h"):
        r = run(option)
        out = r.stdout.decode()
        assert r.returncode == 0 and r.stderr == b"", (option, r.returncode, r.stderr)
        for text in ("Usage: kestova", settings, "Keys: c check now", "q quit", "[no mail]",
                     "[check failed]", "2>trace.log"):
            assert text in out, (option, text, out)
    r = run("--version")
    assert r.returncode == 0 and re.match(rb"kestova \(KESTOVA Checker for Linux\) \d", r.stdout), r
    for args in (["--bogus"], ["pop.example.com"], ["--help", "extra"]):
        r = run(*args)
        assert r.returncode == 2, (args, r.returncode)
        assert r.stdout == b"", (args, r.stdout)
        err = r.stderr.decode()
        assert "unknown option or argument: " + args[-1] in err and "Usage: kestova" in err, err
    assert not os.listdir(env["XDG_RUNTIME_DIR"]), "an option started the program"


def scenario_outcomes(exe, workdir):
    """Each way a check ends gives its line in words on the console, and the status line
    shows [check failed] rather than a picture of a check under way; WinSock numbers in the
    trace carry their names. All cells run at once, each with a loopback address of its own
    (the silent server takes the program's 60-second limit)."""
    sys.path.insert(0, HERE)
    from run_fault_matrix import DnsServer  # noqa: E402 - the matrix's own DNS server

    servers, programs = [], []
    try:
        dns = DnsServer("127.0.0.2", "nxdomain", "127.0.0.2")
        servers.append(dns.stop)
        resolv = os.path.join(workdir, "resolv.conf")
        with open(resolv, "w") as f:
            f.write("nameserver 127.0.0.2\n")
        in_use = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "pop3_server.py"), "--listen", "127.0.0.4:110",
             "--user", USER, "--password", PASSWORD, "--fault", "pass=err",
             "--err-text", "[IN-USE] Mailbox in use"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        servers.append(lambda: (in_use.terminate(), in_use.wait(10)))
        assert in_use.stdout.readline().startswith(b"LISTENING")
        silent = SilentListener("127.0.0.5")
        servers.append(silent.stop)
        good = Pop3Server(workdir, count=3, listen="127.0.0.6:110")
        servers.append(good.stop)

        cells = [
            ("nosuch.invalid", "host not found: nosuch.invalid", True,
             "error: 11001 (WSAHOST_NOT_FOUND)"),
            ("127.0.0.3", "connection refused", True,
             "Could not connect to the server: 10061 (WSAECONNREFUSED)"),
            ("127.0.0.4", "login refused: -ERR [IN-USE] Mailbox in use", True, "Wrong Password"),
            ("127.0.0.5", "server timed out", True, "Server timed out"),
            ("127.0.0.6", "3 messages", False, "Host QUIT OK"),
        ]
        for server, _, _, _ in cells:
            cell = os.path.join(workdir, server)
            os.makedirs(cell)
            # The program alone sees this resolver configuration.
            wrapper = ["unshare", "-m", "--propagation", "private", "--", "sh", "-c",
                       'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv]
            p = Program(exe, cell, tty=False, wrapper=wrapper)
            write_settings(p.settings, server=server)
            programs.append(p.start())
        for p, (server, line, failed, traced) in zip(programs, cells):
            at = p.wait_for(": " + line + "\n", timeout=90)
            p.wait_for(traced)
            # A failure leaves the busy picture, but the console does not call it checking.
            p.wait_for("[check failed] OMBRIX" if failed else "[mail] OMBRIX")
        for p in programs:
            p.press(["q"])
            assert p.wait_exit() == 0
    finally:
        for p in programs:
            p.kill()
        for stop in servers:
            try:
                stop()
            except Exception:  # noqa: BLE001 - the others still stop
                pass


def damaged_settings(workdir):
    """Settings files that cannot be used, each with the line the program must print."""
    good = os.path.join(workdir, "good.reg")
    write_settings(good)
    with open(good, "rb") as f:
        text = f.read()
    cut = text[:text.index(b'"PASS"') + 20]  # cut inside the PASS line, line 6
    return [
        ("truncated", cut, "settings file damaged at line 6: "),
        ("binary", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", "settings file damaged at line 1: "),
        ("zero-filled", text[:120] + bytes(300),
         "settings file damaged at line %d: " % (text[:120].count(b"\n") + 1)),
        ("huge", b"REGEDIT4\r\n" + b";" * (2 << 20) + b"\r\n", "larger than 1 MiB"),
    ]


def scenario_settingsfile(exe, workdir):
    """A missing, unreadable and damaged settings file each give their own message, and the
    file is left exactly as it was (without a terminal the program then ends with 1)."""
    for name, data, line in [("missing", None, "no settings file yet: "),
                             ("directory", "dir", "settings file cannot be read: ")] + \
            damaged_settings(workdir):
        cell = os.path.join(workdir, name)
        os.makedirs(cell)
        p = Program(exe, cell, tty=False)
        if data == "dir":
            os.makedirs(p.settings)
        elif data is not None:
            with open(p.settings, "wb") as f:
                f.write(data)
        before = os.stat(p.settings) if data is not None else None
        p.start()
        try:
            p.wait_for(line)
            if data != "huge":
                p.wait_for(p.settings)
            if data == "dir":
                p.wait_for(": Is a directory")
            code = p.wait_exit()
            assert code == 1, (name, code)
        finally:
            p.kill()
        if data is None:
            assert not os.path.exists(p.settings), name
        elif data == "dir":
            assert os.path.isdir(p.settings) and not os.listdir(p.settings), name
        else:
            after = os.stat(p.settings)
            with open(p.settings, "rb") as f:
                assert f.read() == data, name
            assert (after.st_mtime_ns, after.st_ino) == (before.st_mtime_ns, before.st_ino), name


def fill_form(p, at):
    """From the form's opening focus (OK): server, account, password, OK."""
    p.press([TAB, TAB] + list("127.0.0.1") + [TAB] + list(USER) + [TAB] + list(PASSWORD) +
            [ENTER])


def scenario_savefailure(exe, workdir):
    """With a terminal the form opens over an unusable settings file. A directory in its place
    cannot be replaced: the save is refused with the reason and the program goes on with what
    was entered. A damaged file is kept aside (settings.reg.damaged) when the save replaces it."""
    cell = os.path.join(workdir, "directory")
    os.makedirs(cell)
    p = Program(exe, cell)
    os.makedirs(p.settings)
    p.start()
    try:
        at = p.wait_for("KESTOVA の 設定")
        fill_form(p, at)
        at = p.wait_for("settings not saved: " + p.settings + " cannot be read (Is a directory)",
                        start=at)
        p.wait_for("[checking]", start=at)  # the entry is used for this run
        p.press(["q"])
        assert p.wait_exit() == 0
        assert os.path.isdir(p.settings) and not os.listdir(p.settings)
    finally:
        p.kill()

    name, data, _ = damaged_settings(workdir)[0]
    cell = os.path.join(workdir, name)
    os.makedirs(cell)
    p = Program(exe, cell)
    with open(p.settings, "wb") as f:
        f.write(data)
    p.start()
    try:
        at = p.wait_for("KESTOVA の 設定")
        fill_form(p, at)
        p.wait_for("the damaged settings file was kept as " + p.settings + ".damaged", start=at)
        p.press(["q"])
        assert p.wait_exit() == 0
        with open(p.settings + ".damaged", "rb") as f:
            assert f.read() == data
        assert read_settings_value(p.settings, "USER") == USER.encode()
    finally:
        p.kill()


def scenario_formkeys(exe, workdir):
    """The form in screen order: Shift+Tab from the password goes back to the account. A
    password pasted with a line break does not submit the form, and the form says so; a letter
    typed into the interval is refused with a word in the form."""
    p = Program(exe, workdir).start()
    try:
        at = p.wait_for("KESTOVA の 設定")
        p.press([TAB, TAB] + list("127.0.0.1") + [TAB, TAB])
        # The terminal brackets a paste; its line break is text, not Enter.
        p.press(["\x1b[200~" + PASSWORD + "\r\n\x1b[201~"])
        at = p.wait_for("改行", start=at)
        time.sleep(0.3)
        assert not os.path.exists(p.settings), "a pasted line break submitted the form"
        # Back to the account (not forward into another field), typed there.
        p.press(["\x1b[Z"] + list(USER) + [TAB, TAB, TAB, "x"])
        at = p.wait_for("チェック間隔には数字だけを入力できます", start=at)
        p.press(["\x15"] + list("3") + [ENTER])
        deadline = time.monotonic() + 10
        while not os.path.exists(p.settings):
            assert time.monotonic() < deadline, "OK wrote no settings file"
            time.sleep(0.05)
        time.sleep(0.2)
        assert read_settings_value(p.settings, "USER") == USER.encode()
        with open(p.settings, "rb") as f:
            raw = f.read().decode("latin-1").replace("\\\r\n", "").replace("\\\n", "")
        m = re.search(r'^"PASS"=hex:(.*)$', raw, re.M)
        stored = bytes(int(b, 16) ^ 0xFF for b in m.group(1).replace(" ", "").split(","))
        assert stored.split(b"\0", 1)[0] == PASSWORD.encode(), stored
        # 3 minutes is below the least interval: the rule puts 30 in its place, and says so.
        assert re.search(r'^"TIME"=dword:0000001e\s*$', raw, re.M), "interval not saved as 30"
        p.wait_for("interval 3 is not 5 minutes or more; 30 minutes is used", start=at)
        p.press(["q"])
        assert p.wait_exit() == 0
    finally:
        p.kill()


def value_names(path):
    """The names of the values in the settings file, in file order."""
    with open(path, "rb") as f:
        return re.findall(rb'^"([^"]*)"=', f.read(), re.M)


def scenario_sevenvalues(exe, workdir):
    """A settings file from before the secure connection holds the seven values only. The
    form's OK with the encryption left at なし writes them again and adds none of SSL, PORT
    or CERTPIN."""
    p = Program(exe, workdir)
    write_settings(p.settings)
    seven = [b"SERVER", b"USER", b"PASS", b"TIME", b"LIST", b"LED", b"MAILLER"]
    assert value_names(p.settings) == seven
    before = os.stat(p.settings)
    p.start()
    try:
        # The check at start ends (nothing listens here); then the settings key works.
        at = p.wait_for("[check failed]", timeout=60)
        p.press(["p"])
        at = p.wait_for("KESTOVA の 設定", start=at)
        p.wait_for("詳細設定", start=at)  # the encryption, なし, is on the second page
        p.press([ENTER])  # the form opens on OK
        deadline = time.monotonic() + 10
        while True:
            after = os.stat(p.settings)
            if (after.st_ino, after.st_mtime_ns) != (before.st_ino, before.st_mtime_ns):
                break
            assert time.monotonic() < deadline, "the OK wrote no settings file"
            time.sleep(0.05)
        assert value_names(p.settings) == seven, value_names(p.settings)
        assert read_settings_value(p.settings, "SERVER") == b"127.0.0.1"
        p.press(["q"])
        assert p.wait_exit() == 0
    finally:
        p.kill()


def scenario_launcher(exe, workdir):
    """The mail program key m: no program set, a program that does not exist and one that
    fails are each said on the console."""
    failing = os.path.join(workdir, "failing.sh")
    with open(failing, "w") as f:
        f.write("#!/bin/sh\nexit 3\n")
    os.chmod(failing, 0o755)
    cases = [("", "mail program not set: enter its command as メーラー in the settings (p)"),
             ("/nonexistent/mail", "mail program could not be started: /nonexistent/mail: "
                                   "No such file or directory"),
             (failing, "mail program failed: " + failing + " ended with exit code 3")]
    for i, (mailer, line) in enumerate(cases):
        cell = os.path.join(workdir, str(i))
        os.makedirs(cell)
        p = Program(exe, cell, tty=False)
        write_settings(p.settings, mailer=mailer)
        p.start()
        try:
            at = p.wait_for("check ")  # the first check has ended (nothing answers)
            p.press(["m"])
            p.wait_for(line, start=at)
            p.press(["q"])
            assert p.wait_exit() == 0
        finally:
            p.kill()


def scenario_accounts(exe, workdir):
    """The form's pages of accounts: 詳細設定, アカウント一覧, 追加; the account page refuses
    account 1's mailbox with its words and takes another; the row shows in the list; the OKs of
    詳細設定 and of the form save account 1 and the added account's section."""
    p = Program(exe, workdir).start()
    try:
        at = p.wait_for("KESTOVA の 設定")
        p.press([TAB, TAB] + list("127.0.0.1") + [TAB] + list(USER) + [TAB] + list(PASSWORD))
        p.press([TAB] * 4 + [ENTER])  # 詳細設定
        at = p.wait_for("暗号化", start=at)
        p.press([TAB] * 6 + [ENTER])  # アカウント一覧
        at = p.wait_for("(アカウントはありません)", start=at)
        p.press([ENTER])  # 追加, the page's first button that takes input
        at = p.wait_for("名前", start=at)
        p.press(list("ﾎｰﾑ") + [TAB] + list("127.0.0.1") + [TAB] + list(USER) + [TAB] +
                list("pw2") + [ENTER])
        at = p.wait_for("アカウント 1 と同じ", start=at)
        assert not os.path.exists(p.settings), "an account's OK wrote the settings"
        # Back to the account, another user: taken, and listed.
        p.press(["\x1b[Z", "\x15"] + list("other") + [ENTER])
        at = p.wait_for("2  ﾎｰﾑ  127.0.0.1 / other", start=at)
        p.press([ESC])  # back to 詳細設定, on its button アカウント一覧
        time.sleep(0.3)
        p.press([TAB, ENTER])  # 詳細設定's OK
        time.sleep(0.3)
        p.press([TAB, ENTER])  # the form's OK
        deadline = time.monotonic() + 10
        while not os.path.exists(p.settings):
            assert time.monotonic() < deadline, "the OK wrote no settings file"
            time.sleep(0.05)
        time.sleep(0.2)
        assert read_settings_value(p.settings, "USER") == USER.encode()
        # Account 2 in a section of its own after the main key's.
        section = p.settings + ".account2"
        with open(p.settings, "rb") as f:
            parts = f.read().split(b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2]", 1)
        assert len(parts) == 2, "no section for account 2"
        assert b"KESTOVA\\3]" not in parts[1], "a section for an account not added"
        with open(section, "wb") as f:
            f.write(parts[1])
        assert read_settings_value(section, "USER") == b"other"
        assert read_settings_value(section, "SERVER") == b"127.0.0.1"
        assert read_settings_value(section, "NAME") == "ﾎｰﾑ".encode("cp932")
        p.press(["q"])
        assert p.wait_exit() == 0
    finally:
        p.kill()


SCENARIOS = {
    "form": (scenario_form, False),
    "keys": (scenario_keys, True),
    "second": (scenario_second, False),
    "notty": (scenario_notty, False),
    "options": (scenario_options, False),
    "outcomes": (scenario_outcomes, True),
    "settingsfile": (scenario_settingsfile, False),
    "savefailure": (scenario_savefailure, False),
    "formkeys": (scenario_formkeys, False),
    "launcher": (scenario_launcher, False),
    "sevenvalues": (scenario_sevenvalues, False),
    "accounts": (scenario_accounts, False),
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
        root = os.geteuid() == 0
        needs = args.scenario == "all" or SCENARIOS[args.scenario][1]
        if root and not (shutil.which("unshare") and shutil.which("ip")):
            print("FAILED: unshare or ip not found (scripts/install-deps.sh installs them)")
            return 1
        if root:
            env = dict(os.environ, KC_CONSOLE_NETNS="1")
            cmd = ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                   sys.executable] + sys.argv
            return subprocess.call(cmd, env=env)
        if needs:
            print("skipped: needs root for a network namespace")
            return SKIP

    names = list(SCENARIOS) if args.scenario == "all" else [args.scenario]
    failed = 0
    for name in names:
        workdir = make_work_dir(f"kc-console-{name}-", 0o700)
        try:
            SCENARIOS[name][0](exe, workdir)
            print(f"ok {name}")
        except AssertionError as e:
            failed += 1
            print(f"FAILED {name}: {e}")
        finally:
            finish_work_dir(workdir)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
