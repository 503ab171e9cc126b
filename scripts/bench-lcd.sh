#!/usr/bin/env bash
# Reports the display link sends per screen update (unchanged screen, full rewrite, the check's
# texts, report pages), counted on the fake HID device. BUILD_DIR picks the build (default
# build/linux).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target lcd_bench -j2 >/dev/null
exec "$build/tests/lcd_bench"
