#!/usr/bin/env python3
"""Reads a config-slot file ("tolk_conf.db") on its own: 20480 bytes, slots at offsets 128 (256 bytes),
384 (288), 768 (256) and 1024 (1536), each a little-endian CRC-32 of the payload area followed by the
payload; a CRC of 0xFFFFFFFF marks a slot never written. Prints one JSON object:
{"size": n, "slots": {"128": {"state": "empty"|"ok"|"bad", "payload": hex}, ...},
 "fill_ok": true when every byte outside written slots is 0xFF}."""
import json
import struct
import sys
import zlib

SLOTS = ((128, 256), (384, 288), (768, 256), (1024, 1536))


def main():
    data = open(sys.argv[1], "rb").read()
    out = {"size": len(data), "slots": {}}
    covered = bytearray(len(data))
    for offset, size in SLOTS:
        (stored,) = struct.unpack_from("<I", data, offset)
        payload = data[offset + 4:offset + size]
        if stored == 0xFFFFFFFF:
            state = "empty"
        else:
            state = "ok" if zlib.crc32(payload) == stored else "bad"
            covered[offset:offset + size] = b"\x01" * size
        out["slots"][str(offset)] = {"state": state, "payload": payload.hex()}
    out["fill_ok"] = all(b == 0xFF for b, c in zip(data, covered) if not c)
    print(json.dumps(out))


if __name__ == "__main__":
    main()
