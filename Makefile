# Quick start: `make demo` runs the power-failure story on the built-in simulator;
# `make test` installs what is missing, builds everything (native and Windows) and runs every test.
PREREQUISITES := cmake/install-prerequisites.sh

.PHONY: all native windows test demo package clean

all: native

native:
	$(PREREQUISITES) native
	cmake --preset native
	cmake --build --preset native

windows:
	$(PREREQUISITES) windows
	cmake --preset windows
	cmake --build --preset windows

# The Windows build comes first: the native suite drives CorvaleUPS.dll under Wine.
test: windows native
	ctest --preset windows
	ctest --preset native

# The power-failure story on the built-in simulator; nothing to install or configure.
demo: native
	build/native/tools/corvale-ups demo

package: windows
	cd build/windows && cpack

clean:
	rm -rf build
