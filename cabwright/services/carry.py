"""The carrying launcher built with a package inside it (the index's layout: formats/index.py)."""
import pathlib

from cabwright.formats.index import check_name, folder_fault, index
from cabwright.services import launcher
from cabwright.diagnostics import Faults

ROOT = pathlib.Path(__file__).resolve().parents[2]
TREES = {"i686": ROOT / "build" / "carry", "x86_64": ROOT / "build" / "carry64"}


def build(files, icon=None, version=None, arch="i686", folder="Setup"):
    """The unsigned carrying launcher's bytes, the package inside it, in `folder`."""
    if not files:
        raise Faults("the package has no files")
    if folder_fault(folder):
        raise Faults(f"the folder {folder!r}: {folder_fault(folder)}")
    files = [(f"{folder}\\{name}", path) for name, path in files]
    seen = {}
    for name, path in files:
        check_name(name)
        for other in seen:  # Windows' file names: letter case aside, a file is no folder
            a, b = name.upper(), other.upper()
            if a == b or a.startswith(b + "\\") or b.startswith(a + "\\"):
                raise Faults(f"{name!r}: the same file or folder as {other!r}")
        try:
            seen[name] = pathlib.Path(path).resolve(strict=True).stat().st_size
        except OSError as error:
            raise Faults(f"{name!r}: cannot read {path} ({error.strerror})") from None
    tree = TREES[arch]
    script = launcher.write_resources(tree / "package", icon, version)
    (tree / "package" / "index.bin").write_bytes(index(seen.items()))
    lines = ['1 RCDATA "index.bin"']
    for n, (name, path) in enumerate(files, 2):
        # windres reads each file where it lies, through a link of a name it can't misread.
        link = tree / "package" / f"{n}.bin"
        link.unlink(missing_ok=True)
        link.symlink_to(pathlib.Path(path).resolve())
        lines.append(f'{n} RCDATA "{link.name}"')
    with script.open("a", encoding="utf-8") as text:
        text.write("\n".join(lines) + "\n")
    # The script is written anew each time, so the resources are compiled again.
    return launcher.build(tree, script, "carrier", "building the carrying launcher", arch)
