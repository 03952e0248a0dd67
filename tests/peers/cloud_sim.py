#!/usr/bin/env python3
"""A simulated cloud service for the camera's signed, encrypted HTTP protocol.

Usage: cloud_sim.py PORT CERT KEY SESSION_KEY_HEX TOKEN OUT_DIR CONTROL_PORT

Every request must carry the cookie "serviceToken=TOKEN". The signed GETs (switch, VIP status and
preUpload) must carry ?iv=..&signature=base64url(sha256("GET&path&iv")) (the VIP request also
"&region" in the text);
encrypted query values are base64url(AES-128-CBC/PKCS#7 under the session key and the query's iv).
Clip posts carry the multipart parts video, videoSignMF, img, imgSignMF: each part is cipher text,
its SignMF part the 64-character encrypted base64url SHA-256 of that cipher text. The decrypted
files are kept as OUT_DIR/last.mp4 and OUT_DIR/last.jpeg; a face-photo post carries the encrypted
photo as the file part "img", its base64url SHA-256 in the value imgSign, and is kept as
OUT_DIR/last_face.jpeg; each request appends one JSON line to
OUT_DIR/requests.jsonl {"path", "ok", "why", "query"}.

Replies are {"data","sign","iv"}: data = base64url(AES(plain JSON)) under a fresh IV,
sign = base64url(sha256(data + iv)).

The control port takes one JSON object per line {"path": P, "mode": M, ...} and answers "ok".
Modes: ok, code (field "code", any JSON value), fail_nocode, status (field "status"), unauthorized,
stall, cut, flood (1 MiB of junk), noread (a post whose body is never read), badjson, wrongsign, wrongkey, pad0, pad17, padover, padmix, iv15, len15, oversized,
urls (field "urls": the storageUrl list), fileid (field "fileId"), answer (field "answer": the
plain reply object). A command with "times": n
applies to the next n requests of its path only.

Firmware images: GET /ota/NAME serves OUT_DIR/NAME without cookie or signature, honouring
"Range: bytes=N-" with a 206 and Content-Range. Their modes: ok; cut (field "at": the connection
closes after the response's first "at" body bytes); stall (field "at": then nothing more is sent);
nolength (no Content-Length; the body ends with the connection); full (a 200 with the whole file,
whatever the Range); length (field "length": the Content-Length sent). With "times", a "next" command takes over
once they are used up.

Log uploads: PUT /logs/NAME (pre-signed: no cookie or signature) keeps the body as OUT_DIR/NAME and
answers 200; modes status (field "status": that code instead) and stall (the body is read, no answer
follows). Each is logged as {"path", "mode", "length", "expect"}. Each image request is logged
as {"path", "range", "mode"}. The preUpload answers hand out the fileIds
"fid-0001", "fid-0002"... in turn. Prints "ready" once listening.
"""
import base64
import email.parser
import email.policy
import hashlib
import http.server
import json
import os
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

PORT, CERT, KEY = int(sys.argv[1]), sys.argv[2], sys.argv[3]
SESSION_KEY = bytes.fromhex(sys.argv[4])
TOKEN, OUT, CONTROL_PORT = sys.argv[5], sys.argv[6], int(sys.argv[7])
SIGNED = ("/vexa/camera/device/v2/switch", "/common/device/vip/status", "/common/device/preUpload")
SCRIPT = {}
LOCK = threading.Lock()
FILE_IDS = [0]


def b64u(b):
    return base64.urlsafe_b64encode(b).rstrip(b"=").decode()


def unb64u(s):
    return base64.urlsafe_b64decode(s + "=" * (-len(s) % 4))


def aes(key, iv, data, encrypt):
    c = Cipher(algorithms.AES(key), modes.CBC(iv))
    op = c.encryptor() if encrypt else c.decryptor()
    return op.update(data) + op.finalize()


def pad(b):
    n = 16 - len(b) % 16
    return b + bytes([n]) * n


def unpad(b):
    n = b[-1]
    if n < 1 or n > 16 or b[-n:] != bytes([n]) * n:
        raise ValueError("bad padding")
    return b[:-n]


def sha_text(s):
    return b64u(hashlib.sha256(s if isinstance(s, bytes) else s.encode()).digest())


def decrypt_value(iv, text):
    return unpad(aes(SESSION_KEY, iv, unb64u(text), False)).decode()


