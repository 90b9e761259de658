#!/usr/bin/env bash
# The 64-bit Windows build, cross-built on Debian with MinGW-w64, and its tests under Wine.
#
#   scripts/windows.sh build   # `make windows`: dependencies (cached), build-win64/, the zip
#   scripts/windows.sh test    # `make windows-test`: the above, then the tests under Wine
#
# The archive is dist/kor-VERSION-win64.zip. KOR_WIN64_CACHE chooses the dependency cache
# (default ~/.cache/kor-win64); CMAKE_ARGS adds options to the configure step.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-win64
mode=${1:-build}
jobs=$(nproc)
stamp() { date +%s; }
started=$(stamp)
log() { echo "windows: $*"; }

# --- dependencies, configure, build -------------------------------------------------
if [[ "$mode" == test ]]; then
  deps=$("$root/scripts/windows-deps.sh" | tail -n1)
else
  deps=$("$root/scripts/windows-deps.sh" --no-wine | tail -n1)
fi
log "dependencies in $deps ($(($(stamp) - started)) s)"

# Libraries found in another dependency folder must be looked up again.
if [[ "$(cat "$build/deps-folder.txt" 2>/dev/null)" != "$deps" ]]; then
  rm -f "$build/CMakeCache.txt"
  mkdir -p "$build"
  echo "$deps" >"$build/deps-folder.txt"
fi
# shellcheck disable=SC2086  # CMAKE_ARGS holds several words on purpose
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DKOR_WIN64_DEPS="$deps" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-run.sh" \
  ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$jobs"
log "built ($(($(stamp) - started)) s)"

# --- the archive ----------------------------------------------------------------------
version=$(sed -n 's/^project(Kor VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=kor-$version-win64
stage=$build/dist/$name
rm -rf "$stage" "$build/dist/$name.zip"
cmake --install "$build" --prefix "$stage" --strip >/dev/null
# The programs are in bin/ beside the DLL; the pkg-config file serves Unix-like systems.
rm -rf "$stage/lib/pkgconfig"
mkdir -p "$stage/wireshark"
cp "$root/tools/wireshark/kor.lua" "$root/tools/wireshark/README.md" "$stage/wireshark/"
cp "$root/scripts/windows-archive.txt" "$stage/README.txt"
sed -i "s/@VERSION@/$version/g" "$stage/README.txt"
# Nothing but Windows' own DLLs (and KorLib.dll) may be needed.
for binary in "$stage"/bin/*.exe "$stage"/bin/*.dll; do
  imports=$(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p' |
            grep -viE '^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|imm32|winmm|ws2_32|version|setupapi|opengl32|msvcrt|cfgmgr32|uuid|comdlg32|shlwapi|iphlpapi|psapi|KorLib)\.dll$' || true)
  if [[ -n "$imports" ]]; then
    echo "windows: $(basename "$binary") needs DLLs that Windows lacks: $imports" >&2
    exit 1
  fi
done
mkdir -p "$root/dist"
(cd "$build/dist" && rm -f "$name.zip" && zip -qr "$name.zip" "$name")
cp "$build/dist/$name.zip" "$root/dist/"
log "wrote dist/$name.zip ($(du -h "$root/dist/$name.zip" | cut -f1), $(($(stamp) - started)) s)"
[[ "$mode" == test ]] || exit 0

# --- tests under Wine -----------------------------------------------------------------
export WINEPREFIX=$build/wine WINEDEBUG=-all
xvfb_pid=
cleanup() {
  wineserver -k 2>/dev/null || true
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
# One Wine server for the whole run (each program would otherwise start and stop its own),
# and Wine's services started before ctest, so that they do not hold its output pipes.
mkdir -p "$WINEPREFIX"
wineserver -p
"$root/scripts/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1 || true
log "Wine ready ($(($(stamp) - started)) s)"

# The time-zone test needs a zone with daylight-saving time: Central European time.
TZ=CET-1CEST,M3.5.0,M10.5.0/3 KOR_TEST_ZONE=CET \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300
log "ctest done ($(($(stamp) - started)) s)"
# ctest shows the output of failed tests only: the reasons of the skipped ones, from its log.
log "skipped under Wine, and why:"
{ grep -h -A1 -E ': Skipped$' "$build/Testing/Temporary/LastTest.log" |
    grep -vE ': Skipped$|^--$'
  grep -h -E '^skipped: ' "$build/Testing/Temporary/LastTest.log"; } |
  sort | uniq -c | sed 's/^/    /' || true

# A consumer outside the tree, built with the same toolchain against the unpacked archive
# only, run under Wine.
check=$build/archive-check
rm -rf "$check"
mkdir -p "$check"
(cd "$check" && unzip -q "$root/dist/$name.zip")
cmake -S "$root/tests/consumer" -B "$check/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$check/$name" -DCMAKE_FIND_ROOT_PATH="$check/$name" >/dev/null
cmake --build "$check/build" >/dev/null
cp "$check/$name/bin/KorLib.dll" "$check/build/"
"$root/scripts/wine-run.sh" "$check/build/consumer.exe"
# The C interface from C, once through each import library: MinGW's and KorLib.lib.
if [[ -f "$check/$name/include/kor/kor_c.h" ]]; then
  for implib in libKorLib.dll.a KorLib.lib; do
    x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Wpedantic -Werror \
      -I"$check/$name/include" "$root/tests/capi/kor_c_test.c" "$check/$name/lib/$implib" \
      -o "$check/build/kor_c_test.exe"
    "$root/scripts/wine-run.sh" "$check/build/kor_c_test.exe" >"$check/kor_c_test.txt" ||
      { cat "$check/kor_c_test.txt"; exit 1; }
  done
fi
log "archive consumers passed ($(($(stamp) - started)) s)"

# kor-send.exe under Wine against a Linux receiver (the Linux kor-monitor when it is built,
# else a small receiver here): frames, rates and exit status.
/usr/bin/python3 "$root/scripts/windows-send-check.py" "$build" "$root/build"
log "kor-send.exe end to end passed ($(($(stamp) - started)) s)"

# Files named in Cyrillic and Japanese: kor-send.exe plays a lens file from such a folder,
# kor-monitor.exe records into it.
"$root/scripts/windows-unicode-check.sh" "$build"
log "names in Cyrillic and Japanese passed ($(($(stamp) - started)) s)"

# The window: KorEmulator.exe on a virtual display, in a console of its own.
"$root/scripts/windows-window-test.sh" "$build"
log "window test passed; Windows stage took $(($(stamp) - started)) s"
