"""Signing setup.exe: the key and certificate checked before anything is built, then
osslsigncode's Authenticode signature, time-stamped where asked. A key is a PKCS#12 file with its
password, or a key that stays on a device, reached through its PKCS#11 library.
"""
import ctypes
import hashlib
import os
import pathlib
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

from asn1crypto import cms, core, pem, pkcs12 as pfx_format, tsp
from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.hazmat.primitives.serialization import pkcs12

from cabwright.settings import first_line
from cabwright.diagnostics import Faults

# Extended key usages by the names openssl and Windows show them.
USAGES = {"1.3.6.1.5.5.7.3.1": "TLS Web Server Authentication",
          "1.3.6.1.5.5.7.3.2": "TLS Web Client Authentication",
          "1.3.6.1.5.5.7.3.3": "Code Signing", "1.3.6.1.5.5.7.3.4": "E-mail Protection",
          "1.3.6.1.5.5.7.3.8": "Time Stamping", "1.3.6.1.5.5.7.3.9": "OCSP Signing",
          "2.5.29.37.0": "Any Extended Key Usage"}
CODE_SIGNING = x509.oid.ExtendedKeyUsageOID.CODE_SIGNING
# Subject parts that RFC 4514 gives no name, by openssl's; code-signing EV certificates hold them.
NAMES_OF_PARTS = {x509.oid.NameOID.EMAIL_ADDRESS: "emailAddress",
                  x509.oid.NameOID.SERIAL_NUMBER: "serialNumber",
                  x509.oid.NameOID.BUSINESS_CATEGORY: "businessCategory",
                  x509.oid.NameOID.JURISDICTION_COUNTRY_NAME: "jurisdictionC"}


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, **kwargs)


KEY_SETTINGS = ("PFX", "PFX_PASS_FILE", "PKCS11_MODULE", "PKCS11_KEY", "CERT", "PIN_FILE",
                "TIMESTAMP_URL", "DUAL_SIGN")


class Signer:
    """A key to sign with, checked when it is made: the key and certificate the settings name
    open, match and are for code signing, a device's PIN tried once. A run makes one and signs
    everything with it, so the PIN is tried once by construction; a build is signed exactly when
    it has a signer."""

    def __init__(self, values):
        self.values = {name: values[name] for name in KEY_SETTINGS if name in values}
        if "PFX" in values:
            secret = password(values["PFX"], values["PFX_PASS_FILE"])
            check_certificate(values["PFX"], values["PFX_PASS_FILE"], secret)
        else:
            secret = first_line("PIN_FILE", values["PIN_FILE"])
            if not secret:
                raise Faults(f"PIN_FILE {values['PIN_FILE']}: no PIN on its first line")
            pems = chain(values["CERT"])
            check_device_certificate(values["CERT"], pems,
                                     device_key({**self.values, "secret": secret}))
        self._secret = secret

    def sign(self, unsigned, digest=None):
        """The signed file beside `unsigned` (see sign)."""
        return sign(unsigned, {**self.values, "secret": self._secret}, digest)

    @property
    def dual(self):
        return "DUAL_SIGN" in self.values

    @property
    def stamped(self):
        return "TIMESTAMP_URL" in self.values


def check(values):
    """The signer the settings name, checked; None where they name no key."""
    return Signer(values) if {"PFX", "PKCS11_MODULE"} & set(values) else None


def password(pfx, pass_file):
    first = first_line("PFX_PASS_FILE", pass_file)
    if not first:
        # osslsigncode takes no empty password this way.
        raise Faults(f"PFX {pfx}: PFX_PASS_FILE {pass_file} has no password on its first "
                      "line (a certificate file without one can't be used)")
    return first


def check_certificate(pfx, pass_file, secret):
    """The certificate file opens with the password and its certificate is for code signing.
    Files from older exporters (RC2, 3DES) open too: cryptography loads OpenSSL's legacy
    algorithms itself."""
    where = f"PFX {pfx}"
    try:
        data = pathlib.Path(pfx).read_bytes()
    except OSError as error:
        raise Faults(f"{where}: cannot read it ({error.strerror})") from None
    try:
        certificate = pkcs12.load_key_and_certificates(data, secret)[1]
    except ValueError:
        try:  # A file that is PKCS#12 and still won't open: the password is wrong.
            pfx_format.Pfx.load(data, strict=True)["auth_safe"]["content_type"].native
        except ValueError:
            raise Faults(f"{where}: not a PKCS#12 certificate file") from None
        raise Faults(f"{where}: wrong password (the one in PFX_PASS_FILE {pass_file})") \
            from None
    code_signing(where, certificate)


