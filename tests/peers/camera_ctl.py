#!/usr/bin/env python3
"""What a user does with the camera that camera_env.py runs in ROOT.

usage: camera_ctl.py ROOT COMMAND
  token [VALUE]  reads the device token through the device-daemon simulator
                 ("_internal.request_ot_config"), or sets it ("_internal.update_dtoken") and prints
                 the camera's "_internal.token_updated"; the camera keeps it across restarts
  get SIID PIID  reads a property as the phone app does, through the daemon simulator's RPC link
                 ("get_properties"), and prints "SIID.PIID = <value as JSON>"
  set SIID PIID JSON  sets it ("set_properties") and prints "SIID.PIID set, code <the camera's code>"
  motion         stages a motion report in the detection script and waits (up to 30 s) for the
                 camera's "event_occured" on the daemon's RPC link, which it prints
  recordings     prints the video and event index records on the card, one JSON object a line
  restart        restarts zelmar_app (camera_env.py stops and starts it) and waits for its ready state
  card-formatted tells the camera its fresh test card is formatted ("set_sdcard_status" 1, agent
                 message 43, as the card app sends it after a format): it fills the card with its pool
  daemon-restart the daemon simulator drops both links and refuses connections for 2 s, as a restarting
                 daemon would; prints the seconds until the camera has both links up again (at most 60)
  p2p            waits (up to 30 s) until the camera has logged in to the P2P servers and prints where
  p2p-restart    restarts the P2P servers (camera_env.py stops and starts them on their ports) and
                 prints the seconds until they are back and until the camera has logged in again
                 (at most 60)
  watch SECONDS OUT [--phones N] [--sub] [--audio]
                 a phone (vasq_phone.py) links to the camera through the P2P servers, authorises
                 with the camera's keys, starts live video (258), stops it (259) after SECONDS and
                 disconnects; the video payloads go to OUT as an elementary stream and the frames
                 [seq, length, crc32, bytes sent, header time_ms, arrival ms on CLOCK_MONOTONIC, codec,
                 flags] to OUT.frames.json; prints the latency p50/p99, the frames after 259 and the
                 freed slot. --phones N: N phones (1 to 6; the camera admits 3) at once, each
                 watching as soon as it is in, phone i > 0 writing OUT.phoneI;
                 --sub: each asks for the sub stream (265, quality 0, with automatic switching: an
                 idle link steps up to main after 4 s) and OUT keeps only its frames (resolution
                 code 5, 864 x 480); --audio: live audio too (258 "enableaudio"), saved as
                 Ogg Opus to OUT.ogg. With several phones or --sub it also prints the frames lost and
                 the frames per resolution code
  talk SECONDS OUT  a phone starts talk-back (262, answered 263 with 0), sends a 1000 Hz tone as 20-ms
                 Opus frames on channel 3 for SECONDS at the pace it plays, stops (264) and leaves;
                 what the board's speaker played meanwhile goes to OUT (16 kHz mono s16le)
  play [TIME] SECONDS OUT  a phone asks for the card's recording from TIME (seconds since 1970; the
                 newest recording's start when absent) to be played back (269), prints the camera's
                 270 ("filefound"), takes the frames for SECONDS, stops (259) and leaves; the video
                 frames go to OUT as an elementary stream
  clip OUT       waits (up to 90 s) for the next clip the cloud receives and copies it, as the cloud
                 decrypted it, to OUT (an MP4)
  nas [SECONDS]  sets the run's smbd share as the camera's NAS ("nas_set_config", as the phone app
                 does), waits for its video folder on the share and prints the recordings there,
                 waiting up to SECONDS for one (the card closes a recording file once it is full),
                 and past them while a copy on its way to the share still grows
  links          prints the daemon simulator's links
  cloud          prints the requests the simulated cloud received
Exit status 0 on success, 1 with a message otherwise.
"""
import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

PEERS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, PEERS)
import fmp4_walk  # noqa: E402

SCALE = float(os.environ.get("ZELMAR_TEST_TIME_SCALE", "1"))


class Fail(Exception):
    pass


def read_env(root):
    env = {}
    try:
        with open(root + "/tmp/camera.env") as f:
            for line in f:
                name, _, value = line.strip().removeprefix("export ").partition("=")
                env[name] = value
    except OSError:
        raise Fail(f"no camera runs in {root} (no tmp/camera.env)")
    return env


