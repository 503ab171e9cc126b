"""The notification of new mail (NOTIFY) and the check after a wake, for the Windows program
under Wine: the balloon after two arrivals (said in the trace; the screenshot keeps the screen, though
Wine's stand-alone tray window draws no balloon),
none for the baseline, a click on the balloon (NIN_BALLOONUSERCLICK through the icon's
callback) starting the mail program, and WM_POWERBROADCAST with PBT_APMRESUMEAUTOMATIC, sent
by the test, bringing a check about 10 s later."""
import os
import time

import dovecot
from harness import IDM_CHECK, IDM_EXIT, check, log
from scenarios import LAUNCHER, POLLER, TRAY, mailbox, settings, tail, wait_check_done

NIN_BALLOONUSERCLICK = 0x405
WM_POWERBROADCAST = 0x218
PBT_APMRESUMEAUTOMATIC = 0x12


def notify_wake(env):
    env.require(*POLLER, feature="the mailbox poller")
    env.require(*TRAY, feature="the tray icon")
    env.reg_delete()
    env.reg_import(settings(NOTIFY=1, MAILLER=env.mailer_win))
    env.server.start()
    env.server.set_messages(mailbox(1))
    program = env.start_program("notify")
    window = env.main_window()
    wait_check_done(env, program, 1, 30)
    check(b"New mail notification" not in program.text(), "a notification for the baseline")

    env.server.add_messages([dovecot.message("User 2 <u2@kc.jp>", "Message 2"),
                             dovecot.message("User 3 <u3@kc.jp>", "Message 3")])
    env.command(window, IDM_CHECK)
    wait_check_done(env, program, 2, 30)
    check(program.wait_trace(b"New mail notification: 3 messages\r\n", 5),
          f"no notification after two arrivals:\n{tail(program)}")
    time.sleep(1)  # the balloon is drawn
    env.screenshot("balloon")
    log("notification asked for; screenshot balloon.png")

    if env.has(*LAUNCHER):
        env.tray_event(window, NIN_BALLOONUSERCLICK)
        deadline = time.time() + 15
        while time.time() < deadline and not os.path.exists(env.mailer_log):
            time.sleep(0.2)
        check(os.path.exists(env.mailer_log), "a click on the balloon did not start the mailer")
        open(env.mailer_release, "w").close()
        wait_check_done(env, program, 3, 30)
        log("a click on the balloon started the mail program")
    checks = program.count(b"Host QUIT OK\r\n")

    woke = time.time()
    env.driver.send(window["hwnd"], WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0)
    check(program.wait_trace(b"Resumed from sleep: checking in 10 s\r\n", 5),
          f"the wake was not taken:\n{tail(program)}")
    wait_check_done(env, program, checks + 1, 30)
    took = time.time() - woke
    check(8 <= took <= 20, f"the check came {took:.1f} s after the wake")
    log(f"check {took:.1f} s after WM_POWERBROADCAST")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "the program did not end with 0")
