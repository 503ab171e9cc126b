#!/usr/bin/env python3
"""Fault matrix: the Linux program against a server that fails at every step in every way.

Rows are the steps of one check (the name lookup, the connect, the greeting, the replies to
USER, PASS, STAT, the first and a later TOP, QUIT); columns are the ways a server fails there:
it closes the connection, resets it, stays silent, answers -ERR, sends a line of garbage, or
sends 1 MiB without a line feed. In every cell:

  - the check ends the way the table below expects (a failure at once, or after the program's
    60-second limit for a silent server, or a completed dialogue where the fault is a reply the
    protocol takes as positive), and it ends once;
  - the cycle is idle again: the check key ("c" on standard input) starts a new check;
  - that check, against a healthy server, completes with the three senders;
  - it holds the same descriptors after the failed check as after the good one;
  - the server got no command after the fault but the QUIT a refusal calls for;
  - the program ends with exit code 0 on SIGTERM, with no sanitizer report.

The POP3 faults come from tests/support/pop3_server.py (--fault STEP=KIND --faulty-sessions 1,
so the second session is healthy). The lookup row asks a DNS server of this script's own
(the program runs in a mount namespace of its own whose /etc/resolv.conf names it): it answers
"no such name", stays silent, sends garbage, or has no port open (the datagram is refused).
The connect row uses a refused port and a listener whose accept queue is full, so that the
program's SYN is never answered. The handshake row is an account with TLS from the first byte
(port 995) whose server closes, resets, stays silent or sends garbage in place of the TLS
handshake; the program trusts the test CA through SSL_CERT_FILE. Cells that have no meaning for
a row are marked n/a.

Every cell has its own loopback address 127.0.0.N (the program connects to port 110 of its
server) and its own program instance, all in one network namespace. The silent cells run all
at once and wait out their 60 seconds together; the others take turns beside them.

    run_fault_matrix.py --program build/linux/kestova
    run_fault_matrix.py --program build/linux/kestova --cells greeting/close,top2/silent
    run_fault_matrix.py --program build/linux/kestova --valgrind    # every program under memcheck

Exit code 77 (skipped) when not root; 1 when unshare, ip or mount are missing (scripts/install-deps.sh installs them).
"""
import argparse
import os
import re
import socket
import struct
import sys
import threading
import time
import traceback
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

from native_program import (PASSWORD, SERVER_WAIT_S, USER, Program,  # noqa: E402
                            ScriptServer, dialogue, enter_network_namespace, senders_traced)
from processes import finish_work_dir, make_work_dir  # noqa: E402
from run_pop3_tls import tls_dialogue  # noqa: E402
from test_certs import TestCerts  # noqa: E402

KINDS = [("close", "close"), ("reset", "reset"), ("silent", "silent"), ("err", "-ERR"),
         ("garbage", "garbage"), ("nolf", "1 MiB no LF")]

# The steps of the POP3 dialogue as pop3_server.py names them.
DIALOGUE_STEPS = [("greeting", "greeting"), ("user", "USER"), ("pass", "PASS"), ("stat", "STAT"),
                  ("top1", "first TOP"), ("top2", "later TOP"), ("quit", "QUIT")]

# How the first check of each cell must end. Outcome labels are those of classify().
NOT_APPLICABLE = {
    ("lookup", "close"): "UDP: no connection to close",
    ("lookup", "nolf"): "UDP: no lines; a datagram is bounded",
    ("connect", "close"): "accepted, then closed: the greeting/close cell",
    ("connect", "err"): "no data at connect: the greeting row",
    ("connect", "garbage"): "no data at connect: the greeting row",
    ("connect", "nolf"): "no data at connect: the greeting row",
    ("handshake", "err"): "no POP3 reply in a handshake: the garbage cell",
    ("handshake", "nolf"): "no lines in a handshake: the garbage cell",
}
EXPECTED = {
    # The DNS server: "no such name", a refused port, no answer, an answer that is no DNS reply
    # (the resolver drops it, as it would a stray datagram).
    ("lookup", "err"): "lookup error 11001",
    ("lookup", "reset"): "lookup error 11002",
    ("lookup", "silent"): "timeout",
    ("lookup", "garbage"): "timeout",
    # A refused port; a SYN never answered.
    ("connect", "reset"): "connect error 10061",
    ("connect", "silent"): "timeout",
    # In place of the TLS handshake; a reset can come before the connect is reported.
    ("handshake", "close"): "handshake failed",
    ("handshake", "reset"): ("handshake failed", "connect error 10054"),
    ("handshake", "silent"): "timeout",
    ("handshake", "garbage"): "handshake failed",
}
for step, _ in DIALOGUE_STEPS:
    EXPECTED[(step, "close")] = "closed"
    EXPECTED[(step, "reset")] = "closed"
    EXPECTED[(step, "silent")] = "timeout"
    EXPECTED[(step, "err")] = "-ERR, QUIT ok"
    # A reply that does not start with '-' is positive: the dialogue goes on. A TOP reply
    # ends only at its terminator line, which garbage never brings.
    EXPECTED[(step, "garbage")] = "timeout" if step.startswith("top") else "QUIT ok"
    # A single line must fit the buffer; a reply to TOP may be of any length, so 1 MiB of it
    # is read on until the server falls silent.
    EXPECTED[(step, "nolf")] = "timeout" if step.startswith("top") else "overrun"
