#!/usr/bin/env python3
"""Runs the Windows program under Wine for the end-to-end scenarios (stdlib only).

One scenario runs in a network namespace of its own (loopback only, so Dovecot can take
127.0.0.1:110), with its own Xvfb display and its own wineserver, on a Wine prefix made once
per suite run and architecture under LANG=ja_JP.UTF-8 (code page 932, Japanese fonts).
On a host that runs no 32-bit programs Wine goes through its 64-bit loader and the i686 exe is
reported skipped with that reason (tests/support/wine_host.py).

  harness.py prefix --prefix DIR [--arch ARCH]   makes a fresh prefix (ctest fixture)
  harness.py run --scenario NAME --arch i686 --exe EXE --helpers DIR --prefix DIR
                 [--artifacts DIR] [--lcd-screen TOOL]
  harness.py run --scenario all ...              every scenario in one go (development)
  harness.py screenshots --artifacts DIR [--arch i686] [--out docs/screenshots]

Exit codes: 0 passed, 1 failed, 77 skipped (the Windows build or a feature is missing, or the
host cannot run the exe's architecture).
"""
import argparse
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)

import dovecot  # noqa: E402  (tests/support/dovecot.py)
import wine_host  # noqa: E402
import lcd  # noqa: E402

SKIP = 77
WM_COMMAND = 0x0111
SM_TRAY = 1054
IDM_CHECK, IDM_PROPERTIES, IDM_EXIT = 40001, 40002, 40003
TRAY_ID = 101
WM_LBUTTONDBLCLK, WM_RBUTTONDOWN = 515, 516
APP = "KestovaChecker"
CP = "cp932"


class Skip(Exception):
    """The scenario cannot run yet (missing build or feature); the reason says why."""


class Failure(AssertionError):
    pass


def check(cond, message):
    if not cond:
        raise Failure(message)


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, flush=True)


# -- the environment ---------------------------------------------------------------------------

def in_own_netns():
    return os.environ.get("KC_WINE_NETNS") == str(os.getpid())


def reexec_in_netns():
    """Runs this script again inside `unshare -n -m` (root); the loopback is brought up there,
    and a scenario may bind-mount files (the CA bundle) without touching the machine's view."""
    env = dict(os.environ)
    cmd = [sys.executable, os.path.abspath(__file__)] + sys.argv[1:]
    # The child learns it is inside from its own pid, which exec keeps.
    wrapper = ("import os,sys,subprocess;"
               "os.environ['KC_WINE_NETNS']=str(os.getpid());"
               "subprocess.run(['ip','link','set','lo','up'],check=True);"
               "os.execv(sys.argv[1], sys.argv[1:])")
    proc = subprocess.Popen(["unshare", "-n", "-m", "--", sys.executable, "-c", wrapper] + cmd,
                            env=env,
                            start_new_session=True)

    def forward(signum, frame):
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass

    signal.signal(signal.SIGTERM, forward)
    signal.signal(signal.SIGINT, forward)
    return proc.wait()


def wine_env(prefix, display=None, extra=None):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "LANG": "ja_JP.UTF-8",
        "LC_ALL": "ja_JP.UTF-8",
        "WINEDEBUG": "-all,+debugstr",
        "WINEDLLOVERRIDES": "mscoree,mshtml=;hid,setupapi=n,b",
        "WINEARCH": "win64",
    })
    env.pop("WINELOADERNOEXEC", None)
    env.update(wine_host.wine_loader_env())
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    if extra:
        env.update(extra)
    return env


