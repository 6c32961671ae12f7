"""The publishing recipe of docs/publishing.md, run as written on loopback.

The recipe's step blocks are read from the document and run by bash, with
/srv, /etc and /run moved into the test's folder and the ports moved to
free ones; its "systemctl" lines start the servers as their units would:
vsftpd with deploy/vsftpd.conf, HAProxy with deploy/haproxy.cfg, and
orvanta-patchd with the unit's own command line, counted as started when
it sends READY=1 as systemd's Type=notify waits for. The players are the
terminal updater built to trust the tests' release key."""

import ftplib
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from e2e import (terminate, BUILD_DIR, PATCHD, RELEASE_TOOL, SOURCE_DIR, STORE_DIR, STORE_FILE, UPDATE_CLI, Case, free_port,
                 scaled, sha, wait_until)

DEPLOY = os.path.join(SOURCE_DIR, "deploy")
RECIPE = os.path.join(SOURCE_DIR, "docs", "publishing.md")
KEYS = os.path.join(SOURCE_DIR, "tests", "keys")
UPDATE_KEYED = os.path.join(BUILD_DIR, "tests", "orvanta-update-keyed")
HAPROXY = "/usr/sbin/haproxy"
VSFTPD = "/usr/sbin/vsftpd"
SOCAT = "/usr/bin/socat"
# Bytes per second per FTP session: slow enough that players are still
# downloading while a step of the rollout runs.
FTP_RATE = 400_000


def recipe_steps():
    with open(RECIPE, encoding="utf-8") as f:
        text = f.read()
    return dict(re.findall(r"<!-- step: ([a-z-]+) -->\n```sh\n(.*?)```", text, re.S))


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def env_file(path):
    out = {}
    with open(path) as f:
        for line in f:
            if "=" in line and not line.lstrip().startswith("#"):
                key, value = line.rstrip("\n").split("=", 1)
                out[key.strip()] = value
    return out


def write(root, files):
    for rel, data in files.items():
        path = os.path.join(root, rel)
        if os.path.lexists(path):
            os.unlink(path)  # a hard link of the older version: replaced, never written into
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def altered(data, seed):
    """data with a few small places rewritten, as a new build of a pack is."""
    out = bytearray(data)
    for i in range(20):
        at = (seed * 7919 + i * 65_537) % (len(out) - 16)
        out[at:at + 16] = os.urandom(16)
    return bytes(out)


def release_tree(folder):
    """The files a player's folder should hold: neither patches nor the signature."""
    out = {}
    for base, _dirs, files in os.walk(folder):
        for name in files:
            if name.endswith(".zpatch") or name == ".orvanta-release.sig":
                continue
            path = os.path.join(base, name)
            out[os.path.relpath(path, folder)] = sha(path)
    return out


class Proc:
    def __init__(self, args, log, env=None):
        self.log = log
        with open(log, "a") as out:
            self.proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, env=env)

    def stop(self):
        terminate(self.proc)


