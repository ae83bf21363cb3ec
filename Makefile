# setup.exe and everything that proves it. `make` builds the shipped executable; every target
# first installs what a fresh Debian 12 machine lacks for it (toolchain/deps.sh): building and
# packaging need the cross-compiler and a few Python libraries, testing Wine and the rest.
BUILD := build
# A tree is configured once, when it is new: CMake warns about a toolchain file given to a tree
# that already has one, and `cmake --build` reconfigures by itself when a CMakeLists.txt changes.
# A tree whose toolchain file is gone (configured before a file moved) is made anew.
STALE = $$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:FILEPATH=//p' $(BUILD)/$(1)/CMakeCache.txt 2>/dev/null)
CONFIGURE = { test -z "$(STALE)" || test -f "$(STALE)" || rm -rf $(BUILD)/$(1); } && \
	{ test -f $(BUILD)/$(1)/CMakeCache.txt || cmake -S $(2) -B $(BUILD)/$(1) $(3) >/dev/null; }
CMAKE_WIN = $(call CONFIGURE,$(1),.,-DCMAKE_BUILD_TYPE=MinSizeRel \
	-DCMAKE_TOOLCHAIN_FILE=toolchain/$(2)-w64-mingw32.cmake)

.PHONY: all deps deps-test windows host fuzzers test demo fuzz bench clean release package cab cab-info \
	bench-cab deb

# setup.exe, and the carrying launcher whose resources make package replaces with a package's.
all: deps
	$(call CMAKE_WIN,win,i686)
	cmake --build $(BUILD)/win --target setup carrier
	@stat -c '%n: %s bytes' $(BUILD)/win/setup.exe

deps:
	@sh toolchain/deps.sh build

deps-test:
	@sh toolchain/deps.sh test

windows: deps-test
	$(call CMAKE_WIN,win,i686)
	cmake --build $(BUILD)/win -j2
	$(call CMAKE_WIN,win64,x86_64)
	cmake --build $(BUILD)/win64 -j2

host: deps-test
	$(call CONFIGURE,host,.,-DCMAKE_BUILD_TYPE=Debug)
	cmake --build $(BUILD)/host -j2

fuzzers: deps-test
	$(call CONFIGURE,fuzz,tests/fuzz,-DCMAKE_CXX_COMPILER=clang++)
	cmake --build $(BUILD)/fuzz -j2

# Unit tests under ASan and UBSan, PE checks and the Wine cases in one tree; the fuzz targets,
# built by clang, in their own.
test: windows host fuzzers
	cd $(BUILD)/fuzz && ctest --output-on-failure -j2
	cd $(BUILD)/host && ctest --output-on-failure -j2

fuzz: fuzzers
	cmake --build $(BUILD)/fuzz --target fuzz
	/usr/bin/python3 -m tests.fuzz.readers --seconds 300

demo: windows
	python3 -m wine.demo

# Not a test: setup.exe's start-up time against a bare launcher, NSIS and a batch file.
bench: windows
	python3 -m bench.run

# Not a test: make cab against gcab -c alone on 998 files of 200 MB (README, "Shipping a package").
bench-cab: deps-test
	/usr/bin/python3 -m bench.cab

# The packager's commands, each a thin call of the program (cabwright --help; README, "Shipping
# a package"). Every variable given on make's command line is handed over, each as one argument
# whatever characters it holds, so that the program refuses a misspelt one; the environment's
# are not. Debian's own python3, whatever comes first on PATH: it has the libraries deps.sh
# installs.
GIVEN = $(foreach v,$(sort $(.VARIABLES)),$(if $(filter command line,$(origin $(v))),\
	'$(v)=$(subst ','\'',$($(v)))'))
CABWRIGHT = /usr/bin/python3 -m cabwright
# The default build first, its output shown only if it fails: a bad setting shows as its one line.
QUIET_ALL = @out=$$($(MAKE) -s --no-print-directory all 2>&1) || { printf '%s\n' "$$out" >&2; exit 1; }
release: deps
	$(QUIET_ALL)
	@$(CABWRIGHT) release $(GIVEN)

package: deps
	$(QUIET_ALL)
	@$(CABWRIGHT) package $(GIVEN)

cab: deps
	@$(CABWRIGHT) cab $(GIVEN)

cab-info: deps
	@$(CABWRIGHT) cab-info $(GIVEN)

# The program as a Debian package, architecture-independent, that brands from the launchers built
# here (README, "A packager's first hour"): build/deb/cabwright_<version>_all.deb.
deb:
	@sh toolchain/deps.sh deb
	$(QUIET_ALL)
	@/usr/bin/python3 -m toolchain.deb $(BUILD)/deb

clean:
	rm -rf $(BUILD)
