# The project's front door. make, make demo and make test work on a fresh
# Debian machine as root: they install what is missing first (not as root,
# scripts/install-deps says in one line what to run).
BUILD      ?= build
JOBS       ?= 2
CMAKE_ARGS ?=
# build/ and build-windows/ are configured alike by every target, warnings as
# errors as CI builds, so make demo, make test and make reuse what another
# built.
WERROR     ?= ON
NATIVE_CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DTAVERLY_WERROR=$(WERROR) $(CMAKE_ARGS)

.PHONY: all build test demo deps clean check

all: build

deps:
	scripts/install-deps

build: deps
	$(NATIVE_CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS)

# The native suite, then the Windows build's suite under Wine.
test:
	$(MAKE) test-native
	$(MAKE) test-windows

test-native: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The format and the include layering of the sources (no build needed).
check: deps
	scripts/check-source

# The demo builds what it runs alone: the program, the signing tool and the
# example's library and security base; make test and make build the rest.
DEMO_TARGETS = Taverly taverly-sign demo_plugin demo_security_base
demo: deps
	$(NATIVE_CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	scripts/run-demo $(BUILD)

# Every build folder, the Windows one with its dependency build and Wine prefix.
clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD) $(BENCH_BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-release build-release-windows $(DIST)

# --- Windows: cross-built with MinGW-w64, tested under Wine -------------------
# build-windows/Taverly.exe is signed by the native build's taverly-sign; the
# Wine suite runs the native build's e2e_test against the Windows programs.
WINDOWS_BUILD      ?= build-windows
WINDOWS_CMAKE_ARGS ?=

.PHONY: windows test-windows test-native

windows:
	scripts/install-deps --windows
	test -f $(BUILD)/build.ninja || $(NATIVE_CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS) --target taverly-sign
	scripts/build-windows-deps $(WINDOWS_BUILD)/deps
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DTAVERLY_WINDOWS_DEPS=$(abspath $(WINDOWS_BUILD))/deps \
	  -DTAVERLY_SIGN_TOOL=$(abspath $(BUILD))/taverly-sign \
	  -DTAVERLY_E2E_RUNNER=$(abspath $(BUILD))/tests/e2e/e2e_test \
	  -DTAVERLY_WERROR=$(WERROR) $(WINDOWS_CMAKE_ARGS)
	cmake --build $(WINDOWS_BUILD) -j$(JOBS)

test-windows: windows
	cmake --build $(BUILD) -j$(JOBS) --target e2e_test
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure -j$(JOBS)

# --- Benchmarks, fuzzing, sanitizers --------------------------------------------
# Each has a build folder of its own. make bench needs root (it runs Taverly);
# docs/benchmarks.md holds its last table. CONTRIBUTING.md: adding to them.
BENCH_BUILD  ?= build-bench
ASAN_BUILD   ?= build-asan
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
BENCH_ARGS   ?=
# Leaks are checked; undefined behaviour ends the process unless the
# suppressions file waives it (see there why each entry is needed).
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1 \
                UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$(CURDIR)/tests/sanitizers/ubsan.supp \
                LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp

.PHONY: bench test-asan fuzz release release-check

# It measures the Release build as it ships: installed as make release
# installs it (stripped, then signed), beside the program as built.
bench: deps
	scripts/install-deps --bench --release
	cmake -S . -B $(BENCH_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DTAVERLY_RELEASE=ON -DTAVERLY_TESTS=OFF -DTAVERLY_BENCH=ON
	cmake --build $(BENCH_BUILD) -j$(JOBS)
	cmake --install $(BENCH_BUILD) --component Programs --prefix $(abspath $(BENCH_BUILD))/shipped
	$(BENCH_BUILD)/taverly-bench --shipped=$(abspath $(BENCH_BUILD))/shipped/bin/Taverly $(BENCH_ARGS)

# The native unit and end-to-end tests, everything built with ASan and UBSan.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DTAVERLY_WERROR=ON -DTAVERLY_SANITIZE=address,undefined
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# Every libFuzzer target for FUZZ_SECONDS each (CI: make fuzz FUZZ_SECONDS=20).
fuzz: deps
	scripts/install-deps --fuzz
	cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVERLY_TESTS=OFF -DTAVERLY_FUZZ=ON -DTAVERLY_WERROR=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_targets
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# --- Release -------------------------------------------------------------------
# dist/: the Linux and Windows archives, the tools' Debian package, SHA256SUMS
# (scripts/release; README "Shipping"). Release keys and an Authenticode
# certificate come from the environment or the command line:
#   make release TAVERLY_KEY_DIR=<folder> TAVERLY_SIGN_KEY=<key1.key>
# release-check runs the smoke tests of what dist/ holds (needs root and, as
# every run of Taverly, a /run of its own when another may run at once).
DIST ?= dist
export TAVERLY_KEY_DIR TAVERLY_SIGN_KEY TAVERLY_AUTHENTICODE_CERT TAVERLY_AUTHENTICODE_KEY

release:
	JOBS=$(JOBS) scripts/release $(DIST)

release-check:
	scripts/install-deps --windows --release
	scripts/check-release $(DIST)