EXPECTED[("quit", "err")] = "QUIT refused"
# Garbage for PASS logs no one in: the server refuses the STAT that follows.
EXPECTED[("pass", "garbage")] = "-ERR, QUIT ok"
# A reset that comes before the program has seen its connect complete fails the connect.
EXPECTED[("greeting", "reset")] = ("closed", "connect error 10054")

ROWS = [("lookup", "lookup"), ("connect", "connect"), ("handshake", "TLS handshake")] + \
    DIALOGUE_STEPS

# Trace lines that end a check (the message box lines of the console are included).
ENDS = re.compile(
    rb"(?P<ok>Host QUIT OK\r\nClosing socket\r\n)"
    rb"|(?P<quitrefused>Negative response: QUIT command not supported\r\n)"
    rb"|(?P<closed>Connection closed by the server\r\n|\] Connection closed unexpectedly\n)"
    rb"|(?P<recverror>\] recv\(\) error: -?\d+\n)"
    rb"|(?P<timeout>Server timed out\r\n)"
    rb"|(?P<overrun>!!!!! Buffer overrun, data truncated\r\n)"
    rb"|(?P<handshake>TLS handshake failed: [^\r\n]*\r\n)"
    rb"|(?P<lookup>WSAAsyncGetHostByName\(\) error: (?P<lookupcode>\d+)(?: \(WSA\w+\))?\r\n)"
    rb"|(?P<connect>Could not connect to the server: (?P<connectcode>\d+)(?: \(WSA\w+\))?\r\n)"
    rb"|(?P<other>Error connecting\r\n|No IPv4 address for the server\r\n"
    rb"|Could not create a socket\r\n|WSAAsyncSelect\(\) failed\r\n)")

SANITIZER_REPORT = re.compile(rb"ERROR: (?:Address|Leak|Memory|Thread)Sanitizer|runtime error:")

FIND_HOST = b"----- FIND HOST -----\r\n"


def open_descriptors(pid):
    """What the process holds open, by kind (socket, pipe, ...): the same after every check,
    whatever became of it, so a failed check leaves no socket or resolver behind."""
    kinds = {}
    fd_dir = f"/proc/{pid}/fd"
    for name in os.listdir(fd_dir):
        try:
            target = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            continue
        kind = target.split(":", 1)[0] if ":" in target else "file"
        kinds[kind] = kinds.get(kind, 0) + 1
    return kinds


def outcome_of(match, segment):
    kind = match.lastgroup
    if kind == "lookupcode":
        kind = "lookup"
    if kind == "connectcode":
        kind = "connect"
    if kind == "ok":
        return "-ERR, QUIT ok" if b"Negative response: " in segment[:match.start()] else "QUIT ok"
    if kind == "lookup":
        return "lookup error " + match.group("lookupcode").decode()
    if kind == "connect":
        return "connect error " + match.group("connectcode").decode()
    return {"quitrefused": "QUIT refused", "recverror": "recv error",
            "handshake": "handshake failed"}.get(kind, kind)


def classify(segment):
    """The outcomes of every check end in one check's trace, in order."""
    return [outcome_of(m, segment) for m in ENDS.finditer(segment)]


COMMANDS = [b"USER " + USER.encode(), b"PASS " + PASSWORD.encode(), b"STAT", b"TOP 1 0",
            b"TOP 2 0", b"TOP 3 0", b"QUIT"]
