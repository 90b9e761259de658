#!/usr/bin/env bash
# The 64-bit Windows cross build's toolchain and libraries, from Debian's packages only.
#
# Installs what is missing of the MinGW-w64 toolchain and Wine, then builds SDL2, GLEW,
# Dear ImGui and Google Benchmark (static, from Debian's source packages) and GoogleTest
# (from /usr/src/googletest) with that toolchain, into a cache folder keyed on the source
# versions, so that a second build reuses them. Prints the prefix that holds them as the
# last line of standard output; everything else goes to standard error.
#
#   scripts/windows-deps.sh [--no-wine]
#
# KOR_WIN64_CACHE chooses the cache folder (default: ~/.cache/kor-win64).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${KOR_WIN64_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/kor-win64}
jobs=$(nproc)
# Bump when the recipes below change, so that an old cache is not taken for a new one.
recipe=1

log() { echo "windows-deps: $*" >&2; }

# --- toolchain and test tools --------------------------------------------------------
packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools dpkg-dev cmake ninja-build zip unzip
          googletest libcli11-dev nlohmann-json3-dev)
if [[ "${1:-}" != "--no-wine" ]]; then
  packages+=(wine wine64 xvfb xauth x11-utils xdotool imagemagick)
fi
missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
if ((${#missing[@]} > 0)); then
  sudo=()
  ((EUID == 0)) || sudo=(sudo)
  log "installing ${missing[*]}"
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -qq >&2
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 install \
    -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# --- Debian's source packages, through a source list of our own ----------------------
# The system's apt configuration is left alone: the list, its downloaded indexes and apt's
# caches for them live in the cache folder.
aptdir=$cache/apt
mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
cat >"$aptdir/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security bookworm-security main
EOF
apt_opts=(-o "Dir::Etc::sourcelist=$aptdir/sources.list" -o Dir::Etc::sourceparts=-
          -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache"
          -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
          -o APT::Sandbox::User=root -o Acquire::Retries=3)
# The indexes are refreshed once a day; within that a build needs no network for them.
if [[ -z "$(find "$aptdir/lists" -maxdepth 1 -name '*Sources*' -mtime -1 2>/dev/null)" ]]; then
  log "updating the source package indexes"
  apt-get "${apt_opts[@]}" update -qq >&2
fi

# The version apt-get source would fetch.
source_version() {
  apt-get "${apt_opts[@]}" source --print-uris "$1" 2>/dev/null |
    grep -o "'[^']*\.dsc'" | head -n1 | sed -E "s/.*\/$1_(.*)\.dsc'/\1/; s/%2[bB]/+/g; s/%3[aA]/:/g"
}
declare -A versions
for src in libsdl2 glew imgui benchmark; do
  versions[$src]=$(source_version "$src")
  [[ -n "${versions[$src]}" ]] || { log "no source package $src"; exit 1; }
done
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
compiler=$(x86_64-w64-mingw32-g++-posix -dumpfullversion)
key=$(printf '%s\n' "recipe $recipe" "gcc $compiler" "googletest $gtest_version" \
        "sdl2 ${versions[libsdl2]}" "glew ${versions[glew]}" "imgui ${versions[imgui]}" \
        "benchmark ${versions[benchmark]}" | sha256sum | cut -c1-16)
prefix=$cache/$key
if [[ -f "$prefix/.complete" ]]; then
  log "reusing $prefix"
  echo "$prefix"
  exit 0
fi

log "building into $prefix (SDL2 ${versions[libsdl2]}, GLEW ${versions[glew]}," \
    "Dear ImGui ${versions[imgui]}, Google Benchmark ${versions[benchmark]}," \
    "GoogleTest $gtest_version)"
# Each library is marked done in the prefix, so that an interrupted run resumes where it
# stopped.
work=$cache/work-$key
mkdir -p "$prefix/include" "$prefix/lib" "$work"
done_step() { [[ -f "$prefix/.done-$1" ]]; }
mark_done() { touch "$prefix/.done-$1"; }
toolchain=$root/cmake/mingw-w64-x86_64.cmake
cross_cmake=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix"
             -DBUILD_SHARED_LIBS=OFF)

fetch() {  # unpacks source package $1 into $work/$1 (patches applied)
  rm -rf "${work:?}/$1" "$work/$1"-*/
  (cd "$work" && apt-get "${apt_opts[@]}" source -qq "$1=${versions[$1]}" >&2)
  local dir
  dir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | head -n1)
  mv "$dir" "$work/$1"
}

# SDL2: video and events for one OpenGL window; the subsystems the emulator does not use
# are left out.
if ! done_step sdl2; then
fetch libsdl2
cmake -S "$work/libsdl2" -B "$work/libsdl2/build" "${cross_cmake[@]}" -DSDL_SHARED=OFF \
  -DSDL_STATIC=ON -DSDL_TEST=OFF -DSDL_AUDIO=OFF -DSDL_HAPTIC=OFF -DSDL_SENSOR=OFF \
  -DSDL_POWER=OFF -DSDL_HIDAPI=OFF -DSDL_RENDER_D3D=OFF -DSDL_VULKAN=OFF \
  -DSDL_DIRECTX=OFF -DSDL_WASAPI=OFF >&2
cmake --build "$work/libsdl2/build" -j "$jobs" >&2
cmake --install "$work/libsdl2/build" >&2
mark_done sdl2
fi

# GLEW: its one generated source file, static, without GLU.
if ! done_step glew; then
fetch glew
x86_64-w64-mingw32-gcc-posix -O2 -DGLEW_STATIC -DGLEW_NO_GLU -I"$work/glew/include" \
  -c "$work/glew/src/glew.c" -o "$work/glew/glew.o"
x86_64-w64-mingw32-ar rcs "$prefix/lib/libglew32s.a" "$work/glew/glew.o"
cp -r "$work/glew/include/GL" "$prefix/include/"
mark_done glew
fi

# Dear ImGui: the core, the std::string helpers and the SDL2 and OpenGL 3 back ends, laid
# out as Debian's libimgui-dev lays them out (include/imgui, include/imgui/backends).
if ! done_step imgui; then
fetch imgui
mkdir -p "$prefix/include/imgui/backends" "$work/imgui/obj"
src=$work/imgui
for file in imgui.cpp imgui_draw.cpp imgui_tables.cpp imgui_widgets.cpp imgui_demo.cpp \
            misc/cpp/imgui_stdlib.cpp backends/imgui_impl_sdl.cpp backends/imgui_impl_opengl3.cpp; do
  x86_64-w64-mingw32-g++-posix -O2 -std=c++17 -I"$src" -I"$prefix/include/SDL2" \
    -c "$src/$file" -o "$work/imgui/obj/$(basename "$file" .cpp).o" &
done
wait
x86_64-w64-mingw32-ar rcs "$prefix/lib/libimgui.a" "$work"/imgui/obj/*.o
cp "$src"/imgui.h "$src"/imconfig.h "$src"/imgui_internal.h "$src"/imstb_*.h \
   "$src"/misc/cpp/imgui_stdlib.h "$prefix/include/imgui/"
cp "$src"/backends/imgui_impl_sdl.h "$src"/backends/imgui_impl_opengl3.h \
   "$src"/backends/imgui_impl_opengl3_loader.h "$prefix/include/imgui/backends/"
mark_done imgui
fi

# Google Benchmark.
if ! done_step benchmark; then
fetch benchmark
# Its version comes from git, which a source package lacks: Debian's rules pass it too.
cmake -S "$work/benchmark" -B "$work/benchmark/build" "${cross_cmake[@]}" \
  -DGIT_VERSION="${versions[benchmark]%%-*}" -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_GTEST_TESTS=OFF \
  -DBENCHMARK_ENABLE_WERROR=OFF -DBENCHMARK_INSTALL_DOCS=OFF >&2
cmake --build "$work/benchmark/build" -j "$jobs" >&2
cmake --install "$work/benchmark/build" >&2
mark_done benchmark
fi

# GoogleTest from Debian's own source tree.
if ! done_step googletest; then
cmake -S /usr/src/googletest -B "$work/googletest" "${cross_cmake[@]}" -DINSTALL_GTEST=ON \
  -DBUILD_GMOCK=ON >&2
cmake --build "$work/googletest" -j "$jobs" >&2
cmake --install "$work/googletest" >&2
mark_done googletest
fi

# CLI11 and nlohmann-json are header-only; their Debian CMake packages would put
# -isystem /usr/include on the cross compiler's command line, so their headers are copied
# and given package files of their own that name only the copies.
header_package() {  # NAME TARGET VERSION HEADER-DIR
  local dir=$prefix/lib/cmake/$1
  mkdir -p "$dir"
  cp -r "/usr/include/$4" "$prefix/include/"
  cat >"$dir/$1Config.cmake" <<EOF
# $1 $3, header-only: Debian's headers copied for the cross build.
if(NOT TARGET $2)
  add_library($2 INTERFACE IMPORTED)
  set_target_properties($2 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "\${CMAKE_CURRENT_LIST_DIR}/../../../include")
endif()
EOF
  cat >"$dir/$1ConfigVersion.cmake" <<EOF
set(PACKAGE_VERSION "$3")
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_FIND_VERSION STREQUAL PACKAGE_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
EOF
}
upstream() { dpkg-query -W -f='${Version}' "$1" | sed -E 's/^[0-9]+://; s/[-+~].*//'; }
header_package CLI11 CLI11::CLI11 "$(upstream libcli11-dev)" CLI
header_package nlohmann_json nlohmann_json::nlohmann_json "$(upstream nlohmann-json3-dev)" nlohmann

printf '%s\n' "SDL2 ${versions[libsdl2]}" "GLEW ${versions[glew]}" "Dear ImGui ${versions[imgui]}" \
  "Google Benchmark ${versions[benchmark]}" "GoogleTest $gtest_version" "gcc $compiler" \
  >"$prefix/VERSIONS"
rm -rf "$work"
touch "$prefix/.complete"
log "done"
echo "$prefix"
