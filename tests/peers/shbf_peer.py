#!/usr/bin/env python3
"""A hostile shared-buffer broadcaster, written from the wire format alone: frames are a 16-byte
little-endian header {u32 length, u32 flags (bit 0 key), u64 time stamp ms} and the bytes.

  shbf_peer.py PATH MODE

The first receiver that connects gets the mode's bad input:
  huge      a header announcing 4 GiB - 1 bytes, then a trickle of bytes
  oversize  a header announcing 0x80001 bytes
  cut       a header announcing 100 bytes, 10 of them, then the link closes
  junk      random bytes
Every later receiver gets one good frame ("good frame", key, time 77) and the link stays open.
"""
import os
import socket
import struct
import sys
import time

HEADER = struct.Struct("<IIQ")


def bad(conn, mode):
    if mode == "huge":
        conn.sendall(HEADER.pack(0xFFFFFFFF, 1, 1) + b"x" * 1000)
        time.sleep(3)
    elif mode == "oversize":
        conn.sendall(HEADER.pack(0x80001, 1, 1) + b"y" * 4096)
        time.sleep(3)
    elif mode == "cut":
        conn.sendall(HEADER.pack(100, 1, 1) + b"z" * 10)
    elif mode == "junk":
        conn.sendall(b"\xff" * 16 + os.urandom(64))
        time.sleep(3)


def main():
    path, mode = sys.argv[1], sys.argv[2]
    if os.path.exists(path):
        os.unlink(path)
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(path)
    srv.listen(4)
    first = True
    keep = []
    while True:
        conn, _ = srv.accept()
        if first:
            first = False
            try:
                bad(conn, mode)
            except OSError:
                pass
            conn.close()
            continue
        body = b"good frame"
        conn.sendall(HEADER.pack(len(body), 1, 77) + body)
        keep.append(conn)


if __name__ == "__main__":
    main()
