#!/usr/bin/env bash
# What the program costs while it waits and over its checks: the event loop's allocations and
# poll returns per timer tick and per server response (idle_loop_bench), then the real Linux
# program against Dovecot: peak and current resident memory and CPU time over checks of 0, 50,
# 255 and 300 messages, and wake-ups per minute while idle. Runs in a network namespace of its
# own (root). BUILD_DIR picks the build (default build/linux); IDLE_SECONDS sets the idle
# window (default 60), CHECKS the checks per mailbox size (default 50).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target kestova lcd_screen idle_loop_bench -j2 >/dev/null
"$build/tests/idle_loop_bench"
echo
exec python3 "$root/tests/bench/idle_bench.py" --program "$build/kestova" \
  --screen "$build/tests/lcd_screen" --idle-seconds "${IDLE_SECONDS:-60}" --checks "${CHECKS:-50}" "$@"
