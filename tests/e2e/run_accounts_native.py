#!/usr/bin/env python3
"""End-to-end checks of several accounts with the Linux program: two Dovecot users (the second
over TLS from the first byte) and one GNU mailutils pop3d user (new-only) in one settings file,
the simulated display read by lcd_screen. One network namespace per scenario (root; exit 77
otherwise); 1 when unshare, ip, dovecot, openssl or pop3d are missing
(scripts/install-deps.sh installs them).

    run_accounts_native.py --program build/linux/kestova --screen build/linux/tests/lcd_screen \
        --scenario three
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
import mailutils  # noqa: E402
from lcd import Lines  # noqa: E402
from native_program import (PASSWORD, USER, Program, _hex, dialogue,  # noqa: E402
                            senders_traced)
from scenario_runner import ScenarioContext, run_scenarios  # noqa: E402
from test_certs import TestCerts  # noqa: E402

SECOND_USER = "second"
TLS_PORT = 995
MAILUTILS_PORT = 2110
WORK = "ｼｺﾞﾄ"  # account 2's NAME, half-width katakana
CHECK_END = rb"Host QUIT OK\r\nClosing socket\r\n"


def subkey(number, server, user, password, ssl=None, port=None, newonly=None, name=None):
    """Account `number`'s section of the settings file, as regedit exports a subkey."""
    pw = bytes(b ^ 0xFF for b in password.encode()[:79] + bytes(80 - len(password.encode()[:79])))
    lines = ["", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\%d]" % number,
             '"SERVER"=hex(1):' + _hex(server.encode(), 255),
             '"USER"=hex(1):' + _hex(user.encode(), 80),
             '"PASS"=hex:' + ",".join("%02x" % b for b in pw)]
    if ssl is not None:
        lines.append('"SSL"=dword:%08x' % ssl)
    if port is not None:
        lines.append('"PORT"=dword:%08x' % port)
    if newonly is not None:
        lines.append('"NEWONLY"=dword:%08x' % newonly)
    if name is not None:
        lines.append('"NAME"=hex(1):' + _hex(name.encode("cp932"), 17))
    return "\r\n".join(lines) + "\r\n"


def add_name(path, name):
    """Account 1's NAME in the main key, the file's only section so far."""
    with open(path, newline="") as f:
        text = f.read()
    line = '"NAME"=hex(1):' + _hex(name.encode("cp932"), 17)
    with open(path, "w", newline="") as f:
        f.write(text.rstrip("\r\n") + "\r\n" + line + "\r\n")


class Context(ScenarioContext):
    def __init__(self, exe, screen_exe, workdir):
        super().__init__(workdir)
        self.exe = exe
        self.screen_exe = screen_exe
        self.programs = []
        self.servers = []
        self.certs = TestCerts(os.path.join(workdir, "certs"))

    def servers_up(self):
        """Dovecot for USER (plain, 110: one message), Dovecot for SECOND_USER (TLS on 995:
        two), mailutils for its user (2110: one)."""
        first = dovecot.Dovecot(os.path.join(self.dir, "dovecot1"), user=USER, password=PASSWORD)
        first.start()
        self.cleanups.append(first.stop)
        first.set_messages([dovecot.message("Alice <alice@example.com>", "A")])
        second = dovecot.Dovecot(os.path.join(self.dir, "dovecot2"), user=SECOND_USER,
                                 password=PASSWORD, port=1110, tls=self.certs.server("good"),
                                 tls_port=TLS_PORT)
        second.start()
        self.cleanups.append(second.stop)
        second.set_messages([dovecot.message("Bob <bob@example.com>", "B1"),
                             dovecot.message("Carol <carol@example.com>", "B2")])
        third = mailutils.Pop3d(os.path.join(self.dir, "mailutils"), user="third",
                                password=PASSWORD, port=MAILUTILS_PORT)
        third.start()
        self.cleanups.append(third.stop)
        third.set_messages([b"From: Dave <dave@example.com>\r\nSubject: C\r\n\r\nHi.\r\n"])
        self.servers = [first, second, third]
        return first, second, third

    def program(self, accounts=True):
        tree = os.path.join(self.dir, f"lcd{len(self.programs)}")
        subprocess.run([self.screen_exe, "--make-tree", tree], check=True,
                       stdout=subprocess.DEVNULL)
        viewer = subprocess.Popen([self.screen_exe, "--tree", tree, "--oneline"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: (viewer.kill(), viewer.wait()))
        env = {"SSL_CERT_FILE": self.certs.bundle(),
               "SSL_CERT_DIR": os.path.join(self.dir, "no-dir"),
               "KESTOVA_SYSFS_ROOT": os.path.join(tree, "sys"),
               "KESTOVA_DEV_ROOT": os.path.join(tree, "dev")}
        p = Program(self.exe, os.path.join(self.dir, f"p{len(self.programs)}"), env=env)
        if accounts:
            add_name(p.settings, "Home")
            with open(p.settings, "a", newline="") as f:
                f.write(subkey(2, "localhost", SECOND_USER, PASSWORD, ssl=1, port=TLS_PORT,
                               name=WORK))
                f.write(subkey(3, "localhost", self.servers[2].login, PASSWORD,
                               port=MAILUTILS_PORT, newonly=1))
        p.start()
        p.screens = Lines(viewer.stdout)
        self.programs.append(p)
        self.cleanups.append(p.stop)
        return p


def console(p):
    with p.cond:
        return bytes(p.out).decode("utf-8", "replace")


def wait_console(p, pattern, timeout=30, start=0):
    """Waits until standard output from `start` matches pattern (str regex); the match."""
    deadline = time.monotonic() + timeout
    while True:
        m = re.compile(pattern).search(console(p), start)
        if m:
            return m
        if time.monotonic() > deadline or p.proc.poll() is not None:
            raise AssertionError(f"console lacks {pattern!r}:\n{console(p)[-2000:]}")
        time.sleep(0.1)


def rows_until(p, last_row, timeout, start):
    """The screens from index start until one whose second row is last_row (paging moves one
    row a page)."""
    i, _, _ = p.screens.wait_match(lambda t: t.endswith("[" + last_row.ljust(16) + "]"), timeout,
                                   start, repr(last_row))
    return p.screens.texts()[start:i + 1], i


def scenario_three(ctx):
    """The three accounts in turn, each over its own connection; the total on the display and
    in the outcome line, each account's line on the console, its senders under its label on the
    display. Then the first server stops: the others' counts still shown, the failure named."""
    first, second, third = ctx.servers_up()
    p = ctx.program()
    # One check: the three connections one after the other.
    p.wait_for(CHECK_END, 60, count=3)
    m = wait_console(p, r"check \d\d:\d\d: total 3\n")
    out = console(p)[:m.end()]
    assert "Home: 1 message\n" in out, out
    assert f"{WORK}: 2 messages\n" in out, out
    assert "third: 0 new of 1 message\n" in out, out  # the new-only baseline
    assert out.index("Home:") < out.index(WORK + ":") < out.index("third:"), out
    assert second.log_lines("Login: user=<%s>" % SECOND_USER), second.log_text()[-1500:]
    assert all("TLS" in line for line in second.log_lines("Login: user=<%s>" % SECOND_USER))
    assert "[mail]" in out, out
    # The display: the total first, then each account's senders under its label.
    i, _, _ = p.screens.wait_match(lambda t: t.startswith("[E-Mail ｶﾞ 3ｹﾝ ﾄﾄ][ﾞｲﾃｲﾏｽ("), 30, 0,
                                   "the total")
    shown, j = rows_until(p, "2 : carol@exampl", 120, i)
    rows = [s[1:17].rstrip() for s in shown] + [shown[-1][19:35].rstrip()]
    expected = ["Home:", "1 : alice@exampl", WORK + ":", "1 : bob@example."]
    at = [rows.index(r) for r in expected]
    assert at == sorted(at), rows

    # The first server stops: the next check still shows the others' mail and names the failure.
    first.stop()
    start = len(console(p))
    p.press("c")
    m = wait_console(p, r"check \d\d:\d\d: total 2, 1 of 3 accounts failed\n", 90, start)
    out = console(p)[start:m.end()]
    assert re.search(r"Home: (connection refused|.*refused)", out), out
    assert f"{WORK}: 2 messages\n" in out, out
    k, _, _ = p.screens.wait_match(lambda t: t.startswith("[E-Mail ｶﾞ 2ｹﾝ ﾄﾄ]"), 60, j + 1,
                                   "the total of the two")
    shown, _ = rows_until(p, "POP3ｻｰﾊﾞｰｴﾗｰ", 120, k)
    rows = [s[1:17].rstrip() for s in shown] + [shown[-1][19:35].rstrip()]
    assert rows[-2:] == ["Home:", "POP3ｻｰﾊﾞｰｴﾗｰ"], rows
    ctx.finish(p)


def scenario_one(ctx):
    """A key with one account: the dialogue, the trace and the console of one account, with no
    account's line or label."""
    ctx.servers_up()
    p = ctx.program(accounts=False)
    p.wait_for(dialogue(1, [b"Alice <alice@example.com>\r\n"]), 30)
    m = wait_console(p, r"check \d\d:\d\d: 1 message\n")
    out = console(p)[:m.end()]
    assert "total" not in out and "Home" not in out, out
    assert b"Account " not in p.trace()
    p.screens.wait_match(lambda t: t.startswith("[E-Mail ｶﾞ 1ｹﾝ ﾄﾄ][ﾞｲﾃｲﾏｽ("), 30, 0, "the report")
    ctx.finish(p)


SCENARIOS = {"three": scenario_three, "one": scenario_one}


def print_failure(ctx):
    for i, p in enumerate(ctx.programs):
        print(f"--- console of program {i} ---")
        print(console(p)[-3000:])
        print(f"--- trace of program {i} (last 4000 bytes) ---")
        print(p.trace()[-4000:].decode("cp932", "backslashreplace"))
        print("--- screens ---")
        print("\n".join(p.screens.texts()))
    for s in ctx.servers:
        print(f"--- {s.dir} log ---")
        print(s.log_text()[-2000:])


def screen_option(parser):
    parser.add_argument("--screen", required=True, help="the lcd_screen program")


if __name__ == "__main__":
    sys.exit(run_scenarios(
        __file__, SCENARIOS,
        lambda args, workdir: Context(os.path.abspath(args.program), os.path.abspath(args.screen),
                                      workdir),
        "kc-accounts", tools=lambda names: ["dovecot", "openssl", "pop3d"],
        report=print_failure, extra_options=screen_option))