# How many commands the program has sent when the reply of a step is due.
SENT_BEFORE = {"greeting": 0, "user": 1, "pass": 2, "stat": 3, "top1": 4, "top2": 5, "quit": 7}


def first_session(row, kind):
    """The commands the faulty session gets (as pop3_server.py logs them: a silent session
    reads and drops what it is sent)."""
    if row not in SENT_BEFORE:
        return []  # no session, or none that got a command
    n = SENT_BEFORE[row]
    if kind == "err":
        return COMMANDS[:n] if row == "quit" else COMMANDS[:n] + [b"QUIT"]
    if kind == "garbage":
        if row in ("greeting", "user", "quit"):
            return COMMANDS
        if row in ("pass", "stat"):
            return COMMANDS[:3] + [b"QUIT"]
    return COMMANDS[:n]


# ---- a DNS server for the lookup row ------------------------------------------------------


class DnsServer:
    """Answers A queries on addr:53/udp. Faulty modes: "nxdomain", "silent", "garbage", and
    "refused" (no socket at all, so the datagram is refused). heal() makes it answer with
    `address` from then on."""

    def __init__(self, addr, mode, address):
        self.addr = addr
        self.mode = mode
        self.address = socket.inet_aton(address)
        self.sock = None
        self.thread = None
        self.queries = 0
        if mode != "refused":
            self._open()

    def _open(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((self.addr, 53))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def heal(self):
        self.mode = "healthy"
        if self.sock is None:
            self._open()

    def _serve(self):
        sock = self.sock
        while True:
            try:
                query, peer = sock.recvfrom(2048)
            except OSError:
                return
            self.queries += 1
            reply = self.reply(query)
            if reply is not None:
                try:
                    sock.sendto(reply, peer)
                except OSError:
                    pass

    def reply(self, query):
        if len(query) < 12 or self.mode == "silent":
            return None
        qid = query[:2]
        end = 12
        while end < len(query) and query[end] != 0:
            end += 1 + query[end]
        question = query[12:end + 5]
        if self.mode == "garbage":
            return qid + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00\x8f\xa0 GARBAGE \x01\x7f~~"
        qtype = struct.unpack("!H", question[-4:-2])[0] if len(question) >= 5 else 0
        if self.mode == "nxdomain" or qtype != 1:
            rcode = 3 if self.mode == "nxdomain" else 0
            return qid + struct.pack("!HHHHH", 0x8180 | rcode, 1, 0, 0, 0) + question
        answer = b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 0, 4) + self.address
        return qid + struct.pack("!HHHHH", 0x8180, 1, 1, 0, 0) + question + answer

    def stop(self):
        if self.sock is not None:
            self.sock.close()


class FullListener:
    """A listener on addr:110 whose accept queue is full: a further SYN is never answered."""

    def __init__(self, addr):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((addr, 110))
        self.listener.listen(0)
        self.filler = socket.create_connection((addr, 110), timeout=5)

    def stop(self):
        self.filler.close()
        self.listener.close()


# ---- one cell ----------------------------------------------------------------------------

LOOKUP_NAME = "kc-fault-lookup.test"
LOOKUP_MODES = {"err": "nxdomain", "reset": "refused", "silent": "silent", "garbage": "garbage"}


