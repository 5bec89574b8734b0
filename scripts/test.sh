#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test: the normal build and its benchmarks, the
# builds with the address and undefined-behaviour sanitizers and with the thread sanitizer,
# then the fuzz targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
jobs=$(nproc)

echo "== build and test"
"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest -j"$jobs" --output-on-failure --timeout 600)

if [ "${QUORIN_SKIP_BENCH:-}" = "" ]; then
  # Alone on the machine, after the tests. The pipe benchmark exits 1 below its target; its
  # echo floor moves with the machine and with where the scheduler places the two ends, so a
  # run that misses is repeated. Three misses in a row are reported, and fail the command
  # only with QUORIN_BENCH_STRICT=1: the figures depend on the machine, the tests do not.
  echo "== benchmarks"
  met=0
  for attempt in 1 2 3; do
    if "$root/build/bench-bin/pipe_roundtrip_bench" --benchmark_color=false; then met=1; break; fi
    echo "(pipe benchmark run $attempt missed its target)"
  done
  if [ $met -eq 0 ]; then
    echo "THE PIPE BENCHMARK MISSED ITS TARGET THREE TIMES ON THIS MACHINE"
    [ "${QUORIN_BENCH_STRICT:-}" = "" ] || exit 1
  fi
  for bench in snmp_get_bench snmpups_bench snmpups_monitor_bench; do
    "$root/build/bench-bin/$bench" --benchmark_color=false
  done
fi

if [ "${QUORIN_SKIP_SANITIZERS:-}" = "" ]; then
  echo "== build and test with the address and undefined-behaviour sanitizers"
  "$root/scripts/build.sh" "$root/build-asan" -DQUORIN_SANITIZE=address -DQUORIN_BUILD_BENCH=OFF
  (cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$root/tests/lsan.supp print_suppressions=0" ctest -j"$jobs" --output-on-failure --timeout 900)
  echo "== build and test with the thread sanitizer"
  "$root/scripts/build.sh" "$root/build-tsan" -DQUORIN_SANITIZE=thread -DQUORIN_BUILD_BENCH=OFF
  (cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0" ctest -j"$jobs" --output-on-failure --timeout 900)
fi

if [ "${QUORIN_SKIP_FUZZ:-}" = "" ]; then
  # Every fuzz target over its corpus (kept crash inputs included), then for a bounded time.
  "$root/scripts/fuzz.sh"
fi

echo "== all tests passed"
