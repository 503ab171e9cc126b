#!/usr/bin/env bash
# Makes kestova_VERSION_ARCH.deb from the program built by scripts/package.sh and the files of
# dist/linux, and runs lintian on it (an error fails the run):
#
#   make-deb.sh VERSION PROGRAM OUTDIR WORKDIR
#
# Same inputs, same bytes: every file is dated SOURCE_DATE_EPOCH, owned by root with a fixed
# mode, and dpkg-deb adds them in name order.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
VERSION=$1 PROGRAM=$2 OUTDIR=$3 WORK=$4
: "${SOURCE_DATE_EPOCH:?set SOURCE_DATE_EPOCH}"
ARCH=$(dpkg --print-architecture)
MAINTAINER="KESTOVA Checker developers <kestova@example.org>"
DEB="$OUTDIR/kestova_${VERSION}_${ARCH}.deb"

rm -rf "$WORK"
STAGE="$WORK/root"
DOC="$STAGE/usr/share/doc/kestova"
mkdir -p "$STAGE/DEBIAN" "$DOC"

install -D -m 755 "$PROGRAM" "$STAGE/usr/bin/kestova"
strip --strip-all --remove-section=.comment --remove-section=.note "$STAGE/usr/bin/kestova"
install -D -m 644 "$HERE/70-kestova-lcd.rules" "$STAGE/usr/lib/udev/rules.d/70-kestova-lcd.rules"
# The user unit as packaged: the program in /usr/bin, and the comment says how to enable it.
mkdir -p "$STAGE/usr/lib/systemd/user"
python3 - "$HERE/kestova.service" "$STAGE/usr/lib/systemd/user/kestova.service" <<'PY'
import re, sys
unit = open(sys.argv[1]).read()
head, sep, body = unit.partition("[Unit]")
assert sep and "ExecStart=%h/.local/bin/kestova\n" in body
head, n = re.subn(r"(?s) Install:\n#\n.*?\n#\n", " Enable it\n# for yourself:\n#\n"
                 "#   systemctl --user enable --now kestova\n#\n", head)
assert n == 1, "the unit's install comment moved"
body = body.replace("ExecStart=%h/.local/bin/kestova\n", "ExecStart=/usr/bin/kestova\n")
open(sys.argv[2], "w").write(head + sep + body)
PY
mkdir -p "$STAGE/usr/share/man/man1"
gzip -9n <"$HERE/kestova.1" >"$STAGE/usr/share/man/man1/kestova.1.gz"
install -m 644 "$HERE/copyright" "$DOC/copyright"
gzip -9n <"$ROOT/README.md" >"$DOC/README.md.gz"
# A native package's changelog: one entry for the release.
{
  echo "kestova ($VERSION) unstable; urgency=medium"
  echo
  echo "  * Release $VERSION."
  echo
  echo " -- $MAINTAINER  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$DOC/changelog.gz"

# Dependencies from the shared libraries the program links (dpkg-shlibdeps reads the package
# name from a debian/control of its own).
mkdir -p "$WORK/shlibs/debian"
printf 'Source: kestova\n\nPackage: kestova\nArchitecture: any\n' >"$WORK/shlibs/debian/control"
DEPENDS=$(cd "$WORK/shlibs" && dpkg-shlibdeps -O -e"$STAGE/usr/bin/kestova" 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')
[ -n "$DEPENDS" ] || { echo "make-deb.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
# libcurl is loaded by name at the first sign-in request, so dpkg-shlibdeps cannot see it.
DEPENDS="$DEPENDS, libcurl4"

find "$STAGE" -type d -exec chmod 755 {} +
find "$STAGE" -type f -exec chmod 644 {} +
chmod 755 "$STAGE/usr/bin/kestova"
SIZE=$(du -k -s --apparent-size "$STAGE/usr" | cut -f1)
cat >"$STAGE/DEBIAN/control" <<CONTROL
Package: kestova
Version: $VERSION
Architecture: $ARCH
Maintainer: $MAINTAINER
Installed-Size: $SIZE
Depends: $DEPENDS
Section: mail
Priority: optional
Description: POP3 mail notifier with a USB character LCD
 KESTOVA Checker watches one POP3 mailbox: at a fixed interval and whenever
 asked, it counts the waiting messages and reads their senders, and shows them
 on a 16 x 2 character LCD on a USB HID device (vendor 0x5E1C, product 0x2A07)
 and in a status line on the terminal. Plain POP3, TLS and STARTTLS.
 .
 The package holds the console program, a udev rule that gives the user at
 the seat access to the display, and a systemd user unit.
CONTROL
(cd "$STAGE" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$STAGE/DEBIAN/md5sums"
chmod 644 "$STAGE/DEBIAN/control" "$STAGE/DEBIAN/md5sums"
find "$STAGE" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

dpkg-deb --root-owner-group -Zxz --build "$STAGE" "$DEB" >/dev/null
echo "make-deb.sh: $(basename "$DEB"); lintian:"
lintian --fail-on error --tag-display-limit 0 "$DEB" 2> >(grep -v "root privileges" >&2) | sed 's/^/  /' || {
  echo "make-deb.sh: lintian found errors in $(basename "$DEB")" >&2; exit 1; }
