"""The Linux program, its settings file, the servers and the expected traces, as the native
end-to-end suites use them (tests/e2e/run_pop3_native.py, run_fault_matrix.py, valgrind.py).

The program runs with its runtime, config and device directories inside a work dir and the
settings file written here. Its trace comes on stderr. A further check is asked for by writing
"c" to its standard input (the console's check key); a check request made while a check runs
is dropped, so a new "----- FIND HOST -----" after such a key proves the cycle was idle again.
The program is ended with SIGTERM and must exit with 0.

stdlib only.
"""
import fcntl
import os
import re
import struct
import subprocess
import sys
import termios
import threading
import time

SUPPORT = os.path.dirname(os.path.abspath(__file__))
if SUPPORT not in sys.path:
    sys.path.insert(0, SUPPORT)

import dovecot  # noqa: E402
from processes import end_on_sigterm  # noqa: E402
from scenario_runner import enter_network_namespace  # noqa: E402,F401 - benchmarks import it from here
USER = "kestova"
PASSWORD = "Pw-e2e-7q3!x"  # distinctive, so any leak into the trace is found
SERVER_WAIT_S = 60  # the program's limit on a silent server

# ---- the settings file -------------------------------------------------------------------


def _hex(data, size):
    data = data[:size - 1]
    return ",".join("%02x" % b for b in data + bytes(size - len(data)))


def write_settings(path, server, user=USER, password=PASSWORD, minutes=30, mailer="", ssl=None,
                   port=None, certpin=None, newonly=None, raw_values=None):
    """The settings key as a REGEDIT4 file, the form the Linux store reads. ssl, port,
    certpin and newonly are written only when given, as a file from before them would lack
    them. raw_values: {name: text after the "="} for values written as they are (another
    type, a length the fields do not have)."""
    pw = bytes(b ^ 0xFF for b in password.encode()[:79] + bytes(80 - len(password.encode()[:79])))
    lines = [
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]",
        '"SERVER"=hex(1):' + _hex(server.encode(), 255),
        '"USER"=hex(1):' + _hex(user.encode(), 80),
        '"PASS"=hex:' + ",".join("%02x" % b for b in pw),
        '"TIME"=dword:%08x' % minutes,
        '"LIST"=dword:00000001',
        '"LED"=dword:00000001',
        '"MAILLER"=hex(1):' + _hex(mailer.encode(), 260),
    ]
    if ssl is not None:
        lines.append('"SSL"=dword:%08x' % ssl)
    if port is not None:
        lines.append('"PORT"=dword:%08x' % port)
    if certpin is not None:
        lines.append('"CERTPIN"=hex(1):' + _hex(certpin.encode(), 128))
    if newonly is not None:
        lines.append('"NEWONLY"=dword:%08x' % newonly)
    for name, text in (raw_values or {}).items():
        lines.append('"%s"=%s' % (name, text))
    lines += [""]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", newline="") as f:
        f.write("\r\n".join(lines))


# ---- the program -------------------------------------------------------------------------


def program_env(workdir, settings, sysfs, dev):
    """The program's environment: its home, runtime and config dirs inside workdir, the
    settings file, and the sysfs and /dev trees it looks for the display in."""
    env = dict(os.environ)
    env.update({
        "HOME": os.path.join(workdir, "home"),
        "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime"),
        "XDG_CONFIG_HOME": os.path.join(workdir, "config"),
        "KESTOVA_SETTINGS_FILE": settings,
        "KESTOVA_SYSFS_ROOT": sysfs,
        "KESTOVA_DEV_ROOT": dev,
        "LANG": "C.UTF-8",
    })
    return env


