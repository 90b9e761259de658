#!/usr/bin/env bash
# The release artefacts of a build in one folder: the Debian package (CPack, with Depends
# from dpkg-shlibdeps), the korlib Python wheel, and the 64-bit Windows archive when the
# MinGW-w64 toolchain is present (scripts/windows.sh build).
#
#   scripts/dist.sh [--linux] BUILD_DIR OUT_DIR      (make dist: build dist)
#
# --linux leaves the Windows archive out: CI's Windows stage (make windows-test) writes it.
set -euo pipefail

linux_only=0
if [[ ${1:-} == --linux ]]; then
  linux_only=1
  shift
fi
if (($# != 2)); then
  echo "usage: $0 [--linux] BUILD_DIR OUT_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "$1")
out=$(realpath -m "$2")
started=$SECONDS
[[ -f $build/CPackConfig.cmake ]] ||
  { echo "dist: $build has no CPackConfig.cmake; configure and build it first (make build)" >&2; exit 2; }
mkdir -p "$build/dist" "$out"

# The wheel, then the Debian package (cpack installs the build into a staging folder).
cmake --build "$build" --target korlib_wheel >"$build/dist/wheel.log" 2>&1 ||
  { cat "$build/dist/wheel.log" >&2; exit 1; }
(cd "$build" && cpack --config CPackConfig.cmake) >"$build/dist/cpack.log" 2>&1 ||
  { cat "$build/dist/cpack.log" >&2; exit 1; }
artefacts=("$build"/dist/*.deb "$build"/dist/korlib-*.whl)
if [[ $out != "$build/dist" ]]; then
  cp "${artefacts[@]}" "$out/"
fi

if ((!linux_only)); then
  if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    "$root/scripts/windows.sh" build
    if [[ $out != "$root/dist" ]]; then
      cp "$root"/dist/kor-*-win64.zip "$out/"
    fi
  else
    echo "dist: no Windows archive: the MinGW-w64 toolchain is missing (scripts/windows-deps.sh installs it)"
  fi
fi

for file in "${artefacts[@]}"; do
  echo "dist: $out/$(basename "$file") ($(du -h "$file" | cut -f1))"
done
if ((!linux_only)); then
  for file in "$out"/kor-*-win64.zip; do
    if [[ -f $file ]]; then
      echo "dist: $file ($(du -h "$file" | cut -f1))"
    fi
  done
fi
echo "dist: done in $((SECONDS - started)) s"
