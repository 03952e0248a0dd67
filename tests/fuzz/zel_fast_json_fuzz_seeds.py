"""Seed inputs for the fast JSON readers: a byte with the key length, the key, then the JSON text."""
import os
import sys


def seed(key, text):
    return bytes([len(key)]) + key + text


TEXT = b'{"name":"cam","empty":"","n":42,"x":1.5,"on":true,"list":["a","b"],"ints":[1,2,3],"flags":[true,false]}'
SEEDS = [seed(k, TEXT) for k in (b"name", b"empty", b"n", b"x", b"on", b"list", b"ints", b"flags", b"none")]
SEEDS.append(seed(b"k", b"{'k':'single'}"))

if __name__ == "__main__":
    for i, s in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
