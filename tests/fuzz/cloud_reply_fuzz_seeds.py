"""Seed cloud replies: signed envelopes (by the service's rules), raw cipher data for the 'E' mode,
and broken shapes."""
import base64
import hashlib
import os
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

KEY = bytes([7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12])


def b64u(b):
    return base64.urlsafe_b64encode(b).rstrip(b"=").decode()


def envelope(plain, iv=b"\x02" * 16):
    n = 16 - len(plain) % 16
    enc = Cipher(algorithms.AES(KEY), modes.CBC(iv)).encryptor()
    data = b64u(enc.update(plain + bytes([n]) * n) + enc.finalize())
    iv_text = b64u(iv)
    sign = b64u(hashlib.sha256((data + iv_text).encode()).digest())
    return ('{"data":"%s","sign":"%s","iv":"%s"}' % (data, sign, iv_text)).encode()


SEEDS = [
    envelope(b'{"result":"ok","gop":5}'),
    envelope(b'{"result":"fail","code":400219}'),
    envelope(b'{"result":"ok","fileId":"f","storageUrl":["https://a"]}'),
    b"HTTP/1.1 200 OK\r\n\r\n" + envelope(b'{"result":"OK"}'),
    b"E" + bytes(range(32)),
    b"E" + b"\x10" * 48,
    b'{"data":"AAAA","sign":"x","iv":"y"}',
    b"401 Unauthorized",
]

if __name__ == "__main__":
    for i, seed in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(seed)
