# Entry points: `make run` and `make test`.  Both install what is missing
# (Debian packages), then configure, build and run.
JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_TSAN ?= build-tsan
BUILD_WIN ?= build-windows

.PHONY: all deps build run test test-host test-tsan windows test-windows test-board-build bench fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@$(BUILD)/bin/controlpanel

test: deps
	$(MAKE) test-host
	$(MAKE) test-tsan
	$(MAKE) test-board-build
	$(MAKE) test-windows

test-host: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE tsan

# The tests of concurrent code again, under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L concurrency

windows: deps
	cmake -S . -B $(BUILD_WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
	cmake --build $(BUILD_WIN) -j $(JOBS)
	@./scripts/windows-sizes.sh $(BUILD_WIN)/bin

# The board-image files, the binaries' tables, then the binaries
# themselves under Wine, last against the host build (the same scripts on
# both sides).
test-windows: windows build
	./scripts/check-ce-files.sh
	./scripts/check-windows-exports.sh $(BUILD_WIN)/bin
	HOST_BUILD=$(BUILD) ./scripts/test-wine.sh $(BUILD_WIN)

# The product compiled as the board's 32-bit build would be, by the 32-bit
# mingw-w64 compiler and through the board's branch by clang in Microsoft
# mode (compile only).
test-board-build: deps
	./scripts/check-board-build.sh

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSANITIZE=
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bin/bench_*; do echo "== $$b"; $$b; done

# Fuzzing with clang and libFuzzer, each harness for FUZZ_SECONDS, one at a
# time (FUZZ_HARNESSES: some of them); scripts/fuzz.sh --help says where
# new inputs and crashes land.  make test replays the kept corpus only.
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES ?=
BUILD_FUZZ ?= build-fuzz
fuzz:
	@./scripts/install-deps.sh fuzz
	JOBS=$(JOBS) ./scripts/fuzz.sh --seconds $(FUZZ_SECONDS) --build $(BUILD_FUZZ) $(FUZZ_HARNESSES)

clean:
	rm -rf $(BUILD) $(BUILD_TSAN) $(BUILD_WIN) build-bench $(BUILD_FUZZ)
