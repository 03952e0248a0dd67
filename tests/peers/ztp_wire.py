#!/usr/bin/env python3
"""The P2P transport's wire format, written from the protocol description alone, for the test peers.

It reads the shared tables (p2p_transport/ztp_tables.txt), and gives the message scrambling, the
TCP-relay second scrambling and check, the login check, init-string decoding and encoding, the
message layouts and the TCP framing. As a program it prints test material:
  ztp_wire.py vectors                    -> one JSON object {name: hex} of messages built here
  ztp_wire.py scramble-file KEY OUT      -> OUT holds, for n = 1..1440, the scrambling of pattern(n)
  ztp_wire.py initstring SERVERS KEY     -> an init string that decodes to SERVERS (comma-terminated)
  ztp_wire.py check-tables               -> exits 1 when the login check table holds a zero
"""

import json
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TABLES_FILE = os.environ.get("ZTP_TABLES", os.path.join(HERE, "..", "..", "p2p_transport", "ztp_tables.txt"))


def load_tables(path=TABLES_FILE):
    tables = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name, _, value = line.partition(" = ")
            if value.startswith('"'):
                tables[name] = value.strip('"')
            else:
                tables[name] = bytes(int(b, 16) for b in value.split())
    return tables


T = load_tables()
SCRAMBLE = T["scramble"]
CRC = T["crc"]
INIT = T["init"]
SUPER_KEY = T["super_device_key"]
LOGIN_KEY = T["login_key"]
VERSION = bytes([5, 0, 8])

# ---- scrambling ----------------------------------------------------------------------------------


