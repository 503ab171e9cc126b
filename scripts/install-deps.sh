#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian machine (as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  build-essential cmake pkg-config git python3 \
  libgtest-dev libgmock-dev googletest libbenchmark-dev libc-ares-dev libssl-dev openssl \
  mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 \
  dovecot-core dovecot-pop3d mailutils-pop3d iproute2 util-linux \
  xvfb xauth x11-utils imagemagick xdotool locales fonts-ipafont-gothic \
  clang llvm valgrind tmux procps strace linux-perf \
  msitools wixl lintian icoutils dpkg-dev systemd \
  libsystemd-dev dbus-daemon dbus-bin dbus-x11 dunst \
  nlohmann-json3-dev libcurl4-openssl-dev
$SUDO apt-get install -y -q wine wine64 wine32:i386
# libFuzzer and the sanitizer run-times for clang (only recommended by clang's packages).
$SUDO apt-get install -y -q --no-install-recommends libclang-rt-14-dev

# A Japanese locale: Wine prefixes made under it use code page 932.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  $SUDO sed -i 's/^# *ja_JP.UTF-8/ja_JP.UTF-8/' /etc/locale.gen
  $SUDO locale-gen
fi

# Node.js and npm for the sign-in tests' authorization server. A machine that has Node.js from
# elsewhere (a nodejs package that bundles npm conflicts with Debian's npm) keeps its own.
if ! command -v npm >/dev/null 2>&1; then
  $SUDO apt-get install -y -q --no-install-recommends nodejs npm
fi

# The sign-in tests' authorization server (oidc-provider), at the versions its lock file pins.
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
(cd "$SCRIPT_DIR/../tests/oauth" && npm ci --no-audit --no-fund)
