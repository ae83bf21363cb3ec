#!/usr/bin/env python3
"""make release: one finished setup.exe, the packager's own.

    release.py OUT=path [ICON=file.ico] [VERSION=a.b.c.d] [COMPANY=...] [PRODUCT=...]
               [DESCRIPTION=...] [COPYRIGHT=...]
               [PFX=file.pfx PFX_PASS_FILE=file |
                PKCS11_MODULE=library.so PKCS11_KEY=pkcs11:... CERT=chain.pem PIN_FILE=file]
               [TIMESTAMP_URL=url] [DUAL_SIGN=1]

With nothing but OUT it copies the default build, build/win/setup.exe. An icon or version
information is built in build/release, a tree of its own, so the default tree never sees them.
Every input is checked before anything is built, and OUT is written in one rename at the end:
on any error it is left as it was.
"""
import ctypes
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.error
import urllib.parse
import urllib.request

import brand

ROOT = pathlib.Path(__file__).resolve().parents[1]

BUILD = ROOT / "build"
TREE = BUILD / "release"
DEVICE = ("PKCS11_MODULE", "PKCS11_KEY", "CERT", "PIN_FILE")
NAMES = ("OUT", "ICON", "VERSION", "COMPANY", "PRODUCT", "DESCRIPTION", "COPYRIGHT", "PFX",
         "PFX_PASS_FILE", *DEVICE, "TIMESTAMP_URL", "DUAL_SIGN")
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
# What a signature holds, as openssl asn1parse prints it: one PE image digest for each
# Authenticode signature, one RFC 3161 time-stamp for each that is stamped.
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
RFC3161_STAMP = "1.3.6.1.4.1.311.3.3.1"


class Failure(Exception):
    pass


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, **kwargs)


def settings(argv, names=NAMES):
    """The NAME=value arguments, the empty ones left out."""
    values = {}
    for arg in argv:
        # make hands the values over as the bytes it was given: UTF-8, whatever the locale says.
        name, sep, value = os.fsencode(arg).decode("utf-8", "replace").partition("=")
        if not sep or name not in names:
            raise Failure(f"unknown setting '{arg}'; the settings are {', '.join(names)}")
        if value:
            values[name] = value
    return values


def parse(argv):
    values = settings(argv)
    if "OUT" not in values:
        raise Failure("OUT names the file to write, e.g. make release OUT=dist/setup.exe")
    return check_settings(values)


def check_settings(values):
    """How the settings go together, before any file is read."""
    device = [name for name in DEVICE if name in values]
    if "PFX" in values and device:
        raise Failure(f"PFX {values['PFX']} and {device[0]} {values[device[0]]}: two ways to "
                      "sign, a certificate file or a key on a device; give one (PFX with "
                      "PFX_PASS_FILE, or PKCS11_MODULE, PKCS11_KEY, CERT and PIN_FILE)")
    if device and len(device) < len(DEVICE):
        missing = [name for name in DEVICE if name not in values]
        raise Failure(f"{device[0]} {values[device[0]]}: signing through a device takes "
                      "PKCS11_MODULE, PKCS11_KEY, CERT and PIN_FILE together; missing: "
                      f"{', '.join(missing)}")
    if "PFX_PASS_FILE" in values and "PFX" not in values:
        raise Failure("PFX_PASS_FILE is given without PFX, the certificate file it opens")
    if "PFX" in values and "PFX_PASS_FILE" not in values:
        raise Failure(f"PFX {values['PFX']}: PFX_PASS_FILE names the file holding its password "
                      "(an empty file for none)")
    if values.get("DUAL_SIGN", "0") not in ("0", "1"):
        raise Failure(f"DUAL_SIGN {values['DUAL_SIGN']}: 1 signs twice, SHA-1 and then "
                      "SHA-256 nested in it; 0 or nothing signs once, SHA-256")
    if values.get("DUAL_SIGN") == "0":
        del values["DUAL_SIGN"]
    for name in ("TIMESTAMP_URL", "DUAL_SIGN"):
        if name in values and "PFX" not in values and not device:
            raise Failure(f"{name} is given without a key to sign with (PFX, or PKCS11_MODULE "
                          "and the settings beside it)")
    url = values.get("TIMESTAMP_URL", "http://")
    if urllib.parse.urlsplit(url).scheme not in ("http", "https"):
        raise Failure(f"TIMESTAMP_URL {url}: not an http:// or https:// address")
    return values


