#!/usr/bin/env python3
"""setup.exe run for real under Wine, one case a row.

    python3 -m tests.e2e.e2e setup        make the private prefix (once per run)
    python3 -m tests.e2e.e2e run NAME...  run cases; `list` names them
    python3 -m tests.e2e.e2e cleanup      stop the prefix's wineserver

From the repository's root, as CTest runs it.

Each row says what it sets up (registry value, current directory, the launcher's exact command
line) and what must follow: the child's command line and directory as the stand-in saw them, or
that nothing was started, and whether the one message appears. Every row also checks, from the
trace of setup.exe's own calls, that it exits with status 0, closes the key exactly when it opened
it, writes nothing, and starts its child with inherited handles, flags 0 and no environment or
directory of its own.
"""
import re
import struct
import subprocess
import sys
import time

from wine import harness as wine

INSTALLER = wine.INSTALLER
SPACED = "C:\\Program Files\\Device Manager\\CEAPPMGR.EXE"  # an installer path with blanks
MESSAGE = ("Cannot find ActiveSync.  Please reinstall ActiveSync, then run this installation "
           "again.")
LONG_DIR = "D:\\" + "\\".join(["l" * 60] * 4) + "\\pkg"  # 251 bytes: past the 245 that fit


WESTERN = {"LC_ALL": "C.UTF-8", "LANG": "C.UTF-8"}        # Wine's code page 1252
JAPANESE = {"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"}  # code page 932
# The default argument in a folder named by its short name (none of its bytes a '?').
SHORT_NAMED = re.compile(re.escape(INSTALLER) + r' "D:\\[^\0- "?\\\x7f-\xff]{1,12}\\install\.ini"')
# Package folders by their wide names, and the component each one's install.ini names.
# PKG-L is a decoy: the look-alike of PKG-\u0141 in code page 1252.
FOLDERS = {"PKG-\u8868": "cjk", "PKG-\ud55c": "hangul", "PKG-\xe9": "latin",
           "PKG-\u0141": "lookalike", "PKG-L": "decoy"}


def sz(text, nul=True, type_=1, view="default"):
    data = text.encode("latin-1") + (b"\0" if nul else b"")
    return f"{view}:{type_}:{data.hex()}"


def line(installer, argument):
    return f"{installer} {argument}"


