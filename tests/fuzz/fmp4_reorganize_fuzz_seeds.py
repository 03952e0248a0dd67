"""Seed buffers for the moof rewrite: moofs of a two-track recording (mfhd, a traf per track with
tfhd, a version 1 or 0 tfdt and a trun), built from the box layout."""
import os
import struct
import sys


def box(kind, body):
    return struct.pack(">I4s", 8 + len(body), kind) + body


def full(kind, version, flags, body):
    return box(kind, struct.pack(">I", version << 24 | flags) + body)


def moof(version, track_ids=(1, 2)):
    trafs = b""
    for tid in track_ids:
        tfdt = full(b"tfdt", 1, 0, struct.pack(">Q", 900000)) if version else full(b"tfdt", 0, 0, struct.pack(">I", 900000))
        trun = full(b"trun", 0, 0x305, struct.pack(">IiIII", 1, 200, 0x02000000, 4500, 100))
        trafs += box(b"traf", full(b"tfhd", 0, 0x020020, struct.pack(">II", tid, 0x01010000)) + tfdt + trun)
    return box(b"moof", full(b"mfhd", 0, 0, struct.pack(">I", 7)) + trafs)


if __name__ == "__main__":
    seeds = [moof(1), moof(0), moof(1, (1, 9)), moof(1)[:60]]
    for i, s in enumerate(seeds):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
