#!/usr/bin/env bash
# Builds the release and writes it to build/release/:
#   KestovaChecker-VERSION.msi           per-user Windows installer (i686 exe)
#   KestovaChecker-VERSION-windows.zip   the i686 exe and the user guide (Japanese, English)
#   kestova_VERSION_ARCH.deb             the Linux program, its udev rule and user unit
#   SHA256SUMS                           over the three
# VERSION is the CMake project version. Installs what it needs (apt-get, as root or with sudo)
# when a tool is missing. Two runs on the same commit, from any directory and at any time, give
# the same exe, zip, deb and MSI byte for byte: times come from the commit (SOURCE_DATE_EPOCH),
# the checkout's path stays out of the binaries, archives list their files in a fixed order with
# fixed owners, modes and times; dist/README.md says what the MSI needed besides.
#
#   bash scripts/package.sh [--out DIR] [--work DIR]
#
# --out    where the four files go (default build/release)
# --work   the build trees and staging folders (default build/package)
# Each is a folder this script makes and marks (.kestova-package): a marked folder is emptied
# and used again, an empty or missing one is made so, any other one is refused and left alone.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT="$ROOT/build/release"
WORK="$ROOT/build/package"
while [ $# -gt 0 ]; do
  case "$1" in
    --out|--work)
      [ $# -ge 2 ] && [ -n "$2" ] || { echo "package.sh: $1 needs a folder" >&2; exit 2; }
      if [ "$1" = --out ]; then OUT=$(realpath -m -- "$2"); else WORK=$(realpath -m -- "$2"); fi
      shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
cd "$ROOT"
started=$(date +%s)
say() { echo "package.sh: $*"; }

# -- the two folders -------------------------------------------------------------------------
# Nothing a user names is ever deleted: the script empties only a folder that carries its own
# mark, which it writes into a folder it made (or found empty).
MARK=.kestova-package
refuse() { echo "package.sh: $1" >&2; exit 2; }
case "$OUT/" in "$WORK/"*) refuse "--out $OUT lies in --work $WORK: give two separate folders" ;; esac
case "$WORK/" in "$OUT/"*) refuse "--work $WORK lies in --out $OUT: give two separate folders" ;; esac
claim_folder() {  # option, folder, default folder
  local what=$1 dir=$2 default=$3
  if [ -e "$dir" ] || [ -L "$dir" ]; then
    [ -d "$dir" ] && [ ! -L "$dir" ] || refuse "$what $dir is not a folder; it is left as it is"
    # The default folders in the checkout's build/ are the script's own, marked or not (earlier
    # versions did not mark them).
    if [ "$dir" = "$default" ] || { [ -f "$dir/$MARK" ] && [ ! -L "$dir/$MARK" ]; }; then
      rm -f -- "$dir/$MARK"
      echo "made by scripts/package.sh; its content is replaced at every run" >"$dir/$MARK"
      find "$dir" -mindepth 1 -maxdepth 1 ! -name "$MARK" -exec rm -rf -- {} +
      return
    fi
    [ -z "$(ls -A -- "$dir")" ] || refuse "$what $dir is not empty and was not made by package.sh \
(no $MARK in it); it is left as it is: name a new or empty folder"
  fi
  mkdir -p -- "$dir"
  echo "made by scripts/package.sh; its content is replaced at every run" >"$dir/$MARK"
}
claim_folder --work "$WORK" "$ROOT/build/package"
claim_folder --out "$OUT" "$ROOT/build/release"

# -- tools -----------------------------------------------------------------------------------
declare -A tool_package=(
  [wixl]=wixl [msibuild]=msitools [msiinfo]=msitools [msiextract]=msitools [lintian]=lintian [dpkg-shlibdeps]=dpkg-dev
  [dpkg-deb]=dpkg [i686-w64-mingw32-g++]=g++-mingw-w64-i686 [cmake]=cmake [git]=git
  [python3]=python3 [wrestool]=icoutils [xz]=xz-utils [gzip]=gzip
)
missing=()
for tool in "${!tool_package[@]}"; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("${tool_package[$tool]}")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  say "installing ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
  mapfile -t packages < <(printf '%s\n' "${missing[@]}" | sort -u)
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${packages[@]}"
fi

# -- one time for everything: the commit's --------------------------------------------------
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null) || {
    echo "package.sh: not a git checkout; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  say "warning: the checkout has uncommitted changes; the release is not that of a commit"
fi
export TZ=UTC LC_ALL=C.UTF-8
umask 022
# ccache stays usable, but not its base directory: with one it hands the compiler paths relative
# to the build tree, which end up in the debug information of the Linux program (and so in its
# build ID) and differ with where the checkout lies.
unset CCACHE_BASEDIR

# -- builds ----------------------------------------------------------------------------------
# Fresh trees, so nothing of an earlier configuration leaks in. Both are built with the
# checkout's and the tree's own paths mapped away (KC_REPRODUCIBLE) and without the tests.
cmake -S "$ROOT" -B "$WORK/win32" --toolchain "$ROOT/cmake/toolchain-i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DKC_REPRODUCIBLE=ON -DKC_BUILD_TESTS=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-s >"$WORK/win32.log"
cmake --build "$WORK/win32" --target KestovaChecker -j2 >>"$WORK/win32.log"
VERSION=$(sed -n 's/^#define KC_VERSION_TEXT "\(.*\)"$/\1/p' "$WORK/win32/generated/kc_version.h")
[ -n "$VERSION" ] || { echo "package.sh: no version from CMake" >&2; exit 1; }
EXE="$WORK/win32/KestovaChecker.exe"
say "KestovaChecker.exe $VERSION built"

# Debian's build flags with all hardening, as a package built by dpkg-buildpackage gets them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
deb_cppflags=$(dpkg-buildflags --get CPPFLAGS)
CFLAGS="$(dpkg-buildflags --get CFLAGS) $deb_cppflags" \
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $deb_cppflags" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
cmake -S "$ROOT" -B "$WORK/linux" -DCMAKE_BUILD_TYPE=Release -DKC_REPRODUCIBLE=ON \
  -DKC_BUILD_TESTS=OFF >"$WORK/linux.log"
cmake --build "$WORK/linux" --target kestova -j2 >>"$WORK/linux.log"
say "kestova built"

# -- the zip ---------------------------------------------------------------------------------
ZIP="$OUT/KestovaChecker-$VERSION-windows.zip"
python3 "$ROOT/dist/windows/make_zip.py" --version "$VERSION" --exe "$EXE" \
  --guide "$ROOT/dist/windows/guide-ja.txt" --guide "$ROOT/dist/windows/guide-en.txt" \
  --out "$ZIP"
say "$(basename "$ZIP")"

# -- the MSI ---------------------------------------------------------------------------------
bash "$ROOT/dist/windows/make-msi.sh" "$VERSION" "$EXE" "$OUT/KestovaChecker-$VERSION.msi" \
  "$WORK/msi"
say "KestovaChecker-$VERSION.msi"

# -- the Debian package ----------------------------------------------------------------------
bash "$ROOT/dist/linux/make-deb.sh" "$VERSION" "$WORK/linux/kestova" "$OUT" "$WORK/deb"

# -- checksums -------------------------------------------------------------------------------
(cd "$OUT" && sha256sum -- *.msi *.zip *.deb >SHA256SUMS && sha256sum -c --quiet SHA256SUMS)
say "build/release after $(( $(date +%s) - started )) s:"
(cd "$OUT" && stat -c '  %s  %n' -- * && cat SHA256SUMS)