def code_signing(where, certificate):
    """The certificate is one for code signing."""
    try:
        usages = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except (AttributeError, x509.ExtensionNotFound):
        usages = []
    if CODE_SIGNING not in usages:
        subject = ", ".join(" + ".join(shown(part) for part in rdn)
                            for rdn in certificate.subject.rdns) if certificate else "?"
        usage = ", ".join(USAGES.get(oid.dotted_string, oid.dotted_string) for oid in usages)
        raise Faults(f"{where}: the certificate ({subject}) is not for code signing "
                      f"(extended key usage: {usage or 'none'})")


def shown(part):
    """One part of a subject as openssl's one-line form shows it."""
    value = str(part.value)
    quoted = f'"{value}"' if any(c in value for c in ',+"\\<>;') else value
    return f"{NAMES_OF_PARTS.get(part.oid, part.rfc4514_attribute_name)} = {quoted}"


# A key on a device -------------------------------------------------------------------------

TOKEN_FIELDS = {"token": "label", "manufacturer": "manufacturerID", "model": "model",
                "serial": "serialNumber"}


def pykcs11():
    """Debian's PKCS#11 binding, installed for Debian's python3, which make runs us with."""
    try:
        import PyKCS11
    except ImportError as error:
        raise Faults(f"PKCS11_MODULE: this python3 ({sys.executable}) can't load Debian's "
                      f"PKCS#11 binding, python3-pykcs11 ({error})") from None
    return PyKCS11


def pkcs11_uri(uri):
    """The attributes of a PKCS#11 URI (RFC 7512), the path's and the query's, decoded."""
    scheme, _, rest = uri.partition(":")
    path, _, query = rest.partition("?")
    if scheme.lower() != "pkcs11":
        raise Faults(f"PKCS11_KEY {uri}: not a PKCS#11 URI (pkcs11:token=...;object=...)")
    pairs = [part.partition("=") for part in path.split(";") + query.split("&") if part]
    wanted = {name.lower(): urllib.parse.unquote_to_bytes(value) for name, _, value in pairs}
    if "pin-value" in wanted or "pin-source" in wanted:
        # Not echoed: the line would show the PIN again.
        raise Faults("PKCS11_KEY: the URI carries a PIN; it goes in PIN_FILE, where no process "
                      "listing shows it")
    return {name: value if name == "id" else value.decode("utf-8", "replace")
            for name, value in wanted.items()}


def device_key(values):
    """The key PKCS11_KEY names, its token logged in to with the PIN: a test of whether a
    certificate's public key is its public half."""
    module, uri = values["PKCS11_MODULE"], values["PKCS11_KEY"]
    where = f"PKCS11_MODULE {module}"
    try:
        pathlib.Path(module).open("rb").close()
    except OSError as error:
        raise Faults(f"{where}: cannot read it ({error.strerror})") from None
    try:
        # Loaded once by hand first: Debian's binding says only "Load" when it fails.
        loaded = ctypes.CDLL(module)
    except OSError as error:
        raise Faults(f"{where}: not a library this system loads ({error})") from None
    if not hasattr(loaded, "C_GetFunctionList"):
        raise Faults(f"{where}: not a PKCS#11 library (it has no C_GetFunctionList)")
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
            raise Faults(f"PKCS11_KEY {uri}: {which} in {where} (its tokens: {names})")
        slot, info, fields = found[0]
        session = library.openSession(slot)
        try:
            if info.flags & p11.CKF_LOGIN_REQUIRED:
                log_in(p11, session, info, f"token '{fields['token']}'", values)
            return public_key(p11, session, wanted, f"token '{fields['token']}'", uri)
        finally:
            session.closeSession()
    except p11.PyKCS11Error as error:
        raise Faults(f"{where}: the library failed ({error})") from None


