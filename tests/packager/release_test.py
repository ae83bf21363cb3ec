#!/usr/bin/env python3
"""make release, checked from the outside, with inputs made at test time.

    python3 -m tests.packager.release_test GROUP   (from the repository's root)

    bad-input   each bad ICON, VERSION, key or time-stamp server: its one error line, no OUT
    branded     a branded build signed through a token and time-stamped, read back, verified
                and tampered with; one signed twice from a PFX; the same inputs twice give the
                same bytes before signing
    default     no settings: the default build, and the default tree unchanged
    unit        a token at its last PIN try, which SoftHSM2 never reaches: not tried

The throwaway CA, certificates and SoftHSM2 token are made in build/release-test, where a group
runs its own time-stamp authority on the loopback address; no key is kept in the repository.
The branded, signed file stays there for e2e.shipped-i386 to run under Wine.
"""
import http.server
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import threading
import types
import zlib

from tests.pe import pe_check
from cabwright.diagnostics import Faults

ROOT = pathlib.Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "release-test"
SIGNED = WORK / "package" / "setup.exe"
DUAL = WORK / "branded" / "dual.exe"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
SPY = "/usr/lib/x86_64-linux-gnu/pkcs11-spy.so"  # OpenSC's: logs each call, then makes it
DEFAULT = ROOT / "build" / "win" / "setup.exe"

COMPANY = "Müller & Söhne GmbH"
PRODUCT = "株式会社サンプル 手帳 📒"  # a character past the 16-bit range, too
COPYRIGHT = '© 2026 Müller & Söhne GmbH, "Notes" in C:\\Notes\\'  # " and \ escaped in the script


def make(*args):
    """make in the source tree, as a packager runs it (not as a part of the make running us)."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    return subprocess.run(["make", "-s", "--no-print-directory", "-C", str(ROOT), *args],
                          capture_output=True, text=True, env=env)


def make_release(**settings):
    return make("release", *(f"{k}={v}" for k, v in settings.items()))


# Test inputs -------------------------------------------------------------------------------

def png(size):
    """An RGBA PNG image: a checkerboard of 32-pixel squares."""
    rows = b"".join(b"\0" + b"".join(bytes((40, 168, 56, 255) if (x ^ y) & 32 else (0, 0, 0, 0))
                                      for x in range(size)) for y in range(size))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8 bits a channel, RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def bitmap(size):
    """A 32-bit icon image as an .ico holds it: header, colours bottom up, the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colours = b"".join(bytes((40, 168, 4 * y % 256, 255)) * size for y in range(size))
    mask = b"\0" * (((size + 31) // 32 * 4) * size)
    return header + colours + mask


def icon_file(images):
    """An .ico of (width, height, bits, bytes) images, in that order."""
    offset = 6 + 16 * len(images)
    directory, body = b"", b""
    for width, height, bits, data in images:
        directory += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, bits, len(data),
                                 offset + len(body))
        body += data
    return struct.pack("<HHH", 0, 1, len(images)) + directory + body


ICON_IMAGES = [(48, 48, 32, bitmap(48)), (256, 256, 32, png(256))]


def certificates(work):
    """A CA; code-signing, web and time-stamping certificates as PKCS#12; openssl ts's settings."""
    work.mkdir(parents=True, exist_ok=True)
    stamping = ("serial = serial\nsigner_cert = stamping.pem\nsigner_key = leaf.key\n"
                "certs = ca.pem\nsigner_digest = sha256\ndefault_policy = 1.2.3.4\n"
                "ess_cert_id_alg = sha256\n")
    (work / "ext.cnf").write_text(
        "[signing]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
        "extendedKeyUsage = codeSigning\n"
        "[web]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
        "extendedKeyUsage = serverAuth\n"
        "[stamping]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
        "extendedKeyUsage = critical, timeStamping\n"
        f"[tsa]\ndefault_tsa = authority\n[authority]\ndigests = sha1, sha256\n{stamping}"
        # One that refuses whatever osslsigncode asks: no digest it sends is taken.
        f"[refusing]\ndigests = sha512\n{stamping}")
    (work / "pass.txt").write_text("not so secret\n")  # as `echo ... >` leaves it
    (work / "pass-crlf.txt").write_bytes(b"not so secret\r\n")  # as a Windows editor leaves it
    (work / "wrong.txt").write_text("guessed\n")

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-subj", "/CN=Release Test CA", "-days", "2",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key", "-out", "leaf.csr",
            "-utf8", "-subj", f"/CN={COMPANY}")
    for serial, use in ((2, "signing"), (3, "web"), (4, "stamping")):
        openssl("x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-set_serial", str(serial), "-days", "2", "-extfile", "ext.cnf",
                "-extensions", use, "-out", f"{use}.pem")
        openssl("pkcs12", "-export", "-in", f"{use}.pem", "-inkey", "leaf.key",
                "-certfile", "ca.pem", "-out", f"{use}.pfx", "-passout", "file:pass.txt")
    return work


