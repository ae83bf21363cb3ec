"""The packager's settings, as make hands them over: NAME=value arguments, checked for how they
go together before any file is read. Every fault is one line, and all of them are told at once.
"""
import os
import pathlib
import urllib.parse

DEVICE = ("PKCS11_MODULE", "PKCS11_KEY", "CERT", "PIN_FILE")
NAMES = ("OUT", "ICON", "VERSION", "COMPANY", "PRODUCT", "DESCRIPTION", "COPYRIGHT", "PFX",
         "PFX_PASS_FILE", *DEVICE, "TIMESTAMP_URL", "DUAL_SIGN")


class Failure(Exception):
    """What is wrong, one line per fault."""


def settings(argv, names=NAMES):
    """The NAME=value arguments, the empty ones left out."""
    values = {}
    for arg in argv:
        # make hands the values over as the bytes it was given: UTF-8, whatever the locale says.
        name, sep, value = os.fsencode(arg).decode("utf-8", "replace").partition("=")
        if not sep or name not in names:
            raise Failure(f"unknown setting '{arg}'; the settings are {', '.join(names)}")
        if value:
            values[name] = value
    return values


def check_settings(values):
    """How the settings go together, before any file is read: every fault, one line each."""
    faults = []
    device = [name for name in DEVICE if name in values]
    if "PFX" in values and device:
        faults.append(f"PFX {values['PFX']} and {device[0]} {values[device[0]]}: two ways to "
                      "sign, a certificate file or a key on a device; give one (PFX with "
                      "PFX_PASS_FILE, or PKCS11_MODULE, PKCS11_KEY, CERT and PIN_FILE)")
    if device and len(device) < len(DEVICE):
        missing = [name for name in DEVICE if name not in values]
        faults.append(f"{device[0]} {values[device[0]]}: signing through a device takes "
                      "PKCS11_MODULE, PKCS11_KEY, CERT and PIN_FILE together; missing: "
                      f"{', '.join(missing)}")
    if "PFX_PASS_FILE" in values and "PFX" not in values:
        faults.append("PFX_PASS_FILE is given without PFX, the certificate file it opens")
    if "PFX" in values and "PFX_PASS_FILE" not in values:
        faults.append(f"PFX {values['PFX']}: PFX_PASS_FILE names the file holding its password "
                      "(an empty file for none)")
    if values.get("DUAL_SIGN", "0") not in ("0", "1"):
        faults.append(f"DUAL_SIGN {values['DUAL_SIGN']}: 1 signs twice, SHA-1 and then "
                      "SHA-256 nested in it; 0 or nothing signs once, SHA-256")
    if values.get("DUAL_SIGN") == "0":
        del values["DUAL_SIGN"]
    for name in ("TIMESTAMP_URL", "DUAL_SIGN"):
        if name in values and "PFX" not in values and not device:
            faults.append(f"{name} is given without a key to sign with (PFX, or PKCS11_MODULE "
                          "and the settings beside it)")
    url = values.get("TIMESTAMP_URL", "http://")
    if urllib.parse.urlsplit(url).scheme not in ("http", "https"):
        faults.append(f"TIMESTAMP_URL {url}: not an http:// or https:// address")
    return faults


def gather(faults, step, *args):
    """What `step` returns, or None with its fault's lines added to `faults`: the checks that
    don't depend on each other all run, so one run tells every fault."""
    from cabwright.formats import resources
    try:
        return step(*args)
    except (Failure, resources.BrandError) as error:
        faults += str(error).splitlines()
        return None


def first_line(name, path):
    """The first line of the file, without its line end, whichever system wrote it. The tools
    read a file's line ends each in its own way, so osslsigncode is given the password or PIN in
    a file of its own (see sign)."""
    try:
        text = pathlib.Path(path).read_bytes()
    except OSError as error:
        raise Failure(f"{name} {path}: cannot read it ({error.strerror})") from None
    return text.split(b"\n", 1)[0].removesuffix(b"\r")
