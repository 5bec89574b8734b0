#!/usr/bin/env bash
# Plants the faults listed in scripts/mutations.txt one at a time in a scratch copy of the tree,
# builds it, runs the tests named for each fault and prints whether they caught it. It is slow
# (one build step and one test run per fault) and so is not part of the test command.
#
# Usage: scripts/mutate.sh [-r RUNS] [-l LIST] [-d DIR] [NAME-REGEX]
#   -r RUNS  run the tests of each fault RUNS times: a fault counts as caught only when one of
#            its tests failed in every run (default 1)
#   -l LIST  the list of faults (default scripts/mutations.txt)
#   -d DIR   the scratch folder, kept between runs so that its build is incremental (default
#            build-mutate in the tree, which git ignores)
#   NAME-REGEX  plant only the faults whose name matches (grep -E)
#
# Each fault prints one line: "caught", "MISSED" (every test passed with the fault in place),
# "STALE" (the text to replace is not in the file as often as the entry says: the code moved
# on and the entry needs updating), "NOTESTS" (no test matches its tests) or "UNBUILT" (the tree did not build with the fault). The
# exit status is 0 only when every fault planted was caught.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/mutations.txt
runs=1
scratch=$root/build-mutate
while getopts "r:l:d:h" opt; do
  case $opt in
    r) runs=$OPTARG ;;
    l) list=$OPTARG ;;
    d) scratch=$OPTARG ;;
    h) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
only=${1:-}
[ -r "$list" ] || { echo "mutate.sh: cannot read the fault list $list" >&2; exit 2; }

src=$scratch/src
build=$scratch/build
mkdir -p "$scratch"
# The tree as it stands, uncommitted changes included; build folders and other untracked
# files that git ignores stay behind. Only files whose content differs from the last run's
# copy are copied (with a new time, so the build redoes them), and files gone from the tree
# are removed: the build stays incremental, and a fault left planted by a run that was cut
# short is undone.
stage=$scratch/stage
rm -rf "$stage"
mkdir -p "$stage" "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard) |
  (cd "$root" && tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$stage"
(cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' f; do
  if ! cmp -s "$stage/$f" "$src/$f"; then
    mkdir -p "$(dirname "$src/$f")"
    cp --preserve=mode "$stage/$f" "$src/$f"
  fi
done
(cd "$src" && find . -type f -print0) | while IFS= read -r -d '' f; do
  [ -e "$stage/$f" ] || rm -f "$src/$f"
done
rm -rf "$stage"

# The scratch build uses the compiler cache too.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$scratch
fi
jobs=$(nproc)
build_tree() { cmake --build "$build" -j"$jobs" >"$scratch/build.log" 2>&1; }
run_tests() {  # REGEX: 0 when every test passed in one of its runs, i.e. the fault was missed
  (cd "$build" && ctest -R "$1" -j"$jobs" --timeout 600 --repeat until-pass:"$runs" >"$scratch/test.log" 2>&1)
}

echo "== building the scratch copy"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIN_BUILD_BENCH=OFF >/dev/null
build_tree || { tail -30 "$scratch/build.log"; echo "mutate.sh: the unchanged tree does not build" >&2; exit 2; }

# Replaces occurrence NTH (1-based; 0 = the only one) of FIND in FILE by REPLACE. Returns 1
# when FIND does not occur as the entry says.
plant() {
  local file=$1 find=$2 replace=$3 nth=$4
  local content rest count=0
  content=$(cat "$file"; printf x)
  content=${content%x}
  rest=$content
  while [[ $rest == *"$find"* ]]; do
    count=$((count + 1))
    rest=${rest#*"$find"}
  done
  if [ "$nth" -eq 0 ]; then
    [ $count -eq 1 ] || return 1
    nth=1
  fi
  [ "$nth" -le $count ] || return 1
  local before="" i
  rest=$content
  for ((i = 1; i < nth; i++)); do
    before+=${rest%%"$find"*}$find
    rest=${rest#*"$find"}
  done
  printf '%s' "$before${rest/"$find"/"$replace"}" >"$file"
}

declare -a names files finds replaces nths tests
add_entry() {
  [ -n "${e_name:-}" ] || return 0
  names+=("$e_name"); files+=("$e_file"); finds+=("$e_find"); replaces+=("$e_replace")
  nths+=("${e_nth:-0}"); tests+=("$e_tests")
  e_name="" e_file="" e_find="" e_replace="" e_nth="" e_tests=""
}
e_name=""
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    '#'* ) continue ;;
    '') add_entry ;;
    name:*) e_name=${line#name: } ;;
    file:*) e_file=${line#file: } ;;
    find:*) e_find=${line#find: } ;;
    replace:*) e_replace=${line#replace: } ;;
    occurrence:*) e_nth=${line#occurrence: } ;;
    tests:*) e_tests=${line#tests: } ;;
    *) echo "mutate.sh: unknown line in $list: $line" >&2; exit 2 ;;
  esac
done <"$list"
add_entry

# The tests of the faults chosen must pass on the unchanged tree, or a "caught" would mean
# nothing.
selected=()
for i in "${!names[@]}"; do
  if [ -z "$only" ] || grep -Eq "$only" <<<"${names[$i]}"; then selected+=("$i"); fi
done
[ ${#selected[@]} -gt 0 ] || { echo "mutate.sh: no fault matches '$only'" >&2; exit 2; }
all_tests=$(for i in "${selected[@]}"; do printf '%s|' "${tests[$i]}"; done)
all_tests=${all_tests%|}
echo "== the tests of ${#selected[@]} faults on the unchanged tree"
if ! (cd "$build" && ctest -R "$all_tests" --no-tests=error -j"$jobs" --timeout 600 >"$scratch/test.log" 2>&1); then
  grep -E "Failed|\*\*\*" "$scratch/test.log" | head -20
  echo "mutate.sh: these tests fail without any fault planted" >&2
  exit 2
fi

echo "== planting ${#selected[@]} faults one at a time (each test run $runs time(s))"
caught=0 missed=0 stale=0 unbuilt=0
for i in "${selected[@]}"; do
  name=${names[$i]} file=$src/${files[$i]}
  start=$SECONDS
  [ -f "$file" ] && cp "$file" "$scratch/original" || : >"$scratch/original"
  if [ ! -f "$file" ]; then
    verdict=STALE
    stale=$((stale + 1))
  elif [ "$(cd "$build" && ctest -N -R "${tests[$i]}" | sed -n "s/^Total Tests: //p")" = 0 ]; then
    verdict=NOTESTS
    stale=$((stale + 1))
  elif ! plant "$file" "${finds[$i]}" "${replaces[$i]}" "${nths[$i]}"; then
    verdict=STALE
    stale=$((stale + 1))
  elif ! build_tree; then
    verdict=UNBUILT
    unbuilt=$((unbuilt + 1))
  elif run_tests "${tests[$i]}"; then
    verdict=MISSED
    missed=$((missed + 1))
  else
    verdict=caught
    caught=$((caught + 1))
  fi
  # Restored with a new time, so that the next build compiles it again.
  [ -f "$file" ] && cp "$scratch/original" "$file"
  printf '%-8s %-40s %4ds  %s\n' "$verdict" "$name" $((SECONDS - start)) "${tests[$i]}"
done
# Leave the scratch build as the tree is, for the next run.
build_tree || true
echo "== $caught caught, $missed missed, $stale stale, $unbuilt unbuilt"
[ $((missed + stale + unbuilt)) -eq 0 ]
