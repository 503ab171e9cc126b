#!/usr/bin/env python3
"""The Linux program under valgrind memcheck: two checks of a mailbox of three messages
against Dovecot, then SIGTERM. Any invalid access or use of an undefined value, and any block
definitely or indirectly lost at exit, makes valgrind end with 99; the test wants 0.

Runs in a network namespace of its own (Dovecot listens on 127.0.0.1:110).

    valgrind.py --program build/linux/kestova

Exit code 77 (skipped) when not root; 1 when unshare, ip, dovecot or valgrind are missing (scripts/install-deps.sh installs them).
"""
import argparse
import os
import re
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

from native_program import (Program, dialogue, dovecot_server,  # noqa: E402
                            enter_network_namespace, senders_traced)

VALGRIND = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect", "--show-leak-kinds=definite,indirect",
            "--track-origins=yes", "--num-callers=30"]


def run(exe, workdir):
    server = dovecot_server(workdir, 3)
    log = os.path.join(workdir, "valgrind.log")
    program = Program(exe, os.path.join(workdir, "program"),
                      wrapper=VALGRIND + [f"--log-file={log}"], stop_timeout=120)
    try:
        program.start()
        expected = dialogue(3, senders_traced(3))
        first = program.wait_for(expected, 120)
        # A second check: what the first one left behind is taken down and built again.
        second = program.check_again(first, 60)
        program.wait_for(expected, 120, second)
        code = program.stop()
    finally:
        program.stop()
        server.stop()
    report = open(log, errors="replace").read() if os.path.exists(log) else ""
    summary = [line for line in report.splitlines()
               if re.search(r"ERROR SUMMARY|definitely lost|indirectly lost|Invalid|uninitialised",
                            line)]
    print("\n".join(summary))
    if code != 0 or "ERROR SUMMARY: 0 errors" not in report:
        print(f"FAIL: exit code {code} (99: valgrind found errors)")
        print(report[-8000:])
        return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work dir")
    args = parser.parse_args()
    code = enter_network_namespace(__file__, sys.argv[1:],
                                   tools=("unshare", "ip", "dovecot", "valgrind"))
    if code is not None:
        return code
    workdir = tempfile.mkdtemp(prefix="kc-e2e-valgrind-")
    os.chmod(workdir, 0o755)  # Dovecot's users reach the mailbox below it
    ok = False
    try:
        ok = run(os.path.abspath(args.program), workdir)
    except AssertionError as e:
        print(f"FAIL: {e}")
    if args.keep or not ok:
        print(f"work dir kept: {workdir}")
    else:
        shutil.rmtree(workdir, ignore_errors=True)
    if ok:
        print("PASS valgrind: no invalid access, nothing lost")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
