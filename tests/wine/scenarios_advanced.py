"""The second dialog of the settings, "詳細設定", under Wine: opened by the one button of the
settings dialog, its three groups and controls, its OK that refuses a port or pin the program
cannot use, its Cancel that drops what it holds, and the values the settings dialog's OK then
writes."""
import time

from harness import IDM_EXIT, IDM_PROPERTIES, check, log
from scenarios import (DIALOG, DIALOG_CAPTION, REGISTRY, BS_AUTOCHECKBOX, CBS_DROPDOWNLIST,
                       ES_AUTOHSCROLL, ES_NUMBER, ES_PASSWORD, WS_DISABLED, WS_TABSTOP,
                       message_box, pad_rect, settings)

ADVANCED_CAPTION = "詳細設定"
IDC_ADVANCED, IDC_ENCRYPTION, IDC_NEWONLY, IDC_PORT, IDC_CERTPIN = 1020, 1009, 1010, 1012, 1013
IDC_AUTH, IDC_OAUTH, IDC_CLIENTID, IDC_CLIENTSECRET, IDC_TENANT, IDC_SIGNIN = range(1014, 1020)
IDC_PASSWORD, IDC_TOKENSTATE, IDC_NOTIFY = 1004, 1021, 1011
WM_COMMAND, CBN_SELCHANGE = 0x111, 1
CB_GETCURSEL, CB_SETCURSEL = 0x147, 0x14E
BM_SETCHECK = 0xF1
PIN = ":".join(["AB"] * 32)

# The second dialog's controls in tab order: ID, class, text, styles that must be set, styles
# that must not be set.
ADVANCED_CONTROLS = [
    (IDC_ENCRYPTION, "combobox", "なし", WS_TABSTOP | CBS_DROPDOWNLIST, WS_DISABLED),
    (IDC_PORT, "edit", "", WS_TABSTOP | ES_AUTOHSCROLL | ES_NUMBER, ES_PASSWORD | WS_DISABLED),
    (IDC_CERTPIN, "edit", "", WS_TABSTOP | ES_AUTOHSCROLL, ES_PASSWORD | ES_NUMBER | WS_DISABLED),
    (IDC_AUTH, "combobox", "パスワード", WS_TABSTOP | CBS_DROPDOWNLIST, WS_DISABLED),
    # With the password login the sign-in's fields and its button take no input.
    (IDC_OAUTH, "combobox", "", WS_TABSTOP | WS_DISABLED, 0),
    (IDC_CLIENTID, "edit", "", WS_TABSTOP | ES_AUTOHSCROLL | WS_DISABLED, ES_PASSWORD),
    (IDC_CLIENTSECRET, "edit", "", WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD | WS_DISABLED, 0),
    (IDC_TENANT, "edit", "", WS_TABSTOP | ES_AUTOHSCROLL | WS_DISABLED, ES_PASSWORD),
    (IDC_SIGNIN, "button", "サインイン", WS_TABSTOP | WS_DISABLED, 0),
    (IDC_NEWONLY, "button", "新着のみ", WS_TABSTOP | BS_AUTOCHECKBOX, WS_DISABLED),
    (IDC_NOTIFY, "button", "通知", WS_TABSTOP | BS_AUTOCHECKBOX, WS_DISABLED),
    # The accounts after the first: with none listed only 追加 takes input.
    (1023, "listbox", "", WS_TABSTOP, WS_DISABLED),
    (1024, "button", "追加", WS_TABSTOP, WS_DISABLED),
    (1025, "button", "編集", WS_TABSTOP | WS_DISABLED, 0),
    (1026, "button", "削除", WS_TABSTOP | WS_DISABLED, 0),
    (1027, "button", "上へ", WS_TABSTOP | WS_DISABLED, 0),
    (1028, "button", "下へ", WS_TABSTOP | WS_DISABLED, 0),
    (1, "button", "OK", WS_TABSTOP, WS_DISABLED),
    (2, "button", "ｷｬﾝｾﾙ", WS_TABSTOP, WS_DISABLED),
]
GROUPS = ["接続", "認証", "新着", "アカウント"]
LABELS = ["暗号化", "ポート", "空欄: 標準のポート", "証明書ピン", "認証方式", "プロバイダー",
          "クライアントID", "シークレット", "テナント"]


def open_settings(env, window):
    env.command(window, IDM_PROPERTIES)
    recs = env.driver.wait_window("#32770", DIALOG_CAPTION, 15)
    check(recs, "the settings dialog did not open")
    return recs[0], {k["id"]: k for k in env.driver.children(recs[0]["hwnd"])}


