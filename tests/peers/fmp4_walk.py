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

With --index KIND (video, event or pic) it reads an index file instead: a 128-byte head
{u32 3, u32 1, 116 zero bytes, u32 CRC-32 of bytes 0..123}, then fixed records (144, 45 or 145 bytes,
little-endian, CRC-32 over the bytes before the CRC), and prints
  {"head": true when the head is right, "slots": slot count,
   "records": [{"slot", "seq", "time", "delete", ...kind's fields}...] (records passing their CRC)}.
With --pic FILE it reads a picture data file: head {u32 2, u32 1, ...}, then records
{u32 time, u8 delete, u32 size, JPEG, u32 CRC-32 of the 9 header bytes} and prints
  {"head": bool, "pictures": [{"offset", "time", "size", "crc_ok"}...], "end": offset after the last}.

Usage: fmp4_walk.py --index KIND FILE | --pic FILE
"""
import json
import struct
import sys
import zlib

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


INDEX_RECORDS = {"video": 144, "event": 45, "pic": 145}


def index_head(kind):
    head = struct.pack("<II", kind, 1) + b"\0" * 116
    return head + struct.pack("<I", zlib.crc32(head))


def decode_index_record(kind, r):
    if kind == "video":
        time, duration, motion, extra, delete, seq = struct.unpack("<IBBBBI", r[:12])
        return {"seq": seq, "time": time, "delete": delete, "duration": duration, "motion": motion,
                "extra": extra, "name": r[12:140].split(b"\0")[0].decode("latin-1")}
    if kind == "event":
        time, etype = struct.unpack("<QI", r[:12])
        seq, count, delete = struct.unpack("<IIB", r[32:41])
        return {"seq": seq, "time": time, "delete": delete, "type": etype, "count": count,
                "reserved_zero": r[12:32] == b"\0" * 20}
    seq, time, delete = struct.unpack("<IIB", r[:9])
    offset, = struct.unpack("<I", r[137:141])
    return {"seq": seq, "time": time, "delete": delete, "offset": offset,
            "path": r[9:137].split(b"\0")[0].decode("latin-1")}


def read_index(kind, path):
    size = INDEX_RECORDS[kind]
    with open(path, "rb") as f:
        data = f.read()
    result = {"head": data[:128] == index_head(3), "slots": max(0, (len(data) - 128) // size), "records": []}
    for k in range(result["slots"]):
        r = data[128 + k * size:128 + (k + 1) * size]
        crc, = struct.unpack("<I", r[-4:])
        if zlib.crc32(r[:-4]) == crc:
            record = decode_index_record(kind, r)
            record["slot"] = k
            result["records"].append(record)
    return result


def read_pictures(path):
    with open(path, "rb") as f:
        data = f.read()
    result = {"head": data[:128] == index_head(2), "pictures": []}
    pos = 128
    while pos + 13 <= len(data):
        time, delete, size = struct.unpack("<IBI", data[pos:pos + 9])
        if time == 0 or pos + 13 + size > len(data):
            break
        crc, = struct.unpack("<I", data[pos + 9 + size:pos + 13 + size])
        result["pictures"].append({"offset": pos, "time": time, "size": size, "delete": delete,
                                   "crc_ok": zlib.crc32(data[pos:pos + 9]) == crc})
        pos += 13 + size
    result["end"] = pos
    return result


def walk_recording(path):
    """The walk of a recording file as main prints it."""
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
    return result


def main():
    if sys.argv[1] == "--index":
        json.dump(read_index(sys.argv[2], sys.argv[3]), sys.stdout)
        return
    if sys.argv[1] == "--pic":
        json.dump(read_pictures(sys.argv[2]), sys.stdout)
        return
    json.dump(walk_recording(sys.argv[1]), sys.stdout)


if __name__ == "__main__":
    main()