def _key_state(key):
    k = [0, 0, 0, 0]
    for ch in key.encode("latin-1")[:21]:
        k[0] = (k[0] + ch) & 0xFF
        k[1] = (k[1] - ch) & 0xFF
        k[2] = (k[2] + ch // 3) & 0xFF
        k[3] ^= ch
    return k


def _chain(key, data, scrambling):
    """Each byte is XORed with a table byte chosen by the scrambled byte before it."""
    if not key:
        return bytes(data)
    k = _key_state(key)
    out = bytearray(len(data))
    for i, x in enumerate(data):
        if i == 0:
            t = SCRAMBLE[k[0]]
        else:
            p = out[i - 1] if scrambling else data[i - 1]
            t = SCRAMBLE[(p + k[p & 3]) & 0xFF]
        out[i] = x ^ t
    return bytes(out)


def scramble(key, data):
    return _chain(key, data, True)


_UNSCRAMBLE_TABLES = {}


def unscramble(key, data):
    """Each byte's table byte depends only on the received byte before it, so the whole message is
    undone with one translate and one XOR (the channel tests move many megabytes)."""
    if not key or not data:
        return bytes(data)
    table = _UNSCRAMBLE_TABLES.get(key)
    if table is None:
        k = _key_state(key)
        table = (bytes(SCRAMBLE[(p + k[p & 3]) & 0xFF] for p in range(256)), SCRAMBLE[k[0]])
        _UNSCRAMBLE_TABLES[key] = table
    data = bytes(data)
    mask = bytes([table[1]]) + data[:-1].translate(table[0])
    n = len(data)
    return (int.from_bytes(data, "big") ^ int.from_bytes(mask, "big")).to_bytes(n, "big")


def relay_key(r0, r1):
    return "%02X%02X" % (r0, r1)


def relay_check(data):
    c0, c1 = 0x43, 0x53
    n = len(data)
    for i in range(n):
        a = c0
        c0 = a ^ c1 ^ data[i]
        if i % 2 == 0:
            c1 = a ^ data[i] ^ data[n - 1 - i]
    return bytes([c0, c1])


# ---- login check ---------------------------------------------------------------------------------


class LoginCheck:
    def __init__(self, key=LOGIN_KEY):
        self.s = [1, 3, 5, 7]
        for ch in (key or "").encode("latin-1"):
            self.step(ch)

    def step(self, x):
        s0, s1, s2, s3 = self.s
        self.s = [
            CRC[(((s1 + x % s0) * 8) & 0x38) | ((x + s2 % s3) & 7)],
            CRC[(((s2 + x % s1) * 8) & 0x38) | ((x + s3 % s0) & 7)],
            CRC[(((s3 + x % s2) * 8) & 0x38) | ((x + s0 % s1) & 7)],
            CRC[(((s0 + x % s3) * 8) & 0x38) | ((x + s1 % s2) & 7)],
        ]

    def mask(self):
        return self.s[0] ^ self.s[1] ^ self.s[2] ^ self.s[3]


def crc_encode(data, key=LOGIN_KEY):
    st = LoginCheck(key)
    out = bytearray()
    for d in bytes(data) + b"\x43" * 4:
        y = st.mask() ^ d
        out.append(y)
        st.step(y)
    return bytes(out)


def crc_decode(data, key=LOGIN_KEY):
    """The plain bytes, or None when the trailer is wrong or missing."""
    if len(data) < 4:
        return None
    st = LoginCheck(key)
    out = bytearray()
    for y in data:
        out.append(st.mask() ^ y)
        st.step(y)
    if bytes(out[-4:]) != b"\x43" * 4:
        return None
    return bytes(out[:-4])


# ---- init string ---------------------------------------------------------------------------------


def decode_init_string(text):
    text = text.split(":", 1)[0]
    if len(text) % 2:
        return None
    s = 0x39
    out = bytearray()
    for i in range(len(text) // 2):
        v = (ord(text[2 * i]) * 16 + ord(text[2 * i + 1]) - 81) & 0xFF
        b = v ^ INIT[i % len(INIT)] ^ s
        out.append(b)
        s ^= b
    return out.decode("latin-1")


def encode_init_string(servers, key):
    """An init string whose servers part decodes to `servers`, followed by ':' and the key."""
    s = 0x39
    chars = []
    for i, b in enumerate(servers.encode("latin-1")):
        v = b ^ INIT[i % len(INIT)] ^ s
        chars.append(chr(ord("A") + (v >> 4)) + chr(ord("A") + (v & 15)))
        s ^= b
    return "".join(chars) + ":" + key


# ---- layouts -------------------------------------------------------------------------------------


def header(msg_type, payload):
    return bytes([0xF1, msg_type]) + struct.pack(">H", len(payload)) + payload


def parse(msg):
    """(type, payload) of a plain message, or raises ValueError."""
    if len(msg) < 4 or msg[0] != 0xF1:
        raise ValueError("bad magic")
    (n,) = struct.unpack(">H", msg[2:4])
    if n + 4 != len(msg):
        raise ValueError("bad size")
    return msg[1], msg[4:]


def did_block(prefix, serial, check):
    return prefix.encode()[:7].ljust(8, b"\0") + struct.pack(">I", serial) + check.encode()[:7].ljust(8, b"\0")


def read_did(b):
    return (b[0:8].rstrip(b"\0").decode(), struct.unpack(">I", b[8:12])[0], b[12:20].rstrip(b"\0").decode())


def addr(ip, port):
    """The 16-byte wire address: BE16 family 2, the port's bytes reversed, the address reversed."""
    ip_bytes = bytes(int(x) for x in ip.split("."))
    return struct.pack(">H", 2) + struct.pack("<H", port) + ip_bytes[::-1] + b"\0" * 8


def addr24(ip, port, extra=b"\0" * 16):
    return addr(ip, port)[:8] + extra


def read_addr(b):
    port = struct.unpack("<H", b[2:4])[0]
    ip = ".".join(str(x) for x in b[4:8][::-1])
    return ip, port


def dsk_field(dsk):
    return dsk.encode()[:23].ljust(24, b"\0")


def dev_lgn_plain(did, nat, local_ip, local_port):
    return did + bytes([nat]) + VERSION + addr(local_ip, local_port)


def dev_lgn(msg_type, did, nat, local_ip, local_port, dsk=None, key=LOGIN_KEY):
    plain = dev_lgn_plain(did, nat, local_ip, local_port)
    if msg_type == 0x10:
        return header(0x10, plain)
    if msg_type == 0x16:
        plain += dsk_field(dsk)
    return header(msg_type, crc_encode(plain, key))


def super_scrambled(msg_type, payload):
    return header(msg_type, scramble(SUPER_KEY, payload))


def drw(channel, index, data, msg_type=0xD0):
    return header(msg_type, bytes([0xD1, channel]) + struct.pack(">H", index) + data)


def drw_ack(channel, indexes):
    return header(0xD1, bytes([0xD1, channel]) + struct.pack(">H", len(indexes)) +
                  b"".join(struct.pack(">H", i) for i in indexes))


def dc(sub_type, text, did, part):
    """A DC message: 64-byte header (length field = payload - 64), then the sub-type's part."""
    rest_len = len(part)
    head = bytes([0xD1, sub_type]) + struct.pack(">H", rest_len) + text.encode()[:39].ljust(40, b"\0") + did
    return header(0xDC, head + part)


def dc_cmd(text, did, command, data):
    return dc(17, text, did, struct.pack(">HH", command, len(data)) + b"\0" * 4 + data)


def dc_resp(text, did, data):
    return dc(33, text, did, struct.pack(">H", len(data)) + b"\0" * 6 + data)


def dc_fixed(sub_type, text, did, data):
    return dc(sub_type, text, did, data.ljust(8, b"\0"))


def rly_rdy_plus(sub_type, ticket16, did, a, b, last=None):
    if sub_type in (1, 2):
        body = addr24(*a) + addr24(*b)
        length = 48
    else:
        body = b"\0" * 4 + addr24(*a) + addr24(*b)
        length = 52
    payload = bytes([0xA1, sub_type]) + struct.pack(">H", length) + ticket16 + did + body
    if last is not None:
        payload += bytes([last])
    return header(0x28, payload)


# ---- TCP framing ---------------------------------------------------------------------------------


def recv_exact(conn, n):
    """n bytes from a stream socket; EOFError when it closes first."""
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def tcp_frame(msg, key, r0=None, r1=None, plain=False):
    """Header + body of a plain message: two-stage scrambling with check, or the plain variant."""
    body = scramble(key, msg)
    if plain:
        return struct.pack(">H", len(body)) + b"h\0" + b"\0" * 4 + body
    if r0 is None:
        r0, r1 = os.urandom(2)
    body = scramble(relay_key(r0, r1), body)
    return struct.pack(">H", len(body)) + b"h\0" + bytes([r0, r1]) + relay_check(body) + body


def tcp_open(head, body, key, plain=False):
    """The plain message of a received frame, or raises ValueError."""
    if len(head) != 8 or head[2:3] != b"h":
        raise ValueError("bad TCP header")
    if plain:
        return unscramble(key, body)
    if relay_check(body) != head[6:8]:
        raise ValueError("bad TCP check")
    return unscramble(key, unscramble(relay_key(head[4], head[5]), body))


# ---- messages by name (the peers' control commands) -----------------------------------------------


def build(name, a):
    """The plain message `name` from the fields of the JSON object `a` (addresses as [ip, port])."""
    d = did_block(*a.get("did", ["ABC", 123, "XYZ"]))
    ticket = a.get("ticket", 1)
    simple = {"punch_pkt": 0x41, "p2p_rdy": 0x42, "p2p_rdy_lan_tcp": 0x44, "rly_rdy": 0x84}
    if name in simple:
        return header(simple[name], d)
    empty = {"lan_search": 0x30, "sdev_run": 0x90, "rly_hello": 0x70, "rly_hello_ack": 0x71, "rly_port": 0x72,
             "close": 0xF0, "hello": 0x00}
    if name in empty:
        return header(empty[name], b"")
    if name in ("hello_ack", "punch_to"):
        return header(0x01 if name == "hello_ack" else 0x40, addr(*a["addr"]))
    if name == "dev_lgn_ack":
        return header(0x11, bytes([a.get("result", 0)]))
    if name == "dev_lgn_ack_crc":
        return header(0x13, crc_encode(bytes([a.get("result", 0)]), a.get("login_key", LOGIN_KEY)))
    if name in ("p2p_req_ack", "rly_req_ack"):
        return header(0x21 if name == "p2p_req_ack" else 0x81, bytes([a.get("result", 0)]))
    if name == "list_req1":
        return header(0x67, d)
    if name == "list_req_ack":
        relays = a.get("relays", [])
        return header(0x69, bytes([len(relays), 0, 0, 0]) + b"".join(addr(*r) for r in relays))
    if name == "rly_port_ack":
        return header(0x73, struct.pack(">IH", ticket, a["port"]) + b"\0\0")
    if name == "rly_req":
        return header(0x80, d + addr(*a["relay"]) + struct.pack(">I", ticket))
    if name == "rly_to":
        return header(0x82, addr(*a["relay"]) + struct.pack(">I", ticket) + b"\0" * 12)
    if name == "rly_pkt":
        return header(0x83, struct.pack(">I", ticket) + d + bytes([a.get("side", 0), 0, 0, 0]))
    if name == "tcp_rs_start":
        return header(0x52, d + struct.pack(">I", ticket) + addr24(*a["relay"]))
    if name == "smart_punch_to":
        return super_scrambled(0x3F, addr(*a["addr"]) + struct.pack(">H", a.get("count", 2)) +
                               bytes([a.get("step", 1), a.get("skip", 0)]))
    if name == "ssd_dev_list":
        addrs = a.get("addrs", [])
        return super_scrambled(0x3A, d + struct.pack(">H", len(addrs)) + b"\0\0" +
                               b"".join(addr(*x) for x in addrs))
    if name == "ssd_dev_lgn":
        return super_scrambled(0x3D, d + b"\0" + VERSION + addr(*a["addr"]))
    if name == "ssd_p2p_req":
        return super_scrambled(0x3C, d + addr(*a["addr"]))
    if name == "p2p_req":
        return header(0x20, d + addr(*a["local"]))
    if name == "hello_to":
        return header(0x02, addr(*a["addrs"][0]) + addr(*a["addrs"][1]))
    if name == "dc_cmd":
        return dc_cmd(a["text"], d, a["command"], bytes.fromhex(a.get("data", "")))
    if name == "dc_resp_ack":
        return dc_fixed(34, a["text"], d, b"\0")
    if name == "raw":
        return bytes.fromhex(a["hex"])
    raise ValueError("unknown message " + name)


def describe(msg_type, payload, login_key=LOGIN_KEY):
    """The fields a test looks at in a received message, as a JSON-ready dict."""
    out = {"type": msg_type, "payload": payload.hex()}
    try:
        if msg_type in (0x41, 0x42, 0x44, 0x84, 0x91) and len(payload) >= 20:
            out["did"] = list(read_did(payload[:20]))
        elif msg_type in (0x01, 0x40) and len(payload) >= 16:
            out["addr"] = list(read_addr(payload[:16]))
        elif msg_type in (0x12, 0x13, 0x16, 0x92):
            plain = crc_decode(payload, login_key)
            out["check_ok"] = plain is not None
            if plain is not None and len(plain) >= 20:
                out["did"] = list(read_did(plain[:20]))
            if plain is not None and len(plain) >= 40:
                out["nat"] = plain[20]
                out["version"] = list(plain[21:24])
                out["local"] = list(read_addr(plain[24:40]))
                out["dsk"] = plain[40:64].rstrip(b"\0").decode("latin-1") if msg_type == 0x16 else None
        elif msg_type == 0x36:
            plain = crc_decode(unscramble(SUPER_KEY, payload), login_key)
            out["check_ok"] = plain is not None
        elif msg_type == 0x3F and len(payload) == 20:
            plain = unscramble(SUPER_KEY, payload)
            out["addr"] = list(read_addr(plain[:16]))
            out["count"] = struct.unpack(">H", plain[16:18])[0]
            out["step"], out["skip"] = plain[18], plain[19]
        elif msg_type == 0x3D and len(payload) == 40:
            plain = unscramble(SUPER_KEY, payload)
            out["did"] = list(read_did(plain[:20]))
            out["addr"] = list(read_addr(plain[24:40]))
        elif msg_type == 0x83 and len(payload) == 28:
            out["ticket"] = struct.unpack(">I", payload[:4])[0]
            out["did"] = list(read_did(payload[4:24]))
            out["side"] = payload[24]
        elif msg_type == 0x69 and len(payload) >= 4:
            out["relays"] = [list(read_addr(payload[4 + 16 * i:20 + 16 * i]))
                             for i in range(min(payload[0], (len(payload) - 4) // 16))]
        elif msg_type == 0x80 and len(payload) == 40:
            out["did"] = list(read_did(payload[:20]))
            out["relay"] = list(read_addr(payload[20:36]))
            out["ticket"] = struct.unpack(">I", payload[36:40])[0]
        elif msg_type == 0x73 and len(payload) == 8:
            out["ticket"], out["port"] = struct.unpack(">IH", payload[:6])
        elif msg_type == 0xF9 and len(payload) == 84:
            plain = unscramble(SUPER_KEY, payload)
            out["did"] = list(read_did(plain[:20]))
            (out["result"], out["max_sessions"], out["open_slots"], out["listen_ms"], out["role"], out["mode"],
             out["login_mode"], out["slot_status"]) = struct.unpack(">iHHHBBBB", plain[20:34])
            out["local"] = list(read_addr(plain[36:52]))
            out["wan"] = list(read_addr(plain[52:68]))
            out["remote"] = list(read_addr(plain[68:84]))
        elif msg_type == 0xDC and len(payload) >= 72:
            out["sub_type"] = payload[1]
            out["text"] = payload[4:44].rstrip(b"\0").decode("latin-1")
            out["did"] = list(read_did(payload[44:64]))
            out["bytes"] = payload[64:72].hex()
            if payload[1] == 33:
                (n,) = struct.unpack(">H", payload[64:66])
                out["data"] = payload[72:72 + n].hex()
    except (ValueError, UnicodeDecodeError, struct.error):
        out["decode_error"] = True
    return out


# ---- test material -------------------------------------------------------------------------------

P2P_KEY = "KEYSTR"
DID = did_block("ABC", 123, "XYZ")
LOCAL = ("10.1.2.3", 40000)


def pattern(n):
    return bytes((i * 131 + n * 7) & 0xFF for i in range(n))


def vectors():
    v = {}
    v["addr_192_168_1_2_32100"] = addr("192.168.1.2", 32100)
    v["did_ABC_000123_XYZ"] = DID
    v["hello"] = header(0x00, b"")
    v["dev_lgn"] = dev_lgn(0x10, DID, 2, *LOCAL)
    v["dev_lgn_crc"] = dev_lgn(0x12, DID, 2, *LOCAL)
    v["dev_lgn1_crc"] = dev_lgn(0x13, DID, 2, *LOCAL)
    v["dev_lgn_dsk"] = dev_lgn(0x16, DID, 2, *LOCAL, dsk="DSKSECRET")
    v["sdev_lgn_crc"] = header(0x92, crc_encode(DID))
    v["ssd_lgn_crc"] = super_scrambled(0x36, crc_encode(DID))
    for name, t in (("punch_pkt", 0x41), ("p2p_rdy", 0x42), ("p2p_rdy_lan_tcp", 0x44), ("rly_rdy", 0x84)):
        v[name] = header(t, DID)
    v["rly_pkt"] = header(0x83, struct.pack(">I", 0x01020304) + DID + b"\x01\0\0\0")
    v["rly_port_ack"] = header(0x73, struct.pack(">IH", 0x0A0B0C0D, 5000) + b"\0\0")
    v["ssd_p2p_req"] = super_scrambled(0x3C, DID + addr(*LOCAL))
    v["ssd_dev_lgn"] = super_scrambled(0x3D, DID + b"\x01" + VERSION + addr(*LOCAL))
    v["smart_punch_to"] = super_scrambled(0x3F, addr(*LOCAL) + struct.pack(">H", 0x1234) + b"\x05\x06")
    v["drw_1024"] = drw(2, 7, bytes(i & 0xFF for i in range(1024)))
    v["drw_ack_3"] = drw_ack(1, [1, 2, 3])
    v["psr"] = drw(3, 9, b"abc", msg_type=0xD8)
    v["dc_cmd"] = dc_cmd("tx-1", DID, 0x0102, b"hello")
    v["dc_resp"] = dc_resp("tx-2", DID, b"world!")
    v["dc_req"] = dc_fixed(1, "tx-3", DID, b"\x01")
    v["dc_req_ack"] = dc_fixed(2, "tx-4", DID, b"\x01\x02\x03\x04")
    v["dc_cmd_ack"] = dc_fixed(18, "tx-5", DID, b"\x00\x01")
    v["dc_resp_ack"] = dc_fixed(34, "tx-6", DID, b"\x01")
    v["report_session_rdy"] = super_scrambled(
        0xF9, DID + struct.pack(">iHHHBBBB", -3, 5, 4, 1234, 1, 2, 2, 7) + b"\0\0" +
        addr(*LOCAL) + addr("198.18.0.9", 50001) + addr("198.18.0.10", 50002))
    v["report_rrp_p2p_rdy"] = super_scrambled(
        0xFB, DID + struct.pack(">I", 0xDEADBEEF) + b"\x03\0\0\0" + addr(*LOCAL) +
        addr("198.18.0.9", 50001) + addr("198.18.0.10", 50002))
    # Messages the camera receives.
    v["hello_ack"] = header(0x01, addr("198.18.0.9", 50001))
    v["punch_to"] = header(0x40, addr("198.18.0.10", 50002))
    v["dev_lgn_ack"] = header(0x11, b"\x00")
    v["dev_lgn_ack_crc"] = header(0x13, crc_encode(b"\xfd"))
    v["tcp_rs_start"] = header(0x52, DID + struct.pack(">I", 0xCAFEBABE) + addr24("127.0.0.1", 4433))
    v["try_lan_tcp"] = header(0x43, DID + addr24("192.168.1.20", 40001))
    v["tcp_rly_req_ack"] = header(0x55, b"\xfa\x00")
    v["rly_to"] = header(0x82, addr("198.18.0.11", 50003) + struct.pack(">I", 77) + b"\x09" * 12)
    v["rly_rdy_plus_1"] = rly_rdy_plus(1, bytes(range(16)), DID, ("198.18.0.1", 1), ("198.18.0.2", 2))
    v["rly_rdy_plus_3"] = rly_rdy_plus(3, bytes(range(16)), DID, ("198.18.0.3", 3), ("198.18.0.4", 4), last=9)
    v["ssd_dev_list_2"] = super_scrambled(0x3A, DID + struct.pack(">H", 2) + b"\0\0" +
                                          addr("198.18.0.5", 5) + addr("198.18.0.6", 6))
    v["ssd_dev_list_short"] = super_scrambled(0x3A, DID + struct.pack(">H", 3) + b"\0\0" +
                                              addr("198.18.0.5", 5) + addr("198.18.0.6", 6))
    v["list_req_ack_1"] = header(0x69, b"\x01\0\0\0" + addr("198.18.0.7", 7))
    v["addr_pair"] = header(0x02, addr("198.18.0.1", 11) + addr("198.18.0.2", 12))
    # Scrambled datagrams and TCP frames.
    v["hello_ack_scrambled"] = scramble(P2P_KEY, v["hello_ack"])
    v["tcp_frame_checked"] = tcp_frame(v["dev_lgn_crc"], P2P_KEY, 0x12, 0x34)
    v["tcp_frame_plain"] = tcp_frame(v["drw_ack_3"], P2P_KEY, plain=True)
    v["relay_check_empty"] = relay_check(b"")
    v["login_check_hello"] = crc_encode(b"hello")
    v["login_check_hello_nokey"] = crc_encode(b"hello", key="")
    out = {k: b.hex() for k, b in v.items()}
    servers = "127.0.0.2,127.0.0.3,127.0.0.4,"
    out["init_string"] = encode_init_string(servers, P2P_KEY)
    out["init_string_servers"] = servers
    out["p2p_key"] = P2P_KEY
    return out


def main(argv):
    if len(argv) >= 2 and argv[1] == "vectors":
        json.dump(vectors(), sys.stdout)
        return 0
    if len(argv) == 4 and argv[1] == "scramble-file":
        with open(argv[3], "wb") as f:
            for n in range(1, 1441):
                f.write(scramble(argv[2], pattern(n)))
        return 0
    if len(argv) == 4 and argv[1] == "initstring":
        print(encode_init_string(argv[2], argv[3]))
        return 0
    if len(argv) == 2 and argv[1] == "check-tables":
        return 1 if 0 in CRC else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
