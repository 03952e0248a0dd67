"""Seed rings for the ring-header check: sound shared and pre-record rings of a few sizes, for the
header sizes of a 32-bit and a 64-bit host (the native lock area differs)."""
import os
import struct
import sys


def ring(magic, header, cap, dsize, frames):
    blob = bytearray(header + 32 * cap + dsize)
    off = 0
    entries = []
    for seq, (hlen, plen) in enumerate(frames):
        entries.append(struct.pack("<IIIIQQ", 0 if seq % 3 == 0 else 1, off, hlen, plen, seq, 1000 + 40 * seq))
        off += hlen + plen
    count = min(len(frames), cap)
    head = 0
    struct.pack_into("<8sIIIIIIIIQ", blob, 0, magic, len(blob), head, max(count - 1, 0), count, cap, 0, off,
                     dsize, len(frames))
    for i, e in enumerate(entries[:cap]):
        blob[header + 32 * i:header + 32 * i + 32] = e
    return bytes(blob)


SEEDS = []
for header in (72, 88):
    SEEDS.append(ring(b"SHAREBUF", header, 4, 256, [(2, 10), (2, 20), (0, 5)]))
    SEEDS.append(ring(b"SHAREBUF", header, 1, 64, []))
for header in (144, 176):
    SEEDS.append(ring(b"PREBUFF\0", header, 4, 256, [(1, 30), (1, 40)]))

if __name__ == "__main__":
    for i, s in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
