#!/usr/bin/env bash
# Runs a Windows program under Wine with the Windows build's own Wine prefix (made on first
# use, inside the build folder) and Wine's own messages off. The build's emulator for ctest.
#
#   scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]
#
# KOR_WINEPREFIX overrides the prefix (default: build-win64/wine next to this script's tree).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${KOR_WINEPREFIX:-$root/build-win64/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# No desktop integration, no Mono or Gecko installers: a bare prefix for console programs.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
exec wine "$@"