class Cell:
    def __init__(self, row, kind, index, exe, workdir, tool=(), certs=None):
        self.tool = list(tool)
        self.certs = certs  # (certificate, key, trust bundle) for the handshake row
        self.row = row
        self.kind = kind
        expected = EXPECTED[(row, kind)]
        self.expected = expected if isinstance(expected, tuple) else (expected,)
        self.addr = f"127.0.0.{10 + index}"
        self.exe = exe
        self.dir = os.path.join(workdir, f"{row}-{kind}")
        os.makedirs(self.dir)
        self.slow = "timeout" in self.expected
        self.passed = False
        self.outcome = "-"
        self.ended_after = None
        self.error = None
        self.program = None
        self.server = None
        self.cleanups = []

    @property
    def name(self):
        return f"{self.row}/{self.kind}"

    def script_server(self, *args, port=110):
        self.server = ScriptServer(self.dir, "--count", "3", *args, listen=f"{self.addr}:{port}")
        self.cleanups.append(self.server.stop)
        return self.server

    def run(self):
        try:
            self._run()
            self.passed = True
        except Exception as e:  # noqa: BLE001 - a cell's failure is reported in the table
            self.error = f"{type(e).__name__}: {e}"
            if not isinstance(e, AssertionError):
                self.error += "\n" + traceback.format_exc()
        finally:
            for c in reversed(self.cleanups):
                try:
                    c()
                except Exception as e:  # noqa: BLE001 - cleanup goes on
                    self.error = (self.error or "") + f"\ncleanup: {e}"
                    self.passed = False
        return self

    def _run(self):
        heal = None
        wrapper = ()
        server_name = self.addr
        if self.row == "lookup":
            dns = DnsServer(self.addr, LOOKUP_MODES[self.kind], self.addr)
            self.cleanups.append(dns.stop)
            self.script_server()
            heal = dns.heal
            server_name = LOOKUP_NAME
            resolv = os.path.join(self.dir, "resolv.conf")
            with open(resolv, "w") as f:
                f.write(f"nameserver {self.addr}\n")
            # The program alone sees this resolver configuration.
            wrapper = ["unshare", "-m", "--propagation", "private", "--", "sh", "-c",
                       'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv]
        elif self.row == "connect":
            if self.kind == "silent":
                full = FullListener(self.addr)
                self.cleanups.append(full.stop)

                def heal():
                    full.stop()
                    self.script_server()
            else:
                def heal():
                    self.script_server()
        elif self.row == "handshake":
            cert, key, bundle = self.certs
            self.script_server("--tls", f"{cert},{key}", "--fault", f"handshake={self.kind}",
                               "--faulty-sessions", "1", port=995)
        else:
            self.script_server("--fault", f"{self.row}={self.kind}", "--faulty-sessions", "1")

        tls = {}
        healthy = dialogue(3, senders_traced(3))
        if self.row == "handshake":
            tls = {"ssl": 1, "env": {"SSL_CERT_FILE": self.certs[2]}}
            healthy = tls_dialogue(3, senders_traced(3), host=self.addr.encode())
        p = Program(self.exe, os.path.join(self.dir, "program"), server=server_name,
                    wrapper=list(wrapper) + self.tool, stop_timeout=60 if self.tool else 10, **tls)
        self.program = p
        started = time.monotonic()
        p.start()
        self.cleanups.append(p.stop)

        # The first check ends, once, and as expected.
        limit = SERVER_WAIT_S + 30 if self.slow else 30
        first = p.wait_for(re.escape(FIND_HOST), 20)
        p.wait_for(ENDS.pattern, limit, first)
        self.ended_after = time.monotonic() - started
        time.sleep(0.5)  # room for a second, wrong, end
        held_after_fault = open_descriptors(p.proc.pid)
        if heal is not None:
            heal()
        second = p.check_again(first, 20)
        ends = classify(p.trace()[first:second])
        self.outcome = ends[0] if ends else "-"
        assert len(ends) == 1, f"the check ended {len(ends)} times: {ends}"
        assert self.outcome in self.expected, \
            f"ended as {self.outcome!r}, expected {' or '.join(self.expected)}"
        if self.outcome == "timeout":
            assert self.ended_after >= SERVER_WAIT_S - 1, f"timed out after {self.ended_after:.1f} s"
        else:
            assert self.ended_after < SERVER_WAIT_S / 2, f"ended only after {self.ended_after:.1f} s"

        # The cycle was idle again; this check meets a healthy server.
        p.wait_for(healthy, 30, second)
        time.sleep(0.5)
        held_after_healthy = open_descriptors(p.proc.pid)
        assert held_after_fault == held_after_healthy, \
            f"open after the fault: {held_after_fault}; after a good check: {held_after_healthy}"
        code = p.stop()
        trace = p.trace()
        report = SANITIZER_REPORT.search(trace)
        assert report is None, "sanitizer report: " + trace[report.start():report.start() + 400].decode(
            "utf-8", "backslashreplace")
        assert code == 0, f"exit code {code} after SIGTERM, expected 0"
        assert PASSWORD.encode() not in trace, "the password is in the trace"

        # Nothing was sent after the fault but the QUIT a refusal calls for, and the good
        # check was the whole dialogue.
        commands = self.server.commands()
        # Over TLS the capabilities are asked first; the scriptable server has no CAPA.
        healthy = ([b"CAPA"] if self.row == "handshake" else []) + COMMANDS
        expected = first_session(self.row, self.kind) + healthy
        assert commands == expected, f"commands received: {commands}, expected {expected}"

    def text(self):
        text = ("PASS " if self.passed else "FAIL ") + self.outcome
        if self.outcome == "timeout" and self.ended_after is not None:
            text += f" {self.ended_after:.0f} s"
        return text


# ---- the table ---------------------------------------------------------------------------


def print_table(cells, seconds):
    by_key = {(c.row, c.kind): c for c in cells}
    table = []
    for row, label in ROWS:
        texts = []
        for kind, _ in KINDS:
            cell = by_key.get((row, kind))
            if (row, kind) in NOT_APPLICABLE:
                texts.append("n/a")
            elif cell is None:
                texts.append("(not run)")
            else:
                texts.append(cell.text())
        table.append([label] + texts)
    header = ["step"] + [label for _, label in KINDS]
    widths = [max(len(r[i]) for r in table + [header]) for i in range(len(header))]
    line = "+" + "+".join("-" * (w + 2) for w in widths) + "+"

    def show(texts):
        print("|" + "|".join(" " + t.ljust(w) + " " for t, w in zip(texts, widths)) + "|")

    print(line)
    show(header)
    print(line)
    for texts in table:
        show(texts)
    print(line)
    passed = sum(1 for c in cells if c.passed)
    print(f"{passed} of {len(cells)} cells passed in {seconds:.0f} s")
    print("n/a:")
    for (row, kind), why in NOT_APPLICABLE.items():
        print(f"  {row}/{kind}: {why}")


def all_cells():
    return [(row, kind) for row, _ in ROWS for kind, _ in KINDS if (row, kind) not in NOT_APPLICABLE]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--cells", default="all", help="all, or row/kind,row/kind,...")
    parser.add_argument("--keep", action="store_true", help="keep the work dir")
    parser.add_argument("--parallel", type=int, default=8,
                        help="cells that end at once run this many at a time")
    parser.add_argument("--valgrind", action="store_true",
                        help="run every program under valgrind memcheck (exit code 99 on errors)")
    args = parser.parse_args()
    keys = all_cells()
    if args.cells != "all":
        wanted = [tuple(c.split("/", 1)) for c in args.cells.split(",")]
        for key in wanted:
            if key not in keys:
                parser.error(f"no cell {'/'.join(key)}")
        keys = wanted

    code = enter_network_namespace(__file__, sys.argv[1:], tools=("unshare", "ip", "mount"))
    if code is not None:
        return code

    exe = os.path.abspath(args.program)
    workdir = make_work_dir("kc-fault-matrix-", 0o700)
    tool = []
    if args.valgrind:
        tool = ["valgrind", "--error-exitcode=99", "--leak-check=full",
                "--errors-for-leak-kinds=definite,indirect", "--log-fd=2"]
    certs = None
    if any(row == "handshake" for row, _ in keys):
        made = TestCerts(os.path.join(workdir, "certs"))
        addresses = [f"127.0.0.{10 + i}" for i in range(len(keys))]
        certs = (*made.server("cells", names=addresses), made.bundle())
    cells = [Cell(row, kind, i, exe, workdir, tool, certs) for i, (row, kind) in enumerate(keys)]
    started = time.monotonic()
    # The silent cells wait out the program's limit together; the others take turns beside them.
    slow = [c for c in cells if c.slow]
    fast = [c for c in cells if not c.slow]
    lock = threading.Lock()

    def run(cell):
        cell.run()
        with lock:
            print(f"{'PASS' if cell.passed else 'FAIL'} {cell.name}: {cell.outcome}"
                  + (f" after {cell.ended_after:.1f} s" if cell.ended_after is not None else ""),
                  flush=True)

    with ThreadPoolExecutor(max_workers=max(1, len(slow))) as slow_pool, \
            ThreadPoolExecutor(max_workers=max(1, args.parallel)) as fast_pool:
        futures = [slow_pool.submit(run, c) for c in slow] + [fast_pool.submit(run, c) for c in fast]
        for f in futures:
            f.result()
    seconds = time.monotonic() - started

    print()
    print_table(cells, seconds)
    failed = [c for c in cells if not c.passed]
    for c in failed:
        print()
        print(f"--- {c.name}: {c.error}")
        if c.program is not None:
            print(f"--- trace of {c.name} (last 4000 bytes) ---")
            print(c.program.trace()[-4000:].decode("utf-8", "backslashreplace"))
    finish_work_dir(workdir, args.keep, not failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
