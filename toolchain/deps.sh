#!/bin/sh
# Installs what building and testing need on Debian 12, only where something is missing,
# so running it again costs a few `command -v` checks.
set -eu

need=""
want() { # want COMMAND-OR-FILE PACKAGE...
    probe=$1; shift
    case $probe in
        /*) [ -e "$probe" ] && return 0 ;;
        *) command -v "$probe" >/dev/null 2>&1 && return 0 ;;
    esac
    need="$need $*"
}

want cmake cmake
want make make
want g++ g++
want i686-w64-mingw32-g++ g++-mingw-w64-i686 binutils-mingw-w64-i686
want x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
want /usr/include/gtest/gtest.h libgtest-dev
want wrestool icoutils
want osslsigncode osslsigncode  # make release signs with it
want /usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so libengine-pkcs11-openssl  # signing on a device
want /usr/lib/python3/dist-packages/PyKCS11/__init__.py python3-pykcs11  # checks the device
want /usr/lib/python3/dist-packages/cryptography/__init__.py python3-cryptography  # reads keys, certificates
want /usr/lib/python3/dist-packages/asn1crypto/__init__.py python3-asn1crypto  # reads signatures, time-stamps
want softhsm2-util softhsm2  # the release test's device, a token in software
want /usr/lib/x86_64-linux-gnu/pkcs11-spy.so opensc-pkcs11  # cards, USB tokens; a spy
want openssl openssl
# make package reads cabinets with GCab, from Debian's python3, and Windows programs' icons with
# pefile; the demo and the tests make cabinets with gcab.
want /usr/lib/python3/dist-packages/gi/__init__.py python3-gi
want /usr/lib/x86_64-linux-gnu/girepository-1.0/GCab-1.0.typelib gir1.2-gcab-1.0
want gcab gcab
want /usr/lib/python3/dist-packages/pefile.py python3-pefile
# Wine's 64-bit part runs everywhere; its 32-bit part only where the kernel runs 32-bit programs.
want /usr/lib/wine/wine64 wine wine64
want /usr/lib/wine/wine wine32:i386
want qemu-i386-static qemu-user-static  # runs that part where the kernel won't
want Xvfb xvfb
want xdotool xdotool
want makensis nsis
want import imagemagick
want /usr/share/wine/fonts/marlett.ttf fonts-wine  # the glyphs of a window frame's buttons
want /usr/bin/python3 python3  # make release runs Debian's own
want clang clang
want /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev
want locale-gen locales

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

japanese_locale() {
    # The double-byte cases run Wine under a Japanese locale, which gives code page 932.
    locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$' && return 0
    $SUDO sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    $SUDO locale-gen >/dev/null
}

if [ -z "$need" ]; then
    japanese_locale
    exit 0
fi
case $need in
    *:i386*)
        dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386 ;;
esac
echo "deps: installing$need" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
japanese_locale
