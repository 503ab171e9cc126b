#!/usr/bin/env bash
# The main job in a terminal: builds the Linux program and runs it with a simulated display.
#
#   bash scripts/demo.sh                               a built-in demo mailbox
#   bash scripts/demo.sh SERVER USER PASSWORD [MINUTES] your own POP3 mailbox
#   bash scripts/demo.sh --help
#
# The built-in mailbox is the project's scriptable POP3 server on 127.0.0.1:110 inside a network
# namespace of its own (so nothing on this machine is touched and no port is taken). It holds
# seven messages and is checked every 2 minutes: the display pages its report one row every
# 5 seconds, and needs about 90 seconds to show every sender. The settings live in a temporary
# file; the display is a simulated hidraw device. On a terminal, the screen is split with tmux:
# the 16 x 2 LCD on top, the program in the middle with its outcome lines and, on its last row,
# the status line that stands for the tray icon, and the trace at the bottom. The trace is also
# written to KESTOVA_DEMO_TRACE (default build/linux/demo-trace.log).
# Keys: c check now, space the tray menu, p settings, m mail program, q exit.
# Without a terminal the demo runs for KESTOVA_DEMO_SECONDS (default: one check interval),
# printing the display's screens ("LCD [row 1][row 2]") and the program's console.
# KESTOVA_DEMO_BUILD names a build directory that holds kestova and tests/lcd_screen already
# (the demo then builds nothing).
# KESTOVA_DEMO_SSL=1 (TLS on port 995) or 2 (STARTTLS) secures the connection: the built-in
# mailbox then gets a certificate from a test CA made for the run, which the program trusts.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
}
if [ $# -eq 1 ] && { [ "$1" = "--help" ] || [ "$1" = "-h" ]; }; then
  usage
  exit 0
fi

BUILD="$ROOT/build/linux"
if [ -n "${KESTOVA_DEMO_BUILD:-}" ]; then
  BUILD=$(cd "$KESTOVA_DEMO_BUILD" && pwd) || exit 1
fi
PROGRAM="$BUILD/kestova"
SCREEN="$BUILD/tests/lcd_screen"
POP3_SERVER="$ROOT/tests/support/pop3_server.py"

say() { printf 'demo: %s\n' "$*" >&2; }

if [ $# -ne 0 ] && { [ $# -lt 3 ] || [ $# -gt 4 ]; }; then
  echo "usage: $0 [SERVER USER PASSWORD [MINUTES]]   (--help: what the demo does)" >&2
  exit 2
fi
TRACE_LOG="${KESTOVA_DEMO_TRACE:-$ROOT/build/linux/demo-trace.log}"

interactive() { [ -t 0 ] && [ -t 1 ]; }

# ---- what the demo needs --------------------------------------------------------------------

missing_tools() {
  local tools="cmake g++ pkg-config python3"
  [ $# -eq 0 ] && tools="$tools unshare ip"
  interactive && tools="$tools tmux"
  local t
  for t in $tools; do command -v "$t" >/dev/null 2>&1 || echo "$t"; done
  pkg-config --exists libcares 2>/dev/null || echo "libc-ares-dev"
  [ -e /usr/include/gtest/gtest.h ] || echo "googletest"
}

if [ "${KC_DEMO_STAGE:-}" != "inside" ]; then
  if [ -n "${KESTOVA_DEMO_BUILD:-}" ]; then
    [ -x "$PROGRAM" ] && [ -x "$SCREEN" ] || { say "no kestova and lcd_screen in $BUILD"; exit 1; }
  elif [ -n "$(missing_tools "$@")" ]; then
    say "missing: $(missing_tools "$@" | tr '\n' ' ')- installing the project's dependencies"
    if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null 2>&1; then
      say "run scripts/install-deps.sh as root first"
      exit 1
    fi
    bash "$ROOT/scripts/install-deps.sh"
  fi

  if [ -z "${KESTOVA_DEMO_BUILD:-}" ]; then
    say "building (cmake --preset linux)"
    log=$(mktemp)
    if ! (cd "$ROOT" && cmake --preset linux &&
            cmake --build --preset linux -j"$(nproc)" --target kestova lcd_screen) >"$log" 2>&1; then
      tail -n 40 "$log" >&2
      rm -f "$log"
      say "the build failed"
      exit 1
    fi
    rm -f "$log"
  fi

  if [ $# -eq 0 ]; then
    # The demo mailbox answers on 127.0.0.1:110 in a network namespace of the demo's own.
    export KC_DEMO_STAGE=inside
    if [ "$(id -u)" -eq 0 ]; then
      exec unshare -n bash "$0" "$@"
    fi
    say "not root: trying a user namespace for the private network"
    exec unshare --map-root-user -n bash "$0" "$@"
  fi
fi

# ---- the run --------------------------------------------------------------------------------

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kestova-demo-XXXXXX")
PIDS=()
TMUX_SOCKET="kestova-demo-$$"
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  env -u TMUX tmux -L "$TMUX_SOCKET" kill-server 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

SSL_MODE=${KESTOVA_DEMO_SSL:-0}
case "$SSL_MODE" in 0 | 1 | 2) ;; *) say "KESTOVA_DEMO_SSL must be 0, 1 or 2"; exit 2 ;; esac
TRUST=()
if [ $# -eq 0 ]; then
  ip link set lo up
  # Two minutes: the report of seven messages takes about 90 seconds to page through.
  SERVER=127.0.0.1 USER_NAME=demo PASSWORD=demo-pass MINUTES=2
  LISTEN=127.0.0.1:110 TLS_ARGS=()
  if [ "$SSL_MODE" != 0 ]; then
    # A certificate for 127.0.0.1 from a CA of this run; the program trusts that CA alone.
    pair=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from test_certs import TestCerts
c = TestCerts(sys.argv[2]); print(",".join(c.server("demo", names=("127.0.0.1",))), c.ca[0])' \
      "$ROOT/tests/support" "$WORK/certs")
    TRUST=(SSL_CERT_FILE="${pair#* }")
    if [ "$SSL_MODE" = 1 ]; then LISTEN=127.0.0.1:995 TLS_ARGS=(--tls "${pair% *}")
    else TLS_ARGS=(--stls "${pair% *}"); fi
  fi
  # Seven messages from several senders: the report is longer than the two rows, so it pages.
  python3 "$POP3_SERVER" --listen "$LISTEN" --user "$USER_NAME" --password "$PASSWORD" \
    --count 7 "${TLS_ARGS[@]}" \
    --sender "Alice Example <alice@example.com>" \
    --sender "bob@example.net" \
    --sender "Carol Tanaka <carol@example.jp>" \
    --sender "Newsletter <news@shop.example>" \
    --sender "Dave <dave@example.org>" \
    --sender "Eve <eve@example.com>" \
    --sender "Frank <frank@example.net>" \
    --log "$WORK/pop3.log" >"$WORK/pop3.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do
    grep -q LISTENING "$WORK/pop3.out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q LISTENING "$WORK/pop3.out" || { cat "$WORK/pop3.out" >&2; say "the POP3 server did not start"; exit 1; }
else
  SERVER=$1 USER_NAME=$2 PASSWORD=$3 MINUTES=${4:-5}
  case "$MINUTES" in '' | *[!0-9]*) say "MINUTES must be a number"; exit 2 ;; esac
fi

# A mail program for the double click (m): it says how it was started.
cat >"$WORK/mailer.sh" <<'EOF'
#!/bin/sh
echo "(mail program started: $0 $*)"
EOF
chmod 755 "$WORK/mailer.sh"

# The settings, as the program's settings file holds them.
python3 - "$WORK/settings.reg" "$SERVER" "$USER_NAME" "$PASSWORD" "$MINUTES" "$WORK/mailer.sh" \
  "$SSL_MODE" <<'EOF'
import sys
path, server, user, password, minutes, mailer, ssl = sys.argv[1:]
def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'
pw = ",".join("%02x" % (b ^ 0xFF) for b in password.encode("cp932")[:79] + b"\0")
lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]",
         '"SERVER"=' + quoted(server), '"USER"=' + quoted(user), '"PASS"=hex:' + pw,
         '"TIME"=dword:%08x' % int(minutes), '"LIST"=dword:00000001', '"LED"=dword:00000001',
         '"MAILLER"=' + quoted(mailer + " --demo"), '"SSL"=dword:%08x' % int(ssl), ""]
