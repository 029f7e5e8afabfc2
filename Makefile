# Top-level entry points; CMake does the building.
BUILD    ?= build
WINBUILD ?= build-windows
JOBS     ?= 2

# Wine runs the Windows build in a prefix of its own under the build
# directory, quietly.
WINEPREFIX_DIR := $(abspath $(WINBUILD))/wineprefix
WINE_ENV := WINEPREFIX=$(WINEPREFIX_DIR) WINEDEBUG=-all

.PHONY: all configure run test bench clean windows test-windows

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

# Converts the bundled sample map into a listing and shows it.
run: all
	./$(BUILD)/korval -a examples/sample.map $(BUILD)/sample.ent
	@echo
	@cat $(BUILD)/SAMPLE.ENT

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE windows

# Cross-builds korval.exe for 64-bit Windows with MinGW-w64.
# The code maps of its executables are made by the native build's codemap
# and korval.
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
	@mkdir -p $(WINEPREFIX_DIR)
	@$(WINE_ENV) wineserver -p5 >/dev/null 2>&1 || true
	@test -f $(WINEPREFIX_DIR)/.korval-prefix || { $(WINE_ENV) wine reg add \
		'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
		>/dev/null 2>&1 && touch $(WINEPREFIX_DIR)/.korval-prefix; }
	@$(WINE_ENV) wine cmd /c exit >/dev/null 2>&1
	cd $(WINBUILD) && $(WINE_ENV) ctest --output-on-failure -j $(JOBS)
	cd $(BUILD) && $(WINE_ENV) KORVAL_WINDOWS_EXE=$(abspath $(WINBUILD))/korval.exe \
		ctest --output-on-failure -j $(JOBS) -L windows

# Times the converter against a plain sort on generated maps; see docs/benchmark.md.
bench: all
	bash bench/run.sh $(BUILD)/korval $(BUILD)/bench

clean:
	rm -rf $(BUILD) $(WINBUILD)
