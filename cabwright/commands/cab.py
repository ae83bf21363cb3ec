#!/usr/bin/env python3
"""make cab: an application's .inf made into device CABs, as the device SDK's CAB tool makes
them, on this machine.

    python3 -m cabwright.commands.cab INF=notes.inf OUT=folder [CPU="ARM SH3"] [COMPRESS=1] [CODEPAGE=1252]
        [DRIVES="E=/src/product C=/opt/sdk"] [make release's key settings] [DEVICE_DIGEST=sha256]

One CAB per name in CPU (notes.ARM.CAB, ...), or notes.CAB without. Every fault of the .inf is
told, one line each, before anything is written; each CAB is then written beside OUT, read back
whole, and only then moved into OUT. On any fault OUT is left as it was. With a key, each
program file is signed before it goes in and each CAB after it is written (cab_signing.py).
"""
import os
import pathlib
import re
import shlex
import tempfile

from cabwright.services import cab_signing, output
from cabwright.formats import cabinet, cabwriter, ini, model, script000, setup_xml

from cabwright.formats import inf as inf_file
from cabwright.diagnostics import Faults


def prepare(values):
    """The .inf read for every processor: (installs, warnings), or Faults with every fault."""
    path = pathlib.Path(values["INF"])
    code_page = ini.code_page(values.get("CODEPAGE", "1252"))
    if code_page is None:
        raise Faults(f"CODEPAGE {values['CODEPAGE']}: not a code page this system knows "
                      "(1252 for Western European, 932 for Japanese, ...)")
    if not path.is_file():
        raise Faults(f"INF {path}: no such file")
    try:
        path.read_bytes()
    except OSError as error:
        raise Faults(f"INF {path}: cannot read it ({error.strerror})") from None
    if values.get("COMPRESS", "0") not in ("0", "1"):
        raise Faults(f"COMPRESS {values['COMPRESS']}: 1 for MSZIP, 0 (the default) for none")
    mapped, faults = drives(values.get("DRIVES", ""))
    wrapped = {name: fragment(values, name, faults) for name in ("PREXML", "POSTXML")}
    parsed, installs = inf_file.read(path, inf_file.cpu_names(values.get("CPU")), code_page,
                                     mapped)
    layouts = []
    for one in installs:
        if parsed.faults or faults:
            continue
        name = inf_file.cab_name(path, one.cpu)
        layout = cabwriter.Contents(one, name)
        one.before, one.after = wrapped["PREXML"], wrapped["POSTXML"]
        try:  # what the .000 file can't hold, told before anything is written
            layout.scripts[layout.script_name] = script000.encode(one, code_page)
        except script000.Unwritable as error:
            for line, text in error.faults:
                parsed.fault(line or None, f"{name}: {text}")
            continue
        layout.scripts[cabinet.XML_SCRIPT] = setup_xml.encode(one)
        size = len(layout.scripts[layout.script_name])
        if size > model.SCRIPT_WARNING:
            parsed.warnings.append(
                f"{path.name}: {name}: its script is {size:,} bytes; older devices' installers "
                "refuse one over 32 KB (shorter folder and file names shrink it)")
        layouts.append(layout)
    if parsed.faults or faults:
        raise Faults("\n".join(faults + parsed.faults))
    anywhere = [inf_file.cab_name(path, one.cpu) for one in installs if one.processor == 0]
    if len(anywhere) > 1:
        parsed.warnings.append(any_processor(path.name, anywhere))
    return layouts, parsed.warnings


ANY_PROCESSOR = "each declare any processor"


def any_processor(where, names):
    """The warning for CABs that all declare any processor: the installer takes the first that
    fits a device, whichever processor its files were built for."""
    return (f"{where}: {', '.join(names)} {ANY_PROCESSOR} (ProcessorType 0 or none); "
            "the installer can't tell them apart and installs the first (give each its "
            "ProcessorType)")


def fragment(values, name, faults):
    """The provisioning XML that the command line's /prexml or /postxml puts before or after
    what the .inf describes: characteristics, or a whole document, which goes in as it stands,
    root and all, as the SDK tool pastes it; as Elements."""
    if name not in values:
        return ()
    what = f"/{name.lower()} {values[name]}"
    try:
        text = pathlib.Path(values[name]).read_text("utf-8-sig")
    except OSError as error:
        faults.append(f"{what}: cannot read it ({error.strerror})")
    except UnicodeDecodeError:
        faults.append(f"{what}: not UTF-8 text")
    else:
        elements, fault = setup_xml.parsed(text)
        if fault:
            faults.append(f"{what}: {fault}")
        return elements
    return ()


