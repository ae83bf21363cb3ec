#!/usr/bin/env python3
"""The packager's readers fuzzed in-process, beside the C++ targets: each input mutated from the
committed seeds, each run within a time and memory bound.

    /usr/bin/python3 -m tests.fuzz.readers [--seconds N] [TARGET ...]   (from the repository)

The invariant for every input: the reader returns or raises Faults (status 0 or 1); nothing
else escapes; no control character from the input reaches the terminal; within BOUND seconds and
MEMORY bytes. A finding is written to build/fuzz-findings/ and should become a seed in
tests/fuzz/corpus/py_<target>/. Without --seconds, each seed and SHORT mutations of it are run,
the same inputs every time (make test); with it, new mutations until the time is spent.
"""
import contextlib
import io
import pathlib
import random
import re
import resource
import sys
import tempfile
import time
import tracemalloc

from cabwright import cli
from cabwright.diagnostics import Faults
from cabwright.formats import cabinet, inf, ini, resources, script000, signature
from cabwright.formats import setup_xml as xml

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = ROOT / "tests" / "fuzz" / "corpus"
FINDINGS = ROOT / "build" / "fuzz-findings"
BOUND = 5.0  # seconds one input may take
MEMORY = 256 << 20  # bytes one input may hold at its peak
SHORT = 60  # mutations of each seed in the brief run
# What may reach a terminal: printable text, blanks and line ends; an escape shows as \x1b.
RAW_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f\u200e\u200f\u202a-\u202e\u2066-\u2069]")
INTERESTING = (0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFF0, 0xFFFFFFFF)


def cab(data, folder):
    """cab-info on the bytes, as the program prints it: its output is what a terminal sees."""
    (path := folder / "fuzz.cab").write_bytes(data)
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(["cab-info", str(path)])
    if status not in (0, 1):
        raise AssertionError(f"status {status}")
    return out.getvalue() + err.getvalue()


def script(data, _):
    return "\n".join(script000.decode("NOTES.000", data, {1: ["NOTES.001"]}, "cp1252",
                                      cabinet.shown)[1])


def setup_xml(data, _):
    return "\n".join(xml.decode("_setup.xml", data, ["NOTES.001"], cabinet.shown)[1])


def inf_file(data, folder):
    (path := folder / "notes.inf").write_bytes(data)
    parsed, _ = inf.read(path, [None, "ARM"], "cp1252")
    return "\n".join(parsed.faults + parsed.warnings)


def ini_file(data, _):
    profile = ini.read(data)
    return "\n".join(text for _, text in profile.faults + profile.warnings)


def icon(data, folder):
    (path := folder / "fuzz.ico").write_bytes(data)
    resources.check_icon(path)
    return ""


def signed_data(data, _):
    try:
        signature.Signature(data)
    except signature.Unreadable as error:  # what the cabinet reader tells as one line
        return str(error)
    return ""


TARGETS = {"cab": cab, "script": script, "setup_xml": setup_xml, "inf": inf_file,
           "ini": ini_file, "icon": icon, "signature": signed_data}


def mutate(data, chance, seeds):
    data = bytearray(data)
    for _ in range(chance.randint(1, 6)):
        at = chance.randrange(len(data) + 1)
        kind = chance.randrange(6)
        if kind == 0 and data:  # a bit flipped
            data[min(at, len(data) - 1)] ^= 1 << chance.randrange(8)
        elif kind == 1:  # a number that matters, in one to four bytes
            width = chance.choice((1, 2, 4))
            value = chance.choice(INTERESTING) & ((1 << 8 * width) - 1)
            data[at:at + width] = value.to_bytes(width, "little")
        elif kind == 2:  # cut short
            del data[at:]
        elif kind == 3:  # a run repeated
            piece = data[at:at + chance.randint(1, 16)]
            data[at:at] = piece * chance.randint(1, 2000)
        elif kind == 4:  # a piece of another seed spliced in
            other = chance.choice(seeds)
            start = chance.randrange(len(other) + 1)
            data[at:at] = other[start:start + chance.randint(1, 64)]
        else:  # a control character or a bidirectional override, as text would carry it
            data[at:at] = chance.choice((b"\x1b[2J", b"\x1b]0;x\x07", "\u202e".encode(),
                                         b"\x00", b"\r", b"\xff"))
    return bytes(data)


def run(name, data, folder):
    """Why the input breaks the invariant, or None."""
    tracemalloc.reset_peak()
    held = tracemalloc.get_traced_memory()[0]
    began = time.monotonic()
    try:
        told = TARGETS[name](data, folder)
    except Faults as error:
        told = str(error)
    except Exception as error:  # noqa: BLE001 -- anything else escaping is the finding
        return f"{type(error).__name__}: {error}"[:300]
    took, peak = time.monotonic() - began, tracemalloc.get_traced_memory()[1] - held
    if name == "cab" and RAW_CONTROL.search(told):
        return f"a control character on the terminal: {told[:200]!r}"
    if took > BOUND:
        return f"{took:.1f} s"
    if peak > MEMORY:
        return f"{peak:,} bytes"
    return None


def main(argv):
    seconds = None
    if argv[:1] == ["--seconds"]:
        seconds, argv = float(argv[1]), argv[2:]
    names = argv or list(TARGETS)
    # A reader that asks for the machine's memory fails here, not the machine.
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    tracemalloc.start()
    findings, counted = [], 0
    with tempfile.TemporaryDirectory(prefix="fuzz-") as folder:
        folder = pathlib.Path(folder)
        for name in names:
            seeds = [p.read_bytes() for p in sorted((CORPUS / f"py_{name}").iterdir())]
            chance = random.Random(name)
            inputs = list(seeds)
            if seconds is None:
                inputs += [mutate(chance.choice(seeds), chance, seeds)
                           for _ in range(SHORT * len(seeds))]
            ends = time.monotonic() + (seconds or 0) / len(names)
            n = 0
            while n < len(inputs) or (seconds is not None and time.monotonic() < ends):
                data = inputs[n] if n < len(inputs) else mutate(chance.choice(seeds), chance,
                                                                seeds)
                n += 1
                problem = run(name, data, folder)
                if problem:
                    FINDINGS.mkdir(parents=True, exist_ok=True)
                    kept = FINDINGS / f"{name}-{len(findings)}"
                    kept.write_bytes(data)
                    findings.append(f"{name}: {problem} ({kept})")
            counted += n
            print(f"{name}: {n} inputs")
    print("\n".join(findings[:20]) if findings else f"{counted} inputs, no finding")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
