#!/usr/bin/env python3
"""The shipped 32-bit setup.exe itself (and the carrying launcher), under Wine's 32-bit part.

Where the kernel refuses 32-bit programs, the rest of the suite runs the 64-bit twin; this case
then lets qemu-i386 run Wine's 32-bit part (registered with binfmt_misc for the length of the
case, which takes root), so the shipped file still does its job once per run for real. It is
slow that way: minutes, most of them making the prefix.
"""
import functools
import os
import pathlib
import subprocess
import sys

os.environ["SETUP_WINE_DIR"] = "wine32"
os.environ["SETUP_E2E_ARCH"] = "i386"
from tests.e2e import carrier, e2e  # noqa: E402
from wine import harness as wine  # noqa: E402

# The branded, signed build that `ctest -R release.branded` leaves behind (make release).
BRANDED = wine.BUILD / "release-test" / "package" / "setup.exe"
BINFMT = pathlib.Path("/proc/sys/fs/binfmt_misc")
QEMU = "/usr/bin/qemu-i386-static"
WINE32 = "/usr/lib/wine/wine"  # Wine's 32-bit loader
# 32-bit x86 ELF executables and shared objects, as qemu's own binfmt rules describe them.
RULE = (r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
        r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
        f":{QEMU}:FPC")


def run_32bit():
    """Makes Wine's 32-bit part runnable; returns how to undo that, or why it can't be."""
    if not os.path.exists(WINE32):
        return ("Wine's 32-bit part is not installed (Debian's wine32:i386; toolchain/deps.sh "
                "says why when apt refuses it)")
    if wine.can_run_32bit():
        return lambda: None
    if not os.path.exists(QEMU):
        return f"the kernel runs no 32-bit programs and {QEMU} is not installed"
    if (BINFMT / "qemu-i386").exists():
        return "a qemu-i386 rule of binfmt_misc is registered already, not ours to change"
    try:
        if not (BINFMT / "register").exists():
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True,
                           capture_output=True)
        (BINFMT / "register").write_text(RULE)
    except (OSError, subprocess.CalledProcessError) as error:
        return f"the kernel runs no 32-bit programs and qemu can't be registered for them ({error})"
    return lambda: (BINFMT / "qemu-i386").write_text("-1")


def branded(runner):
    """The branded file does the launcher's job as the default one does: the default argument,
    and the message when the registry names no installer."""
    if not BRANDED.exists():
        print(f"shipped-i386: branded file: skipped, {BRANDED} is not built "
              "(ctest -R release.branded makes it)")
        return []
    plain = wine.run_setup
    wine.run_setup = functools.partial(plain, launcher=wine.windows(BRANDED))
    try:
        return (e2e.verify("branded-default", e2e.sz(wine.INSTALLER), "D:\\PKG",
                           "D:\\PKG\\setup.exe", f'{wine.INSTALLER} "D:\\PKG\\install.ini"', False,
                           runner=runner, patience_s=900)
                + e2e.verify("branded-no-key", "none", "D:\\PKG", "D:\\PKG\\setup.exe", None,
                             True, runner=runner, patience_s=900))
    finally:
        wine.run_setup = plain


def main():
    undo = run_32bit()
    if isinstance(undo, str):
        print(f"shipped-i386: skipped: {undo}")
        return 77
    try:
        wine.create_prefix()
        e2e.lay_out_files()
        # A 64-bit runner, so only setup.exe and the installer it starts are 32-bit.
        runner = wine.BUILD / "win64" / "wine" / "runner.exe"
        failures = e2e.verify("shipped-i386", e2e.sz(wine.INSTALLER), "D:\\PKG", "D:\\PKG\\setup.exe",
                              f'{wine.INSTALLER} "D:\\PKG\\install.ini"', False,
                              runner=runner, patience_s=900)
        failures += branded(runner)
        failures += carrier.run("carrier-package", runner=runner, patience_s=900)
    finally:
        wine.stop()
        undo()
    print("\n".join(failures) if failures else "shipped-i386: as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
