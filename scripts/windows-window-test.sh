#!/usr/bin/env bash
# KorEmulator.exe in a real window under Wine on a virtual X display (Mesa's software
# OpenGL): the window "KorEmulator" with an OpenGL 3 context, both panels drawn, the Windows
# file dialog opened and cancelled, and a close request ending the program with status 0.
# It is started as Explorer starts it, in a console of its own (tests/window/console_probe.cpp
# copies what that console shows): its console lines must reach that console as they are
# written.
#
#   scripts/windows-window-test.sh [WIN_BUILD_DIR]   (default: build-win64)
# Screenshots and logs go to WIN_BUILD_DIR/window-test/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win64}")
emulator=$build/bin/KorEmulator.exe
out=$build/window-test
export WINEPREFIX=$build/wine WINEDEBUG=-all

# Where the default layout (900 x 950) puts the "Open file" button of the ZeissZdData row,
# relative to the window's top left corner (as in scripts/window-test.sh).
open_file_x=764
open_file_y=552

checks=0
pass() { checks=$((checks + 1)); echo "  ok: $*"; }
fail() { echo "  FAIL: $*" >&2; exit 1; }
show() { echo "----- $1" >&2; sed 's/^/    /' "$1" >&2 || true; }

for tool in Xvfb xdotool import identify convert wine wineserver winepath; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/windows-deps.sh installs it)"
done
[[ -f $emulator ]] || fail "$emulator is missing; build it first (make windows)"
rm -rf "$out"
mkdir -p "$out"

# A console program, so that it has a console wherever it is started from.
subsystem=$(x86_64-w64-mingw32-objdump -p "$emulator" | sed -n 's/^Subsystem\s*//p')
[[ $subsystem == *"Windows CUI"* ]] || fail "KorEmulator.exe is not a console program: $subsystem"
pass "KorEmulator.exe: subsystem $subsystem"
probe=$out/console_probe.exe
x86_64-w64-mingw32-g++-posix -std=c++20 -O1 -Wall -Wextra -Werror -municode -static \
  "$root/tests/window/console_probe.cpp" -o "$probe" || fail "cannot build console_probe.exe"

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# find_window, window_shown
source "$root/scripts/xwindow.sh"
check_drawn() {  # picture $1 (or its region $2) shows more than a cleared screen
  local colours
  colours=$(convert "$1" ${2:+-crop "$2"} +repage -format '%k' info:)
  ((colours > 8)) || fail "$1${2:+ ($2)} has only $colours colours: nothing was drawn"
  pass "$(basename "$1")${2:+ $2}: $colours colours"
}

# A display of our own; the Wine server of earlier steps knew none, so it starts afresh.
wineserver -k 2>/dev/null || true
display=
for n in $(seq 140 160); do
  [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
  display=:$n
  break
done
[[ -n $display ]] || fail "no free X display number"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.txt" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
wineserver -p

echo "windows-window-test: KorEmulator.exe on $display, in a console of its own"
console=$out/console.txt
# The probe exits with KorEmulator's status; its own messages go to stderr.txt.
(cd "$out" && exec "$root/scripts/wine-run.sh" "$probe" "$(winepath -w "$console")" \
  "$(winepath -w "$emulator")" </dev/null >"$out/stdout.txt" 2>"$out/stderr.txt") &
emu=$!
pids+=("$emu")
window=$(find_window KorEmulator 90)
[[ -n $window ]] || { show "$out/stderr.txt"; fail "no window \"KorEmulator\" within 90 s"; }
pass "window \"KorEmulator\" is shown: $(xdotool getwindowgeometry "$window" | tr '\n' ' ')"
# Waits up to $2 seconds for a line matching $1 on the console.
console_shows() {
  local deadline=$((SECONDS + $2))
  until grep -qE -- "$1" "$console" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}
for pattern in '^Creating socket\.\.\.$' '^GL Renderer  : .+' '^GLSL Version : .+'; do
  console_shows "$pattern" 30 || { show "$console"; show "$out/stderr.txt"; fail "no line $pattern on the console"; }
done
console_shows '^GL Version   : [3-9]' 5 || { show "$console"; fail "no OpenGL 3 context"; }
pass "console: \"Creating socket...\", $(grep '^GL Version' "$console")"
import -window "$window" "$out/korEmulator.png"
check_drawn "$out/korEmulator.png"
# The two panels: the values on the left, the message settings on the right.
check_drawn "$out/korEmulator.png" 420x800+10+60
check_drawn "$out/korEmulator.png" 420x800+460+60

# The Windows file dialog (the common item dialog), then Escape: the program goes on.
xdotool mousemove --window "$window" "$open_file_x" "$open_file_y"
sleep 0.3
xdotool click 1
dialog=$(find_window "Open File" 60)
if [[ -n $dialog ]]; then
  sleep 2
  import -window root "$out/file-dialog.png"
  pass "file dialog \"Open File\" is shown"
  timeout 20 xdotool windowfocus --sync "$dialog" key Escape || true
  for _ in $(seq 100); do
    window_shown "Open File" || break
    sleep 0.1
  done
  ! window_shown "Open File" || fail "the file dialog stayed after Escape"
  console_shows '^User pressed cancel\.$' 30 || { show "$console"; fail "no cancel line on the console"; }
  pass "file dialog cancelled; the console says \"User pressed cancel.\""
else
  import -window root "$out/no-file-dialog.png"
  fail "no file dialog \"Open File\" after a click at ($open_file_x, $open_file_y)"
fi

# A close request (WM_CLOSE, as the window's close button sends) ends it with status 0.
"$root/scripts/wine-run.sh" taskkill /im KorEmulator.exe >"$out/taskkill.txt" 2>&1 || true
status=
for _ in $(seq 300); do
  if ! kill -0 "$emu" 2>/dev/null; then
    status=0
    wait "$emu" || status=$?
    break
  fi
  sleep 0.1
done
[[ -n $status ]] || fail "KorEmulator.exe did not end within 30 s of the close request"
((status == 0)) || { show "$out/stderr.txt"; fail "KorEmulator.exe exit status $status"; }
console_shows '^Closing UDP socket!$' 5 || { show "$console"; fail "no clean end on the console"; }
pass "closed: exit status 0; the console's last line: $(tail -n 1 "$console")"
echo "windows window test: $checks passed, 0 failed"