def make_prefix(prefix):
    """A fresh 64-bit prefix (runs both exes) made under the Japanese locale."""
    if os.path.exists(prefix):
        subprocess.run(["wineserver", "-k"], env=wine_env(prefix), stderr=subprocess.DEVNULL)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    env = wine_env(prefix)
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    start = time.time()
    subprocess.run(wine_host.wine_command("wineboot", "-i"), env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300)
    # No window manager runs on the test display: Wine draws the frames and captions itself,
    # as Windows would, so screenshots show them.
    subprocess.run(wine_host.wine_command("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                    "/t", "REG_SZ", "/d", "N", "/f"), env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    # The dialog's font "ＭＳ Ｐゴシック" is not on Linux; Wine would draw it with a wider
    # Japanese font and cut the labels. IPAPGothic has the same metrics, as on Windows.
    subprocess.run(wine_host.wine_command("reg", "add", r"HKCU\Software\Wine\Fonts\Replacements",
                                        "/v", "ＭＳ Ｐゴシック", "/t", "REG_SZ", "/d", "IPAPGothic",
                                        "/f"), env=env,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    subprocess.run(["wineserver", "-w"], env=env, timeout=120)
    # Caption buttons are drawn with the Marlett symbol font; Debian's Wine does not find the
    # copy in its data directory, so the prefix gets its own.
    marlett = "/usr/share/wine/fonts/marlett.ttf"
    if os.path.exists(marlett):
        shutil.copy2(marlett, os.path.join(prefix, "drive_c", "windows", "Fonts"))
    log(f"prefix {prefix} made in {time.time() - start:.1f} s")


def imports_of(exe, arch):
    """Names the exe imports, from its import table (mingw objdump)."""
    tool = "i686-w64-mingw32-objdump" if arch == "i686" else "x86_64-w64-mingw32-objdump"
    out = subprocess.run([tool, "-p", exe], capture_output=True, text=True, errors="replace").stdout
    names = set()
    for line in out.splitlines():
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)\s*$", line)
        if m:
            names.add(m.group(1))
    return names


def decode_debugstr(quoted):
    """Undoes Wine's C escaping of a debug string: \\n \\r \\t \\" \\\\ and \\xHH."""
    out = bytearray()
    i = 0
    raw = quoted.encode("latin-1", errors="replace")
    while i < len(raw):
        c = raw[i]
        if c == 0x5C and i + 1 < len(raw):
            n = raw[i + 1]
            if n == ord("n"):
                out.append(10)
            elif n == ord("r"):
                out.append(13)
            elif n == ord("t"):
                out.append(9)
            elif n == ord("x") and i + 3 < len(raw) + 1:
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
            else:
                out.append(n)
            i += 2
            continue
        out.append(c)
        i += 1
    return bytes(out)


DEBUGSTR = re.compile(r'^[0-9a-f]+:warn:debugstr:OutputDebugStringA "(.*)"(\.\.\.)?$')


class Program:
    """One start of the program: its process, its trace (from wine's stderr), its exit code."""

    def __init__(self, env, name):
        self.env = env
        self.name = name
        self.trace = bytearray()
        self.trace_lines = []  # (time, bytes)
        self.truncated = 0
        self.lock = threading.Lock()
        self.stderr_path = os.path.join(env.artifacts, f"{name}.stderr.log")
        self.started = time.time()
        self.proc = subprocess.Popen(wine_host.wine_command(env.exe_win), cwd=env.exe_dir_linux,
                                     env=env.wenv, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        env.programs.append(self)

    def _read(self):
        with open(self.stderr_path, "wb") as raw:
            for line in self.proc.stderr:
                raw.write(line)
                raw.flush()
                text = line.decode("latin-1").rstrip("\n")
                m = DEBUGSTR.match(text)
                if m:
                    data = decode_debugstr(m.group(1))
                    with self.lock:
                        if m.group(2):
                            self.truncated += 1
                        self.trace.extend(data)
                        self.trace_lines.append((time.time(), data))

    def text(self):
        with self.lock:
            return bytes(self.trace)

    def count(self, needle):
        return self.text().count(needle)

    def wait_trace(self, needle, timeout, count=1):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.count(needle) >= count:
                return True
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        return self.count(needle) >= count

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(timeout=5)

    def save_trace(self):
        with open(os.path.join(self.env.artifacts, f"{self.name}.trace.txt"), "wb") as f:
            f.write(self.text())


class DriverError(Exception):
    pass


class Driver:
    """The test driver exe (driver.cpp), one session per scenario, commands over a pipe."""

    def __init__(self, env):
        self.env = env
        self.transcript = open(os.path.join(env.artifacts, "driver.log"), "a")
        self.proc = subprocess.Popen(wine_host.wine_command(env.driver_win), cwd=env.helpers_linux,
                                     env=env.wenv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.decode("latin-1").rstrip("\r\n"))
        self.lines.put(None)

    def cmd(self, *args, timeout=30):
        line = " ".join(str(a) for a in args)
        self.transcript.write("> " + line + "\n")
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        records = []
        deadline = time.time() + timeout
        while True:
            try:
                out = self.lines.get(timeout=max(0.1, deadline - time.time()))
            except queue.Empty:
                raise DriverError(f"driver timed out on: {line}")
            if out is None:
                raise DriverError("driver ended")
            self.transcript.write(out + "\n")
            self.transcript.flush()
            if out == "ok":
                return records
            if out.startswith("err"):
                raise DriverError(out[4:] + f" ({line})")
            records.append(parse_record(out))

    # Convenience wrappers -------------------------------------------------------------------
    def windows(self, cls="-", caption=None):
        return self.cmd("windows", cls, hexs(caption))

    def wait_window(self, cls="-", caption=None, timeout=10.0, gone=False):
        args = ["wait", cls, hexs(caption), int(timeout * 1000)] + (["gone"] if gone else [])
        try:
            return self.cmd(*args, timeout=timeout + 15)
        except DriverError:
            return None

    def children(self, hwnd):
        return self.cmd("children", hwnd)

    def set_text(self, hwnd, text):
        self.cmd("settext", hwnd, hexs(text))

    def text(self, hwnd):
        return self.cmd("text", hwnd)[0]["text"]

    def click(self, hwnd):
        self.cmd("click", hwnd)

    def checked(self, hwnd):
        return int(self.cmd("check", hwnd)[0]["value"])

    def post(self, hwnd, msg, wp=0, lp=0):
        self.cmd("post", hwnd, msg, wp, lp)

    def send(self, hwnd, msg, wp=0, lp=0):
        return int(self.cmd("send", hwnd, msg, wp, lp)[0]["value"])

    def key(self, hwnd, vk):
        self.cmd("key", hwnd, vk)

    def menu(self, timeout=10.0):
        return self.cmd("menu", int(timeout * 1000), timeout=timeout + 15)

    def regdump(self):
        try:
            return {r["name"]: r for r in self.cmd("regdump")}
        except DriverError:
            return None

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
        self.transcript.close()


def hexs(text):
    if text is None:
        return "-"
    data = text.encode(CP) if isinstance(text, str) else bytes(text)
    return data.hex() if data else "-"


def parse_record(line):
    parts = line.split(" ")
    rec = {"kind": parts[0]}
    for p in parts[1:]:
        if "=" in p:
            k, v = p.split("=", 1)
            rec[k] = v
    for key in ("text", "data"):
        if key in rec:
            raw = b"" if rec[key] == "-" else bytes.fromhex(rec[key])
            rec[key + "_bytes"] = raw
            rec[key] = raw.decode(CP, errors="replace")
    for key in ("style", "exstyle", "type", "state"):
        if key in rec:
            rec[key] = int(rec[key], 16)
    for key in ("id", "pid", "visible", "enabled", "len", "pos", "count"):
        if key in rec:
            try:
                rec[key] = int(rec[key])
            except ValueError:
                pass
    for key in ("rect", "client"):
        if key in rec:
            rec[key] = tuple(int(x) for x in rec[key].split(","))
    return rec


class HeldPop3:
    """A small POP3 server on 127.0.0.1:110 that accepts a connection and holds back its
    greeting until released, so a check stays under way as long as a test needs; then it
    answers an empty mailbox. Stands in for Dovecot where a test needs that control."""

    def __init__(self):
        self.release_event = threading.Event()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 110))
        self.sock.listen(5)
        self.connections = 0
        self.commands = []
        self.stopped = False
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._session, args=(conn,), daemon=True).start()

    def _session(self, conn):
        try:
            self._dialogue(conn)
        except OSError:
            pass  # the program closed its end first
        finally:
            conn.close()

    def _dialogue(self, conn):
        while not self.release_event.wait(0.1):
            if self.stopped:
                return
        conn.sendall(b"+OK held server ready\r\n")
        buf = b""
        while True:
            try:
                data = conn.recv(4096)
            except OSError:
                return
            if not data:
                return
            buf += data
            while b"\r\n" in buf:
                line, buf = buf.split(b"\r\n", 1)
                self.commands.append(line)
                word = line.split(b" ")[0].upper()
                if word == b"STAT":
                    conn.sendall(b"+OK 0 0\r\n")
                elif word == b"QUIT":
                    conn.sendall(b"+OK bye\r\n")
                    return
                else:
                    conn.sendall(b"+OK\r\n")

    def release(self):
        self.release_event.set()

    def stop(self):
        self.stopped = True
        self.release_event.set()
        self.sock.close()