def log_in(p11, session, info, token, values):
    """One try of the PIN, never a second. A token locks itself after a few wrong ones, so the
    last try is left to its owner: a stale PIN file must not be what locks it."""
    pin_file = values["PIN_FILE"]
    if info.flags & p11.CKF_USER_PIN_LOCKED:
        raise Faults(f"PKCS11_KEY {values['PKCS11_KEY']}: {token} is locked (its PIN was "
                      "entered wrong too often)")
    if info.flags & p11.CKF_USER_PIN_FINAL_TRY:
        raise Faults(f"PIN_FILE {pin_file}: not tried: {token} locks itself at the next wrong "
                      "PIN; log in once with the device's own tool")
    try:
        session.login(values["secret"])
    except p11.PyKCS11Error as error:
        if error.value in (p11.CKR_PIN_INCORRECT, p11.CKR_PIN_INVALID, p11.CKR_PIN_LEN_RANGE):
            raise Faults(f"PIN_FILE {pin_file}: wrong PIN for {token} (tried once and not "
                          "again, so the token doesn't lock)") from None
        raise


def public_key(p11, session, wanted, token, uri):
    """The one private key the URI names on the token, by what its public half looks like."""
    if wanted.get("type", "private") != "private":
        raise Faults(f"PKCS11_KEY {uri}: type={wanted['type']} names no key to sign with; "
                      "that is type=private")
    template = [(p11.CKA_CLASS, p11.CKO_PRIVATE_KEY)]
    template += [(p11.CKA_LABEL, wanted["object"])] if "object" in wanted else []
    template += [(p11.CKA_ID, wanted["id"])] if "id" in wanted else []
    keys = session.findObjects(template)
    if len(keys) != 1:
        labels = [session.getAttributeValue(key, [p11.CKA_LABEL])[0]
                  for key in session.findObjects(template[:1])]
        which = f"{len(keys)} keys match" if keys else "no such key"
        raise Faults(f"PKCS11_KEY {uri}: {which} on {token} (its private keys: "
                      f"{', '.join(map(repr, labels)) or 'none'})")
    kind, key_id = session.getAttributeValue(keys[0], [p11.CKA_KEY_TYPE, p11.CKA_ID])
    if kind == p11.CKK_RSA:
        modulus, exponent = session.getAttributeValue(keys[0], [p11.CKA_MODULUS,
                                                                 p11.CKA_PUBLIC_EXPONENT])
        numbers = rsa.RSAPublicNumbers(int.from_bytes(bytes(exponent), "big"),
                                       int.from_bytes(bytes(modulus), "big"))
        return lambda certified: isinstance(certified, rsa.RSAPublicKey) \
            and certified.public_numbers() == numbers
    if kind == p11.CKK_EC:
        # The private half holds no point: the public half beside it, of the same id, does.
        for public in session.findObjects([(p11.CKA_CLASS, p11.CKO_PUBLIC_KEY),
                                           (p11.CKA_ID, bytes(key_id))]):
            point, params = (bytes(value) for value in session.getAttributeValue(
                public, [p11.CKA_EC_POINT, p11.CKA_EC_PARAMS]))
            return lambda certified: same_point(certified, point, params)
    raise Faults(f"PKCS11_KEY {uri}: {token} shows no public key beside it (an RSA key, or an "
                  "EC key with its public half), so CERT can't be matched with it")


def same_point(certified, point, params):
    """Whether an EC certificate key is the point, on the curve CKA_EC_PARAMS names, or on the
    certificate's own where it names none cryptography knows."""
    if not isinstance(certified, ec.EllipticCurvePublicKey):
        return False
    try:
        curve = ec.get_curve_for_oid(x509.ObjectIdentifier(core.ObjectIdentifier.load(
            params, strict=True).dotted))()
    except (ValueError, LookupError):
        curve = certified.curve
    # Inside a DER OCTET STRING as most modules give it, bare as some do; a bare point may read
    # as an OCTET STRING too, so both are tried.
    forms = [point]
    try:
        forms.insert(0, core.OctetString.load(point, strict=True).native)
    except ValueError:
        pass
    for form in forms:
        try:
            key = ec.EllipticCurvePublicKey.from_encoded_point(curve, form)
        except ValueError:
            continue
        if key.public_numbers() == certified.public_numbers():
            return True
    return False


def chain(cert):
    try:
        text = pathlib.Path(cert).read_bytes()
    except OSError as error:
        raise Faults(f"CERT {cert}: cannot read it ({error.strerror})") from None
    try:
        blocks = [der for kind, _, der in pem.unarmor(text, multiple=True)
                  if kind == "CERTIFICATE"]
    except ValueError:
        blocks = []
    if not blocks:
        raise Faults(f"CERT {cert}: no PEM certificate in it (the signing certificate and its "
                      "chain, each from -----BEGIN CERTIFICATE-----)")
    return blocks


