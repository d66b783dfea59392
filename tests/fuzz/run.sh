#!/usr/bin/env bash
# Runs the fuzz targets for a fixed time each, from their seed corpora (tests/fuzz/corpus/NAME).
#   tests/fuzz/run.sh BUILD_DIR SECONDS [NAME...]       (default: every target)
# BUILD_DIR was configured with -DVELTRACE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ and built with
# `ninja fuzz`. New inputs go to a scratch folder, never into the seed corpora. A crash, a hang
# (10 s for one input) or a sanitizer report keeps its input there, names it, and makes the
# script fail once every target has run.
set -uo pipefail
build=${1:?usage: run.sh BUILD_DIR SECONDS [NAME...]}
seconds=${2:?usage: run.sh BUILD_DIR SECONDS [NAME...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
names=("$@")
[ ${#names[@]} -eq 0 ] && names=(ihex ecureplies backup import ecusim ecusimstate qtstore)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/veltrace-fuzz-XXXXXX")
failed=()
for name in "${names[@]}"; do
  mkdir -p "$scratch/$name"
  "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$scratch/$name-" "$scratch/$name" "$here/corpus/$name" >"$scratch/$name.log" 2>&1
  status=$?
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$scratch/$name.log")
  if [ $status -eq 0 ]; then
    echo "fuzz $name: ${runs:-?} executions in ${seconds} s, nothing found"
  else
    failed+=("$name")
    echo "fuzz $name: FOUND after ${runs:-?} executions (status $status):"
    grep -E 'ERROR|broken:|SUMMARY|Test unit written' "$scratch/$name.log" | head -20
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; inputs and logs kept in $scratch"
  exit 1
fi
rm -rf "$scratch"
