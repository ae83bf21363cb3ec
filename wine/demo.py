#!/usr/bin/env python3
"""setup.exe doing its job under Wine, in a private prefix in build/wine: a sample package made
with make package INF= from an application's .inf (two processors, a registry value, a shortcut),
as a folder run once with the stand-in installer registered, once with nothing registered, once
with a registration left behind by an installer that is gone; and as one program, run once: it
leaves the files in a folder of their own in the stand-in's folder."""
import os
import shutil
import subprocess
import sys
import tempfile

from cabwright.formats import model, script000
from wine import harness as wine

PACKAGE = "D:\\Sample Package"
INI = """[CEAppManager]\r
Version = 1.0\r
Component = Notes\r
\r
[Notes]\r
Description = A notes application for handhelds\r
CabFiles = notes.arm.cab,notes.sh3.cab\r
"""
ARM, SH3 = 2577, 10003  # the device installer's processor numbers
NOTES_INF = """[Version]\r
Signature = "$Windows NT$"\r
Provider = "Example Software"\r
CESignature = "$Windows CE$"\r
\r
[CEStrings]\r
AppName = "Notes"\r
InstallDir = %CE1%\\%AppName%\r
\r
[CEDevice]\r
VersionMin = 3.0\r
[CEDevice.ARM]\r
ProcessorType = 2577\r
[CEDevice.SH3]\r
ProcessorType = 10003\r
\r
[SourceDisksNames.ARM]\r
1 = ,"ARM",,arm\r
[SourceDisksNames.SH3]\r
1 = ,"SH3",,sh3\r
[SourceDisksNames]\r
[SourceDisksFiles]\r
notes.exe = 1\r
\r
[DefaultInstall]\r
CopyFiles = Program\r
AddReg = Registry\r
CEShortcuts = Shortcuts\r
\r
[DestinationDirs]\r
Program = 0, %InstallDir%\r
Shortcuts = 0, %CE11%\r
\r
[Program]\r
notes.exe\r
\r
[Registry]\r
HKCU, Software\\Example\\Notes, Folder, 0x00000000, %InstallDir%\r
\r
[Shortcuts]\r
Notes, 0, notes.exe\r
"""


def description_file(application, provider, processor, minimum=(3, 0), maximum=(0, 0)):
    """A device installer's description file (.000), as make cab encodes one: member .001
    installed as <application>.exe in %CE1%\\<application>."""
    folder = f"%CE1%\\{application}"
    return script000.encode(model.Install(
        application=application, provider=provider, processor=processor, minimum=minimum,
        maximum=maximum, folders=[folder],
        files=[model.File(1, folder, f"{application}.exe")]), "cp1252")


def cabinet(path, files):
    """A cabinet at `path` of {name: bytes}, compressed, made by gcab."""
    with tempfile.TemporaryDirectory() as work:
        for name, data in files.items():
            with open(os.path.join(work, name), "wb") as out:
                out.write(data)
        subprocess.run(["gcab", "-c", "-z", os.path.abspath(path), *files], cwd=work, check=True)


def sample(folder, ini=INI, cabs=(("notes.arm.cab", ARM), ("notes.sh3.cab", SH3))):
    """A package's source folder: install.ini and one device CAB for each (name, processor)."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "install.ini"), "w", newline="") as out:
        out.write(ini)
    for name, processor in cabs:
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        cabinet(os.path.join(folder, name),
                {"NOTES.000": description_file("Notes", "Example Software", processor),
                 "NOTES.001": b"the application's program, as the device would run it\n" * 40})


def application(folder):
    """An application's sources: notes.inf and a program for each processor."""
    for cpu in ("arm", "sh3"):
        os.makedirs(os.path.join(folder, cpu), exist_ok=True)
        with open(os.path.join(folder, cpu, "notes.exe"), "wb") as out:
            out.write(f"the application's program, built for {cpu}\n".encode() * 40)
    with open(os.path.join(folder, "notes.inf"), "w", newline="") as out:
        out.write(NOTES_INF)
    return os.path.join(folder, "notes.inf")