def first_line(name, path):
    """The first line of the file, without its line end, whichever system wrote it. The tools
    read a file's line ends each in its own way, so openssl is given a password on its standard
    input and osslsigncode a password or PIN in a file of its own (see sign)."""
    try:
        text = pathlib.Path(path).read_bytes()
    except OSError as error:
        raise Failure(f"{name} {path}: cannot read it ({error.strerror})") from None
    return text.split(b"\n", 1)[0].removesuffix(b"\r")


def password(pfx, pass_file):
    first = first_line("PFX_PASS_FILE", pass_file)
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
    code_signing(where, result.stdout[result.stdout.find(b"-----BEGIN CERTIFICATE-----"):])


def code_signing(where, certificate):
    """The (first) certificate in the PEM text is one for code signing."""
    shown = run("openssl", "x509", "-noout", "-subject", "-nameopt", "oneline,-esc_msb",
                "-ext", "extendedKeyUsage", "-certopt", "ext_parse", input=certificate)
    text = shown.stdout.decode("utf-8", "replace")
    usage = text.split("Extended Key Usage:", 1)[1].strip() if "Extended Key Usage:" in text \
        else "none"
    if shown.returncode != 0 or not ("Code Signing" in usage or CODE_SIGNING in usage):
        subject = text.splitlines()[0].removeprefix("subject=").strip() if text else "?"
        raise Failure(f"{where}: the certificate ({subject}) is not for code signing "
                      f"(extended key usage: {' '.join(usage.split())})")


# A key on a device -------------------------------------------------------------------------

TOKEN_FIELDS = {"token": "label", "manufacturer": "manufacturerID", "model": "model",
                "serial": "serialNumber"}


def pykcs11():
    """Debian's PKCS#11 binding, installed for Debian's python3, which make runs us with."""
    try:
        import PyKCS11
    except ImportError as error:
        raise Failure(f"PKCS11_MODULE: this python3 ({sys.executable}) can't load Debian's "
                      f"PKCS#11 binding, python3-pykcs11 ({error})") from None
    return PyKCS11


def pkcs11_uri(uri):
    """The attributes of a PKCS#11 URI (RFC 7512), the path's and the query's, decoded."""
    scheme, _, rest = uri.partition(":")
    path, _, query = rest.partition("?")
    if scheme.lower() != "pkcs11":
        raise Failure(f"PKCS11_KEY {uri}: not a PKCS#11 URI (pkcs11:token=...;object=...)")
    pairs = [part.partition("=") for part in path.split(";") + query.split("&") if part]
    wanted = {name.lower(): urllib.parse.unquote_to_bytes(value) for name, _, value in pairs}
    if "pin-value" in wanted or "pin-source" in wanted:
        # Not echoed: the line would show the PIN again.
        raise Failure("PKCS11_KEY: the URI carries a PIN; it goes in PIN_FILE, where no process "
                      "listing shows it")
    return {name: value if name == "id" else value.decode("utf-8", "replace")
            for name, value in wanted.items()}


def der(tag, body):
    size = len(body)
    long = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + (bytes([size]) if size < 0x80 else bytes([0x80 | len(long)]) + long) \
        + body


def der_integer(magnitude):
    magnitude = magnitude.lstrip(b"\0") or b"\0"
    return der(0x02, b"\0" * (magnitude[0] >> 7) + magnitude)


def octets(value):
    """The contents of a DER OCTET STRING, or the value as it is if it isn't one."""
    if value[:1] == b"\x04" and len(value) > 2:
        size, start = value[1], 2
        if size & 0x80:
            start += size & 0x7F
            size = int.from_bytes(value[2:start], "big")
        if start + size == len(value):
            return value[start:]
    return value


