"""make deb's package, installed by apt into a clean Debian 12 root and run there, in a folder of
its own with no checkout and no compiler: --help, --version, cab, cab-info --json and a package
signed with a test CA in all three forms, each the same as the checkout makes from the same
inputs (a signature's time aside: each file is compared with its signature removed, and the
root's signatures are verified).

    python3 -m tests.packager.deb_test   (from the repository's root, as root)

The root is debootstrap's minbase of bookworm from this machine's Debian mirror, with apt's
sources as this machine has them and the package's dependencies downloaded, not installed. It
is kept in build/deb-test as a tar file named by the dependencies and the sources, and made
again when they change. Status 77 (skipped) where debootstrap or the mirror can't be reached.
"""
import hashlib
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
SKIPPED = 77
UNREACHABLE = re.compile(r"Failed to fetch|Temporary failure resolving|Could not resolve|"
                         r"Could not connect|Unable to connect|Network is unreachable")
SOURCES = [pathlib.Path("/etc/apt/sources.list"),
           *sorted(pathlib.Path("/etc/apt/sources.list.d").glob("*.list")),
           *sorted(pathlib.Path("/etc/apt/sources.list.d").glob("*.sources"))]
INI = ("[CEAppManager]\r\nVersion = 1.0\r\nComponent = Notes\r\n\r\n[Notes]\r\n"
       "Description = Notes for handhelds\r\nCabFiles = notes.ARM.CAB,notes.SH3.CAB\r\n")
SETTINGS = {"VERSION": "1.2.3.4", "COMPANY": release_test.COMPANY, "ICON": "icon.ico",
            "PFX": "certs/signing.pfx", "PFX_PASS_FILE": "certs/pass.txt"}
PATHS = ("ICON", "PFX", "PFX_PASS_FILE")
# What would build the launchers from their sources, which the package must not need.
COMPILERS = ("i686-w64-mingw32-gcc", "i686-w64-mingw32-g++", "gcc", "cc", "c++", "cmake")
FORMS = ("out/folder", "out/notes.zip", "out/notes-setup.exe")


class Skip(Exception):
    pass


def in_root(root, command, cwd="/work"):
    """A shell command in the root, as a user there runs it: a clean environment."""
    return subprocess.run(["chroot", str(root), "/usr/bin/env", "-i", "PATH=/usr/bin:/bin",
                           "HOME=/root", "LANG=C.UTF-8", "/bin/sh", "-c",
                           f"cd {cwd} && {command}"], capture_output=True, text=True)


def apt(root, command):
    """apt-get in the root; Skip where it can't reach the mirror (update fails only a warning
    where an index can't be fetched)."""
    result = in_root(root, f"apt-get -y -q --no-install-recommends {command}", "/")
    if (result.returncode or command == "update") and \
            UNREACHABLE.search(result.stdout + result.stderr):
        raise Skip(f"apt-get {command}: the mirror can't be reached")
    return result


def cached_root(depends):
    """The tar file of the root, made where there is none for these dependencies and sources."""
    names = " ".join(re.sub(r"\s*\(.*?\)", "", d).strip() for d in depends.split(","))
    sources = b"".join(s.read_bytes() for s in SOURCES if s.is_file())
    tar = WORK / f"bookworm-{hashlib.sha256(names.encode() + sources).hexdigest()[:12]}.tar"
    if tar.exists():
        return tar
    mirror = subprocess.run(["apt-get", "indextargets", "--format", "$(REPO_URI)",
                             "Release: bookworm", "Identifier: Packages"],
                            capture_output=True, text=True).stdout.split()
    if not shutil.which("debootstrap") or not mirror:
        raise Skip("no debootstrap, or no bookworm mirror in apt's sources")
    fresh = WORK / "fresh"
    shutil.rmtree(fresh, ignore_errors=True)
    made = subprocess.run(["debootstrap", "--variant=minbase", "bookworm", str(fresh),
                           mirror[0]], capture_output=True, text=True)
    if made.returncode:
        raise Skip(f"debootstrap from {mirror[0]} failed: {made.stdout.strip()[-300:]}")
    (fresh / "etc/apt/sources.list").unlink()
    for source in SOURCES:
        if source.is_file():
            shutil.copyfile(source, fresh / str(source).lstrip("/"))
    shutil.copyfile("/etc/resolv.conf", fresh / "etc/resolv.conf")
    for step in ("clean", "update", f"install --download-only {names}"):
        result = apt(fresh, step)
        if result.returncode:
            raise AssertionError(f"apt-get {step} in the root: {result.stdout}{result.stderr}")
    subprocess.run(["tar", "-C", str(fresh), "-cf", f"{tar}.part", "."], check=True)
    os.replace(f"{tar}.part", tar)
    shutil.rmtree(fresh)
    for old in set(WORK.glob("bookworm-*.tar")) - {tar}:
        old.unlink()
    return tar


def inputs(folder, certs):
    """The application's sources and .inf, an icon and the test CA's PFX, in `folder`."""
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(make_cab_test.application().parents[1], folder / "app")  # dates kept
    (folder / "icon.ico").write_bytes(release_test.icon_file(release_test.ICON_IMAGES))
    (folder / "certs").mkdir()
    for name in ("signing.pfx", "pass.txt"):
        shutil.copyfile(certs / name, folder / "certs" / name)