class Env:
    """Everything one scenario runs on: display, prefix, helper files, Dovecot, the driver."""

    def __init__(self, args, scenario):
        self.arch = args.arch
        self.exe = os.path.abspath(args.exe)
        self.helpers = os.path.abspath(args.helpers)
        self.prefix = os.path.abspath(args.prefix)
        self.lcd_screen_tool = args.lcd_screen
        self.artifacts = os.path.abspath(os.path.join(args.artifacts, self.arch, scenario))
        if os.path.isdir(self.artifacts):
            shutil.rmtree(self.artifacts)
        os.makedirs(self.artifacts)
        self.tmp = tempfile.mkdtemp(prefix=f"kc-wine-{self.arch}-")
        os.chmod(self.tmp, 0o755)
        self.programs = []
        self.driver = None
        self.xvfb = None
        self.server = None
        self.lcd_files = []
        self.closed = False
        self.imports = imports_of(self.exe, self.arch)

    # -- set-up --------------------------------------------------------------------------------
    def start(self):
        self._stop_wineserver()
        self._start_xvfb()
        drive_c = os.path.join(self.prefix, "drive_c")
        self.exe_dir_linux = os.path.join(drive_c, f"kestova-{self.arch}")
        self.helpers_linux = os.path.join(drive_c, f"kctest-{self.arch}")
        self.mailer_dir_linux = os.path.join(drive_c, "Program Files", "表示")
        for d in (self.exe_dir_linux, self.helpers_linux):
            if os.path.isdir(d):
                shutil.rmtree(d)
            os.makedirs(d)
        os.makedirs(self.mailer_dir_linux, exist_ok=True)
        # The unchanged exe, with the simulated display's libraries beside it.
        shutil.copy2(self.exe, os.path.join(self.exe_dir_linux, "KestovaChecker.exe"))
        for name in ("hid.dll", "setupapi.dll"):
            shutil.copy2(os.path.join(self.helpers, name), self.exe_dir_linux)
        for name in ("driver.exe", "kc_inspect.dll"):
            shutil.copy2(os.path.join(self.helpers, name), self.helpers_linux)
        shutil.copy2(os.path.join(self.helpers, "mailrec.exe"), self.mailer_dir_linux)
        self.exe_win = f"C:\\kestova-{self.arch}\\KestovaChecker.exe"
        self.driver_win = f"C:\\kctest-{self.arch}\\driver.exe"
        self.mailer_win = "C:\\Program Files\\表示\\mailrec.exe"
        self.sim_log = os.path.join(self.tmp, "hid-sim.log")
        self.decoy = os.path.join(self.tmp, "hid-other.bin")
        open(self.decoy, "wb").close()
        self.mailer_log = os.path.join(self.tmp, "mailer.log")
        self.mailer_release = os.path.join(self.tmp, "mailer.release")
        self.wenv = wine_env(self.prefix, self.display, {
            "KC_HID_SIM_LOG": self.win_path(self.sim_log),
            "KC_HID_SIM_DECOY": self.win_path(self.decoy),
            "KC_MAILER_LOG": self.win_path(self.mailer_log),
            "KC_MAILER_RELEASE": self.win_path(self.mailer_release),
        })
        self.new_display_file()
        self.server = dovecot.Dovecot(os.path.join(self.tmp, "dovecot"), user="kestova",
                                      password="Kest0va-pw")
        self.driver = Driver(self)
        self.driver.cmd("sleep", 0, timeout=120)  # the session is up before anything else runs
        return self

    def _start_xvfb(self):
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24",
                                      "-nolisten", "tcp"], pass_fds=(w,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        with os.fdopen(r, "rb") as f:
            while not number.endswith(b"\n"):
                c = f.read(1)
                if not c:
                    raise RuntimeError("Xvfb did not start")
                number += c
        self.display = ":" + number.decode().strip()

    def _stop_wineserver(self):
        env = wine_env(self.prefix)
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, timeout=60)

    def new_display_file(self):
        """A fresh file for the display's reports: each start of the program opens the device
        anew and writes from the start of the file."""
        n = len(self.lcd_files)
        path = os.path.join(self.tmp, f"lcd-{n}.bin")
        open(path, "wb").close()
        self.wenv["KC_HID_SIM_DEVICE"] = self.win_path(path)
        self.lcd_files.append(lcd.LcdFile(path))
        return self.lcd_files[-1]

    @staticmethod
    def win_path(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    # -- features of the build -----------------------------------------------------------------
    def require(self, *names, feature):
        missing = [n for n in names if n not in self.imports]
        if missing:
            raise Skip(f"{feature} is not in this build yet (no import of {', '.join(missing)})")

    def has(self, *names):
        return all(n in self.imports for n in names)

    # -- the program ---------------------------------------------------------------------------
    def start_program(self, name=None):
        name = name or f"run{len(self.programs) + 1}"
        return Program(self, name)

    def main_window(self, timeout=15.0):
        recs = self.driver.wait_window(APP, APP, timeout)
        check(recs, f"no window of class {APP} within {timeout} s")
        return recs[0]

    def command(self, hwnd, command):
        self.driver.post(hwnd["hwnd"], WM_COMMAND, command, 0)

    def tray_event(self, hwnd, mouse, icon=TRAY_ID):
        self.driver.post(hwnd["hwnd"], SM_TRAY, icon, mouse)

    # -- the registry --------------------------------------------------------------------------
    def reg_view(self):
        return "/reg:32" if self.arch == "i686" else "/reg:64"

    def reg(self, *args, check_rc=True):
        for attempt in range(3):
            try:
                proc = subprocess.run(wine_host.wine_command("reg", *args), env=self.wenv,
                                      capture_output=True, timeout=20)
                break
            except subprocess.TimeoutExpired:
                log(f"wine reg {args[0]} hung; trying again")
        else:
            raise RuntimeError(f"wine reg {args} hung three times")
        if check_rc and proc.returncode != 0:
            raise RuntimeError(f"reg {args} failed: {proc.stdout!r} {proc.stderr!r}")
        return proc

    def reg_delete(self):
        """No settings in either registry view."""
        for view in ("/reg:32", "/reg:64"):
            self.reg("delete", r"HKLM\SOFTWARE\KESTOVA", "/f", view, check_rc=False)

    def reg_import(self, values):
        """Writes the settings beforehand, as a REGEDIT4 file (code page 932) imported with
        `reg import` into the view the exe sees. values: name -> str | int | bytes."""
        lines = [b"REGEDIT4", b"", b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]"]
        for name, value in values.items():
            key = b'"' + name.encode() + b'"='
            if isinstance(value, int):
                lines.append(key + b"dword:%08x" % (value & 0xFFFFFFFF))
            elif isinstance(value, bytes):
                lines.append(key + b"hex:" + ",".join(f"{b:02x}" for b in value).encode())
            else:
                # Escaping works on characters: a trail byte 0x5C must not be doubled.
                raw = regedit_escape(value)
                lines.append(key + b'"' + raw + b'"')
        path = os.path.join(self.tmp, "settings.reg")
        with open(path, "wb") as f:
            f.write(b"\r\n".join(lines) + b"\r\n")
        self.reg("import", path, self.reg_view())

    def reg_query(self):
        """`reg query` of the key in the exe's view: name -> (type, text as reg prints it)."""
        proc = self.reg("query", r"HKLM\SOFTWARE\KESTOVA", self.reg_view(), check_rc=False)
        if proc.returncode != 0:
            return None
        out = {}
        for line in proc.stdout.decode(CP, errors="replace").splitlines():
            m = re.match(r"^    (\S+)    (REG_\w+)    ?(.*)$", line)
            if m:
                out[m.group(1)] = (m.group(2), m.group(3))
        return out

    # -- screen --------------------------------------------------------------------------------
    def screenshot(self, name, crop=None, scale=None):
        """Captures the root window; crop=(left, top, right, bottom) in screen pixels."""
        path = os.path.join(self.artifacts, name + ".png")
        full = os.path.join(self.tmp, "root.png")
        subprocess.run(["import", "-display", self.display, "-window", "root", full], check=True,
                       timeout=30)
        cmd = ["convert", full]
        if crop:
            l, t, r, b = crop
            cmd += ["-crop", f"{max(1, r - l)}x{max(1, b - t)}+{max(0, l)}+{max(0, t)}", "+repage"]
        if scale:
            cmd += ["-filter", "point", "-resize", f"{scale * 100}%"]
        subprocess.run(cmd + [path], check=True, timeout=30)
        return path

    def pixels(self, png):
        """Every pixel of a PNG as (r, g, b)."""
        out = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], capture_output=True,
                             check=True, timeout=30).stdout
        return [tuple(out[i:i + 3]) for i in range(0, len(out) - 2, 3)]

    def tray_window(self, timeout=10.0):
        """The standalone tray window Wine shows when the desktop has no tray of its own."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            for w in self.driver.windows("-", "Wine System Tray"):
                l, t, r, b = w["client"]
                if w["visible"] and r > l and b > t:
                    if w["rect"][1] < 300:
                        # Where a taskbar's notification area is: bottom right. The menu then
                        # opens above the icon, as on Windows.
                        width, height = w["rect"][2] - w["rect"][0], w["rect"][3] - w["rect"][1]
                        self.driver.cmd("move", w["hwnd"], 1024 - width - 8, 768 - height - 8)
                        continue
                    return w
            time.sleep(0.2)
        return None

    def tray_colour(self, name=None):
        """The icon's background colour in the tray window: blue, yellow, red or magenta."""
        tray = self.tray_window()
        check(tray is not None, "no Wine System Tray window")
        png = self.screenshot(name or "tray", crop=tray["client"])
        counts = colour_counts(self.pixels(png))
        best = max(counts, key=counts.get)
        return (best if counts[best] > 0 else None), counts

    def wait_tray_colour(self, colour, timeout, name=None):
        deadline = time.time() + timeout
        seen = None
        while True:
            seen, counts = self.tray_colour(name)
            if seen == colour or time.time() > deadline:
                return seen, counts
            time.sleep(0.3)

    def point_at_tray(self):
        """Moves the pointer onto the tray icon (where a user's click would be); returns the
        tray window's client rectangle."""
        tray = self.tray_window()
        check(tray is not None, "no Wine System Tray window")
        l, t, r, b = tray["client"]
        x, y = l + min(12, (r - l) // 2), t + (b - t) // 2
        xenv = dict(os.environ, DISPLAY=self.display)
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=xenv, timeout=10)
        return tray["client"]

    def tooltip(self, timeout=6.0):
        """Hovers the pointer over the tray icon, as a user would, and reads the tip shown."""
        tray = self.tray_window()
        check(tray is not None, "no Wine System Tray window")
        l, t, r, b = tray["client"]
        x, y = l + min(12, (r - l) // 2), t + (b - t) // 2
        xenv = dict(os.environ, DISPLAY=self.display)
        text = None
        for attempt in range(2):
            subprocess.run(["xdotool", "mousemove", str(x + 1 - attempt), str(y + 1)], env=xenv,
                           timeout=10)
            subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=xenv, timeout=10)
            deadline = time.time() + timeout
            while time.time() < deadline and text is None:
                for w in self.driver.windows("tooltips_class32"):
                    if w["visible"] and w["text"]:
                        text = w["text"]
                        tl, tt, tr, tb = w["rect"]
                        self.screenshot("tooltip", crop=(min(l, tl) - 8, min(t, tt) - 30,
                                                         max(r, tr) + 8, max(b, tb) + 8))
                time.sleep(0.2)
            if text is not None:
                break
        subprocess.run(["xdotool", "mousemove", "300", "300"], env=xenv, timeout=10)
        return text

    # -- display -------------------------------------------------------------------------------
    def display_screens(self, index=-1):
        f = self.lcd_files[index]
        f.poll(time.time())
        return f.settled_screens(time.time())

    def wait_screen(self, rows, timeout, index=-1):
        """Waits until the display shows these two rows (text, padded to 16 cells)."""
        want = tuple(pad16(r) for r in rows)
        deadline = time.time() + timeout
        f = self.lcd_files[index]
        while True:
            f.poll(time.time())
            if f.current() == want:
                return True
            if time.time() > deadline:
                return False
            time.sleep(0.1)

    # -- tear-down -----------------------------------------------------------------------------
    def close(self):
        if self.closed:
            return
        self.closed = True
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # finish cleaning up once begun
        for p in self.programs:
            p.kill()
            p.save_trace()
        if self.driver:
            self.driver.close()
        try:
            self._stop_wineserver()
        except Exception:
            pass
        if self.server:
            with open(os.path.join(self.artifacts, "dovecot.log"), "w") as f:
                f.write(self.server.log_text())
            self.server.stop()
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
        for i, f in enumerate(self.lcd_files):
            if os.path.exists(f.path):
                shutil.copy2(f.path, os.path.join(self.artifacts, f"lcd-{i}.bin"))
            with open(os.path.join(self.artifacts, f"lcd-{i}.screens.txt"), "w") as out:
                f.poll(time.time())
                for when, rows in f.settled_screens(time.time()):
                    out.write(f"{when:.1f} [{lcd.row_text(rows[0])}][{lcd.row_text(rows[1])}]\n")
        for name in ("hid-sim.log", "mailer.log"):
            p = os.path.join(self.tmp, name)
            if os.path.exists(p):
                shutil.copy2(p, self.artifacts)
        shutil.rmtree(self.tmp, ignore_errors=True)


