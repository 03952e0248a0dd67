#!/usr/bin/env python3
"""A hostile app on the agent bus, written from the protocol alone.

usage: agent_flooder.py BUS_NAME flood METHOD THREADS SECONDS
         registers METHOD on a connection it never reads, then sends packets of twenty broadcasts
         of METHOD from THREADS threads (a connection each) as fast as the bus takes them for SECONDS
       agent_flooder.py BUS_NAME idle COUNT SECONDS
         opens COUNT connections and holds them for SECONDS without a word
Prints "ready" once the flood runs or the connections are open, and "done" at the end.
The bus is a SOCK_SEQPACKET socket at the abstract address: a NUL byte, the bus name, zeros up to
the full 108-byte path.
"""
import json
import socket
import sys
import threading
import time


def connect(name):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    sock.connect(b"\0" + name + b"\0" * (107 - len(name)))
    return sock


def flood(name, method, threads, seconds):
    deaf = connect(name)
    deaf.send(json.dumps({"method": "register", "key": method}).encode())
    time.sleep(0.2)
    end = time.monotonic() + seconds
    # Twenty broadcasts back to back in each packet, as the bus allows.
    packet = json.dumps({"method": method, "params": "x" * 200}, separators=(",", ":")).encode() * 20

    def run():
        sock = connect(name)
        sock.settimeout(1.0)
        while time.monotonic() < end:
            try:
                sock.send(packet)
            except socket.timeout:
                pass

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for w in workers:
        w.start()
    print("ready", flush=True)
    for w in workers:
        w.join()
    deaf.close()


def idle(name, count, seconds):
    socks = []
    for _ in range(count):
        try:
            socks.append(connect(name))
        except OSError:
            pass
    print("ready", flush=True)
    time.sleep(seconds)


def main():
    name = sys.argv[1].encode()
    if sys.argv[2] == "flood":
        flood(name, sys.argv[3], int(sys.argv[4]), float(sys.argv[5]))
    else:
        idle(name, int(sys.argv[3]), float(sys.argv[4]))
    print("done", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
