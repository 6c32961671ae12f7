"""Runs the real updater process against real servers on loopback.

Each test gets a folder with a game folder, a release, a settings store and
logs; the updater runs on a private Xvfb display; the FTP server is the
tests' pyftpdlib fixture and the patch server is orvanta-patchd (or a
scripted peer for the hostile cases). Nothing leaves this machine.
"""

import configparser
import fcntl
import hashlib
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.abspath(os.path.join(HERE, "..", ".."))
BUILD_DIR = os.environ.get("ORVANTA_BUILD_DIR", os.path.join(SOURCE_DIR, "build", "default"))
UPDATER = os.path.join(BUILD_DIR, "app", "Updater")
PATCHD = os.path.join(BUILD_DIR, "tools", "orvanta-patchd")
RELEASE_TOOL = os.path.join(BUILD_DIR, "tools", "orvanta-release")
UPDATE_CLI = os.path.join(BUILD_DIR, "app", "orvanta-update")
FTPD = os.path.join(SOURCE_DIR, "tests", "support", "ftpd.py")
PYTHON = "/usr/bin/python3"
TITLE = "Orvanta 온라인"

# Centres of the window's buttons, relative to its top-left corner.
BUTTON_OPTIONS = (84, 178)
BUTTON_HOMEPAGE = (227, 178)
BUTTON_GAME = (372, 178)
BUTTON_EXIT = (516, 178)

STORE_DIR = "Kelto Interactive, Inc."
STORE_FILE = "Orvanta Online.conf"


def _time_factor():
    """How many times longer than on a quick build the suites wait on the world
    outside them: ORVANTA_TIME_FACTOR when set (a loaded machine), else the
    build's ORVANTA_TEST_TIME_FACTOR, which CTest passes (sanitizer presets
    raise it). Time-outs a test gives the updater to provoke stay as they are."""
    for name in ("ORVANTA_TIME_FACTOR", "ORVANTA_TEST_TIME_FACTOR"):
        text = os.environ.get(name)
        if not text:
            continue
        try:
            value = float(text)
        except ValueError:
            value = 0.0
        if value >= 1:
            return value
        print("%s=%s is not a number of at least 1; ignored" % (name, text), file=sys.stderr)
    return 1.0


TIME_FACTOR = _time_factor()


def scaled(seconds):
    return seconds * TIME_FACTOR


