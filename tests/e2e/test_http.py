"""The release over HTTPS from nginx (Debian's package) on loopback, with the
FTP server as the way back: the publisher's layout from `orvanta-release
stage --http`, the address announced by orvanta-patchd --http-url, and a
keyed orvanta-update (and the keyed window) that trusts the tests' own
certificate authority."""

import json
import os
import random
import shutil
import signal
import socket
import subprocess
import unittest
import urllib.parse

import e2e
from e2e import Case, free_port, wait_until

UPDATE_CLI_KEYED = os.path.join(e2e.BUILD_DIR, "tests", "orvanta-update-keyed")
UPDATER_KEYED = os.path.join(e2e.BUILD_DIR, "tests", "Updater-keyed")
KEYS = os.path.join(e2e.SOURCE_DIR, "tests", "keys")
TEST_KEY = os.path.join(KEYS, "test-only-release-key.pem")
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
BIG = "pack/world.pak"
KOREAN = "data/소리/겨울축제.ogg"

NGINX_CONF = """
daemon off;
worker_processes 1;
pid {base}/nginx.pid;
error_log {base}/nginx-error.log info;
{user}
events {{ worker_connections 64; }}
http {{
    default_type application/octet-stream;
    access_log {base}/nginx-access.log;
    client_body_temp_path {base}/body;
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name localhost;
        ssl_certificate {base}/server.pem;
        ssl_certificate_key {base}/server.key;
        root {web};
        location /orvanta/ {{
            add_header Cache-Control "public, max-age=31536000, immutable";
            location ~ \\.pak$ {{
                add_header Cache-Control "public, max-age=31536000, immutable";
                limit_rate 1m;
            }}
        }}
    }}
}}
"""


