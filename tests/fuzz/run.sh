#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a while on seeds made
# by make_seeds.py plus the corpus kept in tests/fuzz/corpus/<target>.
#   tests/fuzz/run.sh [seconds per target] [executions per target]
# (default 45 s; 2 targets at a time; an execution count replaces the time limit)
# Findings (crash-*, leak-*, timeout-*, oom-*) land in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-45}
runs=${2:-}
limit=(-max_total_time="$secs")
[ -n "$runs" ] && limit=(-runs="$runs")
out=${FUZZ_BUILD_DIR:-build/fuzz}
# -O1 compiles much faster than the default -O3.
cmake -S . -B "$out" -G Ninja -DVANTREL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" -Wno-dev >/dev/null
cmake --build "$out" -j "$(nproc)" --target fuzz_json fuzz_arch fuzz_weights fuzz_model
python3 tests/fuzz/make_seeds.py "$out/seeds" >/dev/null
mkdir -p "$out/artifacts"

run_one() {
  local t=$1 work="$out/corpus/$1"
  mkdir -p "$work"
  # New inputs go to the scratch corpus; the kept corpus and seeds are read only.
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 OMP_NUM_THREADS=1 \
    "$out/tests/fuzz/fuzz_$t" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" "$work" "$out/seeds/$t" \
    $( [ -d "tests/fuzz/corpus/$t" ] && echo "tests/fuzz/corpus/$t" ) >"$out/fuzz_$t.log" 2>&1
}

status=0
for pair in "json arch" "weights model"; do
  pids=()
  for t in $pair; do run_one "$t" & pids+=($!); done
  for i in "${!pids[@]}"; do
    t=$(echo $pair | cut -d' ' -f$((i + 1)))
    if wait "${pids[$i]}"; then
      echo "fuzz_$t: $(grep -E '^Done [0-9]+ runs' "$out/fuzz_$t.log" | tail -n 1)"
    else
      echo "fuzz_$t: FAILED, see $out/fuzz_$t.log"; grep -E 'ERROR|SUMMARY' "$out/fuzz_$t.log" | head -n 5
      status=1
    fi
  done
done
exit $status
