"""Seed images for the firmware verifier: a root, then an image signed under it (EC P-256 root,
intermediate CA and signing key), and the same image with a shortened tag."""
import datetime
import os
import struct
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

MAGIC = bytes([0, 0, 0, 0]) + b"KO\xefTFOTA" + bytes([0x82, 0x56, 0x26, 0x47])
SIG_LEN = 71


def cert(name, org, key, issuer_name, issuer_key, ca):
    now = datetime.datetime(2026, 1, 1)
    subject = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, org),
                         x509.NameAttribute(NameOID.COMMON_NAME, name)])
    c = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer_name or subject)
         .public_key(key.public_key()).serial_number(x509.random_serial_number())
         .not_valid_before(now).not_valid_after(now + datetime.timedelta(days=3650))
         .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
         .sign(issuer_key, hashes.SHA256()))
    return c, c.public_bytes(serialization.Encoding.PEM)


def main(out):
    os.makedirs(out, exist_ok=True)
    keys = [ec.generate_private_key(ec.SECP256R1()) for _ in range(3)]
    root, root_pem = cert("root", "Dorvi Root", keys[0], None, keys[0], True)
    inter, inter_pem = cert("inter", "Dorvi", keys[1], root.subject, keys[0], True)
    _, sign_pem = cert("sign", "Dorvi Firmware", keys[2], inter.subject, keys[1], False)
    model = b"zelmar.camera.c1"
    fields = b"\x01\x05" + bytes([1, 2, 3, 0x34, 0x12]) + b"\x04" + bytes([len(model)]) + model
    head_len = 28 + len(fields) + 4
    certs = inter_pem + sign_pem
    tag = MAGIC + struct.pack("<HHI", head_len, 0, head_len + len(certs) + SIG_LEN) + b"\0" * 4 + fields + b"\0" * 4
    payload = bytes(range(256)) * 20
    while True:
        sig = keys[2].sign(payload + tag, ec.ECDSA(hashes.SHA256()))
        if len(sig) == SIG_LEN:
            break
    image = payload + tag + certs + sig
    prefix = struct.pack("<H", len(root_pem)) + root_pem
    seeds = {"good": prefix + image, "short_tag": prefix + image[:-5], "tag_only": prefix + image[len(payload):]}
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