# name: (registry, current directory, launcher command line,
#        expected child command line or None for nothing started, message shown, extra setup)
CASES = {
    # The registry doesn't say: the message, nothing started.
    "no-key": ("none", "D:\\PKG", "D:\\PKG\\setup.exe", None, True),
    "key-without-value": ("novalue", "D:\\PKG", "D:\\PKG\\setup.exe", None, True),
    "value-of-261-bytes": (sz("C:\\" + "v" * 257), "D:\\PKG", "D:\\PKG\\setup.exe", None, True),
    "message-despite-tail": ("none", "D:\\PKG", "setup.exe x.ini", None, True),
    # The install argument.
    "default-from-folder": (sz(INSTALLER), "D:\\PKG", "D:\\PKG\\setup.exe",
                            line(INSTALLER, '"D:\\PKG\\install.ini"'), False),
    "default-from-drive-root": (sz(INSTALLER), "D:\\", "D:\\setup.exe",
                                line(INSTALLER, '"D:\\\\install.ini"'), False),
    "tail-of-blanks-and-tabs": (sz(INSTALLER), "D:\\PKG", "setup.exe  \t \t",
                                line(INSTALLER, '"D:\\PKG\\install.ini"'), False),
    "tail-quoted-path": (sz(INSTALLER), "D:\\PKG", 'setup.exe "D:\\My Apps\\app.ini"',
                         line(INSTALLER, '"D:\\My Apps\\app.ini"'), False),
    "tail-several-words": (sz(INSTALLER), "D:\\PKG", "setup.exe one  two three ",
                           line(INSTALLER, "one  two three "), False),
    "name-quoted-with-blanks": (sz(INSTALLER), "D:\\PKG", '"D:\\My Setup\\setup.exe" one two',
                                line(INSTALLER, "one two"), False),
    "name-quote-never-closed": (sz(INSTALLER), "D:\\PKG", '"D:\\PKG\\setup.exe one two',
                                line(INSTALLER, '"D:\\PKG\\install.ini"'), False),
    "install-ini-absent": (sz(INSTALLER), "D:\\EMPTY", "setup.exe",
                           line(INSTALLER, '"D:\\EMPTY\\install.ini"'), False),
    # Finding the installer's file; where nothing can be started, the message all the same.
    "installer-missing": (sz("C:\\Nowhere\\CEAPPMGR.EXE"), "D:\\PKG", "setup.exe", None, True),
    "not-a-program": (sz("C:\\ActiveSync\\readme.txt"), "D:\\PKG", "setup.exe", None, True),
    "com-before-exe": (sz("C:\\Probe\\PROG"), "D:\\PKG", "setup.exe a",
                       "C:\\Probe\\PROG a", False),
    "dot-only-in-folder": (sz("C:\\A.B\\PROG"), "D:\\PKG", "setup.exe a", "C:\\A.B\\PROG a", False),
    "bare-name": (sz("PROG"), "D:\\PKG", "setup.exe a", "PROG a", False),
    "drive-relative-name": (sz("D:PROG"), "D:\\PKG", "setup.exe a", "D:PROG a", False),
    # Sound behaviour where the plain rules would fail the user.
    "directory-past-245-bytes": (sz(INSTALLER), LONG_DIR, "setup.exe",
                                 line(INSTALLER, f'"{LONG_DIR}\\install.ini"'), False),
    "value-without-nul": (sz(INSTALLER, nul=False), "D:\\PKG", "setup.exe a",
                          line(INSTALLER, "a"), False),
    "expandable-value": (sz("%SystemDrive%\\ActiveSync\\CEAPPMGR.EXE", type_=2), "D:\\PKG",
                         "setup.exe a", line("C:\\ActiveSync\\CEAPPMGR.EXE", "a"), False),
    "quoted-value": (sz(f'"{SPACED}"'), "D:\\PKG", "setup.exe",
                     line(f'"{SPACED}"', '"D:\\PKG\\install.ini"'), False),
    "installer-path-with-blanks": (sz(SPACED), "D:\\PKG", "setup.exe",
                                   line(f'"{SPACED}"', '"D:\\PKG\\install.ini"'), False),
    "key-in-64-bit-view-only": (sz(INSTALLER, view="other"), "D:\\PKG", "setup.exe",
                                line(INSTALLER, '"D:\\PKG\\install.ini"'), False),
    # A child built on the C runtime gets the launcher's standard handles, slot by slot.
    "handle-block": (sz(INSTALLER), "D:\\PKG", "setup.exe", line(INSTALLER, '"D:\\PKG\\install.ini"'),
                     False, {"stdhandles": True}),
    # A package folder named outside the ANSI code page is named by its short name, which
    # the installer can open; one named inside it keeps its own name, byte for byte.
    "folder-cjk-western": (sz(INSTALLER), "D:\\", "setup.exe", SHORT_NAMED, False,
                           {"wide_dir": "D:\\PKG-\u8868", "ini": "cjk", "extra_env": WESTERN}),
    "folder-hangul-932": (sz(INSTALLER), "D:\\", "setup.exe", SHORT_NAMED, False,
                          {"wide_dir": "D:\\PKG-\ud55c", "ini": "hangul", "extra_env": JAPANESE}),
    "folder-lookalike-western": (sz(INSTALLER), "D:\\", "setup.exe", SHORT_NAMED, False,
                                 {"wide_dir": "D:\\PKG-\u0141", "ini": "lookalike",
                                  "extra_env": WESTERN}),
    "folder-latin-western": (sz(INSTALLER), "D:\\PKG-\xe9", "setup.exe",
                             line(INSTALLER, '"D:\\PKG-\xe9\\install.ini"'), False,
                             {"ini": "latin", "extra_env": WESTERN}),
}
# The image each probing case must start, when it isn't the registry's own path.
IMAGES = {"com-before-exe": "C:\\Probe\\PROG.com", "dot-only-in-folder": "C:\\A.B\\PROG.exe",
          "bare-name": "D:\\PKG\\PROG.exe", "drive-relative-name": "D:\\PKG\\PROG.exe"}
ONLY_I386 = {"key-in-64-bit-view-only"}  # a 64-bit twin reads that view by default


