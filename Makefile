# make demo: build everything and run the demo host natively and under Wine.
# make test: build everything and run every test, natively and under Wine.
# make dist: release builds, packed into dist/ (see the README).
.PHONY: all deps native asan tsan fuzz win32 wine-prefix test test-native test-sanitizers test-win32 demo bench dist python clean

WINE_PREFIX := $(CURDIR)/build/wine
WINE_STOP := WINEPREFIX=$(WINE_PREFIX) wineserver -k 2>/dev/null || true

all: native win32

deps:
	@scripts/ensure-deps

native: deps
	@cmake --preset native >/dev/null
	@cmake --build --preset native

# The native build again under AddressSanitizer+UBSan and ThreadSanitizer.
asan tsan fuzz: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@

win32: deps
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

# A throw-away Wine prefix, made once.
wine-prefix: $(WINE_PREFIX)/.ready
$(WINE_PREFIX)/.ready: | deps
	@echo "making the Wine prefix in $(WINE_PREFIX) (once; slow where 32-bit code runs under qemu)"
	@mkdir -p $(WINE_PREFIX)
	@scripts/wine-run wineboot -i >/dev/null 2>&1
	@WINEPREFIX=$(WINE_PREFIX) wineserver -w
	@touch $@

test: native asan tsan fuzz win32 wine-prefix
	@status=0; \
	ctest --preset native -j2 || status=1; \
	ctest --preset asan -j2 || status=1; \
	ctest --preset tsan -j2 || status=1; \
	ctest --preset fuzz || status=1; \
	ctest --preset win32 || status=1; \
	$(WINE_STOP); \
	exit $$status

test-native: native
	@ctest --preset native -j2

test-sanitizers: asan tsan
	@status=0; ctest --preset asan -j2 || status=1; ctest --preset tsan -j2 || status=1; exit $$status

test-win32: win32 wine-prefix
	@status=0; ctest --preset win32 || status=1; $(WINE_STOP); exit $$status

demo: native win32 wine-prefix
	@status=0; \
	./build/native/bin/demo_host ./build/native/bin/libquenthaloy.so || status=1; \
	for dll in Quenthaloy.dll QuenthaloyC.dll; do \
	  scripts/wine-run ./build/win32/bin/demo_host.exe $$dll || status=1; \
	done; \
	$(WINE_STOP); \
	exit $$status

# The benchmark report: release builds, the native benchmark, the Python
# worker pool through ctypes and the Windows twins under Wine, a table on the
# terminal, CSV files and plots in build/bench.
bench: wine-prefix
	@scripts/ensure-deps bench
	@cmake --preset release >/dev/null && cmake --build --preset release
	@cmake --preset win32-release >/dev/null && cmake --build --preset win32-release
	@mkdir -p build/bench
	@status=0; \
	./build/release/bin/native_bench --csv build/bench || status=1; \
	python3 bench/python_pool.py --csv build/bench ./build/release/bin/libquenthaloy.so || status=1; \
	for dll in Quenthaloy QuenthaloyC; do \
	  scripts/wine-run ./build/win32-release/bin/wine_bench_$$dll.exe --csv build/bench || status=1; \
	done; \
	$(WINE_STOP); \
	gnuplot -e "dir='build/bench'" bench/plot.gp || status=1; \
	echo "CSV files and plots: build/bench/"; \
	exit $$status

# The release: quenthaloy-<version>-win32.zip and the Debian packages
# libquenthaloy0 and libquenthaloy-dev, from release builds, made by cpack.
dist: deps
	@cmake --preset release >/dev/null && cmake --build --preset release
	@cmake --preset win32-release >/dev/null && cmake --build --preset win32-release
	@rm -rf dist build/dist && mkdir -p dist
	@cpack --config build/release/CPackConfig.cmake -B build/dist >/dev/null
	@cpack --config build/win32-release/CPackConfig.cmake -B build/dist >/dev/null
	@cp build/dist/*.deb build/dist/*.zip dist/
	@ls -l dist

# The Python package as a wheel that carries the native build's library:
# build/python/quenthaloy-<version>-py3-none-linux_<machine>.whl, for
# `pip install --no-index <wheel>`. PYTHON needs setuptools and wheel.
PYTHON ?= $(firstword $(wildcard /usr/bin/python3) python3)
python: native
	@python/build-wheel $(PYTHON) build/native/bin/libquenthaloy.so.0 build/python

clean:
	rm -rf build dist
