#!/usr/bin/env python3
"""Runs pop3_bench against Dovecot with 0, 50, 255 and 300 messages, and with 50 messages that
each carry 6 KB of provider headers (Received, ARC, DKIM) before their From: line, so that every
reply to TOP is longer than the program's 4,096-byte buffer. Inside a network namespace of its
own so that Dovecot can listen on 127.0.0.1:110 (root needed).

    run_pop3_bench.py --bench build/linux/tests/pop3_bench [--runs 10] [--rounds 3]
    run_pop3_bench.py --bench build/linux/tests/pop3_bench --tls --counts 0,50,255

With --tls, Dovecot requires TLS (a test CA and certificate made with the openssl command, the
CA trusted through SSL_CERT_FILE) and the checks go to port 995 with TLS from the first byte;
Python's poplib.POP3_SSL is measured beside them in the same run, each check in the same order
of commands, in a child process of its own (median wall time, peak resident memory).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

import dovecot  # noqa: E402
import real_mail  # noqa: E402
from test_certs import TestCerts  # noqa: E402

# One check with poplib.POP3_SSL, as the program makes it: USER, PASS, STAT, TOP n 0 for up to
# 255 messages, QUIT. Prints the median wall time in ms and the peak resident set in KiB.
POPLIB_CHECKS = r"""
import poplib, resource, ssl, statistics, sys, time
host, user, password, count, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
context = ssl.create_default_context()
times = []
for i in range(runs + 1):
    start = time.perf_counter()
    p = poplib.POP3_SSL(host, 995, context=context)
    p.user(user)
    p.pass_(password)
    n, size = p.stat()
    assert n == count, n
    for k in range(1, min(n, 255) + 1):
        p.top(k, 0)
    p.quit()
    if i > 0:
        times.append((time.perf_counter() - start) * 1000)
print("%.3f %d" % (statistics.median(times), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss))
"""

USER = "kestova"
PASSWORD = "bench-secret"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", required=True)
    parser.add_argument("--runs", default="10")
    parser.add_argument("--rounds", default="3")
    parser.add_argument("--counts", default="0,50,255,300")
    parser.add_argument("--tls", action="store_true", help="TLS on 995, beside poplib.POP3_SSL")
    parser.add_argument("--large", default="50",
                        help="messages of the mailbox with 6 KB headers (0: none)")
    args = parser.parse_args()
    if os.environ.get("KC_BENCH_NETNS") != "1":
        if os.geteuid() != 0:
            print("needs root for a network namespace", file=sys.stderr)
            return 1
        env = dict(os.environ, KC_BENCH_NETNS="1")
        return subprocess.call(["unshare", "-n", "--", sys.executable, os.path.abspath(__file__),
                                *sys.argv[1:]], env=env)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    workdir = tempfile.mkdtemp(prefix="kc-bench-")
    os.chmod(workdir, 0o755)
    env = dict(os.environ)
    tls = None
    if args.tls:
        certs = TestCerts(os.path.join(workdir, "certs"))
        tls = certs.server("bench", names=("localhost", "127.0.0.1"))
        env["SSL_CERT_FILE"] = certs.bundle()
    server = dovecot.Dovecot(os.path.join(workdir, "dovecot"), user=USER, password=PASSWORD,
                             tls=tls)
    code = 0
    try:
        server.start()
        first = True
        mailboxes = [(int(c), None) for c in args.counts.split(",")]
        if int(args.large) > 0:
            mailboxes.append((int(args.large), f"{args.large}x6KB"))
        for count, label in mailboxes:
            if label is None:
                messages = [dovecot.message(f"Sender {n} <sender{n}@example.com>", f"Message {n}")
                            for n in range(1, count + 1)]
            else:
                messages = [(real_mail.provider_headers(6 * 1024) +
                             f"From: Sender {n} <sender{n}@example.com>\r\n"
                             f"Subject: Message {n}\r\n\r\nHello.\r\n").encode()
                            for n in range(1, count + 1)]
            server.set_messages(messages)
            cmd = [os.path.abspath(args.bench), "--messages", str(count), "--user", USER,
                   "--password", PASSWORD, "--runs", args.runs, "--rounds", args.rounds]
            if args.tls:
                out = subprocess.run([sys.executable, "-c", POPLIB_CHECKS, "127.0.0.1", USER,
                                      PASSWORD, str(count), args.runs], env=env, check=True,
                                     capture_output=True, text=True).stdout.split()
                cmd += ["--tls", "--other-ms", out[0], "--other-kib", out[1]]
            if label is not None:
                cmd += ["--label", label]
            if first:
                cmd.append("--header")
                first = False
            sys.stdout.flush()
            if subprocess.call(cmd, env=env) != 0:
                code = 1
                print(server.log_text()[-2000:], file=sys.stderr)
                break
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
