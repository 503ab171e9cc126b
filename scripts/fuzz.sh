#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan + UBSan) in build/fuzz and runs
# each for a bounded time, starting from its committed seeds.
#
#   scripts/fuzz.sh                 every target, FUZZ_SECONDS (default 20) seconds each
#   scripts/fuzz.sh session stat    only these targets
#   FUZZ_SECONDS=0 scripts/fuzz.sh  no fuzzing: every seed and everything found before, once
#
# New inputs go to build/fuzz/corpus/<target> (kept between runs), findings to
# build/fuzz/artifacts/<target>/, the output of each run to build/fuzz/logs/<target>.log.
# Exits non-zero when a target does not build or any run finds a crash, a leak, undefined
# behaviour, a failed property, a timeout (10 s per input) or an input that needs over 2 GB.
# Reproduce a finding with: build/fuzz/<target>_fuzz <artifact>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
build=build/fuzz
seeds=tests/fuzz/corpus

CC=clang CXX=clang++ cmake -S tests/fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in tests/fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    targets+=("$name")
  done
fi

mkdir -p "$build/logs"
status=0
summary=()
for name in "${targets[@]}"; do
  binary="$build/${name}_fuzz"
  if [ ! -x "$binary" ]; then
    echo "fuzz.sh: no target $name" >&2
    status=1
    continue
  fi
  corpus="$build/corpus/$name"
  artifacts="$build/artifacts/$name"
  log="$build/logs/$name.log"
  mkdir -p "$corpus" "$artifacts"
  args=(-rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/")
  [ -f "tests/fuzz/$name.dict" ] && args+=(-dict="tests/fuzz/$name.dict")
  if [ "$seconds" -gt 0 ]; then
    args+=(-max_total_time="$seconds")
  else
    args+=(-runs=0)
  fi
  echo "== $name (${seconds}s)"
  dirs=("$corpus")
  [ -d "$seeds/$name" ] && dirs+=("$seeds/$name")
  if "$binary" "${args[@]}" "${dirs[@]}" >"$log" 2>&1; then
    result=ok
  else
    result="FINDING (see $log and $artifacts/)"
    status=1
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*property does not hold|.*runtime error)' "$log" | head -5 >&2 || true
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9a-zA-Z]+' || true)
  summary+=("$(printf '%-18s %10s execs %7s/s  %-36s %s' "$name" "${execs:-?}" "${speed:-?}" "$last" "$result")")
done

echo
echo "Fuzz runs (${seconds}s each):"
for line in "${summary[@]}"; do echo "  $line"; done
exit $status
