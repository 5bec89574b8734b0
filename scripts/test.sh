#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test: the normal build, then the build with
# the address and undefined-behaviour sanitizers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
jobs=$(nproc)

echo "== build and test"
"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest -j"$jobs" --output-on-failure --timeout 600)

if [ "${QUORIN_SKIP_SANITIZERS:-}" = "" ]; then
  echo "== build and test with the address and undefined-behaviour sanitizers"
  "$root/scripts/build.sh" "$root/build-asan" -DQUORIN_SANITIZE=address -DQUORIN_BUILD_BENCH=OFF
  (cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=0 ctest -j"$jobs" --output-on-failure --timeout 900)
fi
echo "== all tests passed"
