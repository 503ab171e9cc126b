"""The new-only option (NEWONLY, UIDL) of the Windows program under Wine: the baseline, the
report of the new messages only on the simulated display after a restart, the check after the
mail program taking everything as seen, the menu item "既読にする" only with the option on and
what it marks, the dialogue of old without it."""
import glob
import os
import subprocess
import sys
import time

import dovecot
from harness import IDM_CHECK, IDM_EXIT, WM_LBUTTONDBLCLK, check, log
from scenarios import (DISPLAY, LAUNCHER, MENU, MENU_ITEMS, PASSWORD, POLLER, USER, Parts,
                       check_display_report, mailbox, message_box, read_menu, settings, tail,
                       wait_check_done, wait_no_menu)

IDM_MARKSEEN = 40004
BOX_NO_UIDL = ("このサーバーはUIDLに対応していないため、新着メールだけを数えることができません。"
               "すべてのメールを数えます。")
POP3_SERVER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support",
                           "pop3_server.py")
VK_ESCAPE = 0x1B


def menu_items(env, window):
    popup, items = read_menu(env, window)
    got = [None if it["type"] & 0x800 else (it["text"], int(it["id"])) for it in items]
    env.driver.key(popup["hwnd"], VK_ESCAPE)
    check(wait_no_menu(env, 5), "menu stayed open")
    return got


def seen_files(env):
    return glob.glob(os.path.join(env.prefix, "drive_c", "users", "*", "**", "KESTOVA",
                                  "seen.dat"), recursive=True)


def run(env, name):
    program = env.start_program(name)
    return program, env.main_window()


def newonly(env):
    env.require(*POLLER, feature="the mailbox poller")
    env.require(*MENU, feature="the tray menu")
    parts = Parts(env)
    for path in seen_files(env):
        os.remove(path)
    env.reg_delete()
    env.reg_import(settings(NEWONLY=1, MAILLER=env.mailer_win))
    env.server.start()
    env.server.set_messages(mailbox(5))

    # A first start: every message is taken as seen, no header fetched.
    program, window = run(env, "baseline")
    wait_check_done(env, program, 1, 30)
    trace = program.text()
    check(b"UIDL: no list of seen messages yet: the 5 messages on the server are taken as seen"
          in trace, f"no baseline in the trace:\n{tail(program)}")
    check(b"UIDL: 0 of 5 messages are new\r\n" in trace, f"trace:\n{tail(program)}")
    check(b"----- FROM -----" not in trace, "a header was fetched at the baseline")
    got = menu_items(env, window)
    expected = [MENU_ITEMS[0], ("既読にする", IDM_MARKSEEN)] + MENU_ITEMS[1:]
    check(got == expected, f"menu items {got}, expected {expected}")
    log("menu with the option:", got)
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "the program did not end with 0")
    stored = seen_files(env)
    check(len(stored) == 1, f"list of seen messages: {stored}")
    log("seen list stored at", stored[0])

    # Two arrive; a new start reports them alone, on the display too.
    env.server.add_messages([dovecot.message("User 6 <u6@kc.jp>", "Message 6"),
                             dovecot.message("User 7 <u7@kc.jp>", "Message 7")])
    env.new_display_file()
    started = time.time()
    program, window = run(env, "two-new")
    wait_check_done(env, program, 1, 30)
    done = time.time()
    trace = program.text()
    check(b"UIDL: 2 of 7 messages are new\r\n" in trace, f"trace:\n{tail(program)}")
    check(trace.count(b"----- FROM -----") == 4, "headers of other messages were fetched")
    check(b"u6@kc.jp" in trace and b"u7@kc.jp" in trace, "the new senders are not traced")
    if parts.can(DISPLAY, "the display"):
        check_display_report(env, program, started, done, ["u6@kc.jp", "u7@kc.jp"])

    # The mail program from the icon: the check after it takes everything as seen.
    if env.has(*LAUNCHER):
        env.tray_event(window, WM_LBUTTONDBLCLK)
        deadline = time.time() + 15
        while time.time() < deadline and not os.path.exists(env.mailer_log):
            time.sleep(0.2)
        check(os.path.exists(env.mailer_log), "the mail program did not start")
        open(env.mailer_release, "w").close()
        wait_check_done(env, program, 2, 30)
        after = program.text()[len(trace):]
        check(b"UIDL: the mail program was started: the 7 messages on the server are taken as "
              b"seen\r\n" in after and b"UIDL: 0 of 7 messages are new\r\n" in after,
              f"trace:\n{tail(program)}")
        log("the check after the mail program: 0 of 7")
    checks = program.count(b"Host QUIT OK\r\n")

    # One more arrives; the menu item marks it seen at once, without a check; the next check
    # finds none.
    env.server.add_messages([dovecot.message("User 8 <u8@kc.jp>", "Message 8")])
    env.command(window, IDM_CHECK)
    wait_check_done(env, program, checks + 1, 30)
    check(b"UIDL: 1 of 8 messages are new\r\n" in program.text(), f"trace:\n{tail(program)}")
    env.command(window, IDM_MARKSEEN)
    check(program.wait_trace(b"8 messages marked as seen\r\n", 10),
          f"the menu item did not mark:\n{tail(program)}")
    check(program.count(b"----- FIND HOST -----") == checks + 1, "marking ran a check")
    env.command(window, IDM_CHECK)
    wait_check_done(env, program, checks + 2, 30)
    check(program.text().count(b"UIDL: 0 of 8 messages are new\r\n") == 1,
          f"trace:\n{tail(program)}")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "the program did not end with 0")

    # Without the option: no UIDL, the menu of old.
    env.reg_delete()
    env.reg_import(settings())
    program, window = run(env, "without")
    wait_check_done(env, program, 1, 30)
    check(b"UIDL" not in program.text(), "UIDL without the option")
    got = menu_items(env, window)
    check(got == MENU_ITEMS, f"menu items {got} without the option")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "the program did not end with 0")
    parts.finish()


