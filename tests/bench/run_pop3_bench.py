#!/usr/bin/env python3
"""Runs pop3_bench against Dovecot with 0, 50, 255 and 300 messages, and with 50 messages that
each carry 6 KB of provider headers (Received, ARC, DKIM) before their From: line, so that every
reply to TOP is longer than the program's 4,096-byte buffer. Inside a network namespace of its
own so that Dovecot can listen on 127.0.0.1:110 (root needed).

    run_pop3_bench.py --bench build/linux/tests/pop3_bench [--runs 10] [--rounds 3]
    run_pop3_bench.py --bench build/linux/tests/pop3_bench --tls --counts 0,50,255

With --delays 0,10 every count is measured again behind tests/support/latency_proxy.py, which
delays each direction by that many milliseconds (10: a 20 ms round trip), and --pipelined adds
the project's own pipelining client (all TOP commands and QUIT in one send) to every row:

    run_pop3_bench.py --bench build/linux/tests/pop3_bench --tls --counts 0,50,255 \
        --large 0 --delays 0,10 --pipelined

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
from scenario_runner import enter_network_namespace  # noqa: E402
import real_mail  # noqa: E402
from native_program import LatencyProxy  # noqa: E402
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
    parser.add_argument("--delays", default="0",
                        help="one-way delays in ms of a latency proxy in front of Dovecot")
    parser.add_argument("--pipelined", action="store_true",
                        help="measure the pipelining client beside the others")
    parser.add_argument("--slow-runs", default="3", help="checks per child behind a delay")
    args = parser.parse_args()
    code = enter_network_namespace(__file__, sys.argv[1:], tools=("unshare", "ip", "dovecot"))
    if code is not None:
        return code
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
        delays = [float(d) for d in args.delays.split(",")]
        runs = [(count, label, delay) for delay in delays for count, label in mailboxes
                if delay == 0 or label is None]
        proxies = {}
        for count, label, delay in runs:
            if label is None:
                messages = [dovecot.message(f"Sender {n} <sender{n}@example.com>", f"Message {n}")
                            for n in range(1, count + 1)]
            else:
                messages = [(real_mail.provider_headers(6 * 1024) +
                             f"From: Sender {n} <sender{n}@example.com>\r\n"
                             f"Subject: Message {n}\r\n\r\nHello.\r\n").encode()
                            for n in range(1, count + 1)]
            server.set_messages(messages)
            slow = delay > 0
            cmd = [os.path.abspath(args.bench), "--messages", str(count), "--user", USER,
                   "--password", PASSWORD, "--runs", args.slow_runs if slow else args.runs,
                   "--rounds", "1" if slow else args.rounds]
            if args.pipelined:
                cmd.append("--pipelined")
            if slow:
                if delay not in proxies:
                    target = 995 if args.tls else 110
                    proxies[delay] = LatencyProxy(f"127.0.0.1:{1000 + target + len(proxies)}",
                                                  f"127.0.0.1:{target}", delay)
                cmd += ["--port", str(proxies[delay].port)]
                label = f"{count}@{2 * delay:g}ms"
                if args.tls:
                    cmd.append("--tls")
            elif args.tls:
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
        for proxy in proxies.values() if "proxies" in locals() else ():
            proxy.stop()
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
