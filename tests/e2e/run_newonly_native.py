#!/usr/bin/env python3
"""End-to-end checks of the new-only option (NEWONLY: count only the messages not seen yet,
by UIDL) with the Linux program against Dovecot, GNU mailutils' pop3d and the scriptable
server, which knows no UIDL. Same driver conventions as run_pop3_native.py: one network
namespace per scenario, root needed (exit 77 otherwise).

    run_newonly_native.py --program build/linux/kestova --scenario dovecot
    run_newonly_native.py --program build/linux/kestova --scenario all
"""
import os
import poplib
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(os.path.dirname(HERE), "support")
sys.path.insert(0, SUPPORT)
sys.path.insert(0, HERE)

import dovecot  # noqa: E402
from native_program import (PASSWORD, USER, Program, dialogue, senders_traced)  # noqa: E402
from run_pop3_native import (Context, check_programs, mailutils_server, ordinary,  # noqa: E402
                             print_failure)
from scenario_runner import run_scenarios  # noqa: E402

CHECK_END = rb"Host QUIT OK\r\nClosing socket\r\n"


NO_UIDL_BOX = ("[KESTOVA] このサーバーはUIDLに対応していないため、新着メールだけを数えることが"
               "できません。すべてのメールを数えます。").encode()


def mail(sender, subject):
    return (f"From: {sender}\r\nTo: kestova@example.test\r\nSubject: {subject}\r\n\r\n"
            f"Body.\r\n").encode()


def put_mail(folder, *messages):
    """Adds messages to a directory the scriptable server reads at each connection."""
    os.makedirs(folder, exist_ok=True)
    for message in messages:
        with open(os.path.join(folder, "%04d" % len(os.listdir(folder))), "wb") as f:
            f.write(message)


def new_line(new, total):
    return f"UIDL: {new} of {total} messages are new\r\n".encode()


def sender(n):
    return f"Sender {n} <sender{n}@example.com>"


def one_check(p, start, timeout=30):
    """The trace of the check that starts at `start`, up to its end."""
    end = p.wait_for(CHECK_END, timeout, start)
    return p.trace()[start:end], end


def console(p):
    with p.cond:
        return bytes(p.out).decode("utf-8", "replace")


def wait_console(p, text, timeout=15):
    """Waits until standard output holds text (str)."""
    import time
    deadline = time.monotonic() + timeout
    while text not in console(p):
        if time.monotonic() > deadline or p.proc.poll() is not None:
            raise AssertionError(f"console lacks {text!r}:\n{console(p)[-1500:]}")
        time.sleep(0.1)


def froms_in(trace):
    """The From: texts of the replies to TOP the check read (one per TOP sent)."""
    return re.findall(rb"----- FROM -----\r\n(.*?)\r\n\r\n----- FROM -----", trace, re.S)


def restart(ctx, p, **settings):
    """Ends p and starts the program again over the same home (its list of seen messages)."""
    ctx.finish(p)
    again = Program(ctx.exe, p.dir, **settings).start()
    ctx.programs.append(again)
    ctx.cleanups.append(again.stop)
    return again


def seen_file(p):
    return os.path.join(p.dir, "home", ".local", "state", "kestova", "seen.dat")


def scenario_dovecot(ctx):
    """5 messages: a baseline (0 of 5, no TOP); 2 arrive: 2 of 7, TOP 6 and 7 only, [mail] and
    both senders; a restart still finds 2 of 7; after the mail program (m) 0 of 7 and
    [no mail]; a message deleted by another client leaves the list; a damaged list is said
    and makes a new baseline."""
    server = ctx.dovecot(5)
    p = ctx.program(newonly=1, mailer="/bin/true")
    trace, end = one_check(p, 0)
    assert new_line(0, 5) in trace, trace[-600:]
    assert b"UIDL: no list of seen messages yet: the 5 messages on the server are taken as seen" \
        in trace
    assert not froms_in(trace), "a TOP was sent at the baseline"
    wait_console(p, "0 new of 5 messages")
    wait_console(p, "no list of seen messages yet")
    assert "[no mail]" in console(p)
    assert os.path.exists(seen_file(p)), "the list was not saved"

    server.add_messages([dovecot.message(sender(6), "Message 6"),
                         dovecot.message(sender(7), "Message 7")])
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert new_line(2, 7) in trace, trace[-800:]
    assert froms_in(trace) == [sender(6).encode(), sender(7).encode()], froms_in(trace)
    wait_console(p, "2 new of 7 messages")
    assert "[mail]" in console(p)[console(p).rfind("0 new of 5"):]

    p = restart(ctx, p, newonly=1, mailer="/bin/true")
    trace, end = one_check(p, 0)
    assert new_line(2, 7) in trace, trace[-800:]
    wait_console(p, "2 new of 7 messages")

    at = len(console(p))
    p.press("m")
    trace, end = one_check(p, p.wait_for(rb"----- FIND HOST -----\r\n", 15, end) - 23)
    assert new_line(0, 7) in trace, trace[-800:]
    assert b"the mail program was started" in trace
    wait_console(p, "0 new of 7 messages")
    assert "[no mail]" in console(p)[at:], console(p)[at:]
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert new_line(0, 7) in trace

    # Another client deletes message 1: the list drops its ID, nothing counts as new.
    size_before = os.path.getsize(seen_file(p))
    other = poplib.POP3("127.0.0.1", 110, timeout=10)
    other.user(USER)
    other.pass_(PASSWORD)
    other.dele(1)
    other.quit()
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert new_line(0, 6) in trace, trace[-600:]
    wait_console(p, "0 new of 6 messages")  # the list is saved when the check has ended
    assert os.path.getsize(seen_file(p)) == size_before - 8, "the deleted ID stayed in the list"

    # A damaged list: said on the console and in the trace, and a new baseline.
    ctx.finish(p)
    with open(seen_file(p), "r+b") as f:
        f.seek(30)
        f.write(b"\xff\xff")
    p = restart(ctx, p, newonly=1)
    trace, end = one_check(p, 0)
    assert re.search(rb"seen\.dat is damaged \([a-zA-Z ]+\): a new baseline is taken\r\n",
                     p.trace()), p.trace()[:1500]
    assert new_line(0, 6) in trace
    wait_console(p, "a new baseline is taken")
    ctx.finish(p)


