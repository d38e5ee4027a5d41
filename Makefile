# Thin front end over CMake and CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo test test-native test-windows windows clean

all: build

$(BUILD)/build.ninja:
	@scripts/ensure-deps.sh native
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The main job: the sample receipt through the plug-in, and what the printer
# would print.
demo: build
	@mkdir -p out
	$(BUILD)/tools/oeminfo $(BUILD)/oemdll/liboemdll.so
	$(BUILD)/tools/rasterprint samples/receipt.png -o out/receipt.prn
	$(BUILD)/tools/rasterview --summary out/receipt.prn -o out/receipt.png
	@echo "printer stream: out/receipt.prn   preview: out/receipt.png"

test-native: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

WINBUILD ?= build-windows

test: test-native test-windows

# The Windows DLL for both architectures, and their suites under Wine.
windows:
	@scripts/ensure-deps.sh windows
	cmake -S . -B $(WINBUILD)/x64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DOEMDLL_WINEPREFIX=$(CURDIR)/$(WINBUILD)/wineprefix $(CMAKE_FLAGS)
	cmake -S . -B $(WINBUILD)/x86 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DOEMDLL_WINEPREFIX=$(CURDIR)/$(WINBUILD)/wineprefix $(CMAKE_FLAGS)
	cmake --build $(WINBUILD)/x64 -j $(JOBS)
	cmake --build $(WINBUILD)/x86 -j $(JOBS)
	@echo "DLLs: $(WINBUILD)/x64/bin/oemdll.dll $(WINBUILD)/x86/bin/oemdll.dll"

# Each run starts from a fresh Wine prefix.
test-windows: windows
	rm -rf $(WINBUILD)/wineprefix $(WINBUILD)/wineprefix.lock
	ctest --test-dir $(WINBUILD)/x64 --output-on-failure -j $(JOBS)
	ctest --test-dir $(WINBUILD)/x86 --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(WINBUILD)

.PHONY: bench
bench: build
	$(BUILD)/bench/oemdll_bench --benchmark_counters_tabular=true $(BENCH_ARGS)
