#!/bin/sh
# Installs what a command needs on Debian 12, only where something is missing, so running it
# again costs a few `command -v` checks. As root, or through sudo.
#   sh toolchain/deps.sh build   make, make release, make package, make cab: the cross-compiler
#                                and the libraries the packager's tools import
#   sh toolchain/deps.sh deb     make deb: the above, and what makes the man pages
#   sh toolchain/deps.sh test    make test, make demo, make bench: the above, Wine, qemu, Xvfb, ...
# A package mirror has bad hours (an index of one architecture stale for hours): `apt-get update`
# is tried a few times, then what it could fetch is used; each package that can't be installed
# gets one line with apt's reason. Only Wine's 32-bit part may be missing afterwards: the suite
# then runs the 64-bit twin and reports the case that needs it as skipped.
set -eu

need=""
optional=""  # may fail to install without failing the command
refused="$(dirname "$0")/../build/.deps-refused-wine32"
want() { # want COMMAND-OR-FILE PACKAGE...
    probe=$1; shift
    case $probe in
        /*) [ -e "$probe" ] && return 0 ;;
        *) command -v "$probe" >/dev/null 2>&1 && return 0 ;;
    esac
    need="$need $*"
}

build() {
    want cmake cmake
    want make make
    want i686-w64-mingw32-g++ g++-mingw-w64-i686 binutils-mingw-w64-i686
    want wrestool icoutils
    want osslsigncode osslsigncode  # make release signs with it
    want /usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so libengine-pkcs11-openssl  # on a device
    want /usr/lib/python3/dist-packages/PyKCS11/__init__.py python3-pykcs11  # checks the device
    want /usr/lib/python3/dist-packages/cryptography/__init__.py python3-cryptography  # keys
    want /usr/lib/python3/dist-packages/asn1crypto/__init__.py python3-asn1crypto  # signatures
    want openssl openssl
    # make package reads cabinets with GCab, from Debian's python3, Windows programs' icons with
    # pefile, and the XML form of the device's install script with defusedxml.
    want /usr/lib/python3/dist-packages/gi/__init__.py python3-gi
    want /usr/lib/x86_64-linux-gnu/girepository-1.0/GCab-1.0.typelib gir1.2-gcab-1.0
    want /usr/lib/python3/dist-packages/pefile.py python3-pefile
    want /usr/lib/python3/dist-packages/defusedxml/__init__.py python3-defusedxml
    want /usr/bin/python3 python3  # the packager's tools run Debian's own
}

deb_too() {
    want /usr/lib/python3/dist-packages/build_manpages/__init__.py python3-argparse-manpage
    want help2man help2man
}

test_too() {
    want g++ g++
    want x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    want /usr/include/gtest/gtest.h libgtest-dev
    want softhsm2-util softhsm2  # the release test's device, a token in software
    want /usr/lib/x86_64-linux-gnu/pkcs11-spy.so opensc-pkcs11  # cards, USB tokens; a spy
    want gcab gcab  # the demo and the tests make cabinets with it
    want cabextract cabextract  # a second reader of the CABs we write
    want /usr/lib/python3/dist-packages/hypothesis/__init__.py python3-hypothesis  # round trips
    want /usr/bin/time time  # make bench-cab: peak memory
    want debootstrap debootstrap  # a clean Debian root that the .deb is installed into
    # Wine's 64-bit part runs everywhere; its 32-bit part only where the kernel runs 32-bit
    # programs, or under qemu.
    want /usr/lib/wine/wine64 wine wine64
    # Asked for again an hour after apt last refused it, not at every `make test` meanwhile.
    if [ ! -e /usr/lib/wine/wine ] && [ -z "$(find "$refused" -mmin -60 2>/dev/null)" ]; then
        optional="wine32:i386"
    fi
    want qemu-i386-static qemu-user-static  # runs that part where the kernel won't
    want Xvfb xvfb
    want xdotool xdotool
    want makensis nsis
    want import imagemagick
    want /usr/share/wine/fonts/marlett.ttf fonts-wine  # the glyphs of a window frame's buttons
    want clang clang
    want /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev
    want locale-gen locales
}

case ${1:-build} in
    build) build ;;
    deb) build; deb_too ;;
    test) build; deb_too; test_too ;;
    *) echo "deps: usage: sh toolchain/deps.sh build|deb|test" >&2; exit 2 ;;
esac

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
# One -q: with two, apt leaves out the unmet dependencies that explain a refusal.
APT="env DEBIAN_FRONTEND=noninteractive $SUDO apt-get -y -q --no-install-recommends"

japanese_locale() {
    # The double-byte cases run Wine under a Japanese locale, which gives code page 932.
    [ "${1:-build}" = test ] || return 0
    locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$' && return 0
    $SUDO sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    $SUDO locale-gen >/dev/null
}

if [ -z "$need$optional" ]; then
    japanese_locale "${1:-build}"
    exit 0
fi
if [ -n "$optional" ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
echo "deps: installing$need $optional" >&2

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# A fetch that fails now may not in a minute; one still failing after that (a stale index)
# leaves the others fetched, and apt uses them.
for pause in 10 30 0; do
    $SUDO apt-get update -qq >"$log" 2>&1 && break
    if [ "$pause" = 0 ]; then
        echo "deps: apt-get update: $(grep -m1 '^E:' "$log" | cut -c4-); going on with the" \
            "indexes it could fetch" >&2
    else
        sleep "$pause"
    fi
done

# apt's reason for refusing one package, on one line: its first error, and the first unmet
# dependency when it names one.
reason() {
    unmet=$(sed -n 's/^ *\([^ ].*: Depends: .*\)/\1/p' "$log" | head -n 1 | tr -s ' ')
    error=$(grep -m1 '^E:' "$log" | cut -c4-)
    echo "${error:-apt-get failed}${unmet:+ ($unmet)}"
}

failed=""
# All at once when the mirror is well; one by one when it isn't, so one package apt can't have
# costs only itself.
if [ -n "$need" ] && ! $APT install $need >"$log" 2>&1; then
    for package in $need; do
        if ! $APT install "$package" >"$log" 2>&1; then
            echo "deps: cannot install $package: $(reason)" >&2
            failed="$failed $package"
        fi
    done
fi
for package in $optional; do
    if ! $APT install "$package" >"$log" 2>&1; then
        echo "deps: cannot install $package: $(reason)" >&2
        mkdir -p "$(dirname "$refused")" && touch "$refused"
        echo "deps: going on without Wine's 32-bit part: the tests run setup.exe's 64-bit twin," \
            "and e2e.shipped-i386 is skipped" >&2
    fi
done
japanese_locale "${1:-build}"
[ -z "$failed" ]
