#!/usr/bin/python3
"""An independent settings-socket client.

Usage: zel_db_client.py SOCKET COMMAND...   with COMMAND one of
  get|STORE|SECTION|KEY   set|STORE|SECTION|KEY|VALUE   unset|STORE|SECTION|KEY
  dump|STORE   save   op|N (a request with an unknown operation code)
All commands run in order on one connection. One line per command:
  reply TYPE LENGTH BODYHEX    or    noreply
Request: u32 op, store[16], section[32], key[64], u32 value length + 1, value text (little-endian).
Reply: u32 type, u32 length, body; a one-store dump counts the 8 head bytes in its length.
"""
import socket
import struct
import sys

OPS = {"get": 0, "set": 1, "dump": 2, "save": 3, "unset": 4}


def request(op, store="", section="", key="", value=None):
    head = struct.pack("<I16s32s64s", op, store.encode(), section.encode(), key.encode())
    if value is None:
        return head + struct.pack("<I", 0)
    data = value.encode()
    return head + struct.pack("<I", len(data) + 1) + data + b"\0"


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("server closed the connection")
        data += chunk
    return data


def main():
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(10)
    sock.connect(sys.argv[1])
    for command in sys.argv[2:]:
        fields = command.split("|")
        name = fields[0]
        expect_reply = True
        if name == "op":
            msg = request(int(fields[1]))
            expect_reply = False
        elif name == "save":
            msg = request(OPS["save"])
        elif name == "dump":
            msg = request(OPS["dump"], fields[1])
        elif name == "set":
            msg = request(OPS["set"], fields[1], fields[2], fields[3], fields[4])
        else:
            msg = request(OPS[name], fields[1], fields[2], fields[3])
        sock.sendall(msg)
        if not expect_reply:
            sock.settimeout(0.3)
            try:
                extra = sock.recv(8)
                print("reply unexpected %d 00" % len(extra))
            except socket.timeout:
                print("noreply 0 0 00")
            sock.settimeout(10)
            continue
        rtype, length = struct.unpack("<II", recv_exact(sock, 8))
        body_len = length
        if name == "dump" and fields[1].lower() != "all" and rtype == 1:
            body_len = length - 8
        body = recv_exact(sock, body_len) if rtype == 1 else b""
        print("reply %d %d %s" % (rtype, length, body.hex() or "00"))
    sock.close()


if __name__ == "__main__":
    main()
