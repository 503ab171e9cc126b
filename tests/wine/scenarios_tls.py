"""The Windows program's secure connections under Wine (SChannel through Wine's secur32, the
certificate checked by Wine's crypt32) against Dovecot with TLS.

The program trusts the test CA the way a user's system would: Wine builds its ROOT store from
the host's CA bundle, so inside this run's mount namespace a copy of the system bundle with the
test CA appended is bind-mounted over the original for the length of the scenario."""
import contextlib
import os
import subprocess
import time

import dovecot
from harness import IDM_CHECK, IDM_EXIT, IDM_PROPERTIES, check, log
from scenarios import (DIALOG_CAPTION, PASSWORD, USER, in_order, mailbox, message_box, settings,
                       tail)
from native_program import LatencyProxy
from processes import SilentListener
from test_certs import SYSTEM_BUNDLE, TestCerts, fingerprint

TLS = ("InitializeSecurityContextA", "CertGetCertificateChain")
BOX_CERTIFICATE = "サーバーの証明書を確認できませんでした。\r\n暗号化通信を中止しました。"
BOX_HANDSHAKE = "サーバーとの暗号化通信を開始できませんでした。"
BOX_PIN_TOO_LONG = ("設定 CERTPIN が長すぎるため、サーバーの証明書を受け入れませんでした。\r\n"
                    "暗号化通信を中止しました。")


