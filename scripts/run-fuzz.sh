#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer) in
# build-fuzz and runs each one for SECONDS (default 60) on a scratch copy of its seed corpus.
# Prints one line per target and exits non-zero if any target reported a finding.
#
#   scripts/run-fuzz.sh [SECONDS]
set -euo pipefail

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
findings="$build/findings"
targets=(device roundtrip lens lensfile bridge)
declare -A max_len=([device]=600 [roundtrip]=1024 [lens]=128 [lensfile]=2048 [bridge]=1024)

# The library is instrumented for coverage and the sanitizers through CMAKE_CXX_FLAGS; the
# fuzz targets add -fsanitize=fuzzer themselves. The emulator and the tools are configured,
# since the fuzz targets link the lens file reader's and kor-bridge's parsers, but only the
# fuzz targets are built: the shared library cannot link against the sanitizer runtimes.
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
flags+=" -fno-omit-frame-pointer -g -O1"
mkdir -p "$build"
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=$flags" \
  -DKOR_BUILD_FUZZ=ON -DKOR_BUILD_TESTS=OFF -DKOR_BUILD_BENCH=OFF -DKOR_BUILD_TOOLS=ON \
  -DKOR_BUILD_EMULATOR=ON -DKOR_BUILD_WINDOW=OFF -DKOR_INSTALL=OFF -DKOR_WARNINGS_AS_ERRORS=OFF \
  >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j 2 --target kor_fuzz_all

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

failed=0
summary=()
for target in "${targets[@]}"; do
  corpus="$scratch/$target"
  cp -r "$root/fuzz/corpus/$target" "$corpus"
  log="$build/$target.log"
  status=0
  "$build/fuzz/kor_fuzz_$target" "$corpus" \
    -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/$target-" </dev/null >"$log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if ((status == 0)); then
    result="ok"
  else
    failed=1
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    result="FAILED (exit $status${artifact:+, input $artifact}; log $log)"
    echo "---- $target: end of log ----" >&2
    tail -n 40 "$log" >&2
  fi
  summary+=("$(printf 'fuzz %-10s %12s executions  %s' "$target" "${runs:-?}" "$result")")
done

printf '%s\n' "${summary[@]}"
exit "$failed"
