# Entry points: `make` builds into dist/, `make test` runs the whole suite
# (native and under Wine), `make demo` packs examples/ and runs the result,
# `make screenshots` regenerates docs/screenshots/ under Wine,
# `make install PREFIX=DIR` installs the packer, the stub and the manual page
# under DIR (default /usr/local), `make package` writes the Debian package
# and the Windows zip into dist/ and runs lintian on the package, `make mutants`
# removes each safety guard in turn and checks that a test fails
# (MUTANTS="--only NAME" runs a subset).
# Each installs what is missing first (cmake/install-deps.sh).

JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 30
LONG_FUZZ_SECONDS ?= 600

.PHONY: all deps build-release build-mingw build-native build-fuzz dist install package test demo screenshots bench fuzz mutants format clean

all: dist

deps:
	@sh cmake/install-deps.sh

build-release: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS)

build-mingw: deps
	@cmake --preset mingw >/dev/null
	@cmake --build --preset mingw -j $(JOBS)

build-native: deps
	@cmake --preset native >/dev/null
	@cmake --build --preset native -j $(JOBS)

build-fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)

dist: build-release build-mingw
	@mkdir -p dist
	@cp build/release/tools/pack/qelvor-pack dist/
	@cp build/mingw/tools/pack/qelvor-pack.exe dist/
	@if [ -f build/mingw/res/qelvor-stub.exe ]; then cp build/mingw/res/qelvor-stub.exe dist/; fi
	@ls -l dist

install: dist
	@cmake --install build/release --prefix "$(PREFIX)" --strip

package: dist
	@cd build/release && cpack -G DEB -B $(CURDIR)/build/package >/dev/null
	@cd build/mingw && cpack -G ZIP -B $(CURDIR)/build/package >/dev/null
	@cp build/package/qelvor_*_amd64.deb build/package/qelvor-*-win64.zip dist/
	@ls -l dist/*.deb dist/*.zip
	lintian --fail-on error dist/qelvor_*_amd64.deb

test: dist package build-native build-fuzz
	@sh cmake/wine-run.sh cmd /c exit >/dev/null 2>&1 || true
	cd build/fuzz && QELVOR_FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --output-on-failure
	cd build/mingw && ctest --output-on-failure -j 2
	cd build/native && ctest --output-on-failure -j $(JOBS)

demo: dist
	@sh examples/demo.sh

screenshots: dist
	@python3 tests/e2e/screenshots.py --stub $(CURDIR)/build/mingw/res/qelvor-stub.exe \
	  --setup $(CURDIR)/build/mingw/tests/e2e/setup/setup.exe \
	  --probe $(CURDIR)/build/mingw/tests/e2e/e2e_probe.exe \
	  --pack $(CURDIR)/dist/qelvor-pack --pack-exe $(CURDIR)/dist/qelvor-pack.exe \
	  --wine-run $(CURDIR)/cmake/wine-run.sh --work $(CURDIR)/build/screenshots \
	  --out $(CURDIR)/docs/screenshots

bench: build-release
	@sh bench/run.sh

fuzz: build-fuzz
	cd build/fuzz && QELVOR_FUZZ_SECONDS=$(LONG_FUZZ_SECONDS) ctest --output-on-failure

mutants: deps
	@python3 tests/mutants/run_mutants.py --jobs $(JOBS) $(MUTANTS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build dist
