#!/usr/bin/env python3
"""make package: a package folder checked the way the installer reads it, shipped as one folder,
one ZIP file or one program that carries it.

    python3 -m cabwright.commands.package PACKAGE=folder OUT=path[.zip|.exe] [CODEPAGE=1252] [every make release setting]

PACKAGE holds install.ini and the files it names. Every fault of the package is told, one line
each, before anything is built; then setup.exe is made as make release makes it from the same
settings, and OUT written in one rename: a folder holding setup.exe, install.ini and the files
it names at their relative paths, or the same as a ZIP file; or, for OUT ending in .exe, the
carrying launcher with those files inside it, branded and signed the same way. On any fault OUT
is left as it was.
"""
import os
import pathlib
import re
import shutil
import tempfile
import zipfile

from cabwright.commands import release
from cabwright.formats import cabinet, index, ini, resources
from cabwright.services import cab_signing, output
from cabwright.settings import gather
from cabwright.diagnostics import Faults, told

OPTIONAL = {"uninstall", "iconfile", "iconindex", "devicefile"}
# Characters Windows allows in no file name.
FORBIDDEN = re.compile(r'[<>:"|?*\x00-\x1f]')
ZIP_TIME = (1980, 1, 1, 0, 0, 0)  # the earliest a ZIP entry can carry: the same bytes every run


class Package:
    """What the checks found: faults and warnings as lines, the files to ship, the summary."""

    def __init__(self, folder, code_page):
        self.folder, self.code_page = folder, code_page  # the CABs' scripts' code page too
        self.faults, self.warnings, self.seen = [], [], set()
        self.files = {}  # relative path in the package (as on disk, '/'-separated) -> summary
        self.cabs = []  # (relative path, cabinet.Cabinet)

    def fault(self, where, text):
        told(self.faults, self.seen, f"{where}: {text}", self.folder)

    def warn(self, where, text):
        told(self.warnings, self.seen, f"{where}: {text}", self.folder)

def relative_fault(entry):
    """Why a path from install.ini names no file inside the package, or None."""
    if "/" in entry:
        return "uses '/'; the installer's paths take '\\' between folders"
    if entry.startswith("\\") or re.match(r"[A-Za-z]:", entry):
        return "is absolute; it must be relative to install.ini's folder"
    parts = entry.split("\\")
    if ".." in parts:
        return "leaves install.ini's folder ('..')"
    if any(not part or part.endswith((".", " ")) for part in parts):
        # Windows drops a trailing dot or blank from a name: it would open another file.
        return "has an empty part, or one ending in '.' or a blank"
    if FORBIDDEN.search(entry):
        return "holds a character Windows allows in no file name"
    return None


def find(folder, entry):
    """The file `entry` names under `folder`, found as Windows finds it (letter case ignored):
    its path as on disk, relative and '/'-separated; or why none is found."""
    here, found = folder, []
    for part in entry.split("\\"):
        try:
            names = [n for n in os.listdir(here) if n.casefold() == part.casefold()]
        except OSError:
            names = []
        if len(names) != 1:
            shown = "/".join(found + [part])
            return None, (f"no file {shown} in {folder}" if not names else
                          f"{len(names)} files match {shown} once letter case is ignored "
                          f"({', '.join(sorted(names))}); Windows sees only one")
        here, found = here / names[0], found + [names[0]]
    if not here.is_file():
        return None, f"{'/'.join(found)} is not a file"
    return "/".join(found), None


def named_file(package, key):
    """The file a key's path names, checked; its relative path or None."""
    entry = key.value
    problem = relative_fault(entry)
    if problem is None:
        found, problem = find(package.folder, entry)
        if found is not None and found.casefold() == "setup.exe":
            problem = "is setup.exe, which make package writes itself"
        if found is not None and problem is None:
            return found
    package.fault(f"install.ini:{key.line}", f"{key.name} {entry}: {problem}")
    return None


