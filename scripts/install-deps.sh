#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those missing. On Debian,
# Ubuntu and their derivatives this is automatic; elsewhere it lists them so
# you can install your system's equivalents (then build with DEPS=0).
#   install-deps.sh           the Linux build and its tests
#   install-deps.sh windows   the Windows cross build and Wine to test it
#   install-deps.sh fuzz      clang and its libFuzzer and sanitizer runtimes
set -euo pipefail

linux=(
  cmake ninja-build g++ pkg-config make
  libjsoncpp-dev
  libhidapi-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libpulse-dev pulseaudio pulseaudio-utils sox libsox-fmt-pulse
  libxcb1-dev libxcb-shm0-dev libxcb-render0-dev xvfb x11-xserver-utils
  # screen colours on Wayland (the ScreenCast portal over sd-bus, a PipeWire
  # stream), and for its tests the real portal front-end, a session bus,
  # PipeWire and WirePlumber, and what the test's portal backend runs on
  libsystemd-dev libpipewire-0.3-dev
  xdg-desktop-portal dbus-daemon dbus-bin pipewire pipewire-bin wireplumber python3-dbus python3-gi
  # the audio end-to-end tests' second sound server: PipeWire's PulseAudio protocol
  pipewire-pulse
  # the install test's checkers, and what the .deb is built with
  systemd udev desktop-file-utils man-db dpkg-dev file lintian
  # the web console's browser tests
  chromium
  # make bench-power's measuring script
  python3
)
fuzz=(
  clang libclang-rt-14-dev
)
windows=(
  cmake ninja-build make
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 dpkg-dev wine wine64
  # the installer (makensis)
  nsis
  googletest
  xvfb x11-xserver-utils x11-utils
)

case "${1:-linux}" in
  linux) packages=("${linux[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  fuzz) packages=("${fuzz[@]}") ;;
  *) echo "usage: $0 [linux|windows|fuzz]" >&2; exit 2 ;;
esac

debian_like=no
if [ -r /etc/os-release ]; then
  # shellcheck disable=SC1091
  . /etc/os-release
  case " ${ID:-} ${ID_LIKE:-} " in
    *" debian "* | *" ubuntu "*) debian_like=yes ;;
  esac
fi
if [ "$debian_like" = no ] || ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "Not a Debian or Ubuntu system: nothing installed. The build needs the equivalents of these"
  echo "Debian packages (names differ between distributions); install them, then run make with DEPS=0:"
  echo "  ${packages[*]}"
  exit 0
fi

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
