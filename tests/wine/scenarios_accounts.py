"""The account list of "詳細設定" under Wine: accounts after the first added through the account
dialog, its OK that refuses a name the display cannot show and a second account for a mailbox
already listed, the list's buttons that follow the chosen row and the limit of eight accounts,
and screenshots of the list with two accounts and of the account dialog."""
import re
import time

from harness import IDM_EXIT, check, log
from scenarios import (DIALOG, DIALOG_CAPTION, REGISTRY, SERVER, USER, WS_DISABLED, message_box,
                       pad_rect, settings)
from scenarios_advanced import ADVANCED_CAPTION, close, open_advanced, open_settings

IDC_NAME, IDC_ACCOUNTS = 1022, 1023
IDC_ADD, IDC_EDIT, IDC_REMOVE, IDC_UP, IDC_DOWN = range(1024, 1029)
IDC_SERVER, IDC_USER, IDC_PASSWORD, IDC_ENCRYPTION, IDC_PORT = 1000, 1002, 1004, 1009, 1012
WM_COMMAND, LBN_SELCHANGE = 0x111, 1
LB_GETCOUNT, LB_GETCURSEL, LB_SETCURSEL = 0x18B, 0x188, 0x186
CB_SETCURSEL = 0x14E

# The account dialog's fields, in tab order.
ACCOUNT_FIELDS = [IDC_NAME, IDC_SERVER, IDC_USER, IDC_PASSWORD, IDC_ENCRYPTION, IDC_PORT]


def enabled(env, dialog, cid):
    kids = {k["id"]: k for k in env.driver.children(dialog["hwnd"])}
    return not kids[cid]["style"] & WS_DISABLED


def buttons_on(env, adv):
    return [cid for cid in (IDC_ADD, IDC_EDIT, IDC_REMOVE, IDC_UP, IDC_DOWN)
            if enabled(env, adv, cid)]


def open_account(env, akids, number):
    env.driver.click(akids[IDC_ADD]["hwnd"])
    caption = f"アカウント {number}"
    recs = env.driver.wait_window("#32770", caption, 10)
    check(recs, f"the account dialog {caption!r} did not open from 追加")
    return recs[0], caption, {k["id"]: k for k in env.driver.children(recs[0]["hwnd"])}


def fill(env, kids, name, server, user, password):
    for cid, text in ((IDC_NAME, name), (IDC_SERVER, server), (IDC_USER, user),
                      (IDC_PASSWORD, password)):
        env.driver.set_text(kids[cid]["hwnd"], text)


def refused(env, button, words):
    """Pushes OK, expects a box naming `words`, closes it."""
    env.driver.click(button)
    found = message_box(env)
    check(found is not None, f"no box for {words!r}")
    box, texts, buttons = found
    check(any(words in t for t in texts), f"box says {texts}, expected {words!r}")
    close(env, "KESTOVA", buttons[0]["hwnd"])