def cab_summary(cab):
    """A CAB's line in the summary: one with a .000 file as it always was (with _setup.xml
    beside it, as the SDK tool makes them), one without named so."""
    if not cab.application:  # provisioning only: what it adds to the device
        from cabwright.commands import cab_info
        certificates, settings = cab_info.provisioning(cab.install)
        privileged = sum(c["privileged"] for c in certificates)
        return (f"provisioning only: {len(certificates)} certificates" +
                (f" ({privileged} into the privileged store)" if privileged else "") +
                f", {len(settings)} other settings, {cab.signed()}")
    by = f" by {cab.provider}" if cab.provider else ""
    form = "" if cab.script else f", its script {cab.form}"
    return f"{cab.application}{by}, {cab.processor_name()}, {cab.versions()}{form}, {cab.signed()}"


def check_cabs(package, key):
    entries = key.value.split(",")
    bare = ",".join(e.strip(ini.BLANKS) for e in entries)
    # The corrected line, where it is short enough to quote in each fault.
    fixed = f"CabFiles = {bare}" if len(bare) <= 200 else "the names without blanks around " \
        "the commas"
    for entry in entries:
        if entry != entry.strip(ini.BLANKS):
            package.fault(f"install.ini:{key.line}", f"CabFiles: a blank around '{entry.strip()}' "
                          f"becomes part of its name for the installer; write {fixed}")
            entry = entry.strip(ini.BLANKS)  # and the file it means, checked all the same
        if not entry:
            package.fault(f"install.ini:{key.line}", "CabFiles: an empty name between commas")
            continue
        found = named_file(package, ini.Entry("CabFiles", entry, key.line))
        if found is None:
            continue
        if found in package.files:
            package.warn(f"install.ini:{key.line}", f"CabFiles names {entry} twice")
            continue
        try:
            description = cabinet.read(package.folder / found, package.code_page)
        except Faults as error:
            for line in error.lines:
                package.fault(found, line)
            continue
        for line in description.warnings:
            package.warn(found, line)
        package.files[found] = cab_summary(description)
        package.cabs.append((found, description))
    applications = [(name, d) for name, d in package.cabs if d.application]
    anywhere = [name for name, d in applications if d.processor == 0]
    if len(anywhere) > 1:
        from cabwright.commands import cab
        package.warn(f"install.ini:{key.line}", cab.any_processor("CabFiles", anywhere))
    # The installer names the application after the first CAB.
    if len({(d.application, d.provider) for _, d in applications}) > 1:
        first, described = applications[0]
        for other, d in applications[1:]:
            if (d.application, d.provider) != (described.application, described.provider):
                package.warn(other, f"names '{d.application}' by '{d.provider}', {first} "
                             f"'{described.application}' by '{described.provider}'; the "
                             "installer shows the first CAB's name")


def icon_count(path):
    """How many icons ExtractIcon finds in an .ico, .exe or .dll; ValueError if it can't read
    the file as one."""
    if path.suffix.lower() == ".ico":
        resources.check_icon(path)  # one icon, however many images
        return 1
    import pefile
    try:
        image = pefile.PE(str(path), fast_load=True)
        image.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except pefile.PEFormatError as error:
        raise ValueError(f"not a Windows program or library ({error})") from None
    groups = [entry for entry in getattr(image, "DIRECTORY_ENTRY_RESOURCE", None).entries
              if entry.id == pefile.RESOURCE_TYPE["RT_GROUP_ICON"]] \
        if hasattr(image, "DIRECTORY_ENTRY_RESOURCE") else []
    return len(groups[0].directory.entries) if groups else 0


