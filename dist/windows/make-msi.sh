#!/usr/bin/env bash
# Makes the per-user installer from kestova.wxs with wixl (msitools); called by
# scripts/package.sh, and by the installer's tests to make a second version:
#
#   make-msi.sh VERSION EXE OUT.msi WORKDIR
#
# SOURCE_DATE_EPOCH (package.sh sets it from the commit) dates the files in the cabinet.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VERSION=$1 EXE=$2 OUT=$3 WORK=$4
: "${SOURCE_DATE_EPOCH:?set SOURCE_DATE_EPOCH}"

rm -rf "$WORK"
mkdir -p "$WORK"
# wixl takes file names relative to where it runs.
cp "$EXE" "$WORK/KestovaChecker.exe"
cp "$HERE/../../res/idle.ico" "$WORK/kestova.ico"
cp "$HERE/kestova.wxs" "$WORK/kestova.wxs"
touch -d "@$SOURCE_DATE_EPOCH" "$WORK"/*

# The product code belongs to the version (a newer version must have another one for the
# upgrade to replace the older); the package code to these exact contents. Both are name-based
# UUIDs, so the same inputs give the same codes; wixl would draw random ones.
read -r PRODUCT PACKAGE < <(python3 - "$VERSION" "$WORK/KestovaChecker.exe" "$WORK/kestova.wxs" <<'PY'
import hashlib, sys, uuid
version, exe, wxs = sys.argv[1:]
upgrade = uuid.UUID("7FEE111A-2721-408F-A472-2F9616FB9A6A")  # UpgradeCode in kestova.wxs
digest = hashlib.sha256(open(exe, "rb").read() + open(wxs, "rb").read()).hexdigest()
product = uuid.uuid5(upgrade, "product " + version)
package = uuid.uuid5(upgrade, "package " + version + " " + digest)
print("{%s} {%s}" % (str(product).upper(), str(package).upper()))
PY
)

(cd "$WORK" && wixl -a x86 -D "Version=$VERSION" -D "ProductCode=$PRODUCT" \
   -D Exe=KestovaChecker.exe -D Icon=kestova.ico -o kestova.msi kestova.wxs)
# What wixl cannot say in the source: the Startup shortcut's condition (wixl takes no
# <Condition> in a component), and the package code, title and template language.
# The table goes out and back in whole: a row changed with an SQL UPDATE of msibuild is read
# back by msitools but not by Windows Installer (Wine's saw no condition at all).
msiinfo export "$WORK/kestova.msi" Component >"$WORK/Component.idt"
python3 - "$WORK/Component.idt" <<'PY'
import sys
path = sys.argv[1]
rows = open(path, newline="").read().split("\r\n")
done = 0
for i, row in enumerate(rows):
    fields = row.split("\t")
    if fields[0] == "StartupShortcut" and len(fields) == 6:
        # STARTUP=0 leaves it out; without STARTUP, a fresh install has it and an upgrade
        # keeps what the installed version had (kestova.wxs finds both).
        fields[4] = 'STARTUP <> "0" AND (STARTUP OR NOT KESTOVAINSTALLED OR STARTUPINSTALLED)'
        rows[i] = "\t".join(fields)
        done += 1
assert done == 1, "no StartupShortcut row in the Component table"
open(path, "w", newline="").write("\r\n".join(rows))
PY
msibuild "$WORK/kestova.msi" -i "$WORK/Component.idt"
msibuild "$WORK/kestova.msi" -s "KESTOVA Checker $VERSION" KESTOVA "Intel;1041" "$PACKAGE"
python3 "$HERE/msi_times.py" "$WORK/kestova.msi" "$SOURCE_DATE_EPOCH"
mv "$WORK/kestova.msi" "$OUT"
