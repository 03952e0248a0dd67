#!/usr/bin/env python3
"""The camera's factory partition for a sandbox device root: an image in the "FLSH" format served from
a pseudo terminal (a character device, as the settings database requires of "/dev/mtdblock3", without
root), with the "/proc/mtd" line that names it.

Written from the partition format alone: erased flash (0xFF) of SIZE bytes with, at OFFSET, the
little-endian words magic "FLSH" (0x48534C46), the length of the entry list and three zero words,
then the entries "name=value" each ending in a NUL, and one more NUL at the end of the list. Every
reader of the device gets the whole image, again and again.

usage: factory_flash.py ROOT [--size BYTES] [--offset BYTES] NAME=VALUE...
Prints "ready" once the device is in place and serves until killed.
"""
import argparse
import os
import pty
import select
import struct
import sys
import termios
import tty

MAGIC = 0x48534C46


def image(entries, size, offset):
    listing = b"".join(e.encode() + b"\0" for e in entries) + b"\0"
    header = struct.pack("<5I", MAGIC, len(listing), 0, 0, 0)
    if offset + len(header) + len(listing) > size:
        raise SystemExit("the entries do not fit the partition")
    data = bytearray(b"\xff" * size)
    data[offset:offset + len(header)] = header
    data[offset + len(header):offset + len(header) + len(listing)] = listing
    return bytes(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--size", type=int, default=65536)
    parser.add_argument("--offset", type=int, default=256)
    parser.add_argument("entries", nargs="*")
    args = parser.parse_args()
    data = image(args.entries, args.size, args.offset)

    master, slave = pty.openpty()
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[0] &= ~(termios.IXON | termios.IXOFF)
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    os.set_blocking(master, False)

    os.makedirs(os.path.join(args.root, "proc"), exist_ok=True)
    os.makedirs(os.path.join(args.root, "dev"), exist_ok=True)
    with open(os.path.join(args.root, "proc/mtd"), "w") as mtd:
        mtd.write('dev:    size   erasesize  name\nmtd0: 00040000 00010000 "boot"\n'
                  'mtd3: %08x 00010000 "Factory"\n' % args.size)
    link = os.path.join(args.root, "dev/mtdblock3")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    print("ready", flush=True)

    pos = 0
    while True:
        select.select([], [master], [], 1.0)
        try:
            written = os.write(master, data[pos:])
        except BlockingIOError:
            continue
        pos = (pos + written) % len(data)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
