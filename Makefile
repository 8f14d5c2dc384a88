# Front door: `make run` shows the gateway on the simulated board, `make test` builds and passes
# every test. Both install what a fresh Debian machine lacks (tools/ensure-deps).

BUILD      ?= build
JOBS       ?= $(shell nproc)
TEST_JOBS  ?= 8
CMAKE_ARGS ?=

.PHONY: all build deps test unit sanitize asan tsan arm run bench soak fuzz clean

all: build

deps:
	@tools/ensure-deps base

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS) -L unit

# The same suites under AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer,
# less the minutes-long tests labelled slow (the plain suite runs those).
sanitize: asan tsan

asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLIRN_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(TEST_JOBS) -LE slow

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLIRN_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --output-on-failure -j $(TEST_JOBS) -LE slow

# Static firmware for 32-bit ARM Linux; its unit tests run under qemu-arm.
arm:
	@tools/ensure-deps arm
	cmake -S . -B build-arm -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DLIRN_STATIC=ON -DLIRN_TOOLS=OFF
	cmake --build build-arm -j $(JOBS)
	cd build-arm && ctest --output-on-failure -j $(TEST_JOBS) -L unit

run: build
	@tools/run-demo $(BUILD)

bench:
	@tools/ensure-deps base bench
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLIRN_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target benchmarks
	@tools/run-bench build-bench

# Two gateways (mode 1 and mode 2) carrying random bursts for SOAK_SECONDS (default 600) while
# faults are injected; byte accounting, memory, descriptors and CPU checked. SOAK_SEED repeats a run.
soak:
	@tools/ensure-deps base bench
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLIRN_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target soak
	build-bench/soak

# Every parser's fuzz target under libFuzzer, each for a bounded time (clang, build-fuzz):
# FUZZ_SECONDS per target (default 30), FUZZ_TARGETS to pick some.
fuzz:
	@tools/run-fuzz

clean:
	rm -rf $(BUILD) build-asan build-tsan build-arm build-bench build-fuzz