def token(certs):
    """A SoftHSM2 token of the test's own holding the code-signing certificate's key and a spare
    EC key; the settings that sign through it."""
    (certs / "tokens").mkdir()
    (certs / "softhsm2.conf").write_text(f"directories.tokendir = {certs / 'tokens'}\n")
    os.environ["SOFTHSM2_CONF"] = str(certs / "softhsm2.conf")
    run = lambda *a: subprocess.run(a, cwd=certs, check=True, capture_output=True)  # noqa: E731
    run("openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
        "-out", "spare.key")
    run("softhsm2-util", "--init-token", "--free", "--label", "Release Test", "--so-pin", "0000",
        "--pin", "1234")
    for n, key in enumerate(("leaf", "spare"), 1):
        run("softhsm2-util", "--import", f"{key}.key", "--token", "Release Test", "--label", key,
            "--id", f"0{n}", "--pin", "1234")
    (certs / "pin.txt").write_bytes(b"1234\r\n")
    (certs / "chain.pem").write_bytes((certs / "ca.pem").read_bytes()
                                      + (certs / "signing.pem").read_bytes())
    return {"PKCS11_MODULE": SOFTHSM, "PKCS11_KEY": "pkcs11:token=Release%20Test;object=leaf",
            "CERT": certs / "chain.pem", "PIN_FILE": certs / "pin.txt"}


def authority(certs):
    """An RFC 3161 time-stamp authority on the loopback address, for a group to shut down when
    done: openssl's reply to each query, at /refuse its refusal, or at /error a server's error
    page."""
    class Reply(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = b"<h1>Internal Server Error</h1>" if self.path == "/error" else subprocess.run(
                ["openssl", "ts", "-reply", "-config", "ext.cnf", "-queryfile", "/dev/stdin",
                 "-section", "refusing" if self.path == "/refuse" else "authority"],
                input=query, cwd=certs, capture_output=True).stdout
            self.send_response(500 if self.path == "/error" else 200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.end_headers()
            try:
                self.wfile.write(reply)
            except BrokenPipeError:  # a client that gives up on an error doesn't read on
                pass

        def log_message(self, *args):
            pass
    server = http.server.HTTPServer(("127.0.0.1", 0), Reply)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_port}/"


# Reading the file back, independently of the code that wrote it ------------------------------

def version_tree(data, at=0):
    """One block of a VS_VERSIONINFO as (key, type, value, children); its children must fill
    it exactly, each on a 32-bit boundary."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end, pos = at + length, at + 6
    while data[pos:pos + 2] != b"\0\0":
        pos += 2
    key = data[at + 6:pos].decode("utf-16-le")
    pos = (pos + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value, pos = data[pos:pos + size], pos + size
    children = []
    while (pos + 3) & ~3 < end:
        pos = (pos + 3) & ~3
        children.append(version_tree(data, pos))
        pos += struct.unpack_from("<H", data, pos)[0]
    if pos != end:
        raise ValueError(f"{key}: children end at {pos}, the block at {end}")
    return key, kind, value, children


def read_version(exe):
    """The fixed part's four version numbers of each kind, the strings, the translation."""
    key, _, fixed, blocks = version_tree(pe_check.resource(exe, 16, 1))
    signature, _, fms, fls, pms, pls = struct.unpack_from("<6I", fixed)
    numbers = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)  # noqa: E731
    got = {"key": key, "signature": hex(signature), "file": numbers(fms, fls),
           "product": numbers(pms, pls)}
    for name, _, _, children in blocks:
        if name == "StringFileInfo":
            for table, _, _, strings in children:
                got["table"] = table
                got["strings"] = {k: v.decode("utf-16-le").removesuffix("\0")
                                  for k, t, v, _ in strings}
        elif name == "VarFileInfo":
            got["translation"] = [struct.unpack("<HH", v) for _, _, v, _ in children]
    return got


