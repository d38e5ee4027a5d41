# Thin front end over CMake and CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo test test-native clean

all: build

$(BUILD)/build.ninja:
	@scripts/ensure-deps.sh native
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/tools/oeminfo $(BUILD)/oemdll/liboemdll.so

test-native: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test: test-native

clean:
	rm -rf $(BUILD)

.PHONY: bench
bench: build
	$(BUILD)/bench/oemdll_bench --benchmark_counters_tabular=true $(BENCH_ARGS)
