#!/usr/bin/env bash
# A soak run, not part of the test suite: SOAK_CHECKS consecutive checks (default 2000) of the
# Linux program against Dovecot, with a mailbox that changes between checks, on a simulated
# display. Asserts that every check returns to idle and that resident memory and open
# descriptors stay flat; prints a table of samples. Runs in a network namespace of its own
# (root). BUILD_DIR picks the build (default build/linux); SOAK_SAMPLE_EVERY sets the checks
# between samples (default SOAK_CHECKS / 20); SOAK_RSS_MARGIN_KIB and SOAK_ANON_MARGIN_KIB the
# growth allowed to VmRSS (128) and to its anonymous part, heap and stack (96).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target kestova lcd_screen -j2 >/dev/null
exec python3 "$root/tests/bench/soak.py" --program "$build/kestova" \
  --screen "$build/tests/lcd_screen" --checks "${SOAK_CHECKS:-2000}" \
  --sample-every "${SOAK_SAMPLE_EVERY:-0}" --rss-margin-kib "${SOAK_RSS_MARGIN_KIB:-128}" \
  --anon-margin-kib "${SOAK_ANON_MARGIN_KIB:-96}" "$@"
