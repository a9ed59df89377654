#!/usr/bin/env bash
# Runs the Windows benchmarks (build-win/bench, from make bench-windows) under
# Wine, in a private prefix whose wineserver this script starts and stops.
# They paint off-screen only, so Wine's null graphics driver is enough.
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=$(mktemp -d /tmp/tonvik-wine-bench-XXXXXX)
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

wineboot --init >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
wine build-win/bench/tonvik_bench.exe --benchmark_repetitions=5 --benchmark_report_aggregates_only=true </dev/null
