#!/usr/bin/env python3
"""The camera of a camera_env.py run in ROOT over a long run, for scripts/soak and scripts/soak-p2p:
phones watching live view through the P2P servers, what the card records, and zelmar_app's resources,
reported once a minute.

usage: camera_soak.py ROOT MINUTES [--phones N] [--talk] [--events] [--restarts]
  --phones N  N phones (vasq_phone.py, 6 by default) link one after another and watch the main stream
              to the end; those the camera refuses are named and left out
  --talk      the first watching phone also talks back the whole run (262, then a 1000 Hz tone as
              20-ms Opus frames on channel 3 at the pace it plays)
  --events    a motion event every 30 s (camera_ctl.py motion)
  --restarts  the daemon links restarted a third of the way in and the P2P servers two thirds of the
              way (camera_ctl.py daemon-restart and p2p-restart), each followed by the seconds until
              every phone watches again (a phone whose frames do not come back within 20 s links anew)

Each minute: one line per watching phone with its frames, frames lost (gaps in its sequence numbers
within one stream) and latency p50/p99 (arrival on CLOCK_MONOTONIC - the board's time stamp); on the
first, zelmar_app's RSS, threads, open descriptors and CPU over the minute, the events that reached the
daemon, the seconds of talk the board's speaker played, and with a card the video frames recorded and
lost. The recorded frames are read from the card's recordings (fmp4_walk.py): each sample's duration
is the board's time between it and the frame before, so a frame the recorder missed shows as a
duration of two frames; a pause of 2 s or more shows between the index periods' start times (whole
seconds). A fragment reaches the card at the next key frame (3 s), so the recording's minute is the
one that ended 5 s earlier; its frame count may be off by the board's frames of a second, its losses
are not.
"""
import argparse
import contextlib
import glob
import io
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import camera_ctl as ctl  # noqa: E402
import fmp4_walk  # noqa: E402

VIDEO_TRACK = 1
VIDEO_TICKS = 90000
RECORDING_LAG_S = 5
WATCH_AGAIN_S = 20
STOPPED_S = 1  # a longer pause in a phone's frames counts as having stopped watching
SPEAKER_BYTES_PER_S = 32000  # 16 kHz mono s16le


