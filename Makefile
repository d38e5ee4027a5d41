# Thin front end over CMake and CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo install-cups install-app deb test test-native test-windows windows package test-hardening test-sanitizers test-valgrind fuzz clean

# The driver package's date is that of the sources: the last commit's.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
endif

all: build

$(BUILD)/build.ninja:
	@scripts/ensure-deps.sh native
	@scripts/ensure-deps.sh cups
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The main job: the sample receipt through the plug-in, and what the printer
# would print; then the sample text receipt.
demo: build
	@mkdir -p out
	$(BUILD)/tools/oeminfo $(BUILD)/oemdll/liboemdll.so
	$(BUILD)/tools/rasterprint samples/receipt.png -o out/receipt.prn
	$(BUILD)/tools/rasterview --summary out/receipt.prn -o out/receipt.png
	$(BUILD)/tools/rasterprint samples/receipt.txt -o out/receipt-text.prn --preview out/receipt-text.png
	@echo "printer stream: out/receipt.prn   preview: out/receipt.png"
	@echo "the text receipt: out/receipt-text.prn   preview: out/receipt-text.png"

# The CUPS filter, the plug-in module and platform library it hosts, and the
# PPD, where CUPS finds them (root's, 0755 and 0644).
install-cups: build
	cmake --install $(BUILD) --component cups

# The printer application, the module and platform library beside the CUPS
# filter's, and its systemd unit.
install-app: build
	cmake --install $(BUILD) --component app

# The Debian packages, built by dpkg-buildpackage from a copy of the tree in
# build-deb/: $(DIST)/deb/*.deb, their debug symbols in $(DIST)/deb/debug/.
deb:
	@scripts/ensure-deps.sh deb
	scripts/build-deb.sh build-deb $(DIST)/deb $(JOBS)

test-native: build
	@scripts/ensure-deps.sh test
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

WINBUILD ?= build-windows

ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
FUZZ_TARGETS = filter_graphics job devmode handshake images printer_stream gpd raster text pdf

test: test-native test-windows test-hardening

# The Windows DLL for both architectures, and their suites under Wine.
windows:
	@scripts/ensure-deps.sh windows
	cmake -S . -B $(WINBUILD)/x64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DOEMDLL_WINEPREFIX=$(CURDIR)/$(WINBUILD)/wineprefix $(CMAKE_FLAGS)
	cmake -S . -B $(WINBUILD)/x86 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DOEMDLL_WINEPREFIX=$(CURDIR)/$(WINBUILD)/wineprefix $(CMAKE_FLAGS)
	cmake --build $(WINBUILD)/x64 -j $(JOBS)
	cmake --build $(WINBUILD)/x86 -j $(JOBS)
	@echo "DLLs: $(WINBUILD)/x64/bin/oemdll.dll $(WINBUILD)/x86/bin/oemdll.dll"

# The Windows driver package: the INF, GPD and INI at the top, each
# architecture's oemdll.dll in the folder the INF's source-disk sections
# name, and a zip of the folder.
DIST ?= dist
VERSION = $(shell grep -o 'oemdll VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
package: windows
	rm -rf $(DIST)/windows $(DIST)/oemdll-windows-*.zip
	mkdir -p $(DIST)/windows/amd64 $(DIST)/windows/x86
	cp $(WINBUILD)/x64/driver/windows/raster58.inf $(WINBUILD)/x64/driver/windows/raster58.gpd \
	    $(WINBUILD)/x64/driver/windows/raster58.ini $(DIST)/windows/
	cp $(WINBUILD)/x64/bin/oemdll.dll $(DIST)/windows/amd64/
	cp $(WINBUILD)/x86/bin/oemdll.dll $(DIST)/windows/x86/
	cd $(DIST) && zip -qrX oemdll-windows-$(VERSION).zip windows
	@echo "package: $(DIST)/windows/ and $(DIST)/oemdll-windows-$(VERSION).zip"

# Each run starts from a fresh Wine prefix. The INF check reads the package.
test-windows: package
	rm -rf $(WINBUILD)/wineprefix $(WINBUILD)/wineprefix.lock
	ctest --test-dir $(WINBUILD)/x64 --output-on-failure -j $(JOBS)
	ctest --test-dir $(WINBUILD)/x86 --output-on-failure -j $(JOBS)

# Hardening: the native suites again under AddressSanitizer and
# UndefinedBehaviorSanitizer (leaks checked), the concurrency tests under
# ThreadSanitizer, whole jobs under valgrind, and every fuzz target.
test-hardening: test-sanitizers test-valgrind fuzz

test-sanitizers:
	@scripts/ensure-deps.sh native
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DOEMDLL_SANITIZE=address,undefined -DOEMDLL_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DOEMDLL_SANITIZE=thread -DOEMDLL_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target oemdll_tests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure -R Concurrency

test-valgrind: build
	@scripts/ensure-deps.sh hardening
	valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	    $(BUILD)/tests/oemdll_tests --gtest_filter='PrintJob.*:JobAllocationFailure.*'

# Each target runs FUZZ_SECONDS on a working copy of its committed corpus;
# anything it finds lands in $(FUZZ_BUILD)/findings.
# Targets run side by side, one a core.
fuzz:
	@scripts/ensure-deps.sh hardening
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DOEMDLL_FUZZ=ON \
	    -DOEMDLL_TESTS=OFF -DOEMDLL_BENCH=OFF -DOEMDLL_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@mkdir -p $(FUZZ_BUILD)/findings
	@$(MAKE) --no-print-directory -j $(JOBS) $(addprefix fuzz-run-,$(FUZZ_TARGETS))

fuzz-run-%:
	@mkdir -p $(FUZZ_BUILD)/corpus/$*
	@echo "fuzz: $* for $(FUZZ_SECONDS) s"
	@$(FUZZ_BUILD)/fuzz/$*_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$*- $(FUZZ_BUILD)/corpus/$* fuzz/corpus/$* \
	    > $(FUZZ_BUILD)/$*.log 2>&1 || { tail -40 $(FUZZ_BUILD)/$*.log; exit 1; }
	@echo "fuzz: $*: $$(grep -hE 'stat::number_of_executed_units' $(FUZZ_BUILD)/$*.log | tr -s ' ')"

clean:
	rm -rf $(BUILD) $(WINBUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-deb $(DIST)

.PHONY: bench bench-wine bench-cups
bench: build
	$(BUILD)/bench/oemdll_bench --benchmark_counters_tabular=true $(BENCH_ARGS)

# What the CUPS filter adds to pdftopdf and gstoraster: a 100-page PDF.
bench-cups: build
	python3 bench/cups_bench.py cmake $(BUILD)

# What band capture costs in the Windows build, under Wine, both architectures.
bench-wine: windows
	scripts/wine-run.sh $(CURDIR)/$(WINBUILD)/wineprefix $(WINBUILD)/x64/bin/capture_ratio.exe
	scripts/wine-run.sh $(CURDIR)/$(WINBUILD)/wineprefix $(WINBUILD)/x86/bin/capture_ratio.exe

# The virtual printer's network path: a 100 MB job over loopback against a
# plain socket read, and the server's peak memory.
.PHONY: bench-listen
bench-listen: build
	$(BUILD)/bench/listen_ratio

# The printer application: what printing through the plug-in adds to the
# framework's own cost of a job (a driver that discards its lines).
.PHONY: bench-app
bench-app: build
	@scripts/ensure-deps.sh test
	python3 bench/app/app_bench.py $(BUILD)/bench/app/raster58-app-bench samples/receipt.png $(BENCH_ROUNDS)
