# Entry points: `make run` and `make test`.  Both install what is missing
# (Debian packages), then configure, build and run.
#
# Each kind of build has a folder of its own:
#   build-release  make run, make install, make deb and make test's install
#                  and package checks: the product and the tools, Release
#   build          make test: the product and the tests, ASan + UBSan
#   build-tsan     make test: the concurrency tests only, ThreadSanitizer
#   build-windows  make test: the desktop Windows product (mingw-w64)
#   build-bench    make bench: the benchmarks, Release
#
# `make test` runs its phases side by side (TEST_PHASES, below), each one a
# chain of steps (configure and build, then run).  One job server serves
# them all: at most TEST_SLOTS compilers, checks and test runs at once in
# all (below), and a phase's tests run while another phase builds.  A phase is a
# target `test-NAME` that depends on `deps` and fails on any failure; add it
# to TEST_PHASES (and say in the README what it checks).  Each step says
# when it starts and ends, and how long it took; its output goes to a log
# file (in the build folder's log/), shown whole if it fails.
JOBS ?= $(shell nproc)
# A step that runs tests holds a slot while its tests mostly wait, so there
# are more slots than cores; the builds off the host chain (which the host
# tests and Wine wait for) run at low priority (LOW) and take only the time
# the host build and the tests leave.
TEST_SLOTS ?= $(shell echo $$(($(JOBS) + 2)))
LOW = nice -n 10
# The host tests mostly wait for other processes and threads: more at once
# than there are cores.
TEST_JOBS ?= 8
BUILD ?= build
BUILD_RELEASE ?= build-release
BUILD_TSAN ?= build-tsan
BUILD_WIN ?= build-windows
BUILD_BENCH ?= build-bench
TEST_PHASES ?= test-host test-tsan test-board-build test-windows test-install
# make install: where, and the staging root (a package build's).
PREFIX ?= /usr/local
DESTDIR ?=

# The compiler cache keys on paths relative to the checkout (CMakeLists.txt
# maps the debug info's folders likewise), so a fresh clone finds what
# another clone compiled.
export CCACHE_BASEDIR ?= $(CURDIR)

# configure DIR,ARGS: cmake configures DIR when it has no Makefile yet, or
# when it was last configured with other ARGS (kept in DIR/configure.args;
# every option a build depends on is given, so a value left in the cache
# from before cannot remain).  A changed CMakeLists.txt or .cmake file is
# cmake's own check, at the start of each build.  The output is kept in
# DIR/configure.log.
CONFIGURE = mkdir -p $(1) && \
	if [ ! -f $(1)/Makefile ] || [ "$$(cat $(1)/configure.args 2>/dev/null)" != "$(strip $(2))" ]; then \
	  rm -f $(1)/configure.args && \
	  { cmake -S . -B $(1) $(2) >$(1)/configure.log 2>&1 || { cat $(1)/configure.log; exit 1; }; } && \
	  echo "$(strip $(2))" >$(1)/configure.args; \
	fi
# build DIR[,TARGETS]: configured (above), then built.  Under a make with
# -j the build takes its compilers from make's own job slots (the recipe
# line starts with +); alone, it runs JOBS at once.
CMAKE_BUILD = cmake --build $(1) $(if $(findstring jobserver,$(MAKEFLAGS)),,-j $(JOBS)) $(if $(2),--target $(2))
TIMED = ./scripts/timed.sh
# A check whose inputs are all as they were at its last pass is not run
# again (scripts/unless-unchanged.sh; TEST_FRESH=1 runs every one).
UNCHANGED = ./scripts/unless-unchanged.sh
export TEST_FRESH
# What the board build checks read.
BOARD_CHECK_INPUTS = --input ce --input platform --input gpio --input applets --input usbsetup \
	--input scripts/check-board-build.sh --input scripts/checks.sh \
	--input /usr/share/mingw-w64/include/windows.h \
	--version-of i686-w64-mingw32-g++-posix --version-of clang++
# What the Wine step reads: the Windows build, the host's product (the
# comparison's other side), the scripts and the comparison's scripts.
WINE_INPUTS = --input $(BUILD_WIN)/bin \
	$(foreach f,dlgdrive kestrin_probe platform_probe,--input $(BUILD_WIN)/tests/$(f).exe) \
	$(foreach f,board pinctl controlpanel kestrin.so Pinvane.cpl Dovrel.cpl Hemlark.cpl device \
	  libcecommon.so libceboard.so libceplat.so,--input $(BUILD)/bin/$(f)) \
	--input scripts/test-wine.sh --input scripts/test-wine-board.sh --input scripts/test-wine-velmorra.sh --input scripts/compare-host-wine.sh \
	--input scripts/wine-prefix.sh \
	--input tests/compare --version-of wine64
