"""install.ini files made from the format's corners by a seeded generator, each read by make
package's reader and by Wine's GetPrivateProfileStringA (the stand-in answers every question in
one run): each difference is a failure naming the file, the section and the key."""
import json
import random
import subprocess

from cabwright.formats import ini
from wine import harness as wine

SEED, FILES = 2026, 300
NAMES = ["CEAppManager", "Notes", "CabFiles", "Version", "a b"]  # of sections and keys alike
VALUES = ["1.0", "a.cab,sub\\b.cab", "x ; y", "", "Caf\xe9", "v=w", "[x]"]
DEFAULT = "<default>"


def blanks(rng):
    return rng.choice(["", "", " ", "\t", " \t "])


def name(rng):  # in any letter case, blanks around it
    letters = [c.upper() if rng.random() < 0.3 else c.lower() if rng.random() < 0.3 else c
               for c in rng.choice(NAMES)]
    return blanks(rng) + "".join(letters) + blanks(rng)


def value(rng):  # quoted, or with quotes that don't match
    quote = rng.choice(["", "", '"', "'"])
    close = rng.choice([quote, quote, "", "'" if quote == '"' else '"'])
    return blanks(rng) + quote + rng.choice(VALUES) + close + blanks(rng)


def line(rng):
    draw = rng.random()
    if draw < 0.22:
        return f"{blanks(rng)}[{name(rng)}]{rng.choice(['', '', ' more', ']', blanks(rng)])}"
    if draw < 0.27:
        return f"[{name(rng)}"  # no ']'
    if draw < 0.35:
        return f"{blanks(rng)};{name(rng)}={value(rng)}"
    if draw < 0.45:
        return name(rng)  # no '='
    if draw < 0.48:
        return f"={value(rng)}"  # no name
    return f"{name(rng)}={value(rng)}"


def generate(rng):
    lines = [line(rng) for _ in range(rng.randint(1, 24))]
    if rng.random() < 0.7:  # most files start with a section, as most do
        lines.insert(0, f"[{name(rng)}]")
    text = rng.choice(["\r\n", "\n"]).join(lines)
    text += rng.choice(["", "\r\n", "\n"])
    if rng.random() < 0.2:
        return b"\xff\xfe" + text.encode("utf-16-le")
    return text.encode("cp1252")


def ours(data):
    profile = ini.read(data)
    for section in NAMES:
        for key in NAMES:
            found = profile.section(section)
            entry = found.get(key) if found else None
            yield section, key, entry.value if entry else DEFAULT


def run(western):
    rng = random.Random(SEED)
    folder = wine.DRIVE_D / "INI"
    folder.mkdir(parents=True, exist_ok=True)
    files, probes = [], []
    for n in range(FILES):
        path, data = f"D:\\INI\\g{n}.ini", generate(rng)
        wine.unix(path).write_bytes(data)
        files.append((path, list(ours(data))))
        probes += [f"{path}\t{section}\t{key}\n" for section, key, _ in files[-1][1]]
    (folder / "probes.txt").write_text("".join(probes), "ascii")
    answers = subprocess.run([wine.WINE, wine.windows(wine.standin())], capture_output=True,
                             env=wine.env(**western, STANDIN_PROBES="D:\\INI\\probes.txt"),
                             stdin=subprocess.DEVNULL, timeout=300).stdout.splitlines()
    if len(answers) != len(probes):
        return [f"profiles: the stand-in answered {len(answers)} of {len(probes)} questions"]
    # The stand-in writes each byte above 0x7F as the code point of the same value.
    answers = iter(json.loads(a).encode("latin-1").decode("cp1252", "replace") for a in answers)
    return [f"profiles: {wine.unix(path).name} [{section}] {key}: make package reads {mine!r}, "
            f"Wine {wines!r}"
            for path, read in files for (section, key, mine), wines in zip(read, answers)
            if mine != wines]
