"""The Windows program's OAuth 2.0 sign-in under Wine, end to end: WinHTTP against the test
authorization server (oidc-provider on 127.0.0.1, plain HTTP on a loopback address), Dovecot
with the oauth2 passdb behind STARTTLS, and the refresh token sealed with DPAPI.

The user code is read off the simulated display and checked against the box; the test approves
it through the provider's own pages, as a user at a browser would. A restart then logs in with
the stored refresh token and asks the user for nothing."""
import json
import os
import shutil
import subprocess
import time

import dovecot
import oidc_server
import wine_host
from harness import IDM_EXIT, check, log
from scenarios import (MENU, USER, VK_DOWN, VK_RETURN, mailbox, message_box, pad_rect, read_menu,
                       settings, tail, wait_no_menu)
from scenarios_tls import TLS, trusted_bundle
from test_certs import TestCerts

IDP_PORT = 9000
ISSUER = f"http://127.0.0.1:{IDP_PORT}"
IDM_SIGNIN = 40005
SIGN_IN = ("WinHttpOpen", "CryptProtectData")
BOX_NO_TOKEN = "サインインしていません。メニューの「サインイン」からサインインしてください。"
LCD_SIGN_IN_ROW = "ｻｲﾝｲﾝ ｼﾃｸﾀﾞｻｲ"


def token_files(env):
    users = os.path.join(env.prefix, "drive_c", "users")
    return [os.path.join(d, f) for d, _, fs in os.walk(users) for f in fs
            if f.startswith("token.dat") and os.path.basename(d) == "KESTOVA"]


def stored_record(env):
    """The record as the program's own store gives it back (DPAPI, same user); not logged,
    since it holds the refresh token."""
    cmd = wine_host.wine_command(f"C:\\kctest-{env.arch}\\oauth_ports.exe", "store", "load")
    done = subprocess.run(cmd, cwd=env.helpers_linux, env=env.wenv, capture_output=True,
                          timeout=60)
    out = done.stdout.decode("latin-1").replace("\r", "")
    loaded = [line for line in out.splitlines() if line.startswith("loaded ")]
    check(done.returncode == 0 and len(loaded) == 1,
          f"the stored sign-in does not load: {out.splitlines()[-1:]}")
    return json.loads(loaded[0][len("loaded "):])


def wait_code(env, timeout=30):
    """The user code as the display shows it: "CODE XXXX-XXXX" over the sign-in row."""
    f = env.lcd_files[-1]
    deadline = time.time() + timeout
    while True:
        f.poll(time.time())
        rows = [r.decode("cp932", errors="replace").rstrip() for r in f.current()]
        if rows[0].startswith("CODE ") and len(rows[0]) == 14:
            return rows
        if time.time() > deadline:
            return None
        time.sleep(0.1)


def lcd_picture(env, rows, name):
    """A picture of the 16x2 display with these rows, for the README."""
    path = os.path.join(env.artifacts, name + ".png")
    font = "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf"
    cmd = ["convert", "-size", "420x110", "xc:#5a7d1e", "-fill", "#1b2a08"]
    if os.path.exists(font):
        cmd += ["-font", font]
    cmd += ["-pointsize", "34", "-annotate", "+20+46", rows[0].ljust(16),
            "-annotate", "+20+92", rows[1].ljust(16), "-bordercolor", "#222222", "-border", "10",
            path]
    subprocess.run(cmd, check=True, timeout=30)
    return path


def oauth_signin(env):
    """Device sign-in from the icon's menu; the code on the display and in the box; the check logs in
    with XOAUTH2 over STARTTLS; the refresh token sealed with DPAPI, no access token kept; a
    restart on 995 refreshes (rotating the stored token) and logs in with no user step; no
    token in the program's output."""
    env.require(*TLS, feature="TLS")
    env.require(*MENU, feature="the tray menu")
    env.require(*SIGN_IN, feature="the OAuth 2.0 sign-in")
    why = oidc_server.available()
    check(why is None, f"{why} (scripts/install-deps.sh installs it)")
    helper = os.path.join(env.helpers, "oauth_ports.exe")
    check(os.path.exists(helper), "oauth_ports.exe is not built")
    shutil.copy2(helper, env.helpers_linux)
    for path in token_files(env):  # the prefix is shared with the other scenarios
        os.remove(path)

    certs = TestCerts(os.path.join(env.tmp, "certs"))
    issued = os.path.join(env.tmp, "issued-tokens.txt")
    idp = oidc_server.OidcServer(os.path.join(env.tmp, "idp"), port=IDP_PORT,
                                 token_log=issued).start()
    try:
        with trusted_bundle(certs.bundle()):
            run_signin(env, idp, certs, issued)
    finally:
        idp.stop()
        for path in token_files(env):
            os.remove(path)


