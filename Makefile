# Front door. `make test` and `make demo` install what is missing first.
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test asan demo bench fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# MMS round trips through the library on a simulated operator network, in
# private namespaces: both connection types x both transfer variants. Narrow
# or vary with e.g. DEMO_ARGS="--connection net --transfer nm --proxy --debug".
DEMO_ARGS ?=
demo: build
	scripts/demo --build $(BUILD) $(DEMO_ARGS)

# Transfer speed, memory and bring-up against curl and the floors: one table
# (bench/README.md says how to read it). BENCH_ARGS=--runs N for more runs.
bench: configure
	@cmake --build $(BUILD) -j$(JOBS) --target benchrun
	$(BUILD)/bench/benchrun $(BENCH_ARGS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_BUILD ?= build-asan
asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DTARNEX_SANITIZE=ON -DTARNEX_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	  ctest --output-on-failure -j$(JOBS) -E '^packaging$$'

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
