"""The launchers with a packager's resources: a resource script naming the icon, the version
resource and the carried files, compiled by MinGW's windres and put in place of the resources of
setup.exe or the carrying launcher as built (formats/pe.py). No compiler and no build tree: a
checkout and the installed package make the same bytes.
"""
import pathlib
import subprocess
import tempfile

from cabwright.diagnostics import Faults
from cabwright.formats import pe

# setup.exe and the carrying launcher as built, and the default icon: in a checkout, its build
# trees and resources; installed from the Debian package (make deb), the folder it puts them in.
CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
if (CHECKOUT / "toolchain" / "setup.ld").is_file():
    BUILT = {"i686": CHECKOUT / "build" / "win", "x86_64": CHECKOUT / "build" / "win64"}
    DEFAULT_ICON = CHECKOUT / "resources" / "setup.ico"
else:
    BUILT = {"i686": pathlib.Path("/usr/share/cabwright")}
    DEFAULT_ICON = BUILT["i686"] / "setup.ico"
WINDRES = "i686-w64-mingw32-windres"  # the resource section is the same for either processor


def built(target, arch="i686"):
    """The path of `target` (setup or carrier) as built, for the processor `arch`."""
    if arch not in BUILT:
        raise Faults(f"no {target}.exe for {arch} here; the cabwright package has it for i686")
    return BUILT[arch] / f"{target}.exe"


def script(directory, icon, version, rcdata):
    """The resource script and the files it names, in `directory`."""
    (directory / "icon.ico").write_bytes(icon if icon is not None else DEFAULT_ICON.read_bytes())
    # Without the code page windres reads the strings as code page 1252: Müller became MÃ¼ller.
    lines = ["#pragma code_page(65001)", "LANGUAGE 0x09, 0x01", '102 ICON "icon.ico"']
    if version is not None:
        lines.append(version)
    for n, item in enumerate(rcdata, 1):
        # windres reads each file where it lies, through a link of a name it can't misread.
        file = directory / f"{n}.bin"
        if isinstance(item, bytes):
            file.write_bytes(item)
        else:
            file.symlink_to(pathlib.Path(item).resolve())
        lines.append(f'{n} RCDATA "{file.name}"')
    (directory / "setup.rc").write_text("\n".join(lines) + "\n", encoding="utf-8")


def build(target, what, icon=None, version=None, rcdata=(), arch="i686"):
    """`target`'s bytes with the packager's resources: `icon` the .ico's bytes (None: the
    default icon), `version` a VERSIONINFO statement or None, `rcdata` the RCDATA resources from
    ID 1 on, each bytes or a file's path. Faults(`what` failed) with windres's reason."""
    built_exe = built(target, arch)
    try:
        exe = built_exe.read_bytes()
    except OSError as error:
        raise Faults(f"{what} failed: {built_exe}: {error.strerror} (make builds it in a checkout; "
                     "the cabwright package installs it)") from None
    with tempfile.TemporaryDirectory(prefix="cabwright-") as directory:
        directory = pathlib.Path(directory)
        script(directory, icon, version, rcdata)
        # cat for the C preprocessor, which windres runs by default: the script has no
        # directives a preprocessor acts on, and a machine with binutils alone has no compiler.
        step = [WINDRES, "--preprocessor=cat", "-O", "coff", "-i", "setup.rc", "-o", "setup.o"]
        try:
            result = subprocess.run(step, cwd=directory, capture_output=True)
        except OSError as error:
            raise Faults(f"{what} failed: {WINDRES}: {error.strerror} (Debian's "
                         "binutils-mingw-w64-i686 has it)") from None
        if result.returncode != 0:
            reason = result.stderr.decode("utf-8", "replace").strip().splitlines() or ["failed"]
            raise Faults(f"{what} failed: {reason[-1]}")
        return pe.with_resources(exe, (directory / "setup.o").read_bytes())
