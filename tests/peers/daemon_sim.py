#!/usr/bin/env python3
"""Device-daemon simulator: plays the daemon's side of the camera's JSON-RPC link.

It listens on TCP 127.0.0.1:<port> for the camera's two connections, cuts each byte stream into JSON
objects (with Python's own decoder, independent of the camera's splitter), logs every object per link,
answers the queries the camera sends ("local.query_did", "local.query_time", "local.query_status") and
any method a test scripts, and optionally plays the supervisor on a unix socket, where the camera sends
NUL-terminated JSON keep-alives.

Tests drive it through a unix control socket, one JSON object per line in each direction:
  {"cmd":"links"}                                   -> {"links":{"internal":{...},"rpc":{...}}}
  {"cmd":"received","link":"rpc","since":0}         -> {"objects":[...],"next":n}
  {"cmd":"wait","link":"rpc","method":"m","since":0,"timeout_ms":5000}
                                                    -> {"object":{...},"index":i} or {"error":"timeout"}
      (without "method", waits for any object; "method":null waits for a reply, one without method)
  {"cmd":"send","link":"internal","text":"...","chunk":0,"delay_ms":0}
                                                    -> {"ok":true} (chunk > 0 splits the text)
  {"cmd":"script","method":"m","reply":{...}}       -> {"ok":true}; later requests for m get
      {"id": <their id>, **reply}; "reply":null removes the rule; with "delay_ms":t each such reply
      is sent t ms after its request, as a slow cloud's would be
  {"cmd":"script","method":"m","answer_properties":{"2.1":true,...}}
                                                    -> {"ok":true}; later requests for m, whose
      "params"."properties" list {"siid","piid"} pairs (as "_sync.spec_get_prop" does), get
      {"id": <their id>, "result": {"properties": [{"did","siid","piid","value","code":0} for each pair
      with a value under "siid.piid", {"did","siid","piid","code":-4003} for the others]}}
  {"cmd":"loop","link":"rpc","count":n,"text":"{...}","timeout_ms":5000}
                                                    -> {"ok":true,"count":n,"elapsed_ms":t}
      sends the request object `text` n times on the link, each with a fresh "id" and only after
      the camera's reply (an object without "method" and with that id) to the one before; the
      replies are not kept; t is the time from the first send to the last reply
      ({"error":"timeout","done":k} when a reply does not come); with "texts":[...] in place of
      "text" the requests are taken from the list in turn
  {"cmd":"burst","link":"rpc","count":n,"text":"{...}","timeout_ms":5000}
                                                    -> {"ok":true,"count":n,"errors":e,"elapsed_ms":t}
      sends the request object `text` n times in one write, each with a fresh "id", and waits
      for the camera's reply to every one; e of them were error replies; t is the time from the
      write to the last reply ({"error":"timeout","answered":k} when replies are missing)
  {"cmd":"set","did":1234,"time":1700000000,"status":"cloud_connected"}
  {"cmd":"call","method":"_internal.request_dinfo","params":{...},"id":7,"extra":{...}}
                                                    -> {"ok":true,"since":n}
      plays one of the daemon's own requests (local methods) to the camera on the internal link:
      {"method": m, "id": id (only when given), "params": params (only when given), **extra};
      "since" is the number of objects the internal link had received before, for a "wait" on the
      camera's answer; {"cmd":"call","method":"local.status","params":"cloud_connected"} tells a state
  {"cmd":"close","link":"rpc"}                      -> closes that link's connection
  {"cmd":"reading","link":"rpc","on":false}         -> stops (or resumes) reading that link's current
      connection, as a daemon that hangs would; a new connection is read as usual
  {"cmd":"flood","link":"rpc","head":"{","fill":"x","bytes":n}
                                                    -> {"ok":true,"sent":m}: writes "head" and then
      "fill" repeated up to n bytes in all, until the camera closes the connection
  {"cmd":"listen","on":false}                       -> stops (or resumes) accepting connections and
      closes the open ones (unless "keep_links":true)
  {"cmd":"accepts"}                                 -> {"accepts":[[link_or_null, t_monotonic], ...]}
  {"cmd":"supervisor","since":0}                    -> {"messages":[[t_monotonic, {...}], ...],"next":n}
  {"cmd":"quit"}
Without a script rule, the camera's "_sync.set_extra_data" and "local.ble.config_router" requests are
answered {"id":<id>,"result":"ok"}. With --push-status, every "_internal.hello" of the camera is
followed by {"method":"local.status","params":<status>} while a status is set, as the daemon tells
the camera its state once the internal link is up.
A link is "internal" once its first object names an "_internal." or "local." method; any other
connection is "rpc" (a silent one as soon as the internal link has greeted).
"""

