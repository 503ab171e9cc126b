"""A second real POP3 server for the end-to-end suites: GNU mailutils' pop3d (Debian package
mailutils-pop3d), run from a config file in a temp dir.

It answers differently from Dovecot: its "+OK" and the data of a reply leave in separate
packets, it keeps an mbox file, and it answers "-ERR [IN-USE] ..." while another client holds
the mailbox. The account is a virtual domain user (USER "kestova@kc.test"): the password file
dir/pw/kc.test holds its crypt(3) hash, and its mailbox is dir/home/<user>/INBOX.

The listener is fixed at 127.0.0.1:110, so the caller runs inside a network namespace of its
own (`unshare -n`, `ip link set lo up`).

    with Pop3d(workdir, user="kestova", password="secret") as server:
        server.set_messages([b"From: a@b\r\n\r\nHi\r\n"])

stdlib and the openssl command only; needs root (port 110).
"""
import os
import shutil
import subprocess

from processes import start_server, stop_server

DOMAIN = "kc.test"
MAIL_UID = 65534
MAIL_GID = 65534


def available():
    return shutil.which("pop3d") is not None or os.path.exists("/usr/sbin/pop3d")


class Pop3d:
    def __init__(self, workdir, user="kestova", password="secret", address="127.0.0.1", port=110):
        self.dir = os.path.abspath(workdir)
        self.user = user
        self.login = f"{user}@{DOMAIN}"  # the name the client gives
        self.password = password
        self.address = address
        self.port = port
        self.proc = None
        self.home = os.path.join(self.dir, "home", user)
        self.mbox = os.path.join(self.home, "INBOX")

    def _write_config(self):
        os.makedirs(os.path.join(self.dir, "pw"), exist_ok=True)
        os.makedirs(self.home, exist_ok=True)
        for d in (self.dir, os.path.join(self.dir, "home")):
            os.chmod(d, 0o755)
        conf = f"""
mode daemon;
foreground yes;
pidfile {self.dir}/pop3d.pid;
auth {{
  authentication generic;
  authorization virtdomain;
}};
virtdomain {{
  passwd-dir {self.dir}/pw;
}};
logging {{
  syslog no;
}};
server {self.address}:{self.port} {{
  transcript yes;
}};
"""
        with open(os.path.join(self.dir, "pop3d.conf"), "w") as f:
            f.write(conf)
        self.set_password(self.password)
        self.set_messages([])

    def set_password(self, password):
        self.password = password
        digest = subprocess.run(["openssl", "passwd", "-6", password], check=True,
                                capture_output=True, text=True).stdout.strip()
        with open(os.path.join(self.dir, "pw", DOMAIN), "w") as f:
            f.write(f"{self.user}:{digest}:{MAIL_UID}:{MAIL_GID}:KESTOVA:{self.home}:/dev/null\n")

    def set_messages(self, messages):
        """Replaces the mbox with these messages (bytes each, CR LF or LF lines), in this order.
        CR LF is stored as LF, as mail is stored on Unix, unless the message is given as a
        (bytes, True) pair: then its lines keep their CR, as a file copied from Windows does."""
        self._write_messages(messages, "wb")

    def add_messages(self, messages):
        """Appends messages to the mbox, keeping what pop3d wrote into it (its X-UID and
        X-IMAPbase headers): the messages already there keep their UIDL IDs, where a rewritten
        mbox gets new ones as soon as the clock has moved on to another second."""
        self._write_messages(messages, "ab")

    def _write_messages(self, messages, mode):
        with open(self.mbox, mode) as f:
            for item in messages:
                data, keep_cr = item if isinstance(item, tuple) else (item, False)
                if not keep_cr:
                    data = data.replace(b"\r\n", b"\n")
                lines = data.split(b"\n")
                # Lines that would read as the start of the next message are quoted.
                lines = [b">" + line if line.startswith(b"From ") else line for line in lines]
                f.write(b"From kestova@kc.test Thu Dec 10 06:26:09 2026\n")
                f.write(b"\n".join(lines).rstrip(b"\n") + b"\n\n")
        for root, dirs, files in os.walk(self.home):
            os.chown(root, MAIL_UID, MAIL_GID)
            for name in files:
                os.chown(os.path.join(root, name), MAIL_UID, MAIL_GID)

    def start(self, timeout=15):
        if not os.path.exists(os.path.join(self.dir, "pop3d.conf")):
            self._write_config()
        self.proc = start_server(["pop3d", "--config-file=" + os.path.join(self.dir, "pop3d.conf")],
                                 os.path.join(self.dir, "pop3d.log"), self.address, self.port,
                                 "pop3d", self.log_text, timeout)
        return self

    def stop(self):
        stop_server(self.proc)
        self.proc = None

    def log_text(self):
        path = os.path.join(self.dir, "pop3d.log")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as f:
            return f.read()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