def wait_until(pred, timeout, step=0.05):
    """Polls pred() until it is true or timeout seconds (scaled) pass; returns its last value."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > deadline:
            return value
        time.sleep(step)


def read_port(proc, pattern_prefix, log_path, timeout=15):
    """Waits for a line starting with pattern_prefix in log_path; returns its last number."""
    def find():
        try:
            with open(log_path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    if line.startswith(pattern_prefix):
                        return int(line.strip().rsplit(":", 1)[-1].split()[-1])
        except FileNotFoundError:
            pass
        if proc.poll() is not None:
            raise RuntimeError("server ended early; see %s" % log_path)
        return None
    port = wait_until(find, timeout)
    if not port:
        raise RuntimeError("server did not report its port; see %s" % log_path)
    return port


def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def tree(folder, skip=()):
    """Relative path -> sha256 of every file below folder."""
    out = {}
    for base, _dirs, files in os.walk(folder):
        for name in files:
            rel = os.path.relpath(os.path.join(base, name), folder)
            if rel in skip:
                continue
            out[rel] = sha(os.path.join(base, name))
    return out


def unique(path):
    """path, or path.N when a server of an earlier round left its log there."""
    n, candidate = 1, path
    while os.path.exists(candidate):
        n += 1
        candidate = "%s.%d" % (path, n)
    return candidate


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def closed_port():
    """A port that refuses connections until the socket is closed.

    Bound but not listening, so no server of a suite running beside this
    one can take it in the meantime (a free port that a silent server took
    would turn a refused connection into half a minute of waiting).
    """
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    return s


def end_all(procs):
    """Kills every process of the list still running: an updater a test
    left open would hold the single-instance lock."""
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def terminate(proc):
    """SIGTERM, so that a server takes its children down; SIGKILL when it
    does not end in time."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(scaled(5))
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Xvfb:
    """A private display. The tests pick its number themselves, under a lock
    of their own: with -displayfd, two servers starting at once can both try
    the same number, and the loser removes the winner's socket file on its
    way to the next one, so that the winner's clients cannot connect."""

    def __init__(self, log_dir):
        self.proc = None
        self._lock = None
        for number in range(60, 160):
            lock = open("/tmp/orvanta-e2e-display-%d.lock" % number, "w")
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                lock.close()
                continue
            if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
                lock.close()  # a display that is not ours
                continue
            with open(os.path.join(log_dir, "xvfb.out"), "a") as out:
                self.proc = subprocess.Popen(
                    ["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"],
                    stdout=out, stderr=subprocess.STDOUT)
            self.display = ":%d" % number
            self._lock = lock
            if self._answers(number):
                return
            self.stop()
        raise RuntimeError("Xvfb did not start; see %s" % os.path.join(log_dir, "xvfb.out"))

    def _answers(self, number):
        path = "/tmp/.X11-unix/X%d" % number
        deadline = time.monotonic() + scaled(10)
        while time.monotonic() < deadline and self.proc.poll() is None:
            with socket.socket(socket.AF_UNIX) as s:
                try:
                    s.connect(path)
                    return True
                except OSError:
                    time.sleep(0.05)
        return False

    def stop(self):
        if self.proc:
            terminate(self.proc)
        if self._lock:
            self._lock.close()
            self._lock = None


