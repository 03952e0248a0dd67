"""Writes seed inputs for zel_rpc_receive_fuzz: daemon texts of every kind the engine classifies."""
import os
import sys

SEEDS = [
    b'{"id":1,"method":"get_properties","params":[{"siid":2,"piid":2},{"siid":3,"piid":5}]}',
    b'{"id":2,"method":"set_properties","params":[{"siid":2,"piid":3,"value":0},{"siid":9,"piid":1,"value":"x"}]}',
    b'{"id":3,"method":"action","params":{"siid":9,"aiid":1,"in":[]}}{"id":4,"method":"action","params":{"siid":"3","aiid":"1"}}',
    b'{"id":5,"method":"get_lock_region_status","params":[]}',
    b'{"id":1,"result":{"properties":[{"siid":5,"piid":1,"value":"true"}]},"params":[{"siid":5,"piid":2,"value":"3"}]}',
    b'{"id":6,"method":"get_properties","params":[5,"x",null,{"siid":"2"}]}',
    b'{"id":7,"method":"set_properties","params":{"siid":2}}  {"id":-1}',
    b'{"id":8,"method":"get_properties","params":[{"siid":2,"piid":2}]}]]trailing',
]

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, seed in enumerate(SEEDS):
    with open(os.path.join(out, "seed_%d" % i), "wb") as f:
        f.write(seed)
