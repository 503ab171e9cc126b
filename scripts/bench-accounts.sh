#!/usr/bin/env bash
# A check of three accounts of 255 messages each against the sum of three one-account checks
# (goal: at most 1.1 times), and the idle cost (wake-ups per minute, resident memory) of the
# three-account program beside a one-account one; the real Linux program against three
# Dovecot users (tests/bench/accounts_bench.py). Runs in a network namespace of its own
# (root). BUILD_DIR picks the build (default build/linux); CHECKS sets the checks per program
# (default 15), IDLE_SECONDS the idle window (default 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target kestova -j2 >/dev/null
exec python3 "$root/tests/bench/accounts_bench.py" --program "$build/kestova" \
  --checks "${CHECKS:-15}" --idle-seconds "${IDLE_SECONDS:-60}" "$@"
