"""Every end of a run, in both front-ends, keyed and unkeyed: one table of
roads. Each road starts its servers once; the terminal program runs beside
the window against them, each with its own folder and store, and both must
end as documented (the window's game button, orvanta-update's exit status
and last line)."""

import hashlib
import json
import os
import shutil
import struct
import subprocess
import time
import unittest
from dataclasses import dataclass, field, replace

import e2e
from e2e import (BUTTON_EXIT, BUTTON_GAME, Case, ScriptedPeer, file_entry, frame, ftp_info, game_server,
                 tree, wait_until)

UPDATER_KEYED = os.path.join(e2e.BUILD_DIR, "tests", "Updater-keyed")
UPDATE_CLI_KEYED = os.path.join(e2e.BUILD_DIR, "tests", "orvanta-update-keyed")
TEST_KEY = os.path.join(e2e.SOURCE_DIR, "tests", "keys", "test-only-release-key.pem")
SIGNATURE = ".orvanta-release.sig"

UP_TO_DATE = "변경될 파일이 없습니다.(설치버전:2)"
DONE = "업데이트를 완료했습니다."
LINK_FAILED = "업데이트 서버에 접속 실패"
FTP_FAILED = "자동 패치 FTP서버 접속에 실패했습니다."
STOPPED = "파일 업데이트 오류 발생 되었습니다."
BROKEN = "파일 갱신 문제 발생/재시도 하세요"
REFUSED = "패치 서명을 확인할 수 없어 업데이트를 중단했습니다."

# What orvanta-update's --help promises: 0 when the files are in place and
# the version recorded (or nothing changed), 1 when the update did not complete.
EXIT = {"up-to-date": 0, "done": 0}

FALLBACK_GAME = ("127.0.0.1", 3333)


@dataclass(frozen=True)
class Road:
    name: str
    serve: str                 # the Ends method that starts the servers
    outcome: str
    status: str                # the last status line before the end
    version: int               # the store's ClientVersion afterwards (the server's is 2)
    button: str                # the window's game button: "launch", "ask" (fallback) or "inert"
    installed: int = 1
    files: dict = field(default_factory=dict)    # the release
    player: dict = field(default_factory=dict)   # what the player's folder holds before
    boxes: tuple = ()          # the window's boxes: (caption it starts with, the key that answers it)
    sent: tuple = ()           # the frames every updater sends a scripted server
    keyed: dict = field(default_factory=dict)    # what differs in a keyed build


SMALL = {"readme.txt": b"Orvanta Online 2\n", "data/소리/겨울축제.ogg": bytes(range(256)) * 40}

ROADS = [
    Road("up_to_date", "patchd", "up-to-date", UP_TO_DATE, 2, "launch", installed=2, files=SMALL),
    Road("done", "patchd", "done", DONE, 2, "launch", files=SMALL),
    Road("link_failed", "nothing", "link-failed", LINK_FAILED, 1, "ask"),
    Road("ftp_failed", "wrong_password", "ftp-failed", FTP_FAILED, 1, "ask", files=SMALL,
         boxes=(("-_-;;", "Return"),)),
    # A file where the entry's folder must be: the folder box (captioned with
    # the program's name), then the retry question, which the player cancels.
    Road("stopped", "patchd", "stopped", STOPPED, 1, "ask", files={"sub/a.bin": b"a" * 3000},
         player={"sub": b"in the way"}, boxes=(("Updater", "Return"), ("오류 발생", "Escape"))),
    Road("broken", "short_file", "broken", BROKEN, 1, "inert", files={"a.bin": b"new" * 10000},
         player={"a.bin": b"old"}),
    Road("refused", "foreign_signature", "done", DONE, 2, "launch", files=SMALL,
         keyed=dict(outcome="refused", status=REFUSED, version=1, button="ask")),
    Road("empty_list", "empty_list", "done", DONE, 2, "launch", sent=(10, 16, 18)),
    Road("game_server_before_version", "game_server_first", "up-to-date", UP_TO_DATE, 2, "launch", installed=2,
         sent=(10, 18)),
    Road("game_server_before_files", "game_server_early", "done", DONE, 2, "launch", files={"a.bin": b"a" * 5000},
         sent=(10, 16, 18)),
]


