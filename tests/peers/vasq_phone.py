#!/usr/bin/env python3
"""A phone of the streaming sessions, for the camera's session tests: ztp_phone.py's punching and
readiness, and on a ready UDP session the reliable channels (DRW blocks, their acknowledgements and
resends, Alive answers), written from the wire format alone. On them it speaks the session framing:

  channel 0  commands: BE32 length L, BE32 code, L - 4 bytes of parameters
  channel 1  RDT blocks: BE32 length, the block
  channel 2  video frames: BE32 32 + n, the 32-byte frame header (length n first, little-endian), n bytes
  channel 3  audio frames, framed as channel 2 (talk-back goes this way)

Every frame it gets is kept as [seq, n, crc32 of the payload]; every command as [code, hex].

Control: a unix socket, one JSON object per line each way (besides ztp_phone.py's commands):
  {"cmd":"command","code":c,"text":t}       a command with t as its parameters
  {"cmd":"talk","channel":3,"frames":k,"size":n}
                                             k frames whose payloads carry a counter pattern that goes
                                             on across frames and calls; each header holds seq and, in
                                             its flags word, the payload's crc32
  {"cmd":"declare","channel":c,"length":L,"send":m}
                                             a length prefix of L followed by m bytes (a lie when m < L)
  {"cmd":"stop_reading","channel":c}         blocks of channel c are neither acknowledged nor kept
  {"cmd":"disconnect"}                       Close to the camera
  {"cmd":"mute"}                             from now on nothing is answered or sent (a vanished phone)
  {"cmd":"received"} -> {"frames":{"2":[[seq,n,crc],...],"3":[...]},"commands":[[code,hex],...],
                         "rdt":hex,"closed":bool,"ready":bool,"unacked":n}
"""

import argparse
import os
import struct
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_peer_base as base  # noqa: E402
import ztp_phone  # noqa: E402
import ztp_wire as w  # noqa: E402

DRW, DRW_ACK, ALIVE, ALIVE_ACK, CLOSE = 0xD0, 0xD1, 0xE0, 0xE1, 0xF0
BLOCK = 1024
WINDOW = 96
RESEND_S = 0.3
QUIET = (DRW, DRW_ACK, ALIVE, ALIVE_ACK)  # not logged: a session sends thousands


class Channel:
    def __init__(self):
        self.next_send = 0
        self.queue = []  # (index, data) not yet sent
        self.unacked = {}  # index -> (data, time sent)
        self.expected = 0
        self.early = {}  # index -> data received before its turn
        self.stream = b""
        self.reading = True


