"""Seed INI texts: default-section keys, headers, comments, blank and odd lines."""
import os
import sys

SEEDS = [
    b"a = 1\nb=two\n\n[net]\nssid = home\nport = 80\n# note\n[video]\nfps=15\nratio = 0.5\nhdr = true\n",
    b"[  spaced  ]\n  key  =  value with spaces  \n=lead = x\n",
    b"[]\nbad\n",
    b"[a]]\nk==v\n\r\n\t# c\n",
]

if __name__ == "__main__":
    for i, seed in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(seed)
