#!/usr/bin/env python3
"""make cab-info: what a device CAB will do to a device, from its install script, made by any
tool: the application, its processor and system versions, each folder with the files installed
into it, each registry value, each shortcut, the setup DLL.

    python3 -m cabwright.commands.cab_info CAB=file.cab

Every fault of the CAB one line each, then status 1; warnings after the listing.
"""
import pathlib
import sys

from cabwright.formats import cabinet


def flags(value):
    words = [word for bit, word in cabinet.FILE_FLAGS if value & bit]
    return ", ".join(words) or "no flags"


def listing(path, cab):
    script, xml = cab.script, cab.xml
    sizes = dict(cab.members)
    lines = [f"{path}: {cab.application}" + (f" by {cab.provider}" if cab.provider else ""),
             f"  script       {cab.form}",
             f"  signature    {cab.signed()}",
             f"  processor    {cab.processor_name()}",
             f"  system       {cab.versions().removeprefix('system ')}"]
    if script:
        low, high = script.builds
        lines.append(f"  builds       {low or 'any'} to {high or 'any'}")
        lines.append(f"  unsupported  {', '.join(script.unsupported) or 'none'}")
        for n, folder in sorted(script.folders.items()):
            lines.append(f"  folder {folder}")
            for _, (_, value, name, member) in sorted((i, f) for i, f in script.files.items()
                                                      if f[0] == n):
                lines.append(f"    {name}  {member}, {sizes[member]:,} bytes, {flags(value)}")
        for hive, name, kind, value_flags, value in script.values:
            kept = ", kept if present" if value_flags & cabinet.NOCLOBBER else ""
            filled = ", filled in on the device" if script.registry[
                (hive, name.casefold())][2] else ""
            lines.append(f"  registry {script.hives[hive]}: {name or '(default)'} {kind} "
                         f"{value}{kept}{filled}")
        for where, link, kind, target in script.links:
            points = (f"file {script.files[target][2]} in {script.folders[script.files[target][0]]}"
                      if kind == 1 else f"folder {script.folders.get(target, '%InstallDir%')}")
            lines.append(f"  shortcut {where}\\{link} -> {points}")
    if xml:  # beside a .000 file, only where the two disagree: the warnings tell how
        lines.append(f"  {cabinet.XML_SCRIPT}: install folder {xml.folder or '(none named)'}")
    if xml and not script:
        for folder in xml.folders:
            lines.append(f"  folder {folder}")
            lines += [f"    {name}  {member}, {sizes[member]:,} bytes, {flags(value)}"
                      for where, name, member, value in xml.files if where == folder]
        lines += [f"  registry {key}: {name or '(default)'} {kind} {value}"
                  for key, name, kind, value, _ in xml.registry]
        lines += [f"  shortcut {where}\\{name} -> {target}" for where, name, target in xml.links]
    if cab.setup_dll:
        name, size = cab.setup_dll
        lines.append(f"  setup DLL    {name}, {size:,} bytes: the installer runs it")
    return lines


def main(argv):
    values = dict(arg.split("=", 1) for arg in argv if "=" in arg)
    if "CAB" not in values:
        print("cab-info: CAB is needed: make cab-info CAB=file.cab", file=sys.stderr)
        return 2
    path = pathlib.Path(values["CAB"])
    try:
        cab = cabinet.read(path)
    except cabinet.CabError as error:
        for line in error.lines:
            print(f"cab-info: {path}: {line}", file=sys.stderr)
        return 1
    print("\n".join(listing(path, cab)))
    for line in cab.warnings:
        print(f"cab-info: warning: {path}: {line}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
