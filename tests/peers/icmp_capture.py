#!/usr/bin/env python3
"""Records every ICMP echo request that reaches this host (run it inside the router's namespace).

  icmp_capture.py OUT

Each request's ICMP bytes (after the IP header, whose length is read from the datagram) go to OUT as
one line "SOURCE HEX". Prints "ready" once the raw socket is open.
"""
import socket
import sys


def main():
    sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    print("ready", flush=True)
    with open(sys.argv[1], "a") as out:
        while True:
            datagram, peer = sock.recvfrom(65535)
            header = (datagram[0] & 0x0F) * 4
            icmp = datagram[header:]
            if icmp[:1] == b"\x08":
                out.write("%s %s\n" % (peer[0], icmp.hex()))
                out.flush()


if __name__ == "__main__":
    main()