def accounts(env):
    env.require(*DIALOG, feature="the settings dialog")
    env.require(*REGISTRY, feature="the settings store")
    env.reg_delete()
    env.reg_import(settings())
    program = env.start_program()
    window = env.main_window()

    dlg, kids = open_settings(env, window)
    adv, akids = open_advanced(env, kids)
    lst = akids[IDC_ACCOUNTS]["hwnd"]
    check(akids[IDC_ACCOUNTS]["class"].lower() == "listbox", f"{akids[IDC_ACCOUNTS]['class']}")
    check(env.driver.send(lst, LB_GETCOUNT) == 0, "the list is not empty for one account")
    check(buttons_on(env, adv) == [IDC_ADD], f"buttons on with no row: {buttons_on(env, adv)}")

    # Account 2: taken at once.
    acc, caption, ckids = open_account(env, akids, 2)
    tab_order = [k["id"] for k in env.driver.children(acc["hwnd"])
                 if k["style"] & 0x00010000][:len(ACCOUNT_FIELDS)]
    check(tab_order == ACCOUNT_FIELDS, f"account dialog tab order {tab_order}")
    fill(env, ckids, "ﾎｰﾑ", "pop.home.example", "hanako@home.example", "home-pw")
    close(env, caption, ckids[1]["hwnd"])
    check(env.driver.send(lst, LB_GETCOUNT) == 1, "account 2 is not listed")

    # Account 3: a name too long for a display row, then account 1's mailbox, are refused;
    # the dialog stays open until both are put right.
    acc, caption, ckids = open_account(env, akids, 3)
    fill(env, ckids, "a name of twenty chars", SERVER.upper(), USER, "pw")
    refused(env, ckids[1]["hwnd"], "16")
    check(env.driver.windows("#32770", caption), "the account dialog closed on a refusal")
    env.driver.set_text(ckids[IDC_NAME]["hwnd"], "ｼｺﾞﾄ")
    refused(env, ckids[1]["hwnd"], "アカウント 1 と同じ")
    env.driver.set_text(ckids[IDC_USER]["hwnd"], "jiro@work.example")
    env.driver.send(ckids[IDC_ENCRYPTION]["hwnd"], CB_SETCURSEL, 1)
    time.sleep(0.5)
    env.screenshot("settings-account", crop=pad_rect(acc["rect"], 0))
    close(env, caption, ckids[1]["hwnd"])
    check(env.driver.send(lst, LB_GETCOUNT) == 2, "account 3 is not listed")
    check(env.driver.send(lst, LB_GETCURSEL) == 1, "the added row is not the chosen one")
    check(buttons_on(env, adv) == [IDC_ADD, IDC_EDIT, IDC_REMOVE, IDC_UP],
          f"buttons on at the last row: {buttons_on(env, adv)}")
    # The first row chosen as a user would: 上へ off, 下へ on.
    env.driver.send(lst, LB_SETCURSEL, 0)
    env.driver.post(adv["hwnd"], WM_COMMAND, (LBN_SELCHANGE << 16) | IDC_ACCOUNTS, lst)
    deadline = time.time() + 5
    while time.time() < deadline and IDC_DOWN not in buttons_on(env, adv):
        time.sleep(0.1)
    check(buttons_on(env, adv) == [IDC_ADD, IDC_EDIT, IDC_REMOVE, IDC_DOWN],
          f"buttons on at the first row: {buttons_on(env, adv)}")
    time.sleep(0.5)
    env.screenshot("settings-accounts", crop=pad_rect(adv["rect"], 0))

    # 下へ, then Cancel of 詳細設定: the list is as it was when the dialog opened again.
    env.driver.click(akids[IDC_DOWN]["hwnd"])
    deadline = time.time() + 5
    while time.time() < deadline and env.driver.send(lst, LB_GETCURSEL) != 1:
        time.sleep(0.1)
    check(env.driver.send(lst, LB_GETCURSEL) == 1, "the chosen row did not move down")
    # Accounts 4 to 8: with eight in all 追加 takes no input.
    for number in range(4, 9):
        acc, caption, ckids = open_account(env, akids, number)
        fill(env, ckids, f"box{number}", "pop.more.example", f"user{number}", "pw")
        close(env, caption, ckids[1]["hwnd"])
    check(env.driver.send(lst, LB_GETCOUNT) == 7, "not seven accounts listed")
    check(not enabled(env, adv, IDC_ADD), "追加 takes input with eight accounts")
    check(enabled(env, adv, IDC_REMOVE), "削除 takes no input at the last row")
    env.driver.click(akids[IDC_REMOVE]["hwnd"])
    deadline = time.time() + 5
    while time.time() < deadline and env.driver.send(lst, LB_GETCOUNT) != 6:
        time.sleep(0.1)
    check(enabled(env, adv, IDC_ADD), "追加 takes no input after a 削除")
    close(env, ADVANCED_CAPTION, akids[2]["hwnd"])
    adv, akids = open_advanced(env, kids)
    check(env.driver.send(akids[IDC_ACCOUNTS]["hwnd"], LB_GETCOUNT) == 0,
          "a cancelled 詳細設定 kept its accounts")
    close(env, ADVANCED_CAPTION, akids[2]["hwnd"])
    close(env, DIALOG_CAPTION, kids[2]["hwnd"])
    values = env.driver.regdump()
    check(sorted(values) == sorted(settings()), f"account 1's key changed: {sorted(values)}")

    # Two accounts through both OKs: the subkeys "2" and "3" in the list's order, and a new
    # start lists them again.
    dlg, kids = open_settings(env, window)
    adv, akids = open_advanced(env, kids)
    added = [("ﾎｰﾑ", "pop.home.example", "hanako@home.example"),
             ("ｼｺﾞﾄ", "pop.work.example", "jiro@work.example")]
    for number, (name, server, user) in enumerate(added, 2):
        acc, caption, ckids = open_account(env, akids, number)
        fill(env, ckids, name, server, user, "pw")
        close(env, caption, ckids[1]["hwnd"])
    close(env, ADVANCED_CAPTION, akids[1]["hwnd"])
    close(env, DIALOG_CAPTION, kids[1]["hwnd"])
    for number, (name, server, user) in enumerate(added, 2):
        stored = subkey_values(env, number)
        check(stored is not None, f"no subkey {number}")
        for value, text in (("NAME", name), ("SERVER", server), ("USER", user)):
            check(stored.get(value, ("", ""))[1] == text, f"subkey {number} {value}: {stored}")
    check(subkey_values(env, 4) is None, "a subkey for an account not added")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")

    program = env.start_program()
    window = env.main_window()
    dlg, kids = open_settings(env, window)
    adv, akids = open_advanced(env, kids)
    check(env.driver.send(akids[IDC_ACCOUNTS]["hwnd"], LB_GETCOUNT) == 2,
          "the saved accounts are not listed after a new start")
    close(env, ADVANCED_CAPTION, akids[2]["hwnd"])
    close(env, DIALOG_CAPTION, kids[2]["hwnd"])
    log("account list: saved to the subkeys and listed again after a new start")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")


def subkey_values(env, number):
    """`reg query` of an account's subkey in the exe's view: name -> (type, text), or None."""
    proc = env.reg("query", rf"HKLM\SOFTWARE\KESTOVA\{number}", env.reg_view(), check_rc=False)
    if proc.returncode != 0:
        return None
    out = {}
    for line in proc.stdout.decode("cp932", errors="replace").splitlines():
        m = re.match(r"^    (\S+)    (REG_\w+)    ?(.*)$", line)
        if m:
            out[m.group(1)] = (m.group(2), m.group(3))
    return out