def envelope(plain, mode):
    iv = os.urandom(16)
    key = os.urandom(16) if mode == "wrongkey" else SESSION_KEY
    body = pad(plain)
    if mode in ("pad0", "pad17", "padover", "padmix"):
        raw = plain + b" " * (-len(plain) % 16)
        raw = raw if len(raw) else b" " * 16
        last = {"pad0": 0, "pad17": 17, "padover": 0xF0, "padmix": 4}[mode]
        raw = raw[:-1] + bytes([last])
        if mode == "padmix":
            raw = raw[:-4] + b"\x04\x04\x05\x04"
        body = raw
    cipher = aes(key, iv, body, True)
    if mode == "len15":
        cipher = cipher[:-1]
    if mode == "oversized":
        cipher = aes(key, iv, pad(plain + b" " * 2100), True)
    iv_text = b64u(iv[:15] if mode == "iv15" else iv)
    data = b64u(cipher)
    sign = sha_text(data + iv_text)
    if mode == "wrongsign":
        sign = sha_text(data + iv_text + "x")
    return json.dumps({"data": data, "sign": sign, "iv": iv_text}).encode()


def answer(path):
    if path == "/common/device/getGOPInfo":
        return {"result": "ok", "gop": 5, "alarmOffsetLimit": 2, "cloudOffsetLimit": 300}
    if path == "/vexa/camera/device/v2/switch":
        return {"result": "ok", "cloudSwitch": True}
    if path == "/common/device/vip/status":
        return {"result": "ok", "vip": True, "freeHomSurStatus": False, "freeHomeSurExpireTime": 1893456000000}
    if path == "/common/device/preUpload":
        with LOCK:
            FILE_IDS[0] += 1
            file_id = "fid-%04d" % FILE_IDS[0]
        return {"result": "ok", "fileId": file_id, "storageUrl": ["https://localhost:%d" % PORT]}
    return {"result": "ok"}