def check_icon(package, section):
    icon, index = section.get("IconFile"), section.get("IconIndex")
    if index is not None and not re.fullmatch(r"-?[0-9]+", index.value):
        package.fault(f"install.ini:{index.line}", f"IconIndex {index.value}: not a number")
        index = None
    if icon is None:
        if index is not None:
            package.warn(f"install.ini:{index.line}", "IconIndex without IconFile is ignored")
        return
    found = named_file(package, icon)
    if found is None:
        return
    path = package.folder / found
    if path.suffix.lower() not in (".ico", ".exe", ".dll"):
        package.fault(f"install.ini:{icon.line}", f"IconFile {icon.value}: not an .ico, .exe or "
                      ".dll file")
        return
    try:
        count = icon_count(path)
    except (ValueError, Faults) as error:
        package.fault(found, str(error).removeprefix(f"ICON {path}: "))
        return
    wanted = int(index.value) if index is not None else 0
    if count == 0:
        package.fault(found, "holds no icons")
    elif not 0 <= wanted < count:
        package.fault(f"install.ini:{index.line}", f"IconIndex {wanted}: {found} holds "
                      f"{count} icon{'s' if count != 1 else ''} (0 to {count - 1})")
    else:
        package.files[found] = f"icon {wanted} of {count}"


def check(folder, code_page):
    """Every fault and warning of the package in `folder`."""
    package = Package(folder, code_page)
    found, problem = find(folder, "install.ini")  # setup.exe names it so; Windows finds any case
    if found is None:
        package.fault(f"PACKAGE {folder}", problem)
        return package
    profile = ini.read((folder / found).read_bytes(), code_page)
    for n, text in profile.faults:
        package.fault(f"install.ini:{n}", text)
    for n, text in profile.warnings:
        package.warn(f"install.ini:{n}", text)
    package.files[found] = None
    manager = profile.section("CEAppManager")
    if manager is None:
        package.fault("install.ini", "no [CEAppManager] section, where the installer starts")
        return package
    version, component = manager.get("Version"), manager.get("Component")
    for name, key in (("Version", version), ("Component", component)):
        if key is None or not key.value:
            package.fault(f"install.ini:{manager.line}", f"[CEAppManager] has no {name}")
    if version is not None and version.value and version.value != "1.0":
        package.fault(f"install.ini:{version.line}", f"Version {version.value}: the installer "
                      "reads version 1.0 only")
    for key in manager.keys.values():
        if key.name.casefold() not in ("version", "component"):
            package.warn(f"install.ini:{key.line}", f"{key.name} is not a key of [CEAppManager]; "
                         "the installer ignores it")
    if component is None or not component.value:
        return package
    section = profile.section(component.value)
    if section is None:
        package.fault(f"install.ini:{component.line}", f"Component {component.value}: no "
                      f"[{component.value}] section in the file")
        return package
    for name in ("Description", "CabFiles"):
        key = section.get(name)
        if key is None or not key.value:
            package.fault(f"install.ini:{section.line}", f"[{section.name}] has no {name}")
    for key in section.keys.values():
        if key.name.casefold() == "installdir":
            package.warn(f"install.ini:{key.line}", "InstallDir makes the installer look for the "
                         "CAB files there, not beside install.ini; leave it out")
        elif key.name.casefold() not in OPTIONAL | {"description", "cabfiles"}:
            package.warn(f"install.ini:{key.line}", f"{key.name} is not a key of "
                         f"[{section.name}]; the installer ignores it")
    description = section.get("Description")
    package.files[found] = f"[{section.name}] {description.value if description else ''}"
    if section.get("CabFiles") is not None:
        check_cabs(package, section.get("CabFiles"))
    check_icon(package, section)
    return package


def ascii_names(package):
    for name in package.files:
        if not name.isascii():
            package.fault(name, "its name is not ASCII; Windows' own ZIP extraction reads names "
                          "in the OEM code page on older systems and would make another name")


