#!/usr/bin/env bash
# Real-window test: KorEmulator and its file dialog on a virtual X display with software OpenGL,
# driven as a person would drive them (clicks, keys, close requests); checks what they print.
#
# Usage: scripts/window-test.sh [BUILD_DIR]   (default: build; KorEmulator must be built there)
# Screenshots and logs go to BUILD_DIR/window-test/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
emulator=$build/emulator/app/KorEmulator
dialog_lib=$build/emulator/app/libkor_file_dialog.a
out=$build/window-test

# Where the default layout (900 x 950) puts the "Open file" button of the ZeissZdData row,
# relative to the window's top left corner.
open_file_x=764
open_file_y=552

checks=0
pass() {
  checks=$((checks + 1))
  echo "  ok: $*"
}
fail() {
  echo "  FAIL: $*" >&2
  exit 1
}
show() {  # prints a log file, indented, after a failure
  echo "----- $1" >&2
  sed 's/^/    /' "$1" >&2 || true
}

for tool in Xvfb xdotool import identify pkg-config dbus-daemon fc-list; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done
[[ -x $emulator ]] || fail "$emulator is missing; build it first (make build)"
[[ -f $dialog_lib ]] || fail "$dialog_lib is missing; build KorEmulator first (make build)"

rm -rf "$out"
mkdir -p "$out/bin" "$out/home/.config/gtk-3.0"

# Everything started here is stopped on every way out.
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $2 seconds for process $1 to end; its exit status goes to $status.
wait_for_exit() {
  local pid=$1 deadline=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
  status=0
  wait "$pid" || status=$?
}