def take_script(path):
    """The command for one request of `path`, counting down its "times" (then its "next" takes over)."""
    with LOCK:
        script = dict(SCRIPT.get(path, {"mode": "ok"}))
        if "times" in script:
            SCRIPT[path]["times"] -= 1
            if SCRIPT[path]["times"] <= 0:
                del SCRIPT[path]
                if "next" in script:
                    SCRIPT[path] = script["next"]
    return script


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stderr.write("cloud_sim: " + (fmt % args) + "\n")

    def record(self, path, ok, why, query):
        with LOCK, open(os.path.join(OUT, "requests.jsonl"), "a") as f:
            f.write(json.dumps({"path": path, "ok": ok, "why": why, "query": query}) + "\n")

    def send(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def check_query(self, path, q):
        """Checks signature and decrypts values: (why, decrypted)."""
        out = {}
        iv_text = q.get("iv", "")
        if path in SIGNED or "signature" in q:
            text = "GET&%s&%s" % (path, iv_text)
            if "region" in q:
                text += "&" + q["region"]
            if q.get("signature") != sha_text(text):
                return "bad signature", out
        try:
            iv = unb64u(iv_text)
            for k, v in q.items():
                if k not in ("iv", "signature"):
                    out[k] = decrypt_value(iv, v)
        except Exception as e:  # noqa: BLE001 - any decoding failure is a refusal
            return "bad value: %s" % e, out
        return "", out

    def form(self, body):
        """The parts of a multipart body as (name, filename, bytes)."""
        msg = email.parser.BytesParser(policy=email.policy.default).parsebytes(
            b"Content-Type: " + self.headers["Content-Type"].encode() + b"\r\n\r\n" + body)
        return [(p.get_param("name", header="content-disposition"), p.get_filename(), p.get_payload(decode=True))
                for p in msg.iter_parts()]

    def check_face(self, body, iv, values):
        photo = [data for name, filename, data in self.form(body) if name == "img" and filename]
        if len(photo) != 1:
            return "missing photo part"
        if values.get("imgSign") != sha_text(photo[0]):
            return "bad imgSign"
        with open(os.path.join(OUT, "last_face.jpeg"), "wb") as f:
            f.write(unpad(aes(SESSION_KEY, iv, photo[0], False)))
        return ""

    def check_parts(self, body, iv):
        parts = {name: data for name, _, data in self.form(body)}
        for name, ext in (("video", "mp4"), ("img", "jpeg")):
            cipher, trailer = parts.get(name), parts.get(name + "SignMF")
            if cipher is None or trailer is None or len(trailer) != 64:
                return "missing part %s" % name
            if decrypt_value(iv, trailer.decode()) != sha_text(cipher):
                return "bad %sSignMF" % name
            # Whole or not at all: a reader never sees a clip half rewritten by the next.
            part = os.path.join(OUT, "last.%s.%d" % (ext, threading.get_ident()))
            with open(part, "wb") as f:
                f.write(unpad(aes(SESSION_KEY, iv, cipher, False)))
            os.replace(part, os.path.join(OUT, "last." + ext))
        return ""

    def handle_any(self, body):
        url = urllib.parse.urlsplit(self.path)
        path = url.path
        q = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        script = take_script(path)
        mode = script.get("mode", "ok")
        why = ""
        if self.headers.get("Cookie") != "serviceToken=" + TOKEN:
            why = "bad cookie"
        values = {}
        if not why:
            why, values = self.check_query(path, q)
        if not why and body is not None and path.endswith("/v3/upload"):
            try:
                why = self.check_parts(body, unb64u(q["iv"]))
            except Exception as e:  # noqa: BLE001
                why = "bad body: %s" % e
        if not why and body is not None and path.endswith("/facePhoto"):
            try:
                why = self.check_face(body, unb64u(q["iv"]), values)
            except Exception as e:  # noqa: BLE001
                why = "bad body: %s" % e
        self.record(path, not why, why, values)
        if why:
            self.send(403, why.encode())
            return
        if mode == "stall":
            time.sleep(60)
            return
        if mode == "cut":
            self.send_response(200)
            self.send_header("Content-Length", "500")
            self.end_headers()
            self.wfile.write(b'{"data":"')
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if mode == "flood":
            self.send(200, b"A" * (1 << 20))
            return
        if mode == "status":
            self.send(int(script["status"]), b"refused")
            return
        if mode == "unauthorized":
            self.send(200, b"401 Unauthorized")
            return
        if mode == "badjson":
            self.send(200, b'{"data": not json')
            return
        plain = answer(path)
        if mode == "code":
            plain = {"result": "fail", "code": script["code"]}
        elif mode == "fail_nocode":
            plain = {"result": "fail"}
        elif mode == "urls":
            plain["storageUrl"] = script["urls"]
        elif mode == "fileid":
            plain["fileId"] = script["fileId"]
        elif mode == "answer":
            plain = script["answer"]
        self.send(200, envelope(json.dumps(plain).encode(), mode))

    def serve_image(self, path):
        script = take_script(path)
        mode = script.get("mode", "ok")
        rng = self.headers.get("Range", "")
        with LOCK, open(os.path.join(OUT, "requests.jsonl"), "a") as f:
            f.write(json.dumps({"path": path, "range": rng, "mode": mode}) + "\n")
        try:
            with open(os.path.join(OUT, os.path.basename(path)), "rb") as f:
                data = f.read()
        except OSError:
            self.send(404, b"no such image")
            return
        start = 0
        if rng.startswith("bytes=") and mode != "full":
            start = int(rng[6:].split("-")[0] or 0)
        body = data[start:]
        self.send_response(206 if start or (rng and mode != "full") else 200)
        if start or (rng and mode != "full"):
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
        if mode == "nolength":
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(script.get("length", len(body))))
        self.end_headers()
        if mode in ("cut", "stall"):
            self.wfile.write(body[:script["at"]])
            self.wfile.flush()
            if mode == "stall":
                time.sleep(60)
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/ota/"):
            self.serve_image(urllib.parse.urlsplit(self.path).path)
            return
        self.handle_any(None)

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        with LOCK:
            mode = SCRIPT.get(path, {}).get("mode")
            if mode == "noread" and "times" in SCRIPT[path]:
                SCRIPT[path]["times"] -= 1
                if SCRIPT[path]["times"] <= 0:
                    del SCRIPT[path]
        if mode == "noread":
            time.sleep(60)
            return
        n = int(self.headers.get("Content-Length", "0"))
        self.handle_any(self.rfile.read(n))


    def do_PUT(self):
        path = urllib.parse.urlsplit(self.path).path
        with LOCK:
            script = dict(SCRIPT.get(path, {"mode": "ok"}))
        mode = script.get("mode", "ok")
        n = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(n)
        with LOCK, open(os.path.join(OUT, "requests.jsonl"), "a") as f:
            f.write(json.dumps({"path": path, "mode": mode, "length": len(body),
                                "expect": self.headers.get("Expect")}) + "\n")
        if not path.startswith("/logs/"):
            self.send(404, b"no such place")
            return
        with open(os.path.join(OUT, os.path.basename(path)), "wb") as f:
            f.write(body)
        if mode == "stall":
            time.sleep(60)
            return
        self.send(int(script.get("status", 200)), b"")


class Control(socketserver.StreamRequestHandler):
    def handle(self):
        for line in self.rfile:
            try:
                cmd = json.loads(line)
                with LOCK:
                    SCRIPT[cmd["path"]] = cmd
                self.wfile.write(b"ok\n")
            except Exception:  # noqa: BLE001 - a bad line gets an error and the link goes on
                self.wfile.write(b"error\n")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    ctl = socketserver.ThreadingTCPServer(("127.0.0.1", CONTROL_PORT), Control)
    ctl.daemon_threads = True
    threading.Thread(target=ctl.serve_forever, daemon=True).start()
    srv = Server(("127.0.0.1", PORT), Handler)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(CERT, KEY)
    srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    print("ready", flush=True)
    srv.serve_forever()


if __name__ == "__main__":
    main()
