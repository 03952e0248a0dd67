#!/usr/bin/env python3
"""A phone on the client side of the P2P transport, for the camera's listen tests. Written from the
wire format alone (ztp_wire.py).

It holds one UDP socket (--host, --port or a free port) and answers as a phone does:
  PunchTo (from a server)  -> PunchPkt to the named address, three times
  PunchPkt                 -> PunchPkt and P2PRdy back; after a LanSearch PunchPkt only, and it
                              connects over TCP to the sender's address and port (for 2 s)
  P2PRdy                   -> P2PRdy back once; the session is ready over UDP with the sender
  P2PRdyLanTcp             -> P2PRdyLanTcp back once; the session is ready on the TCP link
  RlyRdy                   -> the session is ready through the relay
Every datagram it gets is logged: {"t","from":[ip,port],"type","payload",...decoded fields}.

Control: a unix socket, one JSON object per line each way:
  {"cmd":"send","to":[ip,port],"msg":name,...fields}  a ztp_wire.build message ("raw" with "hex")
  {"cmd":"p2p_req","server":[ip,port],"did":[p,s,c]}    P2PReq with this socket as local address
  {"cmd":"lan_search","to":[ip,port]}                    LanSearch, and LAN TCP on the answer
  {"cmd":"state"} -> {"port","ready":[ip,port] or null,"tcp_ready":bool,"tcp_peer":[ip,port] or null}
  {"cmd":"log",...} / {"cmd":"wait",...}                 as ztp_peer_base
  {"cmd":"quit"}
"""

import argparse
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_peer_base as base  # noqa: E402
import ztp_wire as w  # noqa: E402


class Phone:
    def __init__(self, args):
        self.key = args.key
        self.did = w.did_block(*args.did.split("-")[:1], int(args.did.split("-")[1]), args.did.split("-")[2])
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((args.host, args.port))
        self.log = base.MessageLog()
        self.lock = threading.Lock()
        self.ready = None
        self.tcp = None
        self.tcp_peer = None
        self.tcp_ready = False
        self.lan_search = False
        self.answered_rdy = False
        threading.Thread(target=self.serve, daemon=True).start()

    def send(self, to, msg):
        self.sock.sendto(w.scramble(self.key, msg), tuple(to))

    def serve(self):
        while True:
            data, sender = self.sock.recvfrom(2048)
            try:
                msg_type, payload = w.parse(w.unscramble(self.key, data))
            except ValueError as err:
                self.log.add({"from": list(sender), "error": str(err), "n": len(data)})
                continue
            entry = w.describe(msg_type, payload)
            entry["from"] = list(sender)
            self.log.add(entry)
            self.react(sender, msg_type, payload)

    def react(self, sender, msg_type, payload):
        if msg_type == 0x40 and len(payload) >= 16:
            target = w.read_addr(payload[:16])
            for _ in range(3):
                self.send(target, w.header(0x41, self.did))
        elif msg_type == 0x41:
            self.send(sender, w.header(0x41, self.did))
            if not self.lan_search:
                self.send(sender, w.header(0x42, self.did))
            elif self.tcp is None:
                threading.Thread(target=self.connect_tcp, args=(sender,), daemon=True).start()
        elif msg_type == 0x42:
            with self.lock:
                first = not self.answered_rdy
                self.answered_rdy = True
                self.ready = list(sender)
            if first:
                self.send(sender, w.header(0x42, self.did))
        elif msg_type == 0x44:
            with self.lock:
                first = not self.tcp_ready
                self.tcp_ready = self.tcp is not None
            if first:
                self.send(sender, w.header(0x44, self.did))
        elif msg_type == 0x84:
            with self.lock:
                self.ready = list(sender)

    def connect_tcp(self, peer):
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            conn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                conn.connect(peer)
            except OSError:
                conn.close()
                time.sleep(0.005)
                continue
            with self.lock:
                self.tcp = conn
                self.tcp_peer = list(peer)
            return

    def control(self, cmd):
        name = cmd.get("cmd")
        if name == "send":
            self.send(cmd["to"], w.build(cmd["msg"], cmd))
            return {"ok": True}
        if name == "p2p_req":
            local = ["127.0.0.1", self.sock.getsockname()[1]]
            self.send(cmd["server"], w.build("p2p_req", {"did": cmd["did"], "local": local}))
            return {"ok": True}
        if name == "lan_search":
            self.lan_search = True
            self.send(cmd["to"], w.header(0x30, b""))
            return {"ok": True}
        if name == "state":
            with self.lock:
                return {"port": self.sock.getsockname()[1], "ready": self.ready, "tcp_ready": self.tcp_ready,
                        "tcp_peer": self.tcp_peer}
        if name == "quit":
            os._exit(0)
        answer = base.log_command(self.log, cmd)
        return answer if answer is not None else {"error": "unknown command"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--control", required=True)
    parser.add_argument("--key", default=w.P2P_KEY)
    parser.add_argument("--did", default="ABC-123-XYZ")
    args = parser.parse_args()
    phone = Phone(args)
    base.control_loop(phone.control, args.control)


if __name__ == "__main__":
    main()