class Control:
    """A peer's control socket: one JSON object per line each way."""

    def __init__(self, path, name):
        self.name = name
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.sock.connect(path)
        except OSError as e:
            raise Fail(f"{name} does not answer: {e}")
        self.pending = b""

    def command(self, **cmd):
        self.sock.sendall(json.dumps(cmd).encode() + b"\n")
        while b"\n" not in self.pending:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise Fail(f"{self.name} closed its control socket")
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return json.loads(line)


class Daemon(Control):
    def __init__(self, root):
        super().__init__(root + "/tmp/daemon_sim.control", "the device daemon simulator")

    def call_and_wait(self, method, answer, params=None, timeout_ms=10000):
        cmd = {"method": method}
        if params is not None:
            cmd["params"] = params
        sent = self.command(cmd="call", **cmd)
        if "since" not in sent:
            raise Fail(f"the simulator could not send {method}: {sent}")
        got = self.command(cmd="wait", link="internal", method=answer, since=sent["since"],
                           timeout_ms=int(timeout_ms * SCALE))
        if "object" not in got:
            raise Fail(f"no {answer} from the camera")
        return got["object"]


def rpc(daemon, method, params):
    """Sends one request on the RPC link as the daemon passes the phone app's on; the camera's reply."""
    since = len(daemon.command(cmd="received", link="rpc", since=0).get("objects", []))
    ident = int(time.time() * 1000) % 1000000000
    daemon.command(cmd="send", link="rpc", text=json.dumps({"id": ident, "method": method, "params": params}))
    deadline = time.monotonic() + 10 * SCALE
    while time.monotonic() < deadline:
        got = daemon.command(cmd="wait", link="rpc", method=None, since=since, timeout_ms=int(10000 * SCALE))
        if "object" not in got:
            break
        if got["object"].get("id") == ident:
            return got["object"]
        since = got["index"] + 1
    raise Fail(f"no reply to {method} from the camera")


def property_pair(args):
    try:
        return int(args[0]), int(args[1])
    except (IndexError, ValueError):
        raise Fail("give SIID and PIID as numbers")


def get_property(root, args):
    siid, piid = property_pair(args)
    reply = rpc(Daemon(root), "get_properties", [{"siid": siid, "piid": piid}])
    element = (reply.get("result") or [{}])[0]
    if element.get("code") != 0:
        raise Fail(f"the camera answered {json.dumps(reply)}")
    print(f"{siid}.{piid} = {json.dumps(element.get('value'))}")


def set_property(root, args):
    siid, piid = property_pair(args)
    try:
        value = json.loads(args[2])
    except (IndexError, ValueError):
        raise Fail("give the value as JSON, for example true, 3 or '\"text\"'")
    reply = rpc(Daemon(root), "set_properties", [{"siid": siid, "piid": piid, "value": value}])
    element = (reply.get("result") or [{}])[0]
    print(f"{siid}.{piid} set, code {element.get('code')}")
    if element.get("code") != 0:
        raise Fail(f"the camera answered {json.dumps(reply)}")


def token(root, args):
    daemon = Daemon(root)
    if args:
        reply = daemon.call_and_wait("_internal.update_dtoken", "_internal.token_updated", {"ntoken": args[0]})
        print(f"token_updated {reply.get('params')}")
    else:
        reply = daemon.call_and_wait("_internal.request_ot_config", "_internal.res_ot_config")
        print(f"token {reply.get('params', {}).get('token')}")


def motion(root, _):
    daemon = Daemon(root)
    since = len(daemon.command(cmd="received", link="rpc", since=0).get("objects", []))
    with open(root + "/tmp/detection.script", "a") as f:
        f.write("0 2\n")  # motion, due at once
    got = daemon.command(cmd="wait", link="rpc", method="event_occured", since=since, timeout_ms=int(30000 * SCALE))
    if "object" not in got:
        raise Fail("no event_occured reached the daemon within 30 s (a motion event counts once in 10 s)")
    print(json.dumps(got["object"]))