def lay_out_files():
    """The package folders and the probing targets every case may use."""
    standin = wine.standin().read_bytes()
    for folder in ("PKG", "EMPTY", "My Apps"):
        (wine.DRIVE_D / folder).mkdir(parents=True, exist_ok=True)
    (wine.DRIVE_D / "PKG" / "install.ini").write_text(
        "[CEAppManager]\r\nVersion = 1.0\r\nComponent = Sample\r\n"
        "[Sample]\r\nDescription = A sample application\r\nCabFiles = sample.cab\r\n")
    for folder, component in FOLDERS.items():
        (wine.DRIVE_D / folder).mkdir(exist_ok=True)
        (wine.DRIVE_D / folder / "install.ini").write_text(
            f"[CEAppManager]\r\nVersion = 1.0\r\nComponent = {component}\r\n")
    wine.unix(LONG_DIR).mkdir(parents=True, exist_ok=True)
    for path in ("C:\\Probe\\PROG.com", "C:\\Probe\\PROG.exe", "C:\\A.B\\PROG.exe",
                 "D:\\PKG\\PROG.exe"):
        wine.unix(path).parent.mkdir(parents=True, exist_ok=True)
        wine.unix(path).write_bytes(standin)
    wine.unix("C:\\ActiveSync\\readme.txt").write_text("not a program\r\n")


def image_range():
    """Where Wine maps setup.exe: its preferred base (the twin and the shipped file alike)."""
    data = (wine.exe_dir() / "setup.exe").read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    base = struct.unpack_from("<Q" if magic == 0x20B else "<I", data,
                              pe + 24 + (24 if magic == 0x20B else 28))[0]
    size = struct.unpack_from("<I", data, pe + 24 + 56)[0]
    return base, base + size


def own_calls(relay):
    """The platform calls setup.exe made itself, as (call line, return line) pairs."""
    low, high = image_range()
    calls, pending = [], []
    for text in relay:
        ret = int(text.rsplit("ret=", 1)[1], 16) if "ret=" in text else 0
        if not low <= ret < high:
            continue
        if ":Call " in text:
            pending.append(text)
        elif pending:
            calls.append((pending.pop(), text))
    calls.extend((text, "") for text in pending)  # ExitProcess does not return
    return calls


def check_trace(name, relay, expect_start, message, failures, libraries=()):
    """Checks setup.exe's own calls; returns its MessageBoxA calls and whether a CreateProcessA
    of its succeeded (None when the trace doesn't show it ending, so it can't tell).
    `libraries`: those the case loads beyond user32.dll for the message."""
    calls = own_calls(relay)
    names = [call.split(":Call ", 1)[1].split("(", 1)[0].lower() for call, _ in calls]
    opened = sum(1 for (call, ret), n in zip(calls, names)
                 if n == "advapi32.regopenkeyexa" and "retval=00000000" in ret)
    closed = names.count("advapi32.regclosekey")
    if opened != closed or opened > 1:
        failures.append(f"{name}: key opened {opened} times, closed {closed} times")
    writes = [n for n in names if any(w in n for w in ("regset", "regcreate", "regdelete",
                                                        "createfile", "writefile"))]
    if writes:
        failures.append(f"{name}: wrote {writes}")
    check_dll_search(name, calls, names, message, failures, libraries)
    creates = [(call, ret) for (call, ret), n in zip(calls, names) if n == "kernel32.createprocessa"]
    for call, _ in creates:
        args = call.split("(", 1)[1].rsplit(") ret=", 1)[0]
        tail = [a.lstrip("0") or "0" for a in args.rsplit(",", 8)[1:]]
        # security, security, inherit, flags, environment, directory, start info, process info
        if tail[:6] != ["0", "0", "1", "0", "0", "0"]:
            failures.append(f"{name}: CreateProcessA given {tail[:6]}")
    if expect_start and not creates:
        failures.append(f"{name}: CreateProcessA never called")
    started = any("retval=00000000" not in ret for _, ret in creates)
    ended = any(n == "kernel32.exitprocess" for n in names)
    boxes = [call for (call, _), n in zip(calls, names) if n.endswith("messageboxa")]
    return boxes, started if started or ended else None


