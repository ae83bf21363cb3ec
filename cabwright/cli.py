"""cabwright: the program. It parses the command line, runs one command, prints what the command
returns and sets the exit status; nothing below it prints.

Exit statuses: 0 done (warnings allowed), 1 the input has faults (nothing written), 2 the
command line is wrong.
"""
import argparse
import difflib
import json
import os
import pathlib
import sys

from cabwright import __version__
from cabwright.diagnostics import Faults, escaped, located
from cabwright.settings import BY_NAME, SETTINGS

COMMANDS = {
    "release": "one finished setup.exe, the packager's own: icon, version information, signature",
    "package": "a package checked as the installer reads it, shipped as a folder, a ZIP file or "
               "one program",
    "cab": "device CABs made from an application's .inf, as the device SDK's CAB tool makes them",
    "cab-info": "what a device CAB will do to a device, and who signed it",
    "inf2cab": "the device SDK's CAB tool's command line (also installed as inf2cab)",
}
REQUIRED = {"release": ("OUT",), "cab": ("INF", "OUT"), "cab-info": ("CAB",)}
EPILOG = """exit status: 0 done (warnings allowed), 1 the input has faults and nothing was written,
2 the command line is wrong.

Settings are given as --name value or NAME=value; only settings given count (one in the
environment is warned about, not used). SOURCE_DATE_EPOCH in the environment dates the files in
a CAB (the standard for reproducible builds)."""


def settings_of(command):
    return [s for s in SETTINGS if command in s.commands]


def parser():
    """The program's parsers: its --help and its man pages come from these."""
    top = argparse.ArgumentParser(
        prog="cabwright", description="Builds, checks, signs and ships the setup of a handheld "
        "device's application: device CABs from an .inf, install.ini, and setup.exe, which "
        "starts ActiveSync's installer.", epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False)
    top.add_argument("--version", action="version", version=f"cabwright {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, text in COMMANDS.items():
        one = commands.add_parser(name, help=text, description=text, epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter,
                                  allow_abbrev=False, add_help=name != "inf2cab")
        if name == "inf2cab":
            one.add_argument("words", nargs=argparse.REMAINDER,
                             help="file.inf [/dest DIR] [/err FILE] [/cpu A B ...] [/compress] "
                             "[/prexml F] [/postxml F] [/drives MAP] [/pfx F] ...; "
                             "inf2cab /? tells more")
            continue
        for setting in settings_of(name):
            if name == "cab-info" and setting.name == "CAB":
                continue
            one.add_argument(setting.option, dest=setting.name, metavar=setting.metavar,
                             help=setting.help)
        if name in ("cab-info", "package"):
            one.add_argument("--json", action="store_true",
                             help="print one JSON document in place of the text")
        if name == "cab-info":
            one.add_argument("--diff", nargs=2, metavar=("OLD.cab", "NEW.cab"),
                             help="what installing NEW.cab changes on a device against OLD.cab")
        one.add_argument("words", nargs="*", metavar="NAME=value" if name != "cab-info"
                         else "FILE.cab", help="settings as make takes them" if name !=
                         "cab-info" else "the CAB to list (or CAB=file.cab)")
    return top


def nearest(name, names):
    close = difflib.get_close_matches(name.upper(), names, 1, 0.6)
    return f"; did you mean {close[0]}?" if close else ""


def gather(command, args, unknown):
    """The settings given, by name: ({NAME: value}, faults of the command line)."""
    values, faults = {}, []
    known = [s.name for s in settings_of(command)]
    options = [s.option for s in settings_of(command)]
    for word in unknown:
        if word.startswith("--"):
            option = word.split("=", 1)[0]
            close = difflib.get_close_matches(option, options + ["--json", "--help"], 1, 0.6)
            faults.append(f"{option}: no such option of {command}"
                          + (f"; did you mean {close[0]}?" if close else ""))
        else:
            faults.append(f"{word}: not a setting; give settings as --name value or NAME=value")
    for setting in settings_of(command):
        value = getattr(args, setting.name, None)
        if value is not None:
            values[setting.name] = value
    for word in args.words:
        name, sep, value = os.fsencode(word).decode("utf-8", "replace").partition("=")
        if not sep and command == "cab-info" and "CAB" not in values:
            values["CAB"] = word
        elif not sep:
            faults.append(f"{word}: not a setting; give settings as --name value or NAME=value")
        elif name not in BY_NAME:
            faults.append(f"{name}: no such setting{nearest(name, list(BY_NAME))}")
        elif name not in known:
            users = " and ".join(sorted(BY_NAME[name].commands))
            faults.append(f"{name}: not a setting of {command}; it goes with {users}")
        elif name in values and values[name] != value:
            faults.append(f"{name}: given twice, as {values[name]} and {value}")
        else:
            values[name] = value
    values = {name: value for name, value in values.items() if value}
    if getattr(args, "diff", None):
        if "CAB" in values:
            faults.append("--diff OLD.cab NEW.cab compares two CABs; give no other")
        values["DIFF"] = args.diff
    for name in REQUIRED.get(command, ()):
        if name not in values and "DIFF" not in values:
            faults.append(f"{name} is needed: cabwright {command} " + (
                "FILE.cab" if name == "CAB" else f"--{name.lower()} ... (or {name}=...)"))
    return values, faults


def environment_warnings(command, values):
    return [f"{s.name} is in the environment and not used: settings count only where they "
            "are given" for s in settings_of(command)
            if s.name in os.environ and s.name not in values]


class Terminal:
    """Every line goes out here, once, its control characters shown escaped. A closed standard
    output (`| head`) ends the printing quietly, not the command."""

    def __init__(self, command):
        self.command, self.warnings, self.closed = command, [], False

    def line(self, text, to=None, raw=False):
        stream = to or sys.stdout
        try:
            print(text if raw else escaped(text), file=stream, flush=True)
        except BrokenPipeError:
            if stream is sys.stdout:
                # Further output has nowhere to go; keep the interpreter from reporting it at exit.
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, sys.stdout.fileno())
                self.closed = True

    def say(self, text):
        """A line a command tells as it goes: a warning, or what it did."""
        if text.startswith("warning: "):
            self.warnings.append(text.removeprefix("warning: "))
        self.line(f"{self.command}: {text}", sys.stderr)

    def fault(self, text):
        self.line(f"{self.command}: {text}", sys.stderr)