def check_icons(exe, images):
    problems = []
    got = pe_check.resource_list(exe)
    want = [["--type=3", f"--name={n}", "--language=1033"] for n in range(1, len(images) + 1)]
    want += [["--type=14", "--name=102", "--language=1033"],
             ["--type=16", "--name=1", "--language=1033"]]
    if got != want:
        problems.append(f"resources {got}, expected {want}")
    group = pe_check.resource(exe, 14, 102)
    if not group:
        return problems + ["no icon group 102"]
    got = [(e[7], e[0] or 256, e[1] or 256, e[5], e[6]) for e in pe_check.icon_group(group)]
    want = [(n, w, h, b, len(d)) for n, (w, h, b, d) in enumerate(images, 1)]
    if got != want:
        problems.append(f"icon group 102 lists {got}, expected {want}")
    for n, (*_, data) in enumerate(images, 1):
        if pe_check.resource(exe, 3, n) != data:
            problems.append(f"icon {n} differs from the .ico's image {n}")
    return problems


def verify(exe, ca):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-TSA-CAfile", str(ca),
                           "-in", str(exe)], capture_output=True, text=True)


# The groups --------------------------------------------------------------------------------

def bad_input():
    work = WORK / "bad"
    shutil.rmtree(work, ignore_errors=True)
    certs = certificates(work / "certs")
    device, (server, url) = token(certs), authority(certs)
    os.environ.update(PKCS11SPY=SOFTHSM, PKCS11SPY_OUTPUT=str(work / "spy.log"))

    def swap(name, value):  # the token's settings, one of them changed and put first
        return {name: value, **{k: v for k, v in device.items() if k != name}}
    good = icon_file(ICON_IMAGES)

    def ico(name, data):
        (work / name).write_bytes(data)
        return str(work / name)
    rows = [  # (settings, what the one line (or each) must say besides naming the input)
        ({"ICON": ico("a-png.ico", png(16))}, "not an icon file"),
        ({"ICON": ico("directory.ico", struct.pack("<HHH", 0, 1, 2) + good[6:22])},
         "the directory of 2 images needs 38 bytes, the file has 22"),
        ({"ICON": ico("past-end.ico", good[:-1])},
         f"image 2 runs past the end of the file (offset {len(good) - len(ICON_IMAGES[1][3])} + "
         f"{len(ICON_IMAGES[1][3])} > {len(good) - 1} bytes)"),
        ({"ICON": ico("no-images.ico", struct.pack("<HHH", 0, 1, 0))}, "holds no images"),
        # Its header read in full: a width of 0, a height of -7, 0 planes, 65,535 bits.
        ({"ICON": ico("crafted.ico", icon_file([(48, 48, 32, struct.pack(
            "<IiiHH", 40, 0, -7, 0, 65535) + bitmap(48)[16:])]))}, "image 1 is a bitmap of 0 "
         "by -7, 0 planes, 65535 bits a pixel"),
        ({"VERSION": "1.2.3.4.5"}, "5 numbers, at most four"),
        ({"VERSION": "1.65536", "COMPANY": COMPANY}, "65536 is past 65535"),
        ({"VERSION": "1.2b"}, "'2b' is not a number"),
        ({"VERSION": "1..2"}, "an empty number"),
        ({"PFX": certs / "signing.pfx", "PFX_PASS_FILE": certs / "wrong.txt"}, "wrong password"),
        ({"PFX": certs / "ca.pem", "PFX_PASS_FILE": certs / "pass.txt"}, "not a PKCS#12"),
        ({"PFX": certs / "web.pfx", "PFX_PASS_FILE": certs / "pass.txt"},
         "is not for code signing (extended key usage: TLS Web Server Authentication)"),
        ({"PFX": certs / "signing.pfx"}, "PFX_PASS_FILE names the file holding its password"),
        ({"PFX": certs / "signing.pfx", "PFX_PASS_FILE": "/dev/null"},
         "PFX_PASS_FILE /dev/null has no password on its first line"),
        (swap("PKCS11_MODULE", work / "none.so"), "cannot read it (No such file"),
        (swap("PKCS11_MODULE", "/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so"),
         "not a PKCS#11 library"),
        (swap("PKCS11_KEY", "pkcs11:token=Elsewhere;object=leaf"), "no such token"),
        (swap("PKCS11_KEY", "pkcs11:token=Release%20Test;object=gone"), "no such key"),
        (swap("PKCS11_KEY", "pkcs11:token=Release%20Test;object=leaf;type=cert"),
         "type=cert names no key to sign with"),
        (swap("PIN_FILE", certs / "wrong.txt") | {"PKCS11_MODULE": SPY},
         "wrong PIN for token 'Release Test'"),
        (swap("CERT", certs / "web.pem"), "is not for code signing"),
        ({"CERT": device["CERT"], **swap("PKCS11_KEY", "pkcs11:token=Release%20Test;object=spare")},
         "none of its 2 certificates is for the key"),
        ({"PFX": certs / "signing.pfx", "PFX_PASS_FILE": certs / "pass.txt", **device},
         "a certificate file or a key on a device; give one"),
        ({"PKCS11_MODULE": SOFTHSM, "PKCS11_KEY": "pkcs11:"}, "missing: CERT, PIN_FILE"),
        # Every fault of the settings at once, each on its line: how they go together first.
        ({"PFX": certs / "signing.pfx", "ICON": ico("text.ico", b"root:x:0:0"), "VERSION": "abc"},
         ["PFX_PASS_FILE names the file", "text.ico: not an icon", "VERSION abc: 'abc' is not"]),
        # Signing fails after the build, still before OUT is written: nothing listens at the
        # first, the second answers with an error.
        ({"TIMESTAMP_URL": "http://127.0.0.1:9/", "PFX": certs / "signing.pfx",
          "PFX_PASS_FILE": certs / "pass.txt"}, "cannot reach it (Connection refused)"),
        ({"TIMESTAMP_URL": f"{url}error", **device}, "answered HTTP 500"),
        ({"TIMESTAMP_URL": f"{url}refuse", "PFX": certs / "signing.pfx",
          "PFX_PASS_FILE": certs / "pass.txt"}, "the server answers, but with no time-stamp"),
    ]
    failures = []
    out = work / "out" / "setup.exe"
    for settings, says in rows:
        shutil.rmtree(out.parent, ignore_errors=True)
        result = make_release(OUT=out, **settings)
        lines = [t for t in result.stderr.splitlines() if t.startswith("release: ")]
        named = str(next(iter(settings.values())))
        row = " ".join(f"{k}={v}" for k, v in settings.items())
        if result.returncode == 0:
            failures.append(f"{row}: status 0")
        wants = says if isinstance(says, list) else [says]
        if len(lines) != len(wants) or named not in lines[0] or not all(
                want in line for want, line in zip(wants, lines)):
            failures.append(f"{row}: said {lines or result.stderr!r}, expected one line with "
                            f"'{named}' and '{says}'")
        if out.parent.exists() and any(out.parent.iterdir()):
            failures.append(f"{row}: left {sorted(p.name for p in out.parent.iterdir())}")
    server.shutdown()
    if (logins := (work / "spy.log").read_text().count("C_Login")) != 1:
        failures.append(f"a wrong PIN was tried {logins} times, not once")
    return failures


