"""install.ini as the installer reads it: through the platform's profile functions.

Not configparser's rules: names of sections and keys are compared without regard to letter
case; blanks around names and values are trimmed; one pair of matching quotation marks around a
value is dropped; a line starting with ';' is a comment; where a section or a key appears twice,
the first one is the one found. A file starting with the UTF-16LE byte-order mark is UTF-16;
any other is bytes in the ANSI code page, a UTF-8 byte-order mark included.
"""
import codecs

UTF16_BOM = b"\xff\xfe"
UTF8_BOM = b"\xef\xbb\xbf"
# What the profile functions take for blanks at either end of a line, name or value.
BLANKS = " \t\r\x0b\x0c\x1a"


class Entry:
    """A key's value and the line it is on (1-based). A key line without '=' has the value
    None: it is there, so a later line of the same key is not read, but it holds nothing."""

    def __init__(self, name, value, line):
        self.name, self.value, self.line = name, value, line


class Section:
    def __init__(self, name, line):
        self.name, self.line, self.keys = name, line, {}

    def get(self, key):
        """The key's entry, or None where it is missing or has no value, as the installer sees
        either."""
        entry = self.keys.get(key.casefold())
        return entry if entry is not None and entry.value is not None else None


class Profile:
    """The sections of one file, the first of each name; the warnings met on the way."""

    def __init__(self):
        self.sections, self.warnings, self.faults = {}, [], []

    def section(self, name):
        return self.sections.get(name.strip(BLANKS).casefold())


def unquote(value):
    if len(value) >= 2 and value[0] in "\"'" and value[-1] == value[0]:
        return value[1:-1]
    return value


def decode(data, code_page, profile):
    """The file's text, and for an 8-bit file a warning for each line whose bytes read as
    UTF-8: the installer shows them as characters of the ANSI code page instead."""
    if data.startswith(UTF16_BOM):
        return data[2:].decode("utf-16-le", "replace")
    for number, raw in enumerate(data.split(b"\n"), 1):
        if not raw.isascii():
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError:
                continue
            shown = raw.decode(code_page, "replace").strip(BLANKS)
            profile.warnings.append((number, f"its non-ASCII text is UTF-8 ('{text.strip()}'); "
                                             f"the installer reads code page {code_page[2:]} and "
                                             f"shows '{shown}'"))
    return data.decode(code_page, "replace")


def read(data, code_page="cp1252"):
    """A Profile of the file's bytes."""
    profile = Profile()
    current = None
    # The mark is read apart, so the rest of its line is told as it stands.
    bom = data.startswith(UTF8_BOM)
    for number, raw in enumerate(decode(data[3 if bom else 0:], code_page, profile)
                                 .split("\n"), 1):
        line = raw.strip(BLANKS)
        if not line or line.startswith(";"):
            continue
        marked = bom and number == 1
        if line.startswith("[") and "]" in line:
            name = line[1:line.rindex("]")].strip(BLANKS)
            key = name.casefold()
            if marked:
                # The profile functions read the mark as three characters of the code page,
                # even on Windows 10, so this line is no section header for them.
                profile.faults.append((number, f"a UTF-8 byte-order mark stands before [{name}], "
                                               "which hides the section from the installer; save "
                                               "the file as ANSI or as UTF-16 (Unicode)"))
                current = Section(name, number)  # read, never found
            elif key in profile.sections:
                first = profile.sections[key].line
                profile.warnings.append((number, f"[{name}] appears again; the installer reads "
                                                 f"only the first, on line {first}"))
                current = Section(name, number)  # read, never found
            else:
                current = profile.sections[key] = Section(name, number)
            continue
        name, sep, value = line.partition("=")
        name = name.strip(BLANKS)
        if not sep and current is not None and name.casefold() not in current.keys:
            # The profile functions take it for the key without a value: it reads as missing,
            # and it hides a later line of the same key.
            profile.warnings.append((number, f"'{line}' has no '='; the installer takes it for "
                                             f"{name} without a value, and reads no later {name}"))
            current.keys[name.casefold()] = Entry(name, None, number)
            continue
        if current is None:
            profile.warnings.append((number, f"{name} stands before any [section]; the installer "
                                             "ignores it"))
            continue
        if name.casefold() in current.keys:
            first = current.keys[name.casefold()].line
            profile.warnings.append((number, f"{name} appears again in [{current.name}]; the "
                                             f"installer reads only the first, on line {first}"))
            continue
        current.keys[name.casefold()] = Entry(name, unquote(value.strip(BLANKS)), number)
    return profile


def code_page(number):
    """Python's codec for a Windows ANSI code page number, or None."""
    try:
        return codecs.lookup(f"cp{int(number)}").name and f"cp{int(number)}"
    except (LookupError, ValueError):
        return None
