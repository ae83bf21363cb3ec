"""make deb: the program as an architecture-independent Debian package, built with dpkg-deb.

    /usr/bin/python3 -m toolchain.deb OUT_FOLDER   (from the repository's root, after make)

It holds the package cabwright for Debian's python3, the programs cabwright and inf2cab, their
man pages (from the program's own parsers and help), and what branding starts from: setup.exe
and the carrying launcher as make built them, and the default icon, in /usr/share/cabwright
(services/launcher.py finds them there). Its files are dated by SOURCE_DATE_EPOCH, else by the
last commit. The maintainer is DEBFULLNAME and DEBEMAIL, else git's user.
"""
import gzip
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys

from cabwright import __version__, cli

ROOT = pathlib.Path(__file__).resolve().parents[1]
SHARE = "usr/share/cabwright"
DEPENDS = [
    "python3 (>= 3.11)",
    "python3-cryptography", "python3-asn1crypto",  # keys, certificates, signatures
    "python3-gi", "gir1.2-gcab-1.0",  # cabinets
    "python3-defusedxml",  # a CAB's _setup.xml
    "python3-pefile",  # program files' icons and signatures
    "osslsigncode",  # signs, and verifies signatures
    "binutils-mingw-w64-i686",  # windres, which compiles the packager's resources
]
# Signing with a key on a device: the device's library reached from Python, and from osslsigncode.
RECOMMENDS = ["python3-pykcs11", "libengine-pkcs11-openssl"]
DESCRIPTION = """\
build, check, sign and ship a handheld device application's setup
 cabwright makes device CABs from an application's .inf (also under the
 device SDK's command line, as inf2cab), lists what a CAB will do to a
 device, and ships a package for ActiveSync's installer: install.ini, the
 CABs and setup.exe, which starts the installer, as a folder, a ZIP file or
 one program carrying the files, branded with an icon and version
 information and signed with Authenticode."""
# Byte-compiled on installing and removed on removing, as Debian's Python packages do.
POSTINST = """#!/bin/sh
set -e
if [ "$1" = configure ] && command -v py3compile >/dev/null 2>&1; then
    py3compile -p cabwright
fi
"""
PRERM = """#!/bin/sh
set -e
if command -v py3clean >/dev/null 2>&1; then
    py3clean -p cabwright
else
    find /usr/lib/python3/dist-packages/cabwright -name __pycache__ -type d -exec rm -rf {} +
fi
"""
# A script, not `python3 -m cabwright`: -m would put the current folder first on the module
# path, so a folder named cabwright where the user stands would run in place of the program.
PROGRAM = "#!/usr/bin/python3\nimport sys\n\nfrom cabwright.cli import {}\n\nsys.exit({}())\n"


def maintainer():
    def git(key):
        result = subprocess.run(["git", "config", key], cwd=ROOT, capture_output=True, text=True)
        return result.stdout.strip()
    name = os.environ.get("DEBFULLNAME") or git("user.name")
    email = os.environ.get("DEBEMAIL") or git("user.email")
    if not (name and email):
        sys.exit("deb: no maintainer: set DEBFULLNAME and DEBEMAIL (or git's user.name, "
                 "user.email)")
    return f"{name} <{email}>"


def epoch():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    result = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True,
                            text=True)
    return int(result.stdout.strip() or 0)


def put(root, path, data, mode=0o644):
    target = root / path
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(data)
    target.chmod(mode)


def man_page(text):
    """gzip's bytes, with no name or time in the header: the same bytes every build."""
    return gzip.compress(text.encode("utf-8"), 9, mtime=0)


def cabwright_page():
    from build_manpages.manpage import Manpage  # Debian's python3-argparse-manpage
    top = cli.parser()
    top.man_short_description = DESCRIPTION.splitlines()[0]
    # The epilog's paragraphs as man wraps them, not as --help breaks them.
    notes = "\n\n".join(" ".join(part.split()) for part in top.epilog.split("\n\n"))
    top._manpage = [{"heading": "notes", "content": notes}]
    return str(Manpage(top))


def inf2cab_page(root, when):
    """help2man's page from the staged program's own --help, dated `when`."""
    environment = {**os.environ, "PYTHONPATH": str(root / "usr/lib/python3/dist-packages"),
                   "SOURCE_DATE_EPOCH": str(when)}
    result = subprocess.run(
        ["help2man", "--no-info", "--section=1", f"--version-string={__version__}",
         "--name=device CABs from an .inf, on the device SDK's CAB tool's command line",
         str(root / "usr/bin/inf2cab")], capture_output=True, text=True, env=environment)
    if result.returncode != 0:
        sys.exit(f"deb: help2man failed: {result.stderr.strip()}")
    return result.stdout


def stage(root, when):
    for source in sorted((ROOT / "cabwright").rglob("*.py")):
        put(root, pathlib.Path("usr/lib/python3/dist-packages") / source.relative_to(ROOT),
            source.read_bytes())
    for name, function in (("cabwright", "main"), ("inf2cab", "inf2cab")):
        put(root, f"usr/bin/{name}", PROGRAM.format(function, function).encode(), 0o755)
    for source in ("build/win/setup.exe", "build/win/carrier.exe", "resources/setup.ico"):
        put(root, f"{SHARE}/{pathlib.Path(source).name}", (ROOT / source).read_bytes())
    put(root, "usr/share/man/man1/cabwright.1.gz", man_page(cabwright_page()))
    put(root, "usr/share/man/man1/inf2cab.1.gz", man_page(inf2cab_page(root, when)))


def control(root):
    files = sorted(p for p in root.rglob("*") if p.is_file() and "DEBIAN" not in p.parts)
    sums = "".join(f"{hashlib.md5(p.read_bytes()).hexdigest()}  {p.relative_to(root)}\n"
                   for p in files)
    size = sum((p.stat().st_size + 1023) // 1024 for p in files)
    put(root, "DEBIAN/control", (
        f"Package: cabwright\nVersion: {__version__}\nArchitecture: all\n"
        f"Maintainer: {maintainer()}\nInstalled-Size: {size}\nSection: devel\n"
        f"Priority: optional\nDepends: {', '.join(DEPENDS)}\n"
        f"Recommends: {', '.join(RECOMMENDS)}\nDescription: {DESCRIPTION}\n").encode())
    put(root, "DEBIAN/md5sums", sums.encode())
    put(root, "DEBIAN/postinst", POSTINST.encode(), 0o755)
    put(root, "DEBIAN/prerm", PRERM.encode(), 0o755)


def main(out):
    out = pathlib.Path(out)
    root = out / "root"
    shutil.rmtree(root, ignore_errors=True)
    when = epoch()
    stage(root, when)
    control(root)
    for path in [root, *root.rglob("*")]:
        if path.is_dir():
            path.chmod(0o755)
        os.utime(path, (when, when))
    deb = out / f"cabwright_{__version__}_all.deb"
    result = subprocess.run(["dpkg-deb", "--root-owner-group", "-Zxz", "--build", str(root),
                             str(deb)], capture_output=True, text=True,
                            env={**os.environ, "SOURCE_DATE_EPOCH": str(when)})
    if result.returncode != 0:
        sys.exit(f"deb: dpkg-deb failed: {result.stderr.strip()}")
    shutil.rmtree(root)
    print(f"deb: wrote {deb}, {deb.stat().st_size:,} bytes")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/deb")
