"""The reliable channels as a phone runs them, for the camera's data tests: eight ordered byte
streams over DRW blocks (at most 1024 bytes, 16-bit indexes) with DRWAck acknowledgements,
a window of blocks in flight and resends, PSR packets and Alive. Written from the wire format alone.

Every stream carries the test pattern: 256-byte records {BE32 channel, BE32 record number,
244 bytes drawn from the number, BE32 CRC-32 of the 252 bytes before it}. A receiver checks each
record as it completes; `bad` counts records that differ from the one expected there.

Over TCP (a LAN TCP link or a TCP relay) blocks go in order without acknowledgements.
"""

import struct
import threading
import time
import zlib

import ztp_wire as w

RECORD = 256
BLOCK = 1024
CHANNELS = 8
WINDOW = 100          # blocks in flight
RESEND_S = 0.25       # a block unacknowledged this long is sent again
ACK_FLUSH = 16        # acknowledged at once when this many are noted
ACK_MAX = 81          # the most indexes a DRWAck may carry
FLOOD_BURST = 64      # blocks per channel between the pauses of a flood
_TABLE = bytes(range(256)) * 2


def record(channel, n):
    head = struct.pack(">II", channel, n & 0xFFFFFFFF)
    body = _TABLE[(n * 7) % 256:(n * 7) % 256 + 244]
    data = head + body
    return data + struct.pack(">I", zlib.crc32(data))


def pattern(channel, offset, n):
    """n bytes of the channel's stream from `offset`."""
    out = bytearray()
    first = offset // RECORD
    skip = offset % RECORD
    i = first
    while len(out) < n + skip:
        out += record(channel, i)
        i += 1
    return bytes(out[skip:skip + n])


def diff16(a, b):
    d = (a - b) & 0xFFFF
    return d - 0x10000 if d >= 0x8000 else d


class Checker:
    """Checks a stream against the pattern as it arrives."""

    def __init__(self, channel):
        self.channel = channel
        self.total = 0
        self.bad = 0
        self.partial = b""

    def feed(self, data):
        self.total += len(data)
        buf = self.partial + data
        n = len(buf) // RECORD
        start = (self.total - len(buf)) // RECORD
        for i in range(n):
            r = buf[i * RECORD:(i + 1) * RECORD]
            if r != record(self.channel, start + i):
                self.bad += 1
        self.partial = buf[n * RECORD:]


class Channel:
    def __init__(self, number):
        self.number = number
        # Receiving.
        self.expected = 0
        self.early = {}
        self.checker = Checker(number)
        self.max_span = 0
        self.acks = []
        self.unread = []       # in-order data kept while reading is off (echo and TCP back-pressure)
        # Sending.
        self.source = b""      # bytes to send that are not yet blocks (echo)
        self.to_send = 0       # pattern bytes still to make into blocks
        self.offset = 0        # pattern bytes made into blocks so far
        self.next_index = 0
        self.inflight = {}     # index -> [data, last sent]
        self.queued = []       # (index, data) not yet sent (TCP, or window full)
        self.acked = 0
        self.sent_blocks = 0
        self.resent = 0
        self.rate = 0          # bytes per second, 0 = as fast as the window allows
        self.budget = 0.0
        self.budget_t = time.monotonic()


