"""Seed streams for the shared-buffer frame reader: a chunk-size byte, a limit byte, then frames
{u32 length, u32 flags, u64 time stamp, bytes}, little-endian."""
import os
import struct
import sys


def frame(body, flags=1, ts=1000):
    return struct.pack("<IIQ", len(body), flags, ts) + body


SEEDS = [
    bytes([5, 255]) + frame(b"abc") + frame(b"", 0, 7) + frame(b"x" * 300, 2),
    bytes([1, 1]) + frame(b"y" * 64) + frame(b"z" * 65),
    bytes([36, 0]) + struct.pack("<IIQ", 0xFFFFFFFF, 1, 1),
    bytes([3, 16]) + frame(b"cut")[:-1],
]

if __name__ == "__main__":
    for i, s in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