def recordings(root, _):
    env = read_env(root)
    if env.get("CAMERA_CARD") != "1":
        raise Fail("no test card in this run: nothing is recorded")
    found = False
    for kind, pattern in (("video", "videoi_*.index"), ("event", "event_*.index")):
        for path in sorted(glob.glob(f"{root}/mnt/sdcard/**/{pattern}", recursive=True)):
            for record in fmp4_walk.read_index(kind, path)["records"]:
                if not record.get("delete"):
                    found = True
                    print(json.dumps({"kind": kind, **record}))
    if not found:
        print("no recordings yet")


def restart(root, _):
    env = read_env(root)
    before = open(root + "/tmp/camera.state").read().split()
    os.kill(int(env["CAMERA_ENV_PID"]), signal.SIGUSR1)
    deadline = time.monotonic() + 120 * SCALE
    while time.monotonic() < deadline:
        state = open(root + "/tmp/camera.state").read().split()
        if state[:1] == ["ready"] and state != before:
            print(f"zelmar_app restarted, pid {state[1]}")
            return
        time.sleep(0.2)
    raise Fail("zelmar_app did not come back")


def card_formatted(root, _):
    env = read_env(root)
    sent = subprocess.run([sys.executable, os.path.join(PEERS, "agent_send.py"), env["ZELMAR_AGENT_SOCK"],
                           "set_sdcard_status=1"], capture_output=True, text=True)
    if sent.returncode != 0:
        raise Fail(f"the camera did not take the card's format status: {sent.stdout}{sent.stderr}")
    print("card formatted")


def daemon_restart(root, _):
    daemon = Daemon(root)
    before = daemon.command(cmd="links")["links"]
    daemon.command(cmd="listen", on=False)
    time.sleep(2)
    daemon.command(cmd="listen", on=True)
    began = time.monotonic()
    while time.monotonic() - began < 60 * SCALE:
        now = daemon.command(cmd="links")["links"]
        if all(now.get(k, {}).get("connected") and now[k].get("connections", 0) > before.get(k, {}).get("connections", 0)
               for k in ("internal", "rpc")):
            print(f"daemon links back after {time.monotonic() - began:.1f} s")
            return
        time.sleep(0.2)
    raise Fail("the camera did not connect to the daemon again within 60 s")


def p2p_servers(root):
    return Control(root + "/tmp/ztp_server.control", "the P2P servers")


def p2p_logins(servers, seconds):
    """The UDP servers the camera has logged in to, waiting up to SECONDS for one."""
    deadline = time.monotonic() + seconds * SCALE
    while time.monotonic() < deadline:
        entries = servers.command(cmd="log", since=0).get("log", [])
        logged = sorted({e["server"] for e in entries if e.get("type") == 0x12})
        if logged:
            return logged
        time.sleep(0.2)
    raise Fail(f"the camera did not log in to the P2P servers within {seconds} s")


def p2p(root, _):
    logged = p2p_logins(p2p_servers(root), 30)
    print(f"the camera logged in to P2P servers {', '.join(map(str, logged))} (of 0, 1, 2)")


def p2p_restart(root, _):
    env = read_env(root)
    old = p2p_servers(root)
    began = time.monotonic()
    os.kill(int(env["CAMERA_ENV_PID"]), signal.SIGUSR2)
    old.sock.settimeout(20 * SCALE)
    try:
        while old.sock.recv(4096):  # the servers say nothing unasked: the end of the stream is their end
            pass
    except socket.timeout:
        raise Fail("the P2P servers did not stop within 20 s")
    except OSError:
        pass
    deadline = time.monotonic() + 20 * SCALE
    while True:  # the old socket file may linger a moment, refusing
        try:
            servers = p2p_servers(root)
            break
        except Fail:
            if time.monotonic() > deadline:
                raise Fail("the P2P servers did not come back within 20 s")
            time.sleep(0.1)
    back = time.monotonic() - began
    while True:
        try:
            logged = p2p_logins(servers, 60)
            break
        except OSError:  # reached the old servers' socket as they went: ask the new ones
            if time.monotonic() > deadline + 60 * SCALE:
                raise Fail("the P2P servers' control socket keeps failing")
            time.sleep(0.1)
            servers = p2p_servers(root)
    print(f"P2P servers back after {back:.1f} s; the camera logged in again after {time.monotonic() - began:.1f} s "
          f"(servers {', '.join(map(str, logged))} of 0, 1, 2)")


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p / 100))]


def wait_until(test, seconds):
    deadline = time.monotonic() + seconds * SCALE
    while time.monotonic() < deadline:
        if test():
            return True
        time.sleep(0.1)
    return False


