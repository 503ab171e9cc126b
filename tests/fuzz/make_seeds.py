#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

The seeds are small and each shows one meaningful case: the POP3 replies are those Dovecot 2.3
(Debian) sent in a recorded session, the settings files are what the Linux store and Windows'
regedit write, the descriptors are the HID fixtures of the unit tests, the paths those of the
launcher tests. Run it again after changing a target's input format; it replaces the corpora.
"""
import os
import shutil
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CORPUS = os.path.join(HERE, "corpus")

END = b"\xff"  # session and framing: the end of one receive


def ctl(x):
    """session: an event between the server's bytes."""
    return b"\xfe" + x


def fill(count16, byte):
    """session: one receive of count16 * 16 bytes `byte`."""
    return b"\xfeL" + struct.pack("<H", count16) + byte


# One session with Dovecot 2.3.19 (Debian), reply by reply, as received: greeting, USER, PASS,
# STAT, TOP 1 0, TOP 2 0, TOP 3 0, QUIT.
GREETING = b"+OK Dovecot (Debian) ready.\r\n"
USER_OK = b"+OK\r\n"
PASS_OK = b"+OK Logged in.\r\n"
STAT_3 = b"+OK 3 393\r\n"
TOPS = [
    b"+OK\r\nFrom: Alice <alice@example.org>\r\nTo: kestova@example.com\r\nSubject: Hello\r\n"
    b"Date: Mon, 07 Dec 2026 06:26:09 +0000\r\n\r\n.\r\n",
    b"+OK\r\nFrom: \"Carol Long\"\r\n <carol@example.org>\r\nTo: kestova@example.com\r\n"
    b"Subject: Folded\r\nDate: Mon, 07 Dec 2026 06:26:09 +0000\r\n\r\n.\r\n",
    b"+OK\r\nFrom: bob@example.org\r\nTo: kestova@example.com\r\nSubject: Plain\r\n"
    b"Date: Mon, 07 Dec 2026 06:26:09 +0000\r\nX-Note: From: not this\r\n\r\n.\r\n",
]
QUIT_OK = b"+OK Logging out.\r\n"
# The same server refusing the password, then ending the session.
PASS_FAILED = b"-ERR [AUTH] Authentication failed.\r\n"
QUIT_AFTER_FAILURE = b"+OK Logging out\r\n"

SESSION = [GREETING, USER_OK, PASS_OK, STAT_3] + TOPS + [QUIT_OK]


def by_reply(replies):
    return b"".join(r + END for r in replies)


