"""Seed files for the card's index readers, built from the layout alone: a kind byte, then an index
file (128-byte head {u32 3, u32 1, zeros, CRC-32 of bytes 0..123} and little-endian records, each with
its CRC-32 over the bytes before it) for the video (144-byte), event (45-byte) and picture (145-byte)
indexes, a log that has wrapped, one without its head, and a picture data file (head {u32 2, u32 1, ...},
records {u32 time, u8 delete, u32 size, bytes, u32 CRC-32 of the 9 header bytes})."""
import os
import struct
import sys
import zlib


def head(kind):
    h = struct.pack("<II", kind, 1) + bytes(116)
    return h + struct.pack("<I", zlib.crc32(h))


def sealed(body):
    return body + struct.pack("<I", zlib.crc32(body))


def video(seq, time, name):
    return sealed(struct.pack("<IBBBBI", time, 60, seq % 2, 0, 0, seq) + name.ljust(128, b"\0"))


def event(seq, time):
    return sealed(struct.pack("<QI", time, 1) + bytes(20) + struct.pack("<IIB", seq, 1, 0))


def picture(seq, time, offset):
    return sealed(struct.pack("<IIB", seq, time, 0) + b"/mnt/sdcard/pic_0001.bin".ljust(128, b"\0") +
                  struct.pack("<I", offset))


def pic_record(time, jpeg):
    h = struct.pack("<IBI", time, 0, len(jpeg))
    return h + jpeg + struct.pack("<I", zlib.crc32(h))


def main(out):
    os.makedirs(out, exist_ok=True)
    t = 1700000000
    seeds = {
        "video": b"\0" + head(3) + b"".join(video(i + 1, t + 60 * i, b"video_0000_0_10_x.mp4") for i in range(4)),
        "video_wrapped": b"\0" + head(3) + video(5, t + 240, b"v5.mp4") + video(2, t + 60, b"v2.mp4") +
                         video(3, t + 120, b"v3.mp4") + video(4, t + 180, b"v4.mp4"),
        "video_no_head": b"\0" + bytes(128) + video(1, t, b"v1.mp4") * 2,
        "event": b"\1" + head(3) + b"".join(event(i + 1, t + 60 * i) for i in range(5)),
        "picture_index": b"\2" + head(3) + b"".join(picture(i + 1, t + 60 * i, 128 + 100 * i) for i in range(3)),
        "picture_data": b"\2" + head(2) + b"".join(pic_record(t + i, b"\xff\xd8\xff\xe0" + bytes(40) + b"\xff\xd9") for i in range(3)),
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