@unittest.skipUnless(os.path.exists(NGINX), "nginx is not installed (scripts/setup.sh installs it)")
class Http(Case):
    def test_https_first_then_ftp_when_nginx_stops(self):
        rng = random.Random(7)
        files = {"readme.txt": b"Orvanta Online 2\n", KOREAN: rng.randbytes(120_000),
                 BIG: rng.randbytes(20_000_000)}  # large enough to come in pieces
        nginx, ftpd, patchd = self.serve(files)
        self.write_store(PORT=patchd.port)
        env = dict(os.environ, XDG_CONFIG_HOME=self.config, QT_QPA_PLATFORM="offscreen",
                   ASAN_OPTIONS="detect_leaks=0:abort_on_error=1")
        out, err = (os.path.join(self.logs, name) for name in ("updater.out", "updater.err"))
        with open(out, "w") as stdout, open(err, "w") as stderr:
            cli = subprocess.Popen([UPDATE_CLI_KEYED, "--host", "127.0.0.1", "--port", str(patchd.port), "--json"],
                                   env=env, stdout=stdout, stderr=stderr)
        self.updaters.append(cli)

        # nginx goes away while the large file is on its way from it, after
        # the small ones came whole.
        partial = lambda: any(os.path.getsize(os.path.join(d, f)) > 1_000_000
                              for d, _, names in os.walk(self.game) for f in names if f != "Client")
        self.assertTrue(wait_until(lambda: partial() and urllib.parse.quote("겨울축제") in self.access_log(), 30),
                        self.access_log())
        nginx["proc"].send_signal(signal.SIGTERM)
        nginx["proc"].wait(e2e.scaled(5))

        try:
            code = cli.wait(e2e.scaled(60))
        except subprocess.TimeoutExpired:
            self.fail("orvanta-update did not end")
        with open(out, encoding="utf-8") as f:
            lines = [json.loads(line) for line in f.read().splitlines()]
        with open(err, encoding="utf-8") as f:
            said = f.read()
        self.assertEqual((code, lines[-1].get("outcome")), (0, "done"), (lines[-3:], said))
        for rel, data in files.items():
            with open(os.path.join(self.game, rel), "rb") as f:
                self.assertTrue(f.read() == data, rel)
        self.assertEqual(self.read_store()["ClientVersion"], "2")

        # The signature and the small files came over HTTPS; the FTP server
        # gave only the rest of the large file's pieces, from where nginx
        # stopped each.
        log = self.access_log()
        self.assertIn("/orvanta/2/.orvanta-release.sig", log)
        self.assertIn("/orvanta/2/readme.txt", log)
        self.assertEqual(set(ftpd.retrieved()), {BIG}, log)
        self.assertGreater(len(ftpd.retrieved()), 1, "the large file in pieces")
        with open(ftpd.commands, encoding="utf-8") as f:
            rest = [int(line.split("REST ", 1)[1]) for line in f if "REST " in line]
        self.assertTrue(len(rest) > 1 and min(rest) > 0, rest)
        self.assertIn("the rest of this session comes from the FTP server", said)

    def test_window_fetches_over_https(self):
        files = {"readme.txt": b"Orvanta Online 2\n", KOREAN: bytes(range(256)) * 40}
        _nginx, ftpd, patchd = self.serve(files)
        self.write_store(PORT=patchd.port)
        proc = self.start_updater("127.0.0.1", binary=UPDATER_KEYED)
        self.wait_status("업데이트를 완료했습니다.")
        for rel, data in files.items():
            with open(os.path.join(self.game, rel), "rb") as f:
                self.assertTrue(f.read() == data, rel)
        self.assertEqual(ftpd.retrieved(), [])
        self.assertIn(urllib.parse.quote("겨울축제"), self.access_log())
        proc.kill()
        proc.wait()

    def serve(self, files):
        """The release signed, staged for the web, and served by nginx, the FTP
        server and a patch server announcing nginx."""
        self.make_release(files)
        subprocess.run([e2e.RELEASE_TOOL, "sign", TEST_KEY, self.release, "2"], check=True, capture_output=True)
        web = os.path.join(self.base, "web")
        subprocess.run([e2e.RELEASE_TOOL, "stage", "--http", self.release, os.path.join(web, "orvanta", "2")],
                       check=True, capture_output=True)
        nginx = self.start_nginx(web)
        ftpd = self.start_ftpd()
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port,
                                   extra=("--http-url", "https://localhost:%d/orvanta" % nginx["port"]))
        return nginx, ftpd, patchd

    def access_log(self):
        try:
            with open(os.path.join(self.base, "nginx", "nginx-access.log"), encoding="utf-8",
                      errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def start_nginx(self, web):
        """nginx with a certificate for localhost from the tests' authority, made now."""
        base = os.path.join(self.base, "nginx")
        os.makedirs(os.path.join(base, "body"))
        key, csr, pem = (os.path.join(base, name) for name in ("server.key", "server.csr", "server.pem"))
        ext = os.path.join(base, "ext.cnf")
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
        for args in (["req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-keyout", key, "-out", csr, "-subj", "/CN=localhost"],
                     ["x509", "-req", "-in", csr, "-CA", os.path.join(KEYS, "test-only-ca.pem"),
                      "-CAkey", os.path.join(KEYS, "test-only-ca.key"), "-set_serial", "1", "-days", "2", "-extfile", ext, "-out", pem]):
            subprocess.run(["openssl", *args], check=True, capture_output=True)
        port = free_port()
        conf = os.path.join(base, "nginx.conf")
        with open(conf, "w") as f:
            # As root, the workers would otherwise read as nobody, who may
            # not enter the test's private folder.
            f.write(NGINX_CONF.format(base=base, port=port, web=web,
                                      user="user root;" if os.geteuid() == 0 else ""))
        with open(os.path.join(self.logs, "nginx.out"), "w") as out:
            proc = subprocess.Popen([NGINX, "-p", base, "-c", conf, "-e", os.path.join(base, "nginx-error.log")],
                                    stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop_nginx, proc)
        self.assertTrue(wait_until(lambda: self.listening(port) or proc.poll() is not None, 10) and
                        proc.poll() is None, "nginx did not start; see %s" % base)
        return {"proc": proc, "port": port}

    @staticmethod
    def stop_nginx(proc):
        # SIGTERM, so that the master takes its workers down: killed, it
        # would leave them serving the port.
        e2e.terminate(proc)

    @staticmethod
    def listening(port):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0


if __name__ == "__main__":
    unittest.main()
