#!/usr/bin/env python3
"""Makes damaged copies of a camera recording (fragmented MP4 with "tolk_index" boxes), written from
the box layout alone, to try a reader against files whose lengths lie.

Each copy changes one field of the first fragment, the sample entry or the index box, so that it
points outside its box, its period or the file. Prints the name of every copy written to DIR.

Usage: fmp4_damage.py FILE DIR
"""
import os
import struct
import sys

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"moof", b"traf", b"dinf"}


def boxes(data, start, end):
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        if size < 8 or pos + size > end:
            return
        yield kind, pos, size
        pos += size


def find_all(data, start, end, path=()):
    """(path of types, pos, size) of every box, descending containers and the video sample entry."""
    for kind, pos, size in boxes(data, start, end):
        here = path + (kind,)
        yield here, pos, size
        if kind in CONTAINERS:
            yield from find_all(data, pos + 8, pos + size, here)
        elif kind == b"stsd":
            yield from find_all(data, pos + 16, pos + size, here)
        elif kind in (b"hvc1", b"hev1", b"avc1"):
            yield from find_all(data, pos + 8 + 78, pos + size, here)


def first(data, kind, after=0):
    for path, pos, size in find_all(data, 0, len(data)):
        if path[-1] == kind and pos >= after:
            return pos, size
    raise SystemExit("no %s box" % kind.decode())


def main():
    src, out_dir = sys.argv[1], sys.argv[2]
    with open(src, "rb") as f:
        data = bytearray(f.read())
    moof, _ = first(data, b"moof")
    trun, _ = first(data, b"trun", moof)
    # trun: header 8, version+flags 4, count 4, data offset 4, first flags 4, then (duration, size)...
    count_at = trun + 12
    offset_at = trun + 16
    first_size_at = trun + 24 + 4
    data_offset = struct.unpack_from(">i", data, offset_at)[0]
    sample_at = moof + data_offset
    index, _ = first(data, b"uuid")
    length_at = index + 24 + 16

    variants = {}

    def variant(name, at, fmt, value):
        copy = bytearray(data)
        struct.pack_into(fmt, copy, at, value)
        variants[name] = copy

    variant("trun_count_huge.mp4", count_at, ">I", 0xFFFFFFF0)
    variant("trun_count_one_more.mp4", count_at, ">I", struct.unpack_from(">I", data, count_at)[0] + 1)
    variant("sample_size_huge.mp4", first_size_at, ">I", 0x7FFFFFFF)
    variant("sample_size_past_period.mp4", first_size_at, ">I", struct.unpack_from("<I", data, length_at)[0])
    variant("data_offset_before_file.mp4", offset_at, ">i", -moof - 1000)
    sample_size = struct.unpack_from(">I", data, first_size_at)[0]
    variant("nal_length_past_sample.mp4", sample_at, ">I", sample_size)
    variant("nal_length_zero.mp4", sample_at, ">I", 0)
    variant("index_length_past_file.mp4", length_at, "<I", 0xFFFFFFF0)
    variant("index_position_past_file.mp4", index + 24 + 12, "<I", 0xFFFFFF00)
    for kind in (b"hvcC", b"avcC"):
        try:
            cfg, _ = first(data, kind)
        except SystemExit:
            continue
        if kind == b"hvcC":
            # the first array's NAL count, then its first NAL length
            variant("hvcc_count_huge.mp4", cfg + 8 + 23 + 1, ">H", 0xFFFF)
            variant("hvcc_length_huge.mp4", cfg + 8 + 23 + 3, ">H", 0xFFFF)
        else:
            variant("avcc_length_huge.mp4", cfg + 8 + 6, ">H", 0xFFFF)
    # a tail cut in the middle of the first fragment's sample data: only the load may fail
    variants["tail_cut_in_fragment.mp4"] = bytearray(data[: sample_at + 100]) + bytearray(32768)

    for name, copy in variants.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(copy)
        print(name)


if __name__ == "__main__":
    main()
