#!/usr/bin/env python3
"""A phone of the streaming sessions, for the camera's session tests: ztp_phone.py's punching,
readiness and reliable channels (ztp_channels.py), and on them the session framing, written from
the wire format alone:

  channel 0  commands: BE32 length L, BE32 code, L - 4 bytes of parameters
  channel 1  RDT blocks: BE32 length, the block
  channel 2  video frames: BE32 32 + n, the 32-byte frame header (length n first, little-endian), n bytes
  channel 3  audio frames, framed as channel 2 (talk-back goes this way)

Every frame it gets is kept as [seq, n, crc32 of the payload] (n is -1 when the header's length
disagrees with the bytes that came); every command as [code, hex].

Control: a unix socket, one JSON object per line each way (besides ztp_phone.py's commands):
  {"cmd":"command","code":c,"text":t}       a command with t as its parameters
  {"cmd":"talk","channel":3,"frames":k,"size":n}
                                             k frames whose payloads carry a counter pattern that goes
                                             on across frames and calls; each header holds seq and, in
                                             its flags word, the payload's crc32
  {"cmd":"declare","channel":c,"length":L,"send":m}
                                             a length prefix of L followed by m zero bytes (a lie when
                                             m < L)
  {"cmd":"stop_reading","channel":c}         blocks of channel c are neither acknowledged nor kept
  {"cmd":"mute"}                             nothing is answered or sent any more (a vanished phone)
  {"cmd":"disconnect"}                       Close to the camera
  {"cmd":"renew"}                            this phone goes away without a word (its socket closed,
                                             its channels stopped) and a new one takes its place on a
                                             fresh port of the same host: many phones in turn from one
                                             process
  {"cmd":"received"} -> {"frames":{"2":[[seq,n,crc],...],"3":[...]},"commands":[[code,hex],...],
                         "rdt":hex,"ready":bool}
"""

import argparse
import os
import socket
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ztp_channels as ch  # noqa: E402
import ztp_phone  # noqa: E402
import ztp_wire as w  # noqa: E402


class SessionEngine(ch.Engine):
    """The channels carry the session framing instead of the transport tests' pattern."""

    def __init__(self, send, log):
        self.stream = [b""] * ch.CHANNELS
        self.stalled = set()
        self.frames = {2: [], 3: []}
        self.commands = []
        self.rdt = b""
        super().__init__(send, log)

    def _on_drw(self, number, idx, data):
        if number not in self.stalled:
            super()._on_drw(number, idx, data)

    def _deliver(self, c, data):
        self.stream[c.number] += data
        buf = self.stream[c.number]
        while len(buf) >= 4:
            (n,) = struct.unpack(">I", buf[:4])
            if len(buf) < 4 + n:
                break
            body, buf = buf[4:4 + n], buf[4 + n:]
            if c.number == 0 and n >= 4:
                self.commands.append([struct.unpack(">I", body[:4])[0], body[4:].hex()])
            elif c.number == 1:
                self.rdt += body
            elif c.number in (2, 3) and n >= 32:
                length, _codec, seq = struct.unpack("<III", body[:12])
                payload = body[32:]
                self.frames[c.number].append([seq, length if length == len(payload) else -1, zlib.crc32(payload)])
        self.stream[c.number] = buf

    def write(self, number, data):
        with self.lock:
            self.ch[number].source += data


class VasqPhone(ztp_phone.Phone):
    def __init__(self, args):
        self.counter = 0
        self.talk_seq = 0
        super().__init__(args)

    def serve(self, sock):
        try:
            super().serve(sock)
        except OSError:
            pass  # the socket of a phone that has been renewed away

    def retire(self):
        if self.engine is not None:
            self.engine.stop = True
        # The shutdown wakes the serving thread's pending receive; the close then ends that thread.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def session_ready(self):
        if self.engine is None:
            self.engine = SessionEngine(lambda msg: self.send(self.ready, msg, self.peer_sock), self.log)

    def react(self, sender, msg_type, payload):
        if msg_type == 0x84:  # ready through a relay: the engine first, as for the other links
            self.session_ready()
        super().react(sender, msg_type, payload)

    def pattern(self, n):
        out = bytes((self.counter + i) & 0xFF for i in range(n))
        self.counter += n
        return out

    def control(self, cmd):
        name = cmd.get("cmd")
        e = self.engine
        if name == "received":
            with self.lock:
                ready = self.ready is not None
            if e is None:
                return {"frames": {"2": [], "3": []}, "commands": [], "rdt": "", "ready": ready}
            with e.lock:
                return {"frames": {"2": list(e.frames[2]), "3": list(e.frames[3])}, "commands": list(e.commands),
                        "rdt": e.rdt.hex(), "ready": ready}
        if name not in ("command", "talk", "declare", "stop_reading", "mute", "disconnect"):
            return super().control(cmd)
        if e is None:
            return {"error": "no session"}
        if name == "command":
            text = cmd.get("text", "").encode()
            e.write(0, struct.pack(">II", 4 + len(text), cmd["code"]) + text)
        elif name == "talk":
            channel = cmd.get("channel", 3)
            out = b""
            for _ in range(cmd.get("frames", 1)):
                payload = self.pattern(cmd.get("size", 320))
                head = struct.pack("<IIIIQII", len(payload), 0, self.talk_seq, zlib.crc32(payload), 0, 0, 0)
                self.talk_seq += 1
                out += struct.pack(">I", 32 + len(payload)) + head + payload
            e.write(channel, out)
        elif name == "declare":
            e.write(cmd.get("channel", 0), struct.pack(">I", cmd["length"]) + bytes(cmd.get("send", 0)))
        elif name == "stop_reading":
            with e.lock:
                e.stalled.add(cmd["channel"])
        elif name == "mute":
            e.mode({"silent": True})
        elif name == "disconnect":
            e.send(w.header(0xF0, b""))
        return {"ok": True}


class PhoneInTurn:
    """The phone of the moment; "renew" puts a new one in its place."""

    def __init__(self, args):
        self.phone = VasqPhone(args)
        self.args = argparse.Namespace(**dict(vars(args), port=0))  # a new phone binds a free port

    def control(self, cmd):
        if cmd.get("cmd") != "renew":
            return self.phone.control(cmd)
        # The new socket first, so that the old one's number is not handed straight to it.
        old, self.phone = self.phone, VasqPhone(self.args)
        old.retire()
        return {"ok": True, "port": self.phone.sock.getsockname()[1]}


def main():
    # ztp_phone.py's command line and control loop, with this phone in its place.
    ztp_phone.Phone = PhoneInTurn
    ztp_phone.main()


if __name__ == "__main__":
    main()