class Program:
    """The Linux program with its trace (stderr) and console output (stdout) collected.

    wrapper: a command the program is started under (valgrind, unshare, ...); the program's
    path and nothing else is appended to it."""

    def __init__(self, exe, workdir, server="localhost", wrapper=(), stop_timeout=10, env=None,
                 **settings):
        self.exe = exe
        self.dir = workdir
        self.wrapper = list(wrapper)
        self.stop_timeout = stop_timeout
        self.settings = os.path.join(workdir, "config", "kestova", "settings.reg")
        write_settings(self.settings, server, **settings)
        for sub in ("runtime", "sys", "dev", "home"):
            os.makedirs(os.path.join(workdir, sub), exist_ok=True)
        os.chmod(os.path.join(workdir, "runtime"), 0o700)
        # No display device: empty sysfs and /dev trees.
        self.env = program_env(workdir, self.settings, os.path.join(workdir, "sys"),
                               os.path.join(workdir, "dev"))
        self.env.update(env or {})
        self.err = bytearray()
        self.out = bytearray()
        self.cond = threading.Condition()
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(self.wrapper + [self.exe], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env,
                                     cwd=self.dir)
        self.readers = [threading.Thread(target=self._pump, args=(self.proc.stderr, self.err), daemon=True),
                        threading.Thread(target=self._pump, args=(self.proc.stdout, self.out), daemon=True)]
        for t in self.readers:
            t.start()
        return self

    def _pump(self, stream, sink):
        while True:
            data = stream.read1(65536)
            if not data:
                break
            with self.cond:
                sink.extend(data)
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def trace(self):
        with self.cond:
            return bytes(self.err)

    def wait_for(self, pattern, timeout, start=0, count=1):
        """Waits until the trace from `start` holds `count` matches of pattern (bytes regex);
        returns the end of the last one."""
        regex = re.compile(pattern, re.S)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                matches = list(regex.finditer(bytes(self.err), start))
                if len(matches) >= count:
                    return matches[count - 1].end()
                if self.proc.poll() is not None:
                    raise AssertionError(f"program ended ({self.proc.returncode}) while waiting for {pattern!r}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"timed out after {timeout} s waiting for {pattern!r}")
                self.cond.wait(min(left, 0.2))

    def press(self, key):
        self.proc.stdin.write(key.encode())
        self.proc.stdin.flush()

    def wait_input_taken(self, timeout):
        """Waits until the program has read everything written to its input, so a key pressed
        is in its hands (its loop handles what it reads at once)."""
        deadline = time.monotonic() + timeout
        while True:
            left = struct.unpack("i", fcntl.ioctl(self.proc.stdin.fileno(), termios.FIONREAD,
                                                  b"\0\0\0\0"))[0]
            if left == 0:
                return
            if self.proc.poll() is not None:
                raise AssertionError(f"program ended ({self.proc.returncode}) with input unread")
            if time.monotonic() > deadline:
                raise AssertionError(f"the program did not read its input within {timeout} s")
            time.sleep(0.01)

    def check_again(self, start, timeout):
        """Asks for a check until one starts after `start`; returns where its trace begins.
        Requests made while the previous check still runs are dropped by the program."""
        deadline = time.monotonic() + timeout
        while True:
            self.press("c")
            try:
                end = self.wait_for(rb"----- FIND HOST -----\r\n", 0.5, start)
                return end - len(b"----- FIND HOST -----\r\n")
            except AssertionError:
                if time.monotonic() > deadline:
                    raise AssertionError(f"no new check within {timeout} s")

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        code = end_on_sigterm(self.proc, self.stop_timeout)
        for t in self.readers:
            t.join(timeout=5)
        return code


# ---- expected traces ---------------------------------------------------------------------

READS = rb"(?:FD_READ notification received\r\nCalling recv\(\)\r\n)+"

CONNECT = (
    rb"----- FIND HOST -----\r\n"
    rb"Calling WSAAsyncGetHostByName\(\) to find server\r\n"
    rb"SM_GETHOST message received\r\n"
    rb"WSAAsyncGetHostByName\(\) took \d+  milliseconds to complete\r\n"
    rb"Server found OK\r\n\r\n"
    rb"----- CONNECT TO HOST -----\r\n"
    rb"Calling socket\(AF_INET, SOCK_STREAM, 0\);\r\n"
    rb"Calling WSAAsyncSelect\(\)\r\n"
    rb"getservbyname\(\) took \d+ milliseconds to complete\r\n"
    rb"Calling connect\(\)\r\n"
    rb"\r\n----- PROCESS MESSAGES -----\r\n"
    rb"FD_CONNECT notification received\r\n"
    rb"FD_WRITE notification received\r\n"
)

LOGIN = (
    READS + rb"AppState = CONNECTING, sending USER\r\n" +
    READS + rb"AppState = USER, sending PASS\r\n"
)


def from_block(text):
    return rb"----- FROM -----\r\n" + re.escape(text) + rb"\r\n----- FROM -----\r\n"


# A reply to TOP longer than the receive buffer is read on to its end, with this one line.
LONG_REPLY = rb"Reply to TOP \d+ is longer than 4096 bytes, reading on to its end\r\n"


def dialogue(count, froms, merged=False, long_replies=False):
    """The whole trace of a good check: count from STAT, froms the From: texts traced. With
    merged, a reply may have come in the same receive as the one before it; with long_replies,
    a reply to TOP may be traced as long."""
    reads = READS
    if long_replies:
        reads = rb"(?:FD_READ notification received\r\nCalling recv\(\)\r\n(?:" + LONG_REPLY + rb")?)+"
    if merged:
        reads = reads[:-1] + b"*"
    p = CONNECT + reads + rb"AppState = CONNECTING, sending USER\r\n"
    p += reads + rb"AppState = USER, sending PASS\r\n"
    p += reads + rb"AppState = PASS, sending STAT\r\n"
    p += reads + rb"AppState = STAT, reading response\r\n----- RESULT -----\r\n"
    p += str(count).encode() + rb" messages \d+ bytes\r\n"
    if froms:
        p += rb"Sending TOP\r\n"
        for text in froms:
            p += reads + from_block(text)
    p += rb"Sending QUIT\r\n" + reads + rb"Host QUIT OK\r\nClosing socket\r\n"
    return p


def senders_traced(count):
    return [f"Sender {n} <sender{n}@example.com>\r\n".encode() for n in range(1, count + 1)]


# ---- servers -----------------------------------------------------------------------------


class ScriptServer:
    """tests/support/pop3_server.py, on 127.0.0.1:110 unless told otherwise."""

    def __init__(self, workdir, *args, listen="127.0.0.1:110"):
        self.log = os.path.join(workdir, "pop3_server.log")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "pop3_server.py"), "--listen", listen,
             "--user", USER, "--password", PASSWORD, "--log", self.log, *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.proc.stdout.readline()
        if not line.startswith(b"LISTENING"):
            self.proc.wait()
            raise RuntimeError("pop3_server.py did not start: " + line.decode(errors="replace"))

    def commands(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return f.read().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        self.proc.stdout.close()


def dovecot_server(workdir, count, password=PASSWORD, name="dovecot", tls=None):
    """Dovecot in workdir/name, started, with count messages from "Sender n"; tls as for
    dovecot.Dovecot."""
    server = dovecot.Dovecot(os.path.join(workdir, name), user=USER, password=password, tls=tls)
    server.start()
    senders = [f"Sender {n} <sender{n}@example.com>" for n in range(1, count + 1)]
    server.set_messages([dovecot.message(s, f"Message {i}") for i, s in enumerate(senders, 1)])
    return server


class LatencyProxy:
    """tests/support/latency_proxy.py: a relay to `to` that delays each direction by delay_ms."""

    def __init__(self, listen, to, delay_ms):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "latency_proxy.py"), "--listen", listen,
             "--to", to, "--delay-ms", str(delay_ms)], stdout=subprocess.PIPE)
        line = self.proc.stdout.readline()
        if not line.startswith(b"LISTENING"):
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("latency proxy did not start")
        self.port = int(line.split()[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)
