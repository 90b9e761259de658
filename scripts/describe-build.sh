#!/usr/bin/env bash
# Says what the build folder holds and how to use it (what `make run` shows until the
# emulator window is part of the tree).
set -euo pipefail
build=${1:-build}

echo "Built in ${build}/:"
for f in "${build}"/lib/libKorLib.so.*.*.* "${build}"/tools/monitor/kor-monitor \
         "${build}"/tools/send/kor-send; do
  [[ -e "$f" ]] && echo "  $f"
done
cat <<TEXT

KorLib is the shared library that encodes and decodes Kor telemetry frames; kor-send is the
emulator without a window, kor-monitor a receiver that shows what arrives. The emulator
window is not part of this tree yet. To watch the emulator's default stream on this machine:

  ${build}/tools/monitor/kor-monitor --port 33322 &
  ${build}/tools/send/kor-send --duration 5

To run the tests: make test
TEXT