def run_signin(env, idp, certs, issued):
    server = dovecot.Dovecot(os.path.join(env.tmp, "dovecot-oauth"), user=USER,
                             password="unused", tls=certs.server("good"),
                             oauth2=(idp.introspection_url(), "xoauth2 oauthbearer"))
    env.server = server  # stopped, and its log kept, when the scenario ends
    server.start()
    server.set_messages(mailbox(2))
    values = settings(SSL=2, AUTH=1, OAUTH=ISSUER, CLIENTID="kestova")
    del values["PASS"]  # the sign-in needs no password: the settings are complete without one

    env.reg_delete()
    env.reg_import(values)
    program = env.start_program()
    window = env.main_window()
    # The first check finds no sign-in: one box says what to do.
    check(program.wait_trace(b"not signed in", 40), f"no 'not signed in':\n{tail(program)}")
    found = message_box(env, 15)
    check(found is not None and any(BOX_NO_TOKEN in t for t in found[1]),
          f"no-sign-in box {found!r}")
    env.driver.click([b for b in found[2] if b["text"] == "OK"][0]["hwnd"])
    check(env.driver.wait_window("#32770", "KESTOVA", 10, gone=True) is not None,
          "the box did not close")
    check(not server.log_lines("Login:"), "a login without a token")

    # サインイン, chosen in the icon's menu with the keyboard: the device grant; the code on the
    # display and in the box.
    popup, items = read_menu(env, window)
    got = [None if it["type"] & 0x800 else (it["text"], int(it["id"])) for it in items]
    check(("サインイン", IDM_SIGNIN) in got, f"menu items {got}")
    for _ in range(got.index(("サインイン", IDM_SIGNIN)) + 1):
        env.driver.key(popup["hwnd"], VK_DOWN)
    env.driver.key(popup["hwnd"], VK_RETURN)
    check(wait_no_menu(env, 5), "the menu stayed open")
    rows = wait_code(env)
    check(rows is not None, f"the display shows no code:\n{tail(program)}")
    check(rows[1] == LCD_SIGN_IN_ROW, f"the display's second row {rows[1]!r}")
    code = rows[0][len("CODE "):]
    found = message_box(env, 15)
    check(found is not None, "no sign-in box")
    box, texts, buttons = found
    text = "\n".join(texts)
    check(ISSUER + "/device" in text and f"コード: {code}" in text,
          f"the box does not show the address and the code {code}: {texts!r}")
    time.sleep(0.5)
    env.screenshot("signin-box", crop=pad_rect(box["rect"], 0))
    lcd_picture(env, rows, "signin-lcd")
    log(f"code {code} on the display and in the box")
    # The box offers to open the address in the browser; the test approves it itself: No.
    IDNO = 7
    check(sorted(b["id"] for b in buttons) == [6, IDNO], f"not a Yes/No box: {buttons!r}")
    env.driver.click([b for b in buttons if b["id"] == IDNO][0]["hwnd"])

    idp.approve_device(code, USER)
    check(program.wait_trace(b"signed in\r\n", 60), f"no sign-in:\n{tail(program, 4000)}")
    check(program.wait_trace(b"Host QUIT OK\r\n", 60), f"no check after it:\n{tail(program, 4000)}")
    first = program.text()
    check(b"AppState = CAPA, sending AUTH XOAUTH2\r\n" in first and b"2 messages " in first,
          f"no XOAUTH2 login:\n{tail(program, 4000)}")
    logins = server.log_lines(f"Login: user=<{USER}>")
    check(len(logins) == 1 and "TLS" in logins[0], f"logins {logins}")
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")

    # The refresh token sealed with DPAPI: neither it nor any part of the record in the clear.
    files = token_files(env)
    check(len(files) == 1 and files[0].endswith("token.dat"), f"token files {files}")
    with open(files[0], "rb") as f:
        sealed = f.read()
    record = stored_record(env)
    refresh = record.get("refresh_token", "")
    check(len(refresh) >= 16 and "access_token" not in record, f"record fields {sorted(record)}")
    # It opens only through CryptUnprotectData (above); nothing of the record shows in it.
    for clear in (refresh.encode(), b"refresh_token", ISSUER.encode(), b"kestova"):
        check(clear not in sealed, f"the token file holds {clear[:12]!r} in the clear")
    log(f"token file {len(sealed)} bytes, sealed with DPAPI")

    # A restart, now with TLS from the first byte (995): the stored token is refreshed (and the
    # rotated one stored), no user step.
    env.reg_import(dict(values, SSL=1))
    env.new_display_file()
    program2 = env.start_program()
    window = env.main_window()
    check(program2.wait_trace(b"Host QUIT OK\r\n", 60), f"no check:\n{tail(program2, 4000)}")
    second = program2.text()
    check(b"OAuth: refresh token stored\r\n" in second, f"no refresh:\n{tail(program2, 4000)}")
    check(b"AppState = CAPA, sending AUTH XOAUTH2\r\n" in second, "no XOAUTH2 login")
    check(b"sign in: open" not in second, "the restart asked for a sign-in")
    check(message_box(env, 1) is None, "a box after the restart")
    logins = server.log_lines(f"Login: user=<{USER}>")
    check(len(logins) == 2 and "TLS" in logins[1], f"logins {logins}")
    check(b"AppState = CONNECTING, sending CAPA\r\n" in second, "the restart did not use 995")
    env.command(window, IDM_EXIT)
    check(program2.wait(15) == 0, "exit code after IDM_EXIT")
    rotated = stored_record(env).get("refresh_token", "")
    check(rotated and rotated != refresh, "the refresh token did not rotate")

    # No token the provider issued in anything the program wrote: its trace, decoded, and all of
    # Wine's output as it came (a cut debug string could hide part of a token from the first).
    outputs = []
    for p in (program, program2):
        p.reader.join(timeout=5)
        check(p.truncated == 0, f"{p.name}: {p.truncated} trace lines were cut")
        with open(p.stderr_path, "rb") as f:
            outputs.append(f.read())
    with open(issued) as f:
        tokens = [t for t in f.read().split() if len(t) >= 16]
    # The sign-in and the refresh each hand out an access and a refresh token; the stored ones
    # are among them, so the log is complete.
    check(len(tokens) >= 4 and refresh in tokens and rotated in tokens,
          f"{len(tokens)} tokens issued, not the ones stored")
    for secret in tokens:
        for output in [first, second] + outputs:
            check(secret.encode() not in output, "a token reached the program's output")
    log(f"restart logged in with the stored refresh token; none of the {len(tokens)} tokens "
        "issued is in the output")
