#!/usr/bin/env python3
"""Reads and forges shared frame ring files ("SHAREBUF") from their byte layout alone.

  sharebuf_file.py dump PATH            prints the header and every entry (with its bytes in hex) as JSON
  sharebuf_file.py lie PATH HEADER MODE writes a ring that lies in one way, for a header of HEADER bytes:
      capacity   capacity 2^31 in a small file
      offsets    one entry pointing past the data area, one good entry after it
      short      a header claiming a total larger than the file
      indexes    head and tail beyond the capacity

Layout: magic "SHAREBUF", then little-endian u32 total, head, tail, count, capacity, read offset,
write offset, data size, u64 next sequence at 40; the native lock sits at 48 up to the header size
(total - 32 x capacity - data size); 32-byte entries {u32 type, u32 offset, u32 header length, u32
payload length, u64 sequence, u64 time}; then the data area.
"""
import json
import struct
import sys

HEAD = struct.Struct("<8sIIIIIIIIQ")
ENTRY = struct.Struct("<IIIIQQ")


def dump(path):
    blob = open(path, "rb").read()
    magic, total, head, tail, count, cap, rd, wr, dsize, seq = HEAD.unpack_from(blob, 0)
    header = total - 32 * cap - dsize
    out = {"magic": magic.decode("latin-1"), "total": total, "head": head, "tail": tail, "count": count,
           "capacity": cap, "read": rd, "write": wr, "data_size": dsize, "sequence": seq,
           "header_size": header, "file_size": len(blob), "entries": []}
    data = header + 32 * cap
    for k in range(count):
        i = (head + k) % cap
        typ, off, hlen, plen, eseq, ts = ENTRY.unpack_from(blob, header + 32 * i)
        body = blob[data + off:data + off + hlen + plen]
        out["entries"].append({"type": typ, "offset": off, "header_len": hlen, "payload_len": plen,
                               "sequence": eseq, "time": ts, "bytes": body.hex()})
    print(json.dumps(out))


def lie(path, header, mode):
    cap, dsize = 4, 4096
    total = header + 32 * cap + dsize
    head, tail, count, rd, wr, seq = 0, 1, 2, 0, 20, 2
    entries = [(0, 0, 4, 6, 0, 1000), (0, 10, 4, 6, 1, 1040)]
    size = total
    if mode == "capacity":
        cap = 2 ** 31
        total = (header + 32 * cap + dsize) & 0xFFFFFFFF
    elif mode == "offsets":
        entries[0] = (0, dsize - 2, 4, 6, 0, 1000)
    elif mode == "short":
        size = header + 64
    elif mode == "indexes":
        head, tail = 7, 8
    blob = bytearray(max(size, header + 32 * 4 + dsize))
    HEAD.pack_into(blob, 0, b"SHAREBUF", total, head, tail, count, cap, rd, wr, dsize, seq)
    for i, e in enumerate(entries):
        ENTRY.pack_into(blob, header + 32 * i, *e)
        if header + 32 * 4 + e[1] + 10 <= len(blob):
            blob[header + 32 * 4 + e[1]:header + 32 * 4 + e[1] + 10] = b"HDR!" + bytes([i]) * 6
    with open(path, "wb") as f:
        f.write(blob[:size])


def main():
    if sys.argv[1] == "dump":
        dump(sys.argv[2])
    else:
        lie(sys.argv[2], int(sys.argv[3]), sys.argv[4])


if __name__ == "__main__":
    main()
