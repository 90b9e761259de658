#!/usr/bin/env bash
# Windows programs under Wine with files whose names are not ASCII: kor-send.exe plays a lens
# file from C:\Съёмка 撮影\дубль 1.zlcf while kor-monitor.exe records what it receives into
# that folder, and a missing file is reported by its name, byte for byte in UTF-8.
#
#   scripts/windows-unicode-check.sh [WIN_BUILD_DIR]   (default: build-win64)
# The names reach the programs as a Windows command line (UTF-16), which Wine makes from
# this script's UTF-8 arguments.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win64}")
export WINEPREFIX=$build/wine WINEDEBUG=-all LC_ALL=C.UTF-8
run() { "$root/scripts/wine-run.sh" "$@"; }
checks=0
pass() { checks=$((checks + 1)); echo "  ok: $*"; }
fail() { echo "  FAIL: $*" >&2; exit 1; }
show() { echo "----- $1" >&2; sed 's/^/    /' "$1" >&2 || true; }
text() { tr -d '\r' <"$1"; }  # a file the programs wrote, with "\n" line ends

folder_windows='C:\Съёмка 撮影'
folder=$WINEPREFIX/drive_c/Съёмка\ 撮影
out=$build/unicode-check
rm -rf "$folder" "$out"
mkdir -p "$folder" "$out"
monitor_pid=
trap '[[ -z $monitor_pid ]] || kill "$monitor_pid" 2>/dev/null || true' EXIT

# Three frames at 30 fps.
printf 'HEADER_START\ntcFps:=30\nclipDurationFrames:=2\nHEADER_END\nframe;tc;focusDistance\n' \
  >"$folder/дубль 1.zlcf"
printf '%s\n' '0;10:00:00.00;200' '1;10:00:00.01;201' '2;10:00:00.02;202' >>"$folder/дубль 1.zlcf"

echo "windows-unicode-check: in $folder_windows"
# The receiver records into the folder and ends after the three Timecode frames of the file
# (and a frame of the 1 Hz identity stream).
run "$build/bin/kor-monitor.exe" --json --bind 127.0.0.1 --port 0 --count 4 \
  --record "$folder_windows\\запись 1.pcap" </dev/null >"$out/monitor.out" 2>"$out/monitor.err" &
monitor_pid=$!
port=
for _ in $(seq 600); do
  port=$(text "$out/monitor.err" | sed -n 's/.*receiving from UDP 127\.0\.0\.1:\([0-9]*\)$/\1/p')
  [[ -n $port ]] && break
  kill -0 "$monitor_pid" 2>/dev/null || break
  sleep 0.1
done
[[ -n $port ]] || { show "$out/monitor.err"; fail "kor-monitor.exe did not start receiving"; }

status=0
timeout 120 "$root/scripts/wine-run.sh" "$build/bin/kor-send.exe" \
  --lens-file "$folder_windows\\дубль 1.zlcf" --to "127.0.0.1:$port" </dev/null \
  >"$out/send.out" 2>"$out/send.err" || status=$?
((status == 0)) || { show "$out/send.out"; show "$out/send.err"; fail "kor-send.exe status $status"; }
text "$out/send.out" | grep -qx 'Lens file frames sent: 3' || { show "$out/send.out"; fail "not 3 frames"; }
pass "kor-send.exe played $folder_windows\\дубль 1.zlcf: 3 frames, status 0"

status=
for _ in $(seq 600); do
  if ! kill -0 "$monitor_pid" 2>/dev/null; then
    status=0
    wait "$monitor_pid" || status=$?
    break
  fi
  sleep 0.1
done
monitor_pid=
[[ $status == 0 ]] || { show "$out/monitor.err"; fail "kor-monitor.exe status ${status:-(still running)}"; }
text "$out/monitor.err" | grep -qxF "kor-monitor: recorded 4 datagrams to $folder_windows\\запись 1.pcap" ||
  { show "$out/monitor.err"; fail "no line naming the capture"; }
capture=$folder/запись\ 1.pcap
[[ -f $capture ]] || fail "no capture in the folder"
# The capture's first bytes: the magic number of a nanosecond pcap file, little-endian.
[[ $(head -c 4 "$capture" | od -An -tx1 | tr -d ' ') == 4d3cb2a1 ]] ||
  fail "the capture does not start as a pcap file"
pass "kor-monitor.exe recorded 4 datagrams into $folder_windows\\запись 1.pcap ($(stat -c %s "$capture") bytes)"

status=0
run "$build/bin/kor-send.exe" --lens-file "$folder_windows\\нет.zlcf" </dev/null \
  >"$out/missing.out" 2>"$out/missing.err" || status=$?
expected="kor-send: --lens-file: no file $folder_windows\\нет.zlcf"
((status == 2)) && [[ $(text "$out/missing.err") == "$expected" && ! -s $out/missing.out ]] ||
  { show "$out/missing.err"; fail "a missing file: status $status, not the one line $expected"; }
pass "a missing file is named in UTF-8: $(text "$out/missing.err")"
rm -rf "$folder"
echo "windows unicode check: $checks passed, 0 failed"
