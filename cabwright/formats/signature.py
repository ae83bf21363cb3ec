"""An Authenticode signature after a device CAB, read and checked here as a device checks it:
where the cabinet's header reserve says it lies, who signed with what digest, whether it is
time-stamped, and whether it is valid. It is valid only when all three hold:

- the CAB's digest, computed here from its bytes, is the digest that was signed;
- the signer's signature over its authenticated attributes verifies, and their messageDigest is
  the digest of the content it signs;
- the signer's certificate is one the signature carries, the one it names (by issuer and serial
  number, or by subject key identifier).

Anything else is a fault naming the part that failed. The chain is then followed as far as the
carried certificates and this machine's roots allow, each issuer's signature checked; where it
ends is information, not a fault: a device has roots of its own.
"""
import hashlib
import importlib
import pathlib
import struct
import warnings

from asn1crypto import algos, cms, core, parser
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import dsa, ec, padding, rsa
from cryptography.x509.oid import NameOID, SignatureAlgorithmOID
from cryptography.utils import CryptographyDeprecationWarning

# A certificate from a CAB may be of any quality; what matters is told as the signature's faults,
# not as the library's notes on the terminal.
warnings.filterwarnings("ignore", category=CryptographyDeprecationWarning)

importlib.import_module("asn1crypto.tsp")  # the time-stamp token's content types, for .parsed

SYSTEM_ROOTS = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")
DIGESTS = {"sha1": "SHA-1", "sha256": "SHA-256", "sha384": "SHA-384", "sha512": "SHA-512",
           "md5": "MD5"}
SIGNED_DATA = "1.2.840.113549.1.7.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # Authenticode's SpcIndirectDataContent
STAMP_TOKEN = "1.3.6.1.4.1.311.3.3.1"  # Authenticode's attribute holding a time-stamp token
HEADER = 60  # a signed cabinet's fixed header and its 20-byte reserve
RESERVE = 20
LONGEST_CHAIN = 10  # past any real chain: a loop of certificates ends here
REJECTED = "; the device rejects it"


class Unreadable(Exception):
    """Why the signature's bytes don't read as one: one line."""


class Uncomputable(Exception):
    """Why the CAB's digest can't be computed: one line."""


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class IndirectData(core.Sequence):
    """Authenticode's SpcIndirectDataContent: what is signed, and its digest."""
    _fields = [("data", core.Any), ("message_digest", DigestInfo)]


def placed(head):
    """(offset, length) of the signature the cabinet's header reserve points to, or None: a
    reserve (flag 4) of 12 bytes or more, the offset and length at its bytes 4 and 8."""
    if len(head) < 52 or not head[30] & 4 or struct.unpack_from("<H", head, 36)[0] < 12:
        return None
    offset, length = struct.unpack_from("<II", head, 44)
    return (offset, length) if length else None


def cab_digest(path, algorithm):
    """The CAB's Authenticode digest (`algorithm` as hashlib names it), over what the platform's
    signing tools were measured to cover: header bytes 0-3, 8-33 and 56-59; the previous and
    next cabinets' names where its flags say they are there; each folder entry with its reserve
    bytes; everything from the file table up to the signature. Uncomputable otherwise."""
    digest = hashlib.new(algorithm)
    with open(path, "rb") as file:
        head = file.read(HEADER)
        where = placed(head)
        if where is None or struct.unpack_from("<H", head, 36)[0] != RESERVE:
            raise Uncomputable(f"its header reserve isn't the {RESERVE} bytes that point to a "
                               "signature")
        files_at, = struct.unpack_from("<I", head, 16)
        folders, _, flags = struct.unpack_from("<3H", head, 26)
        digest.update(head[0:4] + head[8:34] + head[56:60])
        strings = 2 * bool(flags & 1) + 2 * bool(flags & 2)  # a cabinet's name and its disk's
        names, at = file.read(256 * strings), 0
        for _ in range(strings):
            end = names.find(b"\0", at)
            if end < 0 or end - at > 255:
                raise Uncomputable("its previous or next cabinet's name has no end")
            at = end + 1
        digest.update(names[:at])
        folders_end = HEADER + at + folders * (8 + head[38])
        if folders_end > files_at or files_at > where[0]:
            raise Uncomputable(f"its file table at byte {files_at:,} isn't between its "
                               f"{folders} folder entries and its signature")
        feed(digest, file, HEADER + at, folders_end)
        feed(digest, file, files_at, where[0])
    return digest.digest()