def check_device_certificate(cert, pems, public):
    """Of CERT's certificates, the one for the device's key is the signer (osslsigncode picks it
    out the same way), and it is one for code signing."""
    for block in pems:
        try:
            certificate = x509.load_der_x509_certificate(block)
            key = certificate.public_key()
        except (ValueError, UnsupportedAlgorithm):
            continue  # not one for the key, whatever it is
        if public(key):
            code_signing(f"CERT {cert}", certificate)
            return
    raise Faults(f"CERT {cert}: none of its {len(pems)} certificates is for the key PKCS11_KEY "
                  "names (their public keys differ from the token key's)")


def stamp_problem(url):
    """Why the time-stamp server gives no stamp, asked with a query of our own once signing has
    failed; None if it answers with one."""
    query = tsp.TimeStampReq({
        "version": 1, "cert_req": True, "nonce": int.from_bytes(os.urandom(8), "big"),
        "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                            "hashed_message": hashlib.sha256().digest()}}).dump()
    request = urllib.request.Request(url, query, {"Content-Type": "application/timestamp-query"})
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            reply = answer.read()
    except urllib.error.HTTPError as error:
        return f"the server answered HTTP {error.code} ({error.reason})"
    except OSError as error:
        reason = getattr(error, "reason", error)
        return f"cannot reach it ({getattr(reason, 'strerror', None) or reason})"
    try:
        status = tsp.TimeStampResp.load(reply, strict=True)["status"]["status"].native
    except ValueError:  # a refusal too: it holds no stamp, which asn1crypto 1.5 won't read
        status = None
    if status not in ("granted", "granted_with_mods"):
        return "the server answers, but with no time-stamp"
    return None


def signatures(signed):
    """How many Authenticode signatures the file holds and how many of them carry a time-stamp,
    read from the signature itself: osslsigncode has no option that insists on the stamp."""
    # As PEM: osslsigncode 2.5 writes the raw form with the file's certificate header first.
    extracted = signed.with_suffix(".pem")
    run("osslsigncode", "extract-signature", "-pem", "-in", str(signed), "-out", str(extracted))
    try:
        _, _, der = pem.unarmor(extracted.read_bytes())
        signers = list(signers_of(cms.ContentInfo.load(der, strict=True)))
    except (OSError, ValueError, KeyError):
        return 0, 0
    return len(signers), sum(1 for attributes in signers
                             if attributes.get("microsoft_time_stamp_token"))


def signers_of(content):
    """Each signer's unsigned attributes, by name, those of signatures nested in it too."""
    for signer in content["content"]["signer_infos"]:
        attributes = {attribute["type"].native: attribute["values"]
                      for attribute in signer["unsigned_attrs"] or []}
        yield attributes
        for nested in attributes.get("microsoft_nested_signature", []):
            yield from signers_of(nested)


def sign(unsigned, values, digest=None):
    """The signed file, next to the unsigned one: SHA-256, or with DUAL_SIGN a SHA-1 signature
    and a SHA-256 one nested in it; or the one `digest` given (a device's file: "sha1")."""
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
    steps = [(digest, [])] if digest else [("sha1", []), ("sha256", ["-nest"])] \
        if "DUAL_SIGN" in values else [("sha256", [])]
    signed = unsigned
    try:
        for digest, nest in steps:
            signed, before = unsigned.with_name(f"{unsigned.stem}.{digest}{unsigned.suffix}"), \
                signed
            result = run("osslsigncode", "sign", *key, "-readpass", str(secret), "-h", digest,
                         *nest, *stamp, "-in", str(before), "-out", str(signed))
            if result.returncode != 0 or not signed.exists():
                problem = url and stamp_problem(url)
                if problem:
                    raise Faults(f"TIMESTAMP_URL {url}: {problem}")
                said = (result.stderr or result.stdout).decode("utf-8", "replace").strip()
                raise Faults(f"{named}: osslsigncode could not sign ({digest.upper()})"
                             + (f": {said.splitlines()[-1]}" if said else ""))
    finally:
        secret.unlink()
    made, stamped = signatures(signed)
    if made != len(steps):
        raise Faults(f"{named}: osslsigncode left {made} signatures, not {len(steps)}")
    if url and stamped != made:
        raise Faults(f"TIMESTAMP_URL {url}: {made - stamped} of {made} signatures came back "
                      "without a time-stamp")
    return signed
