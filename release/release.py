#!/usr/bin/env python3
"""make release: one finished setup.exe, the packager's own.

    release.py OUT=path [ICON=file.ico] [VERSION=a.b.c.d] [COMPANY=...] [PRODUCT=...]
               [DESCRIPTION=...] [COPYRIGHT=...] [PFX=file.pfx PFX_PASS_FILE=file]
               [TIMESTAMP_URL=url]

With nothing but OUT it copies the default build, build/win/setup.exe. An icon or version
information is built in build/release, a tree of its own, so the default tree never sees them.
Every input is checked before anything is built, and OUT is written in one rename at the end:
on any error it is left as it was.
"""
import os
import pathlib
import subprocess
import sys
import tempfile

import brand

ROOT = pathlib.Path(__file__).resolve().parents[1]

BUILD = ROOT / "build"
TREE = BUILD / "release"
NAMES = ("OUT", "ICON", "VERSION", "COMPANY", "PRODUCT", "DESCRIPTION", "COPYRIGHT", "PFX",
         "PFX_PASS_FILE", "TIMESTAMP_URL")
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"


class Failure(Exception):
    pass


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, **kwargs)


def parse(argv):
    values = {}
    for arg in argv:
        # make hands the values over as the bytes it was given: UTF-8, whatever the locale says.
        name, sep, value = os.fsencode(arg).decode("utf-8", "replace").partition("=")
        if not sep or name not in NAMES:
            raise Failure(f"unknown setting '{arg}'; the settings are {', '.join(NAMES)}")
        if value:
            values[name] = value
    if "OUT" not in values:
        raise Failure("OUT names the file to write, e.g. make release OUT=dist/setup.exe")
    if "PFX" not in values:
        for name in ("PFX_PASS_FILE", "TIMESTAMP_URL"):
            if name in values:
                raise Failure(f"{name} is given without PFX, the certificate to sign with")
    elif "PFX_PASS_FILE" not in values:
        raise Failure(f"PFX {values['PFX']}: PFX_PASS_FILE names the file holding its password "
                      "(an empty file for none)")
    return values


def password(pfx, pass_file):
    """The first line of the file, without its line end, whichever system wrote it. The tools
    read a file's line ends each in its own way, so openssl is given the password on its standard
    input and osslsigncode in a file of its own (see sign)."""
    try:
        text = pathlib.Path(pass_file).read_bytes()
    except OSError as error:
        raise Failure(f"PFX_PASS_FILE {pass_file}: cannot read it ({error.strerror})") from None
    first = text.split(b"\n", 1)[0].removesuffix(b"\r")
    if not first:
        # Neither openssl nor osslsigncode takes an empty password this way.
        raise Failure(f"PFX {pfx}: PFX_PASS_FILE {pass_file} has no password on its first "
                      "line (a certificate file without one can't be used)")
    return first + b"\n"


def openssl_pkcs12(pfx, secret, *args):
    """openssl pkcs12 on the file; files from older exporters need the legacy algorithms."""
    result = None
    for legacy in ([], ["-legacy"]):
        result = run("openssl", "pkcs12", "-in", pfx, "-passin", "stdin", *legacy, *args,
                     input=secret)
        if result.returncode == 0 or b"invalid password" in result.stderr.lower():
            break
    return result


def check_certificate(pfx, pass_file, secret):
    """The certificate file opens with the password and its certificate is for code signing."""
    where = f"PFX {pfx}"
    try:
        pathlib.Path(pfx).open("rb").close()
    except OSError as error:
        raise Failure(f"{where}: cannot read it ({error.strerror})") from None
    result = openssl_pkcs12(pfx, secret, "-nokeys", "-clcerts")
    if result.returncode != 0:
        if b"invalid password" in result.stderr.lower():
            raise Failure(f"{where}: wrong password (the one in PFX_PASS_FILE {pass_file})")
        raise Failure(f"{where}: not a PKCS#12 certificate file")
    certificate = result.stdout[result.stdout.find(b"-----BEGIN CERTIFICATE-----"):]
    shown = run("openssl", "x509", "-noout", "-subject", "-nameopt", "oneline,-esc_msb",
                "-ext", "extendedKeyUsage", "-certopt", "ext_parse", input=certificate)
    text = shown.stdout.decode("utf-8", "replace")
    usage = text.split("Extended Key Usage:", 1)[1].strip() if "Extended Key Usage:" in text \
        else "none"
    if shown.returncode != 0 or not ("Code Signing" in usage or CODE_SIGNING in usage):
        subject = text.splitlines()[0].removeprefix("subject=").strip() if text else "?"
        raise Failure(f"{where}: the certificate ({subject}) is not for code signing "
                      f"(extended key usage: {' '.join(usage.split())})")


