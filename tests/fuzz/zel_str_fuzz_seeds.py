"""Seed texts for the string helpers: the first byte picks delimiters and buffer sizes."""
import os
import sys

TEXTS = [b"a,b,,c , d", b"key:value,next:2}", b"line one\nline two\n\n", b'x "q" [12] "r" 3.5',
         b"ssid=home&pwd=1&", b"  true  ", b"-2147483649"]
SEEDS = [bytes([pick]) + t for t in TEXTS for pick in (0, 0x31, 0xf2, 0x1b)]

if __name__ == "__main__":
    for i, s in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