def newonly_no_uidl(env):
    """A server without UIDL (the scriptable server in place of Dovecot): every message is
    counted, and one box says so at the first check only; a check while it is open opens no
    second box, nor does a check after it was closed."""
    env.require(*POLLER, feature="the mailbox poller")
    if env.server is not None:
        env.server.stop()
        env.server = None
    server = subprocess.Popen([sys.executable, POP3_SERVER, "--listen", "127.0.0.1:110", "--user",
                               USER, "--password", PASSWORD, "--count", "2"],
                              stdout=subprocess.PIPE)
    try:
        check(server.stdout.readline().startswith(b"LISTENING"), "the scriptable server did not start")
        env.reg_delete()
        env.reg_import(settings(NEWONLY=1))
        program, window = run(env, "no_uidl")
        refused = b"UIDL not supported, counting every message\r\n"
        check(program.wait_trace(refused, 40), f"no refusal traced:\n{tail(program)}")
        found = message_box(env, 10)
        check(found is not None and BOX_NO_UIDL in found[1], f"box {found!r}")
        box, texts, buttons = found
        env.command(window, IDM_CHECK)
        check(program.wait_trace(refused, 40, 2), f"no second check:\n{tail(program)}")
        time.sleep(1)
        boxes = [w for w in env.driver.windows("#32770", "KESTOVA") if w["visible"]]
        check(len(boxes) == 1, f"{len(boxes)} boxes open after two checks")
        env.driver.click([b for b in buttons if b["text"] == "OK"][0]["hwnd"])
        check(env.driver.wait_window("#32770", "KESTOVA", 10, gone=True) is not None,
              "the box did not close")
        env.command(window, IDM_CHECK)
        check(program.wait_trace(refused, 40, 3), f"no third check:\n{tail(program)}")
        time.sleep(1)
        check(not env.driver.wait_window("#32770", "KESTOVA", 2),
              "a box opened again at a later check")
        env.command(window, IDM_EXIT)
        check(program.wait(15) == 0, "the program did not end with 0")
    finally:
        server.terminate()
        server.wait(10)
