#!/usr/bin/env python3
"""make cab-info: what a device CAB will do to a device, from its install script, made by any
tool: the application, its processor and system versions, each folder with the files installed
into it, each registry value, each shortcut, the setup DLL.

    cabwright cab-info file.cab [--json]
"""
from cabwright.formats import cabinet
from cabwright.diagnostics import Faults


def flags(value):
    words = [word for bit, word in cabinet.FILE_FLAGS if value & bit]
    return ", ".join(words) or "no flags"


def listing(path, cab):
    script, xml = cab.script, cab.xml
    sizes = dict(cab.members)
    lines = [f"{path}: {cab.application}" + (f" by {cab.provider}" if cab.provider else ""),
             f"  script       {cab.form}",
             f"  signature    {cab.signed()}",
             *([f"  chain        {cab.signature.chain}"] if cab.signature else []),
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


def signature_data(cab):
    found = cab.signature
    if found is None:
        return None
    return {"signer": found.subject, "issuer": found.issuer, "digest": found.digest,
            "time_stamp": found.stamped.isoformat() if found.stamped else None,
            "verifies": not found.faults, "chain": found.chain}


def describe(cab):
    """What the listing shows, as data: the same facts, for a program to read."""
    script, xml = cab.script, cab.xml
    sizes = dict(cab.members)
    data = {"application": cab.application, "provider": cab.provider, "script": cab.form,
            "processor": {"number": cab.processor, "name": cab.processor_name()},
            "system": {"minimum": "{}.{}".format(*cab.minimum) if any(cab.minimum) else None,
                       "maximum": "{}.{}".format(*cab.maximum) if any(cab.maximum) else None},
            "signature": signature_data(cab), "folders": [], "registry": [], "shortcuts": [],
            "setup_dll": None}
    if script:
        low, high = script.builds
        data["builds"] = {"minimum": low or None, "maximum": high or None}
        data["unsupported"] = list(script.unsupported)
        for n, folder in sorted(script.folders.items()):
            files = [{"name": name, "member": member, "size": sizes[member],
                      "flags": flags(value), "flag_bits": value}
                     for _, (_, value, name, member) in sorted(
                         (i, f) for i, f in script.files.items() if f[0] == n)]
            data["folders"].append({"folder": folder, "files": files})
        for hive, name, kind, value_flags, value in script.values:
            data["registry"].append({
                "key": script.hives[hive], "name": name, "type": kind, "value": value,
                "kept_if_present": bool(value_flags & cabinet.NOCLOBBER),
                "filled_in": bool(script.registry[(hive, name.casefold())][2])})
        for where, link, kind, target in script.links:
            data["shortcuts"].append(
                {"folder": where, "name": link, "target":
                 {"file": script.files[target][2], "folder": script.folders[script.files[target][0]]}
                 if kind == 1 else {"folder": script.folders.get(target, "%InstallDir%")}})
    elif xml:
        data["folders"] = [{"folder": folder, "files": [
            {"name": name, "member": member, "size": sizes[member], "flags": flags(value),
             "flag_bits": value} for where, name, member, value in xml.files if where == folder]}
            for folder in xml.folders]
        data["registry"] = [{"key": key, "name": name, "type": kind, "value": value}
                            for key, name, kind, value, _ in xml.registry]
        data["shortcuts"] = [{"folder": where, "name": name, "target": {"path": target}}
                             for where, name, target in xml.links]
    if xml:
        data["install_folder"] = xml.folder
    if cab.setup_dll:
        data["setup_dll"] = {"name": cab.setup_dll[0], "size": cab.setup_dll[1]}
    return data


def run(path):
    """(the listing's lines, its data, the warnings); Faults with every fault."""
    try:
        cab = cabinet.read(path)
    except Faults as error:
        raise Faults([f"{path}: {line}" for line in error.lines]) from None
    return listing(path, cab), {"cab": str(path), **describe(cab)}, [
        f"{path}: {line}" for line in cab.warnings]
