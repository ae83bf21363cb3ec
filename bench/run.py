#!/usr/bin/env python3
"""How long setup.exe takes, under Wine, from being started to the installer running, beside the
same job done by the least a launcher can do (the floor), by NSIS and by a batch file. A private
prefix in build/bench; the table goes to the screen and to build/bench/results.md."""
import datetime
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys

os.environ["SETUP_WINE_DIR"] = "bench"  # never the test suite's prefix, which may be in use
from cabwright.services import carry  # noqa: E402
from wine import harness as wine  # noqa: E402

PACKAGE = "D:\\Package"
CMD = "C:\\windows\\system32\\cmd.exe"
EXE_RUNS, CMD_RUNS, WARMUP = 200, 60, 5
INI = ("[CEAppManager]\r\nVersion = 1.0\r\nComponent = Bench\r\n\r\n"
       "[Bench]\r\nDescription = Bench\r\nCabFiles = bench.cab\r\n")
NO_32BIT = "not measurable here (32-bit only; this kernel runs no 32-bit programs)"


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def machine(arch):
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "unknown")
    version = subprocess.run([wine.WINE, "--version"], capture_output=True, text=True).stdout.strip()
    return (f"{os.cpu_count()} CPUs ({cpu}); {platform.system()} {platform.release()}; "
            f"{version}; arch measured: {arch}; load average {os.getloadavg()[0]:.2f}")


def main():
    root = pathlib.Path(__file__).resolve().parents[1]
    arch = wine.arch()
    build = wine.exe_dir()
    print(f"Wine prefix: {wine.PREFIX} ({arch})")
    wine.create_prefix()
    # Both registry views, so each candidate finds the key at its first look whatever its bitness.
    for view in ("/reg:32", "/reg:64"):
        wine.wine("reg", "add", wine.KEY, "/ve", "/d", wine.INSTALLER, "/f", view)

    folder = wine.unix(PACKAGE)
    folder.mkdir(parents=True)
    (folder / "install.ini").write_text(INI, newline="")
    nsis = wine.WINE_DIR / "launcher-nsis.exe"
    subprocess.run(["makensis", "-V1", f"-DOUTFILE={nsis}", str(root / "bench" / "launcher.nsi")],
                   check=True)
    # The carrying launcher with the same INI and a 2 MB CAB inside it: it puts them in its
    # folder in the installer's before it starts the installer (over the last run's copy).
    cab = wine.WINE_DIR / "bench.cab"
    cab.write_bytes(os.urandom(2 * 1024 * 1024))
    carrier = wine.WINE_DIR / "carrier.exe"
    carrier.write_bytes(carry.build([("install.ini", folder / "install.ini"), ("bench.cab", cab)],
                                    arch="i686" if arch == "i386" else "x86_64"))
    files = {"floor": build / "bench" / "floor.exe", "setup.exe": build / "setup.exe",
             "carrier, 2 MB": carrier, "NSIS": nsis, "cmd": root / "bench" / "launcher.cmd"}
    for path in files.values():
        shutil.copy(path, folder)
    lines = {"floor": f'"{PACKAGE}\\floor.exe"', "setup.exe": f'"{PACKAGE}\\setup.exe"',
             "carrier, 2 MB": f'"{PACKAGE}\\carrier.exe"',
             "NSIS": f'"{PACKAGE}\\{nsis.name}"', "cmd": f"{CMD} /c launcher.cmd"}
    runs = {"floor": EXE_RUNS, "setup.exe": EXE_RUNS, "carrier, 2 MB": EXE_RUNS, "NSIS": EXE_RUNS,
            "cmd": CMD_RUNS}
    measured = [name for name in lines if name != "NSIS" or arch == "i386"]

    plan = wine.WINE_DIR / "plan.txt"
    child = pathlib.PureWindowsPath(wine.INSTALLER).name
    plan.write_text(f"warmup {WARMUP}\ndir {PACKAGE}\nchild {child}\n"
                    + "".join(f"run {runs[name]} {lines[name]}\n" for name in measured))
    print(f"Timing {', '.join(measured)}: {WARMUP} warm-up rounds, then "
          f"{', '.join(str(runs[name]) for name in measured)} runs, taking turns ...", flush=True)
    timer = subprocess.Popen([wine.WINE, wine.windows(build / "bench" / "timer.exe"),
                              wine.windows(plan)], env=wine.env(), stdout=subprocess.PIPE,
                             stdin=subprocess.DEVNULL)
    record = wine.read_record(timer)
    wine.stop()
    if not record:
        print("bench: the timer printed nothing", file=sys.stderr)
        return 1
    (wine.WINE_DIR / "samples.json").write_bytes(record)  # every run, for a closer look
    results = dict(zip(measured, json.loads(record)["candidates"]))

    floor = results["floor"]["samples"]
    header = ["candidate", "median ms", "p10–p90 ms", "vs floor", "runs (failed)", "size bytes"]
    rows = []
    for name, path in files.items():
        size = f"{path.stat().st_size:,}"
        if name not in results:
            rows.append([name, NO_32BIT, "", "", "", size])
            continue
        samples = [s / 1000 for s in results[name]["samples"] if s is not None]
        if not samples:
            rows.append([name, "no run succeeded", "", "", f"0 ({len(results[name]['failures'])})",
                         size])
            continue
        # Against the floor's run of the same round: the machine's slow spells, which another
        # user's work brings here, fall on both alike.
        ratios = [s / f for s, f in zip(results[name]["samples"], floor) if s and f]
        rows.append([name, f"{statistics.median(samples):.1f}",
                     f"{percentile(samples, .1):.1f}–{percentile(samples, .9):.1f}",
                     f"{statistics.median(ratios):.3f}",
                     f"{len(samples)} ({len(results[name]['failures'])})", size])
    table = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    table += ["| " + " | ".join(row) + " |" for row in rows]
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    about = machine(arch)
    carried = results.get("carrier, 2 MB")
    if carried:  # what unpacking adds: the carrier against setup.exe, round by round
        added = [(c - p) / 1000 for c, p in zip(carried["samples"], results["setup.exe"]["samples"])
                 if c and p]
        table.append(f"\nUnpacking 2 MB adds {statistics.median(added):.1f} ms (median of "
                     f"{len(added)} rounds' differences to setup.exe; p90 "
                     f"{percentile(added, .9):.1f} ms).")
    print("\n" + "\n".join(table) + f"\n\n{when}; {about}")
    (wine.WINE_DIR / "results.md").write_text(
        "# Launcher start-up, under Wine\n\nFrom CreateProcessA of the launcher to the installer "
        "running (the stand-in's first act), per run. \"vs floor\": the median of each run's ratio to "
        "the floor's run of the same round (the candidates take turns).\n\n" + "\n".join(table)
        + f"\n\n- date: {when}\n- machine: {about}\n")
    for name in results:
        for failure in sorted(set(results[name]["failures"])):
            print(f"{name}: {results[name]['failures'].count(failure)} run(s) failed: {failure}")
    # Another candidate's bad run is a finding about it; the launcher's or the floor's spoils the
    # comparison.
    return 1 if results["floor"]["failures"] or results["setup.exe"]["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
