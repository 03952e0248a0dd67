"""Seed packets for a module's receive handler: a message of each params kind, replies and a batch."""
import os
import sys

SEEDS = [
    b'{"id":9,"method":"set_motor","params":3}',
    b'{"id":10,"method":"set_motor_position","params":"12,40"}',
    b'{"method":"wifi_start","params":{"ssid":"home","passwd":"secret"}}',
    b'{"id":11,"method":"set_lsd_config","params":2,"is_register":1}',
    b'{"method":"local.status","params":{"a":[1,2]}}',
    b'{"id":1,"result":"OK"}{"id":2,"result":"FAIL"}{"id":3}',
    b'{"method":"sdcard_status","params":1}\n{"method":"unknown","params":0}',
]

if __name__ == "__main__":
    for i, seed in enumerate(SEEDS):
        with open(os.path.join(sys.argv[1], "seed-%d" % i), "wb") as f:
            f.write(seed)
