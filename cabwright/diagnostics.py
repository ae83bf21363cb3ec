"""Faults and warnings as the commands report them, and how their text reaches a terminal.

A line reads "<where>[:<line>]: <text>"; `located` splits it for a program to read. Text from an
input (a name, a path, a certificate's subject) may hold control characters: `escaped` shows
each as an escape, so no input can move the cursor, clear the screen or turn text around.
"""
import re
import unicodedata

LOCATED = re.compile(r"(?P<source>[^:\s][^:]*?):(?P<line>[0-9]+): (?P<text>.*)", re.S)
SOURCED = re.compile(r"(?P<source>[A-Z_]+ [^:]+|[^:\s]+\.[A-Za-z0-9]{1,8}): (?P<text>.*)", re.S)


def located(text):
    """{"source", "line", "text"} of one fault or warning line; source and line None where the
    line names none."""
    found = LOCATED.fullmatch(text) or SOURCED.fullmatch(text)
    if found is None:
        return {"source": None, "line": None, "text": text}
    parts = found.groupdict()
    return {"source": parts["source"], "line": int(parts["line"]) if parts.get("line") else None,
            "text": parts["text"]}


def escaped(text):
    """`text` with every control, format, line or paragraph separator character shown as an
    escape: \\x1b, \\u202e, ..."""
    def one(c):
        if unicodedata.category(c) not in ("Cc", "Cf", "Zl", "Zp", "Cs"):
            return c
        code = ord(c)
        return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 \
            else f"\\U{code:08x}"
    return "".join(one(c) for c in text)


class Faults(Exception):
    """Every fault found, one line each: the one way a fault travels from any floor to the
    program, which prints it. A fault found beside others is appended to a list and raised once,
    so that one run tells them all."""

    def __init__(self, lines):
        self.lines = (lines.splitlines() or [lines]) if isinstance(lines, str) else list(lines)
        super().__init__("\n".join(self.lines))


MOST_TOLD = 100  # faults, or warnings, told of one input


def told(lines, seen, entry, source):
    """`entry` added to `lines` once, and no more than MOST_TOLD lines of a kind: a damaged
    input can't flood the terminal. `seen`: the entries met so far; `source` names the input in
    the line that tells the rest are left out."""
    if entry in seen or len(lines) > MOST_TOLD:
        return
    seen.add(entry)
    lines.append(entry if len(lines) < MOST_TOLD else
                 f"{source}: more than {MOST_TOLD} lines like these; the rest are not told")
