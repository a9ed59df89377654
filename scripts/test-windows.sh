#!/usr/bin/env bash
# Runs the Windows unit tests (build-win/tests, each executable as a whole)
# and then the end-to-end suite against build-win/Tonvik.exe under Wine, in a
# private prefix whose wineserver this script starts and stops; then the
# installer's test, in a fresh prefix of its own. Expects build-win (make
# windows-installer) and the Linux test build in $BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD:-build}

./scripts/install-deps.sh windows

prefix=$(mktemp -d /tmp/tonvik-wine-XXXXXX)
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: there is no network to fetch them.
export WINEDLLOVERRIDES="mscoree=;mshtml="
server_pid=""
xvfb_pid=""

cleanup() {
  if [ -n "$server_pid" ]; then
    wineserver -k 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  else
    wineserver -k 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$prefix"
}
trap cleanup EXIT

# Wine's X11 driver gets a display of its own: a private Xvfb, stopped by its
# pid. It is also the desktop the screen-colour tests paint and Tonvik.exe
# copies. Xvfb picks a free display number and writes it to fd 3 once ready.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$prefix/display" >"$prefix/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$prefix/display" ] && break
  sleep 0.1
done
[ -s "$prefix/display" ] || { echo "Xvfb did not start; see $prefix/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$prefix/display")"

echo "Initialising the Wine prefix $prefix"
wineboot --init >/dev/null 2>&1
# A crash must not wait on a dialog; windows and the desktop go to the X
# display (taken up by the desktop that the next server start creates).
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null
# Audio through the PulseAudio driver only: the tests start their own sound
# server where they need one, and without one ALSA's probing would print noise.
wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null
wineserver -w
# A persistent server of our own: its pid is how the tests find the daemon's
# sockets, and start-up stays fast across the many daemons of the suite.
wineserver -f -p &
server_pid=$!
# The first program on a fresh server boots the prefix's background services,
# which keep its output streams open for good: a run whose output nobody reads.
wine cmd /c exit >/dev/null 2>&1 </dev/null

echo "Windows unit tests under Wine"
ctest --test-dir build-win --output-on-failure

TONVIK_DAEMON_CMD="wine $root/build-win/Tonvik.exe" \
TONVIK_DAEMON_STOP_CMD="wine taskkill /im Tonvik.exe" \
TONVIK_E2E_SOCKET_PIDS=$server_pid \
TONVIK_WINDOW_PROBE_CMD="wine $root/build-win/tonvik_window_probe.exe" \
TONVIK_SESSION_PROBE_CMD="wine $root/build-win/tonvik_session_probe.exe" \
TONVIK_EMULATED_SENSORS_DIR=$root/build-win \
TONVIK_PLUG_CMD="wine $root/build-win/TonvikPlug.exe" \
TONVIK_LAUNCHER_PROBE_CMD="wine $root/build-win/tonvik_launcher_probe.exe" \
  ctest --test-dir "$build" -L e2e --output-on-failure

echo "The installer under Wine, in a fresh prefix"
version=$(sed -n 's/^#define TONVIK_VERSION "\(.*\)"$/\1/p' build-win/src/generated/base/version.h)
python3 tests/install/windows_installer_test.py "build-win/Tonvik-$version-setup.exe" build-win \
  tests/host/test_layout.json