def check_dll_search(name, calls, names, message, failures, libraries=()):
    """Before anything but looking it up, setup.exe restricts the DLL search to the system
    directory (LOAD_LIBRARY_SEARCH_SYSTEM32, 0x800), so a DLL planted beside it is never loaded;
    then it loads no library at all, but user32.dll for the message."""
    restrict = [i for i, n in enumerate(names) if n.endswith(".setdefaultdlldirectories")]
    if not restrict:
        failures.append(f"{name}: SetDefaultDllDirectories never called")
        return
    first = restrict[0]
    argument = calls[first][0].split("(", 1)[1].split(")", 1)[0]
    if int(argument, 16) != 0x800:
        failures.append(f"{name}: SetDefaultDllDirectories({argument})")
    before = set(names[:first]) - {"kernel32.getmodulehandlea", "kernel32.getprocaddress"}
    if before:
        failures.append(f"{name}: {sorted(before)} before the DLL search is restricted")
    loads = [(i, call) for i, (call, _) in enumerate(calls) if "loadlibrary" in names[i]]
    want = [*libraries, *["user32.dll"] * bool(message)]
    if [call.lower().split('"')[1] for _, call in loads if '"' in call] != want or any(
            i < first for i, _ in loads):
        failures.append(f"{name}: libraries loaded {[call for _, call in loads]}, expected "
                        f"{' and '.join(want) or 'none'} after the restriction")


def run_case(name):
    registry, directory, command, expected, message, *more = CASES[name]
    if name in ONLY_I386 and wine.arch() != "i386":
        print(f"{name}: skipped (the 64-bit twin reads that view by default)")
        return None
    lay_out_files()
    return verify(name, registry, directory, command, expected, message, IMAGES.get(name),
                  **(more[0] if more else {}))


def verify(name, registry, directory, command, expected, message, image=None, extra_env=None,
           runner=None, patience_s=30, wide_dir=None, ini=None, stdhandles=False):
    """Runs setup.exe once and compares what happened with what a row expects. `expected` is
    the child's whole command line (str of Latin-1 bytes, or a pattern), or None for nothing
    started, and `message` whether the one message must appear. `wide_dir`: a folder entered by
    its wide name, after `directory`; `ini`: the component that the install.ini the child was
    given must name. `stdhandles`: setup.exe gets standard handles of three kinds, and the child
    their block. Returns the failures, or None when Wine refuses the current directory to a new
    process (a case that can't be set up)."""
    failures = []
    fields = {"wdir": wide_dir.encode().hex()} if wide_dir else {}
    if stdhandles:
        fields["stdhandles"] = "1"
    record, _, relay = wine.run_setup(command, directory, registry, dismiss=message is not False,
                                      standin_env=extra_env, runner=runner,
                                      timeout_ms=patience_s * 1000, more_fields=fields)
    if record.get("error", "").startswith("create: directory refused"):
        print(f"{name}: skipped: Wine won't give a new process this current directory "
              f"({record['error']})")
        return None
    # The trace shows the call itself: null owner, the text, the caption, MB_ICONERROR.
    boxes, launched = check_trace(name, relay, expected is not None, message, failures)
    # A child writes its record after the launcher has ended. Where the trace shows that the
    # launcher ended without starting one, none can come; otherwise wait for it in full.
    started = [] if expected is None and launched is False else wine.wait_for_child(patience_s)
    if record.get("exit") != 0 or record.get("timed_out"):
        failures.append(f"{name}: launcher record {record}")
    trace = (wine.WINE_DIR / "case" / "relay.txt").read_text(encoding="latin-1")
    if "Unhandled exception" in trace or "Unhandled page fault" in trace:
        failures.append(f"{name}: Wine reported a crash")
    if expected is None:
        if started or launched:
            failures.append(f"{name}: started {started or 'a process'}")
    elif len(started) != 1:
        failures.append(f"{name}: expected one start, got {started}")
    else:
        failures += check_child(name, started[0], expected, directory, image, wide_dir, ini,
                                stdhandles)
    box = record.get("box")
    if message:
        want_box = {"caption": "Setup", "text": MESSAGE, "buttons": 1}
        if box != want_box:
            failures.append(f"{name}: message box {box}, expected {want_box}")
    elif box is not None:
        failures.append(f"{name}: unexpected message box {box}")
    calls = [re.match(r'.*MessageBoxA\((\w+),\w+ "(.*)",\w+ "(.*)",(\w+)\) ret=', b) for b in boxes]
    got = [(int(c[1], 16), c[2], c[3], int(c[4], 16)) if c else b for c, b in zip(calls, boxes)]
    if got != ([(0, MESSAGE, "Setup", 0x10)] if message else []):
        failures.append(f"{name}: MessageBoxA called as {got}")
    return failures


# GetFileType of each kind of standard handle the runner gives, and the C runtime's flags for
# it (open and text, plus device or pipe), in slot order: the NUL device, a pipe, a file.
STD_KINDS = [2, 3, 1]
STD_FLAGS = [0xC1, 0x89, 0x81]


