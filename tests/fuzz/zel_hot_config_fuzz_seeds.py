"""Seed texts for the hot-configuration parser: the first byte picks buffer sizes."""
import os
import sys

TEXTS = [
    b'{"ver":"1.0.3","video":[{"res":0,"pt":96,"bps":9,"fps":25,"bps_c":1,"pf":2}],'
    b'"audio":{"at":1032,"v":80,"sr":16000,"sb":16},"osd":[{"x":16,"y":32,"data":"Front door"}]}',
    b'{"ver":"12345678901","video":[{"fps":1},{"fps":2},{"fps":3}]}',
    b'{"ver":"2","osd":[{"x":1,"y":1,"data":""},{"x":2,"y":2,"data":"a"}]}',
    b'{"ver":3,"record":{"on":1},"video":{"fps":"x"}}',
    b'{"ver":"4","audio":[],"osd":"text"}',
]
SEEDS = [bytes([pick]) + t for t in TEXTS for pick in (0, 0x01, 0x4f, 0xff)]

if __name__ == "__main__":
    for i, s in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
