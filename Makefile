# Single entry point: make setup | build | test | asan | tsan | bench | run | deb | fuzz | format
JOBS    ?= $(shell nproc)
BUILD   ?= build
CMAKE   := cmake -G Ninja -Wno-dev
ARGS    ?=
# (Re)configures the build folder: cheap, and picks up what a set-up tier installed since.
CONFIGURE = $(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: setup setup-test setup-bench build test asan tsan bench run deb fuzz format \
        format-check screenshot

# Set-up tiers, each with the ones before it: running vexil; the tests; the benchmarks' peers.
setup:
	@bash scripts/setup.sh run
setup-test:
	@bash scripts/setup.sh test
setup-bench:
	@bash scripts/setup.sh bench

build: setup-test
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --no-tests=error

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer; the suites labelled "slow"
# (multi-gigabyte archives) and "crash" (programs that crash on purpose, whose faults the
# sanitizers catch first) run in the plain build only.
asan: setup-test
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=address,undefined \
	  -DORV_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest -j $(JOBS) -LE 'slow|crash' --output-on-failure --no-tests=error

# The threaded suites under ThreadSanitizer.
tsan: setup-test
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=thread \
	  -DORV_BUILD_BENCH=OFF -DORV_BUILD_APP=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest -j $(JOBS) -L threads --output-on-failure --no-tests=error

bench: setup-bench build
	@for b in $(BUILD)/bench/bench-*; do [ -x "$$b" ] && { echo "== $$b"; "$$b" || exit 1; }; done

# Builds and starts the program only: the run tier is all it installs.
run: setup
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target vexil
	$(BUILD)/app/vexil $(ARGS)

# The Debian package of the program: $(BUILD)/vexil_<version>_<arch>.deb.
deb: setup-test
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target vexil vexil-man vexil-changelog
	cd $(BUILD) && cpack -G DEB

fuzz: setup-test
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORV_BUILD_FUZZ=ON -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF -DORV_BUILD_APP=OFF
	cmake --build build-fuzz -j $(JOBS)

screenshot: build
	bash scripts/screenshot.sh $(BUILD)/app/vexil docs/vexil.png

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

format-check:
	git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror
