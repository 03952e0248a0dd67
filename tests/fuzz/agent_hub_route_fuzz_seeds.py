"""Seed packet sequences for the agent server's router: each packet is the sender (bit 7 drops it,
bit 6 expires the waiting requests after it), a little-endian 16-bit length and the texts."""
import os
import struct
import sys


def packet(sender, text):
    return struct.pack("<BH", sender, len(text)) + text


SEEDS = [
    packet(0, b'{"method":"register","key":"set_motor"}') + packet(1, b'{"id":5,"method":"set_motor","params":1}')
    + packet(0, b'{"id":1,"result":"OK"}'),
    packet(0, b'{"method":"register","key":"local.status"}') + packet(2, b'{"method":"register","key":"local.status"}')
    + packet(1, b'{"method":"local.status","params":"x"}') + packet(3, b'{"id":2,"method":"local.status"}')
    + packet(0x80, b"") + packet(2, b'{"id":1,"result":"FAIL"}'),
    packet(3, b'{"method":"SDKhello"}') + packet(0, b'{"method":"register","key":"a"}')
    + packet(0x41, b'{"id":8,"method":"a","params":{"p":[1,2,3]}}'),
]

if __name__ == "__main__":
    for i, seed in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(seed)
