#!/usr/bin/env python3
"""The whole camera on the simulated platform: a sandbox device root and every outside party the
program meets, all on loopback, and (with --app) the program itself.

usage: camera_env.py --sound DIR [--card auto|none] ROOT [-- PROGRAM [ARG...]]

It seeds ROOT as a camera's flash looks (logging configuration, prompt sounds, OSD font,
"/etc/os-release", the /proc files start-up writes, the cloud's CA) and starts:
  - the factory partition (factory_flash.py: "/dev/mtdblock3" and "/proc/mtd"),
  - the device-daemon simulator (daemon_sim.py): server time, device id, "cloud_connected" pushed to
    the camera (which then counts itself bound), the device token once the program runs, the
    supervisor socket, and scripted replies to the cloud login (pointing at the
    simulated cloud) and to the P2P vendor request (pointing at the P2P servers),
  - the P2P servers (ztp_server.py: TCP login side and three UDP servers on 127.0.0.2-4),
  - the simulated cloud (cloud_sim.py) over HTTPS with a CA made here,
  - a test card: a sparse ext4 image loop-mounted on "/mnt/sdcard" when root allows it (the camera is
    told it was formatted once it runs); otherwise no card at all, said so (a plain directory would let
    the file pool pre-allocate the host's disk),
  - an unprivileged smbd with a share "share" on loopback where smbd is installed (its user, password
    and directory in the environment below as CAMERA_NAS_USER, CAMERA_NAS_PASSWORD, CAMERA_NAS_DIR).
The simulated board's speaker appends what it plays to ROOT/tmp/speaker.pcm (16 kHz mono s16le).
Every port is a free one unless the environment names it (ZELMAR_DAEMON_PORT, ZELMAR_ZTP_UDP_PORT,
ZELMAR_ZTP_TCP_PORT, ZELMAR_ZTP_LAN_PORT, ZELMAR_NAS_SMB_PORT). The program's environment is written
to ROOT/tmp/camera.env (shell lines "export NAME=value", with the device id and the P2P id and key of the vendor reply),
read by camera_ctl.py and the tests.

With a PROGRAM (zelmar_app, or an emulator running it) it starts it (its output in
ROOT/tmp/zelmar_app.log), waits for its ready state (every app created, the services of the valid
clock started) and prints "ready: ..." lines and the
commands a user can try, each on a line of its own starting with "  $ ". ROOT/tmp/camera.state then
holds "ready <pid of the program>". SIGUSR1 restarts the program (SIGTERM, then a fresh start);
SIGUSR2 restarts the P2P servers on their ports (their control socket is made anew).
Without one it prints the ready lines of the parties and "env: ROOT/tmp/camera.env".
SIGINT or SIGTERM stops everything it started, the program first; its exit status is 0 when the
program ended with the status of a signalled program (255) or was not started.
"""
import argparse
import base64
import ctypes
import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time

PEERS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, PEERS)
import ztp_wire  # noqa: E402

LOG_INI = """[console]
type = stdout
color = false
level = info

[main]
appender = console
async = true
level = info
default = true
"""
FACTORY_KEYS = ["vendor=Halvorn", "model=ZT-CAM1", "mac=02:11:22:33:44:55", "OOB=oob-0123456789",
                "qelt_i2c=/dev/i2c-1", "qelt_gpio=57", "hid=900202000001", "did=424242"]
DID = 424242
CARD_BYTES = 5 << 30  # the recorder wants at least 4 GiB
CLOUD_TOKEN = "zel-cloud-token"
DEVICE_TOKEN = "zelmar-sandbox01"  # a text token: at most 16 characters
APP_READY_LINES = ("zel_tolk_sdk_start end", "<app_algo>")
APP_READY_SECONDS = 120 * float(os.environ.get("ZELMAR_TEST_TIME_SCALE", "1"))
LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_from_env(name, kind=socket.SOCK_STREAM):
    value = os.environ.get(name)
    return int(value) if value else free_port(kind)


