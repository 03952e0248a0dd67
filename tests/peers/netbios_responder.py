#!/usr/bin/env python3
"""NetBIOS name-service responder (RFC 1002) for the NAS tests, written from the wire format.

It plays a few hosts on loopback addresses. Queries arrive on --listen (the address the camera is
pointed at); each host also has a socket of its own on its address and the same port, from which
it answers node-status queries, as a real host would.

  --host NAME,GROUP,ADDR   (repeatable) a host: its server name, workgroup and IPv4 address
  --junk                   before every answer, also send hostile datagrams: cut packets, a name
                           count past the end, a compression-pointer loop, an endless label chain
  --silent-after SECONDS   stop answering after that long (hosts then go offline)

Answers:
  name query for "*" (wildcard)      -> one positive answer per host, RDATA = that host's address
  name query for NAME<20> or <00>    -> the address of the host with that name
  node-status query                  -> the host's name table (NAME<00>, NAME<20>, GROUP<00> group)
"""

import argparse
import selectors
import socket
import struct
import sys
import time


def decode_name(packet, pos):
    length = packet[pos]
    if length != 32 or pos + 34 > len(packet):
        return None, None
    raw = bytes(((packet[pos + 1 + 2 * i] - 65) << 4) | (packet[pos + 2 + 2 * i] - 65) for i in range(16))
    return raw[:15], raw[15]


def encode_name(raw15, suffix, pad=b" "):
    raw = raw15.ljust(15, pad)[:15] + bytes([suffix])
    out = bytearray([32])
    for b in raw:
        out += bytes([65 + (b >> 4), 65 + (b & 15)])
    out += b"\0"
    return bytes(out)


def name_answer(trn, name, suffix, addr):
    rdata = struct.pack(">H", 0) + socket.inet_aton(addr)
    return (struct.pack(">HHHHHH", trn, 0x8500, 0, 1, 0, 0) + encode_name(name, suffix) +
            struct.pack(">HHIH", 0x20, 1, 300, len(rdata)) + rdata)


def status_answer(trn, host):
    entries = [(host["name"], 0x00, 0x0400), (host["name"], 0x20, 0x0400), (host["group"], 0x00, 0x8400)]
    rdata = bytes([len(entries)])
    for name, suffix, flags in entries:
        rdata += name.encode().ljust(15, b" ")[:15] + bytes([suffix]) + struct.pack(">H", flags)
    rdata += b"\x02\x00\x00\x00\x00\x01" + bytes(40)
    return (struct.pack(">HHHHHH", trn, 0x8400, 0, 1, 0, 0) + encode_name(b"*", 0, b"\0") +
            struct.pack(">HHIH", 0x21, 1, 0, len(rdata)) + rdata)


def junk(trn):
    good = name_answer(trn, b"JUNK", 0x20, "127.0.0.99")
    cut = good[:len(good) - 3]
    past = bytearray(status_answer(trn, {"name": "JUNK", "group": "JUNK"}))
    past[12 + 34 + 10] = 250  # name count far past the end
    loop = struct.pack(">HHHHHH", trn, 0x8500, 1, 1, 0, 0) + b"\xc0\x0c" + struct.pack(">HH", 0x20, 1) + b"\xc0\x0c"
    endless = struct.pack(">HHHHHH", trn, 0x8500, 0, 1, 0, 0) + b"\x01A" * 700
    return [cut, bytes(past), loop, endless, b"\x00", b""]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", required=True, help="ADDR:PORT the camera sends its queries to")
    parser.add_argument("--host", action="append", default=[])
    parser.add_argument("--junk", action="store_true")
    parser.add_argument("--silent-after", type=float, default=0)
    args = parser.parse_args()
    listen_addr, port = args.listen.rsplit(":", 1)
    port = int(port)
    hosts = []
    for spec in args.host:
        name, group, addr = spec.split(",")
        hosts.append({"name": name, "group": group, "addr": addr})
    sel = selectors.DefaultSelector()
    query_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    query_sock.bind((listen_addr, port))
    sel.register(query_sock, selectors.EVENT_READ, None)
    for host in hosts:
        if host["addr"] == listen_addr:
            host["sock"] = query_sock
            continue
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((host["addr"], port))
        host["sock"] = s
        sel.register(s, selectors.EVENT_READ, host)
    started = time.monotonic()
    print(f"netbios responder on {args.listen} with {len(hosts)} hosts", flush=True)
    while True:
        for key, _ in sel.select(timeout=0.5):
            sock = key.fileobj
            try:
                packet, peer = sock.recvfrom(2048)
            except OSError:
                continue
            if args.silent_after and time.monotonic() - started > args.silent_after:
                continue
            if len(packet) < 12 + 34 + 4:
                continue
            trn, flags, qd = struct.unpack(">HHH", packet[:6])
            if flags & 0x8000 or qd != 1:
                continue
            name, suffix = decode_name(packet, 12)
            if name is None:
                continue
            qtype = struct.unpack(">H", packet[46:48])[0]
            if args.junk:
                for j in junk(trn):
                    sock.sendto(j, peer)
            if qtype == 0x21:
                host = key.data
                if host is None:
                    host = next((h for h in hosts if h["addr"] == listen_addr), None)
                if host is not None:
                    host["sock"].sendto(status_answer(trn, host), peer)
            elif qtype == 0x20:
                wanted = name.rstrip(b" \0")
                for host in hosts:
                    if wanted == b"*" or wanted.upper() == host["name"].upper().encode():
                        sock.sendto(name_answer(trn, host["name"].encode(), 0x20, host["addr"]), peer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