class Ends(Case):
    def test_unkeyed(self):
        self.run_roads(False)

    def test_keyed(self):
        self.run_roads(True)

    def setUp(self):
        super().setUp()
        self.peers = []

    def tearDown(self):
        for peer in self.peers:
            peer.stop()
        super().tearDown()

    def run_roads(self, keyed):
        for road in ROADS:
            with self.subTest(road=road.name):
                expect = replace(road, **road.keyed) if keyed else road
                self.run_road(expect, keyed)

    def run_road(self, road, keyed):
        folder = os.path.join(self.base, road.name)
        self.release = os.path.join(folder, "release")
        os.makedirs(self.release)
        self.make_release(road.files)
        try:
            port, game = getattr(self, "serve_" + road.serve)(road)
            cli = self.start_terminal(UPDATE_CLI_KEYED if keyed else e2e.UPDATE_CLI, road, port,
                                      os.path.join(folder, "terminal"))
            self.drive_window(UPDATER_KEYED if keyed else e2e.UPDATER, road, port, game,
                              os.path.join(folder, "window"))
            self.check_terminal(road, cli)
            if road.sent:
                self.assertTrue(wait_until(lambda: len(self.conversations) >= 2 and
                                           all(c["closed"] for c in self.conversations), 5), self.conversations)
                self.assertEqual([c["frames"] for c in self.conversations], [list(road.sent)] * 2)
        finally:
            # A road that failed leaves nothing running into the next one
            # (a window still open would hold the single-instance lock).
            e2e.end_all(self.updaters)
            for server in self.servers + self.peers:
                server.stop()
            self.servers, self.peers = [], []

    # --- the servers of each road: (patch-server port, the game address it sends) ---

    def sign(self, key=TEST_KEY):
        subprocess.run([e2e.RELEASE_TOOL, "sign", key, self.release, "2"], check=True, capture_output=True)

    def serve_patchd(self, road, password=None, knobs=(), key=TEST_KEY):
        self.sign(key)
        ftpd = self.start_ftpd(*knobs)
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port, game_host="gamehost", game_port=7,
                                   password=password or ftpd.password)
        return patchd.port, ("gamehost", 7)

    def serve_nothing(self, road):
        return self.dead_port(), None

    def serve_wrong_password(self, road):
        return self.serve_patchd(road, password="wrong")

    def serve_short_file(self, road):
        return self.serve_patchd(road, knobs=("--short", "10", "--match", "a.bin"))

    def serve_foreign_signature(self, road):
        keys = os.path.join(self.base, "foreign-key")
        os.makedirs(keys)
        pem = os.path.join(keys, "release.pem")
        subprocess.run([e2e.RELEASE_TOOL, "keygen", pem, os.path.join(keys, "release.pub")], check=True,
                       capture_output=True)
        return self.serve_patchd(road, key=pem)

    def serve_script(self, script):
        """A scripted patch server; each updater's conversation is kept."""
        self.sign()
        self.conversations = []

        def run(conn, peer):
            talk = {"frames": [], "closed": False}
            self.conversations.append(talk)
            try:
                script(conn, peer, talk)
                while True:
                    got = peer.read_frame(conn)
                    if got is None:
                        break
                    talk["frames"].append(got[0])
            finally:
                talk["closed"] = True

        peer = ScriptedPeer(run)
        self.peers.append(peer)
        return peer.port

    def read(self, conn, peer, talk):
        got = peer.read_frame(conn)
        if got:
            talk["frames"].append(got[0])
        return got

    def serve_empty_list(self, road):
        ftpd = self.start_ftpd()

        def script(conn, peer, talk):
            self.read(conn, peer, talk)
            conn.sendall(frame(11, struct.pack("<i", 2)))
            conn.sendall(frame(14, ftp_info("127.0.0.1:%d" % ftpd.port, ftpd.user, ftpd.password)))
            # The game address only once the updater says it is done.
            while 18 not in talk["frames"]:
                if not self.read(conn, peer, talk):
                    return
            conn.sendall(frame(19, game_server("listhost", 8)))
        return self.serve_script(script), ("listhost", 8)

    def serve_game_server_first(self, road):
        def script(conn, peer, talk):
            self.read(conn, peer, talk)
            conn.sendall(frame(19, game_server("firsthost", 9)))
            conn.sendall(frame(11, struct.pack("<i", 2)))
        return self.serve_script(script), ("firsthost", 9)

    def serve_game_server_early(self, road):
        ftpd = self.start_ftpd()

        def script(conn, peer, talk):
            self.read(conn, peer, talk)
            conn.sendall(frame(11, struct.pack("<i", 2)))
            for name, data in road.files.items():
                # Its digest, as a keyed updater wants every entry to carry.
                entry = file_entry("", name, len(data))[:-52] + b"OSH1" + hashlib.sha256(data).digest() + bytes(16)
                conn.sendall(frame(13, entry))
            conn.sendall(frame(14, ftp_info("127.0.0.1:%d" % ftpd.port, ftpd.user, ftpd.password)))
            conn.sendall(frame(19, game_server("earlyhost", 10)))
        return self.serve_script(script), ("earlyhost", 10)

    # --- the front-ends ---

    def player_folder(self, folder, road):
        """folder/game as the road wants it, and folder/config its store."""
        self.game = os.path.join(folder, "game")
        self.config = os.path.join(folder, "config")
        os.makedirs(self.game)
        for rel, data in road.player.items():
            with open(os.path.join(self.game, rel), "wb") as f:
                f.write(data)
        self.before = tree(self.game)

    def check_folder(self, road, recorded):
        game = tree(self.game, skip={"Client", "client-started.txt"})
        # A broken transfer may leave its bytes beside the old file, to be continued.
        game = {rel: digest for rel, digest in game.items() if not rel.endswith(".part")}
        if road.version == 2 and road.installed == 1:
            self.assertEqual(game, tree(self.release, skip={SIGNATURE}))
        else:
            self.assertEqual(game, self.before)
        self.assertEqual(recorded, str(road.version))

    def start_terminal(self, binary, road, port, folder):
        self.player_folder(folder, road)
        self.write_store(ClientVersion=road.installed)
        env = dict(os.environ, XDG_CONFIG_HOME=self.config, QT_QPA_PLATFORM="offscreen",
                   ASAN_OPTIONS="detect_leaks=0:abort_on_error=1")
        env.pop("DISPLAY", None)
        out, err = (os.path.join(folder, name) for name in ("stdout", "stderr"))
        with open(out, "w") as stdout, open(err, "w") as stderr:
            proc = subprocess.Popen([binary, "--host", "127.0.0.1", "--port", str(port), "--json"], env=env,
                                    stdout=stdout, stderr=stderr)
        self.updaters.append(proc)
        return {"proc": proc, "out": out, "err": err, "game": self.game, "config": self.config,
                "before": self.before}

    def check_terminal(self, road, cli):
        try:
            code = cli["proc"].wait(e2e.scaled(20))
        except subprocess.TimeoutExpired:
            self.fail("orvanta-update did not end")
        with open(cli["out"], encoding="utf-8") as out, open(cli["err"], encoding="utf-8") as err:
            lines = [json.loads(line) for line in out.read().splitlines()]
            said = "orvanta-update said %r, %r" % (lines, err.read())
        expected_exit = EXIT.get(road.outcome, 1)
        self.assertEqual(code, expected_exit, said)
        self.assertEqual({k: lines[-1].get(k) for k in ("type", "outcome", "exit")},
                         {"type": "end", "outcome": road.outcome, "exit": expected_exit}, said)
        self.assertEqual([line["text"] for line in lines if line["type"] == "status"][-1], road.status, said)
        self.game, self.config, self.before = cli["game"], cli["config"], cli["before"]
        self.check_folder(road, self.read_store()["ClientVersion"])

    def drive_window(self, binary, road, port, game, folder):
        self.player_folder(folder, road)
        shutil.copy(os.path.join(e2e.BUILD_DIR, "tests", "fake_client"), os.path.join(self.game, "Client"))
        self.status_log = os.path.join(folder, "status.log")
        self.write_store(PORT=port, ClientVersion=road.installed)
        proc = self.start_updater("127.0.0.1", binary=binary)
        self.find_window()

        # The boxes the road brings, each answered once, until the run ends.
        boxes, answered = list(road.boxes), set()

        def ended():
            if self.ends():
                return True
            for box in sorted(self.boxes_shown() - answered, key=int):
                caption = self.xdotool("getwindowname", box).stdout.strip()
                expected = [b for b in boxes if caption.startswith(b[0])]
                self.assertTrue(expected, "an unexpected box %r; statuses %r" % (caption, self.statuses()))
                answered.add(box)
                boxes.remove(expected[0])
                self.xdotool("windowfocus", box)
                time.sleep(0.1)
                self.key(expected[0][1])
            return False
        self.assertTrue(wait_until(ended, 20, 0.2), "the run did not end; statuses %r" % self.statuses())
        self.assertEqual(boxes, [], "boxes left unshown")
        statuses = self.statuses()
        self.assertEqual(self.ends(), [road.outcome], statuses)
        self.assertEqual(statuses[statuses.index("finished " + road.outcome) - 1], road.status, statuses)
        self.check_folder(road, self.read_store()["ClientVersion"])
        time.sleep(0.2)
        self.assertFalse(self.modal_open(), "a box stayed open")

        self.click(BUTTON_GAME)
        if road.button == "inert":
            time.sleep(0.5)
            self.assertFalse(self.modal_open())
            self.assertIsNone(proc.poll(), "the game button ended the window")
            self.click(BUTTON_EXIT)
        elif road.button == "ask":
            self.assertTrue(wait_until(self.modal_open, 5), "the game button asked nothing")
            self.key("Return")  # Yes: the game at the fixed address
            game = FALLBACK_GAME
        self.assertEqual(self.wait_exit(proc), 0)
        if road.button == "inert":
            self.assertIsNone(self.client_started())
        else:
            self.assertTrue(wait_until(self.client_started, 5), "no game started")
            self.assertTrue(self.client_started().endswith("arg=-ip:%s\narg=-port:%d\n" % game),
                            self.client_started())
        self.assertEqual(self.ends(), [road.outcome])

    def boxes_shown(self):
        """The visible top-level windows other than the main one. Each is named
        on its own (a window gone meanwhile has no name): a second search by
        title can miss the main window while another goes away under it."""
        shown = self.xdotool("search", "--onlyvisible", "--name", ".").stdout.split()
        names = {w: self.xdotool("getwindowname", w).stdout.strip() for w in shown}
        return {w for w, name in names.items() if name and name != e2e.TITLE}

    def ends(self):
        return [s.split(" ", 1)[1] for s in self.statuses() if s.startswith("finished ")]


if __name__ == "__main__":
    unittest.main()