class Player:
    """One player's game folder and store, and the terminal updater run on them."""

    def __init__(self, root, releases, version, port, passive, binary=UPDATE_KEYED):
        self.root, self.releases = root, releases
        self.game = os.path.join(root, "game")
        self.config = os.path.join(root, "config")
        if version is None:
            os.makedirs(self.game)
        else:
            shutil.copytree(os.path.join(releases, str(version)), self.game,
                            ignore=shutil.ignore_patterns("*.zpatch", ".orvanta-release.sig"))
        store = os.path.join(self.config, STORE_DIR, STORE_FILE)
        os.makedirs(os.path.dirname(store))
        with open(store, "w") as f:
            # No PASSIVE: a player's store as the first run writes it
            # (active mode, four connections).
            f.write("[General]\nClientPath=%s/\nIP=127.0.0.1\nPORT=%d\nClientVersion=%d\n"
                    % (self.game, port, version or 0))
            if passive is not None:
                f.write("PASSIVE=%d\n" % int(passive))
        self.store = store
        self.out = os.path.join(root, "update.out")
        with open(self.out, "w") as out:
            self.proc = subprocess.Popen([binary, "--ftp-timeout", "10"], cwd=self.game, stdout=out,
                                         stderr=subprocess.STDOUT,
                                         env=dict(os.environ, XDG_CONFIG_HOME=self.config,
                                                  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"))

    def finish(self, versions, timeout=60):
        """None when the update completed: one of versions recorded and its
        files in the folder; else what went wrong."""
        try:
            code = self.proc.wait(scaled(timeout))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return "did not end; see %s" % self.out
        with open(self.store) as f:
            found = re.search(r"^ClientVersion=(\d+)", f.read(), re.M)
        self.version = int(found.group(1)) if found else None
        if code != 0 or self.version not in versions:
            return "exit %d, version %s; see %s" % (code, self.version, self.out)
        wanted = release_tree(os.path.join(self.releases, str(self.version)))
        got = {rel: digest for rel, digest in release_tree(self.game).items() if rel in wanted}
        return None if got == wanted else "version %s not in place: %s" % (self.version, self.out)


@unittest.skipUnless(os.geteuid() == 0, "vsftpd jails its sessions only when started as root")
@unittest.skipUnless(all(os.path.exists(p) for p in (HAPROXY, VSFTPD, SOCAT)), "haproxy, vsftpd, socat (scripts/setup.sh)")
class Deploy(Case):
    def setUp(self):
        super().setUp()
        os.chmod(self.base, 0o755)  # vsftpd's sessions run as the user ftp below it
        self.srv = os.path.join(self.base, "srv", "orvanta")
        self.releases = os.path.join(self.srv, "releases")
        self.ftp_root = os.path.join(self.srv, "ftp")
        self.home = os.path.join(self.base, "home")
        self.bin = os.path.join(self.base, "bin")
        # What the system has before the recipe: /etc/default, /run/haproxy.
        for d in (self.releases, self.home, self.bin, os.path.join(self.base, "etc", "default"),
                  os.path.join(self.base, "run", "haproxy")):
            os.makedirs(d)
        os.symlink(RELEASE_TOOL, os.path.join(self.bin, "orvanta-release"))
        self.ports = {"front": free_port(), "ftp": free_port(), "pasv": free_port(), 7777: free_port(),
                      7778: free_port()}
        self.units = {}
        self.pam_files = []
        self.steps = recipe_steps()
        self.addCleanup(self.stop_units)

    def stop_units(self):
        for unit in self.units.values():
            unit.stop()
        for path in self.pam_files:
            if os.path.exists(path):
                os.unlink(path)

    # --- the recipe ---

    def relocated(self, text):
        text = re.sub(r"(?<![\w.])/(srv|etc|run)/", lambda m: "%s/%s/" % (self.base, m.group(1)), text)
        text = text.replace("=:7776", "=127.0.0.1:%d" % self.ports["front"])
        return re.sub(r"\b777[78]\b", lambda m: str(self.ports[int(m.group(0))]), text)

    def run_step(self, name, **replace):
        """Runs a step block of the recipe; replace swaps words first (the
        second patch server's names in the first's block)."""
        text = self.steps[name]
        for old, new in replace.items():
            text = re.sub(r"\b%s\b" % old, new, text)
        text = self.relocated(text)
        chunk = []
        for line in text.splitlines() + ["systemctl"]:
            if not line.startswith("systemctl"):
                chunk.append(line)
                continue
            if chunk:
                r = subprocess.run(["bash", "-euo", "pipefail", "-c", "\n".join(chunk)], cwd=SOURCE_DIR,
                                   capture_output=True, text=True, timeout=scaled(120),
                                   env=dict(os.environ, HOME=self.home, PATH=self.bin + ":" + os.environ["PATH"]))
                self.assertEqual(r.returncode, 0, "step %s:\n%s\n%s%s" % (name, "\n".join(chunk), r.stdout, r.stderr))
                chunk = []
            self.systemctl(line.split()[1:])

    def systemctl(self, args):
        if not args or args[0] == "daemon-reload":
            return
        self.assertIn(args[0], ("restart", "enable", "start"), args)
        for unit in (a for a in args[1:] if not a.startswith("--")):
            if unit in self.units:
                self.units.pop(unit).stop()
            start = {"vsftpd": self.start_vsftpd, "haproxy": self.start_haproxy}.get(unit, self.start_patchd)
            self.units[unit] = start(unit)

    def start_vsftpd(self, _unit):
        # PAM reads only /etc/pam.d: the recipe's file goes there under a
        # name of this test's own, for as long as the test runs.
        pam = "orvanta-ftp-e2e-%d-%d" % (os.getpid(), len(self.pam_files))
        shutil.copy(os.path.join(self.base, "etc", "pam.d", "orvanta-ftp"), os.path.join("/etc/pam.d", pam))
        self.pam_files.append(os.path.join("/etc/pam.d", pam))
        os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
        with open(os.path.join(self.base, "etc", "vsftpd.conf")) as f:
            text = self.relocated(f.read())
        conf = os.path.join(self.base, "run", "vsftpd.conf")
        with open(conf, "w") as f:
            f.write(text)
        self.ftp_log = os.path.join(self.logs, "vsftpd.log")
        port, pasv = self.ports["ftp"], self.ports["pasv"]
        proc = Proc([VSFTPD, conf, "-olisten_address=127.0.0.1", "-olisten_port=%d" % port,
                     "-opam_service_name=" + pam,
                     "-opasv_min_port=%d" % pasv, "-opasv_max_port=%d" % (pasv + 40),
                     "-ovsftpd_log_file=" + self.ftp_log, "-oanon_max_rate=%d" % FTP_RATE,
                     "-olocal_max_rate=%d" % FTP_RATE], os.path.join(self.logs, "vsftpd.out"))
        self.assertTrue(wait_until(lambda: accepts(port), 10), "vsftpd did not start")
        return proc

    def start_haproxy(self, _unit):
        with open(os.path.join(self.base, "etc", "haproxy", "haproxy.cfg")) as f:
            cfg = self.relocated(f.read())
        path = os.path.join(self.base, "run", "haproxy.cfg")
        with open(path, "w") as f:
            f.write(cfg)
        env = dict(os.environ, **env_file(os.path.join(self.base, "etc", "default", "haproxy")))
        proc = Proc([HAPROXY, "-db", "-f", path], os.path.join(self.logs, "haproxy.out"), env=env)
        self.assertTrue(wait_until(lambda: accepts(self.ports["front"]), 10), "haproxy did not start")
        return proc

    def start_patchd(self, unit):
        port = int(unit.split("@", 1)[1])
        with open(os.path.join(self.base, "etc", "systemd", "system", "orvanta-patchd@.service")) as f:
            lines = f.read().splitlines()
        self.assertIn("Type=notify", lines)
        line = next(l for l in lines if l.startswith("ExecStart="))[len("ExecStart="):]
        env = env_file(os.path.join(self.base, "etc", "orvanta", "patchd.env"))
        env["CREDENTIALS_DIRECTORY"] = os.path.join(self.base, "etc", "orvanta")
        words = []
        for word in line.replace("%i", str(port)).split():
            bare = re.fullmatch(r"\$([A-Z_]+)", word)
            if bare:
                words += env[bare.group(1)].split()
            else:
                words.append(re.sub(r"\$\{([A-Z_]+)\}", lambda m: env[m.group(1)], word))
        self.assertEqual(words[0], "/usr/bin/orvanta-patchd")
        # Started means READY=1 on the notify socket, as systemd has it.
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        path = os.path.join(self.base, "run", "notify-%d" % port)
        if os.path.exists(path):
            os.unlink(path)
        notify.bind(path)
        notify.settimeout(scaled(30))
        log = os.path.join(self.logs, "patchd-%d.log" % port)
        proc = Proc([PATCHD] + words[1:], log, env=dict(os.environ, NOTIFY_SOCKET=path))
        with notify:
            self.assertEqual(notify.recv(64), b"READY=1", "see " + log)
        self.assertTrue(accepts(port))
        return proc

    # --- releases ---

    def build_history(self):
        """Versions 42 and 43 with Korean names in nested folders, made with
        the tool, signed with the key the keyed updater trusts, 43 staged."""
        self.pack = os.urandom(1_500_000)
        v42 = os.path.join(self.releases, "42")
        write(v42, {"readme.txt": b"42", "empty.flag": b"", "pack/world.pak": self.pack,
                    "공지/새 소식.txt": "새 소식 42".encode(), "공지/알림/점검 안내.txt": "점검".encode() * 100,
                    "데이터/지도/숲 속.map": os.urandom(200_000)})
        subprocess.run(["cp", "-al", v42, os.path.join(self.releases, "43")], check=True)
        self.pack = altered(self.pack, 43)
        write(os.path.join(self.releases, "43"), {"readme.txt": b"43", "pack/world.pak": self.pack,
                                                  "공지/알림/이벤트.txt": "이벤트".encode()})
        pem = os.path.join(KEYS, "test-only-release-key.pem")
        for args in (["delta", "42", "43", "--level", "3"], ["sign", pem, "42", "42"], ["sign", pem, "43", "43"],
                     ["stage", "43", os.path.join(self.ftp_root, "v43")]):
            r = subprocess.run([RELEASE_TOOL] + args, cwd=self.releases, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, (args, r.stdout, r.stderr))

    def serve(self):
        """The recipe's key and servers; both patch servers announce 43."""
        self.run_step("key")
        # The keyed updater was built with the tests' key: the pair the
        # recipe made is swapped for it.
        keys = os.path.join(self.home, "orvanta-keys")
        self.assertTrue(os.path.getsize(os.path.join(keys, "release.pub")) > 0)
        for ext in ("pem", "pub"):
            os.unlink(os.path.join(keys, "release." + ext))
            shutil.copy(os.path.join(KEYS, "test-only-release-key." + ext), os.path.join(keys, "release." + ext))
        self.run_step("serve-ftp")
        self.build_history()
        self.run_step("serve-patchd")
        # What the publisher edits in patchd.env.
        path = os.path.join(self.base, "etc", "orvanta", "patchd.env")
        with open(path) as f:
            text = f.read()
        edits = {"FTP_HOSTS": "--ftp-host 127.0.0.1:%d" % self.ports["ftp"], "GAME_HOST": "127.0.0.1",
                 "GAME_PORT": "7", "RELEASES": self.releases}
        for key, value in edits.items():
            text = re.sub(r"^%s=.*$" % key, "%s=%s" % (key, value), text, flags=re.M)
        with open(path, "w") as f:
            f.write(text)
        self.run_step("start-patchd")
        self.run_step("serve-haproxy")

    def new_version(self):
        """Version 44 as the recipe makes it, with the tool's delta for the last step only."""
        self.run_step("copy")
        v44 = os.path.join(self.releases, "44")
        self.pack = altered(self.pack, 44)
        write(v44, {"readme.txt": b"44", "pack/world.pak": self.pack, "데이터/지도/숲 속.map": os.urandom(200_000)})
        self.run_step("delta")
        self.run_step("sign")
        self.run_step("stage")

    def rollout(self, first, second):
        for server in (first, second):
            self.run_step("rollout", **({} if server == 1 else {"patchd1": "patchd2", "7777": "7778"}))

    def player(self, version, passive=None, binary=UPDATE_KEYED):
        self.player_count = getattr(self, "player_count", 0) + 1
        root = os.path.join(self.base, "players", str(self.player_count))
        return Player(root, self.releases, version, self.ports["front"], passive, binary)

    def downloads(self):
        with open(self.ftp_log, encoding="latin-1") as f:
            return re.findall(r'\[(v\d+)\] OK DOWNLOAD: Client "127.0.0.1", "([^"]+)"', f.read())

    # --- the cases ---

    def test_korean_release_through_vsftpd_haproxy_and_two_patch_servers(self):
        started = time.monotonic()
        self.serve()

        # Each version's root is a jail: nothing of the machine, nor of
        # another version, and no user that is not a version.
        ftp = ftplib.FTP(encoding="latin-1")
        ftp.connect("127.0.0.1", self.ports["ftp"], timeout=scaled(10))
        ftp.login("v43", "")
        wire = lambda text: text.encode("cp949").decode("latin-1")
        self.assertEqual(sorted(ftp.nlst("/")), sorted("/" + wire(n) for n in ("readme.txt", "empty.flag", "pack",
                                                                             "공지", "데이터")))
        with self.assertRaises(ftplib.error_perm):
            ftp.cwd("/etc")
        for path in ("/etc/passwd", "/../etc/passwd", "../../../etc/passwd", "/../v42/readme.txt",
                     "/../../releases/43/readme.txt"):
            with self.assertRaises(ftplib.error_perm, msg=path):
                ftp.retrbinary("RETR " + path, lambda _: None)
        ftp.quit()
        for user in ("v43/../..", "../releases/43", "anonymous", "ftp", "root"):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", self.ports["ftp"], timeout=scaled(10))
            with self.assertRaises(ftplib.error_perm, msg=user):
                ftp.login(user, "x")
            ftp.close()

        # A new player gets all of 43, Korean names in nested folders,
        # byte for byte, and the signature checked; in active mode, as a
        # player's store has it.
        fresh = self.player(None)
        self.assertIsNone(fresh.finish({43}))
        self.assertEqual(release_tree(fresh.game), release_tree(os.path.join(self.releases, "43")))
        self.assertIn(("v43", "/.orvanta-release.sig"), self.downloads())
        with open(fresh.out, encoding="utf-8", errors="replace") as f:
            self.assertNotIn("retry", f.read())
        # And through the window (a build without a key), the same.
        self.write_store(IP="127.0.0.1", PORT=self.ports["front"], ClientVersion=0)
        window = self.start_updater()
        self.wait_status("업데이트를 완료했습니다.", timeout=scaled(60))
        self.assertTrue(wait_until(lambda: self.read_store().get("ClientVersion") == "43", scaled(20)))
        wanted = release_tree(os.path.join(self.releases, "43"))
        wanted.pop(".orvanta-release.sig", None)
        self.assertEqual({rel: d for rel, d in release_tree(self.game).items() if rel != "Client"}, wanted)
        window.kill()
        window.wait()

        # 44 after cp -al and a delta from 43 only: the 42-to-43 patch lies
        # in 44 too; the player at 42 fetches the whole pack, not that patch,
        # and the player at 43 the 43-to-44 patch.
        self.new_version()
        patches = [n for n in os.listdir(os.path.join(self.releases, "44", "pack")) if n.endswith(".zpatch")]
        self.assertEqual(len(patches), 2, patches)
        # Its FTP root: links of the release's files, and of the patches
        # only the one that makes 44's pack. Across file systems, copies.
        staged = os.path.join(self.ftp_root, "v44", "pack")
        names = sorted(os.listdir(staged))
        self.assertEqual(len(names), 2, names)
        self.assertTrue(names[1].endswith(sha(os.path.join(self.releases, "44", "pack", "world.pak"))[:32] + ".zpatch"))
        self.assertEqual(os.stat(os.path.join(staged, names[1])).st_ino,
                         os.stat(os.path.join(self.releases, "44", "pack", names[1])).st_ino)
        # A root players may be fetching from is never changed.
        r = subprocess.run([RELEASE_TOOL, "stage", os.path.join(self.releases, "43"), os.path.join(self.ftp_root, "v44")],
                           capture_output=True, text=True)
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(sorted(os.listdir(staged)), names)
        if os.path.isdir("/dev/shm") and os.stat("/dev/shm").st_dev != os.stat(self.base).st_dev:
            elsewhere = tempfile.mkdtemp(dir="/dev/shm")
            self.addCleanup(shutil.rmtree, elsewhere, True)
            r = subprocess.run([RELEASE_TOOL, "stage", os.path.join(self.releases, "44"), elsewhere + "/v44"],
                               capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("0 linked", r.stdout)
            with os.scandir(os.path.join(self.ftp_root, "v44")) as linked, os.scandir(elsewhere + "/v44") as copied:
                self.assertEqual(sorted(e.name for e in linked), sorted(e.name for e in copied))
            self.assertEqual(release_tree(elsewhere + "/v44"), release_tree(os.path.join(self.ftp_root, "v44")))

        self.rollout(2, 1)
        for version, fetched in ((42, "/pack/world.pak"), (43, "/pack/world.pak.")):
            seen = len(self.downloads())
            player = self.player(version)
            self.assertIsNone(player.finish({44}))
            got = self.downloads()[seen:]
            self.assertTrue(all(user == "v44" for user, _ in got), got)
            packs = [path for _, path in got if path.startswith("/pack/")]
            self.assertEqual(len(packs), 1, got)
            self.assertTrue(packs[0].startswith(fetched) and (version == 43) == packs[0].endswith(".zpatch"), got)

        # The key's rotation: a new pair beside the old one, which signs.
        self.run_step("rotate")
        keys = os.path.join(self.home, "orvanta-keys")
        r = subprocess.run([RELEASE_TOOL, "sign", os.path.join(keys, "release-2.pem"), "44", "44"],
                           cwd=self.releases, capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        print("deploy case: %.1f s" % (time.monotonic() - started))

    def test_rollout_fails_no_player(self):
        started = time.monotonic()
        self.serve()
        players, lock, stop = [], threading.Lock(), threading.Event()
        step = ["before"]

        def keep_playing():
            # Three players at a time, at 42 or new, in turn: each fetches
            # for a few seconds at the FTP server's rate. Every fourth is an
            # updater that checks no signature, as older players have.
            while not stop.is_set():
                with lock:
                    running = [p for p in players if p.proc.poll() is None]
                    if len(running) < 3:
                        p = self.player(42 if len(players) % 2 else None, passive=len(players) % 3 != 0,
                                        binary=UPDATE_CLI if len(players) % 4 == 3 else UPDATE_KEYED)
                        p.step = step[0]
                        players.append(p)
                time.sleep(0.1)

        spawner = threading.Thread(target=keep_playing, daemon=True)
        spawner.start()

        def during(name, action):
            with lock:
                step[0] = name
                before = len(players)
            action()
            self.assertTrue(wait_until(lambda: len(players) >= before + 3, 60), name)

        try:
            during("stage 44", self.new_version)
            during("patch server 2 to 44", lambda: self.run_step("rollout", patchd1="patchd2", **{"7777": "7778"}))
            during("patch server 1 to 44", lambda: self.run_step("rollout"))
            during("retire 43", lambda: self.run_step("retire"))
        finally:
            stop.set()
            spawner.join()
        failed = [(p.step, why) for p in players for why in [p.finish({43, 44})] if why]
        self.assertEqual(failed, [])
        by_step = {}
        for p in players:
            by_step.setdefault(p.step, set()).add(p.version)
        self.assertEqual(by_step["stage 44"], {43})
        self.assertEqual(by_step["retire 43"], {44})
        self.assertFalse(os.path.exists(os.path.join(self.ftp_root, "v43")))
        print("rollout case: %d players, %.1f s" % (len(players), time.monotonic() - started))


if __name__ == "__main__":
    unittest.main()