def feed(digest, file, start, end):
    file.seek(start)
    while start < end:
        chunk = file.read(min(1 << 20, end - start))
        if not chunk:
            raise Uncomputable(f"the file ends at byte {start:,}, before its signature")
        digest.update(chunk)
        start += len(chunk)


def part(what, take):
    """take()'s value; Unreadable naming `what` where the bytes don't read as it."""
    try:
        return take()
    except Exception as error:  # noqa: BLE001 -- asn1crypto raises many kinds on bad bytes
        reason = (str(error).strip().splitlines() or [type(error).__name__])[0][:100]
        raise Unreadable(f"{what} is malformed: {reason}") from None


def name_of(name):
    """A certificate's subject or issuer as a person reads it: its common name where it has one."""
    common = name.get_attributes_for_oid(NameOID.COMMON_NAME)
    return common[0].value if common else name.rfc4514_string()


def verified(key, signature, data, digest):
    """Whether `key` signed `data` (`digest` a cryptography hash); None where its kind of key
    isn't one this reader checks."""
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, padding.PKCS1v15(), digest)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, data, ec.ECDSA(digest))
        elif isinstance(key, dsa.DSAPublicKey):
            key.verify(signature, data, digest)
        else:
            return None
    except InvalidSignature:
        return False
    return True


def signs(issuer, certificate):
    """Whether `issuer`'s key signed `certificate`; None where this reader can't tell."""
    try:
        if certificate.signature_algorithm_oid == SignatureAlgorithmOID.RSASSA_PSS:
            return None
        return verified(issuer.public_key(), certificate.signature,
                        certificate.tbs_certificate_bytes, certificate.signature_hash_algorithm)
    except (UnsupportedAlgorithm, ValueError, TypeError):
        return None


_roots = None


def system_roots():
    """This machine's roots by subject, read once."""
    global _roots
    if _roots is None:
        _roots = {}
        try:
            text = SYSTEM_ROOTS.read_bytes()
        except OSError:
            text = b""
        for block in text.split(b"-----END CERTIFICATE-----")[:-1]:
            try:
                root = x509.load_pem_x509_certificate(block + b"-----END CERTIFICATE-----\n")
            except ValueError:
                continue
            _roots.setdefault(root.subject, []).append(root)
    return _roots


def carried(signed):
    """The certificates a SignedData carries: (asn1crypto's, cryptography's) each."""
    return [(c.chosen, x509.load_der_x509_certificate(c.chosen.dump()))
            for c in signed["certificates"] or [] if c.name == "certificate"]


def named(sid, certificates):
    """The certificate (cryptography's) among `certificates` that a signer's identifier names,
    by issuer and serial number or by subject key identifier; None where none is."""
    for ours, theirs in certificates:
        if sid.name == "issuer_and_serial_number":
            if ours.serial_number == sid.chosen["serial_number"].native and \
                    ours.issuer == sid.chosen["issuer"]:
                return theirs
        elif (ours.key_identifier or ours.public_key.sha1) == sid.chosen.native:
            return theirs
    return None