def session_seeds():
    empty = [GREETING, USER_OK, PASS_OK, b"+OK 0 0\r\n", QUIT_OK]
    head = [GREETING, USER_OK, PASS_OK, STAT_3]
    bytewise = b"".join(bytes([b]) + END for b in b"".join(SESSION))
    # The end of a TOP reply split between receives, inside "\r\n.\r\n".
    split_end = by_reply(head) + b"".join(t[:-3] + END + t[-3:] + END for t in TOPS) + QUIT_OK
    many = by_reply([GREETING, USER_OK, PASS_OK, b"+OK 300 614400\r\n"] +
                    [b"+OK\r\n.\r\n"] * 255 + [QUIT_OK])
    events = (GREETING + END + ctl(b"W") + USER_OK + ctl(b"q") + PASS_OK + END + ctl(b"w") +
              STAT_3 + END + ctl(b"T") + ctl(b"p") + TOPS[0] + END + ctl(b"k") + ctl(b"o") +
              TOPS[1] + TOPS[2] + END + QUIT_OK + END)
    return {
        "dovecot_three_messages": by_reply(SESSION),
        "dovecot_one_receive": b"".join(SESSION),
        "dovecot_byte_by_byte": bytewise,
        "dovecot_split_terminator": split_end,
        "dovecot_empty_mailbox": by_reply(empty),
        "dovecot_password_refused": by_reply([GREETING, USER_OK, PASS_FAILED, QUIT_AFTER_FAILURE]),
        "err_greeting": by_reply([b"-ERR not now\r\n", QUIT_OK]),
        "err_stat": by_reply([GREETING, USER_OK, PASS_OK, b"-ERR\r\n", QUIT_OK]),
        "err_top": by_reply(head + [TOPS[0], b"-ERR no such message\r\n", QUIT_OK]),
        "err_quit": by_reply(head[:3] + [b"+OK 0 0\r\n", b"-ERR\r\n"]),
        "close_mid_top": by_reply(head) + TOPS[0][:40] + END + ctl(b"c"),
        "reset_after_pass": by_reply(head[:3]) + ctl(b"r"),
        "silent_after_stat": by_reply(head) + ctl(b"t"),
        "nolf_1mib": by_reply([GREETING, USER_OK]) + fill(0xFFFF, b"A"),
        "top_over_4096": by_reply(head) + b"+OK\r\nFrom: a@b\r\nX-Long: " + fill(256, b"x"),
        "nul_inside": by_reply([GREETING, b"+OK\x00junk\r\n", PASS_OK, b"+OK 1 5\r\n"]) +
                      b"+OK\r\nFrom: <x@\x00y>\r\n\r\n.\r\n" + END + QUIT_OK + END,
        "garbage": by_reply([b"\x89PNG\r\n\x1a\n", b"\r\n", b"+OK 1 1 1\r\n"]),
        "table_full_255": many,
        "events_between": events,
        "trailing_after_quit": b"".join(SESSION) + b"+OK extra\r\n-ERR more\r\n" + END,
        # Another check asked for once this one has ended: not sent (it would be a new check).
        "check_asked_after_end": by_reply(SESSION) + ctl(b"k") + b"+OK late\r\n" + END,
    }


def tls_session_seeds():
    """The secure session: a mode byte (1 STLS, 2 certificate refused, 4 CERTPIN), then the
    plaintext the server sends; 0xFE h is its answer to the hello once STLS was agreed."""
    implicit, stls, refused, pinned = b"\x00", b"\x01", b"\x02", b"\x04"
    capa = b"+OK\r\nUSER\r\nPIPELINING\r\nSASL PLAIN\r\n.\r\n"
    login = [GREETING, capa, USER_OK, PASS_OK, STAT_3]
    batch = b"".join(TOPS) + QUIT_OK
    stls_ok = b"+OK Begin TLS negotiation now.\r\n"
    return {
        "implicit_pipelined": implicit + by_reply(login) + batch + END,
        "implicit_batch_by_reply": implicit + by_reply(login + TOPS + [QUIT_OK]),
        "implicit_batch_byte_by_byte": implicit + by_reply(login) + batch + ctl(b"b"),
        "implicit_records_merged": implicit + b"".join(r + ctl(b"m") for r in login) + batch + END,
        "implicit_no_pipelining": implicit + by_reply(
            [GREETING, b"+OK\r\nUSER\r\n.\r\n", USER_OK, PASS_OK, STAT_3] + TOPS + [QUIT_OK]),
        "implicit_capa_refused": implicit + by_reply(
            [GREETING, b"-ERR Unknown command.\r\n", USER_OK, PASS_OK, b"+OK 0 0\r\n", QUIT_OK]),
        "err_in_batch": implicit + by_reply(login) + TOPS[0] + b"-ERR no such message\r\n" +
                        TOPS[2] + QUIT_OK + END,
        "close_notify_in_batch": implicit + by_reply(login) + TOPS[0] + END + ctl(b"n"),
        "password_refused_echo": implicit + by_reply(
            [GREETING, capa, USER_OK, b"-ERR \x1b]0;s3cre\x07 is wrong\r\n", QUIT_OK]),
        "escape_in_from": implicit + by_reply(
            [GREETING, capa, USER_OK, PASS_OK, b"+OK 1 90\r\n",
             b"+OK\r\nFrom: \x1b]0;title\x07\x1b[2J <x@y>\r\n\r\n.\r\n", QUIT_OK]),
        "stls_pipelined": stls + by_reply([GREETING, stls_ok]) + ctl(b"h") + by_reply(
            login[1:]) + batch + END,
        # What the server adds in the clear after agreeing to STLS is not taken as a reply.
        "stls_injected": stls + GREETING + END + stls_ok + b"+OK injected\r\n" + END +
                         ctl(b"h") + by_reply(login[1:]) + batch + END,
        "stls_refused": stls + by_reply([GREETING, b"-ERR TLS not available\r\n", QUIT_OK]),
        "stls_bad_handshake": stls + by_reply([GREETING, stls_ok]) + ctl(b"H"),
        "certificate_refused": refused + by_reply(login) + batch + END,
        "pinned": pinned + by_reply(login) + batch + END,
        "pin_of_another": bytes([2 | 4]) + by_reply(login) + batch + END,
        "silent_in_batch": implicit + by_reply(login) + TOPS[0] + END + ctl(b"t"),
    }