def watch_options(args):
    """SECONDS OUT [--phones N] [--sub] [--audio]."""
    try:
        seconds, out = float(args[0]), os.path.abspath(args[1])
    except (IndexError, ValueError):
        raise Fail("give the seconds to watch and the file for the video")
    options = {"phones": 1, "sub": False, "audio": False}
    rest = list(args[2:])
    while rest:
        word = rest.pop(0)
        if word == "--phones" and rest and rest[0].isdigit() and 1 <= int(rest[0]) <= 6:
            options["phones"] = int(rest.pop(0))
        elif word in ("--sub", "--audio"):
            options[word[2:]] = True
        else:
            raise Fail(f"unknown watch option {word} (--phones 1..6, --sub, --audio)")
    return seconds, out, options


def start_phone(root, env, name):
    """A phone process (logging to ROOT/tmp/NAME.log) and its control socket."""
    control = f"{root}/tmp/{name}.ctl"
    if os.path.exists(control):  # left by an earlier run
        os.unlink(control)
    with open(f"{root}/tmp/{name}.log", "ab") as log:
        proc = subprocess.Popen([sys.executable, os.path.join(PEERS, "vasq_phone.py"), "--did",
                                 env["CAMERA_P2P_ID"], "--control", control], stdout=log, stderr=log)
    if not wait_until(lambda: os.path.exists(control), 10):
        proc.terminate()
        proc.wait()
        raise Fail(f"the phone {name} did not start")
    return proc, Control(control, name)


def link_phone(phone, env, camera, device_token):
    """Through the P2P servers to the camera, authorised with its keys."""
    prefix, serial, check = env["CAMERA_P2P_ID"].split("-")
    server = ["127.0.0.2", int(env["ZELMAR_ZTP_UDP_PORT"])]
    # Asked again while the camera's next listen is not online yet.
    for _ in range(4):
        phone.command(cmd="p2p_req", server=server, did=[prefix, int(serial), check])
        if wait_until(lambda: phone.command(cmd="received")["ready"], 4):
            break
    else:
        raise Fail(f"no session of {phone.name} with the camera through the P2P servers")
    phone.command(cmd="keys", did=env["CAMERA_DID"], token=device_token.encode().hex(),
                  p2p_key=env["CAMERA_P2P_KEY"], public_key=camera["public_key"], req_key=camera["req_key"])
    phone.command(cmd="auth")
    if not wait_until(lambda: any(c[0] == 257 for c in phone.command(cmd="received")["commands"]), 10):
        raise Fail(f"the camera did not answer the authorisation of {phone.name}")
    answer = next(bytes.fromhex(c[1]) for c in phone.command(cmd="received")["commands"] if c[0] == 257)
    if b'"success"' not in answer:
        raise Fail(f"the camera refused the authorisation of {phone.name}: {answer.decode(errors='replace')}")


def start_video(phone, options):
    start = {"videoquality": 2}
    if options["audio"]:
        start["enableaudio"] = 1
    phone.command(cmd="command", code=258, text=json.dumps(start), encrypted=True)
    if options["sub"]:
        # Quality 0 is the sub stream, with automatic switching.
        phone.command(cmd="command", code=265, text='{"videoquality":0}', encrypted=True)


def phone_output(out, index):
    return out if index == 0 else f"{out}.phone{index}"


def report_phone(phone, index, frames, late, saved, out, options):
    """Prints what one phone got and writes its frame list beside its stream."""
    with open(out + ".frames.json", "w") as f:
        json.dump(frames, f)
    latency = [f[5] - f[4] for f in frames]
    who = "" if index == 0 else f"phone {index}: "
    print(f"{who}watched {len(frames)} video frames, seq {frames[0][0]} to {frames[-1][0]}, {saved['bytes']} bytes in "
          f"{out} (frames in {out}.frames.json)")
    print(f"{who}latency p50 {percentile(latency, 50):.1f} ms, p99 {percentile(latency, 99):.1f} ms")
    print(f"{who}259 stopped the video: {late} frames came in the second after")
    # Each stream numbers its own frames: gaps count within a stream only.
    lost = sum(b[0] - a[0] - 1 for a, b in zip(frames, frames[1:])
               if b[0] > a[0] + 1 and (a[7] >> 17) & 0xF == (b[7] >> 17) & 0xF)
    if options["phones"] > 1 or options["sub"]:
        codes = {}
        for f in frames:
            codes[(f[7] >> 17) & 0xF] = codes.get((f[7] >> 17) & 0xF, 0) + 1
        print(f"{who}{lost} frames lost; frames per resolution code: "
              + ", ".join(f"{c}: {n}" for c, n in sorted(codes.items())))
    if options["audio"]:
        audio = phone.command(cmd="save", channel=3, path=out + ".ogg")
        print(f"{who}audio: {audio['packets']} packets, {audio['bytes']} bytes in {out}.ogg")


