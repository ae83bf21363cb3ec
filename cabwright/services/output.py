"""Where a command writes: OUT is written beside its place and moved in, and an existing OUT is
replaced only when it is what this tool wrote there before, of the same form. Anything else (a
user's folder, a file where a folder is meant, a folder holding the inputs or the current
folder) is refused before anything is made: a tool writes its own output and nothing else.
"""
import ctypes
import errno
import os
import pathlib
import shutil
import zipfile

from cabwright.formats import ini

# Names that say another kind of file: a folder of such a name is a mistake, not a request.
FILE_KINDS = {".msi", ".cab", ".7z", ".rar", ".tar", ".gz", ".tgz", ".bz2", ".xz", ".zst",
              ".iso", ".img", ".txt", ".ini", ".inf", ".ico", ".dll", ".pdf", ".json", ".xml",
              ".pfx", ".p12", ".pem", ".lnk", ".msix", ".appx", ".deb", ".rpm"}
SHOWN = 4  # names quoted from what OUT holds
RENAME_EXCHANGE = 2


def form(out):
    """'zip', 'exe' or 'folder' by OUT's extension; None for a name of another kind of file."""
    suffix = pathlib.PurePath(out).suffix.lower()
    if suffix in (".zip", ".exe"):
        return suffix[1:]
    return None if suffix in FILE_KINDS else "folder"


def holds(folder):
    """The first few names in `folder`, for a fault line."""
    try:
        names = sorted(os.listdir(folder))
    except OSError as error:
        return f"({error.strerror})"
    shown = ", ".join(names[:SHOWN])
    return shown + (f" and {len(names) - SHOWN} more" if len(names) > SHOWN else "")


def is_launcher(path, carrying):
    """A PE file with setup.exe's icon group, and the carried index exactly when `carrying`."""
    try:
        import pefile
        image = pefile.PE(str(path), fast_load=True)
        image.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        types = {entry.id: {e.id for e in entry.directory.entries}
                 for entry in image.DIRECTORY_ENTRY_RESOURCE.entries}
    except Exception:  # anything pefile can't read is no launcher of ours
        return False
    return 102 in types.get(pefile.RESOURCE_TYPE["RT_GROUP_ICON"], ()) and \
        (1 in types.get(pefile.RESOURCE_TYPE["RT_RCDATA"], ())) == carrying


def named_by(profile_bytes):
    """Every path install.ini names, letter case aside, '/'-separated."""
    profile = ini.read(profile_bytes)
    return {part.strip().replace("\\", "/").casefold()
            for section in profile.sections.values() for key in section.keys.values()
            if key.value for part in key.value.split(",")}


def is_package_folder(folder):
    """A folder as make package writes one: setup.exe, install.ini and files it names."""
    files = [p for p in folder.rglob("*") if not p.is_dir()]
    top = {p.name.casefold(): p for p in files if p.parent == folder}
    if "setup.exe" not in top or "install.ini" not in top:
        return False
    try:
        named = named_by(top["install.ini"].read_bytes())
    except OSError:
        return False
    return all(p.is_file() and not p.is_symlink() and (
        p.relative_to(folder).as_posix().casefold() in named | {"setup.exe", "install.ini"})
        for p in files)


def is_package_zip(path):
    try:
        with zipfile.ZipFile(path) as archive:
            names = {name.casefold() for name in archive.namelist()}
    except (OSError, zipfile.BadZipFile, ValueError):
        return False
    return {"setup.exe", "install.ini"} <= names


def inside(path, folder):
    return path == folder or path.is_relative_to(folder)


def fault(out, kind, inputs=(), command="package"):
    """Why `command` may not write `out` as a `kind` ('folder', 'zip', 'exe', 'setup', 'cabs'),
    or None. `inputs` are the paths the command reads."""
    out = pathlib.Path(out)
    where = f"OUT {out}"
    resolved = out.resolve()
    # A folder of CABs only gains files; any other OUT is replaced whole.
    if kind != "cabs" and inside(pathlib.Path.cwd().resolve(), resolved):
        return f"{where}: holds the current folder; name a place of its own for the output"
    for given in inputs:
        if kind != "cabs" and given is not None and inside(pathlib.Path(given).resolve(),
                                                           resolved):
            return f"{where}: holds {given}, which {command} reads; name a place of its own"
    if not os.path.lexists(out):
        return None
    if out.is_symlink():
        return f"{where}: a symbolic link, which {command} didn't write; name another place"
    if kind in ("folder", "cabs") and not out.is_dir():
        return f"{where}: a file, not a folder; {command} writes a folder there"
    if kind not in ("folder", "cabs") and out.is_dir():
        return (f"{where}: a folder holding {holds(out) or 'nothing'}; {command} writes a file "
                "there and replaces only a file it wrote")
    ours = {"cabs": lambda: True, "folder": lambda: is_package_folder(out),
            "zip": lambda: is_package_zip(out), "exe": lambda: is_launcher(out, True),
            "setup": lambda: is_launcher(out, False)}[kind]()
    if ours:
        return None
    if kind == "folder":
        return (f"{where}: a folder holding {holds(out) or 'nothing'}, which {command} didn't "
                "write; it replaces only a package folder it wrote (name a new folder, or "
                "remove this one first)")
    what = {"zip": "a package ZIP file", "exe": "a program carrying a package",
            "setup": "setup.exe"}[kind]
    return (f"{where}: a file {command} didn't write; it replaces only {what} it wrote there "
            "(name a new file, or remove this one first)")


def cab_fault(folder, name):
    """Why `name` may not be written into the CAB folder `folder`, or None: a CAB replaces a
    cabinet of its name, never another file."""
    path = pathlib.Path(folder) / name
    if not os.path.lexists(path):
        return None
    try:
        if path.is_file() and not path.is_symlink() and path.open("rb").read(4) == b"MSCF":
            return None
    except OSError:
        pass
    return (f"OUT {folder}: holds {name}, which is not a cabinet; it is replaced only by a CAB "
            "of its name (name another folder, or remove it first)")


def replace(made, out):
    """`made` takes OUT's place in one rename; what OUT was (checked as ours) is removed after."""
    if not os.path.lexists(out):
        os.rename(made, out)
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(-100, bytes(made), -100, bytes(out), RENAME_EXCHANGE) != 0:
        error = ctypes.get_errno()
        if error not in (errno.EINVAL, errno.ENOSYS):
            raise OSError(error, os.strerror(error))
        # A file system that can't exchange: the old OUT steps aside first.
        aside = made.with_name(made.name + ".old")
        os.rename(out, aside)
        os.rename(made, out)
        made = aside
    shutil.rmtree(made) if made.is_dir() and not made.is_symlink() else made.unlink()
