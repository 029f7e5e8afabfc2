# Top-level entry points; CMake does the building.
BUILD    ?= build
WINBUILD ?= build-windows
A64BUILD ?= build-aarch64
JOBS     ?= 2
PREFIX   ?= /usr/local

# The checked builds: sanitizers (clang when present, else gcc) and fuzzing.
SAN_BUILD    ?= build-sanitize
SAN_CXX      ?= $(shell command -v clang++ >/dev/null 2>&1 && echo clang++ || echo g++)
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS  = fuzz_convert fuzz_codemap fuzz_options fuzz_ehframe
# The longest input of each target, which each run costs in proportion to:
# a map of 1 KiB has room for every case (its lines are cut at 254
# characters, the fuzzing build's radix sort starts at 8 entries), a code
# map of 4 KiB for 78 records; a command line needs room for names past
# the limit of 4,095 characters; unwind tables of 2 KiB hold a header, a
# few CIEs and some dozens of FDEs.
FUZZ_MAX_LEN_fuzz_convert = 1024
FUZZ_MAX_LEN_fuzz_codemap = 4096
FUZZ_MAX_LEN_fuzz_options = 12288
FUZZ_MAX_LEN_fuzz_ehframe = 2048

# Sanitizer reports of every process the tests start, the tool itself
# included, go to files under reports/: a report fails the run even where a
# test does not look at the status of the process that made it.
SAN_REPORTS = $(abspath $(SAN_BUILD))/reports
SAN_ENV = ASAN_OPTIONS=exitcode=86:detect_leaks=1:log_path=$(SAN_REPORTS)/asan \
          UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(SAN_REPORTS)/ubsan

# Wine runs the Windows build in a prefix of its own under the build
# directory, quietly.
WINEPREFIX_DIR := $(abspath $(WINBUILD))/wineprefix
WINE_ENV := WINEPREFIX=$(WINEPREFIX_DIR) WINEDEBUG=-all
# Wine itself now and then dies as a program ends (an assertion in the
# loader's _dl_fini, status 127), whatever the program did: a test that
# fails is run once more, and fails only when it fails again.
WINE_RETRY := --repeat until-pass:2

.PHONY: all configure run test install test-sanitize fuzz bench clean windows test-windows \
        test-aarch64

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

# Converts the bundled sample map into a listing and shows it. Builds only
# the tool (and codemap, which makes the tool's code map after each link).
# The tool upper-cases file names, so the listing is SAMPLE.ENT.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target korval
	./$(BUILD)/korval -a examples/sample.map $(BUILD)/SAMPLE.ENT
	@echo
	@cat $(BUILD)/SAMPLE.ENT

# The whole Linux suite. The tests labelled windows run the Windows build
# under Wine: test-windows runs them (a plain ctest skips them). Where the
# aarch64 cross compiler, qemu-user and GoogleTest's source are installed,
# the fault reporter's tests run for aarch64 too.
A64_TOOLS := $(shell command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 && \
	command -v qemu-aarch64 >/dev/null 2>&1 && test -f /usr/src/googletest/CMakeLists.txt && echo yes)
test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE windows
ifeq ($(A64_TOOLS),yes)
	$(MAKE) --no-print-directory test-aarch64
else
	@echo "test: aarch64 skipped: install g++-aarch64-linux-gnu, qemu-user and googletest"
endif

# The fault reporter's tests (the loader, the guard, the call chain) built
# for aarch64 and run under qemu-user; the code map of the guard's test is
# made by the native build's korval-codemap and korval.
test-aarch64: all
	@test -f $(A64BUILD)/CMakeCache.txt || cmake -S . -B $(A64BUILD) -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DKORVAL_HOST_BUILD=$(abspath $(BUILD))
	cmake --build $(A64BUILD) -j $(JOBS) --target mapdebug_test guard_test \
		callchain_test unwind_test static_chain static_hdr_chain
	cd $(A64BUILD) && ctest --output-on-failure -j $(JOBS)

