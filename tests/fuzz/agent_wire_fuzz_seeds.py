"""Seed agent-bus packets: requests, broadcasts, registrations and replies, alone and back to back."""
import os
import sys

SEEDS = [
    b'{"id":3,"method":"lumo.ota.start","params":5}',
    b'{"method":"lumo.motion.event","params":"on"}',
    b'{"method":"register","key":"lumo.motion.event"}',
    b'{"id":1,"result":"OK"}{"id":2,"result":"FAIL"}',
    b'{"method":"SDKhello"}\n{"id":7,"method":"x","params":{"ssid":"a","passwd":"b"},"is_register":1}',
    b'{"id":4,"params":["a","b",3],"is_register":true}\0\0',
]

if __name__ == "__main__":
    for i, seed in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(seed)
