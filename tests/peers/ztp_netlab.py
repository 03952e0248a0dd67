#!/usr/bin/env python3
"""A small internet of network namespaces for the camera's real-NAT tests (root and nftables).

  ztp_netlab.py up NAME [--cam-nat KIND] [--phone-nat KIND]
  ztp_netlab.py down NAME

Namespaces: NAME-srv holds the servers 198.18.0.1-3 and the relay 198.18.0.4 (on its loopback)
and forwards between the two WAN links; NAME-rc and NAME-rp are the camera's and the phone's
routers; NAME-cam (198.19.1.2 behind NAME-rc) and NAME-phone (198.19.2.2 behind NAME-rp).
WAN links: NAME-rc 198.18.10.2 (and 198.18.10.3) to NAME-srv 198.18.10.1, NAME-rp 198.18.20.2 to
198.18.20.1. A router KIND is:
  masquerade    keeps the port; new packets coming in on its WAN side are dropped before
                routing, so an early punch leaves no state that would make it re-map the port
  fully-random  masquerade fully-random, the same drop
  snat-second   as masquerade, but traffic to 198.18.0.3 leaves from 198.18.10.3
  none          (camera side only) no router: NAME-cam sits on the WAN link as 198.18.10.2
Only 198.18.0.0/15 is used, and only inside these namespaces. `down` removes all of it and is safe
to run again.
"""

import subprocess
import sys

ROLES = ("srv", "rc", "rp", "cam", "phone")


def sh(*args, check=True):
    return subprocess.run(list(args), check=check, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def ns(name, role, *args):
    sh("ip", "netns", "exec", name + "-" + role, *args)


def link(name, a, b, ifa, ifb):
    sh("ip", "link", "add", ifa, "netns", name + "-" + a, "type", "veth", "peer", "name", ifb, "netns",
       name + "-" + b)


def router_rules(kind):
    nat = "masquerade fully-random" if kind == "fully-random" else "masquerade"
    snat = 'ip daddr 198.18.0.3 snat to 198.18.10.3\n        ' if kind == "snat-second" else ""
    return ("table ip lab {\n"
            "    chain natout { type nat hook postrouting priority 100;\n"
            "        oifname \"wan\" " + snat + "oifname \"wan\" " + nat + "\n    }\n"
            "    chain guard { type filter hook prerouting priority 0;\n"
            "        iifname \"wan\" ct state new drop\n    }\n"
            "}\n")


def up(name, cam_nat, phone_nat):
    for role in ROLES:
        sh("ip", "netns", "add", name + "-" + role)
        ns(name, role, "ip", "link", "set", "lo", "up")
    for a in ("198.18.0.1", "198.18.0.2", "198.18.0.3", "198.18.0.4"):
        ns(name, "srv", "ip", "addr", "add", a + "/32", "dev", "lo")
    ns(name, "srv", "sysctl", "-q", "-w", "net.ipv4.ip_forward=1")
    # Camera side.
    cam_side = "cam" if cam_nat == "none" else "rc"
    link(name, "srv", cam_side, "to-c", "wan")
    ns(name, "srv", "ip", "addr", "add", "198.18.10.1/24", "dev", "to-c")
    ns(name, "srv", "ip", "link", "set", "to-c", "up")
    ns(name, cam_side, "ip", "addr", "add", "198.18.10.2/24", "dev", "wan")
    ns(name, cam_side, "ip", "addr", "add", "198.18.10.3/24", "dev", "wan")
    ns(name, cam_side, "ip", "link", "set", "wan", "up")
    ns(name, cam_side, "ip", "route", "add", "default", "via", "198.18.10.1")
    if cam_nat != "none":
        link(name, "rc", "cam", "lan", "eth0")
        ns(name, "rc", "ip", "addr", "add", "198.19.1.1/24", "dev", "lan")
        ns(name, "rc", "ip", "link", "set", "lan", "up")
        ns(name, "rc", "sysctl", "-q", "-w", "net.ipv4.ip_forward=1")
        ns(name, "cam", "ip", "addr", "add", "198.19.1.2/24", "dev", "eth0")
        ns(name, "cam", "ip", "link", "set", "eth0", "up")
        ns(name, "cam", "ip", "route", "add", "default", "via", "198.19.1.1")
        subprocess.run(["ip", "netns", "exec", name + "-rc", "nft", "-f", "-"], input=router_rules(cam_nat).encode(),
                       check=True)
    # Phone side.
    link(name, "srv", "rp", "to-p", "wan")
    ns(name, "srv", "ip", "addr", "add", "198.18.20.1/24", "dev", "to-p")
    ns(name, "srv", "ip", "link", "set", "to-p", "up")
    ns(name, "rp", "ip", "addr", "add", "198.18.20.2/24", "dev", "wan")
    ns(name, "rp", "ip", "link", "set", "wan", "up")
    ns(name, "rp", "ip", "route", "add", "default", "via", "198.18.20.1")
    link(name, "rp", "phone", "lan", "eth0")
    ns(name, "rp", "ip", "addr", "add", "198.19.2.1/24", "dev", "lan")
    ns(name, "rp", "ip", "link", "set", "lan", "up")
    ns(name, "rp", "sysctl", "-q", "-w", "net.ipv4.ip_forward=1")
    ns(name, "phone", "ip", "addr", "add", "198.19.2.2/24", "dev", "eth0")
    ns(name, "phone", "ip", "link", "set", "eth0", "up")
    ns(name, "phone", "ip", "route", "add", "default", "via", "198.19.2.1")
    subprocess.run(["ip", "netns", "exec", name + "-rp", "nft", "-f", "-"], input=router_rules(phone_nat).encode(),
                   check=True)


def down(name):
    for role in ROLES:
        sh("ip", "netns", "del", name + "-" + role, check=False)


def main(argv):
    if len(argv) >= 3 and argv[1] == "down":
        down(argv[2])
        return 0
    if len(argv) >= 3 and argv[1] == "up":
        opts = dict(zip(argv[3::2], argv[4::2]))
        try:
            up(argv[2], opts.get("--cam-nat", "masquerade"), opts.get("--phone-nat", "masquerade"))
        except subprocess.CalledProcessError as err:
            sys.stderr.write("netlab: %s: %s\n" % (" ".join(err.cmd), (err.stderr or b"").decode().strip()))
            down(argv[2])
            return 1
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
