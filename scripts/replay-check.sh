#!/usr/bin/env bash
# Records the default stream of kor-send with kor-monitor, replays the capture RUNS times
# with kor-send --replay, records each replay the same way, and compares every replay with
# the original (kor_replay_check): datagrams byte for byte, and the inter-arrival error.
#
# Usage: scripts/replay-check.sh [SECONDS [RUNS]]   (default 12 s, 3 runs; loopback only)
set -euo pipefail

seconds=${1:-12}
runs=${2:-3}
build=${BUILD_DIR:-build}
monitor=$build/tools/monitor/kor-monitor
send=$build/tools/send/kor-send
check=$build/bench/kor_replay_check
for program in "$monitor" "$send" "$check"; do
  [[ -x $program ]] || { echo "replay-check: $program is missing; run make build" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs kor-monitor recording to $1 on a free loopback port while "$send" runs with the
# remaining arguments; the monitor stops two seconds after the sender is expected to end.
record() {
  local capture=$1 duration=$2
  shift 2
  : >"$work/monitor.err"
  "$monitor" --json --bind 127.0.0.1 --port 0 --record "$capture" \
    --duration "$(awk -v d="$duration" 'BEGIN { print d + 2 }')" >/dev/null 2>"$work/monitor.err" &
  local pid=$! port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/.*receiving from UDP 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/monitor.err")
    [[ -n $port ]] && break
    sleep 0.05
  done
  [[ -n $port ]] || { cat "$work/monitor.err" >&2; kill "$pid"; exit 2; }
  "$send" "$@" --to "127.0.0.1:$port" >/dev/null
  wait "$pid"
}

record "$work/original.pcap" "$seconds" --duration "$seconds"
replays=()
for run in $(seq "$runs"); do
  record "$work/replay-$run.pcap" "$seconds" --replay "$work/original.pcap"
  replays+=("$work/replay-$run.pcap")
done
check=$(realpath "$check")
cd "$work" && "$check" original.pcap "${replays[@]#"$work"/}"
