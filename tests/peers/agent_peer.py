#!/usr/bin/env python3
"""An outside app on the agent bus, written from the protocol alone.

Connects a SOCK_SEQPACKET socket to the abstract address (a NUL byte, the bus name, zeros up to the
full 108-byte path), registers two methods in one packet, asks the camera module that serves
"set_light" to switch it on, then waits for the broadcast "set_flip_config_from_app" and the request
"set_motor", which it acknowledges. Exits 0 when all of that happened in time, else 1.

usage: agent_peer.py BUS_NAME
"""
import json
import socket
import sys
import time

TIMEOUT_S = 20.0


def texts(packet):
    """The JSON texts of one packet, which the bus sends back to back without separators."""
    decoder = json.JSONDecoder()
    data = packet.decode("utf-8")
    pos = 0
    out = []
    while pos < len(data):
        while pos < len(data) and data[pos].isspace():
            pos += 1
        if pos == len(data):
            break
        value, pos = decoder.raw_decode(data, pos)
        out.append(value)
    return out


def send(sock, *values):
    sock.send("".join(json.dumps(v, separators=(",", ":")) for v in values).encode("utf-8"))


def main():
    name = sys.argv[1].encode()
    address = b"\0" + name + b"\0" * (107 - len(name))
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    sock.connect(address)
    send(sock, {"method": "register", "key": "set_motor"},
         {"method": "register", "key": "set_flip_config_from_app"})
    send(sock, {"id": 41, "method": "set_light", "params": 1})

    light_ok = flip_seen = motor_acked = False
    deadline = time.monotonic() + TIMEOUT_S
    while not (light_ok and flip_seen and motor_acked):
        left = deadline - time.monotonic()
        if left <= 0:
            print("timed out: light_ok=%s flip_seen=%s motor_acked=%s" % (light_ok, flip_seen, motor_acked),
                  file=sys.stderr)
            return 1
        sock.settimeout(left)
        packet = sock.recv(4096)
        if not packet:
            print("the server closed the connection", file=sys.stderr)
            return 1
        for msg in texts(packet):
            method = msg.get("method")
            if method is None:
                if msg.get("id") == 41 and msg.get("result") == "OK":
                    light_ok = True
                else:
                    print("unexpected reply %r" % msg, file=sys.stderr)
                    return 1
            elif method == "set_flip_config_from_app":
                if "id" in msg or msg.get("params") != 1:
                    print("bad broadcast %r" % msg, file=sys.stderr)
                    return 1
                flip_seen = True
            elif method == "set_motor":
                if msg.get("params") != 5 or not isinstance(msg.get("id"), int):
                    print("bad request %r" % msg, file=sys.stderr)
                    return 1
                send(sock, {"id": msg["id"], "result": "OK"})
                motor_acked = True
            else:
                print("unexpected method %r" % msg, file=sys.stderr)
                return 1
    sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
