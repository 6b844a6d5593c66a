# Entry points: `make run` and `make test`.  Both install what is missing
# (Debian packages), then configure, build and run.
#
# Each kind of build has a folder of its own, configured on first use:
#   build-run      make run: the product and the tools it needs, no sanitizers
#   build          make test: the product and the tests, ASan + UBSan
#   build-tsan     make test: the concurrency tests only, ThreadSanitizer
#   build-windows  make test: the desktop Windows product (mingw-w64)
#   build-bench    make bench: the benchmarks, Release
#
# `make test` runs its phases side by side (TEST_PHASES, below), each one a
# chain of configure, build and run: while one phase's tests wait (most of
# them sleep), the others' builds use the cores.  A phase is a target
# `test-NAME` that depends on `deps` and fails on any failure; add it to
# TEST_PHASES (and say in the README what it checks).  Each step of a
# phase says when it starts and ends, and how long it took; its output goes
# to a log file (in the build folder's log/), shown whole if it fails.
JOBS ?= $(shell nproc)
# The host tests mostly wait for other processes and threads: more at once
# than there are cores.
TEST_JOBS ?= 8
BUILD ?= build
BUILD_RUN ?= build-run
BUILD_TSAN ?= build-tsan
BUILD_WIN ?= build-windows
BUILD_BENCH ?= build-bench
TEST_PHASES ?= test-host test-tsan test-board-build test-windows
# A build folder is configured once, when it has no Makefile yet (cmake
# writes that last); the output is kept in its configure.log.
CONFIGURE = mkdir -p $(1) && { cmake -S . -B $(1) $(2) >$(1)/configure.log 2>&1 || { cat $(1)/configure.log; exit 1; }; }
# A cmake --build started by make must not take make's own job flags.
CMAKE_BUILD = env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL cmake --build
TIMED = ./scripts/timed.sh
# The host build, made by one phase at a time: the Wine phase compares
# against it too.
LOCKED_BUILD = sh -c 'mkdir -p $(BUILD) && exec flock $(BUILD)/.lock $(MAKE) --no-print-directory build'

.PHONY: all deps build build-run build-tsan run test test-host test-tsan windows test-windows test-board-build bench fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

# --- make run: only what the Control Panel on the simulated board needs ---

$(BUILD_RUN)/Makefile: | deps
	$(call CONFIGURE,$(BUILD_RUN),-DCMAKE_BUILD_TYPE=Debug -DSANITIZE= -DHOST_TESTS=OFF -DBENCH=OFF)

build-run: deps $(BUILD_RUN)/Makefile
	$(CMAKE_BUILD) $(BUILD_RUN) -j $(JOBS)

run: build-run
	@$(BUILD_RUN)/bin/controlpanel

# --- make test ---------------------------------------------------------

test: deps
	@$(MAKE) --no-print-directory -k -j $(words $(TEST_PHASES)) $(TEST_PHASES)

$(BUILD)/Makefile: | deps
	$(call CONFIGURE,$(BUILD),-DCMAKE_BUILD_TYPE=Debug -DBENCH=OFF)

# The product and every host test, under AddressSanitizer and UBSan.
build: deps $(BUILD)/Makefile
	$(CMAKE_BUILD) $(BUILD) -j $(JOBS)

test-host: deps
	@$(TIMED) "host build (ASan, UBSan)" $(BUILD)/log/build.log $(LOCKED_BUILD)
	@$(TIMED) "host tests" $(BUILD)/log/tests.log sh -c 'cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS) -LE tsan'

# The tests of concurrent code again, under ThreadSanitizer: only the
# programs labelled concurrency and what they need are built.
$(BUILD_TSAN)/Makefile: | deps
	$(call CONFIGURE,$(BUILD_TSAN),-DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread -DBENCH=OFF)

build-tsan: deps $(BUILD_TSAN)/Makefile
	$(CMAKE_BUILD) $(BUILD_TSAN) -j $(JOBS) --target tests_concurrency

test-tsan: deps
	@$(TIMED) "TSan build" $(BUILD_TSAN)/log/build.log $(MAKE) --no-print-directory build-tsan
	@$(TIMED) "TSan tests" $(BUILD_TSAN)/log/tests.log sh -c 'cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L concurrency'

$(BUILD_WIN)/Makefile: | deps
	$(call CONFIGURE,$(BUILD_WIN),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel)

windows: deps $(BUILD_WIN)/Makefile
	$(CMAKE_BUILD) $(BUILD_WIN) -j $(JOBS)
	@./scripts/windows-sizes.sh $(BUILD_WIN)/bin

# The board-image files, the binaries' tables, then the binaries
# themselves under Wine, last against the host build (the same scripts on
# both sides: the Wine step waits for the host phase's build, or makes it).
test-windows: deps
	@$(TIMED) "Windows build" $(BUILD_WIN)/log/build.log $(MAKE) --no-print-directory windows
	@$(TIMED) "Windows checks" $(BUILD_WIN)/log/checks.log sh -c './scripts/check-ce-files.sh && ./scripts/check-windows-exports.sh $(BUILD_WIN)/bin'
	@$(TIMED) "host build for Wine's comparison" $(BUILD_WIN)/log/host-build.log $(LOCKED_BUILD)
	@$(TIMED) "Wine" $(BUILD_WIN)/log/wine.log env HOST_BUILD=$(BUILD) ./scripts/test-wine.sh $(BUILD_WIN)

# The product compiled as the board's 32-bit build would be, by the 32-bit
# mingw-w64 compiler and through the board's branch by clang in Microsoft
# mode (compile only).
test-board-build: deps
	@$(TIMED) "board build checks" build-board/log/checks.log ./scripts/check-board-build.sh

# --- make bench ----------------------------------------------------------

bench: deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DSANITIZE= -DHOST_TESTS=OFF -DBENCH=ON
	$(CMAKE_BUILD) $(BUILD_BENCH) -j $(JOBS)
	@for b in $(BUILD_BENCH)/bin/bench_*; do echo "== $$b"; $$b; done

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
	rm -rf $(BUILD) $(BUILD_RUN) $(BUILD_TSAN) $(BUILD_WIN) $(BUILD_BENCH) $(BUILD_FUZZ) build-board
