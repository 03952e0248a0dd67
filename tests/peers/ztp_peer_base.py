"""What the transport's test peers share: a line-JSON control socket and a log of received messages
that a test can read and wait on."""

import json
import os
import socket
import threading
import time


class MessageLog:
    def __init__(self):
        self.cond = threading.Condition()
        self.entries = []

    def add(self, entry):
        entry["t"] = time.monotonic()
        with self.cond:
            self.entries.append(entry)
            self.cond.notify_all()

    def since(self, index):
        with self.cond:
            return {"log": self.entries[index:], "next": len(self.entries), "now": time.monotonic()}

    def wait(self, since, match, timeout_ms):
        """The first entry from `since` on whose fields include `match`, waiting up to timeout_ms."""
        deadline = time.monotonic() + timeout_ms / 1000.0
        with self.cond:
            i = since
            while True:
                while i < len(self.entries):
                    e = self.entries[i]
                    if all(e.get(k) == v for k, v in match.items()):
                        return {"entry": e, "index": i}
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    return {"error": "timeout"}
                self.cond.wait(left)


def log_command(log, cmd):
    """The log commands every peer answers, or None."""
    if cmd.get("cmd") == "log":
        return log.since(cmd.get("since", 0))
    if cmd.get("cmd") == "wait":
        return log.wait(cmd.get("since", 0), cmd.get("match", {}), cmd.get("timeout_ms", 5000))
    return None


def control_loop(handler, path):
    """Serves `handler(cmd) -> answer` on a unix socket, one JSON object per line each way."""
    if os.path.exists(path):
        os.unlink(path)
    ctl = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    ctl.bind(path)
    ctl.listen(4)
    while True:
        conn, _ = ctl.accept()
        threading.Thread(target=_control_client, args=(handler, conn), daemon=True).start()


def _control_client(handler, conn):
    pending = b""
    with conn:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                try:
                    answer = handler(json.loads(line))
                except (ValueError, OSError, KeyError, TypeError) as err:
                    answer = {"error": str(err)}
                conn.sendall(json.dumps(answer).encode() + b"\n")
