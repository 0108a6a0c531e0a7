# The two commands a newcomer needs: `make demo` and `make test`. Everything else is a step of them.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BIN := $(CURDIR)/build/bin
CMAKE_GEN := -G Ninja
# WERROR=ON (as CI runs it) makes every warning in our own code an error.
WERROR ?= OFF
CMAKE_OPTS := $(CMAKE_GEN) -DSETUP_WERROR=$(WERROR)

.PHONY: all bootstrap native asan win32 stage install fuzz test layers unit win32-test e2e fuzz-smoke demo bench screenshots clean

all: bootstrap native win32 stage

bootstrap:
	@scripts/bootstrap.sh

native:
	@cmake -S . -B build/native $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=Release -DSETUP_TESTS=OFF -DSETUP_BIN_DIR=$(BIN) >/dev/null
	@cmake --build build/native -j $(JOBS)
	@[ -e compile_commands.json ] || ln -s build/native/compile_commands.json compile_commands.json

asan:
	@cmake -S . -B build/asan $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=Debug -DSETUP_SANITIZE=ON >/dev/null
	@cmake --build build/asan -j $(JOBS)
	@ln -sfn build/asan/compile_commands.json compile_commands.json

win32:
	@cmake -S . -B build/win32 $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake -DSETUP_BIN_DIR=$(BIN) >/dev/null
	@cmake --build build/win32 -j $(JOBS)

# What the builder takes from beside itself: the shipped languages and layouts, and the
# finishing program that uninstall layouts carry.
stage:
	@rm -rf $(BIN)/layout $(BIN)/languages
	@cp -r layout $(BIN)/layout
	@cp -r languages $(BIN)/languages
	@if [ -f $(BIN)/finalise.exe ]; then cp $(BIN)/finalise.exe $(BIN)/layout/default-uninstall/finalise.exe; fi

# The builder, its tools, the runtime, languages, layouts and the manual under PREFIX:
# PREFIX/bin/setupbuild finds the rest in PREFIX/share/setupbuild.
PREFIX ?= /usr/local
install: native win32
	@cmake --install build/native --prefix "$(PREFIX)"
	@cmake --install build/win32 --prefix "$(PREFIX)" --component runtime

fuzz:
	@cmake -S . -B build/fuzz $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSETUP_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build/fuzz -j $(JOBS)

# Every test: native unit tests under ASan/UBSan, fuzz smoke runs, Windows tests and
# end-to-end runs under Wine + Xvfb.
test: bootstrap layers native asan win32 stage fuzz
	@$(MAKE) --no-print-directory unit fuzz-smoke win32-test e2e

# Which folder may include which: docs/architecture.md.
layers:
	@tests/tools/check_layers.py

unit:
	@cd build/asan && ctest --output-on-failure -j $(JOBS)

# A short run of each target from its seeds: CI (`make test` on a clean clone, 2 cores) must
# stay within 15 minutes; the long runs are made by hand (tests/fuzz/run.sh build/fuzz SECONDS).
fuzz-smoke:
	@tests/fuzz/run.sh build/fuzz 12

win32-test:
	@tests/win32/run.sh $(BIN)

e2e:
	@tests/e2e/run.sh $(BIN)

demo: all
	@scripts/demo.sh $(BIN)

# Pictures of every page of the default layouts (English, German, 150 %) in build/screenshots.
screenshots: all
	@scripts/screenshots.sh $(BIN)

bench: bootstrap native win32 stage
	@bench/run.sh $(BIN)

clean:
	rm -rf build
