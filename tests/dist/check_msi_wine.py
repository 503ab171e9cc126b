#!/usr/bin/env python3
"""The Windows installer under Wine, in a prefix of its own.

    check_msi_wine.py install --msi build/linux/dist/release/KestovaChecker-1.0.0.msi
        msiexec /i /qn puts the exe into the user's %LOCALAPPDATA%\\Programs\\KESTOVA with a
        shortcut in the Start menu and one in the Startup folder, and lists the program once
        among the installed programs; STARTUP=0 leaves the Startup shortcut out, and an upgrade
        without STARTUP keeps it out (STARTUP=1 brings it back); msiexec /x
        removes the exe, the folder and both shortcuts and leaves the settings (HKLM\\SOFTWARE\\
        KESTOVA in both registry views, and the standard user's VirtualStore copy) alone; a
        newer version installed over the older one leaves one entry, of the newer version.
    check_msi_wine.py start --msi ...
        Installs, then starts the installed i686 exe the way the Startup shortcut does: it runs
        hidden, with its icon in the notification area. Skipped (77) where the host runs no
        32-bit programs.

msiexec is a 64-bit program of the prefix: it installs the i686 exe by copying it, so the
install checks run on hosts without 32-bit support too (through Wine's 64-bit loader there).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import harness  # noqa: E402  (tests/wine/harness.py: the suite's Wine environment)

SKIP = 77
NAME = "KESTOVA Checker"


class Skip(Exception):
    pass


def check(cond, message):
    if not cond:
        raise AssertionError(message)


def runs_32bit():
    """Whether this host runs Wine's 32-bit loader (some run 64-bit programs only)."""
    try:
        r = subprocess.run(["/usr/lib/wine/wine", "--version"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        return r.returncode == 0
    except OSError:  # ENOEXEC: "Exec format error"
        return False


def missing_tools(*tools):
    """A tool that scripts/install-deps.sh installs is never a reason to skip: its absence fails
    the test (the test command installs it first)."""
    missing = [t for t in tools if not shutil.which(t)]
    check(not missing, f"not installed: {', '.join(missing)} (scripts/install-deps.sh installs "
                       "them)")


class Prefix:
    def __init__(self, path):
        self.path = path
        self.env = harness.wine_env(path, extra={"WINEDEBUG": "-all",
                                                 "WINEDLLOVERRIDES": "mscoree,mshtml="})
        if runs_32bit():
            self.wine = ["wine"]
        elif os.path.exists("/usr/lib/wine/wine64"):
            # Wine through its 64-bit loader, for msiexec, reg and the uninstaller, all 64-bit.
            self.env["WINELOADER"] = "/usr/lib/wine/wine64"
            self.wine = ["/usr/lib/wine/wine64"]
        else:
            raise AssertionError("Wine is not installed (scripts/install-deps.sh installs it)")

    def run(self, *args, timeout=180, check_rc=True):
        r = subprocess.run(self.wine + list(args), env=self.env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout)
        out = r.stdout.decode("cp932", "replace")
        if check_rc:
            check(r.returncode == 0, f"{' '.join(args)}: exit code {r.returncode}\n{out}"
                  f"{r.stderr.decode('utf-8', 'replace')[-2000:]}")
        return r.returncode, out

    def make(self):
        start = time.time()
        self.run("wineboot", "-i", timeout=300)
        self.wait()
        harness.log(f"prefix made in {time.time() - start:.1f} s")
        users = [u for u in os.listdir(os.path.join(self.path, "drive_c", "users"))
                 if u != "Public"]
        check(len(users) == 1, f"users in the prefix: {users}")
        self.profile = os.path.join(self.path, "drive_c", "users", users[0])

    def wait(self):
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=120)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)

    def msiexec(self, *args):
        self.run("msiexec", *args, "/qn")
        self.wait()

    def installed(self):
        """The entries of the installed programs list that are this program."""
        _, out = self.run("uninstaller", "--list")
        return [l for l in out.splitlines() if l.endswith("|||" + NAME)]

    def reg_query(self, key, view):
        rc, out = self.run("reg", "query", key, f"/reg:{view}", check_rc=False)
        return out if rc == 0 else None

    # The user's folders, as the installer resolves them.
    def exe(self):
        return os.path.join(self.profile, "AppData", "Local", "Programs", "KESTOVA",
                            "KestovaChecker.exe")

    def start_menu(self):
        return os.path.join(self.profile, "AppData", "Roaming", "Microsoft", "Windows",
                            "Start Menu", "Programs")

    def shortcuts(self):
        """Which of the two shortcuts exist: {'menu': bool, 'startup': bool}."""
        menu = os.path.join(self.start_menu(), NAME + ".lnk")
        startup_dir = next((os.path.join(self.start_menu(), d) for d in
                            (os.listdir(self.start_menu()) if os.path.isdir(self.start_menu())
                             else []) if d.lower() == "startup"), None)
        startup = os.path.join(startup_dir, NAME + ".lnk") if startup_dir else ""
        return {"menu": os.path.exists(menu), "startup": bool(startup) and os.path.exists(startup)}


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


