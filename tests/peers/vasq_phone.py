#!/usr/bin/env python3
"""A phone of the streaming sessions, for the camera's session tests: ztp_phone.py's punching,
readiness and reliable channels (ztp_channels.py), and on them the session framing, written from
the wire format alone:

  channel 0  commands: BE32 length L, BE32 code, L - 4 bytes of parameters
  channel 1  RDT blocks: BE32 length, the block
  channel 2  video frames: BE32 32 + n, the 32-byte frame header (length n first, little-endian), n bytes
  channel 3  audio frames, framed as channel 2 (talk-back goes this way)

RDT replies are reassembled as they come: a reply's first block starts with its little-endian head
{type, total, 0} ({15, total, count, count} for the custom-record index), and the reply is whole once
`total` bytes followed the head (at once for a bare head, whose total is 0).

Every frame it gets is kept as [seq, n, crc32 of the payload, bytes as sent, the header's time_ms,
its arrival on CLOCK_MONOTONIC in ms, codec id, flags] (n is -1 when the header's length disagrees with
the bytes that came); every command as [code, hex]. The camera's live audio shares channel 2 with the
video: frames whose codec id is an audio codec's (1024 and up: G.711 mu-law 1026, A-law 1027, Opus
1032) are listed and saved as channel 3.

Once it has keys (vasq_session_crypto.py) it speaks the session protocol: command 256 carries its
public key and signature, the camera's 257 tells the encrypt type, every other command travels as
4097 around [BE32 code][parameters] encrypted, and frame payloads and RDT blocks are decrypted on
arrival (the frame list then holds the plain length and crc32) and encrypted when it talks.

Control: a unix socket, one JSON object per line each way (besides ztp_phone.py's commands):
  {"cmd":"command","code":c,"text":t}       a command with t as its parameters
  {"cmd":"talk","channel":3,"frames":k,"size":n}
                                             k frames whose payloads carry a counter pattern that goes
                                             on across frames and calls; each header holds seq and, in
                                             its flags word, the payload's crc32, and its time stamp
                                             CLOCK_MONOTONIC in ms
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
  {"cmd":"keys","did":d,"token":hex,"p2p_key":hex,"public_key":hex,"req_key":hex}
                                             a key pair of its own and the signature over it
                                             -> {"public_key":hex,"sign":hex}
  {"cmd":"auth","uuid":u,"public_key":hex,"sign":hex,"support_encrypt":n}
                                             command 256 (its own key and signature unless given)
  {"cmd":"command","code":c,"text":t,"encrypted":true}   as 4097 around the encrypted command
  {"cmd":"command","code":4097,"raw":hex}    4097 with these bytes as its encrypted part
                                             (auth and command answer {"ok":true,"sent":hex}: the
                                             bytes after the code, as a copier would read them)
  {"cmd":"talk",...,"lie":true}              each header's length one more than the payload sent
  {"cmd":"save","channel":2,"path":p,"resolution":r}
                                             the decrypted payloads of the channel, in order, to a file
                                             (with r: only the video frames of resolution code r);
                                             channel 3 holding Opus is written as Ogg Opus (RFC 7845),
                                             one packet a page, G.711 as the raw bytes
  {"cmd":"take"} -> {"frames":{"2":[...],"3":[...]}}
                                             the frames so far, forgotten with their payloads (a long
                                             watch keeps nothing)
  {"cmd":"send_frames","channel":3,"codec":c,"payloads":[hex,...]}
                                             each payload as one frame of that codec id (encrypted once
                                             the phone has keys), numbered on from the talk frames
  {"cmd":"rdt","request":hex}               an RDT request (type, length and data as the camera reads
                                             them) as one block of channel 1
  {"cmd":"rdt_save","reply":i,"path":p}      the data of whole reply i (default the last) to a file
                                             -> {"type","total","count","bytes","head":hex}
  {"cmd":"received"} -> {"frames":{"2":[[seq,n,crc,sent,time_ms,arrival_ms,codec,flags],...],"3":[...]},"commands":[[code,hex],...],
                         "rdt":hex,"rdt_replies":[[type,total,bytes so far,whole],...],"ready":bool,
                         "nonce_repeats":k,"undecryptable":k}
"""

