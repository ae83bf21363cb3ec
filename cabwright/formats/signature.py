"""An Authenticode signature after a device CAB, read as the device reads it: where the cabinet's
header reserve says it lies, who signed with what digest, whether it is time-stamped, and
whether it verifies. The certificates are read with asn1crypto; whether the signature verifies
is osslsigncode's exit status, and where it doesn't, whether the CAB's bytes still have the
digest that was signed.
"""
import importlib
import pathlib
import struct
import subprocess
import tempfile

from asn1crypto import algos, cms, core, parser, pem
from cryptography import x509
from cryptography.x509.oid import NameOID

importlib.import_module("asn1crypto.tsp")  # the time-stamp token's content types, for .parsed

SYSTEM_ROOTS = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")
DIGESTS = {"sha1": "SHA-1", "sha256": "SHA-256", "sha384": "SHA-384", "sha512": "SHA-512",
           "md5": "MD5"}


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class IndirectData(core.Sequence):
    """Authenticode's SpcIndirectDataContent: what is signed, and its digest."""
    _fields = [("data", core.Any), ("message_digest", DigestInfo)]


def placed(reserved):
    """(offset, length) of the signature the cabinet's header reserve points to, or None: 20
    bytes, the offset and length at 4 and 8."""
    if len(reserved) < 12:
        return None
    offset, length = struct.unpack_from("<II", reserved, 4)
    return (offset, length) if length else None


def name_of(name):
    """A certificate's subject or issuer as a person reads it: its common name where it has one."""
    common = name.get_attributes_for_oid(NameOID.COMMON_NAME)
    return common[0].value if common else name.rfc4514_string()


def signed_digest(content):
    """The digest algorithm and the digest that the signature's SignedData signs."""
    info = content["content"]["encap_content_info"]
    # The content as asn1crypto keeps it: explicitly tagged [0], the SEQUENCE inside.
    indirect = IndirectData.load(parser.parse(info["content"].dump())[4])
    return (indirect["message_digest"]["digest_algorithm"]["algorithm"].native,
            indirect["message_digest"]["digest"].native)


def certificates(content):
    """Every certificate the signature carries, its time-stamps' too, as PEM."""
    found = []
    for choice in content["content"]["certificates"] or []:
        found.append(pem.armor("CERTIFICATE", choice.chosen.dump()))
    for signer in content["content"]["signer_infos"]:
        for attribute in signer["unsigned_attrs"] or []:
            if attribute["type"].native == "microsoft_time_stamp_token":
                for token in attribute["values"]:
                    found += certificates(token)
    return found


class Signature:
    """What a signature says; `problem` is why it doesn't verify (None where it does), `fault`
    whether that means the CAB was changed after signing, which a device rejects."""

    def __init__(self, der):
        self.der = der
        self.content = cms.ContentInfo.load(der)  # padded to 8 bytes after its end
        signed = self.content["content"]
        signer = signed["signer_infos"][0]
        self.digest = DIGESTS.get(signer["digest_algorithm"]["algorithm"].native,
                                  signer["digest_algorithm"]["algorithm"].native)
        serial = signer["sid"].chosen["serial_number"].native
        chosen = [c.chosen for c in signed["certificates"] or []
                  if c.name == "certificate" and c.chosen.serial_number == serial]
        certificate = x509.load_der_x509_certificate(chosen[0].dump()) if chosen else None
        self.subject = name_of(certificate.subject) if certificate else "(a certificate it lacks)"
        self.issuer = name_of(certificate.issuer) if certificate else "(unknown)"
        self.stamped = None
        for attribute in signer["unsigned_attrs"] or []:
            if attribute["type"].native == "microsoft_time_stamp_token":
                info = attribute["values"][0]["content"]["encap_content_info"]["content"]
                self.stamped = info.parsed["gen_time"].native
            elif attribute["type"].native == "counter_signature":
                for signed_attribute in attribute["values"][0]["signed_attrs"] or []:
                    if signed_attribute["type"].native == "signing_time":
                        self.stamped = signed_attribute["values"][0].native
        self.problem, self.fault = None, False

    def verify(self, path):
        """osslsigncode's verdict on the file at `path`, trusting this machine's roots and those
        the signature carries: the device has roots of its own, so a chain we can't follow is
        told, but the bytes are what a device rejects."""
        with tempfile.TemporaryDirectory(prefix="signature-") as scratch:
            roots = pathlib.Path(scratch) / "roots.pem"
            system = SYSTEM_ROOTS.read_bytes() if SYSTEM_ROOTS.is_file() else b""
            roots.write_bytes(system + b"".join(certificates(self.content)))
            verdict = subprocess.run(["osslsigncode", "verify", "-in", str(path), "-CAfile",
                                      str(roots), "-TSA-CAfile", str(roots)],
                                     capture_output=True)
            if verdict.returncode == 0:
                return
            algorithm, digest = signed_digest(self.content)
            data = pathlib.Path(scratch) / "data.der"
            subprocess.run(["osslsigncode", "extract-data", "-h", algorithm, "-in", str(path),
                            "-out", str(data)], capture_output=True)
            try:
                now = signed_digest(cms.ContentInfo.load(data.read_bytes()))[1]
            except (OSError, ValueError, KeyError):
                now = None
        if now != digest:
            self.problem, self.fault = "the CAB changed after it was signed", True
        else:
            self.problem = ("its bytes are as signed, but its certificates don't lead to a "
                            "root it carries or this machine trusts (or one has expired)")

    def shown(self):
        stamp = (f"time-stamped {self.stamped:%Y-%m-%d %H:%M:%S %Z}".rstrip() if self.stamped
                 else "not time-stamped")
        verdict = "verifies" if self.problem is None else f"doesn't verify: {self.problem}"
        return f"signed by {self.subject}, issued by {self.issuer}, {self.digest}, {stamp}, " \
               f"{verdict}"