# Tests run without make's job flags: a build that a test starts
# (tests/layering) runs one compiler, outside the job slots.
TESTS_ALONE = env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL
# The step $(1), its output in $(2), made by this Makefile's target $(3)
# (run by $(4): LOW or nothing).
STEP = $(TIMED) "$(1)" $(2) $(4) $(MAKE) --no-print-directory $(3)

# How each folder is configured.
# The Release build is configured for /usr, so that its library folder has
# Debian's multiarch part (lib/x86_64-linux-gnu/boardutils) under any PREFIX,
# and at -O2, as Debian builds, which compiles a fifth faster than -O3.
RELEASE_ARGS = -DCMAKE_BUILD_TYPE=Release -DSANITIZE= -DHOST_TESTS=OFF -DBENCH=OFF -DFUZZ=OFF \
	-DCMAKE_INSTALL_PREFIX=/usr '-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG' '-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG'
HOST_ARGS = -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined -DHOST_TESTS=ON -DBENCH=OFF -DFUZZ=OFF
TSAN_ARGS = -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread -DHOST_TESTS=ON -DBENCH=OFF -DFUZZ=OFF
WIN_ARGS = -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
BENCH_ARGS = -DCMAKE_BUILD_TYPE=Release -DSANITIZE= -DHOST_TESTS=OFF -DBENCH=ON -DFUZZ=OFF
# What the Wine step runs of the host build (scripts/compare-host-wine.sh).
HOST_PRODUCT = kestrin Pinvane Dovrel Hemlark Velmorra board pinctl controlpanel
# What the bundle holds of the Windows build (scripts/make-dist.sh).
DIST_TARGETS = kestrin Pinvane Dovrel Hemlark Velmorra

.PHONY: all deps build build-product build-release build-tsan run run-wine install deb dist test \
	test-host test-tsan windows test-windows test-board-build test-install bench fuzz clean \
	step-host-product step-host-build step-host-tests step-tsan-build step-tsan-tests \
	step-windows-build step-windows-checks step-wine step-board-checks \
	step-release-build step-install-check step-deb-check step-dist-check

all: build

deps:
	@./scripts/install-deps.sh

# --- the Release build: make run, make install, make deb -----------------

# Only the product and the tools (and the package's changelog).
build-release: deps
	+@$(call CONFIGURE,$(BUILD_RELEASE),$(RELEASE_ARGS)) && $(call CMAKE_BUILD,$(BUILD_RELEASE))

run: build-release
	@$(BUILD_RELEASE)/bin/controlpanel

# The tools in PREFIX/bin, the rest in PREFIX/lib/<multiarch>/boardutils,
# stripped (docs/installing.md).
install: build-release
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_RELEASE) --prefix $(PREFIX) --strip

# The Debian package, in BUILD_RELEASE/package, and what lintian says of it.
deb: build-release
	@./scripts/make-deb.sh $(BUILD_RELEASE)

# The integrators' bundle of the desktop Windows build, in BUILD_WIN/dist.
dist: deps
	+@$(call CONFIGURE,$(BUILD_WIN),$(WIN_ARGS)) && $(call CMAKE_BUILD,$(BUILD_WIN),$(DIST_TARGETS))
	@./scripts/make-dist.sh $(BUILD_WIN) $(BUILD_WIN)/dist

# Wine's Control Panel with the desktop applets on the same board, the
# board's live view beside it (docs/wine-board.md).
run-wine: build-release windows
	@./scripts/run-wine.sh $(BUILD_WIN) $(BUILD_RELEASE)

# --- the builds make test runs ------------------------------------------

# The product and every host test, under AddressSanitizer and UBSan.
build: deps
	+@$(call CONFIGURE,$(BUILD),$(HOST_ARGS)) && $(call CMAKE_BUILD,$(BUILD))

# The same build, only the product and the tools.
build-product: deps
	+@$(call CONFIGURE,$(BUILD),$(HOST_ARGS)) && $(call CMAKE_BUILD,$(BUILD),$(HOST_PRODUCT))

# The tests of concurrent code again, under ThreadSanitizer: only the
# programs labelled concurrency and what they need are built.
build-tsan: deps
	+@$(call CONFIGURE,$(BUILD_TSAN),$(TSAN_ARGS)) && $(call CMAKE_BUILD,$(BUILD_TSAN),tests_concurrency)