def run(command, values, terminal, as_json):
    """Status 0 or 1, with the command's output printed."""
    data, lines, faults = None, [], []
    try:
        if command == "release":
            from cabwright.commands import release
            lines = release.release(values)
        elif command == "package":
            from cabwright.commands import package
            lines, data = package.run(values, terminal.say)
        elif command == "cab":
            from cabwright.commands import cab
            lines = cab.run(values, terminal.say)
        else:
            from cabwright.commands import cab_info
            if "DIFF" in values:
                lines, data, warnings = cab_info.diff(*map(pathlib.Path, values["DIFF"]))
            else:
                lines, data, warnings = cab_info.run(pathlib.Path(values["CAB"]))
            for line in warnings:
                terminal.warnings.append(line)
    except Faults as error:
        faults = error.lines
    if as_json:
        document = {**(data or {}), "warnings": [located(w) for w in terminal.warnings],
                    "faults": [located(f) for f in faults]}
        # ASCII with escapes: the true text for a program, nothing raw for a terminal.
        terminal.line(json.dumps(document, indent=2), raw=True)
    else:
        for line in faults:
            terminal.fault(line)
        for line in lines:  # a listing stands alone; a report's first lines name the command
            terminal.line(line if command == "cab-info" or line.startswith(" ")
                          else f"{command}: {line}")
        if command == "cab-info":
            for line in terminal.warnings:
                terminal.line(f"{command}: warning: {line}", sys.stderr)
    return 1 if faults else 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    top = parser()
    if argv and argv[0] == "inf2cab":
        return inf2cab(argv[1:])
    args, unknown = top.parse_known_args(argv)
    command = args.command
    terminal = Terminal(command)
    values, faults = gather(command, args, unknown)
    if faults:
        for line in faults:
            terminal.fault(line)
        return 2
    for line in environment_warnings(command, values):
        terminal.say(f"warning: {line}")
    return run(command, values, terminal, getattr(args, "json", False))


def inf2cab(argv=None):
    """The second name: the SDK tool's command line, word for word."""
    from cabwright.commands import inf2cab as tool
    return tool.main(sys.argv[1:] if argv is None else argv)


if __name__ == "__main__":
    sys.exit(main())