@contextlib.contextmanager
def trusted_bundle(bundle):
    """The bundle bind-mounted over the system's for as long as the block runs."""
    subprocess.run(["mount", "--bind", bundle, SYSTEM_BUNDLE], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", SYSTEM_BUNDLE], check=False)


def tls_server(env, cert, messages):
    """Replaces the scenario's Dovecot with one that requires TLS, serving cert."""
    if env.server is not None:
        env.server.stop()
    env.server = dovecot.Dovecot(os.path.join(env.tmp, f"dovecot-{time.time_ns()}"), user=USER,
                                 password=PASSWORD, tls=cert)
    env.server.start()
    env.server.set_messages(messages)
    return env.server


def run_once(env, values):
    """One start of the program with these settings; returns the program and its window."""
    env.reg_delete()
    env.reg_import(values)
    program = env.start_program()
    return program, env.main_window()


def finish(env, program, window):
    env.command(window, IDM_EXIT)
    check(program.wait(15) == 0, "exit code after IDM_EXIT")


def good_check(env, mode, accepted=b"TLS certificate accepted\r\n", count=3, **extra):
    program, window = run_once(env, settings(SSL=mode, **extra))
    check(program.wait_trace(b"Host QUIT OK\r\n", 40), f"no completed check:\n{tail(program, 4000)}")
    trace = program.text()
    parts = [b"----- TLS HANDSHAKE -----\r\n", b"Starting TLS handshake with localhost\r\n",
             b"TLS handshake done: TLSv1.2, ", accepted]
    if mode == 2:
        parts = [b"AppState = CONNECTING, sending STLS\r\n", b"AppState = STLS, starting TLS\r\n"] \
            + parts + [b"AppState = STLS, sending CAPA\r\n"]
    else:
        parts += [b"AppState = CONNECTING, sending CAPA\r\n"]
    # Dovecot pipelines: every TOP command and QUIT go out at once; one FROM block per message.
    parts += [b"Server pipelines commands: TOP commands sent at once\r\n",
              b"AppState = CAPA, sending USER\r\n",
              b"AppState = USER, sending PASS\r\n", b"AppState = PASS, sending STAT\r\n",
              b"%d messages " % count, b"Sending TOP\r\n",
              b"Sent TOP 1 to TOP %d and QUIT at once\r\n" % count]
    parts += [b"----- FROM -----\r\nUser %d <u%d@kc.jp>\r\n\r\n----- FROM -----\r\n" % (i, i)
              for i in range(1, count + 1)]
    parts += [b"AppState = TOP, QUIT sent already, reading its reply\r\n", b"Host QUIT OK\r\n",
              b"Closing socket\r\n"]
    missing = in_order(trace, parts)
    check(missing is True, f"trace lacks {missing!r}; trace:\n{tail(program, 4000)}")
    check(PASSWORD.encode() not in trace, "the password reached the trace")
    finish(env, program, window)
    return trace


def starttls_from_the_dialog(env):
    """A plain account switched to STARTTLS in the settings dialog: saved as SSL 2, and the
    next check upgrades the connection."""
    CB_SETCURSEL, CB_GETCURSEL, IDC_ENCRYPTION, IDC_ADVANCED = 0x14E, 0x147, 1009, 1020
    program, window = run_once(env, settings())
    check(program.wait_trace(b"Host QUIT OK\r\n", 40), f"no plain check:\n{tail(program)}")
    check(b"TLS HANDSHAKE" not in program.text(), "a plain account spoke TLS")
    env.command(window, IDM_PROPERTIES)
    recs = env.driver.wait_window("#32770", DIALOG_CAPTION, 15)
    check(recs, "the settings dialog did not open")
    kids = {k["id"]: k for k in env.driver.children(recs[0]["hwnd"])}
    # The list is in the second dialog, 詳細設定, behind the settings dialog's one button.
    env.driver.click(kids[IDC_ADVANCED]["hwnd"])
    adv = env.driver.wait_window("#32770", "詳細設定", 10)
    check(adv, "the second dialog did not open")
    akids = {k["id"]: k for k in env.driver.children(adv[0]["hwnd"])}
    combo = akids[IDC_ENCRYPTION]["hwnd"]
    check(env.driver.send(combo, CB_GETCURSEL) == 0, "the list does not show なし")
    env.driver.send(combo, CB_SETCURSEL, 2)
    env.driver.click(akids[1]["hwnd"])
    check(env.driver.wait_window("#32770", "詳細設定", 10, gone=True) is not None,
          "the second dialog stayed open")
    env.driver.click(kids[1]["hwnd"])
    check(env.driver.wait_window("#32770", DIALOG_CAPTION, 10, gone=True) is not None,
          "the dialog stayed open")
    check(env.driver.regdump()["SSL"]["data_bytes"] == (2).to_bytes(4, "little"),
          "SSL 2 was not saved")
    env.command(window, IDM_CHECK)
    check(program.wait_trace(b"Host QUIT OK\r\n", 40, 2), f"no second check:\n{tail(program)}")
    second = program.text().split(b"----- FIND HOST -----")[-1]
    missing = in_order(second, [b"AppState = CONNECTING, sending STLS\r\n",
                                b"TLS certificate accepted\r\n",
                                b"AppState = STLS, sending CAPA\r\n",
                                b"AppState = CAPA, sending USER\r\n", b"3 messages "])
    check(missing is True, f"the second check lacks {missing!r}:\n{tail(program, 4000)}")
    finish(env, program, window)


def refused_check(env, line, box_text):
    """The certificate is refused with its trace line and one box; a second check while the
    box is open is refused too but opens no second box."""
    program, window = run_once(env, settings(SSL=1))
    check(program.wait_trace(line, 40), f"no {line!r}:\n{tail(program, 4000)}")
    found = message_box(env, 10)
    check(found is not None, "no message box for the refusal")
    box, texts, buttons = found
    check(box_text in texts, f"box texts {texts!r}")
    env.command(window, IDM_CHECK)
    check(program.wait_trace(line, 40, 2), f"the second check was not refused:\n{tail(program)}")
    time.sleep(1)
    boxes = [w for w in env.driver.windows("#32770", "KESTOVA") if w["visible"]]
    check(len(boxes) == 1, f"{len(boxes)} boxes open after two refusals")
    env.driver.click([b for b in buttons if b["text"] == "OK"][0]["hwnd"])
    check(env.driver.wait_window("#32770", "KESTOVA", 10, gone=True) is not None,
          "the box did not close")
    trace = program.text()
    check(b"sending USER" not in trace, "the login went out after a refusal")
    finish(env, program, window)


def tls(env):
    """Modes 1 and 2 complete; a wrong name, an untrusted CA, an expired and a self-signed
    certificate are refused and nothing of the login reaches Dovecot; a pinned self-signed
    certificate is accepted; a plain server on the TLS port fails the handshake."""
    env.require(*TLS, feature="TLS")
    certs = TestCerts(os.path.join(env.tmp, "certs"))
    with trusted_bundle(certs.bundle()):
        server = tls_server(env, certs.server("good"), mailbox(3))
        good_check(env, 1)
        good_check(env, 2)
        logins = server.log_lines(f"Login: user=<{USER}>")
        check(len(logins) == 2 and all("TLS" in line for line in logins), f"logins {logins}")
        log("modes 1 and 2 completed over TLS")
        starttls_from_the_dialog(env)
        logins = server.log_lines(f"Login: user=<{USER}>")
        check(len(logins) == 4 and "TLS" in logins[-1], f"logins {logins}")
        log("STARTTLS chosen in the dialog, saved and used")

        # Through a link of 20 ms round trip, both modes: the batch, the senders, QUIT.
        server = tls_server(env, certs.server("good"), mailbox(60))
        for mode, listen, target in ((1, 1995, 995), (2, 1110, 110)):
            proxy = LatencyProxy(f"127.0.0.1:{listen}", f"127.0.0.1:{target}", 10)
            try:
                good_check(env, mode, count=60, PORT=listen)
            finally:
                proxy.stop()
        log("60 messages pipelined over a 20 ms link, modes 1 and 2")

        cases = [
            (certs.server("other-name", names=("mail.example.org",)),
             "wrong name, not issued for localhost"),
            (certs.server("stranger", issuer=certs.stranger), "not trusted (issuer unknown)"),
            (certs.server("expired", days=-1), "expired"),
            (certs.self_signed("self"), "self-signed, not trusted"),
        ]
        for cert, text in cases:
            server = tls_server(env, cert, mailbox(3))
            line = (b"TLS certificate refused: " + text.encode() + b"; SHA-256 " +
                    fingerprint(cert[0]).encode() + b"\r\n")
            refused_check(env, line, BOX_CERTIFICATE)
            check(not server.log_lines("Login:"), f"{text}: a login reached Dovecot")
            check(not server.log_lines("passwd-file("), f"{text}: an auth attempt reached Dovecot")
            log(f"refused: {text}")

        self_signed = cases[-1][0]
        server = tls_server(env, self_signed, mailbox(3))
        good_check(env, 1, accepted=b"TLS certificate accepted: it matches CERTPIN\r\n",
                   CERTPIN=fingerprint(self_signed[0]))
        check(len(server.log_lines("Login:")) == 1, "the pinned login did not reach Dovecot")
        log("pinned self-signed certificate accepted")

        server.stop()
        env.server = dovecot.Dovecot(os.path.join(env.tmp, "dovecot-plain"), user=USER,
                                     password=PASSWORD, port=995)
        env.server.start()
        program, window = run_once(env, settings(SSL=1))
        check(program.wait_trace(b"TLS handshake failed: ", 40),
              f"no handshake failure:\n{tail(program, 4000)}")
        found = message_box(env, 10)
        check(found is not None and BOX_HANDSHAKE in found[1], f"handshake box {found!r}")
        env.driver.click([b for b in found[2] if b["text"] == "OK"][0]["hwnd"])
        check(not env.server.log_lines("Login:"), "a login reached the plain server")
        finish(env, program, window)
        log("plain server on the TLS port: handshake failed, no login")


def next_check_completes(env, program, window, count):
    """The cycle is idle again: a check asked for now runs and completes over TLS."""
    env.command(window, IDM_CHECK)
    check(program.wait_trace(b"----- FIND HOST -----", 15, count + 1),
          f"no new check after the failed one:\n{tail(program)}")
    check(program.wait_trace(b"Host QUIT OK\r\n", 40),
          f"the next check did not complete:\n{tail(program, 4000)}")
    check(b"TLS certificate accepted\r\n" in program.text().split(b"----- FIND HOST -----")[-1],
          "the next check did not go over TLS")


def close_box(env, text):
    found = message_box(env, 10)
    check(found is not None and text in found[1], f"box {found!r}")
    env.driver.click([b for b in found[2] if b["text"] == "OK"][0]["hwnd"])


def tls_faults(env):
    """A server that refuses STLS gets no password; a plain-text server on the TLS port and a
    server silent in the middle of the handshake end the check, and the next check runs."""
    env.require(*TLS, feature="TLS")
    certs = TestCerts(os.path.join(env.tmp, "certs"))
    good = certs.server("good")
    with trusted_bundle(certs.bundle()):
        # A server without TLS: STLS is refused, QUIT follows, no login.
        env.server.start()
        env.server.set_messages(mailbox(3))
        program, window = run_once(env, settings(SSL=2))
        check(program.wait_trace(b"Negative response: STLS command not supported\r\n", 30),
              f"STLS was not refused:\n{tail(program, 4000)}")
        check(program.wait_trace(b"Host QUIT OK\r\n", 30), "no QUIT after the refused STLS")
        check(b"sending USER" not in program.text(), "the login went out after a refused STLS")
        check(not env.server.log_lines("Login:"), "a login reached the server without TLS")
        finish(env, program, window)
        env.server.stop()
        log("STLS refused: no login")

        # Plain text on 995: the handshake fails; the next check meets a TLS server there.
        env.server = dovecot.Dovecot(os.path.join(env.tmp, "dovecot-plain"), user=USER,
                                     password=PASSWORD, port=995)
        env.server.start()
        program, window = run_once(env, settings(SSL=1))
        check(program.wait_trace(b"TLS handshake failed: ", 40),
              f"no handshake failure:\n{tail(program, 4000)}")
        close_box(env, BOX_HANDSHAKE)
        tls_server(env, good, mailbox(3))
        next_check_completes(env, program, window, 1)
        finish(env, program, window)
        log("plain server on the TLS port: handshake failed, the next check ran")

        # Silent in the middle of the handshake: the time limit ends it.
        env.server.stop()
        silent = SilentListener("127.0.0.1", 995)
        try:
            program, window = run_once(env, settings(SSL=1))
            check(program.wait_trace(b"Starting TLS handshake with localhost\r\n", 30),
                  f"no handshake:\n{tail(program)}")
            began = time.time()
            check(program.wait_trace(b"Server timed out\r\n", 90),
                  f"the silent handshake was not given up:\n{tail(program)}")
            waited = time.time() - began
            check(50 <= waited <= 80, f"gave up after {waited:.0f} s")
        finally:
            silent.stop()
        tls_server(env, good, mailbox(3))
        next_check_completes(env, program, window, 1)
        finish(env, program, window)
        log(f"silent handshake given up after {waited:.0f} s, the next check ran")


def tls_settings(env):
    """Secure settings fail closed in the Windows registry: an SSL that is a REG_QWORD (read
    with ERROR_MORE_DATA), the string "1" or 5 bytes of REG_BINARY secures the connection from
    the first byte, with its trace line, and Dovecot sees each login over TLS; a CERTPIN too
    long for a fingerprint refuses a certificate the system trusts, and no login is tried."""
    env.require(*TLS, feature="TLS")
    certs = TestCerts(os.path.join(env.tmp, "certs"))
    good = certs.server("good")
    with trusted_bundle(certs.bundle()):
        server = tls_server(env, good, mailbox(3))
        cases = [("REG_QWORD", None, 11, 8), ("the string 1", "1", 1, 2),
                 ("5 bytes of REG_BINARY", b"\x01\0\0\0\0", 3, 5)]
        for what, value, kind, length in cases:
            env.reg_delete()
            if value is None:
                env.reg_import(settings())
                env.reg("add", r"HKLM\SOFTWARE\KESTOVA", "/v", "SSL", "/t", "REG_QWORD", "/d", "1",
                        "/f", env.reg_view())
            else:
                env.reg_import(settings(SSL=value))
            program = env.start_program()
            window = env.main_window()
            check(program.wait_trace(b"Host QUIT OK\r\n", 40),
                  f"{what}: no completed check:\n{tail(program, 4000)}")
            said = (b"SSL value cannot be read as a REG_DWORD (type %d, %d bytes): using TLS from "
                    b"the first byte, as SSL 1\r\n" % (kind, length))
            missing = in_order(program.text(), [said, b"----- TLS HANDSHAKE -----\r\n",
                                                b"TLS certificate accepted\r\n",
                                                b"AppState = CAPA, sending USER\r\n",
                                                b"3 messages "])
            check(missing is True, f"{what}: trace lacks {missing!r}:\n{tail(program, 4000)}")
            finish(env, program, window)
            log(f"SSL as {what}: TLS from the first byte")
        logins = server.log_lines(f"Login: user=<{USER}>")
        check(len(logins) == len(cases) and all("TLS" in line for line in logins),
              f"logins {logins}")

        server = tls_server(env, good, mailbox(3))
        other = fingerprint(certs.self_signed("other")[0])
        env.reg_delete()
        env.reg_import(settings(SSL=1, CERTPIN=other + " " * 2000))
        program = env.start_program()
        window = env.main_window()
        line = b"TLS certificate refused: CERTPIN is too long for a SHA-256 fingerprint ("
        check(program.wait_trace(line, 40), f"no {line!r}:\n{tail(program, 4000)}")
        close_box(env, BOX_PIN_TOO_LONG)
        check(b"sending USER" not in program.text(), "the login went out with a CERTPIN too long")
        check(not server.log_lines("Login:"), "a login reached Dovecot")
        check(not server.log_lines("passwd-file("), "an auth attempt reached Dovecot")
        finish(env, program, window)
        log("CERTPIN too long: a trusted certificate refused, no login")


def tls_address(env):
    """The server field holds an IPv4 address: a certificate with that address among its IP
    entries is accepted (the program matches the address itself, as OpenSSL does on Linux; Wine's
    SSL policy matches DNS names only), one for another address or for DNS names only is refused
    as not issued for it, and no login reaches Dovecot then."""
    env.require(*TLS, feature="TLS")
    certs = TestCerts(os.path.join(env.tmp, "certs"))
    with trusted_bundle(certs.bundle()):
        server = tls_server(env, certs.server("by-address"), mailbox(3))
        program, window = run_once(env, settings(SERVER="127.0.0.1", SSL=1))
        check(program.wait_trace(b"Host QUIT OK\r\n", 40),
              f"no completed check:\n{tail(program, 4000)}")
        missing = in_order(program.text(), [b"Starting TLS handshake with 127.0.0.1\r\n",
                                            b"TLS certificate accepted\r\n",
                                            b"AppState = CAPA, sending USER\r\n", b"3 messages "])
        check(missing is True, f"trace lacks {missing!r}:\n{tail(program, 4000)}")
        finish(env, program, window)
        logins = server.log_lines(f"Login: user=<{USER}>")
        check(len(logins) == 1 and "TLS" in logins[0], f"logins {logins}")
        log("a certificate with IP:127.0.0.1 accepted for the server 127.0.0.1")

        for name, names in (("other-address", ("localhost", "127.0.0.2")),
                            ("names-only", ("localhost",))):
            cert = certs.server(name, names=names)
            server = tls_server(env, cert, mailbox(3))
            line = (b"TLS certificate refused: wrong name, not issued for 127.0.0.1; SHA-256 " +
                    fingerprint(cert[0]).encode() + b"\r\n")
            program, window = run_once(env, settings(SERVER="127.0.0.1", SSL=1))
            check(program.wait_trace(line, 40), f"no {line!r}:\n{tail(program, 4000)}")
            close_box(env, BOX_CERTIFICATE)
            check(b"sending USER" not in program.text(), "the login went out after a refusal")
            finish(env, program, window)
            check(not server.log_lines("Login:"), f"{name}: a login reached Dovecot")
            log(f"a certificate for {', '.join(names)} refused for the server 127.0.0.1")

