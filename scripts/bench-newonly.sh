#!/usr/bin/env bash
# The new-only check (NEWONLY: STAT, UIDL, TOP for the new messages only) against Dovecot with
# 10,000 and 50,000 messages of which 2 are new, beside a minimal blocking client of our own
# and the program's plain check (tests/bench/newonly_bench.cpp). Runs in a network namespace
# of its own (root). BUILD_DIR picks the build (default build/linux); RUNS and ROUNDS set the
# checks per child process and the number of alternating rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target newonly_bench -j2 >/dev/null
exec python3 "$root/tests/bench/run_newonly_bench.py" --bench "$build/tests/newonly_bench" \
  --runs "${RUNS:-5}" --rounds "${ROUNDS:-3}" "$@"
