#!/usr/bin/env python3
"""A phone on the connecting (client) side of the P2P transport, for the camera's listen tests.
Written from the wire format alone (ztp_wire.py).

It holds one UDP socket (--host, --port or a free port) and answers as a phone does:
  PunchTo (from a server)  -> PunchPkt to the named address, three times
  PunchPkt                 -> PunchPkt back; after a LanSearch asked with "tcp", it also connects
                              over TCP to the sender's address and port (for 2 s)
  P2PRdy                   -> the session is ready over UDP with the sender; from the address of
                              the ready session, Alive back
  P2PRdyLanTcp             -> the session is ready on the TCP link
  ListReqAck               -> RlyHello to the first relay listed
  RlyHelloAck              -> RlyPort to that relay
  RlyPortAck               -> RlyReq to the server (the DID, the relay with the port it gave, the ticket)
  RlyRdy                   -> the session is ready through the relay (with the channels when this
                              phone asked for the relay)
Every datagram it gets is logged: {"t","from":[ip,port],"type","payload",...decoded fields}, except
the channel traffic of a ready session (DRW, DRWAck, PSR, Alive, AliveAck, Close), which goes to
the channel engine (ztp_channels.py) and shows in its statistics.

Control: a unix socket, one JSON object per line each way:
  {"cmd":"send","to":[ip,port],"msg":name,...fields}  a ztp_wire.build message ("raw" with "hex")
  {"cmd":"p2p_req","server":[ip,port],"did":[p,s,c]}    P2PReq with this socket as local address
  {"cmd":"relay_req","server":[ip,port],"did":[p,s,c]}  a relay through the server: ListReq1 first
  {"cmd":"lan_search","to":[ip,port],"tcp":b}            LanSearch; with tcp, LAN TCP on the answer
  {"cmd":"state"} -> {"port","ready":[ip,port] or null,"tcp_ready":bool,"tcp_peer":[ip,port] or null}
  {"cmd":"log",...} / {"cmd":"wait",...}                 as ztp_peer_base
  {"cmd":"chan_send","ch":c,"bytes":n,"rate":bytes_per_s}  n pattern bytes on channel c (rate 0: the window)
  {"cmd":"chan_mode","ack":b,"silent":b,"echo":b,"read":b}  stop acknowledging, go silent (no message at
                                                         all), send back what arrives, stop reading
  {"cmd":"chan_stats"} -> {"closed","alive","packets",[per channel {"rx","bad","max_span","tx_acked",...}]}
  {"cmd":"craft","kind":"channel9"|"oversized"|"short_ack"|"drw_ack","ch":c,"indexes":[...]}
  {"cmd":"chan_flood","ch":[c,...],"blocks":n}            n one-byte DRW blocks on each channel (hostile)
  {"cmd":"psr","ch":c,"index":i,"hex":data}             one PSR packet
  {"cmd":"close"}                                        Close to the camera
  {"cmd":"upgrade","ticket":hex}                         plays the relay-to-direct exchange from a second
                                                         socket; the session moves to it on PunchPkt 1
  {"cmd":"quit"}
"""

import argparse
import os
import struct
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_peer_base as base  # noqa: E402
import ztp_channels as ch  # noqa: E402
import ztp_wire as w  # noqa: E402

