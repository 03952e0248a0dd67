#!/usr/bin/env python3
"""Reads the camera's custom-record index (".custom_record_msg") from its layout alone and prints it
as JSON: {"version", "second", "tag", "full_size", "crc", "crc_ok", "count", "length_ok",
"entries": [{"start", "state", "data"}...]}.

Layout, little-endian: u32 version, u32 second word, char[64] tag, u32 full_size, 428 reserved bytes,
u32 crc (zlib CRC-32 of bytes 0..503 and 508..end), u32 count, then 8-byte entries
{u32 start, u8 state, u8 data, 2 reserved}.

Usage: custom_index_read.py FILE
"""
import json
import struct
import sys
import zlib


def main():
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    version, second = struct.unpack_from("<II", data, 0)
    tag = data[8:72].split(b"\0", 1)[0].decode("ascii", "replace")
    (full_size,) = struct.unpack_from("<I", data, 72)
    crc, count = struct.unpack_from("<II", data, 504)
    crc_ok = zlib.crc32(data[:504] + data[508:]) & 0xFFFFFFFF == crc
    entries = []
    for i in range(count):
        at = 512 + 8 * i
        if at + 8 > len(data):
            break
        start, state, flag = struct.unpack_from("<IBB", data, at)
        entries.append({"start": start, "state": state, "data": flag,
                        "reserved_zero": data[at + 6:at + 8] == b"\0\0"})
    print(json.dumps({
        "version": version, "second": second, "tag": tag, "full_size": full_size, "crc": crc,
        "crc_ok": crc_ok, "count": count, "length_ok": len(data) == full_size == (count + 64) * 8,
        "reserved_zero": data[76:504] == bytes(428), "entries": entries}))


if __name__ == "__main__":
    main()
