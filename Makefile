# Entry points. `make run` and `make test` do all the set-up on a fresh Debian 12 machine:
# they install the missing packages, configure, build, and then run or test.
BUILD_DIR  ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_ARGS ?=
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test run bench sanitize fuzz format clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The emulator window is not part of the tree yet: say what was built and how to use it.
run: build
	@./scripts/describe-build.sh $(BUILD_DIR)

bench: build
	$(BUILD_DIR)/bench/kor_protocol_bench

# The test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOR_BUILD_BENCH=OFF \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
	  $(CMAKE_ARGS)
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# Every libFuzzer target for FUZZ_SECONDS, on top of its seed corpus.
fuzz: deps
	./scripts/run-fuzz.sh $(FUZZ_SECONDS)

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) build-asan build-fuzz