def signer_faults(signer, content, certificates):
    """Why `signer` doesn't vouch for `content`, each "doesn't verify: ..." or "can't be checked:
    ..."; [] where its attributes' messageDigest is the digest of `content` and their DER (as a
    SET) is signed by the key of the certificate it names among `certificates`."""
    algorithm = signer["digest_algorithm"]["algorithm"].native
    if algorithm not in DIGESTS:
        return [f"can't be checked: its digest algorithm {algorithm} isn't one this reader knows"]
    attributes = signer["signed_attrs"]
    digest = next((a["values"][0].native for a in attributes or []
                   if a["type"].native == "message_digest"), None)
    if digest != hashlib.new(algorithm, content).digest():
        return ["doesn't verify: the digest it signs isn't the one its attributes hold"]
    certificate = named(signer["sid"], certificates)
    if certificate is None:
        return ["doesn't verify: its signer names no certificate it carries"]
    kind = signer["signature_algorithm"].signature_algo
    ok = None if kind == "rsassa_pss" else verified(
        certificate.public_key(), signer["signature"].native, b"\x31" + attributes.dump()[1:],
        getattr(hashes, algorithm.upper())())
    if ok is None:
        return [f"can't be checked: its signature ({kind} with {algorithm}) isn't of a kind this "
                "reader checks"]
    return [] if ok else ["doesn't verify: its signature over its attributes is wrong"]


