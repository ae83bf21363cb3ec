"""make deb's package installed by apt into a clean Debian 12 root (debootstrap's minbase, kept in
build/deb-test) and run in a folder there, no checkout, no compiler: --help, --version, the man
pages, cab, inf2cab, cab-info --json and a package signed with the test CA in three forms, each as
the checkout makes it (programs with their signatures, which hold the time, removed; the root's
verified). Status 77 where the mirror is out of reach.

    python3 -m tests.packager.deb_test   (from the repository's root, as root)
"""
import gzip
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

from tests.packager import make_cab_test, release_test
from tests.packager.package_test import tree
from tests.packager.release_test import make

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "deb-test"
INI = ("[CEAppManager]\nVersion = 1.0\nComponent = Notes\n[Notes]\nDescription = Notes\n"
       "CabFiles = notes.ARM.CAB,notes.SH3.CAB\n")
TEXTS = {"VERSION": "1.2.3.4", "COMPANY": release_test.COMPANY}
UNREACHABLE = r"Failed to fetch|Temporary failure resolving|Could not (resolve|connect)"
FILES = {"ICON": "icon.ico", "PFX": "certs/signing.pfx", "PFX_PASS_FILE": "certs/pass.txt"}


def sh(*args, **options):
    return subprocess.run(args, capture_output=True, text=True, **options)


def in_root(root, command, cwd="/work"):  # as a user there runs it: a clean environment
    return sh("chroot", root, "/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=/root",
              "LANG=C.UTF-8", "/bin/sh", "-c", f"cd {cwd} && {command}")


def apt(root, command):  # update only warns about an index it can't fetch
    result = in_root(root, f"apt-get -y -q --no-install-recommends {command}", "/")
    if (result.returncode or command == "update") and re.search(UNREACHABLE, result.stdout):
        sys.exit(print(f"deb: skipped: apt-get {command}: the mirror can't be reached") or 77)
    assert result.returncode == 0, f"apt-get {command}: {result.stdout}{result.stderr}"


def unsigned(name, data, failures, signed=WORK / "signed.exe", plain=WORK / "unsigned.exe"):
    if not name.endswith(".exe"):
        return data
    signed.write_bytes(data)
    plain.unlink(missing_ok=True)  # osslsigncode writes no file over another
    if release_test.verify(signed, WORK / "certs/ca.pem").returncode:
        failures.append(f"{name}: its signature doesn't verify")
    sh("osslsigncode", "remove-signature", "-in", signed, "-out", plain)
    return plain.read_bytes()


def run(failures, tar=WORK / "bookworm-minbase.tar", root=WORK / "root", here=WORK / "here"):
    built = make("deb")
    assert built.returncode == 0, built.stdout + built.stderr
    shutil.rmtree(root, ignore_errors=True)
    if not tar.exists():
        mirror = sh("apt-get", "indextargets", "--format", "$(REPO_URI)", "Release: bookworm",
                    "Identifier: Packages").stdout.split() or ["(none in apt's sources)"]
        made = sh("debootstrap", "--variant=minbase", "bookworm", root, mirror[0])
        if made.returncode:
            sys.exit(print(f"deb: skipped: debootstrap: {made.stdout[-160:]}") or 77)
        subprocess.run(["tar", "-C", root, "-cf", f"{tar}.part", "."], check=True)
        os.replace(f"{tar}.part", tar)
        shutil.rmtree(root)
    root.mkdir()
    subprocess.run(["tar", "-C", root, "-xf", tar], check=True)
    (root / "etc/apt/sources.list").unlink()  # debootstrap's: apt's sources as this machine's
    sh("cp", "-r", *pathlib.Path("/etc/apt").glob("sources.list*"), root / "etc/apt")
    shutil.copyfile("/etc/resolv.conf", root / "etc/resolv.conf")
    shutil.copyfile(ROOT / re.search(r"wrote (\S+\.deb)", built.stdout)[1], root / "tmp/c.deb")
    apt(root, "update")
    apt(root, "-o Dpkg::Options::=--force-unsafe-io install /tmp/c.deb")
    if any((root / "usr/bin" / name).exists() for name in ("gcc", "cc", "cmake")):
        failures.append("the root has a compiler")
    certs, there = release_test.certificates(WORK / "certs"), root / "work"
    shutil.rmtree(here, ignore_errors=True)
    for folder in (here, there):  # the same inputs, the sources' times kept
        shutil.copytree(make_cab_test.application().parents[1], folder / "app")
        (folder / "icon.ico").write_bytes(release_test.icon_file(release_test.ICON_IMAGES))
        shutil.copytree(certs, folder / "certs")
    # The checkout's through make, absolute paths; the root's from its folder, options and words.
    make("cab", f"INF={here}/app/setup/notes.inf", "CPU=ARM SH3", f"OUT={here}/cabs")
    ours = [sh("/usr/bin/python3", "-m", "cabwright", *words, cwd=ROOT).stdout for words in
            (["--help"], ["--version"], ["cab-info", "--json", f"{here}/cabs/notes.ARM.CAB"])]
    theirs = [in_root(root, command) for command in ("cabwright --help", "cabwright --version",
              "cabwright cab --inf app/setup/notes.inf CPU='ARM SH3' --out cabs",
              "cabwright cab-info --json cabs/notes.ARM.CAB",
              "inf2cab app/setup/notes.inf /cpu ARM SH3 /dest cabs2")]
    if ours[:2] != [r.stdout for r in theirs[:2]] or "cabwright" not in ours[1] or not all(
            b".SH DESCRIPTION" in gzip.decompress((root / f"usr/share/man/man1/{n}.1.gz")
                                                  .read_bytes()) for n in ("cabwright", "inf2cab")):
        failures.append(f"--help, --version, the man pages: {[r.stdout for r in theirs[:2]]}")
    if len(tree(there / "cabs")) != 2 or not tree(here / "cabs") == tree(there / "cabs") == \
            tree(there / "cabs2") or \
            {**json.loads(ours[2]), "cab": 0} != {**json.loads(theirs[3].stdout), "cab": 0}:
        failures.append(f"cab, cab-info, inf2cab: {[r.stdout + r.stderr for r in theirs[2:]]}")
    for folder in (here, there):
        shutil.copytree(folder / "cabs", folder / "package")
        (folder / "package/install.ini").write_bytes(INI.encode())
    for out in ("out/folder", "out/notes.zip", "out/notes-setup.exe"):
        make("package", f"PACKAGE={here}/package", f"OUT={here}/{out}", *(
            f"{k}={v}" for k, v in TEXTS.items()), *(f"{k}={here / v}" for k, v in FILES.items()))
        words = " ".join(f"'{k}={v}'" for k, v in {**TEXTS, **FILES}.items())
        said = in_root(root, f"cabwright package --package package --out {out} {words}")
        mine, made = [{n: unsigned(f"{out}: {n}", d, failures) for n, d in tree(top / out).items()}
                      if (top / out).exists() else {} for top in (here, there)]
        if len(made) != 4 or mine != made:
            failures.append(f"package {out}: unlike the checkout's: {said.stdout}{said.stderr}")
    return failures


if __name__ == "__main__":  # as root, for debootstrap and chroot
    WORK.mkdir(parents=True, exist_ok=True)
    failures = run([])
    print("\n".join(failures) if failures else "deb: as expected")
    sys.exit(1 if failures else 0)