def scenario_absent(ctx):
    """NEWONLY absent or 0: the dialogue and the trace of today, no UIDL, no list written."""
    ctx.dovecot(3)
    for value in (None, 0):
        p = ctx.program(newonly=value)
        p.wait_for(dialogue(3, senders_traced(3)), 20)
        assert b"UIDL" not in p.trace()
        wait_console(p, "3 messages")
        assert " new of " not in console(p)
        ctx.finish(p)
        assert not os.path.exists(seen_file(p))


def scenario_no_uidl(ctx):
    """A server that answers UIDL with -ERR: said once in the trace, then every message counts
    with a TOP each, as without the option."""
    s = ctx.script_server("--count", "3")
    p = ctx.program(newonly=1)
    trace, end = one_check(p, 0)
    assert b"UIDL not supported, counting every message\r\n" in trace, trace[-800:]
    assert len(froms_in(trace)) == 3
    commands = s.commands()
    assert commands[3:] == [b"UIDL", b"TOP 1 0", b"TOP 2 0", b"TOP 3 0", b"QUIT"], commands
    wait_console(p, "check ")
    assert re.search(r"check \d\d:\d\d: 3 messages \(no UIDL on this server: every message "
                     r"counted\)", console(p)), console(p)
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert b"UIDL not supported" in trace
    # The box (on the console's error stream here) is shown at the first check only.
    assert p.trace().count(NO_UIDL_BOX) == 1, p.trace()[-1500:]
    ctx.finish(p)


def scenario_mailutils(ctx):
    """GNU mailutils' pop3d: a baseline of 3, then one more is the one new message."""
    server = mailutils_server(ctx)
    server.set_messages(ordinary(3))
    p = ctx.program(user=server.login, newonly=1)
    trace, end = one_check(p, 0)
    assert new_line(0, 3) in trace, trace[-800:]
    server.add_messages(ordinary(4)[3:])
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert new_line(1, 4) in trace, trace[-800:]
    assert froms_in(trace) == [b"Sender 4 <sender4@example.com>"], froms_in(trace)
    wait_console(p, "1 new of 4 messages")
    ctx.finish(p)


def scenario_empty(ctx):
    """An empty mailbox: 0 of 0, and the list is saved empty."""
    ctx.dovecot(0)
    p = ctx.program(newonly=1)
    trace, end = one_check(p, 0)
    assert new_line(0, 0) in trace, trace[-600:]
    wait_console(p, "0 new of 0 messages")
    ctx.finish(p)


def scenario_many(ctx):
    """50,000 messages: the listing streams through the 4,096-byte buffer; 2 more are new."""
    server = ctx.dovecot(0)
    server.set_messages([dovecot.message(f"S {n} <s{n}@example.com>") for n in range(50000)])
    p = ctx.program(newonly=1)
    trace, end = one_check(p, 0, timeout=120)
    assert new_line(0, 50000) in trace, trace[-600:]
    assert b"Reply to UIDL is longer than 4096 bytes, reading on to its end" in trace
    server.add_messages([dovecot.message(sender(1)), dovecot.message(sender(2))])
    start = p.check_again(end, 15)
    trace, end = one_check(p, start, timeout=120)
    assert new_line(2, 50002) in trace, trace[-600:]
    assert froms_in(trace) == [sender(1).encode(), sender(2).encode()], froms_in(trace)
    ctx.finish(p)


