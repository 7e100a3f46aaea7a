# The project's front door. `make demo` and `make test` work on a fresh Debian
# machine as root: they install what is missing first.
BUILD      ?= build
JOBS       ?= 2
CMAKE_ARGS ?=

.PHONY: all build test demo deps clean

all: build

deps:
	scripts/install-deps

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=$$(command -v ccache || true) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

test: deps
	$(MAKE) build CMAKE_ARGS="-DTAVERLY_WERROR=ON $(CMAKE_ARGS)"
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: deps build
	scripts/run-demo $(BUILD)

clean:
	rm -rf $(BUILD)