def drives(text):
    """DRIVES='E:\\Product=/src/product/src C=/opt/sdk': ([(the key's Windows parts, the key as
    written, the folder here)], faults). A key is a drive letter or a Windows folder on one;
    quotation marks keep a blank in an entry, and a backslash is a backslash."""
    lexer = shlex.shlex(text, posix=True)
    lexer.whitespace_split, lexer.escape, lexer.commenters = True, "", ""
    try:
        entries = list(lexer)
    except ValueError as error:
        return [], [f"DRIVES {text}: {error}"]
    mapped, faults, seen = [], [], set()
    for entry in entries:
        key, sep, folder = entry.partition("=")
        found = re.fullmatch(r"([A-Za-z])(?::(?:[\\/](.*))?)?", key)
        if not sep or not found or not folder:
            faults.append(f"DRIVES {entry}: not a drive letter or Windows folder and its folder "
                          "here (DRIVES='E:\\Product=/src/product/src C=/opt/sdk')")
            continue
        parts = [found.group(1).upper() + ":",
                 *(p for p in re.split(r"[\\/]", found.group(2) or "") if p)]
        if tuple(p.casefold() for p in parts) in seen:
            faults.append(f"DRIVES {entry}: {key} is mapped twice")
        elif not pathlib.Path(folder).is_dir():
            faults.append(f"DRIVES {entry}: no folder {folder}")
        else:
            seen.add(tuple(p.casefold() for p in parts))
            mapped.append((parts, key, pathlib.Path(folder)))
    return mapped, faults


def read_back(path, one, code_page, wrapped, signed):
    """Why the CAB at `path` doesn't read back as written, or None: its two scripts must agree
    entry for entry, as each device reads one of them; unless the packager `wrapped` _setup.xml
    in instructions of their own, which only newer devices are to carry out. A CAB `signed` must
    carry its signature, valid (cabinet.read's faults); where its chain ends is no fault."""
    try:
        found = cabinet.read(path, code_page, whole=False)
    except Faults as error:
        return f"{path.name}: written, but doesn't read back: {error}".replace("\n", "; ")
    if signed and found.signature is None:
        return f"{path.name}: signed, but no signature reads back after the cabinet"
    if found.disagreements and not wrapped:
        return f"{path.name}: written, but its scripts disagree: " + "; ".join(
            found.disagreements)
    got = (found.application, found.provider, found.processor)
    want = (one.application, one.provider, one.processor)
    if got != want:
        return f"{path.name}: written as {want}, read back as {got}"
    return None


def build(values, out, say, settings_faults=None, signer=None):
    """The CABs the .inf in `values` describes, signed where a key is given, written into the
    folder `out` (made if need be): their names; Faults with every fault, `out` untouched.
    `settings_faults`: the caller has checked the signing settings and tried the key, and
    found these."""
    faults = [f"OUT {out}: a file, not a folder"] if out.exists() and not out.is_dir() else []
    if output.form(out) != "folder":
        faults = [f"OUT {out}: names a {out.suffix} file; the CABs go into a folder"]
    if settings_faults is None:
        signer, settings_faults = cab_signing.check(values)
    faults += settings_faults
    # The reproducible-build standard's variable: used where it is set, refused where it is
    # no date.
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or None
    if epoch is not None and not (epoch.isascii() and epoch.isdigit() and len(epoch) < 12):
        faults.append(f"SOURCE_DATE_EPOCH {epoch[:40]}: not a count of seconds since 1970 "
                      "(the environment's date for reproducible builds)")
    try:
        layouts, warnings = prepare(values)
    except Faults as error:
        raise Faults("\n".join([str(error), *faults])) from None
    faults += filter(None, [output.cab_fault(out, inf_file.cab_name(pathlib.Path(values["INF"]),
                                                                     layout.one.cpu))
                            for layout in layouts])
    if faults:
        raise Faults("\n".join(faults))
    signed, digest = signer is not None, values.get("DEVICE_DIGEST", "sha1")
    for line in warnings:
        say(f"warning: {line}")
    path = pathlib.Path(values["INF"])
    code_page = ini.code_page(values.get("CODEPAGE", "1252"))
    epoch = int(epoch) if epoch is not None else None
    out.parent.mkdir(parents=True, exist_ok=True)
    names = []
    try:
        with tempfile.TemporaryDirectory(dir=out.parent, prefix=".cab-") as scratch:
            faults = []
            for layout in layouts:
                made = pathlib.Path(scratch) / inf_file.cab_name(path, layout.one.cpu)
                if signed:
                    cab_signing.sign_files(layout, signer, digest, pathlib.Path(scratch) / "signed" /
                                           made.name, say)
                try:
                    cabwriter.write(layout, made, values.get("COMPRESS") == "1", epoch)
                except Faults as error:
                    raise Faults(f"{made.name}: cannot write it ({error})") from None
                if signed:
                    cab_signing.sign_cab(made, signer, digest)
                problem = read_back(made, layout.one, code_page,
                                    {"PREXML", "POSTXML"} & set(values), signed)
                if problem:
                    faults.append(problem)
                names.append(made.name)
            if faults:
                raise Faults("\n".join(faults))
            out.mkdir(exist_ok=True)
            for name in names:
                os.replace(pathlib.Path(scratch) / name, out / name)
    except OSError as error:
        raise Faults(f"OUT {out}: cannot write it ({error.strerror})") from None
    return [(name, layout.one) for name, layout in zip(names, layouts)]


def run(values, say):
    """The CABs built into OUT: the lines telling what was written; Faults with every fault."""
    out = pathlib.Path(values["OUT"])
    made = build(values, out, say)
    lines = []
    for name, one in made:
        files = f"{len(one.files)} file" + ("" if len(one.files) == 1 else "s")
        lines.append(f"wrote {out / name}, {files}, {(out / name).stat().st_size:,} bytes: "
                     f"{one.application} by {one.provider}")
    return lines
