#!/usr/bin/python3
"""The device SDK's CAB tool's command line, on make cab's engine: a build that runs the tool
under Wine switches by changing the program's name.

    packager/inf2cab.py file.inf [/dest DIR] [/err FILE] [/cpu A B ...] [/compress]
                        [/prexml F] [/postxml F]

Options in any letter case. The CABs go into DIR, else beside the .inf: file.CAB, or one
file.<cpu>.CAB per name after /cpu. /err FILE gets every warning and fault, one line each, in
UTF-16 with a byte-order mark, as the tool writes it. /prexml and /postxml put the XML in F before
and after what the CAB's _setup.xml holds. /nouninstall, /platform and options it doesn't know
are warned about and passed over, as a word that isn't an option is (a mistyped \\compress builds
uncompressed, as the tool does). A fault: status 1, and no CAB written.
"""
import pathlib
import re
import sys

from cabwright.commands import cab
from cabwright.settings import Failure

VALUED = ("/dest", "/err", "/prexml", "/postxml")
PASSED_OVER = ("/nouninstall", "/platform")


def is_option(word):
    """An option as the tool spells them: a slash and letters (a path here has more slashes)."""
    return re.fullmatch(r"/[A-Za-z]+", word) is not None


def parse(argv):
    """(the .inf, {option: value}, [cpu names], warnings)."""
    inf, options, cpus, warnings, i = None, {}, [], [], 0
    while i < len(argv):
        word, i = argv[i], i + 1
        option = word.casefold()
        if option == "/cpu":
            while i < len(argv) and not is_option(argv[i]):
                cpus.append(argv[i])
                i += 1
        elif option in PASSED_OVER:
            if option == "/platform" and i < len(argv) and not is_option(argv[i]):
                i += 1
            warnings.append(f"{word}: passed over; the CABs are built without it")
        elif option in VALUED:
            if i >= len(argv):
                raise Failure(f"{word} needs a value")
            options[option], i = argv[i], i + 1
        elif option == "/compress":
            options[option] = True
        elif is_option(word) or inf is not None:
            warnings.append(f"{word}: not an option this tool knows; passed over")
        else:
            inf = word
    if inf is None:
        raise Failure("usage: inf2cab.py file.inf [/dest DIR] [/err FILE] [/cpu A B ...] "
                      "[/compress] [/prexml F] [/postxml F]")
    return inf, options, cpus, warnings


def main(argv):
    lines, options = [], {}

    def say(line, to=sys.stderr):
        lines.append(line)
        print(f"inf2cab: {line}", file=to)
    try:
        inf, options, cpus, warnings = parse(argv)
        for line in warnings:
            say(f"warning: {line}")
        values = {"INF": inf, "CPU": " ".join(cpus),
                  "COMPRESS": "1" if options.get("/compress") else "0",
                  "PREXML": options.get("/prexml"), "POSTXML": options.get("/postxml")}
        out = pathlib.Path(options.get("/dest") or pathlib.Path(inf).parent)
        made = cab.build({k: v for k, v in values.items() if v}, out, say)
        status = 0
    except Failure as error:
        for line in str(error).splitlines():
            say(f"error: {line}")
        status, made = 1, []
    for name, one in made:
        print(f"inf2cab: wrote {out / name}: {one.application} by {one.provider}")
    if "/err" in options:
        try:
            pathlib.Path(options["/err"]).write_bytes(
                ("\ufeff" + "".join(f"{line}\r\n" for line in lines)).encode("utf-16-le"))
        except OSError as error:
            print(f"inf2cab: /err {options['/err']}: cannot write it ({error.strerror})",
                  file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