def check_child(name, child, expected, directory, image, wide_dir, ini, stdhandles):
    """What the one child saw against what the row expects."""
    failures = []
    if isinstance(expected, re.Pattern):
        if not expected.fullmatch(child["command_line"]):
            failures.append(f"{name}: child saw {child['command_line']!r}, expected "
                            f"{expected.pattern!r}")
        expected = child["command_line"]
    if image is None:
        image = expected[1:].split('"')[0] if expected[0] == '"' else expected.split(" ")[0]
    # A folder entered by its wide name has no faithful ANSI name for the child to report.
    got = (child["command_line"], child["cwd"] if not wide_dir else "", child["image"].lower())
    want = (expected, directory if not wide_dir else "", image.lower())
    if got != want:
        failures.append(f"{name}: child saw {got}, expected {want}")
    inis = child.get("inis") or [{}]
    if ini and (not inis[0].get("exists") or inis[0].get("component") != ini):
        failures.append(f"{name}: the argument names {inis[0]}, expected the install.ini of {ini}")
    block = child.get("reserved", {})
    if stdhandles and (block.get("count"), block.get("flags"), block.get("kinds"),
                       block.get("own_kinds")) != (3, STD_FLAGS, STD_KINDS, STD_KINDS):
        failures.append(f"{name}: handle block {block}, expected 3 slots with flags "
                        f"{STD_FLAGS} naming handles of kinds {STD_KINDS}, as its own")
    return failures


