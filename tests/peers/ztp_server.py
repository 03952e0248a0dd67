#!/usr/bin/env python3
"""A P2P server's TCP login side (port 443 on the real servers), for the camera's TCP login tests.

It accepts the camera's TCP connections, reads each frame (8-byte TCP header with 'h', two random
bytes and the 2-byte check, then the message scrambled twice), verifies the check, the message
header and, for DevLgn_CRC (0x12) and DevLgn_DSK (0x16), the login check, records what it got, and
answers with the checked login answer (0x13) or what the script says. Written from the wire format
alone (ztp_wire.py).

Control: a unix socket, one JSON object per line each way:
  {"cmd":"script","answer":"ok","result":0}  answer: "ok" (0x13 with the result byte), "none",
      "short" (0x13 with a 3-byte payload), "bad_check" (a flipped check bit), "huge" (a header
      announcing 1281 bytes), "junk" (8 bytes whose
      third is not 'h'), "close" (close at once), "flood" (200 answers)
  {"cmd":"logins","since":0}                   -> {"logins":[{...}],"next":n}
  {"cmd":"wait_login","since":0,"timeout_ms":5000} -> {"login":{...},"index":i} or {"error":"timeout"}
  {"cmd":"accepts"}                            -> {"accepts":[t_monotonic,...],"open":k}
  {"cmd":"relay_start","ticket":1,"ip":"127.0.0.1","port":4433} -> sends TCPRSStart on every open
      connection: {"ok":true,"sent":k}
  {"cmd":"quit"}
A login record: {"type":18,"did":[prefix,serial,check],"nat":n,"version":[5,0,8],
"local":[ip,port],"dsk":text or null,"check_ok":bool}; a frame that fails is recorded as
{"error":"..."} and its connection closed.
"""

import argparse
import json
import os
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_wire as w  # noqa: E402


class Server:
    def __init__(self, args):
        self.key = args.key
        self.login_key = args.login_key
        self.lock = threading.Condition()
        self.logins = []
        self.accepts = []
        self.conns = []
        self.script = {"answer": "ok", "result": 0}
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((args.host, args.port))
        self.listener.listen(16)
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            conn, _ = self.listener.accept()
            with self.lock:
                self.accepts.append(time.monotonic())
                self.conns.append(conn)
                self.lock.notify_all()
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def record(self, entry):
        with self.lock:
            self.logins.append(entry)
            self.lock.notify_all()

    def serve(self, conn):
        try:
            while True:
                head = w.recv_exact(conn, 8)
                (length,) = struct.unpack(">H", head[:2])
                body = w.recv_exact(conn, length)
                try:
                    msg = w.tcp_open(head, body, self.key)
                    msg_type, payload = w.parse(msg)
                except ValueError as err:
                    self.record({"error": str(err)})
                    break
                if msg_type in (0x12, 0x16):
                    self.on_login(conn, msg_type, payload)
                else:
                    self.record({"type": msg_type, "payload": payload.hex()})
        except (EOFError, OSError):
            pass
        finally:
            with self.lock:
                if conn in self.conns:
                    self.conns.remove(conn)
            conn.close()

    def on_login(self, conn, msg_type, payload):
        plain = w.crc_decode(payload, self.login_key)
        entry = {"type": msg_type, "check_ok": plain is not None}
        if plain is not None and len(plain) >= 40:
            entry["did"] = list(w.read_did(plain[:20]))
            entry["nat"] = plain[20]
            entry["version"] = list(plain[21:24])
            entry["local"] = list(w.read_addr(plain[24:40]))
            entry["dsk"] = plain[40:64].rstrip(b"\0").decode() if msg_type == 0x16 else None
        self.record(entry)
        with self.lock:
            script = dict(self.script)
        self.answer(conn, script)

    def answer(self, conn, script):
        mode = script.get("answer", "ok")
        ok_frame = w.tcp_frame(w.header(0x13, w.crc_encode(bytes([script.get("result", 0)]), self.login_key)),
                               self.key)
        if mode == "ok":
            conn.sendall(ok_frame)
        elif mode == "short":
            conn.sendall(w.tcp_frame(w.header(0x13, b"\x00\x01\x02"), self.key))
        elif mode == "bad_check":
            frame = bytearray(ok_frame)
            frame[7] ^= 0x01
            conn.sendall(bytes(frame))
        elif mode == "huge":
            conn.sendall(struct.pack(">H", 1281) + b"h\0\0\0\0\0" + b"\0" * 1281)
        elif mode == "junk":
            conn.sendall(b"\x00\x10X" + os.urandom(5))
        elif mode == "close":
            conn.shutdown(socket.SHUT_RDWR)
        elif mode == "flood":
            conn.sendall(ok_frame * 200)

    def relay_start(self, cmd):
        payload = w.DID + struct.pack(">I", cmd.get("ticket", 1)) + w.addr24(cmd.get("ip", "127.0.0.1"),
                                                                             cmd.get("port", 443))
        frame = w.tcp_frame(w.header(0x52, payload), self.key)
        with self.lock:
            conns = list(self.conns)
        for conn in conns:
            conn.sendall(frame)
        return {"ok": True, "sent": len(conns)}

    def control(self, cmd):
        name = cmd.get("cmd")
        if name == "script":
            with self.lock:
                self.script = {k: v for k, v in cmd.items() if k != "cmd"}
            return {"ok": True}
        if name == "logins":
            since = cmd.get("since", 0)
            with self.lock:
                return {"logins": self.logins[since:], "next": len(self.logins)}
        if name == "wait_login":
            since = cmd.get("since", 0)
            deadline = time.monotonic() + cmd.get("timeout_ms", 5000) / 1000.0
            with self.lock:
                while len(self.logins) <= since:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        return {"error": "timeout"}
                    self.lock.wait(left)
                return {"login": self.logins[since], "index": since}
        if name == "accepts":
            with self.lock:
                return {"accepts": list(self.accepts), "open": len(self.conns)}
        if name == "relay_start":
            return self.relay_start(cmd)
        if name == "quit":
            os._exit(0)
        return {"error": "unknown command"}


def control_loop(server, path):
    if os.path.exists(path):
        os.unlink(path)
    ctl = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    ctl.bind(path)
    ctl.listen(4)
    while True:
        conn, _ = ctl.accept()
        threading.Thread(target=control_client, args=(server, conn), daemon=True).start()


def control_client(server, conn):
    pending = b""
    with conn:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                try:
                    answer = server.control(json.loads(line))
                except (ValueError, OSError) as err:
                    answer = {"error": str(err)}
                conn.sendall(json.dumps(answer).encode() + b"\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--key", default=w.P2P_KEY)
    parser.add_argument("--login-key", default=w.LOGIN_KEY)
    args = parser.parse_args()
    server = Server(args)
    control_loop(server, args.control)


if __name__ == "__main__":
    main()
