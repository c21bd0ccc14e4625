# The two everyday commands: `make test` and `make demo`. Both install the Debian packages they
# need first.
BUILD_DIR ?= build
TSAN_DIR  ?= build-tsan
ASAN_DIR  ?= build-asan
BENCH_DIR ?= build-bench
OBS32_DIR ?= build-obs32
# The Debian unstable root of the OBS 32 tests, kept outside the checkout (made when missing).
OBS32_ROOT_DIR ?= $(or $(RYVO_OBS32_ROOT),/var/cache/ryvo-obs/obs32-root)
FUZZ_DIR  ?= build-fuzz
FUZZ_SECONDS ?= 60
BUILD_TYPE ?= RelWithDebInfo
CTEST_JOBS ?= 2
CMAKE_ARGS ?=
MUTATE_ARGS ?=

.PHONY: all deps configure build test test-main test-tsan test-asan test-fuzz check-obs32 test-obs32 \
	demo bench mutate test-ratio \
	fuzz fuzz-build install format clean soak package test-package package-obs32

all: build

# Once per `make test`, not once per lane.
deps:
	@if [ -z "$(RYVO_DEPS_DONE)" ]; then scripts/install-deps.sh; fi

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DRYVO_WERROR=ON $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR)

# The whole suite: the main build (OBS module included) and its Debian package, the core under
# ThreadSanitizer and under AddressSanitizer with UBSan, a short run of every fuzz target, the
# OBS-facing sources compiled against the OBS 32 API, the OBS tests in real OBS 32 and the OBS 32
# package installed and removed there. Every lane runs even when an earlier
# one fails; the run fails at the end, naming the lanes that failed. The OBS 32 root is made or
# upgraded meanwhile, while the first lanes build.
TEST_LANES = test-main test-package test-tsan test-asan test-fuzz check-obs32 test-obs32 package-obs32
test: deps
	@RYVO_DEPS_DONE=1 scripts/test-all.sh \
		--meanwhile "scripts/test-obs32.sh $(OBS32_ROOT_DIR) --prepare" $(BUILD_DIR)/obs32-root.log \
		$(TEST_LANES)

test-main: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(CTEST_JOBS)

test-tsan: deps
	@cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRYVO_WERROR=ON \
		-DRYVO_BUILD_MODULE=OFF -DRYVO_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_DIR)
	cd $(TSAN_DIR) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
		ctest --output-on-failure -j$(CTEST_JOBS) -LE nosan

# With the module: the dock's poll-result hand-over needs Qt and libobs (its test says which cases
# run here; the other tests that need them do not).
test-asan: deps
	@cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRYVO_WERROR=ON \
		-DRYVO_SANITIZE=address >/dev/null
	@cmake --build $(ASAN_DIR)
	cd $(ASAN_DIR) && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
		ctest --output-on-failure -j$(CTEST_JOBS) -LE nosan

# The libFuzzer targets in a clang build of their own. Warnings are not errors there: the code is
# kept free of GCC's warnings, and clang's set differs.
fuzz-build: deps
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
		-DCMAKE_CXX_COMPILER=clang++ -DRYVO_FUZZ=ON -DRYVO_WERROR=OFF -DRYVO_BUILD_MODULE=OFF \
		-DRYVO_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) --target fuzzers

# Each fuzz target for FUZZ_SECONDS; `make test` gives each a few seconds over its seed corpus.
fuzz: fuzz-build
	@scripts/fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

test-fuzz: fuzz-build
	@scripts/fuzz.sh $(FUZZ_DIR) 5

# Fetches Debian unstable's OBS 32 headers once a day into $(OBS32_DIR)/apt (offline from that
# cache when the archive is unreachable) and compiles the module sources against them with Qt 6.
check-obs32: deps
	@scripts/check-obs32.sh $(OBS32_DIR)

# Builds the module in a Debian unstable root (made with debootstrap when missing and kept in
# $(OBS32_ROOT_DIR), RYVO_OBS32_ROOT overrides) against its OBS 32 and Qt 6, and runs the OBS
# tests there in that real OBS under Xvfb. Needs root or sudo.
test-obs32: deps
	@scripts/test-obs32.sh $(OBS32_ROOT_DIR)

# The Debian package of the main build (OBS 29, Qt 5), as
# $(BUILD_DIR)/ryvo-obs_<version>+obs29_amd64.deb: only what it holds is built (the module,
# ryvo-send and its manual page), then CPack packs it.
package: configure
	@cmake --build $(BUILD_DIR) --target ryvo-obs ryvo-send ryvo-send-man
	@cd $(BUILD_DIR) && cpack >/dev/null && ls -1 $(CURDIR)/$(BUILD_DIR)/ryvo-obs_*.deb

# lintian, then this system's OBS with the module from the unpacked package and the package's
# ryvo-send against the dev server.
test-package: package
	@scripts/test-package.sh $(BUILD_DIR) $(BUILD_DIR)/ryvo-obs_*+obs29_amd64.deb

# The same package built in the OBS 32 root, tested there with dpkg -i and dpkg -r, copied to
# $(BUILD_DIR) and checked with lintian here. Needs root or sudo.
package-obs32: deps
	@mkdir -p $(BUILD_DIR)
	@scripts/test-obs32.sh $(OBS32_ROOT_DIR) --package $(CURDIR)/$(BUILD_DIR)
	@lintian --fail-on error --tag-display-limit 0 $(BUILD_DIR)/ryvo-obs_*+obs32_amd64.deb

demo: build
	@scripts/demo.sh $(BUILD_DIR)

# Benchmarks in an optimised build of their own. -O2 rather than CMake's -O3: it is what
# the shipped build uses, and GCC 12 reports false -Wrestrict errors in libstdc++ at -O3.
bench: deps
	@cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		"-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DRYVO_WERROR=ON -DRYVO_BUILD_MODULE=ON >/dev/null
	@cmake --build $(BENCH_DIR) --target benchmarks
	@scripts/bench.sh $(BENCH_DIR)

# The outage soak: a five-minute live 8 Mbit/s broadcast through ryvo-send and one through real
# OBS, while the dev server black-holes, refuses, answers 500/429 and cuts an upload off.
# SOAK_SECONDS sets the broadcast length; the tables land in $(BUILD_DIR)/soak/.
SOAK_SECONDS ?= 300
soak: build
	@/usr/bin/python3 scripts/soak.py --build-dir $(BUILD_DIR) --variant send --seconds $(SOAK_SECONDS)
	@/usr/bin/python3 scripts/soak.py --build-dir $(BUILD_DIR) --variant obs --seconds $(SOAK_SECONDS)

# How many of a sample of small faults in the core the fast tests catch (a maintainers' tool, not
# part of `make test`; see scripts/mutate.py --help). MUTATE_ARGS="--seed 1 --sample 40" etc.
mutate:
	@scripts/mutate.py $(MUTATE_ARGS)

# Lines of tests (tests/, fuzz/) against lines of product code (src/, tools/).
test-ratio:
	@scripts/test-ratio.sh

install: build
	cmake --install $(BUILD_DIR)

format:
	@find src tests tools bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(TSAN_DIR) $(ASAN_DIR) $(OBS32_DIR) $(FUZZ_DIR)
