#!/usr/bin/env bash
# Cross-builds build-win/Tonvik.exe and the Windows unit tests with MinGW-w64.
# JsonCpp and hidapi are built for Windows from Debian's source packages into
# .cache/win-deps (built once, reused after). With "bench", Google Benchmark
# is built the same way and the Windows benchmarks with it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
deps=$root/.cache/win-deps
toolchain=$root/cmake/mingw-w64.cmake

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
./scripts/install-deps.sh windows

# Fetches Debian's source packages through a temporary deb-src entry that
# mirrors the configured binary sources; the entry is removed however we leave.
fetch_sources() {
  local list=/etc/apt/sources.list.d/tonvik-win-deb-src.sources
  # shellcheck disable=SC2064
  trap "$sudo rm -f '$list'" EXIT
  local sources=(/etc/apt/sources.list.d/*.sources)
  [ -e "${sources[0]}" ] || sources=()
  {
    for file in "${sources[@]}"; do
      [ "$file" = "$list" ] && continue
      sed -n 's/^Types:.*\<deb\>.*/Types: deb-src/p; /^\(URIs\|Suites\|Components\|Signed-By\):/p; /^$/p' "$file"
      echo
    done
    if [ -f /etc/apt/sources.list ]; then
      # One-line entries become stanzas of their own.
      grep -E '^deb ' /etc/apt/sources.list | while read -r _ uri suite components; do
        printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "$uri" "$suite" "$components"
      done
    fi
  } | $sudo tee "$list" >/dev/null
  $sudo apt-get update -q -o DPkg::Lock::Timeout=600
  (cd "$deps/src" && apt-get source -q "$@")
  $sudo rm -f "$list"
  $sudo apt-get update -q -o DPkg::Lock::Timeout=600
}

cross_build() {  # name source-dir cmake-options...
  local name=$1 source=$2
  shift 2
  cmake -S "$source" -B "$deps/build/$name" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps/install" "$@"
  cmake --build "$deps/build/$name" -j2
  cmake --install "$deps/build/$name"
}

if [ ! -f "$deps/install/lib/libjsoncpp.a" ] || [ ! -f "$deps/install/lib/libhidapi.a" ]; then
  rm -rf "$deps"
  mkdir -p "$deps/src"
  fetch_sources libjsoncpp hidapi
  jsoncpp_src=$(find "$deps/src" -maxdepth 1 -type d -name 'libjsoncpp-*' | head -1)
  hidapi_src=$(find "$deps/src" -maxdepth 1 -type d -name 'hidapi-*' | head -1)
  cross_build jsoncpp "$jsoncpp_src" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF \
    -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_EXAMPLE=OFF
  cross_build hidapi "$hidapi_src" -DBUILD_SHARED_LIBS=OFF
fi

bench=OFF
if [ "${1:-}" = bench ]; then
  bench=ON
  if [ ! -f "$deps/install/lib/libbenchmark.a" ]; then
    rm -rf "$deps"/src/benchmark-*
    fetch_sources benchmark
    benchmark_src=$(find "$deps/src" -maxdepth 1 -type d -name 'benchmark-*' | head -1)
    # Debian's tree has no git history: GIT_VERSION 0.0.0 means the project's own version.
    cross_build benchmark "$benchmark_src" -DBUILD_SHARED_LIBS=OFF -DBENCHMARK_ENABLE_TESTING=OFF \
      -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF -DGIT_VERSION=0.0.0
  fi
fi

cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTONVIK_WIN_DEPS="$deps/install" \
  -DCMAKE_BUILD_TYPE=Release -DTONVIK_BUILD_TESTS=ON -DTONVIK_BUILD_BENCH=$bench -DTONVIK_WERROR="${TONVIK_WERROR:-OFF}"
cmake --build build-win -j2