def write_folder(package, setup, target):
    target.mkdir()
    shutil.copyfile(setup, target / "setup.exe")
    (target / "setup.exe").chmod(0o755)
    for name in package.files:
        (target / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(package.folder / name, target / name)


def write_zip(package, setup, target):
    with zipfile.ZipFile(target, "w") as archive:
        for name, path in [("setup.exe", setup),
                           *((name, package.folder / name) for name in package.files)]:
            entry = zipfile.ZipInfo(name, ZIP_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 0  # MS-DOS: no Unix modes for an extractor to apply
            entry.external_attr = 0x20  # archive, as Windows writes a file
            archive.writestr(entry, path.read_bytes())


def package_out(folder, out):
    """Faults of OUT itself: a place that would take the package with it."""
    resolved, source = out.resolve(), folder.resolve()
    if resolved == source or source.is_relative_to(resolved):
        return f"OUT {out}: would replace the package folder {folder} itself"
    return None


INPUTS = ("ICON", "PFX", "PFX_PASS_FILE", "CERT", "PIN_FILE", "INF")


def out_faults(values, out, folder=None):
    """Faults of OUT as a place to write: its form, and what is there already."""
    kind = output.form(out)
    if kind is None:
        return [f"OUT {out}: names a {out.suffix} file; make package writes a folder, a .zip "
                "file or one program (.exe)"]
    if folder is not None and package_out(folder, out):
        return [package_out(folder, out)]
    problem = output.fault(out, kind, [values.get(name) for name in INPUTS] + [folder])
    return [problem] if problem else []


def name_warning(out):
    """The one program's name, where it will start without the rights the installer needs."""
    if output.form(out) == "exe" and "setup" not in out.name.casefold():
        return (f"OUT {out}: its name lacks \"setup\"; Windows Vista and later start a 32-bit "
                "program without a manifest whose name contains \"setup\" elevated, and the "
                "installer it starts runs elevated too; renamed, both start with the user's "
                "ordinary rights")
    return None


def summary(package, out, setup_size, setup_text, folder=None):
    carried = out.suffix.lower() == ".exe"
    rows = [(out.name if carried else "setup.exe", setup_size, setup_text)]
    rows += [(("  " if carried else "") + name.replace("/", "\\"),
              (package.folder / name).stat().st_size, text or "")
             for name, text in package.files.items()]
    width = max(len(name) for name, *_ in rows)
    if carried:
        made = (f"one program carrying {len(rows) - 1} files, {setup_size:,} bytes, into "
                f"<the installer's folder>\\{folder}")
    elif out.suffix.lower() == ".zip":
        made = f"a ZIP file of {len(rows)} files, {out.stat().st_size:,} bytes"
    else:
        made = f"a folder of {len(rows)} files, {sum(size for _, size, _ in rows):,} bytes"
    lines = [f"wrote {out}, {made}"]
    lines += [f"  {name:<{width}}  {size:>10,}  {text}" for name, size, text in rows]
    from cabwright.commands import cab_info
    cabs = dict(package.cabs)
    data = {"out": str(out), "form": output.form(out), "folder": folder,
            "files": [{"name": name.strip(), "size": size, "summary": text,
                       **({"cab": cab_info.describe(cabs[name.strip().replace("\\", "/")])}
                          if name.strip().replace("\\", "/") in cabs else {})}
                      for name, size, text in rows]}
    return lines, data


def make(values, say, checked=None):
    """The package in PACKAGE shipped to OUT; `checked`: the icon, version resource and signer
    the caller has made from the same settings already (the key is tried once a run)."""
    faults = [f"{name} is needed: make package PACKAGE=folder OUT=dist/folder (or "
              "OUT=dist/name.zip)" for name in ("PACKAGE", "OUT") if name not in values]
    if "INF" not in values and {"CPU", "COMPRESS", "DRIVES"} & set(values):
        faults.append("CPU, COMPRESS and DRIVES go with INF, which the CABs are made from")
    folder = values.package or pathlib.Path(".")
    out = values.out or pathlib.Path(".")
    code_page = values.code_page
    if code_page is None:
        faults.append(f"CODEPAGE {values['CODEPAGE']}: not a code page this system knows "
                      "(1252 for Western European, 932 for Japanese, ...)")
    if "PACKAGE" in values and not folder.is_dir():
        faults.append(f"PACKAGE {folder}: not a folder")
    # The package is read only where the settings let it be; the settings are checked all the
    # same, so one run tells every fault.
    package = Package(folder, code_page)
    if not faults:
        package = check(folder, code_page)
        if out.suffix.lower() in (".zip", ".exe"):
            ascii_names(package)
        package.faults += out_faults(values, out, folder)
        package.warnings += filter(None, [name_warning(out)])
    carried = carried_folder(values, package, out, faults)
    for line in package.warnings:
        say(f"warning: {line}")
    if checked is None:
        icon, version, signer = release.check(values, faults + package.faults)
    elif faults + package.faults:
        raise Faults(faults + package.faults)
    else:
        icon, version, signer = checked
    kind = out.suffix.lower()
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=out.parent, prefix=".package-") as scratch:
            scratch = pathlib.Path(scratch)
            if kind == ".exe":  # one program carrying the files, signed as setup.exe is
                from cabwright.services import carry
                files = [(name.replace("/", "\\"), folder / name) for name in package.files]
                try:
                    data = carry.build(files, icon, version, folder=carried)
                except Faults as error:
                    raise Faults(f"OUT {out}: {error}") from None
                made = setup = release.finish(data, signer, scratch)
            else:
                (scratch / "setup").mkdir()
                setup = release.finish(release.build(icon, version), signer, scratch / "setup")
                made = scratch / "made"
                (write_zip if kind == ".zip" else write_folder)(package, setup, made)
            size = setup.stat().st_size
            output.replace(made, out)
    except OSError as error:
        raise Faults(f"OUT {out}: cannot write it ({error.strerror})") from None
    signed = "" if signer else ", not signed"
    return summary(package, out, size, release.described(signer, icon, version) + signed, carried)


def carried_folder(values, package, out, faults):
    """The one program's folder, which it puts in the installer's: FOLDER, else the first
    CAB's provider and application; a fault where Windows can't hold it."""
    if out.suffix.lower() != ".exe":
        if "FOLDER" in values:
            faults.append(f"FOLDER {values['FOLDER']}: goes with OUT=<name>.exe, the one program "
                          "that puts its files in a folder of that name")
        return None
    cab = next((d for _, d in package.cabs if d.application), None)
    name = values.get("FOLDER") or (cab and index.default_folder(cab.provider, cab.application))
    if name and index.folder_fault(name):
        given = f"FOLDER {name}" if "FOLDER" in values else \
            f"the folder '{name}' (the first CAB's provider and application; FOLDER= names another)"
        faults.append(f"{given}: {index.folder_fault(name)}")
    return name or "Setup"


def from_inf(values, say):
    """make package INF=: the CABs the .inf describes and an install.ini naming them, made in a
    folder of their own, then shipped as make package ships a PACKAGE folder."""
    from cabwright.commands import cab
    faults = out_faults(values, values.out) if "OUT" in values else [
        "OUT is needed: make package INF=app.inf OUT=dist/folder (or OUT=dist/name.zip)"]
    if "PACKAGE" in values:
        faults.append("PACKAGE and INF: give one, the package folder or the .inf its CABs are "
                      "made from")
    # Every setting first, the key tried once: it signs the CABs' files, the CABs and setup.exe.
    settings = []
    checked = gather(settings, release.check, values)
    settings += cab_signing.digest_faults(values)
    with tempfile.TemporaryDirectory(prefix=".package-inf-") as folder:
        folder = pathlib.Path(folder)
        if not faults:
            try:
                # The package's check tells of CABs declaring any processor, by their names.
                made = cab.build(values, folder, lambda line: None if cab.ANY_PROCESSOR in line
                                 else say(line), settings, checked and checked[2])
            except Faults as error:
                faults += str(error).splitlines()
        else:
            faults += settings
        if faults:  # the .inf's and the settings', all at once
            raise Faults("\n".join(faults))
        application = made[0][1].application
        # Written in the code page the installer reads it in; the .inf's text already fits it.
        (folder / "install.ini").write_bytes(
            (f"[CEAppManager]\r\nVersion = 1.0\r\nComponent = {application}\r\n\r\n"
             f"[{application}]\r\nDescription = {values.get('DESCRIPTION', application)}\r\n"
             f"CabFiles = {','.join(name for name, _ in made)}\r\n")
            .encode(values.code_page, "replace"))
        return make(values.replaced(PACKAGE=folder), say, checked)


def run(values, say):
    """The package shipped: (the summary's lines, its data); Faults with every fault."""
    return (from_inf if "INF" in values else make)(values, say)