windows: deps
	+@$(call CONFIGURE,$(BUILD_WIN),$(WIN_ARGS)) && $(call CMAKE_BUILD,$(BUILD_WIN))
	@./scripts/windows-sizes.sh $(BUILD_WIN)/bin

# --- make test ---------------------------------------------------------

test: deps
	+@$(MAKE) --no-print-directory -k -j $(TEST_SLOTS) $(TEST_PHASES)

# The phases.  Each is a chain of steps (step-*, below); a step shared by
# two phases (the host build) is made once.
test-host: step-host-tests

test-tsan: step-tsan-tests

# The product compiled as the board's 32-bit build would be, by the 32-bit
# mingw-w64 compiler and through the board's branch by clang in Microsoft
# mode (compile only).
test-board-build: step-board-checks

# The board-image files, the binaries' tables, then the binaries
# themselves under Wine, last against the host build's product (the same
# scripts on both sides).
test-windows: step-windows-checks step-wine step-dist-check

# The Release build installed into a stage and run from there with the
# build folder out of the way, then packed as a Debian package, held to
# lintian, installed into a throwaway root, run and removed.
test-install: step-deb-check

# The steps.  The host build is in two: the Wine step needs only its
# product and tools, so it starts while the host tests are still built.
step-host-product: deps
	+@$(call STEP,host build of the product and tools (ASan, UBSan),$(BUILD)/log/product-build.log,build-product)

step-host-build: step-host-product
	+@$(call STEP,host build (ASan, UBSan),$(BUILD)/log/build.log,build)

step-host-tests: step-host-build
	@$(TIMED) "host tests" $(BUILD)/log/tests.log $(TESTS_ALONE) sh -c 'cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS) -LE tsan'

step-tsan-build: deps
	+@$(call STEP,TSan build,$(BUILD_TSAN)/log/build.log,build-tsan,$(LOW))

step-tsan-tests: step-tsan-build
	@$(TIMED) "TSan tests" $(BUILD_TSAN)/log/tests.log $(TESTS_ALONE) sh -c 'cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L concurrency'

step-board-checks: deps
	@$(TIMED) "board build checks" build-board/log/checks.log $(LOW) $(UNCHANGED) build-board/checks.stamp \
	  $(BOARD_CHECK_INPUTS) -- ./scripts/check-board-build.sh

step-windows-build: deps
	+@$(call STEP,Windows build,$(BUILD_WIN)/log/build.log,windows,$(LOW))

step-windows-checks: step-windows-build
	@$(TIMED) "Windows checks" $(BUILD_WIN)/log/checks.log sh -c './scripts/check-ce-files.sh && ./scripts/check-windows-exports.sh $(BUILD_WIN)/bin'

step-wine: step-windows-build step-host-product
	@$(TIMED) "Wine" $(BUILD_WIN)/log/wine.log $(UNCHANGED) $(BUILD_WIN)/wine.stamp $(WINE_INPUTS) -- \
	  env HOST_BUILD=$(BUILD) ./scripts/test-wine.sh $(BUILD_WIN)

# The bundle packed twice from the one build, byte for byte the same, its
# PE files without a time stamp, its SHA256SUMS verified.
step-dist-check: step-windows-build
	@$(TIMED) "bundle" $(BUILD_WIN)/log/dist.log ./scripts/check-dist.sh $(BUILD_WIN)

step-release-build: deps
	+@$(call STEP,Release build,$(BUILD_RELEASE)/log/build.log,build-release,$(LOW))

# Its log is in the build folder it moves away: timed.sh writes to the file
# it opened before, and reads it once the folder is back.
step-install-check: step-release-build
	@$(TIMED) "install check" $(BUILD_RELEASE)/log/install.log ./scripts/check-install.sh $(BUILD_RELEASE)

# After the install check, which moves the build folder away while it runs.
step-deb-check: step-install-check
	@$(TIMED) "package check" $(BUILD_RELEASE)/log/deb.log ./scripts/check-deb.sh $(BUILD_RELEASE)

# --- make bench ----------------------------------------------------------

bench: deps
	+@$(call CONFIGURE,$(BUILD_BENCH),$(BENCH_ARGS)) && $(call CMAKE_BUILD,$(BUILD_BENCH))
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
	rm -rf $(BUILD) $(BUILD_RELEASE) $(BUILD_RELEASE)-stage $(BUILD_TSAN) $(BUILD_WIN) $(BUILD_BENCH) $(BUILD_FUZZ) build-board
