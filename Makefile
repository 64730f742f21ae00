# The two entry points of the README: `make test` and `make run`.
SHELL := /bin/bash
.SHELLFLAGS := -eo pipefail -c
BUILD_TEST ?= build/test
BUILD_RELEASE ?= build/release
BUILD_FUZZ ?= build/fuzz
BUILD_TSAN ?= build/tsan
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
# Tests, benchmarks and fuzzers draw without a display; `make run` uses the real one.
test build-test bench fuzz tsan: export QT_QPA_PLATFORM ?= offscreen

.PHONY: deps test build-test release-configure release run run-morvell bench fuzz tsan clean

deps:
	bash scripts/install-deps.sh

# The benchmarks are built (and their warnings met) in the release build, where they run.
build-test:
	cmake -S . -B $(BUILD_TEST) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_SANITIZE=ON -DNK_WERROR=ON -DNK_BENCH=OFF
	cmake --build $(BUILD_TEST) -j $(JOBS)

test: deps build-test
	cd $(BUILD_TEST) && ctest --output-on-failure --timeout 600 -j $(JOBS)

release-configure:
	cmake -S . -B $(BUILD_RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DNK_WERROR=ON -DNK_TESTS=OFF

release: release-configure
	cmake --build $(BUILD_RELEASE) -j $(JOBS)

# The station program on its built-in defaults (port 61804, log root beside the program):
# its window where there is a display, else headless, listening at once; Ctrl-C stops it.
# Only the program is built: the benchmarks come with `make release` and `make bench`.
run: deps release-configure
	cmake --build $(BUILD_RELEASE) -j $(JOBS) --target Lumbrel
	$(BUILD_RELEASE)/station/Lumbrel

# The statistics tool, release build of the program alone. Where no display can be
# shown on (judged as the station judges it) it says so in one line and fails.
run-morvell: deps release-configure
	cmake --build $(BUILD_RELEASE) -j $(JOBS) --target Morvell
	$(BUILD_RELEASE)/statistics/Morvell

bench: deps release
	@for b in $(BUILD_RELEASE)/bench/*; do [ -x "$$b" ] && [ -f "$$b" ] && "$$b"; done; true

# Packet and file-reader fuzzers, each run for a bounded time, as many at once as there are cores;
# a failing one shows its whole report and leaves its input in build/fuzz/artifacts.
# FUZZ_RUNS, when set, ends a target sooner, after that many inputs (CI sets it).
FUZZ_RUNS ?=
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_FUZZ=ON -DNK_TESTS=OFF -DNK_BENCH=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target nk_fuzz_targets
	@mkdir -p $(BUILD_FUZZ)/artifacts
	@ls $(BUILD_FUZZ)/fuzz/fuzz_* | while read -r f; do [ -x "$$f" ] && [ -f "$$f" ] && echo "$$f"; done | \
	  xargs -P $(JOBS) -I{} bash -c '\
	    f={}; log="$(BUILD_FUZZ)/artifacts/$$(basename $$f).log"; \
	    if ! "$$f" -max_total_time=$(FUZZ_SECONDS) $(if $(FUZZ_RUNS),-runs=$(FUZZ_RUNS)) -rss_limit_mb=4096 -print_final_stats=1 \
	         -artifact_prefix=$(BUILD_FUZZ)/artifacts/ > "$$log" 2>&1; then \
	      echo "== $$f FAILED"; tail -n 80 "$$log"; exit 255; \
	    fi; \
	    echo "== $$f (at most $(FUZZ_SECONDS) s$(if $(FUZZ_RUNS), or $(FUZZ_RUNS) inputs)): $$(grep -m1 -o "stat::number_of_executed_units: *[0-9]*" "$$log")"'

# The concurrency suites under ThreadSanitizer, in a build folder of their own.
# Death tests fork and re-run the program; they add nothing here. The station's suite
# is a program of its own there (nk_station_concurrency_tests), so the TSan build
# compiles none of the other station tests.
TSAN_SUITES ?= nk_testframework_tests nk_testregistry_tests
tsan: deps
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_TSAN=ON -DNK_WERROR=ON -DNK_BENCH=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target $(TSAN_SUITES) nk_station_concurrency_tests nk_framework_tests
	@for t in $(TSAN_SUITES); do \
	  echo "== $$t (ThreadSanitizer)"; \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD_TSAN)/tests/$$t --gtest_filter='-*DeathTest*' --gtest_brief=1; \
	done
	@echo "== nk_station_tests, switches flipped under sixteen testers (ThreadSanitizer)"
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD_TSAN)/tests/nk_station_concurrency_tests --gtest_filter='StationConcurrency.*' --gtest_brief=1
	@echo "== nk_framework_tests, log manager, FIFO, version and CSV writer from many threads (ThreadSanitizer)"
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD_TSAN)/tests/nk_framework_tests --gtest_filter='Zelk*Concurrency.*' --gtest_brief=1
	@echo "== nk_framework_tests, unplugs racing reads and owners' deletes, USB monitors, fixture boards and the library's socket loops (ThreadSanitizer)"
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD_TSAN)/tests/nk_framework_tests --gtest_filter='NkUsbDevice.Unplug*:NkUsbDevice.OwnerDelete*:ZelkUsb.Unplug*:ZelkUsb.Monitor*:ZelkCrestel.Unplug*:ZelkCrestel.Wrapper*:MorvellSocket.*' --gtest_brief=1
	@echo "== nk_framework_tests, sockets and ZTCP: loops, deletes from callbacks, replies racing time-outs (ThreadSanitizer)"
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD_TSAN)/tests/nk_framework_tests --gtest_filter='ZelkSocket.*:ZelkServerSocket.*:ZelkZtcp*.*' --gtest_brief=1
	@echo "== nk_framework_tests, the test engine: aborts racing the run's start and end, restarts, deletes mid-run (ThreadSanitizer)"
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD_TSAN)/tests/nk_framework_tests --gtest_filter='NkTestEngine.*' --gtest_brief=1
	@echo "== nk_framework_tests, the device under test: its run thread, aborts, deletes mid-run, ZTCP events and closes (ThreadSanitizer)"
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD_TSAN)/tests/nk_framework_tests --gtest_filter='ZelkDut*.*' --gtest_brief=1

clean:
	rm -rf build
