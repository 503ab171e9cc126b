"""The check of several accounts under Wine: three accounts from the registry (the main key and
subkeys "2" and "3"), each on a Dovecot of its own, one over TLS from the first byte, two
new-only. The display shows the total and each account's senders under its label, the tooltip
one line per account, the icon the colour of the sum; with one server stopped the others' mail
is still shown and the failed account is named. Each new-only account keeps its own list of
seen messages."""
import glob
import os
import re
import shutil
import time

import dovecot
import lcd
from harness import IDM_CHECK, IDM_EXIT, check, log, regedit_escape
from scenarios import DISPLAY, POLLER, REGISTRY, TIP, TRAY, Parts, settings, tail
from scenarios_tls import TLS, trusted_bundle
from test_certs import TestCerts

PASSWORD = "Kest0va-pw"
# NAME of accounts 1 and 2; account 3 is labelled by its user. Long enough that the tooltip
# needs more than the 64 bytes of the first record layout. (Wine shows the whole 128-byte tip
# whatever cbSize says, so the record's size itself is left to the unit tests.)
HOME, WORK = "Home Mailbox", "ｼｺﾞﾄﾉﾒｰﾙ"
SECOND_USER, SECOND_PORT, SECOND_TLS_PORT = "second", 1110, 1995
THIRD_USER, THIRD_PORT = "thirduser", 2110
ERROR_WORD = "エラー"


def password_field(password, size=80):
    data = password.encode("cp932")[:size - 1]
    return bytes(b ^ 0xFF for b in data + b"\0" * (size - len(data)))


def import_accounts(env, main, subkeys):
    """The main key and the subkeys "2".. as one REGEDIT4 text, imported with `reg import` into
    the exe's view, as a user would import an export of another machine."""
    def value_lines(values):
        out = []
        for name, value in values.items():
            key = b'"' + name.encode() + b'"='
            if isinstance(value, int):
                out.append(key + b"dword:%08x" % (value & 0xFFFFFFFF))
            elif isinstance(value, bytes):
                out.append(key + b"hex:" + ",".join(f"{b:02x}" for b in value).encode())
            else:
                out.append(key + b'"' + regedit_escape(value) + b'"')
        return out

    lines = [b"REGEDIT4", b"", b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]"] + value_lines(main)
    for number, values in subkeys:
        lines += [b"", b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\%d]" % number]
        lines += value_lines(values)
    path = os.path.join(env.tmp, "accounts.reg")
    with open(path, "wb") as f:
        f.write(b"\r\n".join(lines) + b"\r\n")
    env.reg("import", path, env.reg_view())


def seen_files(env):
    found = glob.glob(os.path.join(env.prefix, "drive_c", "users", "*", "**", "KESTOVA",
                                   "seen*.dat"), recursive=True)
    return sorted(os.path.basename(p) for p in found)


def tip_lines(env, name):
    """The tooltip's lines, and a copy of its screenshot under `name`."""
    tip = env.tooltip()
    check(tip is not None, "no tooltip shown over the tray icon")
    shot = os.path.join(env.artifacts, "tooltip.png")
    if os.path.exists(shot):
        shutil.copy2(shot, os.path.join(env.artifacts, name + ".png"))
    return tip.replace("\r\n", "\n").split("\n")


def wait_tip(env, expected_accounts, timeout, name):
    """Reads the tooltip until its account lines are these (the icon is updated at the end of
    the whole check); returns every line."""
    deadline = time.time() + timeout
    while True:
        lines = tip_lines(env, name)
        if lines[1:] == expected_accounts or time.time() > deadline:
            return lines
        time.sleep(0.5)


def check_tip(lines, expected_accounts):
    size = len("\n".join(lines).encode("cp932"))
    check(size > 63, f"the tooltip of {size} bytes would fit the first record layout too")
    check(re.fullmatch(re.escape(TIP) + r" NextCheck\d\d:\d\d", lines[0]) is not None,
          f"the tooltip's first line {lines[0]!r}")
    check(lines[1:] == expected_accounts,
          f"the tooltip's account lines {lines[1:]!r}, expected {expected_accounts!r}")


