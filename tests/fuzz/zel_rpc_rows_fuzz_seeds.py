"""Writes seed inputs for zel_rpc_rows_fuzz: row byte, operation byte, then an element or a value."""
import os
import sys

VALUES = [
    b'true', b'false', b'"true"', b'180', b'"180"', b'0', b'2', b'-1', b'35792', b'2147483648',
    b'"10:10:1"', b'"24:00:00"', b'"say \\"hi\\" \\\\ \\u00fc"', b'{"switch":1}', b'"{\\"switch\\":1}"',
    b'"[{\\"idx\\":1,\\"pos\\":\\"[10,20]\\"},{\\"idx\\":7}]"', b'"[{\\"idx\\":0,\\"clock\\":1}]"',
    b'"[{\\"area\\":\\"[1,2],[3,4]\\"}]"', b'"{\\"lock_region\\":1,\\"legal_status\\":2}"',
    b'"{\\"ap_switch\\":\\"1\\",\\"ap_name\\":\\"cam\\",\\"ap_passwd\\":\\"p\\"}"', b'null', b'[1,2]', b'"x',
]
STORED = [b'1', b'0', b'[10,20]', b'{"switch":0}', b'{"a":1}, "b":2', b'[{"idx":1,"pos":"[x,1]"}]', b'\xff\xfe']

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
n = 0
for row in range(73):
    for op, value in ((2, VALUES[row % len(VALUES)]), (3, VALUES[(row + 5) % len(VALUES)]),
                      (4, STORED[row % len(STORED)])):
        with open(os.path.join(out, "seed_%d" % n), "wb") as f:
            f.write(bytes([row, op]) + value)
        n += 1
with open(os.path.join(out, "seed_%d" % n), "wb") as f:
    f.write(bytes([1, 0]) + b'{"siid":2,"piid":2,"value":180}')
