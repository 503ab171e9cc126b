"""Start, stop and clean-up shared by the end-to-end runners and the benchmarks that run the
real program (tests/e2e/*.py, tests/bench/soak.py, idle_bench.py), and by the real POP3
servers they start (tests/support/dovecot.py, mailutils.py).

stdlib only.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time


def end_on_sigterm(proc, timeout=10, what="the program"):
    """Ends proc as SIGTERM does and returns its exit code. A process that has ended already
    gives its code; one that outlives timeout seconds is killed and AssertionError raised."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise AssertionError(f"{what} did not end on SIGTERM")


def kill_left(procs):
    """Kills and reaps every process of procs that still runs (None entries are skipped)."""
    for proc in procs:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()


def make_work_dir(prefix, mode=0o755):
    """A fresh temporary work dir; 0755 by default, so servers running as other users (Dovecot)
    reach the mailbox below it."""
    workdir = tempfile.mkdtemp(prefix=prefix)
    os.chmod(workdir, mode)
    return workdir


def finish_work_dir(workdir, keep=False, ok=True):
    """Removes the work dir after a run that passed; keeps it (and says where) when asked to
    or when the run failed, for the traces and logs inside."""
    if keep or not ok:
        print(f"work dir kept: {workdir}")
    else:
        shutil.rmtree(workdir, ignore_errors=True)


def start_server(argv, log_path, address, port, what, log_text, timeout=15):
    """Starts a POP3 server (argv, its output appended to log_path) and returns its process
    once a connection to address:port is greeted with "+OK". A server that ends first or does
    not answer within timeout seconds is taken down and RuntimeError raised with log_text()."""
    with open(log_path, "ab") as log:
        proc = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT)
    deadline = time.time() + timeout
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"{what} ended at start:\n" + log_text())
        try:
            with socket.create_connection((address, port), timeout=1) as s:
                if s.recv(64).startswith(b"+OK"):
                    return proc
        except OSError:
            pass
        time.sleep(0.1)
    # Not left running behind the failed start: the caller never got it to stop.
    stop_server(proc)
    raise RuntimeError(f"{what} did not answer:\n" + log_text())


def stop_server(proc, address=None, port=None):
    """Ends a server started by start_server (killed when it outlives 10 s of SIGTERM); None
    or an ended one is left as it is. Given address and port, waits (up to 10 s) until no
    connection is taken there any more, so the next server can listen on the same port."""
    if proc is not None and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if address is None:
        return
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            socket.create_connection((address, port), timeout=0.5).close()
            time.sleep(0.1)
        except OSError:
            return


class SilentListener:
    """Accepts connections on address:port, holds them open and never says a word: a server
    that stops answering before its greeting or in the middle of a TLS handshake."""

    def __init__(self, address, port=110):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(5)
        self.held = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)

    def stop(self):
        # Shutting the listener down wakes the accept; closing it alone would not, and the
        # blocked accept would keep the port taking connections.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(timeout=5)
        for conn in self.held:
            conn.close()