def framing_seeds():
    # Modes of the dialogue's responses: 4 single lines, 3 TOP replies, QUIT: bits 0-3 and 7.
    tape = bytes([1, 0b10001111])
    return {
        "dovecot_by_reply": tape + by_reply(SESSION),
        "dovecot_one_receive": tape + b"".join(SESSION),
        "err_in_multiline": bytes([1, 0b11101111]) + by_reply(
            [GREETING, USER_OK, PASS_OK, STAT_3, b"-ERR no\r\n", QUIT_OK]),
        "split_terminator": bytes([1, 0]) + b"".join(t[:-3] + END + t[-3:] + END for t in TOPS),
        "overflow": b"\x00" + b"+OK " + b"\xfd" + struct.pack("<H", 4093) + b"A" + END + b"\r\n" +
                    END,
        "nul_and_escapes": b"\x00+OK\x00tail\r\n" + END + b"\xfe\xff\xfe\xfe\r\n" + END,
        # A reply to TOP of 9,000 bytes, From: last, in two receives.
        "long_reply": bytes([1, 0b11111110]) + b"+OK\r\nX: " + b"\xfd" +
                      struct.pack("<H", 6000) + b"a" + b"\r\nY: " + b"\xfd" +
                      struct.pack("<H", 2950) + b"b" + END + b"\r\nFrom: <a@b>\r\n\r\n.\r\n" +
                      b"+OK bye\r\n" + END,
    }


def sender_seeds():
    out = {"dovecot_top%d" % (i + 1): t[:-5] for i, t in enumerate(TOPS)}
    out.update({
        "folded_tab": b"+OK\r\nFrom: Dave\r\n\t<dave@example.org>\r\nTo: x\r\n",
        "no_space": b"+OK\r\nFrom:x@example.org\r\nSender: y\r\n",
        "open_bracket_only": b"+OK\r\nFrom: <broken@example.org\r\n",
        "bare_lf": b"+OK\nFrom: a@b\nTo: c\n",
        "no_from": b"+OK\r\nTo: kestova@example.com\r\n",
        "long_sender": b"+OK\r\nFrom: <" + b"s" * 300 + b"@example.org>\r\n",
        "kanji_name": b"+OK\r\nFrom: \x83\x5c\x95\x5c <k@example.jp>\r\n",
        "upper_case_crcrlf": b"+OK\r\r\nFROM:\tA\r\r\n <a@b>\r\r\nMessage-ID:<x@y>\r\r\n",
        "nul_in_header": b"+OK\r\nX: \x00\r\nfrom:<c@\x00d>\r\n\r\nFrom: body@x\r\n",
    })
    return out


def stat_seeds():
    texts = [b"+OK 3 393", b"+OK 0 0", b"+OK 2147483647 1", b"+OK 2147483648 1", b"+OK -1 5",
             b"+OK 1 -5", b"+OK 12", b"  +OK\t7\x0b8", b"+OK +5 +6", b"-ERR",
             b"+OK 99999999999999999999999 99999999999999999999999", b"+OK 0x10 5"]
    return {"stat_%02d" % i: t for i, t in enumerate(texts)}


