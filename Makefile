# make demo: build everything and run the demo host natively and under Wine
#   (the x86 and the x64 DLLs).
# make test: build everything and run every test: natively, under sanitizers,
#   fuzzed, under Wine (x86 and x64 DLLs) and under qemu-user (arm64 Linux).
# make native: only the Linux library and its tests, with only what they need.
# make install: the Linux library, header, CMake package and pkg-config file
#   under PREFIX (default /usr/local), staged under DESTDIR if given.
# make dist: release builds, packed into dist/ (see the README).
.PHONY: all deps native build-native asan tsan fuzz win32 win64 arm64 wine-prefix test test-native \
        test-sanitizers test-win32 test-win64 test-arm64 demo bench install release-builds dist python clean

WINE_PREFIX := $(CURDIR)/build/wine
WINE_STOP := WINEPREFIX=$(WINE_PREFIX) wineserver -k 2>/dev/null || true
# Wine's 32-bit side runs the x86 DLLs' tests. Where the mirror cannot give
# it (scripts/ensure-deps says so), those tests are reported as not run.
WINE32_HERE := dpkg-query -W -f='$${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"
WINE32_ABSENT := echo "*** the x86 DLLs' tests under Wine NOT RUN: wine32:i386 could not be installed here ***"
# Where the kernel runs no 32-bit code, Wine's 32-bit side runs under qemu,
# which now and then crashes Wine itself (never the x64 DLLs' run of the same
# core, which has no retry): there a failed x86 test gets a second run.
WIN32_CTEST := ctest --preset win32 $$(grep -qs enabled /proc/sys/fs/binfmt_misc/qemu-i386 && echo --repeat until-pass:2)
PREFIX ?= /usr/local
# The NuGet package's runtimes, each from the build for that platform: the
# test builds (make test checks a package of them) or the release builds
# (make dist).
NUPKG_RIDS := win-x86 win-x64 linux-x64 linux-arm64
nupkg_runtimes = win-x86=build/$(1)/bin/QuenthaloyC.dll win-x64=build/$(2)/bin/QuenthaloyC.dll \
                 linux-x64=build/$(3)/bin/libquenthaloy.so linux-arm64=build/$(4)/bin/libquenthaloy.so
NUPKG_CHECK := scripts/make-nupkg . build/nupkg $(call nupkg_runtimes,win32,win64,native,arm64) >/dev/null && \
               tests/dist/check-nupkg build/nupkg/Quenthaloy.*.nupkg . build/nupkg/check $(NUPKG_RIDS)

all: build-native win32 win64 arm64

deps:
	@scripts/ensure-deps

# The Linux library and the native tests alone: no Wine, mingw-w64 or
# release tools are installed (their tests report themselves skipped).
native test-native:
	@scripts/ensure-deps native
	@cmake --preset native >/dev/null
	@cmake --build --preset native
	@ctest --preset native -j2

build-native: deps
	@cmake --preset native >/dev/null
	@cmake --build --preset native

# A library-only build configured for PREFIX, so that the library directory
# is the one GNUInstallDirs gives that prefix (lib/<triplet> under /usr).
install:
	@scripts/ensure-deps build
	@cmake -S . -B build/install -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$(PREFIX)" \
	  -DQUENTHALOY_TESTS=OFF -DQUENTHALOY_EXAMPLES=OFF -DQUENTHALOY_BENCHMARKS=OFF -DQUENTHALOY_DEBIAN=OFF >/dev/null
	@cmake --build build/install -j2
	@DESTDIR="$(DESTDIR)" cmake --install build/install

# The native build again under AddressSanitizer+UBSan and ThreadSanitizer.
asan tsan fuzz: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@

# The cross builds: the x86 and x64 DLLs (tests under Wine) and the arm64
# Linux library (tests under qemu-user).
win32 win64 arm64: deps
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@

# A throw-away Wine prefix, made once.
# A prefix made before Wine's 32-bit side was installed runs no Windows
# program once it is: it is made again.
wine-prefix: deps
	@if $(WINE32_HERE) && [ -e $(WINE_PREFIX)/.ready ] && ! scripts/wine-prefix-runs-x86 $(WINE_PREFIX); then \
	  echo "the Wine prefix $(WINE_PREFIX) was made without Wine's 32-bit side: made again"; \
	  rm -rf $(WINE_PREFIX); fi
	@$(MAKE) --no-print-directory $(WINE_PREFIX)/.ready
$(WINE_PREFIX)/.ready:
	@echo "making the Wine prefix in $(WINE_PREFIX) (once; slow where 32-bit code runs under qemu)"
	@mkdir -p $(WINE_PREFIX)
	@scripts/wine-run wineboot -i >/dev/null 2>&1
	@WINEPREFIX=$(WINE_PREFIX) wineserver -w
	@touch $@

test: build-native asan tsan fuzz win32 win64 arm64 wine-prefix
	@status=0; \
	ctest --preset native -j2 || status=1; \
	ctest --preset asan -j2 || status=1; \
	ctest --preset tsan -j2 || status=1; \
	ctest --preset fuzz || status=1; \
	if $(WINE32_HERE); then $(WIN32_CTEST) || status=1; else $(WINE32_ABSENT); fi; \
	ctest --preset win64 -j2 || status=1; \
	ctest --preset arm64 -j2 || status=1; \
	$(NUPKG_CHECK) || status=1; \
	$(WINE_STOP); \
	exit $$status

