"""Hostile peers: the updater never crashes, never writes outside the game
folder, stays responsive and says what went wrong."""

import os
import random
import struct
import time
import unittest

import e2e
from e2e import (BUTTON_EXIT, BUTTON_GAME, Case, ScriptedPeer, file_entry, frame, ftp_info,
                 game_server, tree, wait_until)

FAILED_LINK = "업데이트 서버에 접속 실패"
REFUSED_ENTRY = "파일 업데이트 오류 발생 되었습니다."
CONNECTION_CLOSED = "FTP서버 연결 종료/재실행 하세요"
SHORT_FILE = "파일 갱신 오류 발생/다시 접속 시도하세요"
SHORT_TOTAL = "파일 갱신 문제 발생/재시도 하세요"


class Hostile(Case):
    def setUp(self):
        super().setUp()
        self.peer = None

    def tearDown(self):
        if self.peer:
            self.peer.stop()
        super().tearDown()

    def serve(self, script):
        self.peer = ScriptedPeer(script)
        return self.peer

    def run_updater(self, port, client_version=1):
        self.write_store(PORT=port, ClientVersion=client_version)
        return self.start_updater("127.0.0.1")

    def dismiss_boxes(self, seconds=2.0):
        """Answers every box that shows up for a while with Escape (cancel)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.modal_open():
                self.key("Escape")
            time.sleep(0.2)

    def assert_survives(self, proc):
        """Alive, responsive to the exit button, clean exit, nothing outside."""
        self.assertIsNone(proc.poll(), "the updater died")
        self.dismiss_boxes(0.5)
        self.find_window()
        self.click(BUTTON_EXIT)
        self.assertEqual(self.wait_exit(proc, 10), 0)
        self.assertEqual(sorted(os.listdir(self.base)), ["config", "game", "logs", "release", "runtime"])
        self.assertEqual(self.peer.errors if self.peer else [], [])

    # --- the patch server misbehaves ---

    def test_random_bytes(self):
        rng = random.Random(7)
        for attempt in range(3):
            junk = rng.randbytes(3000)
            if attempt == 1:
                junk = struct.pack("<i", 600) + junk  # a length in range, then noise
            def script(conn, peer, junk=junk):
                peer.read_frame(conn)
                conn.sendall(junk)
                time.sleep(3)
            self.serve(script)
            proc = self.run_updater(self.peer.port)
            time.sleep(2.5)
            self.assert_survives(proc)
            self.peer.stop()

    def test_lengths_out_of_range_break_the_link(self):
        for length in (0, 7, 1025, -1, 0x7FFFFFFF):
            def script(conn, peer, length=length):
                peer.read_frame(conn)
                conn.sendall(struct.pack("<ii", length, 11) + b"\1\0\0\0" * 4)
                time.sleep(5)
            self.serve(script)
            proc = self.run_updater(self.peer.port)
            self.wait_status(FAILED_LINK)
            # The game button is armed: it asks about the fallback launch.
            self.click(BUTTON_GAME)
            self.assertTrue(wait_until(self.modal_open, 5), "length %d: no question" % length)
            self.key("Escape")
            self.assert_survives(proc)
            self.peer.stop()
            os.remove(self.status_log)

    def test_records_without_terminators(self):
        def script(conn, peer):
            peer.read_frame(conn)
            conn.sendall(frame(11, struct.pack("<i", 1)))  # same version
            conn.sendall(frame(19, b"g" * 52 + struct.pack("<i", 9)))
            conn.sendall(frame(13, b"x" * 100))  # shorter than its record
            time.sleep(5)
        self.serve(script)
        proc = self.run_updater(self.peer.port)
        self.wait_status("변경될 파일이 없습니다.(설치버전:1)")
        time.sleep(0.5)
        self.click(BUTTON_GAME)
        self.assertEqual(self.wait_exit(proc), 0)
        self.assertTrue(wait_until(self.client_started, 5))
        self.assertIn("arg=-ip:%s\narg=-port:9\n" % ("g" * 52), self.client_started())

    def test_paths_that_climb_out_are_refused(self):
        self.make_release({"ok.bin": b"fine", "escape/x": b"gotcha"})
        ftpd = self.start_ftpd()
        unsafe = [("..", "escape.bin"), ("../..", "x"), ("a/../../..", "x"), ("/../escape", "x"),
                  ("C:", "x"), ("\\\\server\\share", "x"), ("a\\..\\..", "x"), ("", "../x"),
                  ("", "a/b"), ("", ""), ("", ".."), ("data", "..")]
        for folder, name in unsafe:
            def script(conn, peer, folder=folder, name=name):
                peer.read_frame(conn)
                conn.sendall(frame(11, struct.pack("<i", 2)))
                conn.sendall(frame(13, file_entry(folder, name, 6)))
                conn.sendall(frame(14, ftp_info("127.0.0.1:%d" % ftpd.port, ftpd.user, ftpd.password)))
                time.sleep(8)
            self.serve(script)
            proc = self.run_updater(self.peer.port)
            self.wait_status(REFUSED_ENTRY, 15)
            self.assert_survives(proc)
            self.assertEqual(os.listdir(self.game), ["Client"], (folder, name))
            self.assertEqual(self.read_store()["DownFile"], "")
            self.peer.stop()
            os.remove(self.status_log)
        self.assertEqual(ftpd.retrieved(), [])

    def test_game_server_frame_during_the_download_records_nothing(self):
        rng = random.Random(3)
        files = {"a.bin": rng.randbytes(400_000), "b.bin": rng.randbytes(400_000)}
        self.make_release(files)
        ftpd = self.start_ftpd("--throttle", "400000")
        def script(conn, peer):
            peer.read_frame(conn)
            conn.sendall(frame(11, struct.pack("<i", 8)))
            for name, data in files.items():
                conn.sendall(frame(13, file_entry("", name, len(data))))
            conn.sendall(frame(14, ftp_info("127.0.0.1:%d" % ftpd.port, ftpd.user, ftpd.password)))
            time.sleep(0.5)
            conn.sendall(frame(19, game_server("early", 1)))
            while True:
                got = peer.read_frame(conn)
                if got is None:
                    return
                if got[0] == 18:
                    conn.sendall(frame(19, game_server("late", 2)))
        self.serve(script)
        proc = self.run_updater(self.peer.port, client_version=7)
        self.assertTrue(wait_until(lambda: 19 in self.peer.received or len(ftpd.retrieved()) >= 1, 10))
        time.sleep(0.8)
        self.assertEqual(self.read_store()["ClientVersion"], "7")
        self.wait_status("업데이트를 완료했습니다.", 30)
        self.assertTrue(wait_until(lambda: self.read_store()["ClientVersion"] == "8", 5))
        self.assertEqual(tree(self.game, skip={"Client"}), tree(self.release))
        self.click(BUTTON_GAME)
        self.assertEqual(self.wait_exit(proc), 0)
        self.assertTrue(wait_until(self.client_started, 5))
        self.assertIn("arg=-ip:late\narg=-port:2\n", self.client_started())

    def test_server_closing_at_every_point(self):
        self.make_release({"a.bin": b"a" * 5000})
        ftpd = self.start_ftpd()
        entry = frame(13, file_entry("", "a.bin", 5000))
        points = ["accept", "after-10", "after-11", "mid-13", "after-13", "after-14"]
        for point in points:
            def script(conn, peer, point=point):
                if point == "accept":
                    return
                peer.read_frame(conn)
                if point == "after-10":
                    return
                conn.sendall(frame(11, struct.pack("<i", 2)))
                if point == "after-11":
                    return
                if point == "mid-13":
                    conn.sendall(entry[:300])
                    return
                conn.sendall(entry)
                if point == "after-13":
                    return
                conn.sendall(frame(14, ftp_info("127.0.0.1:%d" % ftpd.port, ftpd.user, ftpd.password)))
            self.serve(script)
            proc = self.run_updater(self.peer.port)
            time.sleep(2.5)
            if point == "after-14":
                # The download does not need the patch server any more.
                self.wait_status("업데이트를 완료했습니다.", 15)
                self.assertEqual(tree(self.game, skip={"Client"}), tree(self.release))
            self.assert_survives(proc)
            self.peer.stop()
            if os.path.exists(self.status_log):
                os.remove(self.status_log)

    # --- the FTP server misbehaves ---

    def ftp_case(self, knobs, files, expect, old=None, extra_env=None):
        self.make_release(files)
        for rel, data in (old or {}).items():
            with open(os.path.join(self.game, rel), "wb") as f:
                f.write(data)
        ftpd = self.start_ftpd(*knobs)
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port, ClientVersion=1)
        proc = self.start_updater("127.0.0.1", extra_env=extra_env)
        self.wait_status(expect, 60)
        self.assertFalse(patchd.sent(19))
        self.assertTrue(wait_until(lambda: self.read_store()["DownFile"] != "", 5))
        self.assert_survives(proc)
        return ftpd

    def test_data_connection_dropped_keeps_the_old_file(self):
        rng = random.Random(5)
        files = {"a.bin": rng.randbytes(300_000), "b.bin": rng.randbytes(300_000)}
        # Each of the three tries gets 50,000 bytes further, never to the end.
        self.ftp_case(["--drop-after", "50000", "--match", "a.bin"], files, CONNECTION_CLOSED,
                      old={"a.bin": b"old a"})
        with open(os.path.join(self.game, "a.bin"), "rb") as f:
            self.assertEqual(f.read(), b"old a")
        # Fetched beside a.bin over another connection, or cancelled: whole or absent.
        b = os.path.join(self.game, "b.bin")
        if os.path.exists(b):
            with open(b, "rb") as f:
                self.assertEqual(f.read(), files["b.bin"])

    def test_fewer_or_more_bytes_than_listed(self):
        rng = random.Random(6)
        files = {"a.bin": rng.randbytes(50_000), "b.bin": rng.randbytes(50_000)}
        for knob, expect in (("--short", SHORT_FILE), ("--extra", SHORT_FILE)):
            self.ftp_case([knob, "10", "--match", "a.bin"], files, expect, old={"a.bin": b"old"})
            with open(os.path.join(self.game, "a.bin"), "rb") as f:
                self.assertEqual(f.read(), b"old")
            for s in list(self.servers):
                s.stop()
            self.servers.clear()
            os.remove(self.status_log)

    def test_last_file_short_is_a_whole_list_problem(self):
        self.ftp_case(["--short", "10", "--match", "z.bin"], {"a.bin": b"a" * 1000, "z.bin": b"z" * 1000},
                      SHORT_TOTAL)

    def test_stalled_transfer_ends_and_says_so(self):
        files = {"a.bin": os.urandom(400_000)}
        self.ftp_case(["--stall-after", "100000"], files, CONNECTION_CLOSED, old={"a.bin": b"old"},
                      extra_env={"ORVANTA_FTP_TIMEOUT": "2"})
        with open(os.path.join(self.game, "a.bin"), "rb") as f:
            self.assertEqual(f.read(), b"old")


if __name__ == "__main__":
    unittest.main()
