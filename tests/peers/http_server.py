#!/usr/bin/env python3
"""A local HTTPS server for the HTTP client tests.

Usage: http_server.py PORT CERT KEY

Paths:
  GET  /hello      200 "hello from server"
  GET  /big        200 with 5000 bytes of letters
  GET  /missing    404
  GET  /cookie     200 with the request's Cookie header as body
  GET  /file       100000 bytes (byte i = i * 7 % 251); honours "Range: bytes=N-" with 206;
                   the Range header seen is echoed in "X-Seen-Range"
  GET  /drop       closes the connection without a reply
  GET  /stall      sends headers and 10 of 1000 bytes, then stalls for 60 s
  GET  /cut        announces the 100000 bytes of /file, sends 5000 of them and closes
  GET  /slow       the bytes of /file in 1000-byte pieces, 20 ms apart
  POST /echo       200 with the request body as body
  POST /form       multipart/form-data: one line per part, "name|filename|size|sha256"
Prints "ready" once listening.
"""
import email.parser
import email.policy
import hashlib
import http.server
import ssl
import sys
import time

FILE = bytes(i * 7 % 251 for i in range(100000))


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, fmt, *args):
        sys.stderr.write("http_server: " + (fmt % args) + "\n")

    def reply(self, code, body, extra=None):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/hello":
            self.reply(200, b"hello from server")
        elif self.path == "/big":
            self.reply(200, bytes(65 + i % 26 for i in range(5000)))
        elif self.path == "/missing":
            self.reply(404, b"nope")
        elif self.path == "/cookie":
            self.reply(200, (self.headers.get("Cookie") or "").encode())
        elif self.path == "/file":
            rng = self.headers.get("Range")
            seen = {"X-Seen-Range": rng or "none"}
            if rng and rng.startswith("bytes=") and rng.endswith("-"):
                start = int(rng[6:-1])
                seen["Content-Range"] = "bytes %d-%d/%d" % (start, len(FILE) - 1, len(FILE))
                self.reply(206, FILE[start:], seen)
            else:
                self.reply(200, FILE, seen)
        elif self.path == "/drop":
            self.close_connection = True
            self.connection.close()
        elif self.path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            time.sleep(60)
        elif self.path == "/cut":
            self.send_response(200)
            self.send_header("Content-Length", str(len(FILE)))
            self.end_headers()
            self.wfile.write(FILE[:5000])
            self.wfile.flush()
            self.close_connection = True
        elif self.path == "/slow":
            self.send_response(200)
            self.send_header("Content-Length", str(len(FILE)))
            self.end_headers()
            for at in range(0, len(FILE), 1000):
                self.wfile.write(FILE[at:at + 1000])
                self.wfile.flush()
                time.sleep(0.02)
        else:
            self.reply(404, b"unknown")

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if self.path == "/echo":
            self.reply(200, body)
        elif self.path == "/form":
            head = ("Content-Type: %s\r\n\r\n" % self.headers.get("Content-Type")).encode()
            msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
            lines = []
            for part in msg.iter_parts():
                data = part.get_payload(decode=True) or b""
                name = part.get_param("name", header="content-disposition")
                lines.append("%s|%s|%d|%s" % (name, part.get_filename() or "", len(data),
                                              hashlib.sha256(data).hexdigest()))
            self.reply(200, ("\n".join(lines) + "\n").encode())
        else:
            self.reply(404, b"unknown")


def main():
    port, cert, key = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