def device_key(values):
    """The key PKCS11_KEY names, its token logged in to with the PIN: the forms its public half
    may take at the end of a certificate's SubjectPublicKeyInfo."""
    module, uri = values["PKCS11_MODULE"], values["PKCS11_KEY"]
    where = f"PKCS11_MODULE {module}"
    try:
        pathlib.Path(module).open("rb").close()
    except OSError as error:
        raise Failure(f"{where}: cannot read it ({error.strerror})") from None
    try:
        # Loaded once by hand first: Debian's binding says only "Load" when it fails.
        loaded = ctypes.CDLL(module)
    except OSError as error:
        raise Failure(f"{where}: not a library this system loads ({error})") from None
    if not hasattr(loaded, "C_GetFunctionList"):
        raise Failure(f"{where}: not a PKCS#11 library (it has no C_GetFunctionList)")
    wanted = pkcs11_uri(uri)
    p11 = pykcs11()
    library = p11.PyKCS11Lib()
    try:
        library.load(module)
        tokens = []
        for slot in library.getSlotList(tokenPresent=True):
            info = library.getTokenInfo(slot)
            fields = {name: getattr(info, field).rstrip() for name, field in TOKEN_FIELDS.items()}
            if info.flags & p11.CKF_TOKEN_INITIALIZED:
                tokens.append((slot, info, fields))
        found = [token for token in tokens
                 if all(token[2][name] == wanted[name] for name in TOKEN_FIELDS if name in wanted)]
        if len(found) != 1:
            names = ", ".join(f"'{fields['token']}'" for *_, fields in tokens) or "none"
            which = f"{len(found)} tokens match" if found else "no such token"
            raise Failure(f"PKCS11_KEY {uri}: {which} in {where} (its tokens: {names})")
        slot, info, fields = found[0]
        session = library.openSession(slot)
        try:
            if info.flags & p11.CKF_LOGIN_REQUIRED:
                log_in(p11, session, info, f"token '{fields['token']}'", values)
            return public_key(p11, session, wanted, f"token '{fields['token']}'", uri)
        finally:
            session.closeSession()
    except p11.PyKCS11Error as error:
        raise Failure(f"{where}: the library failed ({error})") from None


def log_in(p11, session, info, token, values):
    """One try of the PIN, never a second. A token locks itself after a few wrong ones, so the
    last try is left to its owner: a stale PIN file must not be what locks it."""
    pin_file = values["PIN_FILE"]
    if info.flags & p11.CKF_USER_PIN_LOCKED:
        raise Failure(f"PKCS11_KEY {values['PKCS11_KEY']}: {token} is locked (its PIN was "
                      "entered wrong too often)")
    if info.flags & p11.CKF_USER_PIN_FINAL_TRY:
        raise Failure(f"PIN_FILE {pin_file}: not tried: {token} locks itself at the next wrong "
                      "PIN; log in once with the device's own tool")
    try:
        session.login(values["secret"])
    except p11.PyKCS11Error as error:
        if error.value in (p11.CKR_PIN_INCORRECT, p11.CKR_PIN_INVALID, p11.CKR_PIN_LEN_RANGE):
            raise Failure(f"PIN_FILE {pin_file}: wrong PIN for {token} (tried once and not "
                          "again, so the token doesn't lock)") from None
        raise


def public_key(p11, session, wanted, token, uri):
    """The one private key the URI names on the token, by what its public half looks like."""
    if wanted.get("type", "private") != "private":
        raise Failure(f"PKCS11_KEY {uri}: type={wanted['type']} names no key to sign with; "
                      "that is type=private")
    template = [(p11.CKA_CLASS, p11.CKO_PRIVATE_KEY)]
    template += [(p11.CKA_LABEL, wanted["object"])] if "object" in wanted else []
    template += [(p11.CKA_ID, wanted["id"])] if "id" in wanted else []
    keys = session.findObjects(template)
    if len(keys) != 1:
        labels = [session.getAttributeValue(key, [p11.CKA_LABEL])[0]
                  for key in session.findObjects(template[:1])]
        which = f"{len(keys)} keys match" if keys else "no such key"
        raise Failure(f"PKCS11_KEY {uri}: {which} on {token} (its private keys: "
                      f"{', '.join(map(repr, labels)) or 'none'})")
    kind, key_id = session.getAttributeValue(keys[0], [p11.CKA_KEY_TYPE, p11.CKA_ID])
    if kind == p11.CKK_RSA:
        modulus, exponent = session.getAttributeValue(keys[0], [p11.CKA_MODULUS,
                                                                 p11.CKA_PUBLIC_EXPONENT])
        return [der(0x30, der_integer(bytes(modulus)) + der_integer(bytes(exponent)))]
    if kind == p11.CKK_EC:
        # The private half holds no point: the public half beside it, of the same id, does,
        # DER-wrapped as most modules give it or bare as a few do.
        for public in session.findObjects([(p11.CKA_CLASS, p11.CKO_PUBLIC_KEY),
                                           (p11.CKA_ID, bytes(key_id))]):
            point = bytes(session.getAttributeValue(public, [p11.CKA_EC_POINT])[0])
            return [point, octets(point)]
    raise Failure(f"PKCS11_KEY {uri}: {token} shows no public key beside it (an RSA key, or an "
                  "EC key with its public half), so CERT can't be matched with it")