with open(path, "w", newline="") as f:
    f.write("\r\n".join(lines))
EOF
chmod 600 "$WORK/settings.reg"

# The simulated display: a hidraw tree whose node is a FIFO that lcd_screen reads.
eval "$("$SCREEN" --make-tree "$WORK/lcd")"
mkdir -p -m 700 "$WORK/run"
PROGRAM_ENV=(env KESTOVA_SETTINGS_FILE="$WORK/settings.reg" XDG_RUNTIME_DIR="$WORK/run"
             KESTOVA_SYSFS_ROOT="$KESTOVA_SYSFS_ROOT" KESTOVA_DEV_ROOT="$KESTOVA_DEV_ROOT"
             "${TRUST[@]}")

say "mailbox $USER_NAME@$SERVER, a check every $MINUTES minute(s)"
mkdir -p "$(dirname "$TRACE_LOG")"
: >"$TRACE_LOG"
say "the program's trace goes to $TRACE_LOG"

if ! interactive; then
  "$SCREEN" --tree "$WORK/lcd" --oneline --follow > >(sed -u 's/^/LCD /') &
  PIDS+=($!)
  sleep 0.3
  (cd "$WORK" && exec "${PROGRAM_ENV[@]}" "$PROGRAM" 2>>"$TRACE_LOG" </dev/null) &
  program=$!
  PIDS+=($program)
  seconds=${KESTOVA_DEMO_SECONDS:-$((MINUTES * 60))}
  say "running for $seconds seconds"
  sleep "$seconds" &  # waited for in the background, so a signal ends the demo at once
  PIDS+=($!)
  wait $! || true
  kill -TERM "$program" 2>/dev/null || true
  code=0
  wait "$program" || code=$?
  say "program ended with exit code $code"
  exit 0
