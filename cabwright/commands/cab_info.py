#!/usr/bin/env python3
"""make cab-info: what a device CAB will do to a device, from its install script, made by any
tool: the application, its processor and system versions, each folder with the files installed
into it, each registry value, each shortcut, the setup DLL.

    cabwright cab-info file.cab [--json]
    cabwright cab-info --diff OLD.cab NEW.cab [--json]

With --diff, what installing NEW.cab changes on a device against OLD.cab, from the two installs:
files added, removed, changed by bytes, moved between folders or given other flags; registry
values, shortcuts and provisioning added, removed or changed; the processor, the system range
and the signer.
"""
import hashlib

from cabwright.formats import cabinet, model, setup_xml, signature
from cabwright.diagnostics import Faults

PRIVILEGED = "Privileged Execution Trust Authorities"
STORES = {PRIVILEGED.casefold(): "the device's privileged store: a program signed under it runs "
          "with full rights",
          "unprivileged execution trust authorities": "the device's unprivileged store",
          "spc": "the software publishers' store", "root": "the device's root store",
          "ca": "the intermediate authorities' store"}


def flags(value):
    return model.flag_words(value)


def files_in(one, folder):
    return sorted((f for f in one.files if model.folded(f.folder) == model.folded(folder)),
                  key=lambda f: f.number)


def target(one, s):
    """A shortcut's target as the listing names it: a file in its folder, or a folder."""
    if s.to_folder:
        return f"folder {s.target}"
    folder, _, name = s.target.rpartition("\\")
    return f"file {name} in {folder}"


def certificate(store, thumbprint, der):
    """One certificate the provisioning adds: its subject, store and thumbprint."""
    from cryptography import x509
    try:
        subject = signature.name_of(x509.load_der_x509_certificate(der).subject) if der else None
    except ValueError:
        subject = None
    note = STORES.get(store.casefold())
    matches = der is None or hashlib.sha1(der).hexdigest().casefold() == \
        thumbprint.replace(" ", "").casefold()
    return {"subject": subject, "store": store, "thumbprint": thumbprint,
            "privileged": store.casefold() == PRIVILEGED.casefold(),
            "store_meaning": note, "thumbprint_matches": matches}


def settings(elements, path=()):
    """[(characteristic path, parm name, value)] of provisioning other than certificates."""
    out = []
    for e in elements:
        if e.tag == "wap-provisioningdoc":
            out += settings(e.children, path)
        elif e.tag == "characteristic" and e.get("type") != "CertificateStore":
            here = (*path, e.get("type") or "?")
            parms = [c for c in e.children if c.tag == "parm"]
            out += [(here, p.get("name") or "", p.get("value")) for p in parms]
            nested = [c for c in e.children if c.tag != "parm"]
            out += settings(nested, here)
            if not parms and not nested:
                out.append((here, None, None))
    return out


def provisioning(one):
    certificates = [certificate(*c) for c in setup_xml.certificates(one)]
    return certificates, settings(one.provisioning)


def provisioning_lines(one):
    certificates, others = provisioning(one)
    lines = []
    for c in certificates:
        meaning = f" ({c['store_meaning']})" if c["store_meaning"] else ""
        mismatch = "" if c["thumbprint_matches"] else " (not this certificate's thumbprint)"
        lines.append(f"  certificate {c['subject'] or '(unreadable)'} into {c['store']}"
                     f"{meaning}, thumbprint {c['thumbprint']}{mismatch}")
    for path, name, value in others:
        where = "\\".join(path)
        lines.append(f"  provisioning {where}" + ("" if name is None else
                                                  f": {name} = {value or ''}"))
    return lines


def listing(path, cab):
    one, sizes = cab.install, dict(cab.members)
    head = f"{path}: {one.application}" + (f" by {one.provider}" if one.provider else "") \
        if one.application else f"{path}: provisioning only, no application"
    lines = [head,
             f"  script       {cab.form}",
             f"  signature    {cab.signed()}",
             *([f"  chain        {cab.signature.chain}"] if cab.signature else []),
             f"  processor    {cab.processor_name()}",
             f"  system       {cab.versions().removeprefix('system ')}"]
    if one.application:
        low, high = one.builds
        lines.append(f"  builds       {low or 'any'} to {high or 'any'}")
    if cab.script:
        lines.append(f"  unsupported  {', '.join(one.unsupported) or 'none'}")
    for folder in one.folders:
        lines.append(f"  folder {folder}")
        lines += [f"    {f.name}  {f.member}, {sizes[f.member]:,} bytes, {flags(f.flags)}"
                  for f in files_in(one, folder)]
    for v in one.registry:
        kept = ", kept if present" if v.keep else ""
        filled = ", filled in on the device" if v.substitute else ""
        lines.append(f"  registry {v.where}: {v.name or '(default)'} "
                     f"{model.ValueType(v.type).shown} {v.shown()}{kept}{filled}")
    for s in one.shortcuts:
        lines.append(f"  shortcut {s.folder}\\{s.name} -> {target(one, s)}")
    lines += provisioning_lines(one)
    if cab.xml and one.application:
        lines.append(f"  {cabinet.XML_SCRIPT}: install folder "
                     f"{cab.xml.install_dir or '(none named)'}")
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
    one, sizes = cab.install, dict(cab.members)
    data = {"application": one.application, "provider": one.provider, "script": cab.form,
            "processor": {"number": one.processor, "name": cab.processor_name()},
            "system": {"minimum": "{}.{}".format(*one.minimum) if any(one.minimum) else None,
                       "maximum": "{}.{}".format(*one.maximum) if any(one.maximum) else None},
            "signature": signature_data(cab), "folders": [], "registry": [], "shortcuts": [],
            "setup_dll": None}
    low, high = one.builds
    data["builds"] = {"minimum": low or None, "maximum": high or None}
    if cab.script:
        data["unsupported"] = list(one.unsupported)
    for folder in one.folders:
        data["folders"].append({"folder": folder, "files": [
            {"name": f.name, "member": f.member, "size": sizes[f.member], "flags": flags(f.flags),
             "flag_bits": f.flags} for f in files_in(one, folder)]})
    for v in one.registry:
        data["registry"].append({
            "key": v.where, "name": v.name, "type": model.ValueType(v.type).shown,
            "value": v.shown(), "kept_if_present": v.keep, "filled_in": v.substitute})
    for s in one.shortcuts:
        folder, _, name = s.target.rpartition("\\")
        data["shortcuts"].append({"folder": s.folder, "name": s.name, "target": {
            "folder": s.target} if s.to_folder else {"file": name, "folder": folder}})
    certificates, others = provisioning(one)
    data["provisioning"] = {
        "certificates": certificates,
        "settings": [{"characteristic": list(path), "parm": name, "value": value}
                     for path, name, value in others]}
    if cab.xml:
        data["install_folder"] = cab.xml.install_dir or None
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


