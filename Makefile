# Quick start: `make demo` runs the power-failure story on the built-in simulator;
# `make test` installs what is missing, builds everything (native and Windows) and runs every test.
PREREQUISITES := cmake/install-prerequisites.sh
CHECKED_BUILDS := asan tsan fuzz

.PHONY: all native windows $(CHECKED_BUILDS) test demo bench package clean

all: native

native:
	$(PREREQUISITES) native
	cmake --preset native
	cmake --build --preset native

windows:
	$(PREREQUISITES) windows
	cmake --preset windows
	cmake --build --preset windows

# Sanitizer and fuzzing builds of the same sources.
$(CHECKED_BUILDS):
	$(PREREQUISITES) native
	cmake --preset $@
	cmake --build --preset $@

# The Windows build comes first: the native suite drives CorvaleUPS.dll under Wine. Every suite
# runs even when an earlier one fails; the last lines say which failed and what was skipped.
test: windows native $(CHECKED_BUILDS)
	tests/run_suites.sh windows native asan tsan fuzz

# The power-failure story on the built-in simulator; nothing to install or configure.
demo: native
	build/native/cli/corvale-ups demo

# Figures for speed and footprint, written to bench/results.md.
bench: windows native
	bench/run.sh

# The Windows ZIP and the Debian package.
package: windows native
	cd build/windows && cpack
	cd build/native && cpack -G DEB

clean:
	rm -rf build