# Waits up to $3 seconds for a line matching $2 in file $1.
wait_for_line() {
  local deadline=$((SECONDS + $3))
  until grep -qE -- "$2" "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# find_window, window_shown
source "$root/scripts/xwindow.sh"

# Fails unless the picture $1 shows more than a cleared screen.
check_drawn() {
  local colours
  colours=$(identify -format '%k' "$1")
  ((colours > 8)) || fail "$1 has only $colours colours: nothing was drawn"
  pass "$(basename "$1"): $colours colours"
}

echo "window-test: helpers"
warnings=(-std=c++20 -O1 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  -Werror)
cxx=${CXX:-c++}
read -ra x11_flags < <(pkg-config --cflags --libs x11)
read -ra gtk_libs < <(pkg-config --libs gtk+-3.0)
"$cxx" "${warnings[@]}" "$root/tests/window/close_window.cpp" -o "$out/bin/close_window" \
  "${x11_flags[@]}"
"$cxx" "${warnings[@]}" -I"$root/emulator/app" "$root/tests/window/dialog_probe.cpp" \
  "$dialog_lib" -o "$out/bin/dialog_probe" "${gtk_libs[@]}"
close_window=$out/bin/close_window
dialog_probe=$out/bin/dialog_probe
pass "built close_window and dialog_probe"

echo "window-test: without a display"
mkdir -p "$out/headless"
status=0
(cd "$out/headless" && env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER \
  timeout 10 "$emulator" >stdout.txt 2>stderr.txt) || status=$?
headless_err=$out/headless/stderr.txt
((status == 255)) || { show "$headless_err"; fail "KorEmulator exit status $status, not 255"; }
[[ ! -s $out/headless/stdout.txt ]] \
  || { show "$out/headless/stdout.txt"; fail "KorEmulator wrote to stdout"; }
if [[ $(wc -l <"$headless_err") -ne 1 ]] || ! grep -q 'no display.*kor-send' "$headless_err"; then
  show "$headless_err"
  fail "not the one line naming kor-send"
fi
pass "KorEmulator: status 255 at once, one line: $(cat "$headless_err")"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY timeout 10 "$dialog_probe" </dev/null \
  >"$out/headless/probe.txt" 2>&1 || status=$?
if ((status != 3)) || ! grep -q '^init error .' "$out/headless/probe.txt"; then
  show "$out/headless/probe.txt"
  fail "dialog Init without a display: status $status"
fi
pass "dialog Init reports: $(cat "$out/headless/probe.txt")"

echo "window-test: virtual display"
display=
for n in $(seq 99 130); do
  [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
  xvfb=$!
  pids+=("$xvfb")
  deadline=$((SECONDS + 10))
  while kill -0 "$xvfb" 2>/dev/null && ((SECONDS < deadline)); do
    if DISPLAY=":$n" xdotool getdisplaygeometry >/dev/null 2>&1; then
      display=":$n"
      break 2
    fi
    sleep 0.1
  done
  kill "$xvfb" 2>/dev/null || true
done
[[ -n $display ]] || { show "$out/xvfb.log"; fail "no virtual display could be started"; }
pass "Xvfb on $display, 1280x1024, 24-bit"

# Software OpenGL; a home of its own, so that the file chooser starts in the working folder
# (no recent files) and nothing of the user's is read or written.
export DISPLAY=$display LIBGL_ALWAYS_SOFTWARE=1 HOME=$out/home XDG_CONFIG_HOME=$out/home/.config
export XDG_DATA_HOME=$out/home/.local/share XDG_CACHE_HOME=$out/home/.cache
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
unset WAYLAND_DISPLAY SDL_VIDEODRIVER
printf '[Settings]\ngtk-recent-files-enabled=false\n' >"$HOME/.config/gtk-3.0/settings.ini"

# A session bus of the test's own that starts no service on demand. GTK's file chooser asks
# the session bus for the document portal, synchronously, while it builds the dialog. With
# no bus named in the environment GLib launches one for the display (dbus-launch
# --autolaunch, where dbus-x11 is installed), and the first such launch on a machine held the
# first dialog for minutes; this bus answers "no such service" at once. (The accessibility
# bus is not asked for: NO_AT_BRIDGE=1 above.)
cat >"$out/session-bus.conf" <<'BUS'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
BUS
dbus-daemon --config-file="$out/session-bus.conf" --fork --print-address=3 --print-pid=4 \
  3>"$out/bus-address.txt" 4>"$out/bus-pid.txt" || fail "no session bus could be started"
pids+=("$(cat "$out/bus-pid.txt")")
DBUS_SESSION_BUS_ADDRESS=$(cat "$out/bus-address.txt")
[[ -n $DBUS_SESSION_BUS_ADDRESS ]] || fail "the session bus gave no address"
export DBUS_SESSION_BUS_ADDRESS
pass "a session bus of its own: $DBUS_SESSION_BUS_ADDRESS"

# The font cache, made now rather than while the first dialog draws: the test's cache folder
# is new in every run, so fonts the system's cache does not cover are read here.
started=$SECONDS
timeout 300 fc-list >/dev/null || fail "fc-list did not finish within 300 s"
pass "font cache ready in $((SECONDS - started)) s"

# Runs the probe in folder $1 and drives its dialog with the command $2 (given the dialog's
# window id); checks that the probe printed a line matching $3 and that the dialog was off the
# screen by the time it did. The bounds hold on a loaded two-core machine: each step is
# waited for on its own (the toolkit started, then the dialog shown), up to 60 s each.
probe_dialog() {
  local dir=$1 drive=$2 expected=$3 name started
  name=$(basename "$dir")
  mkfifo "$dir/.go"
  started=$SECONDS
  (cd "$dir" && LC_ALL=C.UTF-8 exec "$dialog_probe" <.go >"$out/$name.out" 2>"$out/$name.err") &
  local probe=$!
  pids+=("$probe")
  exec {go}>"$dir/.go"
  wait_for_line "$out/$name.out" '^locale ' 60 \
    || { show "$out/$name.err"; fail "$name: the toolkit did not start within 60 s"; }
  local dialog
  dialog=$(find_window "Open File" 60)
  [[ -n $dialog ]] || { show "$out/$name.err"; fail "$name: no dialog window within 60 s"; }
  echo "    $name: dialog shown $((SECONDS - started)) s after the start"
  sleep 1  # the folder is listed in the background
  [[ $name != filter ]] || import -window root "$out/file-dialog.png"
  timeout 20 xdotool windowfocus --sync "$dialog" ||
    fail "could not focus the dialog (gone, or no focus within 20 s)"
  $drive "$dialog"
  wait_for_line "$out/$name.out" '^(okay|cancel|error)' 15 \
    || { show "$out/$name.err"; fail "$name: the dialog did not return"; }
  ! window_shown "Open File" || fail "$name: the dialog is still on the screen after it returned"
  exec {go}>&-
  wait_for_exit "$probe" 10 || fail "$name: the probe did not end"
  ((status == 0)) || { show "$out/$name.err"; fail "$name: probe status $status"; }
  grep -qx 'locale C' "$out/$name.out" || { show "$out/$name.out"; fail "$name: locale changed"; }
  grep -qxE -- "$expected" "$out/$name.out" \
    || { show "$out/$name.out"; fail "$name: expected $expected"; }
  grep -qx 'after quit: error the file dialog is closed' "$out/$name.out" \
    || { show "$out/$name.out"; fail "$name: a dialog after Quit did not report an error"; }
  pass "$name: $(sed -n 2p "$out/$name.out"); off the screen on return; locale unchanged"
}

press_return() { xdotool key --clearmodifiers Return; }
press_escape() { xdotool key --clearmodifiers Escape; }
type_path() {
  xdotool key --clearmodifiers ctrl+l
  sleep 0.3
  xdotool type --delay 20 "$typed_path"
  sleep 0.3
  xdotool key --clearmodifiers Return
}
ask_to_close() { "$close_window" "$1" >/dev/null; }

echo "window-test: file dialog"
mkdir -p "$out/filter" "$out/typed" "$out/escape" "$out/closed"
# Sorted by name, a.txt would come first; the filter must hide it and take capitals too.
touch "$out/filter/a.txt" "$out/filter/b.ZLCF" "$out/filter/c.zlcf"
probe_dialog "$out/filter" press_return "okay $out/filter/b.ZLCF"
typed_path="$out/typed/lens ä.zlcf"
touch "$typed_path"
probe_dialog "$out/typed" type_path "okay $typed_path"
probe_dialog "$out/escape" press_escape "cancel"
probe_dialog "$out/closed" ask_to_close "cancel"

echo "window-test: KorEmulator"
run=$out/run
mkdir -p "$run"
# A lens file of 20 s at 24 fps, so that it still plays when the window is closed.
{
  printf 'HEADER_START\nclipName:=WindowTest\ntcFps:=24\nHEADER_END\n'
  printf 'frame;tc;focusDistance;apertureF;apertureFraction\n'
  for frame in $(seq 0 479); do
    printf '%d;10:00:%02d.%02d;%d;2;8\n' "$frame" $((frame / 24)) $((frame % 24)) $((500 + frame))
  done
} >"$run/window-test.zlcf"

(cd "$run" && exec "$emulator" >stdout.txt 2>stderr.txt) &
emu=$!
pids+=("$emu")
window=$(find_window KorEmulator 90)
[[ -n $window ]] || { show "$run/stderr.txt"; fail "no window \"KorEmulator\" within 90 s"; }
geometry=$(xdotool getwindowgeometry "$window" | tr '\n' ' ')
pass "window \"KorEmulator\" is shown: $geometry"
sleep 2
import -window "$window" "$out/korEmulator.png"
check_drawn "$out/korEmulator.png"
# Console lines are written as they come, not when the program ends: the GL lines are in the
# file while the window is open.
for pattern in '^Creating socket\.\.\.$' '^GL Renderer  : .+' '^GL Version   : .+' \
  '^GLSL Version : .+'; do
  grep -qE -- "$pattern" "$run/stdout.txt" ||
    { show "$run/stdout.txt"; fail "no line $pattern while the window is open"; }
done
pass "stdout while the window is open: \"Creating socket...\" and the three GL lines"

click_open_file() {
  xdotool mousemove --window "$window" "$open_file_x" "$open_file_y"
  sleep 0.3
  xdotool click 1
  local dialog
  dialog=$(find_window "Open File" 60)
  [[ -n $dialog ]] || fail "no dialog after a click at ($open_file_x, $open_file_y):" \
    "has the layout moved the \"Open file\" button?"
  sleep 1
  timeout 20 xdotool windowfocus --sync "$dialog" ||
    fail "could not focus the dialog (gone, or no focus within 20 s)"
}

click_open_file
press_escape
sleep 1
! window_shown "Open File" || fail "the cancelled dialog is still on the screen"
pass "\"Open file\" opened the dialog; Escape closed it"

click_open_file
press_return  # the only lens file in the folder is selected
sleep 1
! window_shown "Open File" || fail "the dialog is still on the screen after a file was chosen"
sleep 1
import -window "$window" "$out/korEmulator-playing.png"
check_drawn "$out/korEmulator-playing.png"
pass "chose window-test.zlcf in the dialog"

xdotool windowsize "$window" 700 950
sleep 1
import -window "$window" "$out/korEmulator-narrow.png"
check_drawn "$out/korEmulator-narrow.png"
pass "resized to 700 x 950 while playing"

"$close_window" "$window" >/dev/null || fail "close_window could not ask the window to close"
wait_for_exit "$emu" 15 \
  || { show "$run/stderr.txt"; fail "KorEmulator did not end within 15 s of the close request"; }
((status == 0)) \
  || { show "$run/stdout.txt"; show "$run/stderr.txt"; fail "KorEmulator exit status $status"; }
pass "a close request ended KorEmulator during playback, status 0"

for pattern in '^GL Renderer  : .+' '^GL Version   : .+' '^GLSL Version : .+' \
  '^Creating socket\.\.\.$' '^User pressed cancel\.$' '^StartZeiss\(\) threads started$' \
  '^Closing UDP socket!$'; do
  grep -qE -- "$pattern" "$run/stdout.txt" || { show "$run/stdout.txt"; fail "no line $pattern"; }
done
[[ $(tail -n 1 "$run/stdout.txt") == 'Closing UDP socket!' ]] \
  || { show "$run/stdout.txt"; fail "\"Closing UDP socket!\" is not the last line"; }
pass "stdout: the three GL lines, \"Creating socket...\", \"User pressed cancel.\"," \
  "\"StartZeiss() threads started\", \"Closing UDP socket!\" last"
grep -E '^GL' "$run/stdout.txt" | sed 's/^/        /'

echo "window-test: $checks checks passed; screenshots in $out"
