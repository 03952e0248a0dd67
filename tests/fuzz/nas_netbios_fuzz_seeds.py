"""Seed datagrams for the NetBIOS answer parser: name and node-status answers, and cut ones."""
import os
import struct
import sys


def encoded(name=b"ZELNAS", suffix=0x20):
    raw = name.ljust(15, b" ") + bytes([suffix])
    return bytes([32]) + bytes(x for b in raw for x in (65 + (b >> 4), 65 + (b & 15))) + b"\0"


def name_answer():
    rdata = b"\0\0" + bytes([127, 0, 0, 1])
    return struct.pack(">HHHHHH", 1, 0x8500, 0, 1, 0, 0) + encoded() + struct.pack(">HHIH", 0x20, 1, 0, 6) + rdata


def status_answer():
    entries = b"ZELNAS".ljust(15) + b"\0\x04\0" + b"HOME".ljust(15) + b"\0\x84\0"
    rdata = b"\x02" + entries + bytes(46)
    return (struct.pack(">HHHHHH", 2, 0x8400, 0, 1, 0, 0) + encoded(b"*", 0) +
            struct.pack(">HHIH", 0x21, 1, 0, len(rdata)) + rdata)


SEEDS = [name_answer(), status_answer(), name_answer()[:30], status_answer()[:60],
         struct.pack(">HHHHHH", 3, 0x8500, 1, 1, 0, 0) + b"\xc0\x0c\0\x20\0\x01\xc0\x0c"]

if __name__ == "__main__":
    for i, s in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
