# Entry points; CMake + Ninja do the building.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Warnings as errors: CI turns it on; off by default, so a newer compiler does not break a user's build.
TONVIK_WERROR ?= OFF
# DEPS=0 skips installing missing Debian packages.
DEPS ?= 1

.PHONY: deps configure build run test asan tsan bench bench-power fuzz package clean windows windows-installer test-windows bench-windows

deps:
ifneq ($(DEPS),0)
	./scripts/install-deps.sh
endif

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DTONVIK_WERROR=$(TONVIK_WERROR)

build: configure
	cmake --build $(BUILD)

# Builds the daemon alone, not the tests.
run: configure
	cmake --build $(BUILD) --target tonvik
	$(abspath $(BUILD))/tonvik

# In parallel (the sanitizer runs too); the resource file keeps the daemons of the end-to-end tests
# within the API's nine ports.
test: build
	ctest --test-dir $(BUILD) -j$(shell nproc) --resource-spec-file $(abspath $(BUILD))/tests/api-ports.json --output-on-failure

asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTONVIK_SANITIZE=address -DTONVIK_WERROR=$(TONVIK_WERROR)
	cmake --build build-asan
	ctest --test-dir build-asan -j$(shell nproc) --resource-spec-file $(abspath build-asan)/tests/api-ports.json --output-on-failure

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTONVIK_SANITIZE=thread -DTONVIK_WERROR=$(TONVIK_WERROR)
	cmake --build build-tsan
	TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" ctest --test-dir build-tsan -j$(shell nproc) \
	  --resource-spec-file $(abspath build-tsan)/tests/api-ports.json --output-on-failure

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVIK_BUILD_TESTS=OFF -DTONVIK_BUILD_BENCH=ON -DTONVIK_WERROR=$(TONVIK_WERROR)
	cmake --build build-bench
	./build-bench/bench/tonvik_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

# What the running daemon costs per state (CPU, memory, wake-ups per thread) and its wake and
# sound-to-key latencies: this tree's Release build beside POWER_BASE's (the last commit before
# the daemon rested), measured in one run. It starts daemons on the API ports 9191-9199, so run
# it where no other daemon listens.
POWER_BASE ?= 4498690
POWER_BASE_DIR ?= /tmp/tonvik-power-base
bench-power: deps
	cmake -S . -B build-power -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVIK_WERROR=$(TONVIK_WERROR)
	cmake --build build-power --target tonvik tonvik_host fake_hidapi
	rm -rf $(POWER_BASE_DIR) && mkdir -p $(POWER_BASE_DIR)/src
	git archive $(POWER_BASE) | tar -x -C $(POWER_BASE_DIR)/src
	cmake -S $(POWER_BASE_DIR)/src -B $(POWER_BASE_DIR)/build -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(POWER_BASE_DIR)/build --target tonvik tonvik_host fake_hidapi
	./scripts/bench_power.py --build old=$(POWER_BASE_DIR)/build --build new=build-power --keyboard build-power/fake-hid

# libFuzzer harnesses (clang, ASan+UBSan), each run for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: deps
	./scripts/install-deps.sh fuzz
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DTONVIK_SANITIZE=fuzzer -DTONVIK_BUILD_TESTS=OFF
	cmake --build build-fuzz --target tonvik_fuzzers
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/run-fuzzers.sh build-fuzz

# build-package/tonvik_<version>_<arch>.deb, built for the /usr prefix its files name.
package: deps
	cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DTONVIK_BUILD_TESTS=OFF -DTONVIK_WERROR=$(TONVIK_WERROR)
	cmake --build build-package --target package

# Tonvik.exe and the unit tests cross-built with MinGW-w64; the unit tests and the end-to-end
# suite against Tonvik.exe run under Wine.
windows:
	TONVIK_WERROR=$(TONVIK_WERROR) ./scripts/build-windows.sh

# build-win/Tonvik-<version>-setup.exe, the NSIS installer (see "Installing on Windows").
windows-installer: windows
	cmake --build build-win --target windows_installer

test-windows: windows-installer build
	BUILD=$(BUILD) ./scripts/test-windows.sh

# The window painting benchmarks, cross-built with Google Benchmark and run under Wine.
bench-windows:
	./scripts/build-windows.sh bench
	./scripts/bench-windows.sh

clean:
	rm -rf build build-asan build-tsan build-bench build-power build-fuzz build-package build-win
