#!/usr/bin/env python3
"""make release: one finished setup.exe, the packager's own.

    python3 -m cabwright.commands.release OUT=path [ICON=file.ico] [VERSION=a.b.c.d] [COMPANY=...]
               [PRODUCT=...] [DESCRIPTION=...] [COPYRIGHT=...]
               [PFX=file.pfx PFX_PASS_FILE=file |
                PKCS11_MODULE=library.so PKCS11_KEY=pkcs11:... CERT=chain.pem PIN_FILE=file]
               [TIMESTAMP_URL=url] [DUAL_SIGN=1]

With nothing but OUT it copies the default build, build/win/setup.exe (installed:
/usr/share/cabwright/setup.exe). An icon or version information takes the place of its resources
(services/launcher.py).
Every input is checked before anything is built, and OUT is written in one rename at the end:
on any error it is left as it was.
"""
import os
import pathlib
import tempfile

from cabwright.formats import resources
from cabwright.services import launcher, output, signing
from cabwright.settings import check_settings, gather  # noqa: F401
from cabwright.diagnostics import Faults

INPUTS = ("ICON", "PFX", "PFX_PASS_FILE", "CERT", "PIN_FILE")


def check(values, faults=None):
    """Every input, before anything is built: the settings together, the icon's bytes, the
    version resource and the key. Returns the icon, the version resource and the signer (None
    for an unsigned build); raises Faults with
    every fault found, here and in `faults` (another command's own)."""
    faults = list(faults or [])
    combined = check_settings(values)
    faults += combined
    icon = version = signer = None
    if "ICON" in values:
        icon = gather(faults, resources.check_icon, values["ICON"])
    texts = ("VERSION", "COMPANY", "PRODUCT", "DESCRIPTION", "COPYRIGHT")
    if any(name in values for name in texts):
        version = gather(faults, version_resource, values)
    if not combined:  # the key's settings go together, so the key can be tried
        signer = gather(faults, signing.check, values)
    if faults:
        raise Faults(faults)
    return icon, version, signer


def version_resource(values):
    numbers = resources.parse_version(values.get("VERSION", "0"))
    strings = resources.version_strings(numbers, values.get("COMPANY", ""),
                                    values.get("PRODUCT", ""), values.get("DESCRIPTION", ""),
                                    values.get("COPYRIGHT", ""))
    return resources.version_info(numbers, strings)


def build(icon, version):
    """The unsigned executable's bytes: the default build's, or with the packager's resources."""
    if icon is None and version is None:
        return launcher.built("setup").read_bytes()
    return launcher.build("setup", "building with the packager's resources", icon, version)


def finish(data, signer, directory):
    """The finished executable in `directory`, signed where there is a signer; its path."""
    finished = pathlib.Path(directory) / "setup.exe"
    finished.write_bytes(data)
    if signer is not None:
        finished = signer.sign(finished)
    finished.chmod(0o755)
    return finished


def described(signer, icon, version):
    """What the packager's settings put into the file, for the closing line."""
    signature = "SHA-1 and SHA-256 signatures" if signer and signer.dual else "signature"
    parts = [what for what, given in (("icon", icon), ("version information", version),
                                      (signature, signer),
                                      ("time-stamp", signer and signer.stamped)) if given]
    return ", ".join(parts) if parts else "the default build"


def release(values):
    out_faults = [] if "OUT" in values else [
        "OUT names the file to write, e.g. make release OUT=dist/setup.exe"]
    if "OUT" in values:
        out_faults += filter(None, [output.fault(
            values["OUT"], "setup", [values.get(name) for name in INPUTS], "release")])
    icon, version, signer = check(values, out_faults)
    data = build(icon, version)
    out = values.out
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        # Next to OUT, so the last step is a rename within one file system.
        with tempfile.TemporaryDirectory(dir=out.parent, prefix=".release-") as scratch:
            os.replace(finish(data, signer, scratch), out)
    except OSError as error:
        raise Faults(f"OUT {out}: cannot write it ({error.strerror})") from None
    return [f"wrote {out}, {out.stat().st_size} bytes ({described(signer, icon, version)})"]