def branded():
    shutil.rmtree(WORK / "branded", ignore_errors=True)
    certs = certificates(WORK / "branded" / "certs")
    device, (server, url) = token(certs), authority(certs)
    icon = WORK / "branded" / "brand.ico"
    icon.write_bytes(icon_file(ICON_IMAGES))
    settings = {"ICON": icon, "VERSION": "1.2.3", "COMPANY": COMPANY, "PRODUCT": PRODUCT,
                "COPYRIGHT": COPYRIGHT}
    failures = []
    unsigned = [WORK / "branded" / f"unsigned{n}.exe" for n in (1, 2)]
    signing = {SIGNED: {**device, "TIMESTAMP_URL": url},
               DUAL: {"PFX": certs / "signing.pfx", "PFX_PASS_FILE": certs / "pass-crlf.txt",
                      "DUAL_SIGN": 1, "TIMESTAMP_URL": url}}
    for out in [*unsigned, SIGNED, DUAL]:
        result = make_release(OUT=out, **settings, **signing.get(out, {}))
        if result.returncode != 0:
            return [f"make release OUT={out}: status {result.returncode}\n{result.stderr}"]
    server.shutdown()
    if unsigned[0].read_bytes() != unsigned[1].read_bytes():
        failures.append("the same inputs built twice give different bytes")

    failures += check_icons(SIGNED, ICON_IMAGES)
    version, dotted = (1, 2, 3, 0), "1.2.3.0"
    want = {"key": "VS_VERSION_INFO", "signature": "0xfeef04bd", "file": version,
            "product": version, "table": "040904B0", "translation": [(0x0409, 1200)],
            "strings": {"CompanyName": COMPANY, "FileDescription": f"{PRODUCT} Setup",
                        "FileVersion": dotted, "LegalCopyright": COPYRIGHT,
                        "OriginalFilename": "setup.exe", "ProductName": PRODUCT,
                        "ProductVersion": dotted}}
    try:
        got = read_version(SIGNED)
    except (ValueError, struct.error) as error:
        got = {"unreadable": str(error)}
    failures += [f"version {k}: {got.get(k)!r}, expected {v!r}" for k, v in want.items()
                 if got.get(k) != v]
    failures += [f"header: {p}" for p in pe_check.check_header(SIGNED)]

    # Each signature, its digest and its time-stamp verified against the test's CA.
    for exe, digests in ((SIGNED, ["SHA256"]), (DUAL, ["SHA1", "SHA256"])):
        checked = verify(exe, certs / "ca.pem")
        lines = checked.stdout.splitlines()
        got = [t.split(":")[1].strip() for t in lines if t.startswith("Message digest algorithm  ")]
        if checked.returncode != 0 or got != digests or any(
                lines.count(f"{what} verification: ok") != len(digests)
                for what in ("Signature", "Timestamp Server Signature")):
            failures.append(f"osslsigncode verify {exe.name}: status {checked.returncode}, "
                            f"digests {got}\n{checked.stdout}{checked.stderr}")
    # One byte of code changed: the digest over the signed range no longer matches.
    data = bytearray(SIGNED.read_bytes())
    name, *_, raw, _, _ = pe_check.Image(data).sections[0]
    data[raw + 16] ^= 0x01  # in .text
    tampered = WORK / "branded" / "tampered.exe"
    tampered.write_bytes(data)
    checked = verify(tampered, certs / "ca.pem")
    digest = [t for t in checked.stdout.splitlines() if t.startswith("Calculated message digest")]
    if checked.returncode == 0 or not digest or "MISMATCH" not in digest[0]:
        failures.append(f"a tampered copy: verify status {checked.returncode}, digest {digest}")
    return failures


