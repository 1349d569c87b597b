# Quick start: `make demo` runs the power-failure story on the built-in simulator;
# `make test` installs what is missing, builds everything (native and Windows) and runs every test.
PREREQUISITES := cmake/install-prerequisites.sh
CHECKED_BUILDS := asan tsan fuzz
# The Windows build whose programs the Windows tests run: the shipped 32-bit one, or its 64-bit twin
# where 32-bit Wine cannot run. Asked as each recipe runs, after the install.
WINDOWS_TESTS = $$(cmake/windows-test-build.sh 2>/dev/null)
# ON where the shipped build is that one: only then does it build the programs the tests run.
WINDOWS_TEST_PROGRAMS = $$([ "$(WINDOWS_TESTS)" = windows ] && echo ON || echo OFF)

.PHONY: all prerequisites native windows windows64 windows-tests $(CHECKED_BUILDS) test demo bench \
        package clean

all: native

native:
	$(PREREQUISITES) native
	cmake --preset native -DCORVALE_WINDOWS_BUILD_DIR=$(CURDIR)/build/$(WINDOWS_TESTS)
	cmake --build --preset native

# The shipped 32-bit build: the DLL, corvale-ups.exe, the installer; and the programs the Windows
# tests run only where this build is the one that runs them (elsewhere the twin does, and this
# build has its file checks alone).
windows:
	$(PREREQUISITES) windows
	cmake --preset windows -DCORVALE_WINDOWS_TEST_PROGRAMS=$(WINDOWS_TEST_PROGRAMS)
	cmake --build --preset windows

# Its 64-bit twin, never shipped: the same sources, for the Windows tests under 64-bit Wine.
windows64:
	$(PREREQUISITES) windows
	cmake --preset windows64
	cmake --build --preset windows64

# The shipped build, and the twin where it is the one that runs the tests.
windows-tests: windows
	if [ "$(WINDOWS_TESTS)" = windows64 ]; then $(MAKE) --no-print-directory windows64; fi

# Sanitizer and fuzzing builds of the same sources.
$(CHECKED_BUILDS):
	$(PREREQUISITES) native
	cmake --preset $@
	cmake --build --preset $@

# What every build needs, installed in one go. The targets that make several builds ask once and
# build with PREREQUISITES=: (asked again, each Windows build would repeat the `apt-get update`
# and the refused install of 32-bit Wine, about 20 s each time, where that Wine cannot come).
prerequisites:
	$(PREREQUISITES) all

# The Windows builds come first: the native suite drives CorvaleUPS.dll under Wine. Every suite
# runs even when an earlier one fails; the last lines say which failed, which Windows build ran the
# Windows tests, and what was skipped.
test: prerequisites
	$(MAKE) --no-print-directory PREREQUISITES=: windows-tests native $(CHECKED_BUILDS)
	tests/run_suites.sh windows $(WINDOWS_TESTS) native asan tsan fuzz

# The power-failure story on the built-in simulator; nothing to install or configure.
demo: native
	build/native/cli/corvale-ups demo

# Figures for speed and footprint, written to bench/results.md.
bench: prerequisites
	$(MAKE) --no-print-directory PREREQUISITES=: windows-tests native
	bench/run.sh

# The Windows ZIP and the Debian package.
package: prerequisites
	$(MAKE) --no-print-directory PREREQUISITES=: windows native
	cd build/windows && cpack
	cd build/native && cpack -G DEB

clean:
	rm -rf build
