#!/usr/bin/env python3
"""Runs newonly_bench against Dovecot with mailboxes of 10,000 and 50,000 messages of which
the last 2 are new (the rest stored as seen beforehand, as a check of the program leaves its
list), inside a network namespace of its own so that Dovecot can listen on 127.0.0.1:110
(root needed).

    run_newonly_bench.py --bench build/linux/tests/newonly_bench [--counts 10000,50000]
                         [--new 2] [--runs 5] [--rounds 3]
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

USER = "kestova"
PASSWORD = "bench-secret"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", required=True)
    parser.add_argument("--counts", default="10000,50000")
    parser.add_argument("--new", default="2")
    parser.add_argument("--runs", default="5")
    parser.add_argument("--rounds", default="3")
    args = parser.parse_args()
    code = enter_network_namespace(__file__, sys.argv[1:], tools=("unshare", "ip", "dovecot"))
    if code is not None:
        return code
    workdir = tempfile.mkdtemp(prefix="kc-bench-newonly-")
    os.chmod(workdir, 0o755)
    server = dovecot.Dovecot(os.path.join(workdir, "dovecot"), user=USER, password=PASSWORD)
    code = 0
    try:
        server.start()
        first = True
        for count in (int(c) for c in args.counts.split(",")):
            server.set_messages([dovecot.message(f"Sender {n} <sender{n}@example.com>",
                                                 f"Message {n}") for n in range(1, count + 1)])
            state = os.path.join(workdir, f"state-{count}")
            common = [os.path.abspath(args.bench), "--messages", str(count), "--new", args.new,
                      "--state", state, "--user", USER, "--password", PASSWORD]
            if subprocess.call(common + ["--prepare"]) != 0:
                print("preparing the list of seen messages failed", file=sys.stderr)
                code = 1
                break
            cmd = common + ["--runs", args.runs, "--rounds", args.rounds]
            if first:
                cmd.append("--header")
                first = False
            sys.stdout.flush()
            if subprocess.call(cmd) != 0:
                code = 1
                print(server.log_text()[-2000:], file=sys.stderr)
                break
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
