#!/usr/bin/env python3
"""An independent walker of the camera's fragmented-MP4 recordings, written from the file layout alone.

It walks every box of a file (descending moov, trak, mdia, minf, stbl, moof, traf), checks that each
box lies within its parent and within the file, decodes the 56-byte "tolk_index" boxes and the moof
sample tables, and prints one JSON object:

  {"size": file size, "ok": true when the top level reaches the file's end exactly,
   "top": [{"type", "pos", "size"}...],
   "index": [{"pos", "channel", "start", "duration", "motion", "flags", "position", "length"}...],
   "fragments": [{"pos", "sequence", "tracks": [{"id", "base", "first_flags", "count", "offset",
                  "sizes", "durations"}]}...],
   "errors": ["..."]}

Usage: fmp4_walk.py FILE
"""
import json
import struct
import sys

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"moof", b"traf", b"mvex", b"dinf"}
INDEX_USER_TYPE = b"tolk_index" + b"\0" * 6


def walk(f, start, end, errors, depth=0):
    """The boxes of [start, end) as (type, pos, size, header)."""
    boxes = []
    pos = start
    while pos < end:
        if end - pos < 8:
            errors.append("%d bytes left at %d, no room for a box header" % (end - pos, pos))
            break
        f.seek(pos)
        head = f.read(8)
        if len(head) < 8:
            errors.append("short read at %d" % pos)
            break
        size, kind = struct.unpack(">I4s", head)
        header = 8
        if size == 1:
            size = struct.unpack(">Q", f.read(8))[0]
            header = 16
        elif size == 0:
            size = end - pos
        if size < header or size > end - pos:
            errors.append("box %r at %d of size %d does not fit in its parent (%d left)" % (kind, pos, size, end - pos))
            break
        boxes.append((kind, pos, size, header))
        pos += size
    return boxes


def parse_traf(f, traf, errors):
    kind, pos, size, header = traf
    track = {}
    for c_kind, c_pos, c_size, c_header in walk(f, pos + header, pos + size, errors):
        f.seek(c_pos + c_header)
        body = f.read(c_size - c_header)
        if c_kind == b"tfhd":
            track["id"] = struct.unpack(">I", body[4:8])[0]
        elif c_kind == b"tfdt":
            version = body[0]
            track["base"] = struct.unpack(">Q", body[4:12])[0] if version == 1 else struct.unpack(">I", body[4:8])[0]
            track["tfdt_version"] = version
        elif c_kind == b"trun":
            flags = struct.unpack(">I", body[0:4])[0] & 0xFFFFFF
            count = struct.unpack(">I", body[4:8])[0]
            at = 8
            if flags & 0x1:
                track["offset"] = struct.unpack(">i", body[at:at + 4])[0]
                at += 4
            if flags & 0x4:
                track["first_flags"] = struct.unpack(">I", body[at:at + 4])[0]
                at += 4
            sizes, durations = [], []
            for _ in range(count):
                if flags & 0x100:
                    durations.append(struct.unpack(">I", body[at:at + 4])[0])
                    at += 4
                if flags & 0x200:
                    sizes.append(struct.unpack(">I", body[at:at + 4])[0])
                    at += 4
                at += (4 if flags & 0x400 else 0) + (4 if flags & 0x800 else 0)
            if at > len(body):
                errors.append("trun at %d runs past its box" % c_pos)
            track["count"] = count
            track["sizes"] = sizes
            track["durations"] = durations
    return track


def main():
    path = sys.argv[1]
    errors = []
    with open(path, "rb") as f:
        f.seek(0, 2)
        file_size = f.tell()
        top = walk(f, 0, file_size, errors)
        result = {"size": file_size, "top": [], "index": [], "fragments": [], "errors": errors}
        for kind, pos, size, header in top:
            result["top"].append({"type": kind.decode("latin-1"), "pos": pos, "size": size})
            if kind == b"uuid" and size == 56:
                f.seek(pos + 8)
                body = f.read(48)
                if body[:16] == INDEX_USER_TYPE:
                    e = body[16:]
                    channel = e[0]
                    start, = struct.unpack("<I", e[4:8])
                    position, length = struct.unpack("<II", e[12:20])
                    result["index"].append({"pos": pos, "channel": channel, "start": start, "duration": e[8],
                                            "motion": e[9], "flags": e[11], "position": position,
                                            "length": length})
            elif kind == b"moof":
                fragment = {"pos": pos, "tracks": []}
                for c in walk(f, pos + header, pos + size, errors):
                    if c[0] == b"mfhd":
                        f.seek(c[1] + 12)
                        fragment["sequence"] = struct.unpack(">I", f.read(4))[0]
                    elif c[0] == b"traf":
                        fragment["tracks"].append(parse_traf(f, c, errors))
                result["fragments"].append(fragment)
            elif kind == b"moov":
                walk(f, pos + header, pos + size, errors)
        result["ok"] = not errors and sum(b["size"] for b in result["top"]) == file_size
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