# Installs the tools, the fault reporter's library and header, the manual
# pages, korval.pc and the CMake package under PREFIX.
install: all
	cmake --install $(BUILD) --prefix $(abspath $(PREFIX))

# Cross-builds korval.exe for 64-bit Windows with MinGW-w64.
# The code maps of its executables are made by the native build's
# korval-codemap and korval.
windows: all
	@test -f $(WINBUILD)/CMakeCache.txt || cmake -S . -B $(WINBUILD) -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKORVAL_HOST_BUILD=$(abspath $(BUILD))
	cmake --build $(WINBUILD) -j $(JOBS)

# The Windows tests under Wine: the guard in-process, then korval.exe end to
# end and against the Linux build. One Wine server serves every run: it is
# started to stay a while after the last one (unless one runs already), and
# it and Wine's own processes get their output apart, so that nobody waits
# for them to close a pipe of theirs. The prefix is made once; a program
# that dies of an exception then ends with its exception code, without
# starting Wine's debugger.
test-windows: all windows
	@command -v wine >/dev/null || { echo "test-windows: no wine on PATH: install wine and wine64"; exit 1; }
	@mkdir -p $(WINEPREFIX_DIR)
	@$(WINE_ENV) wineserver -p5 >/dev/null 2>&1 || true
	@test -f $(WINEPREFIX_DIR)/.korval-prefix || { $(WINE_ENV) wine reg add \
		'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
		>/dev/null 2>&1 && touch $(WINEPREFIX_DIR)/.korval-prefix; }
	@$(WINE_ENV) wine cmd /c exit >/dev/null 2>&1
	cd $(WINBUILD) && $(WINE_ENV) ctest --output-on-failure -j $(JOBS) $(WINE_RETRY)
	cd $(BUILD) && $(WINE_ENV) KORVAL_WINDOWS_EXE=$(abspath $(WINBUILD))/korval.exe \
		ctest --output-on-failure -j $(JOBS) -L windows $(WINE_RETRY)

# The whole test suite built and run under AddressSanitizer and
# UndefinedBehaviorSanitizer.
test-sanitize:
	@test -f $(SAN_BUILD)/CMakeCache.txt || cmake -S . -B $(SAN_BUILD) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DKORVAL_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS) && chmod 1777 $(SAN_REPORTS)
	cd $(SAN_BUILD) && $(SAN_ENV) ctest --output-on-failure -j $(JOBS) -LE windows; status=$$?; \
	  if [ -n "$$(ls -A $(SAN_REPORTS))" ]; then \
	    cat $(SAN_REPORTS)/*; echo "test-sanitize: sanitizer reports above"; exit 1; fi; \
	  exit $$status

# Each fuzz target for FUZZ_SECONDS, from the seed corpus in the repository;
# what it finds besides goes to $(FUZZ_BUILD)/corpus, a crashing input to
# $(FUZZ_BUILD)/crash-*.
fuzz:
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || cmake -S . -B $(FUZZ_BUILD) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DKORVAL_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	for target in $(foreach t,$(FUZZ_TARGETS),$t:$(FUZZ_MAX_LEN_$t)); do t=$${target%:*}; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t && \
	  ./$(FUZZ_BUILD)/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=$${target#*:} \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ \
	    $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done

# Times the converter against a plain sort on generated maps, then (where
# Google Benchmark is installed) the conversion alone, in memory, what a
# guard costs and what a report costs at 20 million records; see
# docs/benchmark.md. The maps come from the generator built
# with the converter; the script needs GNU time and python3.
bench: all
	GENMAP=$(BUILD)/genmap bash bench/run.sh $(BUILD)/korval $(BUILD)/bench
	@if [ -x $(BUILD)/convert_bench ]; then ./$(BUILD)/convert_bench && ./$(BUILD)/guard_bench && \
	  ./$(BUILD)/lookup_bench; \
	else echo "bench: no convert_bench: install libbenchmark-dev for the in-memory benchmarks"; fi

clean:
	rm -rf $(BUILD) $(WINBUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(A64BUILD)