def uidl_seeds():
    """The first byte picks the piece size; a stored list of three IDs is among them."""
    import struct
    listings = [b"+OK\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n2 QhdPYR:00WBw1Ph7x7", b"+OK",
                b"+OK 2 messages\r\n1 a\r\ngarbage\r\n\r\n2 " + b"x" * 200,
                b"+OK\r\n2147483648 a\r\n0 b\r\n3 \x7f\r\n4 ok \r\n"]
    out = {"uidl_%02d" % i: bytes([k]) + t for i, (k, t) in enumerate(zip((0, 3, 7, 255), listings))}

    def fnv(data, h=0xcbf29ce484222325):
        for b in data:
            h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
        return h
    body = b"KCSEEN1\n" + struct.pack("<QII", 7, 3, 0) + struct.pack("<3Q", 1, 2, 3)
    out["stored_list"] = bytes([5]) + body + struct.pack("<Q", fnv(body))
    return out


class Fdp:
    """Builds input for FuzzedDataProvider: strings from the front, numbers from the back."""

    def __init__(self):
        self.front = b""
        self.back = []  # bytes in the order they are consumed

    def number(self, raw, nbytes):
        self.back += list(raw.to_bytes(nbytes, "big"))

    def string(self, s):
        self.front += s.replace(b"\\", b"\\\\") + b"\\ "

    def data(self):
        return self.front + bytes(reversed(self.back))


def report_seed(count, lst, senders, choice=0, when=(2026, 11, 7, 6, 26, 9, 1)):
    f = Fdp()
    f.number(choice, 1)
    f.number(count + 2, 2)  # count in -2..300
    f.number(1 if lst else 0, 1)
    year, month, mday, hour, minute, sec, wday = when
    f.number(year - 1970, 2)
    for v, low in ((month, 0), (mday, 1), (hour, 0), (minute, 0), (sec, 0), (wday, 0)):
        f.number(v - low, 1)
    for s in senders:
        f.string(s)
    return f.data()


def report_seeds():
    return {
        "three_listed": report_seed(3, True, [b"alice@example.org", b"carol@example.org",
                                              b"bob@example.org"]),
        "list_off": report_seed(2, False, [b"alice@example.org", b"bob@example.org"]),
        "full_table": report_seed(300, True, [b"x" * 255], choice=4),
        "zero": report_seed(0, True, []),
    }


def regedit_seeds():
    def hexbytes(data, head):
        # The store's form: folded as regedit folds, a line reaching 77 columns.
        out, column = head, len(head)
        for i, b in enumerate(data):
            out += "%02x" % b
            if i + 1 == len(data):
                break
            out += ","
            column += 3
            if column >= 77:
                out += "\\\r\n  "
                column = 2
        return out + "\r\n"

    def sz(text, size):
        return (text + b"\0" * size)[:size]

    store = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n" +
             hexbytes(sz(b"pop.example.jp", 255), '"SERVER"=hex(1):') +
             hexbytes(sz(b"bob", 80), '"USER"=hex(1):') +
             hexbytes(bytes(b ^ 0xFF for b in sz(b"s3cret", 80)), '"PASS"=hex:') +
             '"TIME"=dword:0000001e\r\n"LIST"=dword:00000001\r\n"LED"=dword:00000001\r\n' +
             hexbytes(sz(b"C:\\Mail\\mail.exe -check", 260), '"MAILLER"=hex(1):') + "\r\n")
    regedit = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"SERVER\"=\"not this\"\r\n"
               "\r\n; the program's own key\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n"
               "\"SERVER\"=\"pop.example.jp\"\r\n"
               "\"PATH\"=\"C:\\\\Program Files\\\\Mail \\\"x\\\"\"\r\n"
               "\"PASS\"=hex:9e,9d,9c,ff,ff,\\\r\n  FF , ff,ff\r\n\"TIME\"=dword:0000001E\r\n"
               "@=hex(0):\r\n\"LED\"=-\r\n\r\n")
    removed = ("REGEDIT4\n\n[hkey_local_machine\\software\\kestova]\n\"TIME\"=dword:00000001\n"
               "\"time\"=dword:00000002\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\n\"LIST\"=hex(4):01,00,00,00\n")
    pin = ("3A:9F:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:01:23:45:67:89:AB:CD:EF:10:32:"
           "54:76:98:BA")
    secure = "\r\n".join(["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]",
                           '"SERVER"="pop.example.jp"', '"USER"="taro"', '"PASS"=hex:9e,9d,9c,ff',
                           '"SSL"=hex(b):01,00,00,00,00,00,00,00', '"PORT"="995"',
                           '"CERTPIN"="' + pin + " " * 200 + '"', ""])
    return {
        "store_defaults": store.encode("latin-1"),
        "regedit_export": regedit.encode("latin-1"),
        "lf_case_and_removal": removed.encode("latin-1"),
        "truncated_fold": b"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\r\n"
                          b"\"PASS\"=hex:9e,9d,\\\r\n",
        # Connection values of other types, and a pin with blanks after it.
        "secure_values": secure.encode("latin-1"),
    }


