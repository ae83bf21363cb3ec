"""The carrying launcher built with a package inside it (the index's layout: formats/index.py)."""
import pathlib

from cabwright.formats.index import check_name, folder_fault, index
from cabwright.services import launcher
from cabwright.diagnostics import Faults


def build(files, icon=None, version=None, arch="i686", folder="Setup"):
    """The unsigned carrying launcher's bytes, the package inside it, in `folder`."""
    if not files:
        raise Faults("the package has no files")
    if folder_fault(folder):
        raise Faults(f"the folder {folder!r}: {folder_fault(folder)}")
    # install.ini first: the carrying launcher sets it aside first and moves it in last, so the
    # installer never reads an earlier copy's install.ini beside new CABs, or the other way round.
    files = sorted(files, key=lambda file: file[0].lower() != "install.ini")
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
    return launcher.build("carrier", "building the carrying launcher", icon, version,
                          [index(seen.items()), *(path for _, path in files)], arch)