def camera_keys(root):
    """What a phone needs to link: the camera's environment, its latest session keys and its token."""
    env = read_env(root)
    daemon = Daemon(root)

    def vendor_requests():
        return [o for o in daemon.command(cmd="received", link="rpc", since=0)["objects"]
                if o.get("method") == "_sync.vasq_get_vendor"]
    if not wait_until(vendor_requests, 30):
        raise Fail("the camera did not ask the daemon for its P2P vendor within 30 s")
    camera = vendor_requests()[-1]["params"]  # its latest keys: a restart makes new ones
    device_token = daemon.call_and_wait("_internal.request_ot_config", "_internal.res_ot_config")["params"]["token"]
    return env, camera, device_token


def watch(root, args):
    seconds, out, options = watch_options(args)
    env, camera, device_token = camera_keys(root)
    app_log = root + "/tmp/zelmar_app.log"
    log_from = len(open(app_log, errors="replace").read())

    def left_count():
        return open(app_log, errors="replace").read()[log_from:].count(" left, code ")

    procs, phones = [], []
    try:
        for i in range(options["phones"]):
            proc, phone = start_phone(root, env, f"watch_phone{'' if i == 0 else i}")
            procs.append(proc)
            phones.append(phone)
            link_phone(phone, env, camera, device_token)
            # Watching at once: a session that has started video is not taken for a later phone.
            start_video(phone, options)
        time.sleep(seconds)
        for phone in phones:
            phone.command(cmd="command", code=259, text="", encrypted=True)
        time.sleep(0.5 * SCALE)
        got = [phone.command(cmd="received")["frames"]["2"] for phone in phones]
        time.sleep(1)
        late = [len(phone.command(cmd="received")["frames"]["2"]) - len(frames) for phone, frames in zip(phones, got)]
        saved = []
        for i, phone in enumerate(phones):
            save = {"cmd": "save", "channel": 2, "path": phone_output(out, i)}
            if options["sub"]:
                save["resolution"] = 5  # 864 x 480
            saved.append(phone.command(**save))
        for i, (phone, frames) in enumerate(zip(phones, got)):
            if not frames:
                raise Fail(f"no video frame came to phone {i}")
            report_phone(phone, i, frames, late[i], saved[i], phone_output(out, i), options)
        for phone in phones:
            phone.command(cmd="disconnect")
        left = wait_until(lambda: left_count() >= len(phones), 15)
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait()
    if not left:
        raise Fail("the camera did not free the phones' slots")
    print("the phone disconnected and the camera freed its slot" if len(phones) == 1 else
          f"the {len(phones)} phones disconnected and the camera freed their slots")


def linked_phone(root, name):
    """A phone named NAME in session with the camera through the P2P servers, authorised with the
    camera's latest keys: its process and its control. The caller ends the process."""
    env, camera, device_token = camera_keys(root)
    proc, phone = start_phone(root, env, name)
    try:
        link_phone(phone, env, camera, device_token)
        return proc, phone
    except BaseException:
        proc.terminate()
        proc.wait()
        raise


def replies(phone, code):
    return [bytes.fromhex(text) for c, text in phone.command(cmd="received")["commands"] if c == code]


def opus_packets(seconds, hz):
    """A tone of `hz` as 20-ms Opus packets, 16 kHz mono (ffmpeg's Ogg pages taken apart)."""
    ogg = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                          f"sine=frequency={hz}:sample_rate=16000:duration={seconds}", "-c:a", "libopus", "-ac", "1",
                          "-ar", "16000", "-b:a", "32k", "-frame_duration", "20", "-f", "ogg", "-"],
                         capture_output=True, check=True).stdout
    packets, partial, at = [], b"", 0
    while at + 27 <= len(ogg) and ogg[at:at + 4] == b"OggS":
        lacing = ogg[at + 27:at + 27 + ogg[at + 26]]
        body = at + 27 + len(lacing)
        for n in lacing:
            partial += ogg[body:body + n]
            body += n
            if n < 255:
                packets.append(partial)
                partial = b""
        at = body
    return packets[2:]  # past the OpusHead and OpusTags packets