fi

# On a terminal: the LCD pane on top, redrawn in place, and the program below it.
cat >"$WORK/lcd.sh" <<'EOF'
#!/bin/bash
# $1: lcd_screen, $2: the display's tree. Each new screen replaces the one shown.
title() { printf '\033[H\033[2J LCD 16x2 (simulated)\n'; }
printf '\033[?25l'
title
n=0
"$1" --tree "$2" --follow | while IFS= read -r line; do
  case "$line" in
    "+-"*) n=$((n + 1)); if [ $((n % 2)) -eq 1 ]; then title; fi ;;
  esac
  printf ' %s\n' "$line"
done
EOF
cat >"$WORK/program.sh" <<EOF
#!/bin/bash
cd "$WORK"
${PROGRAM_ENV[*]@Q} "$PROGRAM" 2>>${TRACE_LOG@Q}
code=\$?
printf '\nkestova ended with exit code %d\n' "\$code"
sleep 2
env -u TMUX tmux -L "$TMUX_SOCKET" kill-server
EOF
chmod 755 "$WORK/lcd.sh" "$WORK/program.sh"

cols=$(tput cols 2>/dev/null || echo 80)
rows=$(tput lines 2>/dev/null || echo 24)
T=(env -u TMUX tmux -L "$TMUX_SOCKET" -f /dev/null)
"${T[@]}" new-session -d -s demo -x "$cols" -y "$rows" "$WORK/lcd.sh" "$SCREEN" "$WORK/lcd"
"${T[@]}" set-option -g status off \; set-option -g escape-time 0 \; \
  set-option -g pane-border-style fg=colour8 \; set-option -g pane-active-border-style fg=colour8
sleep 0.3  # the display's reader first
# The trace below the program, in a pane of its own; the program's pane keeps the keys.
trace_rows=$(((rows - 7) / 3))
"${T[@]}" split-window -v -t demo -l $((rows - 7)) "$WORK/program.sh"
"${T[@]}" split-window -v -t demo -l "$trace_rows" \
  "printf '\\033[2m trace: %s\\033[0m\\n' ${TRACE_LOG@Q}; exec tail -n +1 -f ${TRACE_LOG@Q}"
"${T[@]}" select-pane -t demo.1
"${T[@]}" attach -t demo || true