class Engine:
    """`send(msg)` sends one plain message to the camera; `tcp` selects the ordered link form."""

    def __init__(self, send, log, tcp=False):
        self.send = send
        self.log = log
        self.tcp = tcp
        self.lock = threading.Lock()
        self.ch = [Channel(i) for i in range(CHANNELS)]
        self.ack = True
        self.silent = False
        self.echo = False
        self.closed = False
        self.alive_seen = 0
        self.packets = []
        self.flooded = 0
        self.stop = False
        threading.Thread(target=self._pump, daemon=True).start()

    # ---- receiving -----------------------------------------------------------------------------

    def on_message(self, msg_type, payload):
        with self.lock:
            if msg_type == 0xD0 and len(payload) >= 4:
                self._on_drw(payload[1], struct.unpack(">H", payload[2:4])[0], payload[4:])
            elif msg_type == 0xD1 and len(payload) >= 4:
                count = struct.unpack(">H", payload[2:4])[0]
                c = self.ch[payload[1]] if payload[1] < CHANNELS else None
                if c is not None and len(payload) == 4 + 2 * count:
                    for i in range(count):
                        idx = struct.unpack(">H", payload[4 + 2 * i:6 + 2 * i])[0]
                        sent = c.inflight.pop(idx, None)
                        if sent is not None:
                            c.acked += len(sent[0])
            elif msg_type == 0xD8 and len(payload) >= 4:
                self.packets.append({"ch": payload[1], "index": struct.unpack(">H", payload[2:4])[0],
                                     "hex": payload[4:].hex()})
            elif msg_type == 0xE0:
                self.alive_seen += 1
                if not self.silent and not self.tcp:
                    self.send(w.header(0xE1, b""))
            elif msg_type == 0xF0:
                self.closed = True

    def _on_drw(self, number, idx, data):
        if number >= CHANNELS:
            return
        c = self.ch[number]
        if not self.tcp and self.ack and not self.silent:
            c.acks.append(idx)
            if len(c.acks) >= ACK_FLUSH:
                self._flush_acks(c)
        ahead = diff16(idx, c.expected)
        if ahead < 0:
            return
        c.max_span = max(c.max_span, ahead)
        c.early[idx] = data
        while c.expected in c.early:
            block = c.early.pop(c.expected)
            c.expected = (c.expected + 1) & 0xFFFF
            self._deliver(c, block)

    def _deliver(self, c, data):
        if self.echo:
            c.source += data
        else:
            c.checker.feed(data)

    def _flush_acks(self, c):
        while c.acks:
            part, c.acks = c.acks[:ACK_MAX], c.acks[ACK_MAX:]
            self.send(w.drw_ack(c.number, part))

    # ---- sending ---------------------------------------------------------------------------------

    def start_send(self, number, n, rate=0):
        with self.lock:
            c = self.ch[number]
            c.to_send += n
            c.rate = rate

    def _make_blocks(self, c, now):
        """New blocks while the window (UDP) has room and the rate allows."""
        if c.rate:
            c.budget = min(c.budget + (now - c.budget_t) * c.rate, c.rate * 0.05 + BLOCK)
            c.budget_t = now
        while (c.to_send or c.source) and (self.tcp or len(c.inflight) + len(c.queued) < WINDOW):
            if c.rate and c.budget < BLOCK:
                return
            if c.source:
                data, c.source = c.source[:BLOCK], c.source[BLOCK:]
            else:
                n = min(BLOCK, c.to_send)
                data = pattern(c.number, c.offset, n)
                c.offset += n
                c.to_send -= n
            c.budget -= len(data)
            c.queued.append((c.next_index, data))
            c.next_index = (c.next_index + 1) & 0xFFFF
            if self.tcp and len(c.queued) > 64:
                return

    def _pump(self):
        while not self.stop:
            now = time.monotonic()
            out = []
            with self.lock:
                for c in self.ch:
                    if not self.tcp and c.acks and not self.silent:
                        self._flush_acks(c)
                    if self.silent:
                        continue
                    self._make_blocks(c, now)
                    for idx, data in c.queued:
                        out.append(w.drw(c.number, idx, data))
                        c.sent_blocks += 1
                        if self.tcp:
                            c.acked += len(data)
                        else:
                            c.inflight[idx] = [data, now]
                    c.queued = []
                    if not self.tcp:
                        for idx, entry in c.inflight.items():
                            if now - entry[1] > RESEND_S:
                                entry[1] = now
                                c.resent += 1
                                out.append(w.drw(c.number, idx, entry[0]))
            for msg in out:
                try:
                    self.send(msg)
                except OSError:
                    pass
            time.sleep(0.0005 if out else 0.002)

    # ---- hostile ---------------------------------------------------------------------------------

    def flood(self, channels, blocks):
        """One-byte DRW blocks with the indexes 0 to blocks - 1 on each of the channels, in short
        bursts from a thread of its own, as a peer that wants the camera's memory sends them;
        `flooded` in the statistics counts what went out."""
        def run():
            for start in range(0, blocks, FLOOD_BURST):
                for number in channels:
                    for idx in range(start, min(start + FLOOD_BURST, blocks)):
                        try:
                            self.send(w.drw(number, idx & 0xFFFF, b"f"))
                        except OSError:
                            pass
                        self.flooded += 1
                time.sleep(0.001)
        threading.Thread(target=run, daemon=True).start()

    # ---- control ---------------------------------------------------------------------------------

    def stats(self):
        with self.lock:
            return {"closed": self.closed, "alive": self.alive_seen, "packets": list(self.packets),
                    "flooded": self.flooded,
                    "ch": [{"rx": c.checker.total, "bad": c.checker.bad, "max_span": c.max_span,
                            "tx_acked": c.acked, "tx_left": c.to_send + len(c.source), "sent": c.sent_blocks,
                            "resent": c.resent, "inflight": len(c.inflight), "expected": c.expected}
                           for c in self.ch]}

    def mode(self, cmd):
        with self.lock:
            self.ack = cmd.get("ack", self.ack)
            self.silent = cmd.get("silent", self.silent)
            self.echo = cmd.get("echo", self.echo)