def talk(root, args):
    try:
        seconds, out = float(args[0]), os.path.abspath(args[1])
    except (IndexError, ValueError):
        raise Fail("give the seconds to talk and the file for what the speaker played")
    env = read_env(root)
    speaker = env["ZELMAR_BOARD_SPEAKER"]
    packets = opus_packets(seconds, 1000)
    proc, phone = linked_phone(root, "talk_phone")
    try:
        phone.command(cmd="command", code=262, text="", encrypted=True)
        if not wait_until(lambda: replies(phone, 263), 10):
            raise Fail("the camera did not answer the speaker start (262)")
        answer = int.from_bytes(replies(phone, 263)[0][:4], "little", signed=True)
        if answer != 0:
            raise Fail(f"the camera refused the speaker: 263 answered {answer}")
        before = os.path.getsize(speaker) if os.path.exists(speaker) else 0
        began = time.monotonic()
        for i in range(0, len(packets), 5):  # 100 ms of sound at a time, at the pace it plays
            phone.command(cmd="send_frames", channel=3, codec=1032, payloads=[p.hex() for p in packets[i:i + 5]])
            time.sleep(max(0.0, began + (i + 5) * 0.02 - time.monotonic()))
        played = seconds * 32000

        def heard():
            return os.path.exists(speaker) and os.path.getsize(speaker) - before >= played
        wait_until(heard, 5)
        phone.command(cmd="command", code=264, text="", encrypted=True)
        phone.command(cmd="disconnect")
    finally:
        proc.terminate()
        proc.wait()
    with open(speaker, "rb") as f:
        f.seek(before)
        sound = f.read()
    with open(out, "wb") as f:
        f.write(sound)
    print(f"talked {len(packets)} Opus frames ({seconds:g} s of a 1000 Hz tone) on channel 3 after 263 answered 0")
    print(f"the speaker played {len(sound)} bytes meanwhile ({len(sound) / 32000:.2f} s), kept in {out}")


def newest_recording(root):
    starts = [record["time"] for path in glob.glob(f"{root}/mnt/sdcard/**/videoi_*.index", recursive=True)
              for record in fmp4_walk.read_index("video", path)["records"] if not record.get("delete")]
    if not starts:
        raise Fail("no recording on the card yet (an index record closes each minute)")
    return max(starts)


def play(root, args):
    if len(args) == 2:
        args = [None, *args]
    try:
        seconds, out = float(args[1]), os.path.abspath(args[2])
        start = int(args[0]) if args[0] is not None else None
    except (IndexError, ValueError):
        raise Fail("give the recording's start time (seconds), the seconds to play and the file for the video")
    env = read_env(root)
    if env.get("CAMERA_CARD") != "1":
        raise Fail("no test card in this run: nothing is recorded")
    if start is None:
        start = newest_recording(root)
    proc, phone = linked_phone(root, "play_phone")
    try:
        request = {"sessionid": 7, "starttime": start, "endtime": 0, "autoswitchtolive": 0, "offset": 0, "speed": 1}
        phone.command(cmd="command", code=269, text=json.dumps(request), encrypted=True)
        if not wait_until(lambda: replies(phone, 270), 15):
            raise Fail("the camera did not answer the playback request (269)")
        answer = json.loads(replies(phone, 270)[0].rstrip(b"\0"))
        if answer.get("status") != "filefound":
            raise Fail(f"the camera answered {answer}")
        time.sleep(seconds)
        phone.command(cmd="command", code=259, text="", encrypted=True)
        time.sleep(0.5 * SCALE)
        frames = phone.command(cmd="received")["frames"]
        saved = phone.command(cmd="save", channel=2, path=out)
        phone.command(cmd="disconnect")
    finally:
        proc.terminate()
        proc.wait()
    print(f"270 {json.dumps(answer)}")
    print(f"played {len(frames['2'])} video frames ({saved['bytes']} bytes, kept in {out}) "
          f"and {len(frames['3'])} audio frames")
    if not frames["2"]:
        raise Fail("no video frame came")


