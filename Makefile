# Single entry point: make setup | build | test | asan | tsan | bench | run | fuzz | format
JOBS    ?= $(shell nproc)
BUILD   ?= build
CMAKE   := cmake -G Ninja -Wno-dev
ARGS    ?=

.PHONY: setup build test asan tsan bench run fuzz format format-check screenshot install

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --no-tests=error

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: setup
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=address,undefined \
	  -DORV_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest -j $(JOBS) --output-on-failure --no-tests=error

# The threaded suites under ThreadSanitizer.
tsan: setup
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=thread \
	  -DORV_BUILD_BENCH=OFF -DORV_BUILD_APP=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest -j $(JOBS) -L threads --output-on-failure --no-tests=error

bench: build
	@for b in $(BUILD)/bench/bench-*; do [ -x "$$b" ] && { echo "== $$b"; "$$b" || exit 1; }; done

run: build
	$(BUILD)/app/vexil $(ARGS)

fuzz: setup
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORV_BUILD_FUZZ=ON -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF -DORV_BUILD_APP=OFF
	cmake --build build-fuzz -j $(JOBS)

screenshot: build
	bash scripts/screenshot.sh $(BUILD)/app/vexil docs/vexil.png

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

format-check:
	git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror
