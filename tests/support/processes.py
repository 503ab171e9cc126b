"""Start, stop and clean-up shared by the end-to-end runners and the benchmarks that run the
real program (tests/e2e/*.py, tests/bench/soak.py, idle_bench.py).

stdlib only.
"""
import os
import shutil
import signal
import subprocess
import tempfile


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
