# The two commands: `make run` boots the default machine and prints its report; `make test` builds
# everything and runs every test, once normally and once under the sanitizers, plus the checks of
# the zarn.sys build (the image, and every call chain within 2 KiB of stack).

BUILD := build
ASAN_BUILD := build-asan
WIN_BUILD := $(BUILD)/win
JOBS ?= 2
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)
HOST_FLAGS := $(GENERATOR) -DZARN_WIN_BUILD=$(CURDIR)/$(WIN_BUILD)
# The host build's configuration, which `run`, `host` and `test` share.
CONFIGURE_HOST := cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(HOST_FLAGS) >/dev/null

# Debian packages the project needs.
PACKAGES := cmake make g++ ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev \
            libpng-dev nlohmann-json3-dev libunicorn-dev g++-mingw-w64-i686 mingw-w64-i686-dev clang libclang-rt-14-dev edid-decode \
            mtools dosfstools xorriso zip unzip llvm python3 python3-pefile pev gdb-multiarch sigrok-cli

FUZZ_BUILD := build-fuzz
FUZZ_HARNESSES := request discovery regfile edid
FUZZ_SECONDS ?= 60
# make fuzz runs this many workers at once (libFuzzer's fork mode): by default one per core.
FUZZ_JOBS ?= $(shell nproc)
FUZZ_SMOKE_SECONDS ?= 60
FUZZ_SMOKE_RUNS ?= 5000
# OFF builds the simulator's own code without the sanitizers (the driver keeps them): for long runs,
# in a build directory of its own (make fuzz FUZZ_BUILD=build-fuzz-fast FUZZ_SANITIZE_SIM=OFF).
FUZZ_SANITIZE_SIM ?= ON

DIST := $(BUILD)/dist

.PHONY: run test check deps win host asan dist fuzz fuzz-build fuzz-smoke coverage mutate mutate-all clean

run: deps
	$(CONFIGURE_HOST)
	cmake --build $(BUILD) -j $(JOBS) --target zarnsim
	$(BUILD)/zarnsim run

test: deps win host asan fuzz-build dist
	$(BUILD)/pecheck $(WIN_BUILD)/zarn.sys
	$(BUILD)/pecheck $(WIN_BUILD)/zarn-checked.sys
	$(BUILD)/stackcheck $(WIN_BUILD)/zarn.sys $(WIN_BUILD)/CMakeFiles/zarn.dir 2048
	$(BUILD)/stackcheck $(WIN_BUILD)/zarn-checked.sys $(WIN_BUILD)/CMakeFiles/zarn-checked.dir 2048
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory fuzz-smoke

