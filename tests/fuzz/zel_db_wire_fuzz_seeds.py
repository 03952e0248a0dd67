"""Seed requests of the settings socket: the 120-byte head (op, store, section, key, length) and a value."""
import os
import struct
import sys


def request(op, store, section, key, value=b""):
    head = struct.pack("<I16s32s64sI", op, store, section, key, len(value) + 1 if op == 1 else 0)
    return head + (value + b"\0" if op == 1 else b"")


SEEDS = [
    request(0, b"NVM", b"IPC", b"power"),
    request(0, b"ROM", b"", b"model"),
    request(1, b"NVM", b"IPC", b"power", b"1"),
    request(1, b"RAM", b"net", b"ssid", b"home wifi"),
    request(2, b"all", b"", b""),
    request(2, b"NVM", b"", b""),
    request(3, b"", b"", b""),
    request(4, b"NVM", b"IPC", b"power"),
]

if __name__ == "__main__":
    out = sys.argv[1]
    for i, seed in enumerate(SEEDS):
        with open(os.path.join(out, "seed-%d" % i), "wb") as f:
            f.write(seed)
