"""Writes seed inputs for ztp_login_check_fuzz: a pick byte, then login-checked bytes or init strings."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
import ztp_wire as w  # noqa: E402

seeds = [
    b"\x01" + w.crc_encode(b"\x00"),
    b"\x01" + w.crc_encode(w.DID),
    b"\x00" + w.crc_encode(b"hello", key=""),
    b"\xfd" + w.encode_init_string("127.0.0.2,127.0.0.3,127.0.0.4,", "KEY").encode(),
    b"\x10" + b"ABC:odd",
]
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, s in enumerate(seeds):
    with open(os.path.join(out, "seed_%d" % i), "wb") as f:
        f.write(s)
