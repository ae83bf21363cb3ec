#!/usr/bin/python3
"""The device SDK's CAB tool's command line, on make cab's engine: a build that runs the tool
under Wine switches by changing the program's name.

    inf2cab file.inf [/dest DIR] [/err FILE] [/cpu A B ...] [/compress] [/prexml F]
            [/postxml F] [/drives MAP] [/codepage N] [/device_digest D] [/pfx F]
            [/pfx_pass_file F] [/pkcs11_module L] [/pkcs11_key URI] [/cert F] [/pin_file F]
            [/timestamp_url URL]

Options in any letter case. The CABs go into DIR, else beside the .inf: file.CAB, or one
file.<cpu>.CAB per name after /cpu. /err FILE gets every warning and fault, one line each, in
UTF-16 with a byte-order mark, as the tool writes it. /prexml and /postxml put the XML in F before
and after what the CAB's _setup.xml holds. /nouninstall, /platform and options it doesn't know
are warned about and passed over, as a word that isn't an option is (a mistyped \\compress builds
uncompressed, as the tool does). What a build on this machine needs beyond the tool's options
(the drive map, the signing key, the digest, the code page) are options of its own in the same
style, or else taken from the environment under the settings' names (DRIVES, PFX, ...), so the
original command line stays word for word; it says which it took from there. A /dest that is a
Windows path goes through the drive map. A fault: status 1, and no CAB written.
"""
import os
import pathlib
import re
import sys

from cabwright.commands import cab
from cabwright.diagnostics import Faults, escaped
from cabwright.formats import inf as inf_file
from cabwright.settings import Settings


VALUED = ("/dest", "/err", "/prexml", "/postxml")
# Our own options: the settings a build here needs that the tool's command line can't say.
OURS = ("DRIVES", "CODEPAGE", "DEVICE_DIGEST", "PFX", "PFX_PASS_FILE", "PKCS11_MODULE",
        "PKCS11_KEY", "CERT", "PIN_FILE", "TIMESTAMP_URL")
PASSED_OVER = ("/nouninstall", "/platform")


def is_option(word):
    """An option as the tool spells them: a slash and letters (a path here has more slashes)."""
    return re.fullmatch(r"/[A-Za-z][A-Za-z0-9_]*|/\?", word) is not None


def parse(argv):
    """(the .inf, {option: value}, [cpu names], warnings)."""
    inf, options, cpus, warnings, i = None, {}, [], [], 0
    while i < len(argv):
        word, i = argv[i], i + 1
        option = word.casefold()
        if option == "/cpu":
            while i < len(argv) and not is_option(argv[i]):
                if argv[i].startswith(("\\", "/")):  # \compress typed for /compress
                    warnings.append(f"{argv[i]}: not a CPU section; passed over")
                else:
                    cpus.append(argv[i])
                i += 1
        elif option in PASSED_OVER:
            if option == "/platform" and i < len(argv) and not is_option(argv[i]):
                i += 1
            warnings.append(f"{word}: passed over; the CABs are built without it")
        elif option in VALUED or option[1:].upper() in OURS:
            if i >= len(argv):
                raise Faults(f"{word} needs a value")
            options[option], i = argv[i], i + 1
        elif option == "/compress":
            options[option] = True
        elif is_option(word) or inf is not None:
            warnings.append(f"{word}: not an option this tool knows; passed over")
        else:
            inf = word
    if inf is None:
        raise Faults("usage: inf2cab file.inf [/dest DIR] [/err FILE] [/cpu A B ...] "
                      "[/compress] [/prexml F] [/postxml F]")
    return inf, options, cpus, warnings


def destination(dest, drives):
    """The folder /dest names here: a Windows path through the drive map; (folder, fault)."""
    windows = re.match(r"([A-Za-z]):[\\/](.*)", dest)
    if not windows:
        return pathlib.Path(dest), None
    parts = [windows.group(1).upper() + ":", *(p for p in re.split(r"[\\/]", windows.group(2))
                                               if p)]
    mapped = inf_file.mapping(drives, parts)
    if mapped is None:
        return None, (f"/dest {dest}: a Windows path, and DRIVES maps no folder of it here "
                      f"(/drives '{parts[0]}=/path/to/it', or DRIVES in the environment)")
    (prefix, _), folder = mapped
    return folder.joinpath(*parts[len(prefix):]), None


def main(argv):
    lines, options = [], {}

    def say(line, to=sys.stderr):
        lines.append(line)
        print(escaped(f"inf2cab: {line}"), file=to)
    if any(word in ("/?", "/help", "--help", "-h") for word in argv):
        print(__doc__.strip())
        return 0
    out, status, made = None, 1, []
    try:
        inf, options, cpus, warnings = parse(argv)
        for line in warnings:
            say(f"warning: {line}")
        values = {"INF": inf, "CPU": " ".join(cpus),
                  "COMPRESS": "1" if options.get("/compress") else "0",
                  "PREXML": options.get("/prexml"), "POSTXML": options.get("/postxml")}
        # The command line is the build's, word for word: what it can't say comes from the
        # environment, and the user is told so.
        taken = []
        for name in OURS:
            given = options.get(f"/{name.lower()}")
            if given is None and os.environ.get(name):
                given = os.environ[name]
                taken.append(name)
            values[name] = given
        if taken:
            say(f"took {', '.join(taken)} from the environment")
        mapped, faults = cab.drives(values.get("DRIVES") or "")
        out, fault = destination(options.get("/dest") or str(pathlib.Path(inf).parent), mapped)
        if fault:
            raise Faults("\n".join([fault, *faults]))
        made = cab.build(Settings(values), out, say)
        status = 0
    except Faults as error:
        for line in str(error).splitlines():
            say(f"error: {line}")
    for name, one in made:
        print(escaped(f"inf2cab: wrote {out / name}: {one.application} by {one.provider}"))
    if "/err" in options:
        try:
            pathlib.Path(options["/err"]).write_bytes(
                ("\ufeff" + "".join(f"{line}\r\n" for line in lines)).encode("utf-16-le"))
        except OSError as error:
            print(escaped(f"inf2cab: /err {options['/err']}: cannot write it ({error.strerror})"),
                  file=sys.stderr)
            status = 1
    return status
