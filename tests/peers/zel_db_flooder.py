#!/usr/bin/python3
"""A hostile settings-socket client: many connections that queue requests and never read a reply.

Usage: zel_db_flooder.py SOCKET CONNECTIONS SECONDS
Opens CONNECTIONS connections, writes get requests on each until the socket takes no more, prints
"ready" and keeps writing for SECONDS without reading anything. Then prints "closed N": how many of
its connections the server had closed by then.
Request: u32 op, store[16], section[32], key[64], u32 value length + 1 (little-endian).
"""
import errno
import socket
import struct
import sys
import time

GET_POWER = struct.pack("<I16s32s64sI", 0, b"NVM", b"IPC", b"power", 0)


def pump(sock):
    """Writes requests until the socket is full; False once the server has closed it."""
    try:
        while True:
            sock.send(GET_POWER)
    except BlockingIOError:
        return True
    except OSError as err:
        if err.errno in (errno.EPIPE, errno.ECONNRESET):
            return False
        raise


def main():
    path, count, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    socks = []
    for _ in range(count):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(path)
        sock.setblocking(False)
        socks.append(sock)
    alive = [pump(s) for s in socks]
    print("ready", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        alive = [a and pump(s) for a, s in zip(alive, socks)]
        time.sleep(0.05)
    print("closed %d" % alive.count(False), flush=True)


if __name__ == "__main__":
    main()
