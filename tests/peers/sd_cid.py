#!/usr/bin/env python3
"""Decodes an SD card's CID register from its 32 hex digits, written from the register layout alone
(MID 8 bits, OID 16, PNM 40, PRV 8, PSN 32, 4 reserved, MDT 12 = year since 2000 and month, CRC 7, 1),
and prints {"manufacturer_id", "storage", "class", "serial", "date"} as JSON, or {} for bad input.

Usage: sd_cid.py CID
"""
import json
import sys


def main():
    text = sys.argv[1]
    try:
        if len(text) != 32:
            raise ValueError
        value = int(text, 16)
    except ValueError:
        print("{}")
        return
    bits = lambda hi, lo: (value >> lo) & ((1 << (hi - lo + 1)) - 1)
    # Bytes outside printable ASCII are shown as "?" (the name is sent as JSON text).
    name = "".join(chr(b) if 0x20 <= b < 0x7F else "?" for b in bits(103, 64).to_bytes(5, "big"))
    prv = bits(63, 56)
    mdt = bits(19, 8)
    print(json.dumps({"manufacturer_id": bits(127, 120), "storage": name, "class": "%d.%d" % (prv >> 4, prv & 15),
                      "serial": "0x%08x" % bits(55, 24), "date": "%d.%d" % (2000 + (mdt >> 4), mdt & 15)}))


if __name__ == "__main__":
    main()