def signer(cab):
    return cab.signature.subject if cab.signature else "not signed"


def changes(old, new):
    """[(kind, change, what, before, after)] of what NEW changes against OLD."""
    a, b, out = old.install, new.install, []

    def one(kind, what, before, after):
        if before != after:
            out.append((kind, "changed", what, before, after))
    one("application", "name", f"{a.application} by {a.provider}",
        f"{b.application} by {b.provider}")
    one("processor", "type", old.processor_name(), new.processor_name())
    one("system", "range", old.versions(), new.versions())
    one("signer", "signature", signer(old), signer(new))
    files = [{model.folded(f.path): f for f in one_.files} for one_ in (a, b)]
    gone = {p: f for p, f in files[0].items() if p not in files[1]}
    came = {p: f for p, f in files[1].items() if p not in files[0]}
    for path, f in list(gone.items()):
        moved = next((p for p, g in came.items() if g.name.casefold() == f.name.casefold()),
                     None)
        if moved:
            out.append(("file", "moved", f.name, f.folder, came.pop(moved).folder))
            del gone[path]
    out += [("file", "removed", f.path, f.member, None) for f in gone.values()]
    out += [("file", "added", f.path, None, f.member) for f in came.values()]
    for path in [p for p in files[0] if p in files[1]]:
        f, g = files[0][path], files[1][path]
        if old.digests.get(f.member) != new.digests.get(g.member):
            out.append(("file", "changed", f.path, f"{dict(old.members)[f.member]:,} bytes",
                        f"{dict(new.members)[g.member]:,} bytes"))
        if f.flags != g.flags:
            out.append(("file", "flags", f.path, flags(f.flags), flags(g.flags)))

    def keyed(kind, items, key, shown):
        before, after = ({key(i): i for i in one_} for one_ in items)
        for k in dict.fromkeys([*before, *after]):
            x, y = before.get(k), after.get(k)
            if x is None:
                out.append((kind, "added", shown(y)[0], None, shown(y)[1]))
            elif y is None:
                out.append((kind, "removed", shown(x)[0], shown(x)[1], None))
            elif shown(x)[1] != shown(y)[1]:
                out.append((kind, "changed", shown(x)[0], shown(x)[1], shown(y)[1]))
    keyed("registry", (a.registry, b.registry),
          lambda v: (model.folded(v.where), v.name.casefold()),
          lambda v: (f"{v.where}: {v.name or '(default)'}",
                     f"{model.ValueType(v.type).shown} {v.shown()}" +
                     (", kept if present" if v.keep else "") +
                     (", filled in on the device" if v.substitute else "")))
    keyed("shortcut", (a.shortcuts, b.shortcuts),
          lambda s: model.folded(f"{s.folder}\\{s.name}"),
          lambda s: (f"{s.folder}\\{s.name}", target(None, s)))
    keyed("provisioning", (provisioning_lines(a), provisioning_lines(b)),
          lambda line: line, lambda line: (line.strip(), line.strip()))
    return out


def diff(old_path, new_path):
    """(the lines, the data, the warnings) of what NEW.cab changes against OLD.cab; Faults with
    every fault of either."""
    cabs, faults, warnings = [], [], []
    for path in (old_path, new_path):
        try:
            cabs.append(cabinet.read(path, digests=True))
            warnings += [f"{path}: {line}" for line in cabs[-1].warnings]
        except Faults as error:
            faults += [f"{path}: {line}" for line in error.lines]
    if faults:
        raise Faults(faults)
    found = changes(*cabs)
    lines = [f"{old_path} -> {new_path}"]
    for kind, change, what, before, after in found:
        told = f"{before} -> {after}" if before is not None and after is not None else \
            (after if before is None else before)
        lines.append(f"  {kind} {change}: {what}" + (f": {told}" if told != what else ""))
    if not found:
        lines.append("  no change")
    data = {"old": str(old_path), "new": str(new_path), "changes": [
        {"kind": kind, "change": change, "what": what, "old": before, "new": after}
        for kind, change, what, before, after in found]}
    return lines, data, warnings