test-sanitizers: asan tsan
	@status=0; ctest --preset asan -j2 || status=1; ctest --preset tsan -j2 || status=1; exit $$status

test-win32: win32 wine-prefix
	@status=0; if $(WINE32_HERE); then $(WIN32_CTEST) || status=1; else $(WINE32_ABSENT); fi; \
	$(WINE_STOP); exit $$status

test-win64: win64 wine-prefix
	@status=0; ctest --preset win64 -j2 || status=1; $(WINE_STOP); exit $$status

test-arm64: arm64
	@ctest --preset arm64 -j2

demo: build-native win32 win64 wine-prefix
	@status=0; \
	./build/native/bin/demo_host ./build/native/bin/libquenthaloy.so || status=1; \
	for build in win32 win64; do \
	  if [ $$build = win32 ] && ! $(WINE32_HERE); then $(WINE32_ABSENT); continue; fi; \
	  for dll in Quenthaloy.dll QuenthaloyC.dll; do \
	    scripts/wine-run ./build/$$build/bin/demo_host.exe $$dll || status=1; \
	  done; \
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
	python3 bench/python_pool.py --package --csv build/bench ./build/release/bin/libquenthaloy.so || status=1; \
	if $(WINE32_HERE); then \
	  for dll in Quenthaloy QuenthaloyC; do \
	    scripts/wine-run ./build/win32-release/bin/wine_bench_$$dll.exe --csv build/bench || status=1; \
	  done; \
	else $(WINE32_ABSENT); fi; \
	$(WINE_STOP); \
	gnuplot -e "dir='build/bench'" bench/plot.gp || status=1; \
	echo "CSV files and plots: build/bench/"; \
	exit $$status

# The release builds, one per platform: what make dist and make python pack.
# The Linux ones are configured to install under /usr, as Debian packages do.
DIST_WINDOWS_PRESETS := win32-release win64-release
DIST_DEBIAN_PRESETS := release arm64-release
release-builds: deps
	@for preset in $(DIST_DEBIAN_PRESETS); do \
	  cmake --preset $$preset -DCMAKE_INSTALL_PREFIX=/usr >/dev/null && cmake --build --preset $$preset || exit 1; \
	done
	@for preset in $(DIST_WINDOWS_PRESETS); do \
	  cmake --preset $$preset >/dev/null && cmake --build --preset $$preset || exit 1; \
	done

# The Python package as one wheel per release build, each carrying that
# build's library (the Linux library, or the cdecl DLL) where the package
# looks for it and tagged for its machine:
# build/python/quenthaloy-<version>-py3-none-<platform>.whl, platform
# linux_x86_64, linux_aarch64, win32 and win_amd64, for
# `pip install --no-index <wheel>`. PYTHON needs setuptools and wheel.
PYTHON ?= $(firstword $(wildcard /usr/bin/python3) python3)
WHEEL_LIBRARIES := $(foreach preset,$(DIST_DEBIAN_PRESETS),build/$(preset)/bin/libquenthaloy.so) \
                   $(foreach preset,$(DIST_WINDOWS_PRESETS),build/$(preset)/bin/QuenthaloyC.dll)
python: release-builds
	@rm -rf build/python
	@for library in $(WHEEL_LIBRARIES); do python/build-wheel $(PYTHON) $$library build/python || exit 1; done

# The release, in dist/: quenthaloy-<version>-windows.zip from the Windows
# release builds (one per architecture); libquenthaloy<so> and
# libquenthaloy-dev from each Linux release build; the wheels of make python;
# Quenthaloy.<version>.nupkg with every build's library; SHA256SUMS of them
# all. Checked by lintian, the zip's layout check and tests/dist/check-release
# (the sums, each wheel's and runtime's machine, the NuGet package's C# under
# mono).
dist: python
	@rm -rf dist build/dist && mkdir -p dist
	@for preset in $(DIST_DEBIAN_PRESETS); do \
	  cpack --config build/$$preset/CPackConfig.cmake -B build/dist/deb >/dev/null || exit 1; \
	done
	@cp build/dist/deb/*.deb build/python/*.whl dist/
	@scripts/make-zip . dist $(addprefix build/,$(DIST_WINDOWS_PRESETS)) >/dev/null
	@scripts/make-nupkg . dist $(call nupkg_runtimes,win32-release,win64-release,release,arm64-release) >/dev/null
	@cd dist && sha256sum -- * >SHA256SUMS
	@tests/dist/check-zip . build/dist/zip-check --zip dist/quenthaloy-*-windows.zip $(addprefix build/,$(DIST_WINDOWS_PRESETS))
	@tests/dist/check-release . dist build/dist/release-check
	@lintian dist/*.deb >build/dist/lintian.log 2>&1 || true; \
	if grep -e '^E:' -e '^W:' build/dist/lintian.log; then echo "lintian: errors or warnings"; exit 1; fi; \
	echo "lintian: no errors, no warnings"
	@ls -l dist

clean:
	rm -rf build dist