SETTINGS = [
    (r"HKLM\SOFTWARE\KESTOVA", "32"),
    (r"HKLM\SOFTWARE\KESTOVA", "64"),
    (r"HKCU\Software\Classes\VirtualStore\MACHINE\SOFTWARE\WOW6432Node\KESTOVA", "64"),
]


def newer_version(version):
    parts = [int(p) for p in version.split(".")]
    parts[-1] += 1
    return ".".join(str(p) for p in parts)


def check_install(prefix, msi, exe_bytes, tmp):
    version = re.search(r"KestovaChecker-([0-9.]+)\.msi$", msi).group(1)
    # The program's settings, as the i686 exe keeps them, before anything is installed.
    for key, view in SETTINGS:
        prefix.run("reg", "add", key, "/v", "SERVER", "/t", "REG_SZ", "/d", "pop.example.org",
                   "/f", f"/reg:{view}")

    prefix.msiexec("/i", win_path(msi))
    check(os.path.exists(prefix.exe()), f"not installed: {prefix.exe()}")
    with open(prefix.exe(), "rb") as f:
        check(f.read() == exe_bytes, "the installed exe is not the release's")
    check(prefix.shortcuts() == {"menu": True, "startup": True}, f"shortcuts {prefix.shortcuts()}")
    with open(os.path.join(prefix.start_menu(), NAME + ".lnk"), "rb") as f:
        lnk = f.read()
    check(b"KestovaChecker.exe" in lnk or "KestovaChecker.exe".encode("utf-16-le") in lnk,
          "the Start menu shortcut does not lead to the exe")
    check(len(prefix.installed()) == 1, f"installed programs: {prefix.installed()}")
    harness.log(f"installed {version}: exe, both shortcuts, one entry")

    prefix.msiexec("/x", win_path(msi))
    check(not os.path.exists(prefix.exe()), "the exe stayed")
    check(not os.path.exists(os.path.dirname(prefix.exe())), "the KESTOVA folder stayed")
    check(prefix.shortcuts() == {"menu": False, "startup": False}, f"after /x {prefix.shortcuts()}")
    check(prefix.installed() == [], f"still listed: {prefix.installed()}")
    for key, view in SETTINGS:
        out = prefix.reg_query(key, view)
        check(out is not None and "pop.example.org" in out, f"settings gone: {key} /reg:{view}")
    harness.log("removed: exe, folder, shortcuts, entry; the settings stay")

    # A newer version to upgrade to.
    newer = newer_version(version)
    newer_msi = os.path.join(tmp, f"KestovaChecker-{newer}.msi")
    exe = os.path.join(tmp, "KestovaChecker.exe")
    with open(exe, "wb") as f:
        f.write(exe_bytes)
    env = dict(os.environ)
    env.setdefault("SOURCE_DATE_EPOCH", str(int(time.time())))
    subprocess.run(["bash", os.path.join(ROOT, "dist", "windows", "make-msi.sh"), newer, exe,
                    newer_msi, os.path.join(tmp, "msi-work")], check=True, env=env,
                   stdout=subprocess.DEVNULL)

    prefix.msiexec("/i", win_path(msi), "STARTUP=0")
    check(prefix.shortcuts() == {"menu": True, "startup": False},
          f"with STARTUP=0: {prefix.shortcuts()}")
    # The upgrade keeps the user's choice; STARTUP=1 on the command line changes it.
    prefix.msiexec("/i", win_path(newer_msi))
    check(len(prefix.installed()) == 1 and prefix.shortcuts() == {"menu": True, "startup": False},
          f"the upgrade after STARTUP=0: {prefix.shortcuts()}, {prefix.installed()}")
    prefix.msiexec("/x", win_path(newer_msi))
    prefix.msiexec("/i", win_path(msi), "STARTUP=0")
    prefix.msiexec("/i", win_path(newer_msi), "STARTUP=1")
    check(prefix.shortcuts() == {"menu": True, "startup": True},
          f"the upgrade with STARTUP=1: {prefix.shortcuts()}")
    prefix.msiexec("/x", win_path(newer_msi))
    check(prefix.installed() == [], f"still listed: {prefix.installed()}")
    harness.log("STARTUP=0: no Startup shortcut, nor after an upgrade; STARTUP=1 brings it back")

    # A newer version over the older one: upgraded in place, one entry, both shortcuts kept.
    prefix.msiexec("/i", win_path(msi))
    old_entry = prefix.installed()
    prefix.msiexec("/i", win_path(newer_msi))
    entries = prefix.installed()
    check(len(entries) == 1 and entries != old_entry, f"after the upgrade: {entries} (was {old_entry})")
    check(os.path.exists(prefix.exe()) and prefix.shortcuts() == {"menu": True, "startup": True},
          "the upgrade lost the exe or a shortcut")
    prefix.msiexec("/x", win_path(newer_msi))
    check(prefix.installed() == [] and not os.path.exists(prefix.exe()), "newer version not removed")
    harness.log(f"{version} upgraded to {newer} in place: one entry; removed again")