def message_box_window():
    """The message as a person sees it: a window captioned Setup that keeps the launcher running
    until OK is pressed; then status 0. Its picture, frame and caption included, goes to
    build/message-box.png. No window manager runs here, so the case runs in a desktop of Wine's
    own, which draws frames itself; X sees only that desktop, so the runner finds the box, says
    where it is, holds it up for the picture and reads that same window before pressing OK."""
    failures = []
    lay_out_files()
    hold_ms = 3000
    picture = wine.BUILD / "message-box.png"
    picture.unlink(missing_ok=True)
    shown, out = None, b""
    with wine.virtual_desktop():
        process = wine.run_setup("setup.exe", "D:\\PKG", "none", dismiss=True, relay=False,
                                 wait=False, hold_ms=hold_ms)
        for text in process.stdout:  # not to its end: the child may hold the pipe open
            if text.startswith(b"shown "):
                shown = [int(v) for v in text.split()[1:]]
                left, top, right, bottom = shown
                desktop = subprocess.run(["xdotool", "search", "--name",
                                          f"^{wine.DESKTOP} - Wine desktop$"], env=wine.env(),
                                         capture_output=True, text=True).stdout.split()
                time.sleep(1.0)  # let it paint
                try:  # import waits on a window that is gone
                    subprocess.run(["import", "-window", desktop[0] if desktop else "root",
                                    "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                                    "+repage", f"PNG8:{picture}"], env=wine.env(), timeout=20)
                except subprocess.TimeoutExpired:
                    pass
            elif text.startswith(b"{"):
                out = text
                break
        process.wait()
    record = wine.finish(out, wine.WINE_DIR / "case" / "standin.log",
                         wine.WINE_DIR / "case" / "relay.txt")[0]
    if shown is None:
        failures.append("message-box-window: no window captioned Setup appeared")
    elif not picture.exists():
        failures.append("message-box-window: no picture taken")
    want_box = {"caption": "Setup", "text": MESSAGE, "buttons": 1, "rect": shown}
    if record.get("box") != want_box:
        failures.append(f"message-box-window: pictured window read as {record.get('box')}, "
                        f"expected {want_box}")
    if record.get("ms", 0) < hold_ms:
        failures.append(f"message-box-window: the box was not up for {hold_ms} ms: {record}")
    if record.get("exit") != 0 or record.get("timed_out"):
        failures.append(f"message-box-window: launcher record {record}")
    return failures


def launcher_does_not_wait():
    """The launcher ends while its child still runs, and the child has its environment (the
    stand-in finds its log through it) and its current directory."""
    failures = []
    lay_out_files()
    record, started, _ = wine.run_setup("setup.exe", "D:\\PKG", sz(INSTALLER), relay=False,
                                        standin_env={"STANDIN_DELAY_MS": "3000"})
    if record.get("exit") != 0 or record.get("ms", 1e9) >= 3000 or started:
        failures.append(f"launcher-does-not-wait: launcher {record}, child records {started}")
    started = wine.wait_for_child()
    if len(started) != 1 or started[0]["cwd"] != "D:\\PKG":
        failures.append(f"launcher-does-not-wait: child records {started}")
    return failures


# install.ini files as packagers write them, odd ones included: make package's reader must read
# each as Wine's GetPrivateProfileStringA does (one launcher run reads them all).
PROFILES = [
    b"[ceappmanager]\r\n  version =  1.0  \r\nCOMPONENT=App\r\n[ APP ]\r\n"
    b"Description = \"Quoted\" \r\ncabfiles=a.cab,sub\\b.cab\r\n",
    b"[CEAppManager]\nVersion=1.0\nComponent=First\nComponent=Second\n[First]\n"
    b"Description=one\nCabFiles=1.cab\n[first]\nDescription=two\nCabFiles=2.cab\n"
    b"[CEAppManager]\nComponent=Third\n",
    b"; a comment\r\nVersion=9\r\n[CEAppManager]\r\n;Component=X\r\nComponent=Y\r\nno equals\r\n"
    b"[Y]\r\nDescription='single'\r\nCabFiles = a.cab , b.cab,,c.cab \r\n",
    "\ufeff[CEAppManager]\r\nVersion=1.0\r\nComponent=Wide\r\n[Wide]\r\nDescription=Caf\xe9\r\n"
    "CabFiles=x.cab\r\n".encode("utf-16-le"),
    b"[CEAppManager]\r\nVersion=1.0\r\nComponent=Latin\r\n[Latin]\r\nDescription=Caf\xe9\r\n",
]


def profiles_as_wine_reads():
    from cabwright.formats import ini
    lay_out_files()
    paths = [f"D:\\INI\\{n}.ini" for n in range(len(PROFILES))]
    for path, data in zip(paths, PROFILES):
        wine.unix(path).parent.mkdir(exist_ok=True)
        wine.unix(path).write_bytes(data)
    record, started, _ = wine.run_setup("setup.exe " + " ".join(paths), "D:\\PKG",
                                        sz(INSTALLER), relay=False, standin_env=WESTERN)
    started = started or wine.wait_for_child()
    inis = started[0]["inis"] if len(started) == 1 else []
    failures = [] if len(inis) == len(paths) else [f"profiles: the stand-in read {started}"]
    for path, data, got in zip(paths, PROFILES, inis):
        profile = ini.read(data)
        value = lambda section, key: getattr(  # noqa: E731
            (profile.section(section) or ini.Section("", 0)).get(key), "value", "")
        component = value("CEAppManager", "Component")
        cabs = [cab for cab in value(component, "CabFiles").split(",") if cab]
        ours = {"version": value("CEAppManager", "Version"), "component": component,
                "description": value(component, "Description"), "cabs": cabs}
        wines = {k: got.get(k) for k in ours} | {"cabs": [c["name"] for c in got.get("cabs", [])]}
        # The stand-in writes bytes above 0x7F as code points of the same value.
        wines = {k: v.encode("latin-1").decode("cp1252") if isinstance(v, str) else v
                 for k, v in wines.items()}
        if ours != wines:
            failures.append(f"profiles: {path}: make package reads {ours}, Wine {wines}")
    return failures


def profiles_generated():
    from tests.e2e import profiles
    return profiles.run(WESTERN)


SPECIAL = {"message-box-window": message_box_window,
           "launcher-does-not-wait": launcher_does_not_wait,
           "profiles-as-wine-reads": profiles_as_wine_reads,
           "profiles-generated": profiles_generated}


def main(argv):
    if argv[:1] == ["setup"]:
        wine.create_prefix()
        return 0
    if argv[:1] == ["cleanup"]:
        wine.stop()
        return 0
    if argv[:1] == ["list"]:
        print("\n".join([*CASES, *SPECIAL]))
        return 0
    names = argv[1:] if argv[:1] == ["run"] and len(argv) > 1 else [*CASES, *SPECIAL]
    failures, skipped = [], 0
    for name in names:
        result = SPECIAL[name]() if name in SPECIAL else run_case(name)
        skipped += result is None
        failures += result or []
    print("\n".join(failures) if failures else f"{len(names) - skipped} case(s) as expected")
    return 1 if failures else 77 if skipped == len(names) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
