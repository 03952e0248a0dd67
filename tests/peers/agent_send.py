#!/usr/bin/env python3
"""An outside app on the agent bus that sends any method of the bus's table and prints what it receives.

Written from the protocol alone: a SOCK_SEQPACKET socket on the abstract address (a NUL byte, the bus
name, zeros up to the full 108-byte path); each packet holds JSON texts back to back. Methods 0 to 4,
16 and 17 travel as requests with an id and are acknowledged {"id":..,"result":"OK"|"FAIL"}; all
others are broadcasts without an id.

usage: agent_send.py BUS_NAME [--register METHOD]... [--wait SECONDS] MESSAGE...
  MESSAGE is NAME_OR_NUMBER=JSON, for example set_flip_config_from_app=1 or 26='{"switch":0}'
  (a JSON text that does not parse is sent as a string: 34=call_on).
Every received text is printed on stdout as one line "recv <json>"; each sent one as "sent <json>".
The peer stays for --wait seconds (default 0.5) after its last send, and until every request it sent
is acknowledged (at most 10 s). Exits 0, or 1 when a request was not acknowledged.
"""
import json
import socket
import sys
import time

METHODS = [
    "set_motor", "set_motor_position", "set_lsd_config", "set_light", "set_night_mode", "wifi_start",
    "sdcard_rw", "local.status", "local.query_status", "get_qrcode", "set_wired_status", "set_wifi_status",
    "set_bind_status", "set_wifi_ssid", "set_wifi_passwd", "sdcard_status", "sdcard_format",
    "set_dev_status", "set_release_resource_over", "set_human_config_from_app",
    "set_motion_config_from_app", "set_flip_config_from_app", "set_hot_config_from_cloud",
    "set_voice_config_from_app", "new_record", "set_track_switch_from_app",
    "set_logo_watermark_from_app", "set_people_alarm_switch", "set_motion_alarm_switch",
    "set_lsd_alarm_switch", "sip_register", "set_hot_record", "set_hack_alarm", "set_speaker_vol",
    "set_speaker_status", "set_gb_ota_status", "onvif_register", "set_wdr_config_from_app",
    "set_full_color_from_app", "set_sdcard_unmount_cmd", "set_detection_sensi_cmd", "set_ldc_cmd",
    "set_sdcard_cmd", "set_sdcard_status", "set_sdcard_message", "set_sdcard_sejected",
]
REQUESTS = {0, 1, 2, 3, 4, 16, 17}
ACK_TIMEOUT_S = 10.0


def texts(packet):
    decoder = json.JSONDecoder()
    data = packet.decode("utf-8", errors="replace")
    pos, out = 0, []
    while pos < len(data):
        while pos < len(data) and data[pos].isspace():
            pos += 1
        if pos == len(data):
            break
        try:
            value, pos = decoder.raw_decode(data, pos)
        except ValueError:
            out.append(data[pos:])
            break
        out.append(value)
    return out


def parse_message(arg):
    name, _, text = arg.partition("=")
    index = int(name) if name.isdigit() else METHODS.index(name)
    try:
        params = json.loads(text)
    except ValueError:
        params = text
    return index, params


def main(argv):
    bus = argv[1].encode()
    wait_s, registers, messages = 0.5, [], []
    args = argv[2:]
    while args:
        arg = args.pop(0)
        if arg == "--wait":
            wait_s = float(args.pop(0))
        elif arg == "--register":
            registers.append(args.pop(0))
        else:
            messages.append(parse_message(arg))

    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    sock.connect(b"\0" + bus + b"\0" * (107 - len(bus)))

    def send(value):
        text = json.dumps(value, separators=(",", ":"))
        sock.send(text.encode("utf-8"))
        print("sent " + text, flush=True)

    for method in registers:
        send({"method": "register", "key": method})
    waiting, next_id = set(), 1000
    for index, params in messages:
        msg = {"method": METHODS[index], "params": params}
        if index in REQUESTS:
            msg = {"id": next_id, **msg}
            waiting.add(next_id)
            next_id += 1
        send(msg)

    quiet_until = time.monotonic() + wait_s
    ack_deadline = time.monotonic() + ACK_TIMEOUT_S
    while True:
        now = time.monotonic()
        until = max(quiet_until, ack_deadline if waiting else 0)
        if now >= until:
            break
        sock.settimeout(until - now)
        try:
            packet = sock.recv(65536)
        except socket.timeout:
            break
        if not packet:
            print("closed", flush=True)
            break
        for value in texts(packet):
            print("recv " + (json.dumps(value, separators=(",", ":")) if not isinstance(value, str) else value),
                  flush=True)
            if isinstance(value, dict) and "method" not in value:
                waiting.discard(value.get("id"))
    if waiting:
        print("not acknowledged: %s" % sorted(waiting), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