class Ftpd:
    def __init__(self, root, log_dir, *knobs, user="orvanta", password="secret"):
        self.user, self.password = user, password
        self.out = unique(os.path.join(log_dir, "ftpd.out"))
        self.commands = os.path.join(log_dir, "ftp-commands.log")
        with open(self.out, "a") as out:
            self.proc = subprocess.Popen(
                [PYTHON, FTPD, "--root", root, "--user", user, "--password", password,
                 "--log", self.commands, *knobs],
                stdout=out, stderr=subprocess.STDOUT)
        self.port = read_port(self.proc, "PORT", self.out)

    def retrieved(self):
        """Paths the server was asked for, in order."""
        try:
            with open(self.commands, encoding="utf-8", errors="replace") as f:
                return [line.split("RETR ", 1)[1].strip() for line in f if "RETR " in line]
        except FileNotFoundError:
            return []

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Patchd:
    def __init__(self, log_dir, release, version, ftp_host, user="orvanta", password="secret",
                 game_host="gamehost", game_port=7, releases=None, extra=()):
        self.log = unique(os.path.join(log_dir, "patchd.log"))
        args = [PATCHD, "--verbose", "--port", "0", "--version", str(version), "--ftp-host", ftp_host,
                "--ftp-user", user, "--ftp-password", password,
                "--game-host", game_host, "--game-port", str(game_port)]
        args += list(extra)
        if releases:
            args += ["--releases", releases]
        elif release:
            args += ["--release", release]
        with open(self.log, "a") as out:
            self.proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT)
        self.port = read_port(self.proc, "listening on", self.log)

    def lines(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def received(self):
        """Frame types the server received, in order."""
        out = []
        for line in self.lines():
            if "<- " in line:
                try:
                    out.append(int(line.split("<- ", 1)[1].split()[0]))
                except ValueError:
                    pass
        return out

    def sent(self, frame_type):
        return any(("-> %d" % frame_type) in line for line in self.lines())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(scaled(5))


class Case(unittest.TestCase):
    """A test with its own folders, display and store."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="orvanta-e2e-")
        self.game = os.path.join(self.base, "game")
        self.release = os.path.join(self.base, "release")
        self.config = os.path.join(self.base, "config")
        self.runtime = os.path.join(self.base, "runtime")
        self.logs = os.path.join(self.base, "logs")
        for d in (self.game, self.release, self.config, self.runtime, self.logs):
            os.makedirs(d)
        os.chmod(self.runtime, 0o700)
        self.status_log = os.path.join(self.logs, "status.log")
        self.xvfb = Xvfb(self.logs)
        self.servers = []
        self.updaters = []
        self.held = []
        shutil.copy(os.path.join(BUILD_DIR, "tests", "fake_client"), os.path.join(self.game, "Client"))

    def tearDown(self):
        end_all(self.updaters)
        for s in self.servers:
            s.stop()
        for s in self.held:
            s.close()
        self.xvfb.stop()
        failed = any(e for _, e in getattr(self._outcome, "errors", []) if e) or \
            (hasattr(self._outcome, "result") and (self._outcome.result.failures or self._outcome.result.errors))
        if failed:
            # What the updaters and servers said, for a failure seen only in CI.
            for name in sorted(os.listdir(self.logs)):
                if name.startswith("updater-") or name.endswith(".log"):
                    with open(os.path.join(self.logs, name), encoding="utf-8", errors="replace") as f:
                        tail = f.read()[-3000:]
                    print("--- %s\n%s" % (name, tail), file=sys.stderr)
            print("--- statuses: %r" % self.statuses(), file=sys.stderr)
        if failed and os.environ.get("ORVANTA_E2E_KEEP"):
            print("kept", self.base, file=sys.stderr)
        else:
            shutil.rmtree(self.base, ignore_errors=True)

    def dead_port(self):
        """A loopback port that refuses connections for the whole test."""
        s = closed_port()
        self.held.append(s)
        return s.getsockname()[1]

    # --- the release and the store ---

    def make_release(self, files):
        for rel, data in files.items():
            path = os.path.join(self.release, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def store_path(self):
        return os.path.join(self.config, STORE_DIR, STORE_FILE)

    def write_store(self, **values):
        # A player's store as the first run writes it: no PASSIVE (active
        # mode) and no Connections (four).
        store = {"ClientPath": self.game + "/", "IP": "localhost", "PORT": 7776, "ClientVersion": 1,
                 "Graphic": 1, "EAX": 1, "DownFolder": "", "DownFile": "",
                 "Whisper": 1, "Community": 1, "AutoHelp": 1}
        store.update(values)
        os.makedirs(os.path.dirname(self.store_path()), exist_ok=True)
        with open(self.store_path(), "w", encoding="utf-8") as f:
            f.write("[General]\n")
            for k, v in store.items():
                if v is not None:
                    f.write("%s=%s\n" % (k, v))

    def read_store(self):
        parser = configparser.RawConfigParser()
        parser.optionxform = str
        with open(self.store_path(), encoding="utf-8") as f:
            parser.read_file(f)
        out = {}
        for k, v in parser.items("General"):
            if len(v) >= 2 and v[0] == '"' and v[-1] == '"':
                v = v[1:-1]
            out[k] = v
        return out

    # --- servers ---

    def start_ftpd(self, *knobs, root=None):
        ftpd = Ftpd(root or self.release, self.logs, *knobs)
        self.servers.append(ftpd)
        return ftpd

    def start_patchd(self, version, ftp_host, release=True, **kw):
        patchd = Patchd(self.logs, self.release if release else None, version, ftp_host, **kw)
        self.servers.append(patchd)
        return patchd

    # --- the updater ---

    def start_updater(self, *args, binary=None, extra_env=None):
        env = dict(os.environ)
        env.update({
            "DISPLAY": self.xvfb.display,
            "QT_QPA_PLATFORM": "xcb",
            "XDG_CONFIG_HOME": self.config,
            "XDG_RUNTIME_DIR": self.runtime,
            "ORVANTA_NOTICE": "off",
            "ORVANTA_STATUS_LOG": self.status_log,
            "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1",
        })
        env.update(extra_env or {})
        with open(os.path.join(self.logs, "updater-%d.out" % len(self.updaters)), "w") as out:
            proc = subprocess.Popen([binary or UPDATER, *args], cwd=self.game, env=env,
                                    stdout=out, stderr=subprocess.STDOUT)
        self.updaters.append(proc)
        self.window = None
        return proc

    def statuses(self):
        try:
            with open(self.status_log, encoding="utf-8") as f:
                return [line.rstrip("\n").split(" ", 1)[1] for line in f if " " in line]
        except FileNotFoundError:
            return []

    def wait_status(self, text, timeout=20):
        ok = wait_until(lambda: any(text in s for s in self.statuses()), timeout)
        self.assertTrue(ok, "status %r not seen; saw %r" % (text, self.statuses()))

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.xvfb.display),
                              capture_output=True, text=True, timeout=scaled(10))

    def find_window(self, timeout=15):
        def search():
            r = self.xdotool("search", "--name", TITLE)
            ids = r.stdout.split()
            return ids[0] if ids else None
        win = wait_until(search, timeout, 0.1)
        self.assertTrue(win, "the updater window did not appear")
        geometry = self.xdotool("getwindowgeometry", win).stdout
        pos = geometry.split("Position: ", 1)[1].split()[0].split(",")
        self.window = (win, int(pos[0]), int(pos[1]))
        return self.window

    def click(self, point):
        if not self.window:
            self.find_window()
        _win, x, y = self.window
        self.xdotool("mousemove", str(x + point[0]), str(y + point[1]), "sleep", "0.2", "click", "1")

    def key(self, name):
        self.xdotool("key", name)

    def modal_open(self):
        """Whether a second top-level window (a message box) is shown."""
        r = self.xdotool("search", "--onlyvisible", "--name", ".")
        return len([w for w in r.stdout.split() if w]) > 1

    def wait_exit(self, proc, timeout=10):
        try:
            return proc.wait(scaled(timeout))
        except subprocess.TimeoutExpired:
            self.fail("the updater did not end within %ss" % scaled(timeout))

    def client_started(self):
        path = os.path.join(self.game, "client-started.txt")
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as f:
            return f.read()


def frame(frame_type, payload=b""):
    import struct
    return struct.pack("<ii", len(payload) + 8, frame_type) + payload


def text_field(text, width, terminate=True):
    data = text if isinstance(text, bytes) else text.encode("cp949")
    if terminate:
        data = data[:width - 1] + b"\0"
    return data[:width].ljust(width, b"\0")


def file_entry(folder, name, size):
    import struct
    return text_field(folder, 256) + text_field(name, 256) + struct.pack("<I", size) + bytes(52)


def ftp_info(host, user, password):
    return text_field(host, 100) + text_field(user, 50) + text_field(password, 50)


def game_server(address, port):
    import struct
    return text_field(address, 52) + struct.pack("<i", port)


class ScriptedPeer:
    """A patch server that plays a script to each client.

    script(conn, peer) is called in a thread for each connection; peer.read_frame()
    reads one frame the updater sent (or None when it closed)."""

    def __init__(self, script):
        self.script = script
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.received = []
        self.errors = []
        self._stop = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.sock.settimeout(0.2)
        while not self._stop:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        conn.settimeout(scaled(30))
        try:
            self.script(conn, self)
        except OSError:
            pass
        except Exception as exc:  # a broken script must fail the test, not hang it
            self.errors.append(exc)
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def read_frame(self, conn):
        import struct
        head = self._read(conn, 8)
        if head is None:
            return None
        length, frame_type = struct.unpack("<ii", head)
        payload = self._read(conn, length - 8) if length > 8 else b""
        self.received.append(frame_type)
        return frame_type, payload

    @staticmethod
    def _read(conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def stop(self):
        self._stop = True
        self.sock.close()


if __name__ == "__main__":
    unittest.main()
