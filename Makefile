# Quick start: `make demo` runs the power-failure story on the built-in simulator;
# `make test` installs what is missing, builds everything and runs every test.
.PHONY: all build test demo clean

all: build

build:
	cmake/install-prerequisites.sh native
	cmake --preset native
	cmake --build --preset native

test: build
	ctest --preset native

clean:
	rm -rf build
