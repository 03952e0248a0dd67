"""Writes seed inputs for ztp_tcp_reader_fuzz: a key byte, then TCP frames as a server sends them."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
import ztp_wire as w  # noqa: E402

v = {k: bytes.fromhex(x) for k, x in w.vectors().items() if not k.startswith("init") and k != "p2p_key"}
streams = [
    w.tcp_frame(v["dev_lgn_ack_crc"], "KEYSTR", 1, 2),
    w.tcp_frame(v["dev_lgn_ack_crc"], "KEYSTR", 3, 4) + w.tcp_frame(v["tcp_rs_start"], "KEYSTR", 5, 6),
    w.tcp_frame(v["drw_1024"], "KEYSTR", 7, 8),
    w.tcp_frame(v["hello"], "KEYSTR", 9, 9)[:11],
]
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, s in enumerate(streams):
    with open(os.path.join(out, "seed_%d" % i), "wb") as f:
        f.write(b"\x01" + s)