def check(values):
    """Every input, before anything is built: the icon's bytes and the version resource."""
    icon = version = None
    if "ICON" in values:
        icon = brand.check_icon(values["ICON"])
    texts = ("VERSION", "COMPANY", "PRODUCT", "DESCRIPTION", "COPYRIGHT")
    if any(name in values for name in texts):
        numbers = brand.parse_version(values.get("VERSION", "0"))
        strings = brand.version_strings(numbers, values.get("COMPANY", ""),
                                        values.get("PRODUCT", ""), values.get("DESCRIPTION", ""),
                                        values.get("COPYRIGHT", ""))
        version = brand.version_info(numbers, strings)
    if "PFX" in values:
        values["secret"] = password(values["PFX"], values["PFX_PASS_FILE"])
        check_certificate(values["PFX"], values["PFX_PASS_FILE"], values["secret"])
    return icon, version


def build(icon, version):
    """The unsigned executable's bytes: the default build's, or the release tree's."""
    if icon is None and version is None:
        return (BUILD / "win" / "setup.exe").read_bytes()
    script = brand.write_resources(TREE / "brand", icon, version)
    configure = ["cmake", "-S", str(ROOT), "-B", str(TREE), f"-DSETUP_RESOURCES={script}"]
    if not (TREE / "CMakeCache.txt").exists():
        configure += ["-DCMAKE_BUILD_TYPE=MinSizeRel",
                      f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/toolchain/i686-w64-mingw32.cmake"]
    # From clean every time: the build does not know the script's icon file has changed.
    for step in (configure, ["cmake", "--build", str(TREE), "--clean-first", "--target", "setup"]):
        result = run(*step)
        if result.returncode != 0:
            sys.stderr.buffer.write(result.stdout + result.stderr)
            raise Failure(f"building with the packager's resources failed: {' '.join(step)}")
    return (TREE / "setup.exe").read_bytes()


def sign(unsigned, signed, values):
    # The password alone, in a file only we can read, next to the unsigned file: Debian 12's own
    # osslsigncode (2.5) reads it from a file but not from standard input.
    secret = unsigned.parent / "password"
    secret.touch(mode=0o600)
    secret.write_bytes(values["secret"].rstrip(b"\n"))
    step = ["osslsigncode", "sign", "-pkcs12", values["PFX"], "-readpass", str(secret), "-h",
            "sha256"]
    if "TIMESTAMP_URL" in values:
        step += ["-ts", values["TIMESTAMP_URL"]]
    result = run(*step, "-in", str(unsigned), "-out", str(signed))
    secret.unlink()
    if result.returncode != 0 or not signed.exists():
        sys.stderr.buffer.write(result.stdout + result.stderr)
        raise Failure(f"PFX {values['PFX']}: osslsigncode could not sign"
                      + (f" (time-stamp server {values['TIMESTAMP_URL']})"
                         if "TIMESTAMP_URL" in values else ""))


def release(values):
    icon, version = check(values)
    data = build(icon, version)
    out = pathlib.Path(values["OUT"])
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        # Next to OUT, so the last step is a rename within one file system.
        with tempfile.TemporaryDirectory(dir=out.parent, prefix=".release-") as scratch:
            finished = pathlib.Path(scratch) / "setup.exe"
            finished.write_bytes(data)
            if "PFX" in values:
                unsigned, finished = finished, pathlib.Path(scratch) / "signed.exe"
                sign(unsigned, finished, values)
            finished.chmod(0o755)
            os.replace(finished, out)
    except OSError as error:
        raise Failure(f"OUT {out}: cannot write it ({error.strerror})") from None
    parts = [what for what, given in (("icon", icon), ("version information", version),
                                      ("signature", "PFX" in values)) if given]
    print(f"release: wrote {out}, {out.stat().st_size} bytes"
          f" ({', '.join(parts) if parts else 'the default build'})")


def main(argv):
    try:
        release(parse(argv))
    except (Failure, brand.BrandError) as error:
        print(f"release: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
