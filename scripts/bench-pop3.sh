#!/usr/bin/env bash
# One full check against Dovecot with 0, 50, 255 and 300 messages, and with 50 messages of 6 KB
# headers each, through the program's poller and its POSIX back end, beside a minimal blocking
# client measured in the same run. Runs in a network namespace of its own (root). BUILD_DIR
# picks the build (default build/linux);
# RUNS and ROUNDS set the checks per child process and the number of alternating rounds.
# TLS=1: the same over TLS on port 995 (0, 50 and 255 messages), with Python's poplib.POP3_SSL
# beside the minimal client.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target pop3_bench -j2 >/dev/null
tls=()
if [ "${TLS:-0}" = 1 ]; then tls=(--tls --counts 0,50,255); fi
exec python3 "$root/tests/bench/run_pop3_bench.py" --bench "$build/tests/pop3_bench" \
  --runs "${RUNS:-10}" --rounds "${ROUNDS:-3}" "${tls[@]}"
