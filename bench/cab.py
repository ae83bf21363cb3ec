"""make bench-cab: make cab against gcab -c alone on the same 998 files of 200 MB, uncompressed.

Each round runs both as a packager would, the process start included, and make cab's read-back
of the CAB it wrote: wall time, and peak memory from /usr/bin/time -f %M. The candidates take
turns, so a busy machine slows both alike.
"""
import os
import pathlib
import random
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "bench-cab"
FILES, TOTAL, ROUNDS = 998, 200 * 1000 * 1000, 5
# As a packager's shell runs it: the program's compiled modules kept between runs (installed,
# Debian compiles them), whatever this shell says.
ENVIRONMENT = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}


def application():
    """998 files of 200 MB in all, and an .inf installing every one; made once."""
    folder = WORK / "app" / "files"
    names = [f"f{n:04d}.bin" for n in range(1, FILES + 1)]
    folder.mkdir(parents=True, exist_ok=True)
    size = TOTAL // FILES
    noise = random.Random(1)
    for name in names:
        if not (folder / name).is_file() or (folder / name).stat().st_size != size:
            (folder / name).write_bytes(noise.randbytes(size))
    inf = WORK / "app" / "bench.inf"
    inf.write_text(
        '[Version]\nSignature = "$Windows NT$"\nProvider = "Bench"\nCESignature = "$Windows CE$"\n'
        '[CEStrings]\nAppName = "Bench"\nInstallDir = %CE1%\\%AppName%\n'
        "[SourceDisksNames]\n1 = ,\"files\",,files\n[SourceDisksFiles]\n" +
        "".join(f"{n} = 1\n" for n in names) +
        "[DefaultInstall]\nCopyFiles = Files\n[DestinationDirs]\nFiles = 0, %InstallDir%\n"
        "[Files]\n" + "".join(f"{n}\n" for n in names))
    return inf, folder, names


def timed(command, cwd=ROOT):
    """(seconds, peak kilobytes) of one run."""
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *command], cwd=cwd,
                          capture_output=True, text=True, env=ENVIRONMENT)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{command[0]}: status {done.returncode}\n{done.stderr}")
    return seconds, int(done.stderr.split()[-1])


def main():
    inf, folder, names = application()
    out = WORK / "out"
    runs = {"make cab": [], "gcab -c": []}
    timed(["/usr/bin/python3", "-m", "cabwright", "cab-info", "--help"])  # modules compiled
    for _ in range(ROUNDS):
        runs["make cab"].append(timed(["/usr/bin/python3", "-m", "cabwright", "cab", f"INF={inf}",
                                       f"OUT={out}"]))
        runs["gcab -c"].append(timed(["gcab", "-c", str(WORK / "gcab.cab"), *names], folder))
    print(f"{FILES} files, {TOTAL:,} bytes, uncompressed; {ROUNDS} rounds, taking turns")
    medians = {}
    for name, results in runs.items():
        medians[name] = statistics.median(s for s, _ in results)
        print(f"  {name:<9} median {medians[name]:.2f} s, peak memory "
              f"{max(k for _, k in results) / 1024:.0f} MB")
    print(f"  make cab / gcab -c: {medians['make cab'] / medians['gcab -c']:.2f}")


if __name__ == "__main__":
    main()
