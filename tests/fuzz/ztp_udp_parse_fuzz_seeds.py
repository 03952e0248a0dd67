"""Writes seed inputs for ztp_udp_parse_fuzz: a key byte, then a scrambled datagram from ztp_wire.py."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
import ztp_wire as w  # noqa: E402

KEYS = [None, "KEYSTR"]
names = ["hello_ack", "dev_lgn_ack_crc", "tcp_rs_start", "try_lan_tcp", "rly_to", "rly_rdy_plus_1",
         "rly_rdy_plus_3", "ssd_dev_list_2", "list_req_ack_1", "drw_1024", "drw_ack_3", "psr", "dc_cmd",
         "dc_resp", "dc_req_ack", "punch_pkt", "rly_pkt", "addr_pair"]
vectors = {k: bytes.fromhex(v) for k, v in w.vectors().items() if k in names}
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, name in enumerate(names):
    for k, key in enumerate(KEYS):
        with open(os.path.join(out, "seed_%s_%d" % (name, k)), "wb") as f:
            f.write(bytes([k]) + w.scramble(key, vectors[name]))
