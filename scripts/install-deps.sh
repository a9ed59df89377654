#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing.
#   install-deps.sh           the Linux build and its tests
#   install-deps.sh windows   the Windows cross build and Wine to test it
set -euo pipefail

linux=(
  cmake ninja-build g++ pkg-config make
  libjsoncpp-dev
  libhidapi-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libpulse-dev pulseaudio pulseaudio-utils sox libsox-fmt-pulse
  libxcb1-dev libxcb-shm0-dev libxcb-render0-dev xvfb x11-xserver-utils
)
windows=(
  cmake ninja-build make
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 dpkg-dev wine wine64
  xvfb x11-xserver-utils x11-utils
)

case "${1:-linux}" in
  linux) packages=("${linux[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  *) echo "usage: $0 [linux|windows]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q -o DPkg::Lock::Timeout=600
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 "${missing[@]}"
