# Top-level entry points; CMake does the building.
BUILD ?= build
JOBS  ?= 2

.PHONY: all configure run test bench clean

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
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Times the converter against a plain sort on generated maps; see docs/benchmark.md.
bench: all
	bash bench/run.sh $(BUILD)/korval $(BUILD)/bench

clean:
	rm -rf $(BUILD)
