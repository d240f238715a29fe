# make        builds dist/quorventine.exe (ICON=path/to/app.ico: with the product's own icon in place of ours) and
#             dist/quorventine-check.zip, the check program that runs the behaviour cases on any Windows
# make demo   runs the launcher on a demo install tree under Wine and shows what the application received
# make test   every test: native unit tests and fuzzing (sanitized), then the real executable under Wine
# make fuzz   the fuzz target alone, for SECONDS (600 unless given)
# make bench  the benchmark under Wine (a few minutes); writes bench/results.md and bench/burst16.svg
#             (PREVIOUS=path/to/quorventine.exe: an earlier launcher measured beside this one)
BUILD   := build
NATIVE  := $(BUILD)/native
WIN     := $(BUILD)/win
JOBS    := $(shell nproc)
ICON_FILE = $(or $(ICON),resources/quorventine.ico)

.PHONY: all setup demo test fuzz bench clean dist/quorventine-check.zip
.DEFAULT_GOAL := all

all: dist/quorventine.exe dist/quorventine-check.zip

setup:
	@tools/setup.sh

$(WIN)/CMakeCache.txt: | setup
	cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DQUORVENTINE_TESTS=ON

$(NATIVE)/CMakeCache.txt: | setup
	CXX=clang++ cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Debug

# The icon of this run, ours unless ICON names another: a changed setting takes effect on this build.
dist/quorventine.exe: setup $(WIN)/CMakeCache.txt
	@grep -qxF 'QUORVENTINE_ICON:FILEPATH=$(ICON_FILE)' $(WIN)/CMakeCache.txt || \
	  cmake -S . -B $(WIN) '-DQUORVENTINE_ICON=$(ICON_FILE)' >/dev/null
	cmake --build $(WIN) --target quorventine -j $(JOBS)
	@mkdir -p dist
	@cp $(WIN)/dist/quorventine.exe $@
	@echo "dist/quorventine.exe: $$(stat -c %s $@) bytes"

# The check program with the launcher under test and the probes, for any Windows.
dist/quorventine-check.zip: dist/quorventine.exe
	cmake --build $(WIN) --target check_zip -j $(JOBS)
	@cp $(WIN)/dist/quorventine-check.zip $@
	@echo "$@: $$(stat -c %s $@) bytes"

demo: dist/quorventine.exe
	cmake --build $(WIN) --target probe run_demo -j $(JOBS)
	@tools/demo.sh $(WIN)

test: dist/quorventine.exe dist/quorventine-check.zip $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)
	cmake --build $(WIN) -j $(JOBS)
	ctest --test-dir $(NATIVE) --output-on-failure
	ctest --test-dir $(WIN) --output-on-failure -j 4

bench: dist/quorventine.exe
	cmake --build $(WIN) --target probe floor bench -j $(JOBS)
	@tools/bench.sh $(WIN) $(abspath $(PREVIOUS))

# The fuzz target alone, for longer than the 20 s that `make test` gives it.
fuzz: $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) --target command_line_fuzz -j $(JOBS)
	@mkdir -p $(NATIVE)/fuzz-corpus
	$(NATIVE)/command_line_fuzz -max_total_time=$(or $(SECONDS),600) -max_len=512 $(NATIVE)/fuzz-corpus tests/fuzz-seeds

clean:
	rm -rf $(BUILD) dist