def rows_shown(env, since):
    """The first row of every screen since index `since`, and the second row of the last."""
    f = env.lcd_files[-1]
    f.poll(time.time())
    screens = [rows for _, rows in f.settled_screens(time.time())][since:]
    rows = [lcd.row_text(a).rstrip() for a, _ in screens]
    if screens:
        rows.append(lcd.row_text(screens[-1][1]).rstrip())
    return rows


def wait_rows(env, since, expected, timeout):
    """Waits until the display has shown these rows in this order (a row may show on several
    pages); returns the rows seen."""
    deadline = time.time() + timeout
    while True:
        rows = rows_shown(env, since)
        pos, ok = 0, True
        for want in expected:
            try:
                pos = rows.index(want, pos) + 1
            except ValueError:
                ok = False
                break
        if ok or time.time() > deadline:
            return ok, rows
        time.sleep(0.5)


def screen_count(env):
    f = env.lcd_files[-1]
    f.poll(time.time())
    return len(f.settled_screens(time.time()))


def accounts_check(env):
    env.require(*POLLER, feature="the mailbox poller")
    env.require(*REGISTRY, feature="the settings store")
    env.require(*TLS, feature="TLS")
    parts = Parts(env)
    for path in glob.glob(os.path.join(env.prefix, "drive_c", "users", "*", "**", "KESTOVA",
                                       "seen*.dat"), recursive=True):
        os.remove(path)

    # Account 1: the harness's Dovecot on 110, new-only; account 2 a second Dovecot with its
    # own user, over TLS from the first byte on another port (its CA trusted the way a user's
    # system would, see scenarios_tls); account 3 a third one, new-only, labelled by its user.
    certs = TestCerts(os.path.join(env.tmp, "certs"))
    first = env.server
    first.start()
    first.set_messages([dovecot.message("Old One <old1@kc.jp>", "old")])
    second = dovecot.Dovecot(os.path.join(env.tmp, "dovecot2"), user=SECOND_USER,
                             password=PASSWORD, port=SECOND_PORT,
                             tls=certs.server("good"), tls_port=SECOND_TLS_PORT)
    third = dovecot.Dovecot(os.path.join(env.tmp, "dovecot3"), user=THIRD_USER,
                            password=PASSWORD, port=THIRD_PORT)
    with trusted_bundle(certs.bundle()):
        run_with(env, parts, first, second, third)
    parts.finish()


def run_with(env, parts, first, second, third):
    try:
        second.start()
        second.set_messages([dovecot.message("Bob <bob@kc.jp>", "B1"),
                             dovecot.message("Carol <carol@kc.jp>", "B2")])
        third.start()
        third.set_messages([dovecot.message("Old Three <old3@kc.jp>", "old")])
        run(env, parts, first, second, third)
    finally:
        for server, name in ((second, "dovecot2"), (third, "dovecot3")):
            with open(os.path.join(env.artifacts, name + ".log"), "w") as f:
                f.write(server.log_text())
            if server.proc is not None:
                server.stop()