def regedit_escape(text):
    """A REGEDIT4 string value in code page 932: backslash and quote escaped per character."""
    out = bytearray()
    for ch in text:
        if ch in "\\\"":
            out += b"\\" + ch.encode()
        else:
            out += ch.encode(CP)
    return bytes(out)


def pad16(row):
    data = row.encode(CP) if isinstance(row, str) else bytes(row)
    return data[:16] + b" " * (16 - len(data[:16]))


def colour_counts(pixels):
    counts = {"blue": 0, "yellow": 0, "red": 0, "magenta": 0}
    for r, g, b in pixels:
        hi = [c >= 100 for c in (r, g, b)]
        lo = [c <= 80 for c in (r, g, b)]
        if hi[2] and lo[0] and lo[1]:
            counts["blue"] += 1
        elif hi[0] and hi[1] and lo[2]:
            counts["yellow"] += 1
        elif hi[0] and lo[1] and lo[2]:
            counts["red"] += 1
        elif hi[0] and hi[2] and lo[1]:
            counts["magenta"] += 1
    return counts


def complement(password, size=80):
    data = password.encode(CP)[:size - 1]
    field = data + b"\0" * (size - len(data))
    return bytes(b ^ 0xFF for b in field)


# -- screenshots for the documentation ---------------------------------------------------------