import argparse
import json
import os
import selectors
import socket
import sys
import time

DECODER = json.JSONDecoder()
INTERNAL_PREFIXES = ("_internal.", "local.")
ACKNOWLEDGED = ("_sync.set_extra_data", "local.ble.config_router")


def now():
    return time.monotonic()


def split_objects(buffer):
    """Returns (objects, rest): every whole JSON object at the front of `buffer`, and what remains."""
    objects = []
    pos = 0
    while True:
        start = buffer.find("{", pos)
        if start < 0:
            return objects, ""
        try:
            obj, end = DECODER.raw_decode(buffer, start)
        except json.JSONDecodeError as err:
            # An object still arriving stays in the buffer (its end may be a cut literal such as
            # "tr" or "-"); garbage up to the next "{" is dropped.
            if err.pos >= len(buffer) - len("false") or err.msg.startswith("Unterminated string"):
                return objects, buffer[start:]
            pos = start + 1
            continue
        objects.append(obj)
        pos = end


class Link:
    def __init__(self, sock, index):
        self.sock = sock
        self.index = index
        self.name = None
        self.buffer = ""
        self.connected_at = now()
        self.paused = False  # not read, as by a daemon that hangs


class Simulator:
    def __init__(self, args):
        self.args = args
        self.sel = selectors.DefaultSelector()
        self.links = []  # connections in accept order
        self.received = {"internal": [], "rpc": []}
        self.accepts = []
        self.rules = {}
        self.delays = {}
        self.delayed = []
        for rule in args.script:
            method, _, reply = rule.partition("=")
            self.rules[method] = json.loads(reply)
        self.state = {"did": args.did, "time": args.time, "status": args.status}
        self.waiters = []
        self.supervisor_messages = []
        self.listener = None
        self.running = True
        self.listen(True)
        self.control = self.unix_listener(args.control)
        self.sel.register(self.control, selectors.EVENT_READ, ("control-accept", None))
        if args.supervisor:
            sup = self.unix_listener(args.supervisor)
            self.sel.register(sup, selectors.EVENT_READ, ("supervisor-accept", None))

    @staticmethod
    def unix_listener(path):
        if os.path.exists(path):
            os.unlink(path)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.bind(path)
        sock.listen(8)
        sock.setblocking(False)
        return sock

    def listen(self, on):
        if on and self.listener is None:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("127.0.0.1", self.args.port))
            sock.listen(8)
            sock.setblocking(False)
            self.listener = sock
            self.sel.register(sock, selectors.EVENT_READ, ("daemon-accept", None))
        elif not on and self.listener is not None:
            self.sel.unregister(self.listener)
            self.listener.close()
            self.listener = None

    def log(self, text):
        print(text, flush=True)

    # ---- the daemon side -------------------------------------------------------------------------
    def current(self, name):
        for link in reversed(self.links):
            if link.name == name and link.sock is not None:
                return link
        return None

    def on_daemon_accept(self, sock):
        conn, _ = sock.accept()
        conn.setblocking(False)
        link = Link(conn, len(self.links))
        self.links.append(link)
        self.accepts.append([None, now()])
        self.sel.register(conn, selectors.EVENT_READ, ("daemon", link))
        self.log(f"accept #{link.index}")
        self.name_silent_links()

    def name_silent_links(self):
        # The RPC link sends nothing until it has something to say; once the internal link has
        # greeted, any other live connection is the RPC link.
        if self.current("internal") is None:
            return
        for link in self.links:
            if link.name is None and link.sock is not None:
                link.name = "rpc"
                self.accepts[link.index][0] = "rpc"

    def close_link(self, link):
        if link.sock is None:
            return
        if not link.paused:
            self.sel.unregister(link.sock)
        link.sock.close()
        link.sock = None
        self.log(f"closed #{link.index} ({link.name})")

    def on_daemon_read(self, link):
        try:
            data = link.sock.recv(65536)
        except BlockingIOError:  # a loop command read what made the socket ready
            return
        except ConnectionError:
            data = b""
        if not data:
            self.close_link(link)
            return
        link.buffer += data.decode("utf-8", errors="replace")
        objects, link.buffer = split_objects(link.buffer)
        for obj in objects:
            self.on_object(link, obj)

    def on_object(self, link, obj):
        method = obj.get("method") if isinstance(obj, dict) else None
        if link.name is None:
            internal = isinstance(method, str) and method.startswith(INTERNAL_PREFIXES)
            link.name = "internal" if internal else "rpc"
            self.accepts[link.index][0] = link.name
        self.name_silent_links()
        self.received[link.name].append(obj)
        self.log(f"[{link.name}] {json.dumps(obj)}")
        self.answer(link, obj, method)
        self.check_waiters()

    def answer(self, link, obj, method):
        if (method == "_internal.hello" and self.args.push_status and self.state["status"] is not None
                and link.name == "internal"):
            self.write(link, json.dumps({"method": "local.status", "params": self.state["status"]},
                                        separators=(",", ":")))
        if not isinstance(method, str) or "id" not in obj:
            return
        reply = None
        if method in self.rules:
            reply = self.scripted_reply(self.rules[method], obj)
        elif method == "local.query_did" and self.state["did"] is not None:
            reply = {"method": "local.did", "params": self.state["did"]}
        elif method == "local.query_time" and self.state["time"] is not None:
            reply = {"method": "local.time", "params": self.state["time"]}
        elif method == "local.query_status" and self.state["status"] is not None:
            reply = {"method": "local.status", "params": self.state["status"]}
        elif method in ACKNOWLEDGED:
            reply = {"result": "ok"}
        if reply is None:
            return
        reply["id"] = obj["id"]
        text = json.dumps(reply, separators=(",", ":"))
        delay = self.delays.get(method, 0)
        if delay > 0:
            self.delayed.append((now() + delay / 1000.0, link, text))
        else:
            self.write(link, text)

    def send_delayed(self):
        due = [d for d in self.delayed if d[0] <= now()]
        self.delayed = [d for d in self.delayed if d[0] > now()]
        for _, link, text in due:
            if link.sock is not None:
                self.write(link, text)

    @staticmethod
    def scripted_reply(rule, request):
        if not (isinstance(rule, dict) and "answer_properties" in rule):
            return dict(rule)
        values = rule["answer_properties"]
        params = request.get("params")
        asked = params.get("properties") if isinstance(params, dict) else None
        answered = []
        for item in asked if isinstance(asked, list) else []:
            if not isinstance(item, dict):
                continue
            element = {k: item[k] for k in ("did", "siid", "piid") if k in item}
            key = f"{item.get('siid')}.{item.get('piid')}"
            if key in values:
                element["value"] = values[key]
                element["code"] = 0
            else:
                element["code"] = -4003
            answered.append(element)
        return {"result": {"properties": answered}}

    def loop(self, conn, cmd):
        link = self.current(cmd.get("link", "rpc"))
        if link is None:
            self.respond(conn, {"error": "not connected"})
            return
        requests = [json.loads(t) for t in cmd["texts"]] if "texts" in cmd else [json.loads(cmd["text"])]
        count = int(cmd.get("count", 1))
        timeout = cmd.get("timeout_ms", 5000) / 1000.0
        base = int(cmd.get("first_id", 1))
        start = now()
        for i in range(count):
            request = requests[i % len(requests)]
            request["id"] = base + i
            self.write(link, json.dumps(request, separators=(",", ":")))
            if not self.await_reply(link, base + i, now() + timeout):
                self.respond(conn, {"error": "timeout", "done": i})
                return
        self.respond(conn, {"ok": True, "count": count, "elapsed_ms": (now() - start) * 1000.0})

    def burst(self, conn, cmd):
        link = self.current(cmd.get("link", "rpc"))
        if link is None:
            self.respond(conn, {"error": "not connected"})
            return
        request = json.loads(cmd["text"])
        count = int(cmd.get("count", 1))
        base = int(cmd.get("first_id", 1))
        texts = []
        for i in range(count):
            request["id"] = base + i
            texts.append(json.dumps(request, separators=(",", ":")))
        start = now()
        self.write(link, "".join(texts))
        replies = self.await_replies(link, set(range(base, base + count)),
                                     now() + cmd.get("timeout_ms", 5000) / 1000.0)
        if len(replies) < count:
            self.respond(conn, {"error": "timeout", "answered": len(replies)})
            return
        errors = sum(1 for r in replies.values() if "error" in r)
        self.respond(conn, {"ok": True, "count": count, "errors": errors, "elapsed_ms": (now() - start) * 1000.0})

    def await_reply(self, link, want_id, deadline):
        """Reads the link until the reply with `want_id` arrives; other objects are handled as usual."""
        return bool(self.await_replies(link, {want_id}, deadline))

    def await_replies(self, link, want_ids, deadline):
        """Reads the link until a reply to each of `want_ids` has arrived, or until `deadline`; returns
        the replies by id. Other objects are handled as usual."""
        got = {}
        while link.sock is not None and len(got) < len(want_ids):
            left = deadline - now()
            if left <= 0:
                break
            ready = selectors.DefaultSelector()
            ready.register(link.sock, selectors.EVENT_READ)
            events = ready.select(timeout=left)
            ready.close()
            if not events:
                continue
            try:
                data = link.sock.recv(65536)
            except BlockingIOError:
                continue
            except ConnectionError:
                data = b""
            if not data:
                self.close_link(link)
                break
            link.buffer += data.decode("utf-8", errors="replace")
            objects, link.buffer = split_objects(link.buffer)
            for obj in objects:
                reply_id = obj.get("id") if isinstance(obj, dict) and "method" not in obj else None
                if isinstance(reply_id, int) and reply_id in want_ids and reply_id not in got:
                    got[reply_id] = obj
                else:
                    self.on_object(link, obj)
        return got

    def write(self, link, text, chunk=0, delay_ms=0):
        data = text.encode()
        link.sock.setblocking(True)
        try:
            if chunk <= 0:
                link.sock.sendall(data)
            else:
                for i in range(0, len(data), chunk):
                    link.sock.sendall(data[i:i + chunk])
                    if delay_ms:
                        time.sleep(delay_ms / 1000.0)
        finally:
            link.sock.setblocking(False)

    def flood(self, link, head, fill, total):
        block = (fill * (65536 // len(fill) + 1))[:65536].encode()
        data = head.encode()
        sent = 0
        link.sock.setblocking(True)
        link.sock.settimeout(10)
        try:
            while sent < total:
                chunk = data if data else block[:min(len(block), total - sent)]
                data = b""
                link.sock.sendall(chunk)
                sent += len(chunk)
        except OSError:
            pass  # the camera gave up on the stream
        finally:
            link.sock.setblocking(False)
        return sent

    # ---- the supervisor side ---------------------------------------------------------------------
    def on_supervisor_accept(self, sock):
        conn, _ = sock.accept()
        conn.setblocking(False)
        self.sel.register(conn, selectors.EVENT_READ, ("supervisor", [conn, b""]))

    def read_records(self, entry, separator):
        """Reads what a peer connection [conn, pending bytes] holds and returns its whole records;
        None once the peer has closed (the connection is then closed too)."""
        conn = entry[0]
        try:
            data = conn.recv(65536)
        except ConnectionError:
            data = b""
        if not data:
            self.sel.unregister(conn)
            conn.close()
            return None
        entry[1] += data
        *records, entry[1] = entry[1].split(separator)
        return records

    def on_supervisor_read(self, entry):
        conn = entry[0]
        for text in self.read_records(entry, b"\0") or []:
            try:
                msg = json.loads(text.decode())
            except ValueError:
                msg = {"unparsed": text.decode(errors="replace")}
            self.supervisor_messages.append([now(), msg])
            self.log(f"[supervisor] {json.dumps(msg)}")
            if isinstance(msg, dict) and msg.get("method") == "daemon.getinfo":
                reply = {"id": msg.get("id"), "result": "ok", "info": self.args.crash_info}
                conn.setblocking(True)
                conn.sendall(json.dumps(reply).encode() + b"\0")
                conn.setblocking(False)

    # ---- the control side ------------------------------------------------------------------------
    def on_control_accept(self, sock):
        conn, _ = sock.accept()
        conn.setblocking(False)
        self.sel.register(conn, selectors.EVENT_READ, ("control", [conn, b""]))

    def on_control_read(self, entry):
        conn = entry[0]
        lines = self.read_records(entry, b"\n")
        if lines is None:
            self.waiters = [w for w in self.waiters if w["conn"] is not conn]
            return
        for line in lines:
            if not line.strip():
                continue
            try:
                cmd = json.loads(line.decode())
            except ValueError as err:
                self.respond(conn, {"error": f"bad command: {err}"})
                continue
            self.on_command(conn, cmd)

    def respond(self, conn, obj):
        conn.setblocking(True)
        try:
            conn.sendall(json.dumps(obj).encode() + b"\n")
        except OSError:
            pass
        conn.setblocking(False)

    def on_command(self, conn, cmd):
        kind = cmd.get("cmd")
        if kind == "links":
            out = {}
            for name in ("internal", "rpc"):
                link = self.current(name)
                out[name] = {"connected": link is not None,
                             "connections": sum(1 for l in self.links if l.name == name)}
            self.respond(conn, {"links": out})
        elif kind == "received":
            objs = self.received[cmd["link"]]
            since = cmd.get("since", 0)
            self.respond(conn, {"objects": objs[since:], "next": len(objs)})
        elif kind == "wait":
            waiter = {"conn": conn, "link": cmd["link"], "since": cmd.get("since", 0),
                      "has_method": "method" in cmd, "method": cmd.get("method"),
                      "deadline": now() + cmd.get("timeout_ms", 5000) / 1000.0}
            self.waiters.append(waiter)
            self.check_waiters()
        elif kind == "send":
            link = self.current(cmd["link"])
            if link is None:
                self.respond(conn, {"error": "not connected"})
                return
            self.write(link, cmd["text"], cmd.get("chunk", 0), cmd.get("delay_ms", 0))
            self.respond(conn, {"ok": True})
        elif kind == "call":
            link = self.current("internal")
            if link is None:
                self.respond(conn, {"error": "not connected"})
                return
            request = {"method": cmd["method"]}
            if "id" in cmd:
                request["id"] = cmd["id"]
            if "params" in cmd:
                request["params"] = cmd["params"]
            request.update(cmd.get("extra", {}))
            since = len(self.received["internal"])
            self.write(link, json.dumps(request, separators=(",", ":")))
            self.respond(conn, {"ok": True, "since": since})
        elif kind == "script":
            if "answer_properties" in cmd:
                self.rules[cmd["method"]] = {"answer_properties": cmd["answer_properties"]}
            elif cmd.get("reply") is None:
                self.rules.pop(cmd["method"], None)
            else:
                self.rules[cmd["method"]] = cmd["reply"]
            self.delays[cmd["method"]] = int(cmd.get("delay_ms", 0))
            self.respond(conn, {"ok": True})
        elif kind == "set":
            for key in ("did", "time", "status"):
                if key in cmd:
                    self.state[key] = cmd[key]
            self.respond(conn, {"ok": True})
        elif kind == "close":
            link = self.current(cmd["link"])
            if link is not None:
                self.close_link(link)
            self.respond(conn, {"ok": link is not None})
        elif kind == "reading":
            link = self.current(cmd["link"])
            if link is not None and link.paused == bool(cmd.get("on", True)):
                link.paused = not link.paused
                if link.paused:
                    self.sel.unregister(link.sock)
                else:
                    self.sel.register(link.sock, selectors.EVENT_READ, ("daemon", link))
            self.respond(conn, {"ok": link is not None})
        elif kind == "flood":
            link = self.current(cmd["link"])
            if link is None:
                self.respond(conn, {"error": "not connected"})
                return
            self.respond(conn, {"ok": True, "sent": self.flood(link, cmd.get("head", ""), cmd["fill"],
                                                               cmd["bytes"])})
        elif kind == "listen":
            self.listen(bool(cmd.get("on", True)))
            if not cmd.get("on", True) and not cmd.get("keep_links", False):
                for link in self.links:
                    self.close_link(link)
            self.respond(conn, {"ok": True})
        elif kind == "accepts":
            self.respond(conn, {"accepts": self.accepts})
        elif kind == "supervisor":
            since = cmd.get("since", 0)
            self.respond(conn, {"messages": self.supervisor_messages[since:],
                                "next": len(self.supervisor_messages)})
        elif kind == "loop":
            self.loop(conn, cmd)
        elif kind == "burst":
            self.burst(conn, cmd)
        elif kind == "quit":
            self.respond(conn, {"ok": True})
            self.running = False
        else:
            self.respond(conn, {"error": f"unknown command {kind!r}"})

    def matches(self, waiter, obj):
        if not waiter["has_method"]:
            return True
        method = obj.get("method") if isinstance(obj, dict) else None
        if waiter["method"] is None:
            return method is None
        return method == waiter["method"]

    def check_waiters(self):
        keep = []
        for waiter in self.waiters:
            objs = self.received[waiter["link"]]
            found = None
            for i in range(waiter["since"], len(objs)):
                if self.matches(waiter, objs[i]):
                    found = i
                    break
            if found is not None:
                self.respond(waiter["conn"], {"object": objs[found], "index": found})
            elif now() >= waiter["deadline"]:
                self.respond(waiter["conn"], {"error": "timeout"})
            else:
                keep.append(waiter)
        self.waiters = keep

    def run(self):
        while self.running:
            self.send_delayed()
            for key, _ in self.sel.select(timeout=0.05):
                kind, data = key.data
                if kind == "daemon-accept":
                    self.on_daemon_accept(key.fileobj)
                elif kind == "daemon":
                    self.on_daemon_read(data)
                elif kind == "control-accept":
                    self.on_control_accept(key.fileobj)
                elif kind == "control":
                    self.on_control_read(data)
                elif kind == "supervisor-accept":
                    self.on_supervisor_accept(key.fileobj)
                elif kind == "supervisor":
                    self.on_supervisor_read(data)
            self.check_waiters()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--control", required=True, help="path of the unix control socket")
    parser.add_argument("--supervisor", help="path of the supervisor socket to serve")
    parser.add_argument("--did", type=int, default=None)
    parser.add_argument("--time", type=int, default=None)
    parser.add_argument("--status", default=None)
    parser.add_argument("--crash-info", default="none")
    parser.add_argument("--push-status", action="store_true",
                        help='tell the status after every "_internal.hello"')
    parser.add_argument("--script", action="append", default=[], metavar="METHOD=JSON",
                        help="answer requests for METHOD with the JSON object (as the script command)")
    args = parser.parse_args()
    Simulator(args).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
