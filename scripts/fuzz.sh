#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan, in build-fuzz) and runs each for
# SECONDS (default 20), all side by side, every one on a fresh copy of its seed corpus from
# fuzz/corpus so the tree's seeds stay as they are.
# Fails when a target finds a crash, a leak or a time-out; the input that caused it is kept
# in build-fuzz/runs/<target>/findings/ and the target's log beside it.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 60 config_text utf16
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
if [ $# -gt 0 ]; then shift; fi
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
for name in "${targets[@]}"; do
  if [ ! -f "fuzz/$name.cpp" ]; then
    echo "no fuzz target $name (fuzz/$name.cpp)" >&2
    exit 2
  fi
done

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DQEL_FUZZ=ON -DQEL_BUILD_TESTS=OFF -DQEL_WERROR=ON >/dev/null
cmake --build build-fuzz -j "${QEL_BUILD_JOBS:-4}" --target "${targets[@]/#/fuzz_}"

declare -A pids
for name in "${targets[@]}"; do
  run="build-fuzz/runs/$name"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/findings"
  cp fuzz/corpus/"$name"/* "$run/corpus/"
  "build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$run/findings/" "$run/corpus" >"$run/log" 2>&1 &
  pids[$name]=$!
done

failed=()
for name in "${targets[@]}"; do
  run="build-fuzz/runs/$name"
  if wait "${pids[$name]}"; then
    stats=$(grep -E '^stat::(number_of_executed_units|new_units_added)' "$run/log" |
      sed 's/^stat:://; s/: */=/' | tr '\n' ' ')
    coverage=$(grep -E '^#[0-9]+' "$run/log" | tail -n 1 |
      grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    echo "fuzz $name: ok; $stats${coverage}"
  else
    failed+=("$name")
    echo "fuzz $name: FAILED (log: $run/log)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|.*runtime error)' "$run/log" |
      head -n 5 || true
    for finding in "$run"/findings/*; do
      [ -e "$finding" ] && echo "  reproduce: build-fuzz/fuzz/fuzz_$name $finding"
    done
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
