"""Seed settings store files: sections, key lines, comments, a continued line and the zero fill."""
import os
import sys

SEEDS = [
    b"\n[ipc]\npower                          = 1\nname                           = cam\n\n[net]\nssid = x\n\n",
    b"# comment\n; other\n[default]\nmodel = ZM-1\n",
    b"[a]\nlong = one \\\n two\n",
    b"[a]\nk = v\n" + b"\0" * 7,
    b"[sec]\nkey=value=more\n[empty]\n",
]

if __name__ == "__main__":
    for i, seed in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(seed)
