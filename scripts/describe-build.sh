#!/usr/bin/env bash
# Says what the build folder holds and how to use it (what `make run` shows for now).
set -euo pipefail
build=${1:-build}

echo "Built in ${build}/:"
for f in "${build}"/lib/libKorLib.so.*.*.* "${build}"/tools/monitor/kor-monitor; do
  [[ -e "$f" ]] && echo "  $f"
done
echo
echo "KorLib is the shared library that encodes and decodes Kor telemetry frames."
echo "The emulator window is not part of this tree yet. To watch a telemetry stream:"
echo "  ${build}/tools/monitor/kor-monitor --port 33322"
echo "To run the tests: make test"