def unsigned(name, data):
    """A signed program's bytes with its signature removed; another file's as they are."""
    if not name.endswith(".exe"):
        return data
    (WORK / "signed.exe").write_bytes(data)
    (WORK / "unsigned.exe").unlink(missing_ok=True)  # osslsigncode writes no file over another
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(WORK / "signed.exe"), "-out",
                    str(WORK / "unsigned.exe")], check=True, capture_output=True)
    return (WORK / "unsigned.exe").read_bytes()


def run():
    built = make("deb")
    if built.returncode:
        return [f"make deb: {built.stdout}{built.stderr}"]
    deb = ROOT / re.search(r"wrote (\S+\.deb)", built.stdout).group(1)
    depends = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], capture_output=True,
                             text=True, check=True).stdout
    tar = cached_root(depends)
    root = WORK / "root"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    subprocess.run(["tar", "-C", str(root), "-xf", str(tar)], check=True)
    shutil.copyfile("/etc/resolv.conf", root / "etc/resolv.conf")
    shutil.copyfile(deb, root / "tmp" / deb.name)
    installed = apt(root, f"-o Dpkg::Options::=--force-unsafe-io install /tmp/{deb.name}")
    if installed.returncode:
        return [f"apt-get install {deb.name}: {installed.stdout}{installed.stderr}"]
    failures = []
    if [name for name in COMPILERS if (root / "usr/bin" / name).exists()]:
        failures.append(f"the root has a compiler: {os.listdir(root / 'usr/bin')}")

    certs = release_test.certificates(WORK / "certs")
    here, there = WORK / "here", root / "work"
    for folder in (here, there):
        inputs(folder, certs)
    (here / "out").mkdir()

    # The same commands: the checkout's through make, with absolute paths; the root's from its
    # own folder, options and NAME=value words mixed.
    for words in (["--help"], ["--version"]):
        ours = subprocess.run(["/usr/bin/python3", "-m", "cabwright", *words], cwd=ROOT,
                              capture_output=True, text=True)
        theirs = in_root(root, f"cabwright {words[0]}")
        if theirs.returncode or theirs.stdout != ours.stdout or not ours.stdout:
            failures.append(f"cabwright {words[0]}: {theirs.stdout}{theirs.stderr}")
    ours = make("cab", f"INF={here}/app/setup/notes.inf", "CPU=ARM SH3", f"OUT={here}/cabs")
    theirs = in_root(root, "cabwright cab --inf app/setup/notes.inf CPU='ARM SH3' --out cabs")
    for result in (ours, theirs):
        if result.returncode:
            return failures + [f"cab: {result.stdout}{result.stderr}"]
    if tree(here / "cabs") != tree(there / "cabs") or len(tree(here / "cabs")) != 2:
        failures.append(f"cab: the root made {sorted(tree(there / 'cabs'))}, unlike the checkout")

    ours = subprocess.run(["/usr/bin/python3", "-m", "cabwright", "cab-info", "--json",
                           str(here / "cabs/notes.ARM.CAB")], cwd=ROOT, capture_output=True,
                          text=True)
    theirs = in_root(root, "cabwright cab-info --json cabs/notes.ARM.CAB")
    listed = json.loads(theirs.stdout or "{}")
    if theirs.returncode or listed.get("application") != "Notes" or \
            {**listed, "cab": None} != {**json.loads(ours.stdout), "cab": None}:
        failures.append(f"cab-info --json: {theirs.stdout}{theirs.stderr}")

    for folder in (here, there):
        (folder / "package").mkdir()
        (folder / "package/install.ini").write_bytes(INI.encode())
        for cab in (folder / "cabs").iterdir():
            shutil.copyfile(cab, folder / "package" / cab.name)
    for out in FORMS:
        ours = make("package", f"PACKAGE={here}/package", f"OUT={here}/{out}",
                    *(f"{k}={here / v if k in PATHS else v}" for k, v in SETTINGS.items()))
        words = " ".join(f"'{k}={v}'" for k, v in SETTINGS.items())
        theirs = in_root(root, f"cabwright package --package package --out {out} {words}")
        if ours.returncode or theirs.returncode:
            failures.append(f"package {out}: {ours.stderr}{theirs.stdout}{theirs.stderr}")
            continue
        mine, made = tree(here / out), tree(there / out)
        if {n: unsigned(n, d) for n, d in mine.items()} != \
                {n: unsigned(n, d) for n, d in made.items()} or \
                not any(name.endswith("install.ini") for name in made):
            failures.append(f"package {out}: the root made {sorted(made)}, unlike the checkout")
        for name, data in made.items():
            if name.endswith(".exe"):
                (WORK / "signed.exe").write_bytes(data)
                verdict = release_test.verify(WORK / "signed.exe", certs / "ca.pem")
                if verdict.returncode:
                    failures.append(f"package {out}: {name}'s signature: {verdict.stdout}")
    return failures


def main():
    if os.geteuid() != 0:
        print("deb: skipped: debootstrap and chroot need root")
        return SKIPPED
    WORK.mkdir(parents=True, exist_ok=True)
    try:
        failures = run()
    except Skip as reason:
        print(f"deb: skipped: {reason}")
        return SKIPPED
    print("\n".join(failures) if failures else "deb: as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
