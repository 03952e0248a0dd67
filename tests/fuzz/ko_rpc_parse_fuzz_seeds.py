"""Writes seed inputs for ko_rpc_parse_fuzz: a direction byte (odd = up from module n) and JSON-RPC text."""
import os
import sys

SEEDS = [
    b'\x00{"id":5,"result":["ok"]}',
    b'\x00{"id":2147483646,"method":"local.query_status","params":{}}{"method":"lumo.ota","id":3}',
    b'\x00{"method":"get_prop","params":["power"],"id":17}  {"id":1,"error":{"code":-1}}',
    b'\x0f{"id":12,"method":"_internal.hello"}',
    b'\x0f{"id":"x","method":"props","params":{"a":"b/c"}}',
    b'\x1d{"result":"ok","id":4}{"method":"local.bind","id":-1}',
]

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, seed in enumerate(SEEDS):
    with open(os.path.join(out, "seed_%d" % i), "wb") as f:
        f.write(seed)