class Signature:
    """What a signature says. Once checked: `faults`, one line each (none where it is valid),
    and `chain`, where its certificates lead."""

    def __init__(self, der):
        """Unreadable where the bytes don't read as an Authenticode signature."""
        self.der, self.faults, self.chain = der, [], ""
        content = part("its ContentInfo", lambda: cms.ContentInfo.load(der))  # 8-byte padded
        kind = part("its content type", lambda: content["content_type"].dotted)
        if kind != SIGNED_DATA:
            raise Unreadable(f"its content type is {kind}, not SignedData")
        signed = part("its SignedData", lambda: content["content"])
        info = part("its signed content", lambda: signed["encap_content_info"])
        if part("its signed content", lambda: info["content_type"].dotted) != INDIRECT_DATA:
            raise Unreadable("its signed content isn't Authenticode's indirect data")
        # The content as asn1crypto keeps it, explicitly tagged [0]: the SEQUENCE inside, and
        # the SEQUENCE's own contents, which Authenticode's messageDigest covers.
        self.content = part("its signed content",
                            lambda: parser.parse(parser.parse(info["content"].dump())[4])[4])
        indirect = part("its signed content", lambda: IndirectData.load(
            parser.parse(info["content"].dump())[4]))
        self.algorithm, self.signed_digest = part("its signed digest (DigestInfo)", lambda: (
            indirect["message_digest"]["digest_algorithm"]["algorithm"].native,
            indirect["message_digest"]["digest"].native))
        signers = part("its signers", lambda: list(signed["signer_infos"]))
        if len(signers) != 1:
            raise Unreadable(f"it has {len(signers)} signers, not one")
        self.signer = signer = signers[0]
        self.carried = part("its certificates", lambda: carried(signed))
        self.certificate = part("its signer's identifier",
                                lambda: named(signer["sid"], self.carried))
        algorithm = part("its signer's digest algorithm",
                         lambda: signer["digest_algorithm"]["algorithm"].native)
        self.digest = DIGESTS.get(algorithm, algorithm)
        certificate = self.certificate
        self.subject = part("its signer's subject", lambda: name_of(certificate.subject)) \
            if certificate else "(a certificate it lacks)"
        self.issuer = part("its signer's issuer", lambda: name_of(certificate.issuer)) \
            if certificate else "(unknown)"
        self.stamped = part("its time-stamp", lambda: stamped(signer))

    def check(self, path):
        """Every fault of the signature on the CAB at `path`, one line each; `chain` told. The
        CAB's digest is compared only with a digest its signer vouches for."""
        faults = []
        try:
            faults = [f"its signature {line}" for line in part("its signer", lambda: signer_faults(
                self.signer, self.content, self.carried))]
            if not faults:
                faults = self.digest_faults(path)
            if not faults:
                faults = part("its chain", self.follow)
            faults = [line + REJECTED if " doesn't verify: " in line else line for line in faults]
            faults += [f"its time-stamp {line}" for line in part("its time-stamp", self.stamp)]
        except Unreadable as why:
            faults.append(f"its signature can't be read as one ({why})")
        self.faults = faults
        return faults

    def digest_faults(self, path):
        try:
            if self.algorithm not in DIGESTS:
                raise Uncomputable(f"its digest algorithm {self.algorithm} isn't one this reader "
                                   "knows")
            if cab_digest(path, self.algorithm) != self.signed_digest:
                return ["its signature doesn't verify: the CAB changed after it was signed"]
        except (Uncomputable, OSError) as why:
            return [f"its signature can't be checked: its digest can't be computed "
                    f"({why.strerror if isinstance(why, OSError) else why})"]
        return []

    def stamp(self):
        """Its time-stamp's faults, where it has one: a stamp vouches for the signer's signature
        value, by a signer of its own."""
        value = self.signer["signature"].native
        for attribute in self.signer["unsigned_attrs"] or []:
            if attribute["type"].dotted == STAMP_TOKEN:  # a TSTInfo, signed
                token = attribute["values"][0]["content"]
                info = token["encap_content_info"]["content"]
                imprint = info.parsed["message_imprint"]
                if imprint["hashed_message"].native != hashlib.new(
                        imprint["hash_algorithm"]["algorithm"].native, value).digest():
                    return ["doesn't verify: it stamps another signature"]
                return signer_faults(token["signer_infos"][0], info.contents, carried(token))
            if attribute["type"].native == "counter_signature":
                return signer_faults(attribute["values"][0], value, self.carried)
        return []

    def follow(self):
        """From the signer's certificate up to a root, issuers looked for among this machine's
        roots and the carried certificates; `chain` tells how far. A carried issuer that didn't
        sign the certificate below it is a fault."""
        roots, carrying = system_roots(), [theirs for _, theirs in self.carried]
        certificate, names = self.certificate, [self.subject]
        for _ in range(LONGEST_CHAIN):
            if certificate.issuer == certificate.subject:
                held = any(certificate is root for root in roots.get(certificate.subject, []))
                self.chain = " < ".join(names) + (
                    ": a root this machine holds" if held else
                    ": a root this machine doesn't hold (the device has roots of its own)")
                return []
            ours = [c for c in carrying if c.subject == certificate.issuer]
            found = [(c, signs(c, certificate)) for c in roots.get(certificate.issuer, []) + ours]
            issuer = next((c for c, ok in found if ok), None)
            if issuer is None:
                if any(ok is False for c, ok in found if c in ours):
                    return [f"its signature doesn't verify: the certificate of {names[-1]} isn't "
                            f"signed by the certificate of its issuer "
                            f"{name_of(certificate.issuer)} that it carries"]
                self.chain = " < ".join(names) + f": its issuer " \
                    f"{name_of(certificate.issuer)} is neither carried nor held by this machine"
                return []
            certificate = issuer
            names.append(name_of(issuer.subject))
        self.chain = " < ".join(names) + ": longer than this reader follows"
        return []

    def shown(self):
        stamp = (f"time-stamped {self.stamped:%Y-%m-%d %H:%M:%S %Z}".rstrip() if self.stamped
                 else "not time-stamped")
        verdict = "doesn't verify" if self.faults else "verifies"
        return f"signed by {self.subject}, issued by {self.issuer}, {self.digest}, {stamp}, " \
               f"{verdict}"


def stamped(signer):
    """When the signer's signature was time-stamped, as its stamp says, or None."""
    for attribute in signer["unsigned_attrs"] or []:
        if attribute["type"].dotted == STAMP_TOKEN:
            info = attribute["values"][0]["content"]["encap_content_info"]["content"]
            return info.parsed["gen_time"].native
        if attribute["type"].native == "counter_signature":
            for signed_attribute in attribute["values"][0]["signed_attrs"] or []:
                if signed_attribute["type"].native == "signing_time":
                    return signed_attribute["values"][0].native
    return None
