# setup.exe and everything that proves it. `make` builds the shipped executable; `make test` and
# `make demo` first install what a fresh Debian 12 machine lacks (scripts/deps.sh).
BUILD := build
CMAKE_WIN = cmake -S . -B $(BUILD)/$(1) -DCMAKE_BUILD_TYPE=MinSizeRel \
	-DCMAKE_TOOLCHAIN_FILE=cmake/$(2)-w64-mingw32.cmake >/dev/null

.PHONY: all deps windows host fuzzers test demo fuzz bench clean

all: deps
	$(call CMAKE_WIN,win,i686)
	cmake --build $(BUILD)/win --target setup
	@stat -c '%n: %s bytes' $(BUILD)/win/setup.exe

deps:
	@sh scripts/deps.sh

windows: deps
	$(call CMAKE_WIN,win,i686)
	cmake --build $(BUILD)/win -j2
	$(call CMAKE_WIN,win64,x86_64)
	cmake --build $(BUILD)/win64 -j2

host: deps
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(BUILD)/host -j2

fuzzers: deps
	cmake -S tests/fuzz -B $(BUILD)/fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build $(BUILD)/fuzz -j2

# Unit tests under ASan and UBSan, PE checks and the Wine cases in one tree; the fuzz targets,
# built by clang, in their own.
test: windows host fuzzers
	cd $(BUILD)/fuzz && ctest --output-on-failure -j2
	cd $(BUILD)/host && ctest --output-on-failure -j2

fuzz: fuzzers
	cmake --build $(BUILD)/fuzz --target fuzz

demo: windows
	python3 scripts/demo.py

# Not a test: setup.exe's start-up time against a bare launcher, NSIS and a batch file.
bench: windows
	python3 scripts/bench.py

clean:
	rm -rf $(BUILD)
