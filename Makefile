# Entry points. `make run` and `make test` do all the set-up on a fresh Debian 12 machine:
# they install the missing packages, configure, build, and then run or test.
BUILD_DIR  ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_ARGS ?=
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test run bench bench-korlib pacing replay-check sanitize tsan window-test fuzz format clean \
        windows windows-test dist

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The emulator window. Without a display it says so in one line and names kor-send.
run: build
	$(BUILD_DIR)/emulator/app/KorEmulator

bench: build
	$(BUILD_DIR)/bench/kor_protocol_bench

# States decoded per second by korlib.decode_capture and by the C interface alone, on a
# capture of 100,000 frames.
bench-korlib: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target KorLib kor_c_decode_bench
	PYTHONPATH=python KORLIB_LIBRARY=$(BUILD_DIR)/lib/libKorLib.so.1 /usr/bin/python3 \
	  bench/korlib_bench.py --c-bench $(BUILD_DIR)/bench/kor_c_decode_bench

# The rate slots' pacing as a loopback receiver sees it (10 s per sender).
pacing: build
	$(BUILD_DIR)/bench/kor_pacing 10

# The time base of five emulators at the five project rates at once (50 s): labels, tick
# counts and PTP spacing as a receiver checks them.
.PHONY: timebase
timebase: build
	$(BUILD_DIR)/bench/kor_timebase 50

# kor-bridge's added latency on loopback: bridge in to bridge out, p50 and p99.
.PHONY: bridge-latency
bridge-latency: build
	$(BUILD_DIR)/bench/kor_bridge_latency

# kor-monitor receiving 32 cameras at 100 Hz on loopback (5 s): loss and the share of a core.
.PHONY: monitor-sources
monitor-sources: build
	$(BUILD_DIR)/bench/kor_monitor_sources 5 32 100

# A recorded stream replayed three times: byte-for-byte equality and inter-arrival error.
replay-check: build
	./scripts/replay-check.sh 12 3

# The test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOR_BUILD_BENCH=OFF \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer" \
	  $(CMAKE_ARGS)
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The engine, model, lens file playback, kor-send and kor-bridge delay line tests (real
# threads) under ThreadSanitizer; the engine tests run twice over to repeat their start/stop
# cycles.
tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOR_BUILD_BENCH=OFF -DKOR_BUILD_TOOLS=ON \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=thread -O1 -g" $(CMAKE_ARGS)
	cmake --build build-tsan -j $(JOBS) --target kor_engine_tests kor_lensfile_tests kor_send_tests kor_bridge_tests kor-send kor-monitor
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/engine/kor_engine_tests --gtest_repeat=2
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/lensfile/kor_lensfile_tests
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/send/kor_send_tests
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/bridge/kor_bridge_tests --gtest_filter='DelayLine*'

# KorEmulator in a real window on a virtual display (Xvfb, software OpenGL), driven with
# xdotool; screenshots and logs in $(BUILD_DIR)/window-test/.
window-test: build
	./scripts/window-test.sh $(BUILD_DIR)

# Every libFuzzer target for FUZZ_SECONDS, on top of its seed corpus.
fuzz: deps
	./scripts/run-fuzz.sh $(FUZZ_SECONDS)

# The release artefacts in dist/: the Debian package kor_VERSION_amd64.deb, the Python wheel
# korlib-VERSION-py3-none-PLATFORM.whl and, when the MinGW-w64 toolchain is present, the
# Windows archive (DIST_WINDOWS=no leaves it out).
DIST_WINDOWS ?= yes
dist: build
	./scripts/dist.sh $(if $(filter no,$(DIST_WINDOWS)),--linux) $(BUILD_DIR) dist

# 64-bit Windows, cross-built with MinGW-w64 into build-win64/ (dependencies cached in
# ~/.cache/kor-win64): the archive dist/kor-VERSION-win64.zip, and its tests under Wine.
windows:
	CMAKE_ARGS="$(CMAKE_ARGS)" ./scripts/windows.sh build

windows-test:
	CMAKE_ARGS="$(CMAKE_ARGS)" ./scripts/windows.sh test

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz build-win64 dist
