"""Seed requests for the settings socket handler: the same requests as the wire decoder's."""
import importlib.util
import os
import sys

spec = importlib.util.spec_from_file_location(
    "wire_seeds", os.path.join(os.path.dirname(os.path.abspath(__file__)), "zel_db_wire_fuzz_seeds.py"))
wire = importlib.util.module_from_spec(spec)
spec.loader.exec_module(wire)

if __name__ == "__main__":
    for i, seed in enumerate(wire.SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(seed)
