"""The phone's side of the streaming sessions' cryptography, written from the protocol:

  key agreement   X25519 of the phone's secret key and the camera's public key, then HSalsa20 of
                  that secret under a zero nonce (what NaCl calls crypto_box_beforenm)
  signature       HMAC-SHA256 over the phone's public-key hex, keyed with
                  "<did>-<token hex>-<(p2p key[0:16] XOR request key) hex>-<camera public key hex>"
  type 0 frames   an 8-byte nonce, then ChaCha20 (64-bit counter from 0, 64-bit nonce)
  other types     [u32 pad, little-endian][16-byte IV][AES-128-CBC of payload + pad bytes of pad],
                  the AES key being the shared key as a C string of at most 15 characters
"""

import hashlib
import hmac
import os
import struct

from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives import serialization

MASK = 0xFFFFFFFF


def _rotl(v, c):
    return ((v << c) & MASK) | (v >> (32 - c))


def hsalsa20(key, nonce16):
    """The Salsa20 core without the final addition; words 0, 5, 10, 15, 6, 7, 8, 9 out."""
    c = struct.unpack("<4I", b"expand 32-byte k")
    k = struct.unpack("<8I", key)
    n = struct.unpack("<4I", nonce16)
    x = [c[0], k[0], k[1], k[2], k[3], c[1], n[0], n[1], n[2], n[3], c[2], k[4], k[5], k[6], k[7], c[3]]

    def qr(a, b, cc, d):
        x[b] ^= _rotl((x[a] + x[d]) & MASK, 7)
        x[cc] ^= _rotl((x[b] + x[a]) & MASK, 9)
        x[d] ^= _rotl((x[cc] + x[b]) & MASK, 13)
        x[a] ^= _rotl((x[d] + x[cc]) & MASK, 18)

    for _ in range(10):
        qr(0, 4, 8, 12)
        qr(5, 9, 13, 1)
        qr(10, 14, 2, 6)
        qr(15, 3, 7, 11)
        qr(0, 1, 2, 3)
        qr(5, 6, 7, 4)
        qr(10, 11, 8, 9)
        qr(15, 12, 13, 14)
    return struct.pack("<8I", *(x[i] for i in (0, 5, 10, 15, 6, 7, 8, 9)))


# NaCl's box example: Alice's and Bob's X25519 secret, and the key crypto_box_beforenm gives.
_NACL_SHARED = bytes.fromhex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742")
_NACL_BOX_KEY = bytes.fromhex("1b27556473e985d462cd51197a9a46c76009549eac6474f206c4ee0844f68389")


def self_check():
    if hsalsa20(_NACL_SHARED, bytes(16)) != _NACL_BOX_KEY:
        raise RuntimeError("HSalsa20 does not give NaCl's box key")


def chacha20(key, nonce8, data):
    c = Cipher(algorithms.ChaCha20(key, bytes(8) + nonce8), mode=None).encryptor()
    return c.update(data) + c.finalize()


def aes_key(shared):
    end = shared.find(b"\0")
    s = shared[:15] if end < 0 else shared[:min(end, 15)]
    return s + bytes(16 - len(s))


class SessionKeys:
    def __init__(self, did, token_hex, p2p_key_hex, camera_public_hex, req_key_hex):
        self.secret = X25519PrivateKey.generate()
        self.public = self.secret.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
        self.public_hex = self.public.hex()
        p2p = bytes.fromhex(p2p_key_hex[:32])
        x = bytes(a ^ b for a, b in zip(p2p, bytes.fromhex(req_key_hex)))
        sign_key = "-".join([did, token_hex, x.hex(), camera_public_hex]).encode()
        self.sign_hex = hmac.new(sign_key, self.public_hex.encode(), hashlib.sha256).hexdigest()
        camera = X25519PublicKey.from_public_bytes(bytes.fromhex(camera_public_hex))
        self.shared = hsalsa20(self.secret.exchange(camera), bytes(16))
        self.aes = aes_key(self.shared)
        self.encrypt_type = 0

    def encrypt(self, data):
        if self.encrypt_type == 0:
            nonce = os.urandom(8)
            return nonce + chacha20(self.shared, nonce, data)
        pad = 16 - len(data) % 16
        iv = os.urandom(16)
        c = Cipher(algorithms.AES(self.aes), modes.CBC(iv)).encryptor()
        return struct.pack("<I", pad) + iv + c.update(data + bytes([pad]) * pad) + c.finalize()

    def decrypt(self, data):
        """The payload, or None when the layout does not hold."""
        if self.encrypt_type == 0:
            return None if len(data) < 8 else chacha20(self.shared, data[:8], data[8:])
        if len(data) < 36 or (len(data) - 20) % 16:
            return None
        (pad,) = struct.unpack("<I", data[:4])
        if not 1 <= pad <= 16:
            return None
        d = Cipher(algorithms.AES(self.aes), modes.CBC(data[4:20])).decryptor()
        body = d.update(data[20:]) + d.finalize()
        return body[:len(body) - pad]