import argparse
import json
import os
import socket
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vasq_session_crypto as crypto  # noqa: E402
import ztp_channels as ch  # noqa: E402
import ztp_phone  # noqa: E402
import ztp_wire as w  # noqa: E402


OPUS = 1032


def media_channel(number, codec):
    """The list a media frame goes to: audio codecs' frames to 3 whichever channel brought them."""
    return 3 if number == 2 and codec >= 1024 else number


def ogg_crc(data):
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
        crc &= 0xFFFFFFFF
    return crc


def ogg_page(packet, granule, serial, number, kind):
    lacing = bytes([255] * (len(packet) // 255) + [len(packet) % 255])
    head = b"OggS" + struct.pack("<BBqIII", 0, kind, granule, serial, number, 0) + bytes([len(lacing)]) + lacing
    crc = ogg_crc(head + packet)
    return head[:22] + struct.pack("<I", crc) + head[26:] + packet


def opus_samples(packet):
    """The packet's duration in 48 kHz samples, from its TOC byte (RFC 6716 3.1)."""
    config, code = packet[0] >> 3, packet[0] & 3
    if config < 12:
        size = (480, 960, 1920, 2880)[config % 4]
    elif config < 16:
        size = (480, 960)[config % 2]
    else:
        size = (120, 240, 480, 960)[config % 4]
    count = 1 if code == 0 else 2 if code in (1, 2) else (packet[1] & 0x3F if len(packet) > 1 else 0)
    return size * count


def save_audio(engine, path):
    """The camera's audio as a file that players open: Ogg Opus, or raw G.711."""
    with engine.lock:
        packets = [p for p in engine.payloads[3] if p]
        codecs = {f[6] for f in engine.frames[3]}
    if codecs - {OPUS}:
        data = b"".join(packets)
    else:
        serial = 0x5A454C4D
        head = b"OpusHead" + struct.pack("<BBHIhB", 1, 1, 0, 16000, 0, 0)
        tags = b"OpusTags" + struct.pack("<I", 12) + b"zelmar phone" + struct.pack("<I", 0)
        pages = [ogg_page(head, 0, serial, 0, 0x02), ogg_page(tags, 0, serial, 1, 0)]
        granule = 0
        for i, packet in enumerate(packets):
            granule += opus_samples(packet)
            pages.append(ogg_page(packet, granule, serial, i + 2, 0x04 if i == len(packets) - 1 else 0))
        data = b"".join(pages)
    with open(path, "wb") as f:
        f.write(data)
    return {"ok": True, "bytes": len(data), "packets": len(packets)}


def save_resolution(engine, path, code):
    """The video frames whose header flags carry this resolution code (bits 17 to 20)."""
    with engine.lock:
        chosen = [p for p, f in zip(engine.payloads[2], engine.payload_flags[2]) if (f >> 17) & 0xF == code]
    with open(path, "wb") as f:
        f.write(b"".join(chosen))
    return {"ok": True, "bytes": sum(map(len, chosen)), "frames": len(chosen)}


def take_frames(engine):
    with engine.lock:
        taken = {"frames": {"2": engine.frames[2], "3": engine.frames[3]}}
        engine.frames = {2: [], 3: []}
        engine.payloads = {2: [], 3: []}
        engine.payload_flags = {2: [], 3: []}
    return taken


class SessionEngine(ch.Engine):
    """The channels carry the session framing instead of the transport tests' pattern."""

    def __init__(self, send, log):
        self.stream = [b""] * ch.CHANNELS
        self.stalled = set()
        self.frames = {2: [], 3: []}
        self.commands = []
        self.rdt = b""
        self.rdt_replies = []  # {"head": bytes, "type", "total", "data": bytearray}
        self.keys = None
        self.nonces = set()
        self.nonce_repeats = 0
        self.undecryptable = 0
        self.payloads = {2: [], 3: []}
        self.payload_flags = {2: [], 3: []}
        super().__init__(send, log)

    def _plain(self, data):
        if self.keys is None:
            return data
        if self.keys.encrypt_type == 0 and len(data) >= 8:
            if data[:8] in self.nonces:
                self.nonce_repeats += 1
            self.nonces.add(data[:8])
        plain = self.keys.decrypt(data)
        if plain is None:
            self.undecryptable += 1
        return plain

    def _command(self, body):
        code = struct.unpack(">I", body[:4])[0]
        params = body[4:]
        if code == 4097 and self.keys is not None:
            plain = self._plain(params)
            if plain is None or len(plain) < 4:
                self.commands.append([code, params.hex()])
                return
            code, params = struct.unpack(">I", plain[:4])[0], plain[4:]
        if code == 257 and self.keys is not None:
            try:
                reply = json.loads(params.decode())
                self.keys.encrypt_type = int(reply.get("encrypt_type", 0))
            except (ValueError, UnicodeDecodeError):
                pass
        self.commands.append([code, params.hex()])

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
                self._command(body)
            elif c.number == 1:
                block = self._plain(body) or b""
                self.rdt += block
                self._rdt_block(block)
            elif c.number in (2, 3) and n >= 32:
                arrival = time.clock_gettime(time.CLOCK_MONOTONIC) * 1000
                length, codec, seq, flags, stamp = struct.unpack("<IIIIQ", body[:24])
                number = media_channel(c.number, codec)
                payload = body[32:]
                told, sent = length == len(payload), len(payload)
                payload = self._plain(payload)
                if payload is None:
                    self.frames[number].append([seq, -1, 0, sent, stamp, arrival, codec, flags])
                    continue
                if self.keys is not None:
                    self.payloads[number].append(payload)
                    self.payload_flags[number].append(flags)
                self.frames[number].append([seq, len(payload) if told else -1, zlib.crc32(payload), sent, stamp,
                                            arrival, codec, flags])
        self.stream[c.number] = buf

    def _rdt_block(self, block):
        """A block continues the reply still short of its total, or starts a new one with its head."""
        last = self.rdt_replies[-1] if self.rdt_replies else None
        if last is not None and len(last["data"]) < last["total"]:
            last["data"] += block
            return
        if len(block) < 12:
            self.rdt_replies.append({"head": block, "type": -1, "total": 0, "data": bytearray()})
            return
        kind, total = struct.unpack_from("<II", block, 0)
        size = 16 if kind == 15 and total > 0 else 12
        self.rdt_replies.append({"head": block[:size], "type": kind, "total": total,
                                 "data": bytearray(block[size:])})

    def rdt_summary(self):
        return [[r["type"], r["total"], len(r["data"]), len(r["data"]) >= r["total"]] for r in self.rdt_replies]

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

    def pattern(self, n):
        out = bytes((self.counter + i) & 0xFF for i in range(n))
        self.counter += n
        return out

    def send_frames(self, cmd):
        e = self.engine
        if e is None:
            return {"error": "no session"}
        out = b""
        for text in cmd.get("payloads", []):
            payload = bytes.fromhex(text)
            if e.keys is not None:
                payload = e.keys.encrypt(payload)
            stamp = int(time.clock_gettime(time.CLOCK_MONOTONIC) * 1000)
            out += struct.pack(">I", 32 + len(payload)) + struct.pack("<IIIIQII", len(payload), cmd.get("codec", 0),
                                                                      self.talk_seq, 0, stamp, 0, 0) + payload
            self.talk_seq += 1
        e.write(cmd.get("channel", 3), out)
        return {"ok": True, "frames": len(cmd.get("payloads", []))}

    def control(self, cmd):
        name = cmd.get("cmd")
        if name == "send_frames":
            return self.send_frames(cmd)
        e = self.engine
        if name == "received":
            with self.lock:
                ready = self.ready is not None
            if e is None:
                return {"frames": {"2": [], "3": []}, "commands": [], "rdt": "", "rdt_replies": [], "ready": ready}
            with e.lock:
                return {"frames": {"2": list(e.frames[2]), "3": list(e.frames[3])}, "commands": list(e.commands),
                        "rdt": e.rdt.hex(), "rdt_replies": e.rdt_summary(), "ready": ready,
                        "nonce_repeats": e.nonce_repeats,
                        "undecryptable": e.undecryptable}
        if name in ("rdt", "rdt_save"):
            return self.rdt_control(cmd) if e is not None else {"error": "no session"}
        if name == "take" and e is not None:
            return take_frames(e)
        if name not in ("command", "talk", "declare", "stop_reading", "mute", "disconnect", "keys", "auth", "save"):
            return super().control(cmd)
        if e is None:
            return {"error": "no session"}
        if name == "keys":
            keys = crypto.SessionKeys(cmd["did"], cmd["token"], cmd["p2p_key"], cmd["public_key"], cmd["req_key"])
            with e.lock:
                e.keys = keys
            return {"public_key": keys.public_hex, "sign": keys.sign_hex}
        if name == "auth":
            req = {"public_key": cmd.get("public_key", e.keys.public_hex if e.keys else ""),
                   "sign": cmd.get("sign", e.keys.sign_hex if e.keys else ""),
                   "support_encrypt": cmd.get("support_encrypt", 0)}
            if "uuid" in cmd:
                req["uuid"] = cmd["uuid"]
            text = json.dumps(req).encode()
            e.write(0, struct.pack(">II", 4 + len(text), 256) + text)
            return {"ok": True, "sent": text.hex()}
        if name == "save":
            if cmd.get("channel") == 3:
                return save_audio(e, cmd["path"])
            if "resolution" in cmd:
                return save_resolution(e, cmd["path"], cmd["resolution"])
            with e.lock:
                data = b"".join(e.payloads[cmd.get("channel", 2)])
            with open(cmd["path"], "wb") as f:
                f.write(data)
            return {"ok": True, "bytes": len(data)}
        if name == "command":
            text = cmd.get("text", "").encode()
            code = cmd["code"]
            if "raw" in cmd:
                text = bytes.fromhex(cmd["raw"])
            elif cmd.get("encrypted"):
                text = e.keys.encrypt(struct.pack(">I", code) + text)
                code = 4097
            e.write(0, struct.pack(">II", 4 + len(text), code) + text)
            return {"ok": True, "sent": text.hex()}
        if name == "talk":
            channel = cmd.get("channel", 3)
            out = b""
            for _ in range(cmd.get("frames", 1)):
                payload = self.pattern(cmd.get("size", 320))
                crc = zlib.crc32(payload)
                if e.keys is not None:
                    payload = e.keys.encrypt(payload)
                told = len(payload) + (1 if cmd.get("lie") else 0)
                stamp = int(time.clock_gettime(time.CLOCK_MONOTONIC) * 1000)
                head = struct.pack("<IIIIQII", told, 0, self.talk_seq, crc, stamp, 0, 0)
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


    def rdt_control(self, cmd):
        """RDT requests out, and whole replies to files."""
        e = self.engine
        if cmd["cmd"] == "rdt":
            block = bytes.fromhex(cmd["request"])
            if e.keys is not None:
                block = e.keys.encrypt(block)
            e.write(1, struct.pack(">I", len(block)) + block)
            return {"ok": True}
        with e.lock:
            if not e.rdt_replies:
                return {"error": "no reply"}
            reply = e.rdt_replies[cmd.get("reply", -1)]
            if len(reply["data"]) < reply["total"]:
                return {"error": "reply not whole", "bytes": len(reply["data"]), "total": reply["total"]}
            data = bytes(reply["data"])
        with open(cmd["path"], "wb") as f:
            f.write(data)
        return {"ok": True, "type": reply["type"], "total": reply["total"], "count": len(e.rdt_replies),
                "bytes": len(data), "head": reply["head"].hex()}


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
    crypto.self_check()
    # ztp_phone.py's command line and control loop, with this phone in its place.
    ztp_phone.Phone = PhoneInTurn
    ztp_phone.main()


if __name__ == "__main__":
    main()
