"""The deployment recipe of deploy/, on loopback: HAProxy in front of two
orvanta-patchd started with the systemd unit's own command line, vsftpd
jailed to the current release, and the real updater through all of them."""

import ftplib
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import unittest

from e2e import PATCHD, SOURCE_DIR, Case, free_port, read_port, scaled, tree, unique, wait_until

DEPLOY = os.path.join(SOURCE_DIR, "deploy")
HAPROXY = "/usr/sbin/haproxy"
VSFTPD = "/usr/sbin/vsftpd"


class Proc:
    """A server process with its output in a log file."""

    def __init__(self, args, log, env=None):
        self.log = log
        with open(log, "a") as out:
            self.proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, env=env)

    def lines(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(scaled(5))
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def unit_command(port, env):
    """The unit's ExecStart with %i and its variables filled in as systemd does."""
    with open(os.path.join(DEPLOY, "orvanta-patchd@.service")) as f:
        line = next(l for l in f if l.startswith("ExecStart="))[len("ExecStart="):]
    words = []
    for word in line.replace("%i", str(port)).split():
        bare = re.fullmatch(r"\$([A-Z_]+)", word)
        if bare:
            words += env[bare.group(1)].split()
        else:
            words.append(re.sub(r"\$\{([A-Z_]+)\}", lambda m: env[m.group(1)], word))
    assert words[0] == "/usr/bin/orvanta-patchd", words
    return [PATCHD] + words[1:]


def unit_environment():
    env = {}
    with open(os.path.join(DEPLOY, "patchd.env")) as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                key, value = line.rstrip("\n").split("=", 1)
                env[key] = value
    return env


def session(port, version):
    """One conversation through the balancer; the frame types received."""
    with socket.create_connection(("127.0.0.1", port), timeout=scaled(5)) as s:
        s.sendall(struct.pack("<iii", 12, 10, version))
        got, buf = [], b""
        while 19 not in got:
            data = s.recv(65536)
            if not data:
                break
            buf += data
            while len(buf) >= 8 and len(buf) >= struct.unpack_from("<i", buf)[0]:
                length, ftype = struct.unpack_from("<ii", buf)
                buf = buf[length:]
                got.append(ftype)
                if ftype == 14 or (ftype == 11 and version == 2):
                    s.sendall(struct.pack("<iii", 12, 18, 0))
        return got


@unittest.skipUnless(os.geteuid() == 0, "vsftpd jails its sessions only when started as root")
@unittest.skipUnless(os.path.exists(HAPROXY) and os.path.exists(VSFTPD), "haproxy and vsftpd (scripts/setup.sh)")
class Deploy(Case):
    def write(self, root, files):
        for rel, data in files.items():
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def test_update_through_haproxy_two_patch_servers_and_vsftpd(self):
        releases = os.path.join(self.base, "releases")
        same = {"data/map/a.map": os.urandom(50_000), "empty.flag": b""}
        self.write(os.path.join(releases, "1"), {**same, "readme.txt": b"one", "pack/world.pak": os.urandom(300_000)})
        self.write(os.path.join(releases, "2"), {**same, "readme.txt": b"two", "pack/world.pak": os.urandom(300_000),
                                                 "data/new.txt": "새 파일".encode()})
        os.symlink("2", os.path.join(releases, "current"))
        shutil.copytree(os.path.join(releases, "1"), self.game, dirs_exist_ok=True)

        # vsftpd as shipped, moved to loopback ports.
        ftp_port = free_port()
        pasv = free_port()
        ftp_log = os.path.join(self.logs, "vsftpd.log")
        self.servers.append(Proc([VSFTPD, os.path.join(DEPLOY, "vsftpd.conf"), "-olisten_address=127.0.0.1",
                                  "-olisten_port=%d" % ftp_port, "-oanon_root=%s/current" % releases,
                                  "-opasv_min_port=%d" % pasv, "-opasv_max_port=%d" % (pasv + 20),
                                  "-ovsftpd_log_file=%s" % ftp_log], unique(os.path.join(self.logs, "vsftpd.out"))))
        self.assertTrue(wait_until(lambda: accepts(ftp_port), 10), "vsftpd did not start")

        # The jail: "/" is the current release and nothing above it.
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", ftp_port, timeout=scaled(10))
        ftp.login()
        self.assertEqual(sorted(ftp.nlst("/")), ["/data", "/empty.flag", "/pack", "/readme.txt"])
        with self.assertRaises(ftplib.error_perm):
            ftp.cwd("/etc")
        for path in ("/etc/passwd", "/../etc/passwd", "../../../etc/passwd", "/../1/readme.txt"):
            with self.assertRaises(ftplib.error_perm, msg=path):
                ftp.retrbinary("RETR " + path, lambda _: None)
        ftp.cwd("/..")
        self.assertEqual(ftp.pwd(), "/")
        self.assertEqual(sorted(ftp.nlst()), ["data", "empty.flag", "pack", "readme.txt"])
        ftp.quit()

        # Two patch servers as the systemd unit starts them.
        credentials = tempfile.mkdtemp(dir=self.base)
        with open(os.path.join(credentials, "ftp-password"), "w") as f:
            f.write("unused-by-anonymous\n")
        env = unit_environment()
        env.update(LISTEN="127.0.0.1", RELEASES=releases, FTP_HOSTS="--ftp-host 127.0.0.1:%d" % ftp_port,
                   GAME_HOST="127.0.0.1", GAME_PORT="7", CREDENTIALS_DIRECTORY=credentials)
        patchds = []
        for _ in range(2):
            proc = Proc(unit_command(0, env), unique(os.path.join(self.logs, "patchd.log")))
            self.servers.append(proc)
            proc.port = read_port(proc.proc, "listening on", proc.log)
            patchds.append(proc)

        front = free_port()
        haproxy_env = dict(os.environ, ORVANTA_PATCH_BIND="127.0.0.1:%d" % front,
                           ORVANTA_PATCHD1="127.0.0.1:%d" % patchds[0].port,
                           ORVANTA_PATCHD2="127.0.0.1:%d" % patchds[1].port)
        self.servers.append(Proc([HAPROXY, "-db", "-f", os.path.join(DEPLOY, "haproxy.cfg")],
                                 os.path.join(self.logs, "haproxy.out"), env=haproxy_env))
        self.assertTrue(wait_until(lambda: accepts(front), 10), "haproxy did not start")

        # The real updater at version 1 gets the files that changed in 2.
        self.write_store(PORT=front, ClientVersion=1)
        self.start_updater("127.0.0.1")
        self.wait_status("Ver.1에서 Ver.2으로 업데이트")
        self.wait_status("업데이트를 완료했습니다.", 60)
        self.assertEqual(tree(self.game, skip={"Client"}), tree(os.path.join(releases, "2")))
        with open(ftp_log) as f:
            fetched = sorted(re.findall(r'OK DOWNLOAD: Client "127.0.0.1", "([^"]+)"', f.read()))
        self.assertEqual(fetched, ["/data/new.txt", "/pack/world.pak", "/readme.txt"])
        self.assertTrue(wait_until(lambda: self.read_store().get("ClientVersion") == "2", 10))

        # The balancer spreads sessions over both servers.
        for _ in range(4):
            self.assertEqual(session(front, 2), [11, 19])
        served = lambda p: sum(1 for l in p.lines() if re.search(r" got=10,18 sent=19 .* end=done$", l))
        self.assertTrue(wait_until(lambda: all(served(p) >= 1 for p in patchds), 5),
                        [p.lines() for p in patchds])


if __name__ == "__main__":
    unittest.main()
