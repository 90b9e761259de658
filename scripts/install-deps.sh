#!/usr/bin/env bash
# Installs the Debian 12 packages this project builds and tests with; only what is missing.
# Safe to run again: when everything is present it changes nothing and needs no network.
set -euo pipefail

packages=(
  # toolchain and build
  g++ cmake ninja-build make pkg-config
  # tests, benchmarks, fuzzing
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # command-line tools
  libcli11-dev nlohmann-json3-dev
  # the KorEmulator window and its file dialog
  libsdl2-dev libglew-dev libimgui-dev libgtk-3-dev
  # the real-window test: virtual display, software OpenGL, input, screenshots, close
  # requests, a session bus of its own and the font cache made before the first dialog
  xvfb xauth libgl1-mesa-dri xdotool imagemagick libx11-dev dbus-daemon fontconfig
  # the packet dissector's test (reads capture files only)
  tshark
  # Python tests, run with /usr/bin/python3: the korlib package (pytest), kor-bridge's
  # OpenTrackIO samples validated against the published schema (jsonschema), and packets
  # built by the published OpenTrackIO reference sender (cbor2, ntplib)
  python3 python3-pytest python3-jsonschema python3-cbor2 python3-ntplib
  # make dist: the Debian package's Depends (dpkg-shlibdeps), the korlib wheel built offline
  # with Debian's setuptools and wheel, and installed into a fresh virtual environment
  dpkg-dev python3-setuptools python3-wheel python3-pip python3-venv
)

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

sudo=()
if ((EUID != 0)); then
  sudo=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
# tshark asks whether ordinary users may capture; nothing here captures, so: no.
echo "wireshark-common wireshark-common/install-setuid boolean false" |
  "${sudo[@]}" debconf-set-selections
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}"