CHANNEL_TYPES = (0xD0, 0xD1, 0xD8, 0xE0, 0xE1, 0xF0)


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
        self.engine = None
        self.peer_sock = self.sock    # the socket the session's channels use
        self.reading = threading.Event()
        self.reading.set()
        self.direct = None             # the second socket of a relay-to-direct move
        self.ticket = b"\0" * 16
        self.relay_server = None       # the server and the DID of a relay request under way
        self.relay_did = None
        self.relay = None
        threading.Thread(target=self.serve, args=(self.sock,), daemon=True).start()

    def send(self, to, msg, sock=None):
        (sock or self.sock).sendto(w.scramble(self.key, msg), tuple(to))

    def serve(self, sock):
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
        while True:
            self.reading.wait()
            data, sender = sock.recvfrom(2048)
            try:
                msg_type, payload = w.parse(w.unscramble(self.key, data))
            except ValueError as err:
                self.log.add({"from": list(sender), "error": str(err), "n": len(data)})
                continue
            if msg_type in CHANNEL_TYPES and self.engine is not None and not self.engine.tcp:
                self.engine.on_message(msg_type, payload)
                continue
            entry = w.describe(msg_type, payload)
            entry["from"] = list(sender)
            self.log.add(entry)
            if msg_type == 0x28:
                self.punch(sock, sender, payload)
            else:
                self.react(sender, msg_type, payload)

    def session_ready(self):
        """The channel engine for a session over UDP with the ready address."""
        if self.engine is None:
            self.engine = ch.Engine(lambda msg: self.send(self.ready, msg, self.peer_sock), self.log)

    def punch(self, sock, sender, payload):
        """The direct socket's side of a relay-to-direct move: PunchPkt is answered with PunchAck of
        the same final byte, and a final byte of 1 moves the session here."""
        if sock is not self.direct or len(payload) < 93 or payload[1] != 3:
            return
        last = payload[92]
        self.send(sender, w.rly_rdy_plus(4, self.ticket, self.did, self.direct_addr(), self.direct_addr(),
                                         last), sock)
        if last == 1:
            with self.lock:
                self.peer_sock = self.direct
                self.ready = list(sender)

    def direct_addr(self):
        return ("127.0.0.1" if self.direct is None else self.direct.getsockname()[0],
                0 if self.direct is None else self.direct.getsockname()[1])

    def serve_tcp(self):
        conn = self.tcp
        try:
            while True:
                self.reading.wait()
                head = w.recv_exact(conn, 8)
                body = w.recv_exact(conn, struct.unpack(">H", head[:2])[0])
                msg_type, payload = w.parse(w.tcp_open(head, body, self.key, plain=True))
                self.engine.on_message(msg_type, payload)
        except (EOFError, OSError, ValueError) as err:
            self.log.add({"tcp": "end", "error": str(err)})

    def react(self, sender, msg_type, payload):
        if msg_type == 0x40 and len(payload) >= 16:
            target = w.read_addr(payload[:16])
            for _ in range(3):
                self.send(target, w.header(0x41, self.did))
        elif msg_type == 0x41:
            self.send(sender, w.header(0x41, self.did))
            if self.lan_search and self.tcp is None:
                threading.Thread(target=self.connect_tcp, args=(sender,), daemon=True).start()
        elif msg_type == 0x42:
            with self.lock:
                ready = self.ready == list(sender)
            if ready:
                # A ready session's answer to the camera's repeated P2PRdy; from another address it
                # is a new session's.
                self.send(sender, w.header(0xE0, b""), self.peer_sock)
                return
            # The channel engine exists before the state shows the session ready.
            self.session_ready()
            with self.lock:
                self.ready = list(sender)
        elif msg_type == 0x44:
            if self.tcp is not None and self.engine is None:
                conn = self.tcp
                self.engine = ch.Engine(
                    lambda msg: conn.sendall(w.tcp_frame(msg, self.key, plain=True)), self.log, tcp=True)
                threading.Thread(target=self.serve_tcp, daemon=True).start()
            with self.lock:
                self.tcp_ready = self.tcp is not None
        elif msg_type == 0x84:
            # The session of the relay this phone asked for; any other RlyRdy is only noted.
            if self.relay_server is not None:
                self.session_ready()
            with self.lock:
                self.ready = list(sender)
        elif self.relay_server is not None:
            self.relay_step(sender, msg_type, payload)

    def relay_step(self, sender, msg_type, payload):
        """The connecting side's way to a relay: list, hello, port, then the request to the server."""
        if msg_type == 0x69 and len(payload) >= 20 and payload[0] >= 1:
            self.relay = list(w.read_addr(payload[4:20]))
            self.send(self.relay, w.header(0x70, b""))
        elif msg_type == 0x71 and list(sender) == self.relay:
            self.send(self.relay, w.header(0x72, b""))
        elif msg_type == 0x73 and list(sender) == self.relay and len(payload) >= 6:
            ticket, port = struct.unpack(">IH", payload[:6])
            self.send(self.relay_server, w.build("rly_req", {"did": self.relay_did, "relay": [self.relay[0], port],
                                                             "ticket": ticket}))

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
        if name == "relay_req":
            self.relay_server, self.relay_did = list(cmd["server"]), cmd["did"]
            self.send(self.relay_server, w.build("list_req1", {"did": self.relay_did}))
            return {"ok": True}
        if name == "lan_search":
            self.lan_search = bool(cmd.get("tcp"))
            self.send(cmd["to"], w.header(0x30, b""))
            return {"ok": True}
        if name == "state":
            with self.lock:
                return {"port": self.sock.getsockname()[1], "ready": self.ready, "tcp_ready": self.tcp_ready,
                        "tcp_peer": self.tcp_peer}
        if name == "quit":
            os._exit(0)
        if name.startswith("chan_") or name in ("craft", "psr", "close", "upgrade"):
            return self.channel_control(name, cmd)
        answer = base.log_command(self.log, cmd)
        return answer if answer is not None else {"error": "unknown command"}


    def channel_control(self, name, cmd):
        if self.engine is None:
            return {"error": "no session"}
        if name == "chan_send":
            self.engine.start_send(cmd["ch"], cmd["bytes"], cmd.get("rate", 0))
        elif name == "chan_mode":
            self.engine.mode(cmd)
            if "read" in cmd:
                (self.reading.set if cmd["read"] else self.reading.clear)()
        elif name == "chan_stats":
            return self.engine.stats()
        elif name == "chan_flood":
            self.engine.flood(cmd["ch"], cmd["blocks"])
        elif name == "craft":
            self.engine.send(self.crafted(cmd))
        elif name == "psr":
            self.engine.send(w.drw(cmd["ch"], cmd["index"], bytes.fromhex(cmd.get("hex", "00")), 0xD8))
        elif name == "close":
            self.engine.send(w.header(0xF0, b""))
        elif name == "upgrade":
            self.ticket = bytes.fromhex(cmd.get("ticket", "00" * 16))
            self.direct = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.direct.bind((self.sock.getsockname()[0], 0))
            threading.Thread(target=self.serve, args=(self.direct,), daemon=True).start()
            me = self.direct_addr()
            # PunchGo and PunchTo come through the relay's path, as the relay would send them.
            self.engine.send(w.rly_rdy_plus(1, self.ticket, self.did, me, me))
            self.engine.send(w.rly_rdy_plus(2, self.ticket, self.did, me, me))
        return {"ok": True}

    @staticmethod
    def crafted(cmd):
        kind = cmd["kind"]
        c = cmd.get("ch", 0)
        if kind == "channel9":
            return w.drw(9, 0, b"x" * 8)
        if kind == "oversized":
            return w.drw(c, cmd.get("index", 0), b"o" * 1025)
        if kind == "short_ack":
            # Announces two indexes but carries one.
            return w.header(0xD1, bytes([0xD1, c]) + struct.pack(">HH", 2, cmd.get("index", 0)))
        if kind == "drw":
            return w.drw(c, cmd["index"], bytes.fromhex(cmd.get("hex", "41" * 16)))
        if kind == "drw_ack":
            return w.drw_ack(c, cmd["indexes"])
        raise ValueError("unknown craft " + kind)


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
