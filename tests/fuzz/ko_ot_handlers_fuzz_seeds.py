"""Writes seed inputs for ko_ot_handlers_fuzz: a handler byte and the daemon's request text."""
import os
import sys

SEEDS = [
    b'\x00{"method":"local.status","params":"cloud_connected"}',
    b'\x01{"method":"local.did","params":123456789}',
    b'\x02{"method":"local.time","params":1700000000}',
    b'\x03{"method":"local.bind","result":"ok"}',
    b'\x04{"method":"local.pincode","params":{"pin_code":"1234"}}',
    b'\x05{"method":"_internal.wifi_start","params":{"ssid":"home","passwd":"secret","tz":"UTC",'
    b'"country_domain":"de","ssid_5g":"home5","passwd_5g":"x"},"id":3}',
    b'\x06{"method":"_internal.wifi_reload","params":{"reload":1}}',
    b'\x07{"method":"_internal.wifi_disconnect_req","params":{"ssid":"home","bssid":"00:11"}}',
    b'\x08{"method":"_internal.update_token","params":{"ntoken":"00112233445566778899aabbccddeeff00"}}',
    b'\x09{"method":"_internal.request_dinfo","params":"/tmp/x","id":1}',
    b'\x0a{"method":"_internal.req_wifi_conf_status","id":2}',
    b'\x0b{"method":"_internal.request_ot_config","id":3}',
    b'\x0c{"method":"_internal.info","id":4}',
]

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, seed in enumerate(SEEDS):
    with open(os.path.join(out, "seed_%d" % i), "wb") as f:
        f.write(seed)
