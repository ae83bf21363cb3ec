"""A private Wine prefix for running setup.exe for real, and the helpers to drive it.

The prefix lives in build/wine. Drive D: is a folder of ours, so cases can name D:\\PKG and the
root of a drive exactly. setup.exe's calls are traced (+relay), so a case can check what it
asked of the platform, not just what came out.
"""
import contextlib
import json
import os
import pathlib
import shutil
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build"
WINE_DIR = BUILD / os.environ.get("SETUP_WINE_DIR", "wine")  # another name: a prefix of its own
PREFIX = WINE_DIR / "prefix"
DRIVE_D = WINE_DIR / "drive_d"
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
INSTALLER = "C:\\ActiveSync\\CEAPPMGR.EXE"
DESKTOP = "photo"  # the virtual desktop's name; X calls its window "photo - Wine desktop"
# Long enough for the gaps between one prefix's cases; an interrupted run's server still ends.
SERVER_PERSISTS_S = 900
KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\CEAPPMGR.EXE"


def can_run_32bit():
    """Whether this kernel runs Wine's 32-bit part natively (some refuse all 32-bit programs;
    an emulator registered for them would make every case take minutes)."""
    if pathlib.Path("/proc/sys/fs/binfmt_misc/qemu-i386").exists():
        return False
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True,
                              timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def arch():
    """'i386' runs the shipped setup.exe; 'x86_64' its twin built from the same sources."""
    forced = os.environ.get("SETUP_E2E_ARCH")
    if forced:
        return forced
    marker = WINE_DIR / "arch"
    if marker.exists():
        return marker.read_text().strip()
    return "i386" if can_run_32bit() else "x86_64"


def exe_dir():
    return BUILD / ("win" if arch() == "i386" else "win64")


def standin():
    """The stand-in installer, built for the same machine as the setup.exe the cases run."""
    return exe_dir() / "wine" / "standin.exe"


def env(**extra):
    e = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    e.update(WINEPREFIX=str(PREFIX), WINEARCH="win64", WINEDEBUG="-all",
             WINEDLLOVERRIDES="mscoree,mshtml=")
    display = WINE_DIR / "display"
    if display.exists():  # the suite's own X server, never the machine's
        e["DISPLAY"] = display.read_text().strip()
    e.update(extra)
    return e


def unix(windows_path):
    """The Unix path behind a C:, D: or Z: path of the prefix."""
    drive, rest = windows_path[0].lower(), windows_path[3:].replace("\\", "/")
    base = {"c": PREFIX / "drive_c", "d": DRIVE_D, "z": pathlib.Path("/")}[drive]
    return base / rest


def windows(path):
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def wine(*args):
    return subprocess.run([WINE, *args], env=env(), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, check=False)


def start_display():
    """A private Xvfb, so message boxes become real windows that can be read and dismissed."""
    for number in range(91, 120):
        if not pathlib.Path(f"/tmp/.X{number}-lock").exists():
            break
    server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten",
                               "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, start_new_session=True)
    for _ in range(100):
        if pathlib.Path(f"/tmp/.X11-unix/X{number}").exists():
            break
        time.sleep(0.05)
    (WINE_DIR / "xvfb.pid").write_text(str(server.pid))
    (WINE_DIR / "display").write_text(f":{number}\n")


@contextlib.contextmanager
def virtual_desktop(size="640x480"):
    """While it lasts, programs started in the prefix open their windows in one desktop window
    of Wine's own, which draws their frames and captions itself (no window manager runs here, so
    on the bare display they have none). What they start stays in it."""
    # The frame's buttons are glyphs of Wine's symbol font, which this Wine finds only in the
    # prefix (toolchain/deps.sh installs it).
    font = pathlib.Path("/usr/share/wine/fonts/marlett.ttf")
    if font.exists():
        shutil.copy(font, PREFIX / "drive_c" / "windows" / "Fonts")
    explorer = "HKCU\\Software\\Wine\\Explorer"
    wine("reg", "add", explorer + "\\Desktops", "/v", DESKTOP, "/d", size, "/f")
    wine("reg", "add", explorer, "/v", "Desktop", "/d", DESKTOP, "/f")
    try:
        yield
    finally:
        wine("reg", "delete", explorer, "/v", "Desktop", "/f")


