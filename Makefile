# Front door. `make test` and `make demo` install what is missing first.
MAKEFLAGS += --no-print-directory
# QT=6 builds the Qt 6 flavour (libtarnex-qt6); every tree below is then its
# own, suffixed -qt6, so both flavours can stay built side by side.
QT ?= 5
ifeq ($(QT),5)
QT_SUFFIX :=
else ifeq ($(QT),6)
QT_SUFFIX := -qt6
else
$(error QT must be 5 or 6, not '$(QT)')
endif
BUILD ?= build$(QT_SUFFIX)
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
QT_FLAGS := -DTARNEX_QT_MAJOR_VERSION=$(QT)

.PHONY: all deps deps-packaging deps-docs configure build test abi-check docs deb deb-test asan memcheck endurance demo bench bench-programs bench-both fuzz fuzz-build fuzz-long format format-check clean

all: build

deps:
	@scripts/install-deps --qt $(QT)

# What building and checking the Debian packages needs on top.
deps-packaging: deps
	@scripts/install-deps --packaging

# Doxygen, for the API reference.
deps-docs: deps
	@scripts/install-deps --docs

configure: deps
	@cmake -S . -B $(BUILD) $(QT_FLAGS) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Last, the whole output is checked for passwords.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	tests/security/check-logs $(BUILD)/Testing/Temporary/LastTest.log

# The built library against the ABI of 1.0 (abi/README.md): clients built
# against 1.0 must keep working.
abi-check: build
ifneq ($(QT),5)
	@echo "abi-check: the 1.0 baseline is the Qt 5 library's; libtarnex-qt6 is guarded by its symbols file" >&2; exit 1
endif
	scripts/abi-check $(BUILD)

# The C and C++ sources as .clang-format says (clang-format 14): format-check
# fails on any file that is not, format rewrites them.
format-check: deps
	scripts/check-format

format: deps
	scripts/check-format --fix

# The API reference, from the public headers, into $(BUILD)/doc/html. Fails
# on anything public left undocumented.
docs: deps-docs configure
	@cmake --build $(BUILD) --target docs
	@echo "docs: $(BUILD)/doc/html/index.html"

# The Debian packages (debian/), built with dpkg-buildpackage in a clean copy
# of the git tree and checked by lintian; they land in $(DEB_OUT).
DEB_OUT ?= build-deb
deb: deps-packaging
	scripts/deb $(DEB_OUT) $(JOBS)

# The built packages installed into a fresh Debian 12 root: the send-one
# example built against them both ways, and the demo run from them.
deb-test: deps-packaging
	scripts/deb-test $(DEB_OUT)

# MMS round trips through the library on a simulated operator network, in
# private namespaces: both connection types x both transfer variants. Narrow
# or vary with e.g. DEMO_ARGS="--connection net --transfer nm --proxy --debug".
DEMO_ARGS ?=
demo: build
	scripts/demo --build $(BUILD) $(DEMO_ARGS)

# Transfer speed, memory and bring-up against curl and the floors: one table
# (bench/README.md says how to read it). BENCH_ARGS=--runs N for more runs.
bench: bench-programs
	$(BUILD)/bench/benchrun $(BENCH_ARGS)

bench-programs: configure
	@cmake --build $(BUILD) -j$(JOBS) --target benchrun

# The same table with libtarnex-qt6 measured beside libtarnex (Qt 5) in the
# same rounds, each library row tagged with its Qt.
bench-both:
	@$(MAKE) QT=6 BUILD=build-qt6 bench-programs
	@$(MAKE) QT=5 BUILD=build bench-programs
	build/bench/benchrun --beside build-qt6/bench $(BENCH_ARGS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_BUILD ?= build-asan$(QT_SUFFIX)
asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DTARNEX_SANITIZE=ON -DTARNEX_BUILD_BENCH=OFF $(QT_FLAGS) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	  ctest --output-on-failure -j$(JOBS) -E '^packaging$$'
	tests/security/check-logs $(ASAN_BUILD)/Testing/Temporary/LastTest.log

# The transfer, connection and resolver tests under valgrind: no error, no definite leak.
MEMCHECK_TESTS ?= transfer|endurance|uaprof|connection|qhttp|gprs|kavlo|faults|injection|dnsresolver
memcheck: build
	JOBS=$(JOBS) tests/sanitizers/memcheck $(BUILD) '$(MEMCHECK_TESTS)'

# Long runs in one process: thousands of connection cycles and transfers with
# flat memory and nothing left behind.
endurance: build
	cd $(BUILD) && TARNEX_ENDURANCE=full ctest --output-on-failure -L endurance

# libFuzzer targets in a clang tree of their own; each runs FUZZ_SECONDS from
# its committed corpus. fuzz-long runs FUZZ_RUNS executions per target.
FUZZ_BUILD ?= build-fuzz$(QT_SUFFIX)
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?= 10000000
fuzz-build: deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DTARNEX_FUZZ=ON -DTARNEX_BUILD_TESTS=OFF -DTARNEX_BUILD_EXAMPLES=OFF -DTARNEX_BUILD_BENCH=OFF \
	  $(QT_FLAGS) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_BUILD) --target fuzz_targets -j$(JOBS)

fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) -max_total_time=$(FUZZ_SECONDS)

fuzz-long: fuzz-build
	fuzz/run $(FUZZ_BUILD) -runs=$(FUZZ_RUNS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(DEB_OUT)