def open_advanced(env, kids):
    env.driver.click(kids[IDC_ADVANCED]["hwnd"])
    recs = env.driver.wait_window("#32770", ADVANCED_CAPTION, 10)
    check(recs, "the second dialog did not open from its button")
    return recs[0], {k["id"]: k for k in env.driver.children(recs[0]["hwnd"])}


def close(env, caption, button_hwnd):
    env.driver.click(button_hwnd)
    check(env.driver.wait_window("#32770", caption, 10, gone=True) is not None,
          f"{caption} stayed open")


def choose_oauth(env, adv, akids):
    """Chooses OAuth 2.0 in the login list as a user would: the selection, then its
    notification, which a CB_SETCURSEL alone does not send."""
    combo = akids[IDC_AUTH]["hwnd"]
    env.driver.send(combo, CB_SETCURSEL, 1)
    env.driver.post(adv["hwnd"], WM_COMMAND, (CBN_SELCHANGE << 16) | IDC_AUTH, combo)
    deadline = time.time() + 5
    while time.time() < deadline:
        kids = {k["id"]: k for k in env.driver.children(adv["hwnd"])}
        if kids[IDC_CLIENTID]["enabled"]:
            return
        time.sleep(0.1)
    check(False, "the sign-in's fields did not take input after choosing OAuth 2.0")