def create_prefix():
    """A new prefix with the stand-in installed. Wine's helper processes outlive the first
    command and inherit its descriptors, so nothing here is captured."""
    stop()
    shutil.rmtree(WINE_DIR, ignore_errors=True)
    DRIVE_D.mkdir(parents=True)
    arch_name = arch()
    (WINE_DIR / "arch").write_text(arch_name + "\n")
    if arch_name != "i386":
        print("Wine's 32-bit part doesn't run here (not installed, or the kernel runs no 32-bit "
              "programs): the cases run setup.exe's 64-bit twin, "
              "built from the same sources.")
    start_display()
    # One server for the prefix's whole life. Left to itself it exits 3 s after its last process,
    # and the next start pays for a new one and Wine's services (seconds, more under load), or,
    # started just as it exits, fails outright: a case that says nothing at all.
    PREFIX.mkdir()
    subprocess.run([WINESERVER, f"-p{SERVER_PERSISTS_S}"], env=env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, check=True)
    subprocess.run([WINE, "wineboot", "-i"], env=env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, check=True)
    (PREFIX / "dosdevices" / "d:").symlink_to(DRIVE_D)
    # A crash ends the crashed process at once, its backtrace in the trace, instead of keeping
    # it behind a dialog until the case's patience runs out.
    wine("reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog", "/t",
         "REG_DWORD", "/d", "0", "/f")
    for place in (INSTALLER, "C:\\Program Files\\Device Manager\\CEAPPMGR.EXE"):
        unix(place).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(standin(), unix(place))


def stop():
    if PREFIX.exists():
        subprocess.run([WINESERVER, "-k"], env=env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
    pid = WINE_DIR / "xvfb.pid"
    if pid.exists():
        try:
            os.kill(int(pid.read_text()), 15)
        except (OSError, ValueError):
            pass
        pid.unlink()
        (WINE_DIR / "display").unlink(missing_ok=True)


def run_setup(command_line, directory, registry="none", dismiss=False, timeout_ms=60000,
              relay=True, wait=True, standin_env=None, launcher=None, runner=None, hold_ms=0,
              more_fields=None):
    """Starts setup.exe through the runner; returns (runner record, stand-in records, relay
    lines of setup.exe's own calls). Command line and directory are bytes or str."""
    work = WINE_DIR / "case"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    log = work / "standin.log"
    def hexed(value):
        return (value.encode("latin-1") if isinstance(value, str) else value).hex()
    fields = {"exe": hexed(launcher or windows(exe_dir() / "setup.exe")), "dir": hexed(directory),
            "cmd": hexed(command_line), "reg": registry, "dismiss": "1" if dismiss else "0",
            "timeout": str(timeout_ms), "debug": "+relay" if relay else "-all",
            "hold": str(hold_ms)}
    fields.update(more_fields or {})  # the runner's other settings: wdir, stdhandles
    (work / "case.txt").write_text("".join(f"{k}={v}\n" for k, v in fields.items()))
    extra = {"STANDIN_LOG": windows(log)}
    extra.update(standin_env or {})
    trace = open(work / "relay.txt", "wb")
    runner = runner or exe_dir() / "wine" / "runner.exe"
    process = subprocess.Popen([WINE, windows(runner),
                                windows(work / "case.txt")], env=env(**extra),
                               stdout=subprocess.PIPE, stderr=trace, stdin=subprocess.DEVNULL)
    if not wait:
        return process
    out = read_record(process)
    if not out:  # the runner said nothing: what Wine said instead, for the failure's line
        said = [line for line in (work / "relay.txt").read_text(encoding="latin-1").splitlines()
                if ":Call " not in line and ":Ret " not in line]
        out = json.dumps({"error": "no record", "status": process.returncode,
                          "wine said": said[-3:]}).encode()
    return finish(out, log, work / "relay.txt")


def wait_for_child(patience_s=30):
    """The stand-in's records of the last case. It writes after the launcher has ended: wait
    for one."""
    deadline = time.time() + patience_s
    while True:
        started = finish(b"", WINE_DIR / "case" / "standin.log", WINE_DIR / "case" / "relay.txt")[1]
        if started or time.time() > deadline:
            return started
        time.sleep(0.1)


def read_record(process):
    """The runner's record. Not the end of its output: the child may hold the pipe open."""
    for text in process.stdout:
        if text.startswith(b"{"):
            process.wait()
            return text
    process.wait()
    return b""


def finish(out, log, relay_file):
    lines = [line for line in out.decode("latin-1").splitlines() if line.startswith("{")]
    record = json.loads(lines[-1]) if lines else {"error": "no record"}
    started = [json.loads(line) for line in log.read_text(encoding="latin-1").splitlines()] \
        if log.exists() else []
    # The launcher's thread speaks first; later threads belong to the child.
    relay = [line for line in relay_file.read_text(encoding="latin-1").splitlines()
             if ":Call " in line or ":Ret " in line]
    relay = [line for line in relay if relay and line[:5] == relay[0][:5]]
    return record, started, relay