def scenario_duplicate_ids(ctx):
    """A server that gives identical header blocks one ID (popa3d): two more copies of a
    message seen are two new messages, fetched and counted."""
    folder = os.path.join(ctx.dir, "maildir")
    same = mail("Same <same@example.com>", "same")
    put_mail(folder, mail(sender(1), "one"), same, same)
    ctx.script_server("--maildir", folder, "--uidl", "headers")
    p = ctx.program(newonly=1)
    trace, end = one_check(p, 0)
    assert new_line(0, 3) in trace, trace[-800:]
    put_mail(folder, same, same)
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert new_line(2, 5) in trace, trace[-800:]
    assert froms_in(trace) == [b"Same <same@example.com>"] * 2, froms_in(trace)
    wait_console(p, "2 new of 5 messages")
    ctx.finish(p)


def scenario_long_ids(ctx):
    """IDs of 80 characters (beyond RFC 1939's 70): new mail still shows."""
    folder = os.path.join(ctx.dir, "maildir")
    put_mail(folder, mail(sender(1), "one"), mail(sender(2), "two"))
    ctx.script_server("--maildir", folder, "--uidl", "long")
    p = ctx.program(newonly=1)
    trace, end = one_check(p, 0)
    assert new_line(0, 2) in trace, trace[-800:]
    put_mail(folder, mail(sender(3), "three"))
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert new_line(1, 3) in trace, trace[-800:]
    wait_console(p, "1 new of 3 messages")
    ctx.finish(p)


def scenario_short_listing(ctx):
    """An empty listing against STAT 3 changes nothing: every message counted, no list saved;
    the next, whole listing takes the baseline."""
    ctx.script_server("--count", "3", "--uidl", "message", "--fault", "uidl=empty",
                      "--faulty-sessions", "1")
    p = ctx.program(newonly=1)
    trace, end = one_check(p, 0)
    assert b"UIDL: listing unusable (0 of 3 messages listed)" in trace, trace[-800:]
    assert len(froms_in(trace)) == 3
    wait_console(p, "3 messages (UIDL listing unusable: every message counted)")
    assert not os.path.exists(seen_file(p)), "a listing that covers nothing was saved"
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert new_line(0, 3) in trace, trace[-800:]
    wait_console(p, "0 new of 3 messages")
    ctx.finish(p)


def scenario_half_listing(ctx):
    """A long listing that stops halfway (the dot line after 1,500 of 3,000 messages): the
    program, which reads a long listing in large pieces, does not wait for the rest that never
    comes; the listing is unusable and every message counted, as with any short listing."""
    ctx.script_server("--count", "3000", "--uidl", "message", "--fault", "uidl=half")
    p = ctx.program(newonly=1)
    trace, end = one_check(p, 0)
    assert b"UIDL: listing unusable (1500 of 3000 messages listed)" in trace, trace[-800:]
    assert b"Server timed out" not in trace, trace[-800:]
    wait_console(p, "3000 messages (UIDL listing unusable: every message counted)")
    ctx.finish(p)


def scenario_silent_uidl(ctx):
    """A server that never answers UIDL: that check times out; the next ones do not ask it and
    count every message, said once, with the box once."""
    s = ctx.script_server("--count", "2", "--uidl", "message", "--fault", "uidl=silent")
    p = ctx.program(newonly=1)
    end = p.wait_for(rb"Server timed out\r\n", 100)
    assert b"UIDL: the server did not answer" in p.trace()
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert b"UIDL" not in trace, trace[-800:]
    assert len(froms_in(trace)) == 2
    wait_console(p, "2 messages (no UIDL on this server: every message counted)")
    wait_console(p, "the server did not answer UIDL")
    start = p.check_again(end, 15)
    trace, end = one_check(p, start)
    assert console(p).count("the server did not answer UIDL") == 1, console(p)
    assert p.trace().count(NO_UIDL_BOX) == 1, p.trace()[-1500:]
    assert s.commands().count(b"UIDL") == 1, s.commands()
    ctx.finish(p)


SCENARIOS = {
    "dovecot": scenario_dovecot,
    "absent": scenario_absent,
    "no_uidl": scenario_no_uidl,
    "mailutils": scenario_mailutils,
    "empty": scenario_empty,
    "many": scenario_many,
    "duplicate_ids": scenario_duplicate_ids,
    "long_ids": scenario_long_ids,
    "short_listing": scenario_short_listing,
    "half_listing": scenario_half_listing,
    "silent_uidl": scenario_silent_uidl,
}


def tools_for(names):
    return ["dovecot"] + (["pop3d"] if any(n.startswith("mailutils") for n in names) else [])


if __name__ == "__main__":
    sys.exit(run_scenarios(__file__, SCENARIOS,
                           lambda args, workdir: Context(os.path.abspath(args.program), workdir),
                           "kc-newonly", tools=tools_for, check=check_programs,
                           report=print_failure))