# The inner loop: the host build without the link across files, in a tree of its own, and the
# tests of the driver and the simulator (zarn_tests: each behaviour of the driver on the simulated
# machine; the tests of zarn.sys skip, as this tree knows no image build). `make test` stays the
# full gate.
CHECK_BUILD := build-check
check: deps
	cmake -S . -B $(CHECK_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARN_LTO=OFF -DZARN_BENCH=OFF $(GENERATOR) >/dev/null
	cmake --build $(CHECK_BUILD) -j $(JOBS) --target zarn_tests
	cd $(CHECK_BUILD) && ctest -R '^zarn_tests' -j $(JOBS) --output-on-failure

# Installs the packages that are missing (needs root and Debian's package archive).
deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi

win:
	cmake -S win -B $(WIN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/win/toolchain-i686-mingw.cmake >/dev/null
	cmake --build $(WIN_BUILD)

# The driver disks in $(DIST): for the version V of win/version.cmake, zarn-V.img (a 1.44 MB floppy),
# zarn-V.iso (a CD with Joliet names), zarn-V.zip (the same files and the link map) and
# zarn-V-checked.zip (the checked build with the same INF).
dist: deps win
	win/dist.sh $(WIN_BUILD) $(DIST)

host:
	$(CONFIGURE_HOST)
	cmake --build $(BUILD) -j $(JOBS)

# The sanitizer tree is built with clang (its instrumented code compiles in half the time GCC takes,
# and the project then builds with both compilers' warnings).
asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZARN_SANITIZE=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  $(HOST_FLAGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The libFuzzer harnesses over an instrumented driver and simulator (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer). `make fuzz` runs each for FUZZ_SECONDS on FUZZ_JOBS workers, prints
# its inputs per second and coverage, and merges the inputs that add coverage into fuzz/corpus;
# `make fuzz-smoke` (part of `make test`) runs what fuzz-build left in $(FUZZ_BUILD)/out as a fuzzing
# service would (fuzz/check_out.sh), then each harness on its corpus and FUZZ_SMOKE_RUNS new inputs
# from a fixed seed (at most FUZZ_SMOKE_SECONDS), however fast the machine.
# fuzz-build runs fuzz/build.sh, the build a fuzzing service runs (OSS-Fuzz, ClusterFuzzLite), with
# the local clang and libFuzzer: the harnesses, their seed corpora and dictionaries in
# $(FUZZ_BUILD)/out, as such a service would find them.
FUZZ_FLAGS := -O2 -g -DNDEBUG -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined \
              -fsanitize=fuzzer-no-link
fuzz-build: deps
	CC=clang CXX=clang++ CFLAGS="$(FUZZ_FLAGS)" CXXFLAGS="$(FUZZ_FLAGS)" LIB_FUZZING_ENGINE=-fsanitize=fuzzer \
	  OUT=$(FUZZ_BUILD)/out WORK=$(FUZZ_BUILD) JOBS=$(JOBS) fuzz/build.sh -DZARN_FUZZ_SANITIZE_SIM=$(FUZZ_SANITIZE_SIM)

fuzz: fuzz-build
	@for h in $(FUZZ_HARNESSES); do \
	  fuzz/run.sh --jobs $(FUZZ_JOBS) --merge $(FUZZ_BUILD) $$h $(FUZZ_SECONDS) || exit 1; done
	@fuzz/union.py --unreached --binary $(FUZZ_BUILD)/fuzz/request_fuzzer $(foreach h,$(FUZZ_HARNESSES),$(FUZZ_BUILD)/fuzz/work/$(h)/coverage.txt)

fuzz-smoke:
	@fuzz/check_out.sh $(FUZZ_BUILD)/out
	@for h in $(FUZZ_HARNESSES); do fuzz/run.sh $(FUZZ_BUILD) $$h $(FUZZ_SMOKE_SECONDS) $(FUZZ_SMOKE_RUNS) || exit 1; done

# The driver's line and branch coverage from every test (clang source-based coverage of the
# driver's code only): a table per file, then each line and branch outcome no test runs.
COVERAGE_BUILD := build-coverage
coverage: deps win
	CXX=clang++ cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DZARN_COVERAGE=ON -DZARN_BENCH=OFF \
	  $(HOST_FLAGS) >/dev/null
	cmake --build $(COVERAGE_BUILD) -j $(JOBS)
	tools/coverage/coverage.py $(COVERAGE_BUILD)

# Mutation testing of the driver: MUTATE_SAMPLE mutants drawn with MUTATE_SEED, each rebuilt and
# run against the normal build's tests (fail-fast); prints the score and every survivor.
MUTATE_SEED ?= 1
MUTATE_SAMPLE ?= 200
mutate: deps win
	tools/mutate/mutate.py --seed $(MUTATE_SEED) --sample $(MUTATE_SAMPLE)

# Every operator mutant of the driver (hours on two cores; not part of `make test`), each survivor run
# again on the sanitizer build; results kept per mutated file, so a re-run redoes only what changed.
# MUTATE_FILES limits it to some driver files (make mutate-all MUTATE_FILES=driver/colour/dac.cpp).
MUTATE_FILES ?=
mutate-all: deps win
	tools/mutate/mutate.py --all $(if $(MUTATE_FILES),--files $(MUTATE_FILES))

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(COVERAGE_BUILD) $(CHECK_BUILD) build-mutate
