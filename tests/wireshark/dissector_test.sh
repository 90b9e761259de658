#!/usr/bin/env bash
# Runs the Kor Wireshark dissector over a capture of the UDP vectors (and variants of them)
# and checks the result against the library's Device.
#
#   dissector_test.sh KOR_PCAP_VECTORS TSHARK KOR_LUA WORK_DIR VECTORS_DIR
#
# TSHARK may be empty: the test is then skipped (exit 77). KOR_RUN, when set, is the
# command that runs KOR_PCAP_VECTORS (Wine, for the Windows build).
set -euo pipefail

vectors_program=$1
tshark=$2
script=$3
work=$4
vectors_dir=$5

if [[ -z "$tshark" ]] || ! command -v "$tshark" >/dev/null 2>&1; then
    echo "SKIPPED: tshark not found (install the tshark package to test the dissector)"
    exit 77
fi

rm -rf "$work"
mkdir -p "$work/home"
shopt -s nullglob
vector_files=("$vectors_dir"/*.json)
shopt -u nullglob
if [[ ${#vector_files[@]} -eq 0 ]]; then
    echo "no vector files in $vectors_dir"
    exit 1
fi

${KOR_RUN:+"$KOR_RUN"} "$vectors_program" write "$work/kor.pcap" "${vector_files[@]}" >"$work/frames.txt"
echo "wrote $(grep -c '^frame ' "$work/frames.txt") frames, listed in $work/frames.txt"

# A private home keeps the user's own plugins and preferences out of the run.
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    "$tshark" -n -r "$work/kor.pcap" -X "lua_script:$script" -T json --no-duplicate-keys \
    >"$work/kor.json" 2>"$work/tshark.err" || {
    echo "tshark failed:"
    cat "$work/tshark.err"
    exit 1
}
if grep -qi 'lua' "$work/tshark.err"; then
    echo "tshark reported script problems:"
    cat "$work/tshark.err"
    exit 1
fi

${KOR_RUN:+"$KOR_RUN"} "$vectors_program" check "$work/kor.json" "${vector_files[@]}"