def default():
    """No settings, after a branded build: the default file, and the default tree untouched."""
    before = DEFAULT.read_bytes()
    icon = WORK / "default" / "brand.ico"
    icon.parent.mkdir(parents=True, exist_ok=True)
    icon.write_bytes(icon_file(ICON_IMAGES))
    failures = []
    for settings in ({"ICON": icon, "VERSION": "9"}, {}):
        out = WORK / "default" / "setup.exe"
        result = make_release(OUT=out, **settings)
        if result.returncode != 0:
            return [f"make release {settings}: status {result.returncode}\n{result.stderr}"]
    plain = make()
    if plain.returncode != 0:
        failures.append(f"make: status {plain.returncode}\n{plain.stderr}")
    if DEFAULT.read_bytes() != before:
        failures.append("a branded build changed build/win/setup.exe")
    if out.read_bytes() != before:
        failures.append("make release with no settings differs from build/win/setup.exe")
    return failures


def unit():
    import PyKCS11
    from cabwright.services import signing
    tries = []
    session = types.SimpleNamespace(login=tries.append)
    info = types.SimpleNamespace(flags=PyKCS11.CKF_LOGIN_REQUIRED | PyKCS11.CKF_USER_PIN_FINAL_TRY)
    values = {"PIN_FILE": "token.pin", "PKCS11_KEY": "pkcs11:token=T", "secret": b"1234"}
    try:
        said = signing.log_in(PyKCS11, session, info, "token 'T'", values)
    except Faults as error:
        said = str(error)
    if tries or not str(said).startswith("PIN_FILE token.pin: not tried"):
        return [f"a token at its last PIN try: tried {len(tries)} times, said {said!r}"]
    return []


def main(argv):
    groups = {"bad-input": bad_input, "branded": branded, "default": default, "unit": unit}
    failures = groups[argv[0]]()
    print("\n".join(failures) if failures else f"{argv[0]}: as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