def clip(root, args):
    if not args:
        raise Fail("give the file for the clip")
    out_dir = read_env(root).get("CAMERA_CLOUD_OUT", "")

    def uploads():
        try:
            with open(out_dir + "/requests.jsonl") as f:
                lines = [json.loads(line) for line in f if line.strip()]
        except OSError:
            return []
        return [r for r in lines if r.get("path") == "/common/device/v3/upload" and r.get("ok")]
    before = len(uploads())
    if not wait_until(lambda: len(uploads()) > before, 90):
        raise Fail("the cloud received no clip within 90 s")
    shutil.copy(out_dir + "/last.mp4", args[0])
    query = uploads()[-1]["query"]
    print(f"clip {len(uploads())} at the cloud ({query.get('eventType')}, file {query.get('fileId')} "
          f"part {query.get('offset')}), decrypted: {os.path.getsize(args[0])} bytes in {args[0]}")


def nas_files(directory):
    return sorted(os.path.relpath(p, directory) for p in glob.glob(f"{directory}/**/*.mp4", recursive=True))


def copying_bytes(directory):
    """The bytes of the copies still on their way to the share (written as "<name>.part")."""
    total = 0
    for path in glob.glob(f"{directory}/**/*.part", recursive=True):
        try:
            total += os.path.getsize(path)
        except OSError:  # renamed whole meanwhile
            pass
    return total


def nas(root, args):
    try:
        seconds = float(args[0]) if args else 0.0
    except ValueError:
        raise Fail("give the seconds to wait for a recording on the share")
    env = read_env(root)
    if "CAMERA_NAS_DIR" not in env:
        raise Fail("no NAS share in this run (smbd is not installed)")
    daemon = Daemon(root)
    share = {"type": 1, "name": "ZELMARNAS", "addr": "127.0.0.1", "dir": "share", "group": "WORKGROUP",
             "user": env["CAMERA_NAS_USER"], "pass": env["CAMERA_NAS_PASSWORD"]}
    reply = rpc(daemon, "nas_set_config", {"sync_interval": 60, "video_retention_time": 0, "share": share})
    if reply.get("result") != ["OK"]:
        raise Fail(f"the camera refused the share: {json.dumps(reply)}")
    videos = env["CAMERA_NAS_DIR"] + "/varnel_camera_videos"
    if not wait_until(lambda: os.path.isdir(videos), 20):
        raise Fail("the camera took the share but made no video folder on it within 20 s")
    print(f"the camera backs up to //127.0.0.1/share ({videos})")
    # The sync runs at the lowest priority: on a busy machine a copy may still grow at the deadline.
    began = grew = time.monotonic()
    copying = 0
    while not nas_files(videos):
        now, size = time.monotonic(), copying_bytes(videos)
        if size != copying:
            copying, grew = size, now
        if now - began >= seconds * SCALE and (not size or now - grew >= 30 * SCALE):
            break
        time.sleep(5)
        rpc(daemon, "nas_sync_start", {})  # refused while one runs
    found = nas_files(videos)
    for name in found:
        print(f"  {name}")
    if not found:
        message = "no recording on the share yet: the card closes a recording file once it is full (128 MiB)"
        if seconds:
            raise Fail(message + f", and none came within {seconds:g} s")
        print(message)

def links(root, _):
    print(json.dumps(Daemon(root).command(cmd="links")))


def cloud(root, _):
    out = read_env(root).get("CAMERA_CLOUD_OUT", "")
    try:
        with open(out + "/requests.jsonl") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    print("\n".join(lines) if lines else "no cloud requests yet")


COMMANDS = {"get": get_property, "set": set_property, "token": token, "motion": motion, "recordings": recordings, "restart": restart,
            "card-formatted": card_formatted, "daemon-restart": daemon_restart, "p2p": p2p, "p2p-restart": p2p_restart,
            "watch": watch, "links": links, "cloud": cloud, "clip": clip, "nas": nas, "talk": talk, "play": play}


def main(argv):
    if len(argv) < 3 or argv[2] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        COMMANDS[argv[2]](os.path.abspath(argv[1]), argv[3:])
    except Fail as e:
        print(f"camera_ctl: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
