# Entry points; CMake + Ninja do the building.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build run test asan tsan bench clean windows test-windows bench-windows

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD)

run: build
	./$(BUILD)/tonvik

test: build
	ctest --test-dir $(BUILD) --output-on-failure

asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTONVIK_SANITIZE=address
	cmake --build build-asan
	ctest --test-dir build-asan --output-on-failure

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTONVIK_SANITIZE=thread
	cmake --build build-tsan
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVIK_BUILD_TESTS=OFF -DTONVIK_BUILD_BENCH=ON
	cmake --build build-bench
	./build-bench/bench/tonvik_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

# Tonvik.exe and the unit tests cross-built with MinGW-w64; the unit tests and the end-to-end
# suite against Tonvik.exe run under Wine.
windows:
	./scripts/build-windows.sh

test-windows: windows build
	BUILD=$(BUILD) ./scripts/test-windows.sh

# The window painting benchmarks, cross-built with Google Benchmark and run under Wine.
bench-windows:
	./scripts/build-windows.sh bench
	./scripts/bench-windows.sh

clean:
	rm -rf build build-asan build-tsan build-bench build-win
