#!/usr/bin/env python3
"""What ships in dist/linux is well formed: the udev rule's syntax (every token a known key with
a fitting operator and a quoted value) and that it gives the logged-in user the display's
hidraw node by vendor 0x5E1C and product 0x2A07; the user unit through `systemd-analyze
verify` (its ExecStart pointed at the program just built), and its hardening (what it denies,
that the hidraw node and the program's folders stay reachable, `systemd-analyze security`).

    check_dist.py --program build/linux/kestova
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.path.join(ROOT, "dist", "linux")

# udev keys: those that only match, those that only assign, and those that do either.
MATCH_KEYS = {"ACTION", "DEVPATH", "KERNEL", "KERNELS", "NAME", "SYMLINK", "SUBSYSTEM",
              "SUBSYSTEMS", "DRIVER", "DRIVERS", "ATTR", "ATTRS", "SYSCTL", "ENV", "CONST", "TAG",
              "TAGS", "TEST", "PROGRAM", "RESULT"}
ASSIGN_KEYS = {"NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "SECLABEL", "ATTR", "SYSCTL", "ENV",
               "TAG", "RUN", "LABEL", "GOTO", "IMPORT", "OPTIONS"}
TOKEN = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')


def parse_rule(line):
    """The tokens of one rule line, as (key, attribute, operator, value); raises on bad syntax."""
    tokens, at = [], 0
    while at < len(line):
        m = TOKEN.match(line, at)
        if not m:
            raise AssertionError(f"bad token at column {at + 1}: {line[at:]!r}")
        key, attr, op, value, sep = m.groups()
        matching = op in ("==", "!=")
        allowed = MATCH_KEYS if matching else ASSIGN_KEYS
        if key not in allowed:
            raise AssertionError(f"{key} cannot take {op}")
        if key in ("ATTR", "ATTRS", "ENV", "SYSCTL") and not attr:
            raise AssertionError(f"{key} needs {{name}}")
        tokens.append((key, attr, op, value))
        at = m.end()
        if sep == "" and at < len(line):
            raise AssertionError(f"tokens not separated by commas: {line!r}")
    return tokens


def check_udev_rule():
    path = os.path.join(DIST, "70-kestova-lcd.rules")
    name = os.path.basename(path)
    assert int(name.split("-")[0]) < 73, "uaccess must be tagged before 73-seat-late.rules"
    rules = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            assert not line.endswith("\\"), f"line {number}: continued lines are not used here"
            try:
                rules.append(parse_rule(line))
            except AssertionError as e:
                raise AssertionError(f"{name} line {number}: {e}")
    # The bad shapes the parser must refuse, so a broken rule cannot pass unseen.
    for bad in ('KERNEL=="hidraw*" MODE="0660"', 'MODE=="0660"', 'ATTRS=="5e1c"',
                'KERNEL=hidraw*', 'RUN=="x"', 'SUBSYSTEM=="hidraw",,'):
        try:
            parse_rule(bad)
        except AssertionError:
            continue
        raise AssertionError(f"the syntax check took {bad!r}")
    assert len(rules) == 1, rules
    rule = {(k, a, op): v for k, a, op, v in rules[0]}
    assert rule.get(("SUBSYSTEM", None, "==")) == "hidraw", rule
    assert rule.get(("ATTRS", "idVendor", "==")) == "5e1c", rule
    assert rule.get(("ATTRS", "idProduct", "==")) == "2a07", rule
    assert rule.get(("TAG", None, "+=")) == "uaccess", rule
    assert rule.get(("MODE", None, "=")) == "0660", "nobody but owner, group and seat user"


def check_unit(program):
    tool = shutil.which("systemd-analyze")
    assert tool, "systemd-analyze not installed (scripts/install-deps.sh installs systemd)"
    with open(os.path.join(DIST, "kestova.service")) as f:
        unit = f.read()
    assert re.search(r"^ExecStart=%h/\.local/bin/kestova$", unit, re.M), "ExecStart moved"
    assert re.search(r"^RestartPreventExitStatus=1 2 255$", unit, re.M)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "kestova.service")
        with open(path, "w") as f:
            f.write(unit.replace("ExecStart=%h/.local/bin/kestova",
                                 "ExecStart=" + os.path.abspath(program)))
        r = subprocess.run([tool, "verify", "--man=no", path], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=60)
        out = r.stdout.decode("utf-8", "replace")
        # Lines about the machine (no running manager here) are not about the unit.
        problems = [l for l in out.splitlines() if "kestova.service" in l]
        assert r.returncode == 0 and not problems, out


# What the unit must keep the program from, and what it must leave it.
HARDENING = {"NoNewPrivileges": "yes", "UMask": "0077",
             "RestrictAddressFamilies": "AF_UNIX AF_INET AF_INET6 AF_NETLINK",
             "LockPersonality": "yes", "RestrictRealtime": "yes",
             "SystemCallArchitectures": "native", "ProtectSystem": "full",
             "CapabilityBoundingSet": ""}


def check_unit_hardening():
    with open(os.path.join(DIST, "kestova.service")) as f:
        unit = f.read()
    settings = {}
    for line in unit.splitlines():
        if "=" in line and not line.startswith("#"):
            key, _, value = line.partition("=")
            settings.setdefault(key, []).append(value)
    for key, value in HARDENING.items():
        assert settings.get(key) == [value], f"{key}={value} wanted, found {settings.get(key)}"
    # The display's hidraw node stays reachable; the settings, the seen list and the runtime
    # folder (lock, socket) stay writable.
    assert "PrivateDevices" not in settings and "DevicePolicy" not in settings, "devices shut out"
    # The mail program it starts runs under the same rules: its script engine's writable code,
    # its profile in the home folder and the display server's sockets in /tmp stay its own.
    for key in ("MemoryDenyWriteExecute", "ProtectHome", "PrivateTmp"):
        assert key not in settings, f"{key} would break the mail program the unit starts"
    assert "char-hidraw rw" in settings.get("DeviceAllow", []), "hidraw not in the device list"
    writable = " ".join(settings.get("ReadWritePaths", [])).split()
    for folder in ("%h/.config/kestova", "%h/.local/state/kestova", "%t"):
        assert folder in writable, f"{folder} not writable"
    r = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                        os.path.join(DIST, "kestova.service")], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=60)
    out = r.stdout.decode("utf-8", "replace")
    m = re.search(r"Overall exposure level for kestova\.service: ([0-9.]+)", out)
    assert m, out[-2000:]
    print(f"systemd-analyze security: exposure {m.group(1)}")
    assert float(m.group(1)) <= 3.0, f"exposure {m.group(1)} (at most 3.0 wanted)\n{out}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    try:
        check_udev_rule()
        check_unit(args.program)
        check_unit_hardening()
    except AssertionError as e:
        print(f"FAILED: {e}")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