def run(env, parts, first, second, third):
    env.reg_delete()
    import_accounts(env, settings(NEWONLY=1, NAME=HOME), [
        (2, {"SERVER": "localhost", "USER": SECOND_USER, "PASS": password_field(PASSWORD),
             "SSL": 1, "PORT": SECOND_TLS_PORT, "NAME": WORK}),
        (3, {"SERVER": "localhost", "USER": THIRD_USER, "PASS": password_field(PASSWORD),
             "PORT": THIRD_PORT, "NEWONLY": 1}),
    ])
    tray = parts.can(TRAY, "the icon and the tooltip")
    display = parts.can(DISPLAY, "the display")
    program = env.start_program("three")
    window = env.main_window()

    # The first check: the new-only accounts take what is there as seen; one connection after
    # the other, in account order.
    check(program.wait_trace(b"Host QUIT OK\r\n", 60, 3),
          f"the first check did not reach all three accounts:\n{tail(program, 4000)}")
    trace = program.text()
    check(b"Account " not in trace, f"an account was skipped:\n{tail(program, 4000)}")
    check(trace.count(b"UIDL: 0 of 1 messages are new\r\n") == 2,
          f"the two new-only baselines:\n{tail(program, 4000)}")
    check(PASSWORD.encode() not in trace, "a password reached the trace")
    logins = [server.log_lines(f"Login: user=<{user}>")
              for server, user in ((first, "kestova"), (second, SECOND_USER), (third, THIRD_USER))]
    check([len(x) for x in logins] == [1, 1, 1], f"logins per server: {logins}")
    check("TLS" in logins[1][0], f"account 2 did not log in over TLS: {logins[1]}")
    check(trace.count(b"TLS certificate accepted\r\n") == 1, "one TLS account, one handshake")
    if tray:
        lines = wait_tip(env, [f"{HOME} 0", f"{WORK} 2", f"{THIRD_USER} 0"], 15, "tip-first")
        check_tip(lines, [f"{HOME} 0", f"{WORK} 2", f"{THIRD_USER} 0"])
        colour, counts = env.wait_tray_colour("yellow", 10, "tray-first")
        check(colour == "yellow", f"the icon is {colour} {counts} for a sum of 2")
    stored = seen_files(env)
    check("seen.dat" in stored, f"no seen list of account 1: {stored}")
    hexed = [n for n in stored if re.fullmatch(r"seen-[0-9a-f]{16}\.dat", n)]
    check(len(hexed) == 1 and len(stored) == 2, f"seen lists after the first check: {stored}")
    log("seen lists:", stored)

    # New mail in each new-only box: the next check counts only that, each account its own.
    first.add_messages([dovecot.message("Alice <alice@kc.jp>", "A")])
    third.add_messages([dovecot.message("Dave <dave@kc.jp>", "D")])
    since = screen_count(env)
    checks = program.count(b"Host QUIT OK\r\n")
    env.command(window, IDM_CHECK)
    check(program.wait_trace(b"Host QUIT OK\r\n", 60, checks + 3),
          f"the second check did not reach all three accounts:\n{tail(program, 4000)}")
    check(program.count(b"UIDL: 1 of 2 messages are new\r\n") == 2,
          f"each new-only account did not find its one new message:\n{tail(program, 4000)}")
    expected_tip = [f"{HOME} 1", f"{WORK} 2", f"{THIRD_USER} 1"]
    if tray:
        lines = wait_tip(env, expected_tip, 15, "tooltip-accounts")
        check_tip(lines, expected_tip)
        log("tooltip with three accounts:", lines)
        colour, counts = env.wait_tray_colour("yellow", 10, "tray-second")
        check(colour == "yellow", f"the icon is {colour} {counts} for a sum of 4")
    if display:
        rows = ["E-Mail ｶﾞ 4ｹﾝ ﾄﾄ", HOME + ":", "1 : alice@kc.jp", WORK + ":", "1 : bob@kc.jp",
                "2 : carol@kc.jp", THIRD_USER + ":", "1 : dave@kc.jp"]
        ok, seen = wait_rows(env, since, rows, 90)
        check(ok, f"the display did not show {rows} in order; it showed {seen}")
        check("old1@kc.jp" not in " ".join(seen) and "old3@kc.jp" not in " ".join(seen),
              f"a seen message on the display: {seen}")
        log("display:", seen)

    # Account 2's server stops: the others' counts are still shown, the failure is named.
    second.stop()
    since = screen_count(env)
    checks = program.count(b"Host QUIT OK\r\n")
    env.command(window, IDM_CHECK)
    check(program.wait_trace(b"Host QUIT OK\r\n", 90, checks + 2),
          f"the third check did not reach accounts 1 and 3:\n{tail(program, 4000)}")
    failed_tip = [f"{HOME} 1", f"{WORK} {ERROR_WORD}", f"{THIRD_USER} 1"]
    if tray:
        lines = wait_tip(env, failed_tip, 20, "tip-failed")
        check_tip(lines, failed_tip)
        colour, counts = env.wait_tray_colour("yellow", 10, "tray-failed")
        check(colour == "yellow", f"the icon is {colour} {counts} for the others' sum of 2")
        log("tooltip with a failed account:", lines)
    if display:
        rows = ["E-Mail ｶﾞ 2ｹﾝ ﾄﾄ", HOME + ":", "1 : alice@kc.jp", WORK + ":", "POP3ｻｰﾊﾞｰｴﾗｰ",
                THIRD_USER + ":", "1 : dave@kc.jp"]
        ok, seen = wait_rows(env, since, rows, 90)
        check(ok, f"the display did not show {rows} in order; it showed {seen}")
        check("bob@kc.jp" not in " ".join(seen), f"the failed account's old senders: {seen}")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
