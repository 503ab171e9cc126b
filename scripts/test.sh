#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the three targets (Linux, Windows i686,
# Windows x86_64) and a sanitizer build, and runs every test: unit, native end to end, Wine end to
# end, the same unit and native suites under AddressSanitizer and UBSan, and the fuzz smoke runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
for preset in linux win32 win64 asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$jobs"
done

status=0
ctest --preset linux -j"$jobs" --timeout 900 || status=1
ctest --preset asan -j"$jobs" --timeout 900 -L 'unit|e2e' -LE wine || status=1
if [ -x scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh || status=1
fi
exit $status
