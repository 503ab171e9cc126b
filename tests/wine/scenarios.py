"""The scenarios of the Windows program under Wine. Each takes a started harness.Env and either
returns (passed), raises harness.Skip (a part of the program it needs is not built yet) or
raises an assertion (failed)."""
import datetime
import os
import poplib
import re
import subprocess
import time

import harness
from harness import (APP, IDM_CHECK, IDM_EXIT, IDM_PROPERTIES, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN,
                     check, complement, log)
import dovecot
import lcd
import real_mail

SERVER = "localhost"
USER = "kestova"
PASSWORD = "Kest0va-pw"

DIALOG_CAPTION = "KESTOVA の 設定"
INCOMPLETE_TEXT = "全ての項目が設定されていません"
LCD_CHECKING = "E-Mail ｦ ﾁｪｯｸｼﾃｲﾏｽ"
LCD_NO_MAIL = "E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏｾﾝ"
LCD_SERVER_ERROR = "POP3ｻｰﾊﾞｰｴﾗｰ"
TIP = "OMBRIX コントロール"

# Features of the build, by what the exe imports.
REGISTRY = ("RegQueryValueExA", "RegSetValueExA")
POLLER = ("WSAAsyncGetHostByName", "WSAAsyncSelect")
TRAY = ("Shell_NotifyIconA",)
MENU = ("TrackPopupMenu",)
DIALOG = ("DialogBoxParamA",)
DISPLAY = ("SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA")
LAUNCHER = ("CreateProcessA", "WaitForSingleObject")

WS_DISABLED = 0x08000000
WS_TABSTOP = 0x00010000
WS_GROUP = 0x00020000
WS_BORDER = 0x00800000
WS_VISIBLE = 0x10000000
WS_CHILD = 0x40000000
ES_PASSWORD = 0x20
ES_AUTOHSCROLL = 0x80
ES_NUMBER = 0x2000
BS_DEFPUSHBUTTON = 0x1
BS_AUTOCHECKBOX = 0x3
SS_CENTERIMAGE = 0x200
CBS_DROPDOWNLIST = 0x3
WS_EX_RIGHT = 0x1000
WS_EX_CLIENTEDGE = 0x200
VK_RETURN, VK_ESCAPE, VK_DOWN = 0x0D, 0x1B, 0x28


def settings(**overrides):
    values = {"SERVER": SERVER, "USER": USER, "PASS": complement(PASSWORD), "TIME": 30,
              "LIST": 1, "LED": 1, "MAILLER": ""}
    values.update(overrides)
    return values


def mailbox(count, domain="kc.jp"):
    return [dovecot.message(f"User {i + 1} <u{i + 1}@{domain}>", f"Message {i + 1}")
            for i in range(count)]


def stat_of(password=PASSWORD):
    """What the server answers to STAT, asked directly."""
    p = poplib.POP3("127.0.0.1", 110, timeout=10)
    try:
        p.user(USER)
        p.pass_(password)
        return p.stat()
    finally:
        p.quit()


def in_order(text, parts):
    """True when the byte strings occur in text in this order; else the first one missing."""
    pos = 0
    for part in parts:
        i = text.find(part, pos)
        if i < 0:
            return part
        pos = i + len(part)
    return True


class Parts:
    """Parts of a scenario that need a feature not yet built are left out and reported; the
    scenario then ends as skipped once everything it could check has passed."""

    def __init__(self, env):
        self.env = env
        self.left_out = []

    def can(self, features, what):
        missing = [n for n in features if not self.env.has(n)]
        if missing:
            self.left_out.append(f"{what} (no {', '.join(missing)} yet)")
            log(f"left out: {what}")
            return False
        return True

    def finish(self):
        if self.left_out:
            raise harness.Skip("left out: " + "; ".join(self.left_out))


def start_with_settings(env, values=None, messages=None, server=True):
    env.reg_delete()
    env.reg_import(values or settings())
    if server:
        env.server.start()
        env.server.set_messages(messages if messages is not None else [])
    program = env.start_program()
    window = env.main_window()
    return program, window