def descriptor_seeds():
    out = {}
    fixtures = os.path.join(ROOT, "tests", "fixtures")
    for name in sorted(os.listdir(fixtures)):
        if not name.endswith(".hex"):
            continue
        data = bytearray()
        with open(os.path.join(fixtures, name)) as f:
            for line in f:
                data += bytes(int(w, 16) for w in line.split("#")[0].split())
        out[name[:-4]] = bytes(data)
    # Push and Pop around a report ID, and a long item.
    out["push_pop_long"] = bytes([0x06, 0x00, 0xFF, 0xA1, 0x01, 0x75, 0x08, 0xA4, 0x85, 0x02,
                                  0x95, 0x08, 0x91, 0x02, 0xB4, 0x95, 0x40, 0x81, 0x02, 0xFE,
                                  0x02, 0x10, 0xAA, 0xBB, 0xC0])
    return out


def split_path_seeds():
    paths = [b"C:\\Mail\\mail.exe", b"C:\\Mail\\mail.exe -check", b"C:\\Mail\\mail.exe /check",
             b"C:\\Mail\\mail.exe -f a.cfg", b"\"C:\\Mail\\mail.exe\" -check",
             b"C:\\Mail\\mailer -x", b"mail.exe -check", b"C:\\\x95\x5c\\mail.exe -check",
             b"C:\\Mail\\mail.exe -\x83\x5c", b"C:\\Mail\\mail.exe -\x83",
             b"n" * 257 + b".e", b"C:\\" + b"d" * 250 + b"\\m.exe",
             b"C:\\Mail\\mail.exe -" + b"x" * 300, b"/usr/bin/thunderbird -mail"]
    return {"path_%02d" % i: p for i, p in enumerate(paths)}


def lcd_rows_seeds():
    checking = "E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ".encode("cp932")
    report = ("E-Mail ｶﾞ 3ｹﾝ ﾄﾄﾞｲﾃｲﾏｽ(".encode("cp932") + b"Mon Dec 07 06:26:09 2026\n)\n" +
              b"1 : alice@example.org\n2 : carol@example.org\n3 : bob@example.org\n")
    return {
        "checking_notice": checking,
        "report_three": report,
        "four_rows": b"r0\nr1\nr2\nr3\n",
        "tail_without_break": b"r0\nr1\nr2\ntail",
        "exact_16_then_break": b"0123456789ABCDEF\nX\n",
        "texts_in_turn": checking + b"\0" + report + b"\0" + "POP3ｻｰﾊﾞｰｴﾗｰ".encode("cp932"),
        "long_report": report + b"".join(b"%d : sender%d@example.org\n" % (i, i)
                                         for i in range(4, 40)),
    }


def main():
    seeds = {
        "session": session_seeds(),
        "tls_session": tls_session_seeds(),
        "framing": framing_seeds(),
        "sender": sender_seeds(),
        "stat": stat_seeds(),
        "uidl": uidl_seeds(),
        "report": report_seeds(),
        "regedit": regedit_seeds(),
        "report_descriptor": descriptor_seeds(),
        "split_path": split_path_seeds(),
        "lcd_rows": lcd_rows_seeds(),
    }
    for target, files in seeds.items():
        folder = os.path.join(CORPUS, target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
