#!/usr/bin/env python3
"""A TCP receiver for the socket send tests, connecting to the sender's listening port.

Usage: tcp_sink.py PORT MODE OUT
  MODE slow:  reads 16384 bytes every 5 ms with a small receive buffer until the sender closes,
              then writes "<length> <sha256 hex>" to OUT.
  MODE stall: connects and never reads; writes "connected" to OUT and sleeps until killed.
"""
import hashlib
import os
import socket
import sys
import time


def main():
    port, mode, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", port))
    if mode == "stall":
        with open(out, "w") as f:
            f.write("connected")
        while True:
            time.sleep(60)
    digest = hashlib.sha256()
    total = 0
    while True:
        chunk = s.recv(16384)
        if not chunk:
            break
        digest.update(chunk)
        total += len(chunk)
        time.sleep(0.005)
    with open(out + ".tmp", "w") as f:
        f.write("%d %s" % (total, digest.hexdigest()))
    os.rename(out + ".tmp", out)


if __name__ == "__main__":
    main()
