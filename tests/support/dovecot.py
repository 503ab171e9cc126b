"""A real POP3 server for the end-to-end suites: Dovecot from a config file in a temp dir.

The listener is fixed at 127.0.0.1:110 (the "pop3" service port the program looks up), so the
caller runs inside a network namespace of its own (`unshare -n`, `ip link set lo up`).

    with Dovecot(workdir, user="kestova", password="secret") as server:
        server.set_messages([message("Alice <alice@example.com>", "Hello")])
        ...

stdlib only; needs root (port 110, mail owned by nobody) and the dovecot-pop3d package.
"""
import os
import shutil
import subprocess
import time

from processes import start_server, stop_server

MAIL_UID = 65534  # nobody: the mailbox owner (Dovecot refuses uid 0 for mail)
MAIL_GID = 65534


def message(sender, subject="Test", body="Hello.\r\n", extra_headers=()):
    """An RFC 5322 message as bytes; `sender` is the From: value as written (may be folded)."""
    lines = ["From: " + sender, "To: kestova@example.com", "Subject: " + subject,
             "Date: Mon, 07 Dec 2026 06:26:09 +0000"]
    lines += list(extra_headers)
    text = "\r\n".join(lines) + "\r\n\r\n" + body
    return text.encode("utf-8")


def lo_up():
    """Brings up the loopback of a fresh network namespace."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


class Dovecot:
    def __init__(self, workdir, user="kestova", password="secret", address="127.0.0.1",
                 port=110, tls=None, tls_port=995, oauth2=None):
        """tls: (certificate file, key file) for TLS with `ssl = required`: STLS on `port`
        and TLS from the first byte on `tls_port`; each login is logged, with "TLS" in the
        line when it came over TLS.
        oauth2: (introspection URL with the client's ID and secret, mechanisms) to log in
        with OAuth 2.0 tokens checked by RFC 7662 introspection instead of the password;
        mechanisms is what CAPA lists in its SASL line ("xoauth2 oauthbearer")."""
        self.dir = os.path.abspath(workdir)
        self.user = user
        self.password = password
        self.address = address
        self.port = port
        self.tls = tls
        self.tls_port = tls_port
        self.oauth2 = oauth2
        self.proc = None
        self.home = os.path.join(self.dir, "home", user)
        self.maildir = os.path.join(self.home, "Maildir")
        self._serial = 0

    # -- files --------------------------------------------------------------------------------
    def _write_config(self):
        for sub in ("run", "state", "home"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        os.chmod(self.dir, 0o755)
        os.chmod(os.path.join(self.dir, "home"), 0o755)
        conf = f"""
protocols = pop3
listen = {self.address}
base_dir = {self.dir}/run
state_dir = {self.dir}/state
log_path = {self.dir}/dovecot.log
info_log_path = {self.dir}/dovecot.log
{self._ssl_settings()}
auth_mechanisms = {self._mechanisms()}
auth_failure_delay = 0
first_valid_uid = 1
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
{self._passdb()}
userdb {{
  driver = static
  args = uid={MAIL_UID} gid={MAIL_GID} home={self.dir}/home/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = {self.address}
    port = {self.port}
  }}
{self._tls_listener()}
}}
service imap-login {{
  inet_listener imap {{
    port = 0
  }}
}}
"""
        with open(os.path.join(self.dir, "dovecot.conf"), "w") as f:
            f.write(conf)
        self.set_password(self.password)
        self.set_messages([])

    def _mechanisms(self):
        return self.oauth2[1] if self.oauth2 else "plain"

    def _passdb(self):
        if not self.oauth2:
            return (f"passdb {{\n  driver = passwd-file\n"
                    f"  args = scheme=PLAIN username_format=%u {self.dir}/passwd\n}}")
        conf = os.path.join(self.dir, "dovecot-oauth2.conf.ext")
        with open(conf, "w") as f:
            f.write(f"introspection_url = {self.oauth2[0]}\n"
                    "introspection_mode = post\nforce_introspection = yes\n"
                    "username_attribute = sub\nactive_attribute = active\n"
                    "active_value = true\n")
        os.chmod(conf, 0o644)
        return (f"passdb {{\n  driver = oauth2\n  mechanisms = {self.oauth2[1]}\n"
                f"  args = {conf}\n}}")

    def _ssl_settings(self):
        if not self.tls:
            return "ssl = no\ndisable_plaintext_auth = no"
        cert, key = (os.path.abspath(p) for p in self.tls)
        return (f"ssl = required\nssl_cert = <{cert}\nssl_key = <{key}\n"
                "disable_plaintext_auth = yes\nauth_verbose = yes")

    def _tls_listener(self):
        if not self.tls:
            return ""
        return (f"  inet_listener pop3s {{\n    address = {self.address}\n"
                f"    port = {self.tls_port}\n    ssl = yes\n  }}")

    def log_lines(self, word):
        """The lines of Dovecot's log that hold word."""
        path = os.path.join(self.dir, "dovecot.log")
        if not os.path.exists(path):
            return []
        with open(path, errors="replace") as f:
            return [line for line in f if word in line]

    def set_password(self, password):
        """Changes the account's password; Dovecot re-reads the file when it changes (it looks
        at most once a second, hence the pause when a server is running)."""
        self.password = password
        path = os.path.join(self.dir, "passwd")
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{self.user}:{{PLAIN}}{password}::::::\n")
        os.chmod(tmp, 0o644)
        # A new mtime even within the same second, so the change is seen.
        now = time.time()
        if os.path.exists(path):
            now = max(now, os.stat(path).st_mtime + 1)
        os.utime(tmp, (now, now))
        os.replace(tmp, path)
        if self.proc is not None:
            time.sleep(1.1)

    def set_messages(self, messages):
        """Replaces the mailbox with these messages (bytes each), in this order."""
        if os.path.isdir(self.maildir):
            shutil.rmtree(self.maildir)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(self.maildir, sub))
        base = int(time.time()) - len(messages)
        for i, data in enumerate(messages):
            self._serial += 1
            name = f"{base + i}.M{self._serial}P{os.getpid()}.kestova"
            path = os.path.join(self.maildir, "new", name)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (base + i, base + i))
        for root, dirs, files in os.walk(self.home):
            os.chown(root, MAIL_UID, MAIL_GID)
            for name in files:
                os.chown(os.path.join(root, name), MAIL_UID, MAIL_GID)
        os.chown(self.home, MAIL_UID, MAIL_GID)

    def add_messages(self, messages):
        """Adds these messages (bytes each) after those in the mailbox, which keep their
        unique IDs (set_messages makes a new mailbox, whose IDs all change)."""
        base = int(time.time())
        for data in messages:
            self._serial += 1
            name = f"{base + self._serial}.M{self._serial}P{os.getpid()}.kestova"
            path = os.path.join(self.maildir, "new", name)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (base + self._serial, base + self._serial))
            os.chown(path, MAIL_UID, MAIL_GID)

    # -- process ------------------------------------------------------------------------------
    def start(self, timeout=15):
        if not os.path.exists(os.path.join(self.dir, "dovecot.conf")):
            self._write_config()
        self.proc = start_server(["dovecot", "-F", "-c", os.path.join(self.dir, "dovecot.conf")],
                                 os.path.join(self.dir, "dovecot.stdout"), self.address, self.port,
                                 "dovecot", self.log_text, timeout)
        return self

    def stop(self):
        # Waits until the port is free: the next server of a scenario may listen on it.
        stop_server(self.proc, self.address, self.port)
        self.proc = None

    def log_text(self):
        out = []
        for name in ("dovecot.log", "dovecot.stdout"):
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    out.append(f.read())
        return "\n".join(out)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