def wait_hidden(env, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        recs = env.driver.windows(APP, APP)
        if recs and not recs[0]["visible"]:
            return recs[0]
        time.sleep(0.2)
    return None


def dialogs_of(env):
    return [w for w in env.driver.windows("#32770") if w["visible"]]


def wait_check_done(env, program, count=1, timeout=30):
    """Waits for the end of the count-th completed POP3 dialogue."""
    check(program.wait_trace(b"Host QUIT OK\r\n", timeout, count),
          f"check {count} did not end within {timeout} s; trace:\n{tail(program)}")


def tail(program, n=1500):
    return program.text()[-n:].decode("cp932", errors="replace")


def message_box(env, timeout=10):
    recs = env.driver.wait_window("#32770", "KESTOVA", timeout)
    if not recs:
        return None
    box = recs[0]
    kids = env.driver.children(box["hwnd"])
    texts = [k["text"] for k in kids if k["class"].lower() == "static" and k["text"]]
    buttons = [k for k in kids if k["class"].lower() == "button"]
    return box, texts, buttons


# -- 1. lifecycle ------------------------------------------------------------------------------

def lifecycle(env):
    """Starts hidden; settings from the registry load (no dialog); the display is found and
    initialised; a second start ends with -1 at once while the first goes on unchanged;
    IDM_EXIT ends with 0; a new start afterwards runs, here without any display."""
    parts = Parts(env)
    first, window = start_with_settings(env, messages=mailbox(1))
    hidden = wait_hidden(env)
    check(hidden is not None, "the main window did not end up hidden")
    check(hidden["rect"][2] - hidden["rect"][0] <= 200, f"unexpected window size {hidden['rect']}")
    poller = False
    if parts.can(REGISTRY, "settings loaded from the registry, so no dialog"):
        time.sleep(2)
        boxes = [w for w in dialogs_of(env) if w["pid"] == window["pid"]]
        check(not boxes, f"a dialog appeared although the settings were complete: {boxes}")
        if parts.can(POLLER, "the first check right after start"):
            poller = True
            wait_check_done(env, first, 1, 15)
    if parts.can(DISPLAY, "the display search and initialisation"):
        check_display_search(env, first)

    start = time.time()
    second = env.start_program("second")
    code = second.wait(20)
    took = time.time() - start
    check(code == 255, f"second start ended with {code}, expected -1 (255)")
    check(took < 10, f"second start took {took:.1f} s")
    log(f"second start ended with -1 after {took:.1f} s")
    check(second.text() == b"", "the second start traced something (it searched for a display?)")
    check(first.running(), "the first instance ended when the second started")
    again = env.driver.windows(APP, APP)
    check(len(again) == 1 and again[0]["hwnd"] == window["hwnd"],
          f"the first instance's window changed: {again}")
    check(not again[0]["visible"], "the first instance's window became visible")
    if poller:
        # It goes on working: a check on request runs as before.
        env.command(window, IDM_CHECK)
        wait_check_done(env, first, 2, 15)

    env.command(window, IDM_EXIT)
    code = first.wait(15)
    check(code == 0, f"IDM_EXIT ended the program with {code}, expected 0")
    check(env.driver.wait_window(APP, APP, 5, gone=True) is not None, "window still there")

    # The guard was released: a new start runs normally and ends normally. Only the other HID
    # device is present this time: the program runs on without a display and without a box.
    env.wenv["KC_HID_SIM_DEVICE"] = ""
    third = env.start_program("third")
    window = env.main_window()
    check(wait_hidden(env) is not None, "the new start's window did not end up hidden")
    if poller:
        wait_check_done(env, third, 1, 15)
    else:
        time.sleep(2)
    check(third.running(), "a start after a normal exit did not run")
    boxes = [w for w in dialogs_of(env) if w["pid"] == window["pid"]]
    check(not boxes, f"a message box appeared without a display: {boxes}")
    check(b"Product ID: 2a07" not in third.text(), "a display was traced although none is present")
    check(os.path.getsize(env.decoy) == 0, "the program wrote to the other HID device")
    env.command(window, IDM_EXIT)
    check(third.wait(15) == 0, "the new start did not end with 0")
    parts.finish()


INIT_SEQUENCE = [(0, 0x01), (0, 0x30), (0, 0x08), (0, 0x06), (0, 0x38), (0, 0x0C), (0, 0x06)]


def check_display_search(env, program):
    """The search as the library sees it (record sizes of this build's platform), the trace
    lines of the two interfaces, the decoy left alone, and the controller's initialisation."""
    with open(env.sim_log) as f:
        calls = f.read().splitlines()
    data_size, detail_size = (28, 5) if env.arch == "i686" else (32, 8)
    expected = [
        "HidD_GetHidGuid",
        "SetupDiGetClassDevsA hid=1 enumerator=0 parent=0 flags=0x12",
        f"SetupDiEnumDeviceInterfaces index=0 cbSize={data_size} devinfo=0",
        "SetupDiGetDeviceInterfaceDetailA buffer=0 size=0 cbSize=0 devinfo=0",
        f"SetupDiGetDeviceInterfaceDetailA buffer=1 size=",
        "HidD_GetAttributes size=12 product=0x0001",
        f"SetupDiEnumDeviceInterfaces index=1 cbSize={data_size} devinfo=0",
        "SetupDiGetDeviceInterfaceDetailA buffer=0 size=0 cbSize=0 devinfo=0",
        f"SetupDiGetDeviceInterfaceDetailA buffer=1 size=",
        "HidD_GetAttributes size=12 product=0x2a07",
    ]
    pos = 0
    for want in expected:
        while pos < len(calls) and not calls[pos].startswith(want):
            pos += 1
        check(pos < len(calls), f"the search lacks {want!r}; calls:\n" + "\n".join(calls))
        if want.endswith("size="):
            check(calls[pos].endswith(f"cbSize={detail_size} devinfo=0"), f"detail record: {calls[pos]}")
        pos += 1
    check(not any(c.startswith("SetupDiEnumDeviceInterfaces index=2") for c in calls),
          "the search went on after the display was found")
    check(any(c.startswith("HidP_GetCaps") for c in calls), "the report lengths were not asked for")
    trace = program.text()
    decoy = f"DevicePath : {env.win_path(env.decoy)} \n".encode()
    device = f"DevicePath : {env.win_path(env.lcd_files[0].path)} \n".encode()
    missing = in_order(trace, [
        decoy, b" Structure size: 0c  Vendor ID: 5e1c  Product ID: 0001  Version Number: 0100 \n",
        device, b" Structure size: 0c  Vendor ID: 5e1c  Product ID: 2a07  Version Number: 0100 \n"])
    check(missing is True, f"device search trace lacks {missing!r}")
    check(os.path.getsize(env.decoy) == 0, "the program wrote to the other HID device")
    f = env.lcd_files[0]
    f.poll(time.time())
    check(f.reports >= 21, f"only {f.reports} reports reached the display")
    check(f.lcd.latches[:7] == INIT_SEQUENCE, f"initialisation {f.lcd.latches[:7]}")
    check(not f.bad_reports, f"malformed reports: {f.bad_reports[:5]}")
    log(f"display: found after the other interface, initialised, {f.reports} reports of "
        f"{lcd.REPORT_LENGTH} bytes")


# -- a. first start without settings -----------------------------------------------------------

# The template's controls in tab order: ID, class, text, styles that must be set, styles that
# must not be set.
DIALOG_CONTROLS = [
    (1, "button", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, WS_DISABLED),
    (2, "button", "ｷｬﾝｾﾙ", WS_TABSTOP, WS_DISABLED | BS_DEFPUSHBUTTON),
    (1000, "edit", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, ES_PASSWORD | ES_NUMBER | WS_DISABLED),
    (1002, "edit", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, ES_PASSWORD | ES_NUMBER | WS_DISABLED),
    (1004, "edit", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, ES_NUMBER | WS_DISABLED),
    (1005, "button", "送信先リストを表示する", WS_TABSTOP | BS_AUTOCHECKBOX, WS_DISABLED),
    (1007, "button", "LED自動点灯", WS_TABSTOP | BS_AUTOCHECKBOX | WS_DISABLED, 0),
    (1008, "edit", "30", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_NUMBER, ES_PASSWORD | WS_DISABLED),
    (1006, "edit", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, ES_PASSWORD | ES_NUMBER | WS_DISABLED),
    # The one addition, last: the button of the second dialog, 詳細設定.
    (1020, "button", "詳細設定", WS_TABSTOP, WS_DISABLED | BS_DEFPUSHBUTTON),
]
DIALOG_LABELS = ["POP3サーバーネーム", "メーラー", "アカウント", "チェック間隔", "分おきにチェックする",
                 "パスワード"]


def first_start(env):
    """No settings: the dialog opens with the template's controls; an OK without password
    warns and keeps the dialog; a complete OK writes the registry exactly; a check follows."""
    env.require(*DIALOG, feature="the settings dialog")
    env.require(*REGISTRY, feature="the settings store")
    parts = Parts(env)
    env.reg_delete()
    env.server.start()
    env.server.set_messages(mailbox(2))
    program = env.start_program()
    recs = env.driver.wait_window("#32770", DIALOG_CAPTION, 20)
    check(recs, "the settings dialog did not open at a first start")
    dlg = recs[0]
    window = env.main_window()
    check(dlg["pid"] == window["pid"], "the dialog belongs to another process")
    style = dlg["style"]
    for bit, name in ((0x80000000, "WS_POPUP"), (0x00C00000, "WS_CAPTION"),
                      (0x00080000, "WS_SYSMENU"), (0x80, "DS_MODALFRAME")):
        check(style & bit == bit, f"dialog style {style:08x} lacks {name}")
    check(style & 0x00040000 == 0, "the dialog is resizable")
    time.sleep(0.5)
    env.screenshot("settings-dialog", crop=pad_rect(dlg["rect"], 0))

    kids = env.driver.children(dlg["hwnd"])
    by_id = {k["id"]: k for k in kids if k["id"] not in (-1, 65535)}
    tab_order = [k["id"] for k in kids if k["style"] & WS_TABSTOP]
    check(tab_order == [c[0] for c in DIALOG_CONTROLS],
          f"tab order {tab_order}, expected {[c[0] for c in DIALOG_CONTROLS]}")
    for cid, cls, text, must, must_not in DIALOG_CONTROLS:
        k = by_id[cid]
        if must & WS_BORDER and k["exstyle"] & WS_EX_CLIENTEDGE:
            must &= ~WS_BORDER  # an edit control draws its border as a client edge
        check(k["class"].lower() == cls, f"control {cid} is a {k['class']}")
        check(k["text"] == text, f"control {cid} shows {k['text']!r}, expected {text!r}")
        check(k["style"] & must == must, f"control {cid} style {k['style']:08x} lacks {must:08x}")
        check(k["style"] & must_not == 0, f"control {cid} style {k['style']:08x} has {must_not:08x}")
        check(k["style"] & (WS_CHILD | WS_VISIBLE) == WS_CHILD | WS_VISIBLE,
              f"control {cid} is not a visible child")
    check(env.driver.checked(by_id[1005]["hwnd"]) == 1, "the list box is not checked at start")
    check(env.driver.checked(by_id[1007]["hwnd"]) == 1, "the LED box is not checked at start")
    check(not by_id[1007]["enabled"], "the LED box can be changed")
    labels = [k for k in kids if k["id"] in (-1, 65535)]
    check(sorted(k["text"] for k in labels) == sorted(DIALOG_LABELS),
          f"labels {[k['text'] for k in labels]}")
    for k in labels:
        check(k["class"].lower() == "static", f"label {k['text']} is a {k['class']}")
        check(k["style"] & (WS_GROUP | SS_CENTERIMAGE) == WS_GROUP | SS_CENTERIMAGE,
              f"label {k['text']} style {k['style']:08x}")
        right = k["text"] != "分おきにチェックする"
        check(bool(k["exstyle"] & WS_EX_RIGHT) == right, f"label {k['text']} exstyle {k['exstyle']:08x}")

    # OK without a password: the warning, the dialog stays, nothing is saved.
    env.driver.set_text(by_id[1000]["hwnd"], SERVER)
    env.driver.set_text(by_id[1002]["hwnd"], USER)
    env.driver.set_text(by_id[1008]["hwnd"], "15")
    env.driver.set_text(by_id[1006]["hwnd"], env.mailer_win + " -check")
    env.driver.click(by_id[1]["hwnd"])
    box = message_box(env)
    check(box is not None, "no warning box after an OK without password")
    box_win, texts, buttons = box
    check(INCOMPLETE_TEXT in texts, f"warning box says {texts}")
    check(len(buttons) == 1 and buttons[0]["text"] == "OK", f"warning box buttons {buttons}")
    env.screenshot("settings-incomplete", crop=pad_rect(box_win["rect"], 0))
    env.driver.click(buttons[0]["hwnd"])
    check(env.driver.wait_window("#32770", "KESTOVA", 5, gone=True) is not None, "box stayed")
    check(env.driver.windows("#32770", DIALOG_CAPTION), "the dialog closed after a refused OK")
    check(env.driver.regdump() is None, "a refused OK wrote the registry")
    check(env.reg_query() is None, "a refused OK wrote the registry (reg query)")
    check(program.count(b"----- FIND HOST -----") == 0, "a check started without settings")

    # The complete OK.
    env.driver.set_text(by_id[1004]["hwnd"], PASSWORD)
    EM_GETPASSWORDCHAR = 0xD2
    check(env.driver.send(by_id[1004]["hwnd"], EM_GETPASSWORDCHAR) != 0, "the password is not masked")
    time.sleep(0.3)
    env.screenshot("settings-filled", crop=pad_rect(dlg["rect"], 0))
    env.driver.click(by_id[1]["hwnd"])
    check(env.driver.wait_window("#32770", DIALOG_CAPTION, 10, gone=True) is not None,
          "the dialog stayed open after a complete OK")
    values = env.driver.regdump()
    check(values is not None, "the registry key was not written")
    expect = {
        "SERVER": (1, field(SERVER, 255)),
        "USER": (1, field(USER, 80)),
        "PASS": (3, complement(PASSWORD)),
        "TIME": (4, (15).to_bytes(4, "little")),
        "LIST": (4, (1).to_bytes(4, "little")),
        "LED": (4, (1).to_bytes(4, "little")),
        "MAILLER": (1, field(env.mailer_win + " -check", 260)),
        # Encryption left at "なし": SSL, PORT and CERTPIN are not added to the key.
    }
    check(sorted(values) == sorted(expect), f"values written: {sorted(values)}")
    for name, (rtype, data) in expect.items():
        v = values[name]
        check(int(v["type"]) == rtype, f"{name} has type {v['type']}, expected {rtype}")
        check(v["len"] == len(data), f"{name} has {v['len']} bytes, expected {len(data)}")
        check(v["data_bytes"] == data, f"{name} holds {v['data_bytes'][:40]!r}")
    query = env.reg_query()
    check(query is not None, "reg query does not find the key in the exe's view")
    # A 32-bit program's HKLM\SOFTWARE is redirected (WOW6432Node): the key is in its view only.
    other = "/reg:64" if env.arch == "i686" else "/reg:32"
    check(env.reg("query", r"HKLM\SOFTWARE\KESTOVA", other, check_rc=False).returncode != 0,
          f"the key is also in the {other} view")
    check(query["SERVER"] == ("REG_SZ", SERVER), f"reg query SERVER {query.get('SERVER')}")
    check(query["PASS"][0] == "REG_BINARY" and query["PASS"][1] == complement(PASSWORD).hex().upper(),
          f"reg query PASS {query.get('PASS')}")
    check(query["TIME"] == ("REG_DWORD", "0xf"), f"reg query TIME {query.get('TIME')}")
    check(query["MAILLER"] == ("REG_SZ", env.mailer_win + " -check"), f"MAILLER {query.get('MAILLER')}")
    log("registry written exactly:", ", ".join(f"{n} type {v['type']} {v['len']} bytes"
                                                for n, v in sorted(values.items())))

    if parts.can(POLLER, "the check after the complete OK"):
        wait_check_done(env, program, 1, 20)
        check(PASSWORD.encode() not in program.text(), "the password reached the trace")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
    parts.finish()


def field(text, size):
    data = text.encode("cp932")
    return data + b"\0" * (size - len(data))


def pad_rect(rect, n):
    l, t, r, b = rect
    return (l - n, t - n, r + n, b + n)


# -- b. a check against three messages ---------------------------------------------------------

THREE = [
    ("Ann Example <ann@kc.jp>", "ann@kc.jp"),
    ("Bob Example\r\n <bob@kc.jp>", "bob@kc.jp"),  # folded
    ("cy@kc.jp", "cy@kc.jp"),  # a bare address
]


def check_three(env):
    """Three messages: the whole dialogue in the trace and no password; the icon turns yellow
    with the next check time in its tip; the LCD shows the notice, then the report's pages."""
    env.require(*POLLER, feature="the mailbox poller")
    parts = Parts(env)
    messages = [dovecot.message(f, f"Subject {i}") for i, (f, _) in enumerate(THREE)]
    env.reg_delete()
    env.reg_import(settings())
    env.server.start()
    env.server.set_messages(messages)
    count, size = stat_of()
    check(count == 3, f"the server holds {count} messages")
    program = env.start_program()
    window = env.main_window()
    started = time.time()
    wait_check_done(env, program, 1, 30)
    done = time.time()
    trace = program.text()

    expected = [
        b"----- FIND HOST -----\r\n", b"Calling WSAAsyncGetHostByName() to find server\r\n",
        b"SM_GETHOST message received\r\n", b"WSAAsyncGetHostByName() took ",
        b"  milliseconds to complete\r\n", b"Server found OK\r\n\r\n",
        b"----- CONNECT TO HOST -----\r\n", b"Calling socket(AF_INET, SOCK_STREAM, 0);\r\n",
        b"Calling WSAAsyncSelect()\r\n", b"getservbyname() took ",
        b" milliseconds to complete\r\n", b"Calling connect()\r\n",
        b"\r\n----- PROCESS MESSAGES -----\r\n", b"FD_READ notification received\r\n",
        b"Calling recv()\r\n", b"AppState = CONNECTING, sending USER\r\n",
        b"AppState = USER, sending PASS\r\n", b"AppState = PASS, sending STAT\r\n",
        b"AppState = STAT, reading response\r\n", b"----- RESULT -----\r\n",
        f"3 messages {size} bytes\r\n".encode(), b"Sending TOP\r\n",
    ]
    for header, _ in THREE:
        expected += [b"----- FROM -----\r\n", header.encode() + b"\r\n",
                     b"\r\n----- FROM -----\r\n"]
    expected += [b"Sending QUIT\r\n", b"Host QUIT OK\r\n", b"Closing socket\r\n"]
    missing = in_order(trace, expected)
    check(missing is True, f"trace lacks {missing!r} (in order); trace:\n{tail(program, 4000)}")
    check(trace.count(b"Sending TOP\r\n") == 1, "Sending TOP traced more than once")
    check(b"FD_CONNECT notification received\r\n" in trace, "no FD_CONNECT in the trace")
    check(PASSWORD.encode() not in trace, "the password reached the trace")
    check(b"PASS " not in trace and b"USER " not in trace, "a command text reached the trace")
    check(program.truncated == 0, "a trace line was cut by Wine")
    log(f"trace: whole dialogue in order ({len(trace)} bytes), no password")

    if parts.can(TRAY, "tray icon colour and tip"):
        colour, counts = env.wait_tray_colour("yellow", 10, "tray-yellow")
        check(colour == "yellow", f"tray icon is {colour} {counts} after 3 messages")
        tip = env.tooltip()
        check(tip is not None, "no tooltip shown over the tray icon")
        m = re.fullmatch(re.escape(TIP) + r" NextCheck(\d\d):(\d\d)", tip or "")
        check(m is not None, f"tooltip {tip!r}")
        # The next check is 30 minutes after the icon's update, in local time.
        stamps = {(datetime.datetime.fromtimestamp(t) + datetime.timedelta(minutes=30)).strftime("%H:%M")
                  for t in (started - 60, done, done + 60)}
        check(f"{m.group(1)}:{m.group(2)}" in stamps, f"tooltip time {tip!r}, expected one of {stamps}")
        log(f"tray: yellow, tip {tip!r}")

    if parts.can(DISPLAY, "the display"):
        check_display_report(env, program, started, done, [s for _, s in THREE])
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
    parts.finish()


def report_text(count, when, senders, list_on=True):
    days = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
    t = time.localtime(when)
    stamp = (f"{days[t.tm_wday]} {months[t.tm_mon - 1]} {t.tm_mday:02d} "
             f"{t.tm_hour:02d}:{t.tm_min:02d}:{t.tm_sec:02d} {t.tm_year}\n")
    text = f"E-Mail ｶﾞ {count}ｹﾝ ﾄﾄﾞｲﾃｲﾏｽ({stamp})".encode("cp932")
    if list_on:
        text += b"\n"
        for i, s in enumerate(senders, 1):
            text += f"{i} : {s}\n".encode("cp932")
    return text


def check_display_report(env, program, started, done, senders):
    """The display showed the notice of a running check, then the report: every page in turn,
    one every 5 s."""
    # Which second the check started in is not traced; one of these is the report's.
    candidates = {int(t): lcd.pages(report_text(len(senders), t, senders))
                  for t in range(int(started) - 1, int(done) + 2)}
    n_pages = len(next(iter(candidates.values())))
    deadline = done + 5 * n_pages + 8
    f = env.lcd_files[-1]
    matched = None
    while time.time() < deadline:
        f.poll(time.time())
        shown = [rows for _, rows in f.settled_screens(time.time())]
        for t, pages in candidates.items():
            if all(p in shown for p in pages):
                matched = t
        if matched is not None:
            break
        time.sleep(0.25)
    screens = f.settled_screens(time.time())
    lines = "\n".join(f"  +{w - started:5.1f}s [{lcd.row_text(a)}][{lcd.row_text(b)}]"
                      for w, (a, b) in screens)
    check(not f.bad_reports, f"malformed reports: {f.bad_reports[:5]}")
    check(f.lcd.display_on and f.lcd.two_lines, "the controller was not set to two lines, on")
    notice = (harness.pad16(LCD_CHECKING[:16]), harness.pad16(LCD_CHECKING[16:]))
    shown = [rows for _, rows in screens]
    check(notice in shown, f"the display never showed {LCD_CHECKING!r}:\n{lines}")
    check(matched is not None, f"the report's pages did not all appear:\n{lines}")
    pages = candidates[matched]
    first = shown.index(notice)
    after = shown[first + 1:]
    check(after[:len(pages)] == pages, f"pages out of order:\n{lines}")
    times = [w for w, rows in screens[first + 1:first + 1 + len(pages)]]
    gaps = [b - a for a, b in zip(times, times[1:])]
    check(all(3.0 <= g <= 7.5 for g in gaps), f"page intervals {gaps}")
    log(f"display: notice, then {len(pages)} pages every ~5 s:\n{lines}")
    check_with_emulator(env, f)


def check_with_emulator(env, f):
    """Plays the same report file into the project's HD44780 emulator (lcd_screen): it must
    have seen the same screens, in the same order."""
    if not env.lcd_screen_tool or not os.path.exists(env.lcd_screen_tool):
        return
    out = subprocess.run([env.lcd_screen_tool, "--oneline", "--stats", "--length",
                          str(lcd.REPORT_LENGTH), f.path], capture_output=True, timeout=60)
    theirs = [line for line in out.stdout.decode("utf-8").splitlines() if line]
    f.poll(time.time())
    ours = [f"[{lcd.utf8_row(a)}][{lcd.utf8_row(b)}]" for _, (a, b) in f.settled_screens(time.time())]
    check(theirs == ours, "lcd_screen saw other screens:\n" + "\n".join(theirs) +
          "\nthan the harness:\n" + "\n".join(ours))
    check(f"reports: {f.reports}".encode() in out.stderr, f"lcd_screen counted {out.stderr!r}")
    log(f"lcd_screen agrees: {len(theirs)} screens from {f.reports} reports")


def check_real_mail(env):
    """Realistic mail: 6 KB and 40 KB of provider headers before From:, FROM:, From:<a@b>,
    CR CR LF lines and a NUL byte. Every reply to TOP is read to its end, QUIT is sent, the
    trace holds every From: text and the display the count and every sender."""
    env.require(*POLLER, feature="the mailbox poller")
    parts = Parts(env)
    mail = real_mail.MESSAGES
    env.reg_delete()
    env.reg_import(settings())
    env.server.start()
    env.server.set_messages([m.data.replace(b"\r\n", b"\r\r\n") if m.stored_crlf else m.data
                             for m in mail])
    count, size = stat_of()
    check(count == len(mail), f"the server holds {count} messages")
    program = env.start_program()
    window = env.main_window()
    started = time.time()
    wait_check_done(env, program, 1, 60)
    done = time.time()
    trace = program.text()
    expected = [b"----- RESULT -----\r\n", f"{count} messages {size} bytes\r\n".encode(),
                b"Sending TOP\r\n"]
    for m in mail:
        expected += [b"----- FROM -----\r\n" + m.from_text + b"\r\n----- FROM -----\r\n"]
    expected += [b"Sending QUIT\r\n", b"Host QUIT OK\r\n", b"Closing socket\r\n"]
    missing = in_order(trace, expected)
    check(missing is True, f"trace lacks {missing!r} (in order); trace:\n{tail(program, 4000)}")
    check(trace.count(b"is longer than 4096 bytes, reading on to its end\r\n") == 2,
          "the two long header blocks were not traced as read on")
    check(b"Buffer overrun" not in trace, "a reply overran the buffer")
    check(PASSWORD.encode() not in trace, "the password reached the trace")
    log(f"trace: {count} senders, the long replies read on, QUIT sent")
    if parts.can(DISPLAY, "the display"):
        check_display_report(env, program, started, done, [m.sender for m in mail])
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
    parts.finish()


# -- c. counts and a wrong password ------------------------------------------------------------

def counts(env):
    """10 messages yellow, 11 red, 0 blue with "E-Mail ﾊ ﾄﾄﾞｲﾃｲﾏｾﾝ", a wrong password
    "POP3ｻｰﾊﾞｰｴﾗｰ" with the busy (magenta) icon kept."""
    env.require(*POLLER, feature="the mailbox poller")
    parts = Parts(env)
    tray = parts.can(TRAY, "tray icon colours")
    display = parts.can(DISPLAY, "the display texts")
    program, window = start_with_settings(env, messages=mailbox(10))
    wait_check_done(env, program, 1)
    if tray:
        colour, c = env.wait_tray_colour("yellow", 10, "tray-yellow")
        check(colour == "yellow", f"10 messages: tray {colour} {c}")
    n = 1
    for messages, colour_wanted, rows in ((mailbox(11), "red", None),
                                          ([], "blue", (LCD_NO_MAIL[:16], LCD_NO_MAIL[16:]))):
        env.server.set_messages(messages)
        env.command(window, IDM_CHECK)
        n += 1
        wait_check_done(env, program, n)
        check(f"{len(messages)} messages ".encode() in program.text(), "count not traced")
        if tray:
            colour, c = env.wait_tray_colour(colour_wanted, 10, f"tray-{colour_wanted}")
            check(colour == colour_wanted, f"{len(messages)} messages: tray {colour} {c}")
        if display and rows:
            check(env.wait_screen(rows, 5), f"display did not show {rows}: {screens_text(env)}")
        log(f"{len(messages)} messages: {colour_wanted}")

    env.server.set_password("not-" + PASSWORD)
    env.command(window, IDM_CHECK)
    n += 1
    wait_check_done(env, program, n)
    trace = program.text()
    check(in_order(trace[trace.rfind(b"----- FIND HOST -----"):],
                   [b"AppState = USER, sending PASS\r\n", b"Negative response: ",
                    b"Wrong Password\r\n", b"Sending QUIT\r\n", b"QUIT\r\n", b"Host QUIT OK\r\n"]) is True,
          f"wrong password not traced as such:\n{tail(program)}")
    check(b"AppState = PASS, sending STAT" not in trace[trace.rfind(b"----- FIND HOST -----"):],
          "STAT sent after a refused password")
    if display:
        check(env.wait_screen((LCD_SERVER_ERROR, ""), 5), f"display: {screens_text(env)}")
    if tray:
        time.sleep(1)
        colour, c = env.tray_colour("tray-magenta")
        check(colour == "magenta", f"after a server error the tray is {colour} {c}, not busy")
    log("wrong password: server error shown, busy icon kept")
    if display:
        check_with_emulator(env, env.lcd_files[-1])
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
    parts.finish()


def screens_text(env):
    return " ".join(f"[{lcd.row_text(a)}][{lcd.row_text(b)}]" for _, (a, b) in env.display_screens())


# -- d. the tray menu --------------------------------------------------------------------------

MENU_ITEMS = [("チェック", IDM_CHECK), ("終了", IDM_EXIT), None, ("プロパティ", IDM_PROPERTIES)]


def wait_no_menu(env, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if not any(w["visible"] for w in env.driver.windows("#32768")):
            return True
        time.sleep(0.1)
    return False


def read_menu(env, window):
    if env.has(*TRAY):
        env.point_at_tray()
    env.tray_event(window, WM_RBUTTONDOWN)
    recs = env.driver.menu(10)
    popup = [r for r in recs if r["kind"] == "popup"][0]
    items = [r for r in recs if r["kind"] == "item"]
    return popup, items


def menu(env):
    """The right button opens "チェック", "終了", separator, "プロパティ"; the check command
    runs a check; the settings command does nothing during a check and opens the dialog
    otherwise; the exit command ends the program with 0."""
    env.require(*POLLER, feature="the mailbox poller")
    env.require(*MENU, feature="the tray menu")
    parts = Parts(env)
    held = harness.HeldPop3()
    try:
        program, window = start_with_settings(env, server=False)
        check(program.wait_trace(b"----- PROCESS MESSAGES -----", 15), "no connection")
        time.sleep(0.5)

        popup, items = read_menu(env, window)
        got = [None if it["type"] & 0x800 else (it["text"], int(it["id"])) for it in items]
        check(got == MENU_ITEMS, f"menu items {got}")
        check(all(it["state"] & 0x3 == 0 for it in items if not it["type"] & 0x800),
              f"an item is greyed: {items}")
        l, t, r, b = popup["rect"]
        tray = env.tray_window(1) if env.has(*TRAY) else None
        if tray:
            l, t = min(l, tray["rect"][0]), min(t, tray["rect"][1])
            r, b = max(r, tray["rect"][2]), max(b, tray["rect"][3])
        env.screenshot("tray-menu", crop=(max(0, l - 8), max(0, t - 8), r + 24, b + 16))
        log("menu:", got)
        # Leave the menu without a choice.
        env.driver.key(popup["hwnd"], VK_ESCAPE)
        check(wait_no_menu(env, 5), "menu stayed open")
        # Another icon's events and a single click do nothing.
        env.tray_event(window, WM_RBUTTONDOWN, icon=harness.TRAY_ID + 1)
        env.tray_event(window, 0x0201)  # WM_LBUTTONDOWN
        env.tray_event(window, 0x0202)  # WM_LBUTTONUP
        time.sleep(1.5)
        check(not any(w["visible"] for w in env.driver.windows("#32768")),
              "a menu opened for another icon or a single click")

        # The settings command during a check does nothing.
        env.command(window, IDM_PROPERTIES)
        time.sleep(2)
        check(not env.driver.windows("#32770", DIALOG_CAPTION), "settings opened during a check")
        env.command(window, IDM_CHECK)  # dropped as well
        time.sleep(1)
        check(program.count(b"----- FIND HOST -----") == 1, "a second check started during one")

        held.release()
        wait_check_done(env, program, 1, 20)
        if parts.can(DIALOG, "the settings command after the check"):
            time.sleep(0.5)
            env.command(window, IDM_PROPERTIES)
            recs = env.driver.wait_window("#32770", DIALOG_CAPTION, 10)
            check(recs, "the settings command did not open the dialog")
            kids = {k["id"]: k for k in env.driver.children(recs[0]["hwnd"])}
            check(kids[1000]["text"] == SERVER and kids[1002]["text"] == USER,
                  "the dialog does not show the loaded settings")
            env.driver.click(kids[2]["hwnd"])
            check(env.driver.wait_window("#32770", DIALOG_CAPTION, 10, gone=True) is not None,
                  "Cancel did not close the dialog")

        # The check command, chosen in the open menu with the keyboard (down, enter): the
        # choice must come back to the program as its command.
        popup, items = read_menu(env, window)
        env.driver.key(popup["hwnd"], VK_DOWN)
        env.driver.key(popup["hwnd"], VK_RETURN)
        check(program.wait_trace(b"----- FIND HOST -----", 10, 2),
              "choosing チェック in the menu did not start a check")
        wait_check_done(env, program, 2, 20)
        check(held.connections == 2, f"{held.connections} connections for two checks")

        # The exit command.
        popup, items = read_menu(env, window)
        env.driver.key(popup["hwnd"], VK_DOWN)
        env.driver.key(popup["hwnd"], VK_DOWN)
        env.driver.key(popup["hwnd"], VK_RETURN)
        code = program.wait(10)
        check(code == 0, f"choosing 終了 in the menu ended the program with {code}")
    finally:
        held.stop()
    parts.finish()


# -- e. the mail program -----------------------------------------------------------------------

def launcher(env):
    """A double click starts the mail program with the launcher's command line, shows the
    busy icon while it runs, and a check follows when it ends."""
    env.require(*POLLER, feature="the mailbox poller")
    env.require(*LAUNCHER, feature="the launcher")
    parts = Parts(env)
    mailler = env.mailer_win + " -check"
    program, window = start_with_settings(env, settings(MAILLER=mailler), mailbox(2))
    wait_check_done(env, program, 1)
    tray = parts.can(TRAY, "the busy icon while the mail program runs")
    if tray:
        colour, c = env.wait_tray_colour("yellow", 10)
        check(colour == "yellow", f"tray {colour} before the double click")
    env.tray_event(window, WM_LBUTTONDBLCLK)
    deadline = time.time() + 15
    while time.time() < deadline and not os.path.exists(env.mailer_log):
        time.sleep(0.2)
    check(os.path.exists(env.mailer_log), "the mail program did not start")
    time.sleep(0.5)
    with open(env.mailer_log, "rb") as f:
        record = f.read().decode("cp932")
    fields = dict(line.split("=", 1) for line in record.splitlines() if "=" in line)
    expected = f'"{env.mailer_win}" -check'
    check(fields.get("cmdline") == expected, f"command line {fields.get('cmdline')!r}, expected {expected!r}")
    check(fields.get("cwd", "").lower() == f"c:\\kestova-{env.arch}", f"working directory {fields.get('cwd')}")
    check("flags=1 wShowWindow=1" in record, f"start record {record!r}")
    log(f"mail program started as {fields['cmdline']}")
    if tray:
        colour, c = env.wait_tray_colour("magenta", 5, "tray-busy-launch")
        check(colour == "magenta", f"tray {colour} while the mail program runs")
    time.sleep(1)
    check(program.count(b"----- FIND HOST -----") == 1, "a check ran while the mail program ran")
    open(env.mailer_release, "w").close()
    wait_check_done(env, program, 2, 20)
    if tray:
        colour, c = env.wait_tray_colour("yellow", 10)
        check(colour == "yellow", f"tray {colour} after the check that followed")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
    parts.finish()


# -- f. a server that is down, then back -------------------------------------------------------

def server_down(env):
    """With the server down the check ends and the cycle is idle again; once the server is
    back the next check succeeds."""
    env.require(*POLLER, feature="the mailbox poller")
    parts = Parts(env)
    program, window = start_with_settings(env, server=False)
    check(program.wait_trace(b"FD_CONNECT notification received\r\n", 20), "no connect event")
    time.sleep(1)
    env.server.start()
    env.server.set_messages(mailbox(3))
    # Idle again: the next check command starts a check at once.
    env.command(window, IDM_CHECK)
    check(program.wait_trace(b"----- FIND HOST -----", 10, 2),
          f"no new check after the failed one:\n{tail(program)}")
    wait_check_done(env, program, 1, 20)
    check(b"3 messages " in program.text(), "the check after the server came back failed")
    if parts.can(TRAY, "the icon after the server came back"):
        colour, c = env.wait_tray_colour("yellow", 10)
        check(colour == "yellow", f"tray {colour}")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
    parts.finish()


# -- a server that stops answering -------------------------------------------------------------

def server_silent(env):
    """A server that accepts and then says nothing: after the program's time-out the check
    ends as a server error, the cycle is idle again, and the next check succeeds."""
    env.require(*POLLER, feature="the mailbox poller")
    parts = Parts(env)
    held = harness.HeldPop3()
    try:
        program, window = start_with_settings(env, server=False)
        check(program.wait_trace(b"----- PROCESS MESSAGES -----", 15), "no connection")
        began = time.time()
        check(program.wait_trace(b"Server timed out\r\n", 90),
              f"the silent server was not given up:\n{tail(program)}")
        waited = time.time() - began
        check(50 <= waited <= 80, f"gave up after {waited:.0f} s")
        log(f"silent server given up after {waited:.0f} s")
        if parts.can(DISPLAY, "the server error on the display"):
            check(env.wait_screen((LCD_SERVER_ERROR, ""), 5), f"display: {screens_text(env)}")
        held.release()
        env.command(window, IDM_CHECK)
        check(program.wait_trace(b"----- FIND HOST -----", 10, 2), "no check after the time-out")
        wait_check_done(env, program, 1, 20)
        check(b"0 messages 0 bytes\r\n" in program.text(), "the next check did not succeed")
        if parts.can(DISPLAY, "the result of the next check"):
            check(env.wait_screen((LCD_NO_MAIL[:16], LCD_NO_MAIL[16:]), 5), f"display: {screens_text(env)}")
        env.command(window, IDM_EXIT)
        check(program.wait(15) == 0, "exit code after IDM_EXIT")
    finally:
        held.stop()
    parts.finish()


SCENARIOS = {
    "lifecycle": lifecycle,
    "first_start": first_start,
    "check_three": check_three,
    "counts": counts,
    "menu": menu,
    "launcher": launcher,
    "server_down": server_down,
    "server_silent": server_silent,
    "real_mail": check_real_mail,
}

# The secure connections, in a module of their own.
import scenarios_tls  # noqa: E402

SCENARIOS["tls"] = scenarios_tls.tls
SCENARIOS["tls_faults"] = scenarios_tls.tls_faults
SCENARIOS["tls_settings"] = scenarios_tls.tls_settings
SCENARIOS["tls_address"] = scenarios_tls.tls_address

# Replies written in two pieces with Nagle's algorithm on.
import scenarios_split  # noqa: E402

SCENARIOS["split_replies"] = scenarios_split.split_replies

# The new-only option, in a module of its own.
import scenarios_newonly  # noqa: E402

SCENARIOS["newonly"] = scenarios_newonly.newonly
SCENARIOS["newonly_no_uidl"] = scenarios_newonly.newonly_no_uidl

import scenarios_notify  # noqa: E402

SCENARIOS["notify_wake"] = scenarios_notify.notify_wake

# The second dialog of the settings, 詳細設定.
import scenarios_advanced  # noqa: E402

SCENARIOS["advanced"] = scenarios_advanced.advanced

# The account list of 詳細設定 and the dialog of one account.
import scenarios_accounts  # noqa: E402

SCENARIOS["accounts"] = scenarios_accounts.accounts

# The check of several accounts: the display, the tooltip, the icon and a failed account.
import scenarios_accounts_check  # noqa: E402

SCENARIOS["accounts_check"] = scenarios_accounts_check.accounts_check

# The sign-in's Windows back ends on their own.
import scenarios_oauth_ports  # noqa: E402

SCENARIOS["oauth_ports"] = scenarios_oauth_ports.oauth_ports

# The sign-in end to end: the provider, Dovecot and the program.
import scenarios_oauth  # noqa: E402

SCENARIOS["oauth_signin"] = scenarios_oauth.oauth_signin
