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

# Whether this host runs 32-bit programs, found once for the whole run: where it does not, Wine
# runs through its 64-bit loader, the x86_64 exe's scenarios run and the i686 ones are reported
# skipped with the reason.
read -r KC_HOST_RUNS_32BIT KC_HOST_RUNS_32BIT_REASON < <(python3 tests/support/wine_host.py)
export KC_HOST_RUNS_32BIT KC_HOST_RUNS_32BIT_REASON
if [ "$KC_HOST_RUNS_32BIT" = 1 ]; then
  echo "host: runs 32-bit programs; the Wine suite runs both exes"
else
  echo "host: $KC_HOST_RUNS_32BIT_REASON; the Wine suite runs the x86_64 exe only"
fi

status=0
ctest --preset linux -j"$jobs" --timeout 900 || status=1
ctest --preset asan -j"$jobs" --timeout 900 -L 'unit|e2e' -LE wine || status=1
if [ -x scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh || status=1
fi
exit $status
