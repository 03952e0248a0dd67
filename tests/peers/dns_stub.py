#!/usr/bin/env python3
"""A DNS stub for the network-probe tests, written from RFC 1035 alone: answers A queries over UDP and
TCP on one address, port 53.

  dns_stub.py ADDRESS MODE [NAME=IPV4 ...]

MODE "table" answers the names given (any other name: NXDOMAIN); MODE "hijack:IPV4" answers every
name with IPV4, as a router that sends all names to itself. Prints "ready" once both sockets listen.
"""
import socket
import struct
import sys
import threading


def parse_question(msg):
    pos, labels = 12, []
    while pos < len(msg) and msg[pos]:
        n = msg[pos]
        labels.append(msg[pos + 1:pos + 1 + n].decode("ascii", "replace"))
        pos += 1 + n
    qtype, = struct.unpack(">H", msg[pos + 1:pos + 3])
    return ".".join(labels).lower(), qtype, pos + 5


def answer(msg, lookup):
    if len(msg) < 17:
        return None
    ident, = struct.unpack(">H", msg[:2])
    name, qtype, end = parse_question(msg)
    address = lookup(name)
    question = msg[12:end]
    if address is None:
        return struct.pack(">HHHHHH", ident, 0x8183, 1, 0, 0, 0) + question
    if qtype != 1:
        return struct.pack(">HHHHHH", ident, 0x8180, 1, 0, 0, 0) + question
    record = struct.pack(">HHHIH", 0xC00C, 1, 1, 5, 4) + socket.inet_aton(address)
    return struct.pack(">HHHHHH", ident, 0x8180, 1, 1, 0, 0) + question + record


def serve_udp(sock, lookup):
    while True:
        msg, peer = sock.recvfrom(4096)
        reply = answer(msg, lookup)
        if reply:
            sock.sendto(reply, peer)


def serve_tcp_conn(conn, lookup):
    with conn:
        while True:
            head = conn.recv(2)
            if len(head) < 2:
                return
            n, = struct.unpack(">H", head)
            msg = b""
            while len(msg) < n:
                part = conn.recv(n - len(msg))
                if not part:
                    return
                msg += part
            reply = answer(msg, lookup)
            if not reply:
                return
            conn.sendall(struct.pack(">H", len(reply)) + reply)


def serve_tcp(sock, lookup):
    while True:
        conn, _ = sock.accept()
        threading.Thread(target=serve_tcp_conn, args=(conn, lookup), daemon=True).start()


def main():
    address, mode = sys.argv[1], sys.argv[2]
    if mode.startswith("hijack:"):
        everyone = mode.split(":", 1)[1]
        lookup = lambda name: everyone
    else:
        table = dict(entry.lower().split("=", 1) for entry in sys.argv[3:])
        lookup = table.get
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((address, 53))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((address, 53))
    tcp.listen(8)
    threading.Thread(target=serve_tcp, args=(tcp, lookup), daemon=True).start()
    print("ready", flush=True)
    serve_udp(udp, lookup)


if __name__ == "__main__":
    main()
