"""How Wine runs on this host (stdlib only).

Some hosts run 64-bit programs only (their kernel says "IA-32 emulation off"): every i386
program fails to start with "Exec format error", Wine's 32-bit loader among them, and with it the
`wine` and `wineboot` wrappers, which prefer that loader whenever it is installed. Wine still works
there through its 64-bit loader, which runs the x86_64 exe; the i686 exe cannot run at all.

The answer is found once per run: scripts/test.sh asks `python3 tests/support/wine_host.py` and
exports it as KC_HOST_RUNS_32BIT (1 or 0) to every test; a test started by hand probes itself.
"""
import errno
import os
import subprocess

WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"
ENV_FLAG = "KC_HOST_RUNS_32BIT"

_probed = None


def _probe():
    """(runs 32-bit programs, why not): starts the 32-bit loader once."""
    if not os.path.exists(WINE32_LOADER):
        return False, f"Wine's 32-bit loader {WINE32_LOADER} is not installed"
    try:
        subprocess.run([WINE32_LOADER, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return False, "the host runs no 32-bit programs (IA-32 emulation off: Exec format error)"
        return False, f"Wine's 32-bit loader cannot start: {e.strerror}"
    except subprocess.TimeoutExpired:
        return False, "Wine's 32-bit loader did not answer within 60 s"
    return True, ""


def host_runs_32bit():
    """(True, "") where i386 programs run; else (False, the reason in one line)."""
    global _probed
    if _probed is None:
        flag = os.environ.get(ENV_FLAG)
        if flag == "1":
            _probed = (True, "")
        elif flag == "0":
            _probed = (False, os.environ.get(ENV_FLAG + "_REASON")
                       or "the host runs no 32-bit programs")
        else:
            _probed = _probe()
    return _probed


def wine_command(*args):
    """The command line that runs a Windows program (or a builtin such as `reg`, `wineboot`,
    `msiexec`) under Wine on this host."""
    if host_runs_32bit()[0] or not os.path.exists(WINE64_LOADER):
        return ["wine", *args]
    return [WINE64_LOADER, *args]


def wine_loader_env():
    """The variables Wine needs on this host beside the prefix: without 32-bit programs, the
    64-bit loader must also start every process Wine starts itself (wineboot's helpers,
    CreateProcess of the program under test)."""
    if host_runs_32bit()[0] or not os.path.exists(WINE64_LOADER):
        return {}
    return {"WINELOADER": WINE64_LOADER}


def missing_loader(arch):
    """The Wine loader an exe of this architecture needs when it is not installed (a tool that
    scripts/install-deps.sh installs, so its absence fails a test rather than skips it), else
    None. A loader that is there but cannot run is a fact of the host (see arch_runnable)."""
    loader = WINE32_LOADER if arch == "i686" else WINE64_LOADER
    return None if os.path.exists(loader) else loader


def arch_runnable(arch):
    """(True, "") when an exe of this architecture can run under Wine here, else the reason."""
    if arch == "i686":
        ok, why = host_runs_32bit()
        if not ok:
            return False, f"i686 exe not run: {why}"
    return True, ""


if __name__ == "__main__":
    # For scripts: "1", or "0 " and the reason.
    ok, why = _probe()
    print("1" if ok else f"0 {why}")