def own_group_dying_with_us():
    """In the child: a process group of its own (Ctrl-C reaches only this script, which stops the
    parties in order) and SIGTERM when this script dies."""
    os.setsid()
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def wait_for(test, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if test():
            return
        time.sleep(0.1)
    raise RuntimeError(f"{what} did not come up within {seconds:.0f} s")


def file_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Party:
    def __init__(self, name, argv, log, env=None):
        self.name = name
        self.log = log
        with open(log, "ab") as out:
            self.proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                         env=env, preexec_fn=own_group_dying_with_us)

    def running(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGTERM, seconds=10):
        if self.running():
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
        try:
            return self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            return self.proc.wait()


class Camera:
    def __init__(self, args):
        self.root = os.path.abspath(args.root)
        self.args = args
        self.parties = []  # started order; stopped in reverse
        self.app = None
        self.app_status = None
        self.card_loop = None
        self.card_told = False
        self.token_given = False
        self.smbd_dir = None
        self.env = {"ZELMAR_ROOT": self.root,
                    "ZELMAR_AGENT_SOCK": os.environ.get("ZELMAR_AGENT_SOCK") or f"zelmar_cam_{os.getpid()}",
                    "ZELMAR_DETECTION_SCRIPT": self.path("/tmp/detection.script"),
                    "ZELMAR_BOARD_SPEAKER": self.path("/tmp/speaker.pcm")}
        self.notes = []

    def path(self, device_path):
        return self.root + device_path

    def say(self, text):
        print(text, flush=True)

    # ---- the sandbox root ----------------------------------------------------------------------
    def seed(self):
        for d in ("mnt/data/operator", "mnt/data/sound", "mnt/data/data/font", "mnt/sdcard", "tmp", "var/run",
                  "run", "dev", "proc/self", "proc/sys/vm", "etc"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        for f in ("/proc/self/oom_score_adj", "/proc/sys/vm/drop_caches"):
            open(self.path(f), "w").close()
        shutil.copytree(self.args.sound, self.path("/mnt/data/sound"), dirs_exist_ok=True)
        font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
        if os.path.exists(font) and not os.path.exists(self.path("/mnt/data/data/font/zel_osd.ttf")):
            shutil.copy(font, self.path("/mnt/data/data/font/zel_osd.ttf"))
        ini = self.path("/mnt/data/operator/zel_log.ini")
        if not os.path.exists(ini):
            with open(ini, "w") as f:
                f.write(LOG_INI)
        with open(self.path("/etc/os-release"), "w") as f:
            f.write('NAME="Halvorn"\nHALVORN_VERSION=1.0.0_0001\n')
        with open(self.path("/tmp/detection.script"), "w"):
            pass

    # ---- the outside parties -------------------------------------------------------------------
    def start(self, name, argv, env=None):
        party = Party(name, argv, self.path(f"/tmp/{name}.log"), env)
        self.parties.append(party)
        return party

    def peer(self, script, *args):
        return [sys.executable, os.path.join(PEERS, script), *map(str, args)]

    def start_flash(self):
        self.start("flash", self.peer("factory_flash.py", self.root, *FACTORY_KEYS))
        wait_for(lambda: file_text(self.path("/tmp/flash.log")).startswith("ready"), 10, "the factory partition")
        self.say("ready: factory partition /dev/mtdblock3 (tests/peers/factory_flash.py)")

    def start_cloud(self):
        d = self.path("/tmp/cloud")
        os.makedirs(d + "/out", exist_ok=True)
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        with open(d + "/ext.cnf", "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        for cmd in (["openssl", "req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
                     "-subj", "/CN=zelmar-sandbox-ca"],
                    ["openssl", "req", *ec, "-keyout", "srv.key", "-out", "srv.csr", "-subj", "/CN=localhost"],
                    ["openssl", "x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                     "-CAcreateserial", "-out", "srv.pem", "-days", "30", "-extfile", "ext.cnf"]):
            subprocess.run(cmd, cwd=d, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.copy(d + "/ca.pem", self.path("/mnt/data/cacert.pem"))
        self.cloud_port, control = free_port(), free_port()
        self.cloud_key = secrets.token_bytes(16)
        self.start("cloud_sim", self.peer("cloud_sim.py", self.cloud_port, d + "/srv.pem", d + "/srv.key",
                                          self.cloud_key.hex(), CLOUD_TOKEN, d + "/out", control))
        wait_for(lambda: "ready" in file_text(self.path("/tmp/cloud_sim.log")).split(), 20, "the cloud")
        self.env["CAMERA_CLOUD_OUT"] = d + "/out"
        self.say(f"ready: cloud https://localhost:{self.cloud_port} (tests/peers/cloud_sim.py, "
                 f"CA /mnt/data/cacert.pem, clips kept in {d}/out)")

    def start_p2p_servers(self):
        udp = port_from_env("ZELMAR_ZTP_UDP_PORT", socket.SOCK_DGRAM)
        tcp = port_from_env("ZELMAR_ZTP_TCP_PORT")
        lan = port_from_env("ZELMAR_ZTP_LAN_PORT", socket.SOCK_DGRAM)
        hosts = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]
        self.p2p_argv = self.peer("ztp_server.py", "--udp", ",".join(hosts), "--udp-port", udp, "--port", tcp,
                                  "--control", self.path("/tmp/ztp_server.control"))
        self.p2p_servers = self.start_p2p_process()
        self.env.update({"ZELMAR_ZTP_UDP_PORT": str(udp), "ZELMAR_ZTP_TCP_PORT": str(tcp),
                         "ZELMAR_ZTP_LAN_PORT": str(lan)})
        self.p2p_init = ztp_wire.encode_init_string(",".join(hosts) + ",", ztp_wire.P2P_KEY)
        self.say(f"ready: P2P servers on {', '.join(hosts)} UDP {udp}, TCP {tcp} (tests/peers/ztp_server.py, "
                 f"control {self.path('/tmp/ztp_server.control')})")

    def start_p2p_process(self):
        control = self.path("/tmp/ztp_server.control")
        party = self.start("ztp_server", self.p2p_argv)
        wait_for(lambda: os.path.exists(control), 10, "the P2P servers")
        return party

    def restart_p2p_servers(self):
        """As servers that went down and came back: what they knew of the camera's login is gone."""
        self.p2p_servers.stop()
        self.parties.remove(self.p2p_servers)
        control = self.path("/tmp/ztp_server.control")
        if os.path.exists(control):
            os.unlink(control)
        self.p2p_servers = self.start_p2p_process()

    def start_daemon(self):
        port = port_from_env("ZELMAR_DAEMON_PORT")
        control = self.path("/tmp/daemon_sim.control")
        security = base64.urlsafe_b64encode(self.cloud_key).rstrip(b"=").decode()
        login = {"result": {"data": json.dumps({"bUrl": f"https://localhost:{self.cloud_port}",
                                                 "security": security, "token": CLOUD_TOKEN})}}
        vendor = {"result": {"vendor": 4, "force": 0, "p2p_key": secrets.token_hex(16),
                             "vendor_params": {"p2p_id": f"ZLM-{DID}-HLV", "crc_key": ztp_wire.LOGIN_KEY,
                                               "init_string": self.p2p_init}}}
        self.start("daemon_sim", self.peer(
            "daemon_sim.py", "--port", port, "--control", control, "--supervisor", self.path("/tmp/.ko_daemon.socket"),
            "--did", DID, "--time", int(time.time()), "--status", "cloud_connected", "--push-status",
            "--script", "_sync.camera_login=" + json.dumps(login),
            "--script", "_sync.vasq_get_vendor=" + json.dumps(vendor)))
        wait_for(lambda: os.path.exists(control), 10, "the device daemon simulator")
        self.env.update({"ZELMAR_DAEMON_PORT": str(port), "CAMERA_DID": str(DID),
                         "CAMERA_P2P_ID": vendor["result"]["vendor_params"]["p2p_id"],
                         "CAMERA_P2P_KEY": vendor["result"]["p2p_key"]})
        self.say(f"ready: device daemon simulator 127.0.0.1:{port} (tests/peers/daemon_sim.py, control {control}; "
                 f"device id {DID}, server time, cloud login, P2P vendor)")

    def start_card(self):
        mount = self.path("/mnt/sdcard")
        why = None
        if self.args.card == "none":
            why = "none asked for"
        elif os.geteuid() != 0:
            why = "a loop mount needs root"
        elif not shutil.which("mkfs.ext4") or not shutil.which("losetup"):
            why = "mkfs.ext4 or losetup missing"
        if why is None:
            image = self.root + ".card.img"
            try:
                with open(image, "wb") as f:
                    f.truncate(CARD_BYTES)
                subprocess.run(["mkfs.ext4", "-q", "-F", "-m", "0", "-E", "lazy_itable_init=1,lazy_journal_init=1",
                                image], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.card_loop = subprocess.run(["losetup", "-f", "--show", image], check=True, capture_output=True,
                                                text=True).stdout.strip()
                subprocess.run(["mount", "-t", "ext4", "-o", "errors=remount-ro", self.card_loop, mount], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.card_image = image
                # The card as the camera's own /proc/mounts names it (the NAS backup looks it up there).
                with open(self.path("/proc/mounts"), "w") as f:
                    f.write("/dev/mmcblk0p1 /mnt/sdcard ext4 rw,relatime 0 0\n")
                self.say(f"ready: test card {CARD_BYTES >> 30} GiB ext4 on /mnt/sdcard ({self.card_loop})")
                self.env["CAMERA_CARD"] = "1"
                return
            except (subprocess.CalledProcessError, OSError) as e:
                why = f"cannot loop-mount a card image ({e})"
                self.unmount_card()
        # No plain directory: the file pool would pre-allocate the host's disk down to its reserve.
        if os.path.isdir(mount) and not os.path.ismount(mount) and not os.listdir(mount):
            os.rmdir(mount)
        self.env["CAMERA_CARD"] = "0"
        self.say(f"ready: no test card ({why}): nothing is recorded")

    def unmount_card(self):
        if self.card_loop:
            subprocess.run(["umount", self.path("/mnt/sdcard")], stderr=subprocess.DEVNULL)
            subprocess.run(["losetup", "-d", self.card_loop], stderr=subprocess.DEVNULL)
            self.card_loop = None
        image = self.root + ".card.img"
        if os.path.exists(image):
            os.unlink(image)

    def start_smbd(self):
        if not os.access("/usr/sbin/smbd", os.X_OK) or not shutil.which("pdbedit"):
            self.say("ready: no NAS share (smbd or pdbedit is not installed)")
            return
        d = self.smbd_dir = self.path("/tmp/smbd")
        for sub in ("private", "lock", "state", "cache", "pid", "ncalrpc", "log", "share"):
            os.makedirs(f"{d}/{sub}", exist_ok=True)
        port = port_from_env("ZELMAR_NAS_SMB_PORT")
        user, password = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip(), "zelmar-pw"
        with open(f"{d}/smb.conf", "w") as f:
            f.write(f"""[global]
  smb ports = {port}
  interfaces = 127.0.0.1
  bind interfaces only = yes
  disable netbios = yes
  server role = standalone server
  server min protocol = SMB2_10
  map to guest = never
  private dir = {d}/private
  lock directory = {d}/lock
  state directory = {d}/state
  cache directory = {d}/cache
  pid directory = {d}/pid
  ncalrpc dir = {d}/ncalrpc
  passdb backend = tdbsam:{d}/private/passdb.tdb
  log file = {d}/log/log.%m
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
[share]
  path = {d}/share
  read only = no
  valid users = {user}
""")
        subprocess.run(["pdbedit", "-s", f"{d}/smb.conf", "-a", "-u", user, "-t"], input=f"{password}\n{password}\n",
                       text=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # smbd makes a session of its own, which a group leader cannot: a shell starts it and waits.
        self.start("smbd", ["/bin/sh", "-c", f"/usr/sbin/smbd --foreground -s '{d}/smb.conf' & "
                                             f"echo $! > '{d}/smbd.pid'; wait"])

        def accepts():
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                return True
            except OSError:
                return False
        try:
            wait_for(accepts, 10, "smbd")
        except RuntimeError as e:  # the camera runs on without a share
            self.parties.pop().stop()
            self.stop_smbd()
            self.say(f"ready: no NAS share ({e}; see {d}/log)")
            return
        self.env.update({"ZELMAR_NAS_SMB_PORT": str(port), "CAMERA_NAS_USER": user, "CAMERA_NAS_PASSWORD": password,
                         "CAMERA_NAS_DIR": f"{d}/share"})
        self.say(f"ready: NAS share //127.0.0.1/share port {port} (smbd, user {user}, password {password})")

    def stop_smbd(self):
        if not self.smbd_dir:
            return
        for pid_file in ("smbd.pid", "pid/samba-dcerpcd.pid"):
            try:
                pid = int(file_text(f"{self.smbd_dir}/{pid_file}").split()[0])
                os.killpg(pid, signal.SIGTERM)
            except (IndexError, ValueError, ProcessLookupError, PermissionError):
                pass

    # ---- the program ---------------------------------------------------------------------------
    def write_env(self):
        self.env["CAMERA_ENV_PID"] = str(os.getpid())
        with open(self.path("/tmp/camera.env"), "w") as f:
            for name, value in sorted(self.env.items()):
                f.write(f"export {name}={value}\n")

    def set_state(self, text):
        with open(self.path("/tmp/camera.state.new"), "w") as f:
            f.write(text + "\n")
        os.replace(self.path("/tmp/camera.state.new"), self.path("/tmp/camera.state"))

    def start_app(self):
        log = self.path("/tmp/zelmar_app.log")
        start_at = len(file_text(log))
        self.set_state("starting")
        env = dict(os.environ, **self.env)
        self.app = Party("zelmar_app", self.args.app, log, env)
        wait_for(lambda: not self.app.running() or all(s in file_text(log)[start_at:] for s in APP_READY_LINES),
                 APP_READY_SECONDS, "zelmar_app")
        if not self.app.running():
            raise RuntimeError(f"zelmar_app ended with status {self.app.proc.returncode}; see {log}")
        if not self.token_given:
            self.give_token()
        if self.env.get("CAMERA_CARD") == "1" and not self.card_told:
            self.tell_card_formatted()
        self.set_state(f"ready {self.app.proc.pid}")

    def give_token(self):
        """The daemon hands the camera its device token (kept in "/mnt/data/device.token"), which the P2P
        service needs before it asks for the vendor and logs in to the P2P servers."""
        given = subprocess.run(self.peer("camera_ctl.py", self.root, "token", DEVICE_TOKEN), capture_output=True,
                               text=True)
        if given.returncode != 0:
            raise RuntimeError(given.stderr.strip())
        self.token_given = True

    def tell_card_formatted(self):
        """The card image is a fresh file system: the camera hears so, as from the card app after a
        format, and fills the card with its pool files."""
        sent = subprocess.run(self.peer("camera_ctl.py", self.root, "card-formatted"), capture_output=True, text=True)
        if sent.returncode != 0:
            raise RuntimeError(sent.stderr.strip())
        self.card_told = True

    def stop_app(self):
        if self.app:
            self.app_status = self.app.stop(signal.SIGTERM, 20)
            self.app = None
            self.set_state("stopped")

    def print_next(self):
        ctl = f"{PEERS}/camera_ctl.py {self.root}"
        self.say(f"ready: zelmar_app pid {self.app.proc.pid} (log {self.path('/tmp/zelmar_app.log')})")
        self.say("Try, from another terminal:")
        self.say("  read a property as the phone app does, through the daemon simulator, then set it (kept across")
        self.say("  restarts; 11.1 is the alarm sound's name):")
        self.say(f"  $ {ctl} get 11 1")
        self.say(f"  $ {ctl} set 11 1 '\"door bell\"'")
        self.say("  read the device token through the daemon simulator, then set it (kept across restarts):")
        self.say(f"  $ {ctl} token")
        self.say(f"  $ {ctl} token zel-demo-token-1")
        self.say("  stage a motion event (the detection script) and see it reach the daemon as an event:")
        self.say(f"  $ {ctl} motion")
        if self.env.get("CAMERA_CARD") == "1":
            self.say("  list the recordings and events on the card (an index record closes each minute):")
            self.say(f"  $ {ctl} recordings")
        self.say("  restart zelmar_app (the daemon, the cloud and the card stay):")
        self.say(f"  $ {ctl} restart")
        self.say("  see the camera logged in to the P2P servers:")
        self.say(f"  $ {ctl} p2p")
        self.say("  watch live view as a phone through the P2P servers for 8 s (the video kept as an elementary")
        self.say("  stream, its frames' arrival times beside it):")
        self.say(f"  $ {ctl} watch 8 {self.path('/tmp/live.video')}")
        self.say("  see the daemon links and what the cloud received:")
        self.say(f"  $ {ctl} links")
        self.say(f"  $ {ctl} cloud")
        self.say("  copy the next clip the cloud receives, as the cloud decrypted it:")
        self.say(f"  $ {ctl} clip {self.path('/tmp/clip.mp4')}")
        self.say("  talk back as a phone for 3 s (a tone as Opus frames) and keep what the board's speaker played:")
        self.say(f"  $ {ctl} talk 3 {self.path('/tmp/talk.pcm')}")
        if self.env.get("CAMERA_CARD") == "1":
            self.say("  play the newest recording of the card back as a phone for 4 s (its video kept):")
            self.say(f"  $ {ctl} play 4 {self.path('/tmp/playback.video')}")
        if "CAMERA_NAS_DIR" in self.env:
            self.say("  back the card's recordings up to the NAS share, as the phone app sets it, and list the share:")
            self.say(f"  $ {ctl} nas")
        self.say("Ctrl-C stops everything.")

    # ---- the whole run -------------------------------------------------------------------------
    def stop_all(self):
        self.stop_app()
        for party in reversed(self.parties):
            party.stop()
        self.stop_smbd()
        self.unmount_card()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root")
    parser.add_argument("--sound", required=True, help="the prompt sounds made beside the board's test media")
    parser.add_argument("--card", choices=("auto", "none"), default="auto")
    parser.add_argument("app", nargs=argparse.REMAINDER, help="-- and the command that runs zelmar_app")
    args = parser.parse_args()
    args.app = args.app[1:] if args.app[:1] == ["--"] else args.app
    camera = Camera(args)
    stopping = []
    restart = []
    p2p_restart = []
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGUSR1, lambda *_: restart.append(1))
    signal.signal(signal.SIGUSR2, lambda *_: p2p_restart.append(1))
    try:
        camera.seed()
        camera.start_flash()
        camera.start_cloud()
        camera.start_p2p_servers()
        camera.start_daemon()
        camera.start_card()
        camera.start_smbd()
        camera.write_env()
        if args.app:
            camera.start_app()
            camera.print_next()
        else:
            camera.say(f"env: {camera.path('/tmp/camera.env')}")
        while not stopping:
            if restart:
                restart.clear()
                camera.say("restarting zelmar_app")
                camera.stop_app()
                camera.start_app()
                camera.say(f"ready: zelmar_app pid {camera.app.proc.pid}")
            elif p2p_restart:
                p2p_restart.clear()
                camera.say("restarting the P2P servers")
                camera.restart_p2p_servers()
                camera.say("ready: P2P servers")
            elif camera.app and not camera.app.running():
                camera.say(f"zelmar_app ended by itself with status {camera.app.proc.returncode}")
                camera.app_status = camera.app.proc.returncode
                camera.app = None
                break
            time.sleep(0.2)
    except (RuntimeError, subprocess.CalledProcessError) as e:
        print(f"camera_env: {e}", file=sys.stderr, flush=True)
        camera.stop_all()
        return 1
    camera.stop_all()
    status = camera.app_status
    camera.say(f"stopped (zelmar_app status {status})" if status is not None else "stopped")
    return 0 if status in (None, 255, -signal.SIGTERM) else 1


if __name__ == "__main__":
    sys.exit(main())
