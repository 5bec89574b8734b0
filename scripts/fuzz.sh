#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang with the address and undefined-behaviour
# sanitizers, build tree build-fuzz/) and runs each for a bounded time. libFuzzer first runs
# every input of the target's corpus fuzz/corpus/NAME, the kept crash inputs among them, then
# mutates for QUORIN_FUZZ_SECONDS (default 30, at most 60). A crash, a hang, a leak or a broken
# property fails the command, and its input is kept in fuzz/corpus/NAME as a regression input.
#
# Usage: scripts/fuzz.sh [NAME...]        (default: every target of build-fuzz/fuzz-bin)
#   QUORIN_FUZZ_SECONDS  time of each target's run (1 to 60)
#   QUORIN_FUZZ_JOBS     targets run at once (default: the number of cores)
#   QUORIN_FUZZ_MERGE=1  adds the inputs that found new coverage to the checked-in corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
seconds=${QUORIN_FUZZ_SECONDS:-30}
jobs=${QUORIN_FUZZ_JOBS:-$(nproc)}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ] || [ "$seconds" -gt 60 ]; then
  echo "QUORIN_FUZZ_SECONDS must be a whole number from 1 to 60" >&2
  exit 2
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIN_FUZZ=ON \
  -DQUORIN_BUILD_TESTS=OFF -DQUORIN_BUILD_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target fuzz_targets -j"$(nproc)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for bin in "$build"/fuzz-bin/*_fuzz; do
    name=$(basename "$bin")
    targets+=("${name%_fuzz}")
  done
fi

# Scratch files of the runs (the targets' own folders, new corpus inputs, logs) in memory
# when the machine has it: the targets write many small files.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d -p /dev/shm quorin-fuzz.XXXXXX)
else
  work=$(mktemp -d)
fi
trap 'rm -rf "$work"' EXIT

# Runs one target; writes its result line into $work/NAME/result.
run_target() {
  local name=$1 bin="$build/fuzz-bin/${1}_fuzz" corpus="$root/fuzz/corpus/$1" dir="$work/$1"
  mkdir -p "$dir/new" "$dir/tmp" "$dir/artifacts" "$corpus"
  local status=0
  TMPDIR="$dir/tmp" "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/new" "$corpus" >"$dir/log" 2>&1 || status=$?
  local runs speed
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
  if [ "$status" -ne 0 ]; then
    local kept="" same
    for artifact in "$dir"/artifacts/*; do
      [ -e "$artifact" ] || continue
      # An input of the corpus that fails is named as it is; a new one is copied in.
      same=$(cd "$corpus" && sha1sum -- * 2>/dev/null | awk -v s="$(sha1sum <"$artifact" | cut -d' ' -f1)" '$1 == s {print $2; exit}')
      if [ -n "$same" ]; then
        kept="$kept fuzz/corpus/$name/$same (already there)"
      else
        cp "$artifact" "$corpus/"
        kept="$kept fuzz/corpus/$name/$(basename "$artifact")"
      fi
    done
    echo "FAILED $name (exit $status), regression input:${kept:- none}" >"$dir/result"
    tail -n 60 "$dir/log" >"$dir/failure"
    return
  fi
  if [ "${QUORIN_FUZZ_MERGE:-}" = "1" ] && [ -n "$(ls -A "$dir/new")" ]; then
    TMPDIR="$dir/tmp" "$bin" -merge=1 "$corpus" "$dir/new" >>"$dir/log" 2>&1
  fi
  printf '%-14s %10s runs %8s exec/s %5s corpus inputs %4s new\n' "$name" "${runs:-?}" "${speed:-?}" \
    "$(ls "$corpus" | wc -l)" "$(ls "$dir/new" | wc -l)" >"$dir/result"
}

echo "== fuzzing ${#targets[@]} targets for ${seconds} s each, $jobs at a time"
running=0
for name in "${targets[@]}"; do
  if [ ! -x "$build/fuzz-bin/${name}_fuzz" ]; then
    echo "no fuzz target $name" >&2
    exit 2
  fi
  run_target "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
for name in "${targets[@]}"; do
  cat "$work/$name/result"
  if [ -e "$work/$name/failure" ]; then
    failed=1
    sed 's/^/    /' "$work/$name/failure"
  fi
done
[ $failed -eq 0 ] || exit 1
