#!/usr/bin/env python3
"""A relay's session side, for the camera's relay tests: the TCP relay (--port) and the UDP relay
(--udp-port).

It accepts connections, reads the camera's 28-byte request (prefix 8 bytes, BE32 serial, check code
8 bytes, BE32 ticket, role byte, three zero bytes; no message header, no scrambling), appends it to
the log file as one JSON line {"prefix","serial","check","ticket","role","zeros_ok","hex"}, and
answers per --mode: "ok" the 48-byte answer (two addresses in the 24-byte wire form: --peer and
--wan), "short" only 40 of those bytes, "stall" nothing (the connection stays open), "close" a
close without answer.

The UDP relay serves the connecting side: RlyHello is answered with RlyHelloAck, RlyPort with
RlyPortAck (a new ticket and the port of a new socket for the session), and the sender is that
ticket's client. It takes the device's RlyPkt (0x83: ticket, DID, side byte), on the main port or a
session's, and logs {"udp":"rly_pkt","ticket","side","from"} to the same file. A RlyPkt whose ticket
has a client is answered with RlyRdy (the packet's DID) to both sides from the socket it came to,
and every other datagram to that socket is then forwarded between them unchanged. A RlyPkt of an
unknown ticket is answered with RlyRdy to its sender alone. With --udp-mode silent no RlyPkt is
answered.

With --echo, a TCP session that was answered "ok" runs the reliable channels (ztp_channels.py) on
the relay's side and sends back on each channel what arrives on it, so that the camera can check
its own streams.
"""

import argparse
import json
import os
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_channels as ch  # noqa: E402
import ztp_wire as w  # noqa: E402


def serve(conn, args, log_lock):
    try:
        req = w.recv_exact(conn, 28)
        entry = {
            "prefix": req[0:8].rstrip(b"\0").decode("latin-1"),
            "serial": struct.unpack(">I", req[8:12])[0],
            "check": req[12:20].rstrip(b"\0").decode("latin-1"),
            "ticket": struct.unpack(">I", req[20:24])[0],
            "role": req[24],
            "zeros_ok": req[25:28] == b"\0\0\0",
            "hex": req.hex(),
        }
        with log_lock, open(args.log, "a") as f:
            f.write(json.dumps(entry) + "\n")
        answer = w.addr24(*split(args.peer)) + w.addr24(*split(args.wan))
        if args.mode == "ok":
            conn.sendall(answer)
        elif args.mode == "short":
            conn.sendall(answer[:40])
        elif args.mode == "stall":
            threading.Event().wait()
        elif args.mode == "close":
            return
        if args.echo and args.mode == "ok":
            echo(conn, args)
            return
        # Keep the connection until the camera closes it.
        while conn.recv(4096):
            pass
    except (EOFError, OSError, ValueError):
        pass
    finally:
        conn.close()


def echo(conn, args):
    engine = ch.Engine(lambda msg: conn.sendall(w.tcp_frame(msg, args.key)), None, tcp=True)
    engine.mode({"echo": True})
    try:
        while True:
            head = w.recv_exact(conn, 8)
            body = w.recv_exact(conn, struct.unpack(">H", head[:2])[0])
            msg_type, payload = w.parse(w.tcp_open(head, body, args.key))
            engine.on_message(msg_type, payload)
    finally:
        engine.stop = True


def serve_udp(args, log_lock):
    main = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    main.bind((args.host, args.udp_port))
    clients = {}  # ticket -> the connecting side's address
    lock = threading.Lock()

    def log(entry):
        with log_lock, open(args.log, "a") as f:
            f.write(json.dumps(entry) + "\n")

    def serve(sock):
        pairs = {}  # address -> the other side's address, on this socket
        while True:
            data, sender = sock.recvfrom(2048)
            try:
                msg_type, payload = w.parse(w.unscramble(args.key, data))
            except ValueError:
                msg_type, payload = None, b""
            if msg_type == 0x70:
                sock.sendto(w.scramble(args.key, w.header(0x71, b"")), sender)
            elif msg_type == 0x72:
                # A port of its own for the session, so that one camera can keep several through here.
                session = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                session.bind((args.host, 0))
                with lock:
                    ticket = 1000 + len(clients)
                    clients[ticket] = sender
                threading.Thread(target=serve, args=(session,), daemon=True).start()
                ack = w.build("rly_port_ack", {"ticket": ticket, "port": session.getsockname()[1]})
                sock.sendto(w.scramble(args.key, ack), sender)
            elif msg_type == 0x83 and len(payload) == 28:
                ticket = struct.unpack(">I", payload[:4])[0]
                side = 1 if payload[24] else 0
                log({"udp": "rly_pkt", "ticket": ticket, "side": side, "from": list(sender)})
                rdy = w.scramble(args.key, w.header(0x84, payload[4:24]))
                if args.udp_mode == "silent":
                    continue
                with lock:
                    client = clients.get(ticket)
                if client is not None:
                    pairs[sender], pairs[client] = client, sender
                    sock.sendto(rdy, client)
                sock.sendto(rdy, sender)
            elif sender in pairs:
                sock.sendto(data, pairs[sender])

    serve(main)


def split(text):
    ip, port = text.rsplit(":", 1)
    return ip, int(port)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--udp-port", type=int, default=0)
    parser.add_argument("--udp-mode", default="solo", choices=["solo", "silent"])
    parser.add_argument("--key", default=w.P2P_KEY)
    parser.add_argument("--mode", default="ok", choices=["ok", "short", "stall", "close"])
    parser.add_argument("--log", required=True)
    parser.add_argument("--echo", action="store_true")
    parser.add_argument("--peer", default="198.18.0.20:6001")
    parser.add_argument("--wan", default="198.18.0.21:6002")
    args = parser.parse_args()
    if args.port:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((args.host, args.port))
        listener.listen(16)
    # The log file tells a test that the TCP relay listens.
    open(args.log, "a").close()
    log_lock = threading.Lock()
    if args.udp_port:
        threading.Thread(target=serve_udp, args=(args, log_lock), daemon=True).start()
    if not args.port:
        threading.Event().wait()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, args, log_lock), daemon=True).start()


if __name__ == "__main__":
    main()
