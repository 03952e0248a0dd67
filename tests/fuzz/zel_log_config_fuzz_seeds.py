"""Seed logging configurations: stdout, stderr and file appenders with the loggers that use them."""
import os
import sys

SEEDS = [
    b"[console]\ntype = stdout\nlevel = debug\ncolor = false\n\n[app]\nappender = console\nformat = level,tag,line\n"
    b"async = false\ndefault = true\n",
    b"[f]\ntype = file\nfile = /tmp/app.log\nlimit = 2\nsize = 1024\nlevel = 2\n\n[a]\nappender = all\nlevel = info\n",
    b"[e]\ntype=stderr\nenable=0\n[a]\nappender=e,f,,x\nasync=true\nformat=thread,process,func,file\n",
]

if __name__ == "__main__":
    for i, s in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(s)