def chain(cert):
    try:
        text = pathlib.Path(cert).read_bytes()
    except OSError as error:
        raise Failure(f"CERT {cert}: cannot read it ({error.strerror})") from None
    pems = re.findall(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", text, re.S)
    if not pems:
        raise Failure(f"CERT {cert}: no PEM certificate in it (the signing certificate and its "
                      "chain, each from -----BEGIN CERTIFICATE-----)")
    return pems


def check_device_certificate(cert, pems, public):
    """Of CERT's certificates, the one for the device's key is the signer (osslsigncode picks it
    out the same way), and it is one for code signing."""
    for pem in pems:
        spki = run("openssl", "pkey", "-pubin", "-outform", "DER",
                   input=run("openssl", "x509", "-noout", "-pubkey", input=pem).stdout).stdout
        if spki and any(spki.endswith(form) for form in public):
            code_signing(f"CERT {cert}", pem)
            return
    raise Failure(f"CERT {cert}: none of its {len(pems)} certificates is for the key PKCS11_KEY "
                  "names (their public keys differ from the token key's)")


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
    elif "PKCS11_MODULE" in values:
        values["secret"] = first_line("PIN_FILE", values["PIN_FILE"])
        if not values["secret"]:
            raise Failure(f"PIN_FILE {values['PIN_FILE']}: no PIN on its first line")
        pems = chain(values["CERT"])
        check_device_certificate(values["CERT"], pems, device_key(values))
    return icon, version


def build(icon, version):
    """The unsigned executable's bytes: the default build's, or the release tree's."""
    if icon is None and version is None:
        return (BUILD / "win" / "setup.exe").read_bytes()
    toolchain = ROOT / "toolchain" / "i686-w64-mingw32.cmake"
    cache = TREE / "CMakeCache.txt"
    if cache.exists() and f"={toolchain}\n" not in cache.read_text(errors="replace"):
        shutil.rmtree(TREE)  # configured before the toolchain file moved: made anew
    script = brand.write_resources(TREE / "brand", icon, version)
    configure = ["cmake", "-S", str(ROOT), "-B", str(TREE), f"-DSETUP_RESOURCES={script}"]
    if not cache.exists():
        configure += ["-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"]
    # From clean every time: the build does not know the script's icon file has changed.
    for step in (configure, ["cmake", "--build", str(TREE), "--clean-first", "--target", "setup"]):
        result = run(*step)
        if result.returncode != 0:
            sys.stderr.buffer.write(result.stdout + result.stderr)
            raise Failure(f"building with the packager's resources failed: {' '.join(step)}")
    return (TREE / "setup.exe").read_bytes()


def stamp_problem(url):
    """Why the time-stamp server gives no stamp, asked with a query of our own once signing has
    failed; None if it answers with one."""
    query = run("openssl", "ts", "-query", "-data", "/dev/null", "-sha256", "-cert").stdout
    request = urllib.request.Request(url, query, {"Content-Type": "application/timestamp-query"})
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            reply = answer.read()
    except urllib.error.HTTPError as error:
        return f"the server answered HTTP {error.code} ({error.reason})"
    except OSError as error:
        reason = getattr(error, "reason", error)
        return f"cannot reach it ({getattr(reason, 'strerror', None) or reason})"
    if b"Status: Granted" not in run("openssl", "ts", "-reply", "-in", "/dev/stdin", "-text",
                                     input=reply).stdout:
        return "the server answers, but with no time-stamp"
    return None


def signatures(signed):
    """How many Authenticode signatures the file holds and how many of them carry a time-stamp,
    read from the signature itself: osslsigncode has no option that insists on the stamp."""
    # As PEM: osslsigncode 2.5 writes the raw form with the file's certificate header first.
    extracted = signed.with_suffix(".pem")
    run("osslsigncode", "extract-signature", "-pem", "-in", str(signed), "-out", str(extracted))
    parsed = run("openssl", "asn1parse", "-in", str(extracted)).stdout
    objects = [line.rsplit(b":", 1)[-1] for line in parsed.splitlines() if b" OBJECT " in line]
    return objects.count(PE_IMAGE_DATA.encode()), objects.count(RFC3161_STAMP.encode())


def sign(unsigned, values):
    """The signed file, next to the unsigned one: SHA-256, or with DUAL_SIGN a SHA-1 signature
    and a SHA-256 one nested in it."""
    # The password or PIN alone, in a file only we can read: Debian 12's own osslsigncode (2.5)
    # reads it from a file but not from standard input.
    secret = unsigned.parent / "secret"
    secret.touch(mode=0o600)
    secret.write_bytes(values["secret"].rstrip(b"\n"))
    if "PFX" in values:
        key, named = ["-pkcs12", values["PFX"]], f"PFX {values['PFX']}"
    else:
        # No -pkcs11engine: osslsigncode 2.5 fails to load the engine by its path, and finds
        # libengine-pkcs11-openssl's by its name.
        key = ["-pkcs11module", values["PKCS11_MODULE"], "-key", values["PKCS11_KEY"],
               "-certs", values["CERT"]]
        named = f"PKCS11_KEY {values['PKCS11_KEY']}"
    url = values.get("TIMESTAMP_URL")
    stamp = ["-ts", url] if url else []
    steps = [("sha1", []), ("sha256", ["-nest"])] if "DUAL_SIGN" in values else [("sha256", [])]
    signed = unsigned
    try:
        for digest, nest in steps:
            signed, before = unsigned.parent / f"{digest}.exe", signed
            result = run("osslsigncode", "sign", *key, "-readpass", str(secret), "-h", digest,
                         *nest, *stamp, "-in", str(before), "-out", str(signed))
            if result.returncode != 0 or not signed.exists():
                problem = url and stamp_problem(url)
                if problem:
                    raise Failure(f"TIMESTAMP_URL {url}: {problem}")
                sys.stderr.buffer.write(result.stdout + result.stderr)
                raise Failure(f"{named}: osslsigncode could not sign ({digest.upper()})")
    finally:
        secret.unlink()
    made, stamped = signatures(signed)
    if made != len(steps):
        raise Failure(f"{named}: osslsigncode left {made} signatures, not {len(steps)}")
    if url and stamped != made:
        raise Failure(f"TIMESTAMP_URL {url}: {made - stamped} of {made} signatures came back "
                      "without a time-stamp")
    return signed


def finish(data, values, directory):
    """The finished executable in `directory`, signed when a key is given; its path."""
    finished = pathlib.Path(directory) / "setup.exe"
    finished.write_bytes(data)
    if "secret" in values:
        finished = sign(finished, values)
    finished.chmod(0o755)
    return finished


def described(values, icon, version):
    """What the packager's settings put into the file, for the closing line."""
    signature = "SHA-1 and SHA-256 signatures" if "DUAL_SIGN" in values else "signature"
    parts = [what for what, given in (("icon", icon), ("version information", version),
                                      (signature, "secret" in values),
                                      ("time-stamp", "TIMESTAMP_URL" in values)) if given]
    return ", ".join(parts) if parts else "the default build"


def release(values):
    icon, version = check(values)
    data = build(icon, version)
    out = pathlib.Path(values["OUT"])
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        # Next to OUT, so the last step is a rename within one file system.
        with tempfile.TemporaryDirectory(dir=out.parent, prefix=".release-") as scratch:
            os.replace(finish(data, values, scratch), out)
    except OSError as error:
        raise Failure(f"OUT {out}: cannot write it ({error.strerror})") from None
    print(f"release: wrote {out}, {out.stat().st_size} bytes ({described(values, icon, version)})")


def main(argv):
    try:
        release(parse(argv))
    except (Failure, brand.BrandError) as error:
        print(f"release: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