class VasqPhone(ztp_phone.Phone):
    def __init__(self, args):
        self.ch = [Channel() for _ in range(8)]
        self.frames = {2: [], 3: []}
        self.commands = []
        self.rdt = b""
        self.closed = False
        self.muted = False
        self.counter = 0
        self.talk_seq = 0
        self.slock = threading.Lock()
        super().__init__(args)
        threading.Thread(target=self.pump, daemon=True).start()

    # ---- transport -------------------------------------------------------------------------------

    def serve(self):
        while True:
            data, sender = self.sock.recvfrom(2048)
            if self.muted:
                continue
            try:
                msg_type, payload = w.parse(w.unscramble(self.key, data))
            except ValueError as err:
                self.log.add({"from": list(sender), "error": str(err), "n": len(data)})
                continue
            if msg_type not in QUIET:
                entry = w.describe(msg_type, payload)
                entry["from"] = list(sender)
                self.log.add(entry)
            if msg_type == DRW and len(payload) >= 4 and payload[0] == 0xD1:
                self.on_block(sender, payload[1], struct.unpack(">H", payload[2:4])[0], payload[4:])
            elif msg_type == DRW_ACK and len(payload) >= 4 and payload[0] == 0xD1:
                (n,) = struct.unpack(">H", payload[2:4])
                with self.slock:
                    c = self.ch[payload[1] & 7]
                    for i in range(n):
                        c.unacked.pop(struct.unpack(">H", payload[4 + 2 * i:6 + 2 * i])[0], None)
            elif msg_type == ALIVE:
                self.send(sender, w.header(ALIVE_ACK, b""))
            elif msg_type == CLOSE:
                self.closed = True
            else:
                self.react(sender, msg_type, payload)

    def on_block(self, sender, channel, index, data):
        if channel > 7:
            return
        c = self.ch[channel]
        with self.slock:
            if not c.reading:
                return
        self.send(sender, w.header(DRW_ACK, bytes([0xD1, channel]) + struct.pack(">HH", 1, index)))
        with self.slock:
            if (index - c.expected) & 0xFFFF >= 0x8000 or index in c.early:
                return  # already had it
            c.early[index] = data
            while c.expected in c.early:
                c.stream += c.early.pop(c.expected)
                c.expected = (c.expected + 1) & 0xFFFF
            self.parse_stream(channel, c)

    def parse_stream(self, channel, c):
        while len(c.stream) >= 4:
            (n,) = struct.unpack(">I", c.stream[:4])
            if len(c.stream) < 4 + n:
                return
            body, c.stream = c.stream[4:4 + n], c.stream[4 + n:]
            if channel == 0 and n >= 4:
                self.commands.append([struct.unpack(">I", body[:4])[0], body[4:].hex()])
            elif channel == 1:
                self.rdt += body
            elif channel in (2, 3) and n >= 32:
                length, _codec, seq = struct.unpack("<III", body[:12])
                payload = body[32:]
                self.frames[channel].append([seq, length if length == len(payload) else -1,
                                             zlib.crc32(payload)])

    def write(self, channel, data):
        with self.slock:
            c = self.ch[channel]
            for off in range(0, len(data), BLOCK):
                c.queue.append((c.next_send, data[off:off + BLOCK]))
                c.next_send = (c.next_send + 1) & 0xFFFF

    def pump(self):
        """Sends queued blocks within the window and resends what stays unacknowledged."""
        while True:
            time.sleep(0.01)
            with self.lock:
                peer = self.ready
            if peer is None or self.closed or self.muted:
                continue
            now = time.monotonic()
            out = []
            with self.slock:
                for number, c in enumerate(self.ch):
                    for index, (data, sent) in c.unacked.items():
                        if now - sent > RESEND_S:
                            c.unacked[index] = (data, now)
                            out.append((number, index, data))
                    while c.queue and len(c.unacked) < WINDOW:
                        index, data = c.queue.pop(0)
                        c.unacked[index] = (data, now)
                        out.append((number, index, data))
            for number, index, data in out:
                self.send(peer, w.header(DRW, bytes([0xD1, number]) + struct.pack(">H", index) + data))

    # ---- session framing -------------------------------------------------------------------------

    def pattern(self, n):
        out = bytes((self.counter + i) & 0xFF for i in range(n))
        self.counter += n
        return out

    def control(self, cmd):
        name = cmd.get("cmd")
        if name == "command":
            text = cmd.get("text", "").encode()
            self.write(0, struct.pack(">II", 4 + len(text), cmd["code"]) + text)
            return {"ok": True}
        if name == "talk":
            channel = cmd.get("channel", 3)
            for _ in range(cmd.get("frames", 1)):
                payload = self.pattern(cmd.get("size", 320))
                head = struct.pack("<IIIIQII", len(payload), 0, self.talk_seq, zlib.crc32(payload), 0, 0, 0)
                self.talk_seq += 1
                self.write(channel, struct.pack(">I", 32 + len(payload)) + head + payload)
            return {"ok": True}
        if name == "declare":
            self.write(cmd.get("channel", 0), struct.pack(">I", cmd["length"]) + bytes(cmd.get("send", 0)))
            return {"ok": True}
        if name == "stop_reading":
            with self.slock:
                self.ch[cmd["channel"]].reading = False
            return {"ok": True}
        if name == "mute":
            self.muted = True
            return {"ok": True}
        if name == "disconnect":
            with self.lock:
                peer = self.ready
            if peer is not None:
                self.send(peer, w.header(CLOSE, b""))
            self.closed = True
            return {"ok": True}
        if name == "received":
            with self.slock, self.lock:
                return {"frames": {"2": self.frames[2], "3": self.frames[3]}, "commands": self.commands,
                        "rdt": self.rdt.hex(), "closed": self.closed, "ready": self.ready is not None,
                        "unacked": sum(len(c.unacked) + len(c.queue) for c in self.ch)}
        return super().control(cmd)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--control", required=True)
    parser.add_argument("--key", default=w.P2P_KEY)
    parser.add_argument("--did", default="ABC-123-XYZ")
    args = parser.parse_args()
    phone = VasqPhone(args)
    base.control_loop(phone.control, args.control)


if __name__ == "__main__":
    main()