def compose_screenshots(artifacts, arch, out):
    """Copies the chosen screenshots of a suite run and puts the four tray icons side by side."""
    base = os.path.join(artifacts, arch)
    os.makedirs(out, exist_ok=True)
    chosen = {
        "settings-dialog.png": "first_start/settings-dialog.png",
        "settings-filled.png": "first_start/settings-filled.png",
        "settings-incomplete.png": "first_start/settings-incomplete.png",
        "settings-advanced.png": "advanced/settings-advanced.png",
        "settings-accounts.png": "accounts/settings-accounts.png",
        "settings-account.png": "accounts/settings-account.png",
        "tray-menu.png": "menu/tray-menu.png",
        "tray-tooltip.png": "check_three/tooltip.png",
        "tray-tooltip-accounts.png": "accounts_check/tooltip-accounts.png",
        "signin-box.png": "oauth_signin/signin-box.png",
        "signin-lcd.png": "oauth_signin/signin-lcd.png",
    }
    for name, source in chosen.items():
        path = os.path.join(base, source)
        if not os.path.exists(path):
            print(f"missing {path}")
            return 1
        shutil.copy2(path, os.path.join(out, name))
    icons = []
    for colour, label in (("blue", "no mail"), ("yellow", "1 to 10"), ("red", "11 or more"),
                          ("magenta", "checking")):
        source = os.path.join(base, "counts", f"tray-{colour}.png")
        if not os.path.exists(source):
            print(f"missing {source}")
            return 1
        icon = os.path.join(out, f".icon-{colour}.png")
        subprocess.run(["convert", source, "-crop", "20x20+0+0", "+repage", "-filter", "point",
                        "-resize", "400%", icon], check=True)
        icons += ["-label", label, icon]
    font = ["-font", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"]
    if not os.path.exists(font[1]):
        font = []
    subprocess.run(["montage"] + font + icons + ["-tile", "4x1", "-geometry", "+12+6",
                                                 "-pointsize", "14",
                                                 os.path.join(out, "tray-icons.png")], check=True)
    for colour in ("blue", "yellow", "red", "magenta"):
        os.remove(os.path.join(out, f".icon-{colour}.png"))
    print(f"screenshots of the {arch} run written to {out}")
    return 0


# -- entry -------------------------------------------------------------------------------------

def run_scenarios(args):
    # The scenarios import this file as `harness`; run as a script it is `__main__`, and a second
    # copy under the other name would have its own Skip class, which the except below misses.
    sys.modules.setdefault("harness", sys.modules[__name__])
    import scenarios
    names = list(scenarios.SCENARIOS) if args.scenario == "all" else [args.scenario]
    for n in names:
        if n not in scenarios.SCENARIOS:
            print(f"unknown scenario {n}; known: {', '.join(scenarios.SCENARIOS)}")
            return 2
    if not os.path.exists(args.exe):
        print(f"SKIP: {args.exe} is not built (build the win32/win64 presets first)")
        return SKIP
    for name in ("driver.exe", "kc_inspect.dll", "hid.dll", "setupapi.dll", "mailrec.exe"):
        if not os.path.exists(os.path.join(args.helpers, name)):
            print(f"SKIP: {name} is not built in {args.helpers}")
            return SKIP
    if not os.path.isdir(os.path.join(args.prefix, "drive_c")):
        print(f"no Wine prefix at {args.prefix}; making one")
        make_prefix(args.prefix)
    results = {}
    for n in names:
        start = time.time()
        env = Env(args, n)
        log(f"=== {n} ({args.arch}) on {env.tmp}")
        try:
            env.start()
            scenarios.SCENARIOS[n](env)
            results[n] = "passed"
        except Skip as e:
            results[n] = f"skipped: {e}"
        except Exception as e:  # noqa: BLE001 - report every failure with its trace
            traceback.print_exc()
            results[n] = f"FAILED: {e}"
        finally:
            env.close()  # also when stopped from outside (SystemExit)
        log(f"=== {n} ({args.arch}): {results[n]} in {time.time() - start:.1f} s; "
            f"artefacts in {env.artifacts}")
    failed = [n for n, r in results.items() if r.startswith("FAILED")]
    skipped = [n for n, r in results.items() if r.startswith("skipped")]
    for n, r in results.items():
        print(f"{n}: {r}")
    if failed:
        return 1
    if skipped and len(skipped) == len(results):
        print("SKIP: " + "; ".join(results[n] for n in skipped))
        return SKIP
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    pp = sub.add_parser("prefix")
    pp.add_argument("--prefix", required=True)
    pp.add_argument("--remove", action="store_true", help="remove the prefix instead")
    pp.add_argument("--exe", help="make the prefix only when this exe is built")
    pp.add_argument("--arch", choices=("i686", "x86_64"),
                    help="the exe's architecture: no prefix where the host cannot run it")
    ps = sub.add_parser("screenshots", help="copy a run's screenshots for the documentation")
    ps.add_argument("--artifacts", required=True)
    ps.add_argument("--arch", default=None,
                    help="whose screenshots: i686 where the host runs 32-bit programs, else x86_64")
    ps.add_argument("--out", default=os.path.join(HERE, "..", "..", "docs", "screenshots"))
    pr = sub.add_parser("run")
    pr.add_argument("--scenario", required=True)
    pr.add_argument("--arch", choices=("i686", "x86_64"), required=True)
    pr.add_argument("--exe", required=True)
    pr.add_argument("--helpers", required=True, help="directory of driver.exe and the DLLs")
    pr.add_argument("--prefix", required=True)
    pr.add_argument("--artifacts", default=os.path.join(os.getcwd(), "wine-artifacts"))
    pr.add_argument("--lcd-screen", default=None, help="the HD44780 emulator's lcd_screen tool")
    args = p.parse_args()

    if args.cmd == "screenshots":
        if args.arch is None:
            args.arch = "i686" if wine_host.host_runs_32bit()[0] else "x86_64"
        return compose_screenshots(args.artifacts, args.arch, os.path.abspath(args.out))
    if args.cmd == "prefix":
        if args.remove:
            subprocess.run(["wineserver", "-k"], env=wine_env(args.prefix),
                           stderr=subprocess.DEVNULL)
            shutil.rmtree(args.prefix, ignore_errors=True)
            return 0
        if args.exe and not os.path.exists(args.exe):
            print(f"{args.exe} is not built: no prefix needed")
            return 0
        if not shutil.which("wineboot"):
            print("FAILED: wine is not installed (scripts/install-deps.sh installs it): no prefix")
            return 1
        if args.arch and wine_host.missing_loader(args.arch):
            print(f"FAILED: {wine_host.missing_loader(args.arch)} is not installed "
                  "(scripts/install-deps.sh installs wine32:i386 and wine64)")
            return 1
        if args.arch:
            runnable, why = wine_host.arch_runnable(args.arch)
            if not runnable:
                print(f"SKIP: no prefix: {why}")
                return SKIP
        make_prefix(args.prefix)
        return 0
    if not shutil.which("wine") or not shutil.which("Xvfb") or not shutil.which("dovecot"):
        print("FAILED: wine, Xvfb or dovecot is not installed (scripts/install-deps.sh installs "
              "them)")
        return 1
    if wine_host.missing_loader(args.arch):
        print(f"FAILED: {wine_host.missing_loader(args.arch)} is not installed "
              "(scripts/install-deps.sh installs wine32:i386 and wine64)")
        return 1
    runnable, why = wine_host.arch_runnable(args.arch)
    if not runnable:
        print(f"SKIP: {why}")
        return SKIP
    if os.geteuid() != 0:
        print("SKIP: the Wine suite needs root (network namespace, port 110)")
        return SKIP
    if not in_own_netns():
        return reexec_in_netns()
    stop_with_parent()
    return run_scenarios(args)


def stop_with_parent():
    """Inside the namespace: end cleanly (Xvfb, Dovecot, wineserver stopped) when told to or
    when the process outside ends, for instance at a ctest time-out."""
    def terminate(signum, frame):
        raise SystemExit(1)

    signal.signal(signal.SIGTERM, terminate)
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    except (OSError, AttributeError):
        pass


if __name__ == "__main__":
    sys.exit(main())
