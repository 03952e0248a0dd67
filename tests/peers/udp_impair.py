#!/usr/bin/env python3
"""A UDP proxy between a phone and the camera that loses, reorders, duplicates and delays
datagrams, for the channel tests (this kernel has no netem).

It binds one socket (--host, --port or a free port). Datagrams from --phone go to the camera, the
last other sender; datagrams from anyone else go to the phone. Each datagram, on its own and drawn
from one random generator seeded with --seed, is lost (--loss, a fraction), held back a further
--reorder-ms so that later ones overtake it (--reorder), sent twice (--dup), and delayed --delay-ms
(each way).

Control: a unix socket, one JSON object per line each way:
  {"cmd":"state"} -> {"port","camera":[ip,port] or null,"in","out","lost","reordered","duplicated"}
  {"cmd":"set","loss":f,"reorder":f,"dup":f,"delay_ms":n}
  {"cmd":"quit"}
"""

import argparse
import heapq
import os
import random
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_peer_base as base  # noqa: E402


class Impair:
    def __init__(self, args):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 21)
        self.sock.bind((args.host, args.port))
        ip, port = args.phone.rsplit(":", 1)
        self.phone = (ip, int(port))
        self.camera = None
        self.rng = random.Random(args.seed)
        self.loss, self.reorder, self.dup = args.loss, args.reorder, args.dup
        self.delay = args.delay_ms / 1000.0
        self.reorder_delay = args.reorder_ms / 1000.0
        self.counts = {"in": 0, "out": 0, "lost": 0, "reordered": 0, "duplicated": 0}
        self.queue = []  # (due, seq, data, to)
        self.seq = 0
        self.cond = threading.Condition()
        threading.Thread(target=self.receive, daemon=True).start()
        threading.Thread(target=self.release, daemon=True).start()

    def receive(self):
        while True:
            data, sender = self.sock.recvfrom(4096)
            with self.cond:
                if sender == self.phone:
                    to = self.camera
                else:
                    self.camera = sender
                    to = self.phone
                self.counts["in"] += 1
                if to is None:
                    continue
                if self.rng.random() < self.loss:
                    self.counts["lost"] += 1
                    continue
                copies = 1
                if self.rng.random() < self.dup:
                    self.counts["duplicated"] += 1
                    copies = 2
                due = time.monotonic() + self.delay
                if self.rng.random() < self.reorder:
                    self.counts["reordered"] += 1
                    due += self.reorder_delay
                if due <= time.monotonic() and copies == 1 and not self.queue:
                    self.send(data, to)
                    continue
                for _ in range(copies):
                    heapq.heappush(self.queue, (due, self.seq, data, to))
                    self.seq += 1
                self.cond.notify()

    def send(self, data, to):
        try:
            self.sock.sendto(data, to)
            self.counts["out"] += 1
        except OSError:
            pass

    def release(self):
        with self.cond:
            while True:
                if not self.queue:
                    self.cond.wait()
                    continue
                wait = self.queue[0][0] - time.monotonic()
                if wait > 0:
                    self.cond.wait(wait)
                    continue
                _, _, data, to = heapq.heappop(self.queue)
                self.send(data, to)

    def control(self, cmd):
        name = cmd.get("cmd")
        if name == "state":
            with self.cond:
                state = dict(self.counts)
                state["port"] = self.sock.getsockname()[1]
                state["camera"] = list(self.camera) if self.camera else None
                return state
        if name == "set":
            with self.cond:
                self.loss = cmd.get("loss", self.loss)
                self.reorder = cmd.get("reorder", self.reorder)
                self.dup = cmd.get("dup", self.dup)
                self.delay = cmd.get("delay_ms", self.delay * 1000.0) / 1000.0
            return {"ok": True}
        if name == "quit":
            os._exit(0)
        return {"error": "unknown command"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--phone", required=True, help="ip:port")
    parser.add_argument("--control", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--loss", type=float, default=0.0)
    parser.add_argument("--reorder", type=float, default=0.0)
    parser.add_argument("--reorder-ms", type=float, default=3.0)
    parser.add_argument("--dup", type=float, default=0.0)
    parser.add_argument("--delay-ms", type=float, default=0.0)
    args = parser.parse_args()
    proxy = Impair(args)
    base.control_loop(proxy.control, args.control)


if __name__ == "__main__":
    main()
