#!/usr/bin/env python3
"""The P2P servers for the camera's transport tests: the TCP login side (port 443 on the real
servers) and, with --udp, the three UDP servers (port 32100 and the punch ports 32101 and 32102).

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
With --udp H1,H2,H3 (and --udp-port, default 32100) three UDP servers run, one per host, and the
TCP side listens on each of those hosts at --port. Each UDP server logs every datagram it gets, with
its time, and answers per its script:
  {"cmd":"udp_script","server":i or -1 for all, "hello":"ok"|"silence"|"second_port",
   "report":[ip,port] or null (the sender as seen), "login":"ok"|"silence", "login_byte":19|17,
   "result":0, "p2p_req":"punch"|"none", "relays":[[ip,port],...], "relay_for_camera":[ip,port] or null}
  {"cmd":"udp_send","server":i,"to":"camera" or [ip,port],"msg":name,...}  a message of
      ztp_wire.build from the server's main socket ("camera" is the last login's sender)
  {"cmd":"log","since":n} / {"cmd":"wait","since":n,"match":{...},"timeout_ms":t}  the UDP log:
      {"t","server","port","from":[ip,port],"type","payload",...decoded fields}
A phone's P2PReq (0x20) with "p2p_req":"punch" is answered with P2PReqAck and sends PunchTo to the
camera (naming the phone as seen) and to the phone (naming the camera as seen). A relay list request
(ListReq 0x68, ListReq1 0x67) is answered with ListReqAck naming the scripted "relays"; a RlyReq
(0x80) with RlyReqAck, and the camera gets RlyTo with the request's relay address and ticket (or
"relay_for_camera", the same relay as the camera's network reaches it).
A login record: {"type":18,"did":[prefix,serial,check],"nat":n,"version":[5,0,8],
"local":[ip,port],"dsk":text or null,"check_ok":bool}; a frame that fails is recorded as
{"error":"..."} and its connection closed.
"""

import argparse
import os
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_peer_base as base  # noqa: E402
import ztp_wire as w  # noqa: E402

DEFAULT_UDP_SCRIPT = {"hello": "ok", "report": None, "login": "ok", "login_byte": 0x13, "result": 0,
                      "p2p_req": "punch", "relays": [], "relay_for_camera": None}


class Server:
    def __init__(self, args, hosts):
        self.key = args.key
        self.login_key = args.login_key
        self.lock = threading.Condition()
        self.logins = []
        self.accepts = []
        self.conns = []
        self.script = {"answer": "ok", "result": 0}
        for host in hosts:
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((host, args.port))
            listener.listen(16)
            threading.Thread(target=self.accept_loop, args=(listener,), daemon=True).start()

    def accept_loop(self, listener):
        while True:
            conn, _ = listener.accept()
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


class UdpServers:
    """Three UDP servers, one per host: the main port, the two punch ports and a second port that
    answers when the script says so."""

    def __init__(self, args, hosts):
        self.key = args.key
        self.login_key = args.login_key
        self.log = base.MessageLog()
        self.lock = threading.Lock()
        self.scripts = [dict(DEFAULT_UDP_SCRIPT) for _ in hosts]
        self.camera = [None for _ in hosts]
        self.main = []
        self.second = []
        for i, host in enumerate(hosts):
            for offset in (0, 1, 2, 3):
                sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                sock.bind((host, args.udp_port + offset))
                if offset == 0:
                    self.main.append(sock)
                elif offset == 3:
                    self.second.append(sock)
                threading.Thread(target=self.serve, args=(i, sock, args.udp_port + offset), daemon=True).start()

    def send(self, i, to, msg, sock=None):
        (sock or self.main[i]).sendto(w.scramble(self.key, msg), tuple(to))

    def serve(self, i, sock, port):
        while True:
            data, sender = sock.recvfrom(2048)
            try:
                msg_type, payload = w.parse(w.unscramble(self.key, data))
            except ValueError as err:
                self.log.add({"server": i, "port": port, "from": list(sender), "error": str(err)})
                continue
            entry = w.describe(msg_type, payload, self.login_key)
            entry.update({"server": i, "port": port, "from": list(sender)})
            self.log.add(entry)
            with self.lock:
                script = dict(self.scripts[i])
            if port == self.main[i].getsockname()[1]:
                self.answer(i, sender, msg_type, payload, script)

    def answer(self, i, sender, msg_type, payload, script):
        seen = script["report"] or list(sender)
        if msg_type == 0x00 and script["hello"] != "silence":
            sock = self.second[i] if script["hello"] == "second_port" else None
            self.send(i, sender, w.build("hello_ack", {"addr": seen}), sock)
        elif msg_type in (0x12, 0x16) and script["login"] != "silence":
            with self.lock:
                self.camera[i] = list(sender)
            name = "dev_lgn_ack_crc" if script["login_byte"] == 0x13 else "dev_lgn_ack"
            self.send(i, sender, w.build(name, {"result": script["result"], "login_key": self.login_key}))
        elif msg_type == 0x20 and script["p2p_req"] == "punch":
            with self.lock:
                camera = self.camera[i]
            self.send(i, sender, w.build("p2p_req_ack", {"result": 0 if camera else 1}))
            if camera:
                self.send(i, camera, w.build("punch_to", {"addr": list(sender)}))
                self.send(i, sender, w.build("punch_to", {"addr": camera}))
        elif msg_type in (0x67, 0x68):
            self.send(i, sender, w.build("list_req_ack", {"relays": script["relays"]}))
        elif msg_type == 0x80 and len(payload) == 40:
            with self.lock:
                camera = self.camera[i]
            self.send(i, sender, w.build("rly_req_ack", {"result": 0 if camera else 1}))
            if camera:
                relay = script["relay_for_camera"] or list(w.read_addr(payload[20:36]))
                ticket = struct.unpack(">I", payload[36:40])[0]
                self.send(i, camera, w.build("rly_to", {"relay": relay, "ticket": ticket}))

    def control(self, cmd):
        name = cmd.get("cmd")
        if name == "udp_script":
            which = cmd.get("server", -1)
            with self.lock:
                for i in range(len(self.scripts)):
                    if which in (-1, i):
                        self.scripts[i].update({k: v for k, v in cmd.items() if k not in ("cmd", "server")})
            return {"ok": True}
        if name == "udp_send":
            i = cmd.get("server", 0)
            to = cmd["to"]
            if to == "camera":
                with self.lock:
                    to = self.camera[i]
                if to is None:
                    return {"error": "no camera logged in"}
            self.send(i, to, w.build(cmd["msg"], cmd))
            return {"ok": True, "to": list(to)}
        return base.log_command(self.log, cmd)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--udp", default="")
    parser.add_argument("--udp-port", type=int, default=32100)
    parser.add_argument("--control", required=True)
    parser.add_argument("--key", default=w.P2P_KEY)
    parser.add_argument("--login-key", default=w.LOGIN_KEY)
    args = parser.parse_args()
    udp_hosts = [h for h in args.udp.split(",") if h]
    tcp = Server(args, udp_hosts or [args.host]) if args.port else None
    udp = UdpServers(args, udp_hosts) if udp_hosts else None

    def handler(cmd):
        if udp is not None:
            answer = udp.control(cmd)
            if answer is not None:
                return answer
        if tcp is not None:
            return tcp.control(cmd)
        return {"error": "unknown command"}

    base.control_loop(handler, args.control)


if __name__ == "__main__":
    main()