def make_package(*settings):
    print(f"\nmake package {' '.join(settings)}")
    return subprocess.run(["make", "-s", "--no-print-directory", "-C", str(wine.ROOT), "package",
                           *settings], env={k: v for k, v in os.environ.items()
                                            if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")})


def show_child(record):
    print(f"  command line : {record['command_line']}")
    print(f"  argv         : {record['argv']}")
    print(f"  directory    : {record['cwd']}")
    for ini in record["inis"]:
        print(f"  INI file     : {ini['path']} ({'present' if ini['exists'] else 'absent'})")
        if ini["exists"]:
            print(f"    Version {ini['version']}, component {ini['component']}: {ini['description']}")
            for cab in ini["cabs"]:
                print(f"    {cab['name']}: {'present' if cab['present'] else 'MISSING'}")


def main():
    print(f"Wine prefix: {wine.PREFIX} (setup.exe {'as shipped' if wine.arch() == 'i386' else 'twin, x86_64'})")
    wine.create_prefix()
    folder = wine.unix(PACKAGE)
    inf = application(wine.WINE_DIR / "sample")
    program = folder.with_name("notes-setup.exe")
    if any(make_package(f"INF={inf}", "CPU=ARM SH3", f"OUT={out}").returncode != 0
           for out in (folder, program)):
        wine.stop()
        return 1
    if wine.arch() != "i386":  # the twins in the shipped files' place, which can't run here
        shutil.copy(wine.exe_dir() / "setup.exe", folder / "setup.exe")
        from cabwright.services import carry
        program.write_bytes(carry.build([(name, folder / name) for name in
                                         ("install.ini", "notes.ARM.CAB", "notes.SH3.CAB")],
                                        arch="x86_64", folder="Example Software Notes"))
    launcher = f"{PACKAGE}\\setup.exe"
    value = f"default:1:{(wine.INSTALLER + chr(0)).encode().hex()}"

    print(f"\n1. App Paths\\CEAPPMGR.EXE names the stand-in at {wine.INSTALLER}.")
    print(f"   Double-click: \"{launcher}\" in {PACKAGE}")
    record, started, _ = wine.run_setup(f'"{launcher}"', PACKAGE, value, relay=False,
                                        launcher=launcher)
    print(f"   setup.exe ended with status {record['exit']} after {record['ms']:.0f} ms")
    started = started or wine.wait_for_child()
    print("   The stand-in installer received:")
    for child in started:
        show_child(child)
    # The package as shipped: the installer finds every CAB its INI names.
    cabs = [cab for child in started for ini in child["inis"] for cab in ini.get("cabs", [])]
    told = len(cabs) == 2 and all(cab["present"] for cab in cabs)

    gone = "C:\\Removed\\CEAPPMGR.EXE"
    for heading, registry in (("2. Nothing registered under App Paths\\CEAPPMGR.EXE.", "none"),
                              (f"3. App Paths\\CEAPPMGR.EXE names {gone}, which is gone.",
                               f"default:1:{(gone + chr(0)).encode().hex()}")):
        print(f"\n{heading}")
        record, started, _ = wine.run_setup(f'"{launcher}"', PACKAGE, registry, relay=False,
                                            dismiss=True, launcher=launcher)
        box = record.get("box") or {}
        print(f"   Message box \"{box.get('caption')}\": {box.get('text')}")
        print(f"   ({box.get('buttons')} button; pressed OK.) setup.exe ended with status "
              f"{record['exit']}; programs started: {len(started)}")
        told = told and record["exit"] == 0 and bool(box)

    launcher = f"{PACKAGE[:3]}{program.name}"
    print(f"\n4. The same package as one program: \"{launcher}\", the stand-in registered.")
    record, started, _ = wine.run_setup(f'"{launcher}"', PACKAGE[:3], value, relay=False,
                                        launcher=launcher)
    print(f"   {program.name} ended with status {record['exit']} after {record['ms']:.0f} ms, "
          "leaving the files in the stand-in's folder; the stand-in installer received:")
    started = started or wine.wait_for_child()
    for child in started:
        show_child(child)
    cabs = [cab for child in started for ini in child["inis"] for cab in ini.get("cabs", [])]
    told = told and record["exit"] == 0 and len(cabs) == 2 and all(c["present"] for c in cabs)
    wine.stop()
    return 0 if told else 1


if __name__ == "__main__":
    sys.exit(main())