def advanced(env):
    env.require(*DIALOG, feature="the settings dialog")
    env.require(*REGISTRY, feature="the settings store")
    env.reg_delete()
    env.reg_import(settings())  # a key of the seven values only
    program = env.start_program()
    window = env.main_window()

    dlg, kids = open_settings(env, window)
    check(kids[IDC_ADVANCED]["text"] == ADVANCED_CAPTION, f"button {kids[IDC_ADVANCED]['text']!r}")
    check(IDC_ENCRYPTION not in kids and IDC_NEWONLY not in kids,
          "the second dialog's controls are still in the settings dialog")
    time.sleep(0.5)
    env.screenshot("settings-dialog", crop=pad_rect(dlg["rect"], 0))

    # The second dialog: modal over the first, its controls in their groups.
    adv, akids = open_advanced(env, kids)
    check(adv["pid"] == dlg["pid"], "the second dialog belongs to another process")
    children = env.driver.children(adv["hwnd"])
    tab_order = [k["id"] for k in children if k["style"] & WS_TABSTOP]
    check(tab_order == [c[0] for c in ADVANCED_CONTROLS],
          f"tab order {tab_order}, expected {[c[0] for c in ADVANCED_CONTROLS]}")
    for cid, cls, text, must, must_not in ADVANCED_CONTROLS:
        k = akids[cid]
        check(k["class"].lower() == cls, f"control {cid} is a {k['class']}")
        check(k["text"] == text, f"control {cid} shows {k['text']!r}, expected {text!r}")
        check(k["style"] & must == must, f"control {cid} style {k['style']:08x} lacks {must:08x}")
        check(k["style"] & must_not == 0, f"control {cid} style {k['style']:08x} has {must_not:08x}")
    texts = [k["text"] for k in children if k["id"] in (-1, 65535)]
    for text in GROUPS + LABELS:
        check(text in texts, f"no {text!r} in the second dialog: {texts}")

    # Cancel drops what the second dialog held: the OK that follows writes the seven values.
    env.driver.send(akids[IDC_ENCRYPTION]["hwnd"], CB_SETCURSEL, 1)
    env.driver.set_text(akids[IDC_PORT]["hwnd"], "1995")
    close(env, ADVANCED_CAPTION, akids[2]["hwnd"])
    close(env, DIALOG_CAPTION, kids[1]["hwnd"])
    values = env.driver.regdump()
    check(sorted(values) == sorted(settings()), f"values after a cancelled second dialog: "
          f"{sorted(values)}")

    # A port the program cannot use is refused with a box; the second dialog stays open.
    dlg, kids = open_settings(env, window)
    adv, akids = open_advanced(env, kids)
    check(env.driver.send(akids[IDC_ENCRYPTION]["hwnd"], CB_GETCURSEL) == 0, "not なし")
    env.driver.set_text(akids[IDC_PORT]["hwnd"], "70000")
    env.driver.click(akids[1]["hwnd"])
    found = message_box(env)
    check(found is not None, "no box for port 70000")
    box, texts, buttons = found
    check(any("65535" in t for t in texts), f"box says {texts}")
    close(env, "KESTOVA", buttons[0]["hwnd"])
    check(env.driver.windows("#32770", ADVANCED_CAPTION), "the second dialog closed on a refusal")

    # What it takes reaches the key at the settings dialog's OK.
    env.driver.send(akids[IDC_ENCRYPTION]["hwnd"], CB_SETCURSEL, 1)
    env.driver.set_text(akids[IDC_PORT]["hwnd"], "1995")
    env.driver.set_text(akids[IDC_CERTPIN]["hwnd"], PIN)
    env.driver.send(akids[IDC_NEWONLY]["hwnd"], BM_SETCHECK, 1)
    close(env, ADVANCED_CAPTION, akids[1]["hwnd"])
    check(env.driver.regdump() == values, "the second dialog's OK wrote the key")
    close(env, DIALOG_CAPTION, kids[1]["hwnd"])
    values = env.driver.regdump()
    for name, data in (("SSL", (1).to_bytes(4, "little")), ("PORT", (1995).to_bytes(4, "little")),
                       ("NEWONLY", (1).to_bytes(4, "little"))):
        check(name in values and values[name]["data_bytes"] == data,
              f"{name}: {values.get(name)}")
    check(values["CERTPIN"]["data_bytes"].rstrip(b"\0") == PIN.encode(), "CERTPIN not saved")
    log("saved from the second dialog:", sorted(values))

    # Opened again, it shows what was saved.
    dlg, kids = open_settings(env, window)
    adv, akids = open_advanced(env, kids)
    check(env.driver.text(akids[IDC_PORT]["hwnd"]) == "1995", "the port is not shown")
    check(env.driver.checked(akids[IDC_NEWONLY]["hwnd"]) == 1, "新着のみ is not shown")

    # OAuth 2.0: refused without encryption, with a box that says so.
    env.driver.send(akids[IDC_ENCRYPTION]["hwnd"], CB_SETCURSEL, 0)
    choose_oauth(env, adv, akids)
    env.driver.click(akids[1]["hwnd"])
    found = message_box(env)
    check(found is not None, "no box for OAuth 2.0 without encryption")
    box, texts, buttons = found
    check(any("暗号化" in t for t in texts), f"box says {texts}")
    close(env, "KESTOVA", buttons[0]["hwnd"])
    # With TLS it is taken, and the settings dialog's password then takes no input.
    env.driver.send(akids[IDC_ENCRYPTION]["hwnd"], CB_SETCURSEL, 1)
    env.driver.set_text(akids[IDC_OAUTH]["hwnd"], "microsoft")
    env.driver.set_text(akids[IDC_CLIENTID]["hwnd"], "00000000-kestova-client")
    env.driver.set_text(akids[IDC_TENANT]["hwnd"], "contoso.onmicrosoft.com")
    # The button works in this build and says no sign-in is kept; for values not saved yet it
    # asks for the OK first.
    akids = {k["id"]: k for k in env.driver.children(adv["hwnd"])}
    check(akids[IDC_SIGNIN]["enabled"], "the サインイン button takes no input with OAuth 2.0")
    check(env.driver.text(akids[IDC_TOKENSTATE]["hwnd"]) == "未サインイン",
          f"token state {env.driver.text(akids[IDC_TOKENSTATE]['hwnd'])!r}")
    env.driver.click(akids[IDC_SIGNIN]["hwnd"])
    found = message_box(env)
    check(found is not None, "no box for a sign-in before the OK")
    box, texts, buttons = found
    check(any("OK で保存" in t for t in texts), f"box says {texts}")
    close(env, "KESTOVA", buttons[0]["hwnd"])
    time.sleep(0.5)
    env.screenshot("settings-advanced", crop=pad_rect(adv["rect"], 0))
    close(env, ADVANCED_CAPTION, akids[1]["hwnd"])
    kids = {k["id"]: k for k in env.driver.children(dlg["hwnd"])}
    check(not kids[IDC_PASSWORD]["enabled"], "the password takes input with OAuth 2.0")
    close(env, DIALOG_CAPTION, kids[1]["hwnd"])
    values = env.driver.regdump()
    check(values["AUTH"]["data_bytes"] == (1).to_bytes(4, "little"), f"AUTH {values.get('AUTH')}")
    check(values["OAUTH"]["data_bytes"].rstrip(b"\0") == b"microsoft", "OAUTH not saved")
    check(values["TENANT"]["data_bytes"].rstrip(b"\0") == b"contoso.onmicrosoft.com",
          "TENANT not saved")
    check("CLIENTSECRET" not in values, "an empty client secret was written")
    dlg, kids = open_settings(env, window)
    check(not kids[IDC_PASSWORD]["enabled"], "the password takes input with AUTH 1 saved")
    close(env, DIALOG_CAPTION, kids[2]["hwnd"])
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")