def check_start(prefix, msi):
    """The installed exe started as the Startup shortcut starts it: no window, a tray icon."""
    prefix.msiexec("/i", win_path(msi))
    # Complete settings (a server that does not answer), so no settings dialog opens; the
    # 32-bit view, which the i686 exe reads.
    values = [("SERVER", "REG_SZ", "127.0.0.1"), ("USER", "REG_SZ", "kestova"),
              ("PASS", "REG_BINARY", harness.complement("Kest0va-pw").hex()),
              ("TIME", "REG_DWORD", "30")]
    for name, kind, value in values:
        prefix.run("reg", "add", r"HKLM\SOFTWARE\KESTOVA", "/v", name, "/t", kind, "/d", value,
                   "/f", "/reg:32")
    display = argparse.Namespace()
    harness.Env._start_xvfb(display)  # sets display.xvfb and display.display
    xvfb = display.xvfb
    env = dict(prefix.env, DISPLAY=display.display)
    program = None
    try:
        program = subprocess.Popen(prefix.wine + [prefix.exe()], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        tray = None
        while time.time() < deadline and not tray:
            time.sleep(1)
            r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "Wine System Tray"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            tray = r.stdout.split()
        check(tray, "no tray icon within 60 s")
        check(program.poll() is None, "the program ended")
        shown = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "KESTOVA"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        check(not shown.stdout.split(), "the program shows a window")
        harness.log("the installed i686 exe runs with its tray icon")
    finally:
        if program:
            program.kill()
        prefix.stop()
        xvfb.kill()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("what", choices=("install", "start"))
    p.add_argument("--msi", required=True)
    args = p.parse_args()
    tmp = tempfile.mkdtemp(prefix="kc-msi-")
    prefix = None
    try:
        if not os.path.exists(args.msi):
            raise AssertionError(f"no {args.msi} (made by dist.package)")
        missing_tools("wineserver", "msiextract")
        if args.what == "start":
            missing_tools("Xvfb", "xdotool")
            check(not harness.wine_host.missing_loader("i686"),
                  "Wine's 32-bit loader is not installed (scripts/install-deps.sh installs "
                  "wine32:i386)")
            if not runs_32bit():
                raise Skip("this host runs no 32-bit programs (/usr/lib/wine/wine: Exec format "
                           "error), so the installed i686 exe cannot start here")
        subprocess.run(["msiextract", "-C", os.path.join(tmp, "x"), args.msi], check=True,
                       stdout=subprocess.DEVNULL)
        exe = [os.path.join(d, n) for d, _, fs in os.walk(os.path.join(tmp, "x")) for n in fs]
        with open(exe[0], "rb") as f:
            exe_bytes = f.read()
        prefix = Prefix(os.path.join(tmp, "prefix"))
        prefix.make()
        if args.what == "install":
            check_install(prefix, os.path.abspath(args.msi), exe_bytes, tmp)
        else:
            check_start(prefix, os.path.abspath(args.msi))
    except Skip as e:
        print(f"SKIPPED: {e}")
        return SKIP
    except AssertionError as e:
        print(f"FAILED: {e}")
        return 1
    finally:
        if prefix:
            prefix.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