def quietly(command, root):
    """A camera_ctl.py command; what it printed."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        command(root, [])
    return out.getvalue().strip()


class Watcher:
    """A phone linked to the camera and watching its main stream; its frames gathered per minute."""

    def __init__(self, root, index, keys):
        self.root, self.index = root, index
        self.proc, self.phone = ctl.start_phone(root, keys[0], f"soak_phone{index}")
        try:
            ctl.link_phone(self.phone, *keys)
        except ctl.Fail:
            self.end()
            raise
        ctl.start_video(self.phone, {"audio": False, "sub": False})
        self.frames = []
        self.last = None  # (seq, resolution code) of the last frame counted

    def take(self):
        got = self.phone.command(cmd="take")["frames"]["2"]
        self.frames += got
        return got

    def minute(self):
        """Frames, frames lost, latency p50 and p99 since the last call."""
        self.take()
        frames, self.frames = self.frames, []
        # Each stream numbers its own frames: gaps count within one resolution code only.
        seqs = ([self.last] if self.last else []) + [(f[0], (f[7] >> 17) & 0xF) for f in frames]
        lost = sum(b[0] - a[0] - 1 for a, b in zip(seqs, seqs[1:]) if b[0] > a[0] + 1 and a[1] == b[1])
        self.last = seqs[-1] if seqs else self.last
        latency = [f[5] - f[4] for f in frames]
        if not latency:
            return len(frames), lost, float("nan"), float("nan")
        return len(frames), lost, ctl.percentile(latency, 50), ctl.percentile(latency, 99)

    def end(self):
        """Leaves the camera (a phone that just went would hold its slot until the camera gives up on
        it) and ends the phone."""
        try:
            self.phone.command(cmd="disconnect")
        except (ctl.Fail, OSError):
            pass
        self.proc.terminate()
        self.proc.wait()


class Talker:
    """Talk-back from a watching phone for as long as it runs, on a control connection of its own."""

    def __init__(self, root, watcher):
        self.stop_flag = threading.Event()
        phone = watcher.phone
        phone.command(cmd="command", code=262, text="", encrypted=True)
        if not ctl.wait_until(lambda: ctl.replies(phone, 263), 10):
            raise ctl.Fail("the camera did not answer the speaker start (262)")
        answer = int.from_bytes(ctl.replies(phone, 263)[-1][:4], "little", signed=True)
        if answer != 0:
            raise ctl.Fail(f"the camera refused the speaker: 263 answered {answer}")
        self.control = ctl.Control(f"{root}/tmp/soak_phone{watcher.index}.ctl", "the talking phone")
        self.packets = [p.hex() for p in ctl.opus_packets(10, 1000)]
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        began, sent = time.monotonic(), 0
        try:
            while not self.stop_flag.is_set():
                at = sent % len(self.packets)
                self.control.command(cmd="send_frames", channel=3, codec=1032, payloads=self.packets[at:at + 5])
                sent += 5
                self.stop_flag.wait(max(0.0, began + sent * 0.02 - time.monotonic()))
        except (ctl.Fail, OSError):
            pass  # the phone went; a new one talks anew

    def stop(self):
        self.stop_flag.set()
        self.thread.join()
        try:
            self.control.command(cmd="command", code=264, text="", encrypted=True)
        except (ctl.Fail, OSError):
            pass


def recorded_frames(root):
    """Every video frame of the card's recordings as (time in seconds on the monotonic clock, frames
    lost just before it)."""
    periods = []
    unix_to_monotonic = time.monotonic() - time.time()
    for path in glob.glob(f"{root}/mnt/sdcard/**/video_*.mp4", recursive=True):
        walked = fmp4_walk.walk_recording(path)
        boxes = sorted([(i["pos"], i) for i in walked["index"] if not i["flags"] & 1] +
                       [(f["pos"], f) for f in walked["fragments"]], key=lambda b: b[0])
        period = None
        for _, box in boxes:
            if "start" in box:
                # The open period starts at its first frame's board time stamp; closing it puts the
                # Unix time there.
                start = box["start"] + (unix_to_monotonic if box["length"] else 0)
                period = {"start": start, "durations": []}
                periods.append(period)
            elif period is not None:
                period["durations"] += [d for t in box["tracks"] if t.get("id") == VIDEO_TRACK for d in t["durations"]]
    periods = sorted((p for p in periods if p["durations"]), key=lambda p: p["start"])
    if not periods:
        return []
    step = statistics.median(d for p in periods for d in p["durations"])
    frames, end = [], None
    for p in periods:
        at = p["start"]
        for k, duration in enumerate(p["durations"]):
            lost = round(duration / step) - 1 if duration > 1.5 * step else 0
            if k == 0:
                # The duration of a period's first frame reaches back to the frame before only when
                # the recorder wrote on; a pause shows in the start times.
                pause = at - end if end is not None else 0
                lost = round(pause * VIDEO_TICKS / step) - 1 if pause >= 2 else lost
            else:
                at += duration / VIDEO_TICKS
            frames.append((at, lost))
        end = at
    return frames


def app_status(app):
    fields = {}
    with open(f"/proc/{app}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.split()
    with open(f"/proc/{app}/stat") as f:
        stat = f.read().rsplit(")", 1)[1].split()
    cpu_s = (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")
    return int(fields["VmRSS"][0]) / 1024, int(fields["Threads"][0]), len(os.listdir(f"/proc/{app}/fd")), cpu_s


class Soak:
    def __init__(self, root, options):
        self.root, self.options = root, options
        self.app = int(open(root + "/tmp/camera.state").read().split()[1])
        self.card = ctl.read_env(root).get("CAMERA_CARD") == "1"
        self.speaker = ctl.read_env(root)["ZELMAR_BOARD_SPEAKER"]
        self.refused = []
        self.watchers = {}
        self.talker = None
        self.talk_index = None
        self.events = 0

    def link(self, index):
        watcher = Watcher(self.root, index, ctl.camera_keys(self.root))
        if self.options.talk and self.talk_index in (None, index):
            try:
                self.talker = Talker(self.root, watcher)
            except ctl.Fail:
                watcher.end()
                raise
            self.talk_index = index
        self.watchers[index] = watcher

    def start(self):
        for i in range(self.options.phones):
            try:
                self.link(i)
            except ctl.Fail as e:
                print(f"phone {i} does not watch: {e}", flush=True)
                self.refused.append(i)
        if not self.watchers:
            raise ctl.Fail("no phone watches")
        print(f"phones {', '.join(map(str, self.watchers))} watch"
              + (f", phone {self.talk_index} talks back" if self.talker else ""), flush=True)

    def watch_again(self, began):
        """Seconds from `began` until each phone had frames again: the end of the longest pause in
        its frames since then; a phone whose frames stay away is linked anew."""
        arrivals = {i: [] for i in self.watchers}
        waiting = set(self.watchers)
        now = time.monotonic()
        while waiting and time.monotonic() - now < WATCH_AGAIN_S * ctl.SCALE:
            for i in list(waiting):
                arrivals[i] += [f[5] / 1000 for f in self.watchers[i].take() if f[5] / 1000 >= began]
                if any(t > now for t in arrivals[i]):
                    waiting.discard(i)
            time.sleep(0.2)
        parts = []
        for i in sorted(waiting):
            if i == self.talk_index:
                self.talker.stop()
            self.watchers.pop(i).end()
            try:
                self.link(i)
            except ctl.Fail as e:
                parts.append(f"phone {i} does not link again: {e}")
                continue
            w = self.watchers[i]
            ctl.wait_until(lambda: any(w.take()), WATCH_AGAIN_S)
            arrivals[i] = [f[5] / 1000 for f in w.frames if f[5] / 1000 >= began]
        for i in sorted(self.watchers):
            times = [began] + sorted(arrivals[i])
            if len(times) == 1:
                parts.append(f"phone {i} not at all")
                continue
            pause, back = max((b - a, b) for a, b in zip(times, times[1:]))
            stopped = pause >= STOPPED_S or i in waiting
            parts.append(f"phone {i} {back - began if stopped else 0:.1f} s ("
                         + ("linked anew, " if i in waiting else "" if stopped else "never stopped, ")
                         + f"longest pause {pause:.2f} s)")
        return "; ".join(parts)

    def restart(self, what, command):
        began = time.monotonic()
        said = quietly(command, self.root)
        print(f"{what}: {said}; phones watch again after: {self.watch_again(began)}", flush=True)

    def half_minute(self, minute, half):
        began = time.monotonic()
        if self.options.events:
            try:
                quietly(ctl.motion, self.root)
                self.events += 1
            except ctl.Fail as e:
                print(f"motion: {e}", flush=True)
        minutes = self.options.minutes
        if self.options.restarts and half == 2 and minute == max(1, minutes // 3):
            self.restart("daemon restart", ctl.daemon_restart)
        if self.options.restarts and half == 2 and minute == max(1, 2 * minutes // 3):
            self.restart("P2P servers restart", ctl.p2p_restart)
        time.sleep(max(0.0, 30 - (time.monotonic() - began)))

    def run(self):
        header = f"{'minute':>6} {'phone':>5} {'frames':>6} {'lost':>5} {'p50_ms':>7} {'p99_ms':>7}" \
                 f" | {'rss_mb':>6} {'threads':>7} {'fds':>4} {'cpu_ms/s':>8} {'events':>6} {'talk_s':>6}"
        print(header + (f" {'rec_frames':>10} {'rec_lost':>8}" if self.card else ""), flush=True)
        for watcher in self.watchers.values():
            watcher.minute()  # the frames of the phones' start are not the first minute's
        cpu_before = app_status(self.app)[3]
        speaker_before = os.path.getsize(self.speaker) if os.path.exists(self.speaker) else 0
        for minute in range(1, self.options.minutes + 1):
            began = time.monotonic()
            for half in (1, 2):
                self.half_minute(minute, half)
            if not os.path.exists(f"/proc/{self.app}"):
                raise ctl.Fail("zelmar_app ended")
            rss, threads, fds, cpu = app_status(self.app)
            ended = time.monotonic()
            speaker = os.path.getsize(self.speaker) if os.path.exists(self.speaker) else 0
            tail = f" | {rss:6.1f} {threads:7d} {fds:4d} {(cpu - cpu_before) * 1000 / (ended - began):8.1f} " \
                   f"{self.events:6d} {(speaker - speaker_before) / SPEAKER_BYTES_PER_S:6.1f}"
            cpu_before, speaker_before = cpu, speaker
            if self.card:
                window = (began - RECORDING_LAG_S, ended - RECORDING_LAG_S)
                recorded = [lost for at, lost in recorded_frames(self.root) if window[0] <= at < window[1]]
                tail += f" {len(recorded):10d} {sum(recorded):8d}"
            if not self.watchers:
                print(f"{minute:6d} {'-':>5} {'':34}" + tail, flush=True)
            for n, i in enumerate(sorted(self.watchers)):
                frames, lost, p50, p99 = self.watchers[i].minute()
                print(f"{minute:6d} {i:5d} {frames:6d} {lost:5d} {p50:7.1f} {p99:7.1f}" + (tail if n == 0 else ""),
                      flush=True)
        if self.refused:
            print(f"refused: phones {', '.join(map(str, self.refused))} (the camera admits "
                  f"{len(self.watchers)} at once)")

    def end(self):
        if self.talker:
            self.talker.stop()
        for watcher in self.watchers.values():
            watcher.end()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root")
    parser.add_argument("minutes", type=int)
    parser.add_argument("--phones", type=int, default=6)
    parser.add_argument("--talk", action="store_true")
    parser.add_argument("--events", action="store_true")
    parser.add_argument("--restarts", action="store_true")
    options = parser.parse_args()
    soak = Soak(os.path.abspath(options.root), options)
    try:
        soak.start()
        soak.run()
    except ctl.Fail as e:
        print(f"camera_soak: {e}", file=sys.stderr)
        return 1
    finally:
        soak.end()
    return 0


if __name__ == "__main__":
    sys.exit(main())
