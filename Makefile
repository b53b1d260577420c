# Thin wrapper over CMake. `make run` and `make test` do all set-up on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: build configure deps run test asan tsan bench fuzz clean format

# The server and everything the tests need.
build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# `run` and `test` share one build folder and one configuration: the server's objects are built once.
configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

deps:
	@if [ "$$(id -u)" = "0" ]; then tools/install-deps; else sudo tools/install-deps; fi

# Only the server: a first start does not wait for the test suites to build.
run: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target lanternfall-server
	tools/prepare-run-folder run $(BUILD_DIR)/lanternfall-server
	cd run && ./lanternfall-server

test: build
	tools/run-tests $(BUILD_DIR)

asan:
	$(MAKE) test BUILD_DIR=build-asan CMAKE_FLAGS="-DLNF_SANITIZE=ON"

tsan:
	$(MAKE) test BUILD_DIR=build-tsan CMAKE_FLAGS="-DLNF_TSAN=ON"

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLNF_BENCH=ON -DLNF_TESTS=ON
	cmake --build build-bench -j $(JOBS)
	tools/run-bench build-bench
	tools/bench-http build-bench
	build-bench/bench/RelayBench --clients 100,500

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLNF_FUZZ=ON -DLNF_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	tools/run-fuzz build-fuzz $${FUZZ_SECONDS:-20}

format:
	find code tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
