"""Seed files for the recording reader: the layout of a short recording (ftyp, free, moov with a video
and an audio track, an index box, a moof/mdat fragment, the tail mdat), built from the box layout."""
import os
import struct
import sys


def box(kind, body):
    return struct.pack(">I4s", 8 + len(body), kind) + body


def full(kind, version, flags, body):
    return box(kind, struct.pack(">I", version << 24 | flags) + body)


def trak(track_id, handler, timescale, entry):
    tkhd = full(b"tkhd", 0, 1, struct.pack(">IIIII", 0, 0, track_id, 0, 0) + bytes(60))
    mdhd = full(b"mdhd", 0, 0, struct.pack(">IIIIHH", 0, 0, timescale, 0, 0x55C4, 0))
    hdlr = full(b"hdlr", 0, 0, struct.pack(">I4s", 0, handler) + bytes(12) + b"Handler\0")
    stsd = full(b"stsd", 0, 0, struct.pack(">I", 1) + entry)
    stbl = box(b"stbl", stsd + full(b"stts", 0, 0, bytes(4)) + full(b"stsz", 0, 0, bytes(8)))
    return box(b"trak", tkhd + box(b"mdia", mdhd + hdlr + box(b"minf", stbl)))


def recording(tail=4096):
    ftyp = box(b"ftyp", b"iso5" + struct.pack(">I", 512) + b"iso6mp41")
    free = box(b"free", bytes(128))
    sps = bytes([0x42, 0x01, 0x01, 0x01, 0x60])
    hvcc = bytes([1, 1]) + struct.pack(">I", 0x60000000) + bytes(7) + bytes([0xF0, 0, 0xFC, 0xFC, 0xF8, 0xF8, 0, 0, 3, 3])
    for t, nal in ((0xA0, b"\x40\x01\x0c"), (0xA1, sps), (0xA2, b"\x44\x01\xc1")):
        hvcc += bytes([t]) + struct.pack(">HH", 1, len(nal)) + nal
    hvc1 = box(b"hvc1", bytes(6) + struct.pack(">H", 1) + bytes(16) + struct.pack(">HH", 64, 64) + bytes(50) +
               box(b"hvcC", hvcc))
    opus = box(b"Opus", bytes(6) + struct.pack(">H", 1) + bytes(8) + struct.pack(">HHII", 1, 0, 0, 16000 << 16) +
               box(b"dOps", struct.pack(">BBHIhB", 0, 1, 104, 16000, 0, 0)))
    moov = box(b"moov", trak(1, b"vide", 90000, hvc1) + trak(2, b"soun", 16000, opus))
    head = ftyp + free + moov
    entry = struct.pack("<B3xIBBBBII12x", 0, 1700000000, 1, 0, 0, 0, len(head), 0)
    frag_samples = [(4500, 20), (4500, 10)]
    trun_v = full(b"trun", 0, 0x305, struct.pack(">IiI", 2, 0, 0x02000000) +
                  b"".join(struct.pack(">II", d, s) for d, s in frag_samples))
    traf_v = box(b"traf", full(b"tfhd", 0, 0x020020, struct.pack(">II", 1, 0x01010000)) +
                 full(b"tfdt", 1, 0, struct.pack(">Q", 0)) + trun_v)
    traf_a = box(b"traf", full(b"tfhd", 0, 0x020020, struct.pack(">II", 2, 0x01010000)) +
                 full(b"tfdt", 1, 0, struct.pack(">Q", 0)) + full(b"trun", 0, 0x305, struct.pack(">IiI", 0, 0, 0)))
    moof = box(b"moof", full(b"mfhd", 0, 0, struct.pack(">I", 1)) + traf_v + traf_a)
    # one IRAP sample and one trailing picture, each a single length-prefixed NAL unit
    mdat = box(b"mdat", struct.pack(">I", 16) + b"\x26\x01" + bytes(14) + struct.pack(">I", 6) + b"\x02\x01" + bytes(4))
    index_len = 56 + len(moof) + len(mdat)
    entry = struct.pack("<B3xIBBBBII12x", 0, 1700000000, 1, 0, 0, 0, len(head), index_len)
    index = box(b"uuid", b"tolk_index" + bytes(6) + entry)
    # the trun's data offset runs from the moof to its mdat's payload
    moof = moof.replace(struct.pack(">IiI", 2, 0, 0x02000000), struct.pack(">IiI", 2, len(moof) + 8, 0x02000000))
    body = head + index + moof + mdat
    return body + struct.pack(">I4s", 8 + tail, b"mdat") + bytes(tail)


if __name__ == "__main__":
    seeds = [recording(), recording(0), recording()[:400], bytes(16) + b"\x00\x00\x01\x40\x01\x00\x00\x01\x26\x01"]
    for i, s in enumerate(seeds):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
