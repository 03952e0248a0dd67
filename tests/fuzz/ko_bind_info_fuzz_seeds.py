"""Writes seed inputs for ko_bind_info_fuzz: bind information texts as a phone sends them."""
import base64
import os
import sys

def b64(s):
    return base64.b64encode(s).decode()

SEEDS = [
    "b=0123456789abcdef&t=Europe%%2FBerlin&r=de&s=%s&p=%s" % (b64(b"home"), b64(b"secret")),
    "b=k&t=UTC&s=%s&p=" % b64(b"x" * 32),
    "t=UTC&b=%%41%%42&s=&p=%s" % b64(b"p" * 63),
]

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, seed in enumerate(SEEDS):
    with open(os.path.join(out, "seed_%d" % i), "w") as f:
        f.write(seed)
