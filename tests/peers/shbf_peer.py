#!/usr/bin/env python3
"""A hostile shared-buffer broadcaster, written from the wire format alone: frames are a 16-byte
little-endian header {u32 length, u32 flags (bit 0 key), u64 time stamp ms} and the bytes.

  shbf_peer.py PATH MODE
  shbf_peer.py PATH receive OUT [MESSAGE_HEX]
  shbf_peer.py PATH stall [MESSAGE_HEX]

As a broadcaster (MODE), the first receiver that connects gets the mode's bad input:
  huge      a header announcing 4 GiB - 1 bytes, then a trickle of bytes
  oversize  a header announcing 0x80001 bytes
  cut       a header announcing 100 bytes, 10 of them, then the link closes
  junk      random bytes
Every later receiver gets one good frame ("good frame", key, time 77) and the link stays open.

As a receiver, it connects to the broadcaster at PATH (waiting for it to appear), sends each of the
comma-separated messages of MESSAGE_HEX ("-": an empty one) 100 ms apart and prints "ready". "receive" appends every byte it reads to OUT, headers
included; "stall" never reads.
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


def receiver(path, mode, rest):
    conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    for _ in range(200):
        try:
            conn.connect(path)
            break
        except OSError:
            time.sleep(0.05)
    message_hex = rest[1] if mode == "receive" and len(rest) > 1 else (rest[0] if mode == "stall" and rest else "")
    for one in message_hex.split(",") if message_hex else []:
        body = b"" if one == "-" else bytes.fromhex(one)
        conn.sendall(HEADER.pack(len(body), 0, 0) + body)
        time.sleep(0.1)
    print("ready", flush=True)
    if mode == "stall":
        while True:
            time.sleep(60)
    with open(rest[0], "ab") as out:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            out.write(data)
            out.flush()


def main():
    path, mode = sys.argv[1], sys.argv[2]
    if mode in ("receive", "stall"):
        receiver(path, mode, sys.argv[3:])
        return
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
