# make        builds dist/quorventine.exe
# make demo   runs the launcher on a demo install tree under Wine and shows what the application received
# make test   every test: native unit tests, then the real executable under Wine
BUILD   := build
NATIVE  := $(BUILD)/native
WIN     := $(BUILD)/win
JOBS    := $(shell nproc)

.PHONY: all setup configure demo test clean
.DEFAULT_GOAL := all

all: dist/quorventine.exe

setup:
	@tools/setup.sh

$(WIN)/CMakeCache.txt: | setup
	cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

$(NATIVE)/CMakeCache.txt: | setup
	cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Debug

dist/quorventine.exe: setup $(WIN)/CMakeCache.txt
	cmake --build $(WIN) --target quorventine -j $(JOBS)
	@mkdir -p dist
	@cp $(WIN)/dist/quorventine.exe $@
	@echo "dist/quorventine.exe: $$(stat -c %s $@) bytes"

demo: dist/quorventine.exe
	cmake --build $(WIN) --target sample_app run_demo -j $(JOBS)
	@tools/demo.sh $(WIN)

test: dist/quorventine.exe $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)
	cmake --build $(WIN) -j $(JOBS)
	ctest --test-dir $(NATIVE) --output-on-failure
	ctest --test-dir $(WIN) --output-on-failure -j 4

clean:
	rm -rf $(BUILD) dist
