#!/usr/bin/env python3
"""setup.exe doing its job under Wine, in a private prefix in build/wine: once with the stand-in
installer registered, once with nothing registered, once with a registration left behind by an
installer that is gone."""
import shutil
import sys

from wine import harness as wine

PACKAGE = "D:\\Sample Package"
INI = """[CEAppManager]\r
Version = 1.0\r
Component = Notes\r
\r
[Notes]\r
Description = A notes application for handhelds\r
CabFiles = notes.arm.cab,notes.x86.cab\r
"""


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
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "install.ini").write_text(INI)
    (folder / "notes.arm.cab").write_bytes(b"MSCF")
    shutil.copy(wine.exe_dir() / "setup.exe", folder / "setup.exe")
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

    gone = "C:\\Removed\\CEAPPMGR.EXE"
    told = True
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
    wine.stop()
    return 0 if told else 1


if __name__ == "__main__":
    sys.exit(main())
