"""Signing a device CAB as make cab builds it, with make release's key settings: each program
file it installs first (a file whose bytes are a PE image, whatever its name), then the CAB.

A device with a security policy checks both. Its checks predate SHA-2, so the digest is SHA-1
unless DEVICE_DIGEST=sha256 asks for newer devices' own. A program file that is signed already
(a vendor's runtime DLL) goes in as it is; the sources on disk are never changed: the signed
copies exist only inside the CAB.
"""
import os
import shutil

from cabwright.settings import DEVICE, check_settings, gather

KEYS = ("PFX", "PFX_PASS_FILE", *DEVICE, "TIMESTAMP_URL")
DIGESTS = ("sha1", "sha256")


def check(values):
    """(the signer, every fault of the signing settings), the key tried once; the signer None
    where no key is given or it fails."""
    faults = digest_faults(values)
    combined = check_settings({name: values[name] for name in KEYS if name in values})
    faults += combined
    if combined or not {"PFX", "PKCS11_MODULE"} & set(values):
        return None, faults
    from cabwright.services import signing  # the key's libraries, only where there is a key
    return gather(faults, signing.check, values), faults


def digest_faults(values):
    faults = []
    digest = values.get("DEVICE_DIGEST", "sha1")
    if digest not in DIGESTS:
        faults.append(f"DEVICE_DIGEST {digest}: sha1 (the default, for every device) or sha256 "
                      "(for device systems that check SHA-2 signatures)")
    if "DEVICE_DIGEST" in values and not ({"PFX", *DEVICE} & set(values)):
        faults.append("DEVICE_DIGEST is given without a key to sign with (PFX, or "
                      "PKCS11_MODULE and the settings beside it)")
    return faults


def is_program(path):
    """Whether the file is a PE image: 'MZ', and 'PE\\0\\0' where its header says."""
    with open(path, "rb") as file:
        head = file.read(64)
        if len(head) < 64 or head[:2] != b"MZ":
            return False
        file.seek(int.from_bytes(head[60:64], "little"))
        return file.read(4) == b"PE\0\0"


def signed_already(path):
    import pefile
    try:
        image = pefile.PE(str(path), fast_load=True)
    except pefile.PEFormatError:
        return False
    security = image.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return security.Size > 0


def sign_files(layout, signer, digest, scratch, say):
    """Each program file among the layout's members, signed in a copy under `scratch`, dated as
    its source so the CAB's dates stay the sources'."""
    members = []
    for name, source in layout.members:
        if is_program(source):
            if signed_already(source):
                say(f"warning: {source}: signed already; it goes into the CAB with its own "
                    "signature")
            else:
                copy = scratch / name / source.name
                copy.parent.mkdir(parents=True)
                shutil.copyfile(source, copy)
                signed = signer.sign(copy, digest)
                when = source.stat()
                os.utime(signed, ns=(when.st_atime_ns, when.st_mtime_ns))
                source = signed
        members.append((name, source))
    layout.members = members


def sign_cab(path, signer, digest):
    """The CAB at `path` signed in its place."""
    os.replace(signer.sign(path, digest), path)
