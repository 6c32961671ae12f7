"""The road of one update, end to end, with the real processes."""

import os
import random
import signal
import subprocess
import time
import unittest

import e2e
from e2e import BUTTON_EXIT, BUTTON_GAME, Case, tree, wait_until


def release_files(rng, big=1_500_000):
    return {
        "readme.txt": "Orvanta Online 2\n".encode(),
        "data/map/a.map": rng.randbytes(200_000),
        "data/map/deep/b.map": rng.randbytes(90_000),
        "data/소리/겨울축제.ogg": rng.randbytes(120_000),
        "empty.flag": b"",
        "pack/world.pak": rng.randbytes(big),
    }


class Road(Case):
    def test_up_to_date_launches_with_the_servers_address(self):
        self.make_release({"readme.txt": b"v2"})
        ftpd = self.start_ftpd()
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port, game_host="gamehost", game_port=7)
        self.write_store(PORT=patchd.port, ClientVersion=2)
        proc = self.start_updater("127.0.0.1")
        self.wait_status("변경될 파일이 없습니다.(설치버전:2)")
        self.assertTrue(wait_until(lambda: patchd.sent(19), 10))
        self.assertEqual(patchd.received()[:2], [10, 18])
        self.assertEqual(ftpd.retrieved(), [])
        self.click(BUTTON_GAME)
        started = time.monotonic()
        self.assertEqual(self.wait_exit(proc), 0)
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertTrue(wait_until(self.client_started, 5))
        self.assertTrue(self.client_started().endswith("arg=-start\narg=-ip:gamehost\narg=-port:7\n"))

    def test_full_update_then_launch(self):
        rng = random.Random(1)
        self.make_release(release_files(rng))
        with open(os.path.join(self.game, "readme.txt"), "w") as f:
            f.write("old")
        ftpd = self.start_ftpd()
        patchd = self.start_patchd(5, "127.0.0.1:%d" % ftpd.port, game_host="10.1.2.3", game_port=4242)
        self.write_store(PORT=patchd.port, ClientVersion=4)
        proc = self.start_updater("127.0.0.1")
        self.wait_status("Ver.4에서 Ver.5으로 업데이트")
        self.wait_status("업데이트를 완료했습니다.", 60)
        self.assertTrue(wait_until(lambda: patchd.sent(19), 10))
        self.assertEqual(patchd.received(), [10, 16, 18])
        game = tree(self.game, skip={"Client"})
        self.assertEqual(game, tree(self.release))
        # The resume mark is cleared and the version recorded; the mark is
        # written a moment later by its own writer.
        done = lambda: self.read_store() if (self.read_store().get("ClientVersion"), self.read_store().get(
            "DownFolder"), self.read_store().get("DownFile")) == ("5", "", "") else None
        self.assertTrue(wait_until(done, 5), self.read_store())
        self.click(BUTTON_GAME)
        self.assertEqual(self.wait_exit(proc), 0)
        self.assertTrue(wait_until(self.client_started, 5))
        self.assertIn("arg=-ip:10.1.2.3\narg=-port:4242\n", self.client_started())

    def test_interrupted_update_resumes_at_its_file(self):
        rng = random.Random(2)
        files = {"f%02d.bin" % i: rng.randbytes(150_000) for i in range(12)}
        self.make_release(files)
        ftpd = self.start_ftpd("--throttle", str(1_000_000))
        patchd = self.start_patchd(3, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port, ClientVersion=2)
        first = self.start_updater("127.0.0.1")
        self.assertTrue(wait_until(lambda: len(ftpd.retrieved()) >= 5, 30), ftpd.retrieved())
        first.send_signal(signal.SIGKILL)
        first.wait()
        mark = self.read_store()["DownFile"]
        self.assertRegex(mark, r"f\d\d\.bin")
        fetched_before = len(ftpd.retrieved())

        second = self.start_updater("127.0.0.1")
        self.wait_status("업데이트를 완료했습니다.", 60)
        again = ftpd.retrieved()[fetched_before:]
        # Nothing before the mark is fetched again. Files after it that
        # arrived before the kill (several at once, and the mark's writer
        # trails a little) are found in place by their digest.
        names = [rel.rsplit("/", 1)[-1] for rel in again]
        self.assertTrue(names and all(name >= mark for name in names), (mark, names))
        self.assertLessEqual(len(again), 12 - int(mark[1:3]))
        self.assertEqual(tree(self.game, skip={"Client"}), tree(self.release))
        self.click(BUTTON_EXIT)
        self.assertEqual(self.wait_exit(second), 0)

    def test_exit_during_a_transfer_keeps_the_old_file_whole(self):
        rng = random.Random(4)
        self.make_release({"big.pak": rng.randbytes(4_000_000)})
        with open(os.path.join(self.game, "big.pak"), "wb") as f:
            f.write(b"old pak")
        ftpd = self.start_ftpd("--throttle", "500000")
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port, ClientVersion=1)
        proc = self.start_updater("127.0.0.1")
        self.wait_status("파일을 업데이트 중입니다")
        time.sleep(1.0)
        self.click(BUTTON_EXIT)
        started = time.monotonic()
        self.assertEqual(self.wait_exit(proc), 0)
        self.assertLess(time.monotonic() - started, 2.0)
        # The old file stays whole. What arrived waits beside it, to be
        # continued next time (its entry carries a digest to check the join).
        left = sorted(os.listdir(self.game))
        self.assertEqual([n for n in left if not n.endswith(".part")], ["Client", "big.pak"])
        with open(os.path.join(self.game, "big.pak"), "rb") as f:
            self.assertEqual(f.read(), b"old pak")
        with open(os.path.join(self.release, "big.pak"), "rb") as f:
            release = f.read()
        for part in (n for n in left if n.endswith(".part")):
            with open(os.path.join(self.game, part), "rb") as f:
                kept = f.read()
            self.assertTrue(0 < len(kept) < len(release) and release.startswith(kept), part)
        self.assertEqual(self.read_store()["DownFile"], "big.pak")

    def test_ftp_server_unreachable(self):
        self.make_release({"a.bin": b"a" * 1000})
        dead = self.dead_port()
        patchd = self.start_patchd(2, "127.0.0.1:%d" % dead)
        self.write_store(PORT=patchd.port, ClientVersion=1)
        proc = self.start_updater("127.0.0.1")
        # The box "FTP접속 실패입니다." comes first; Return closes it.
        self.assertTrue(wait_until(self.modal_open, 40), "no failure box")
        self.key("Return")
        self.wait_status("자동 패치 FTP서버 접속에 실패했습니다.", 20)
        self.click(BUTTON_GAME)
        self.assertTrue(wait_until(self.modal_open, 10), "no question")
        self.key("Return")  # Yes
        self.assertEqual(self.wait_exit(proc), 0)
        self.assertTrue(wait_until(self.client_started, 5))
        self.assertTrue(self.client_started().endswith("arg=-ip:127.0.0.1\narg=-port:3333\n"))
        self.assertFalse(os.path.exists(os.path.join(self.game, "a.bin")))

    def test_patch_server_unreachable(self):
        self.write_store(PORT=self.dead_port())
        proc = self.start_updater("127.0.0.1")
        self.wait_status("업데이트 서버에 접속 실패")
        self.click(BUTTON_GAME)
        self.assertTrue(wait_until(self.modal_open, 10), "no question")
        self.key("Escape")  # No: the window stays
        time.sleep(0.5)
        self.assertIsNone(proc.poll())
        self.assertIsNone(self.client_started())
        self.find_window()
        self.click(BUTTON_EXIT)
        self.assertEqual(self.wait_exit(proc), 0)

    def test_terminal_front_end_updates_without_a_window(self):
        rng = random.Random(5)
        self.make_release(release_files(rng, big=300_000))
        ftpd = self.start_ftpd()
        patchd = self.start_patchd(6, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port, ClientVersion=5)
        fresh = os.path.join(self.base, "fresh")
        env = dict(os.environ, XDG_CONFIG_HOME=self.config, QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)  # it needs no display at all
        done = subprocess.run([e2e.UPDATE_CLI, "--host", "127.0.0.1", "--folder", fresh], env=env,
                              capture_output=True, text=True, timeout=e2e.scaled(60))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("업데이트를 완료했습니다.", done.stdout)
        self.assertEqual(tree(fresh), tree(self.release))
        # The store's version is its own folder's: another folder is
        # updated as a new install, every time, and the store keeps its 5.
        self.assertEqual(self.read_store()["ClientVersion"], "5")
        again = subprocess.run([e2e.UPDATE_CLI, "--host", "127.0.0.1", "--folder", fresh + "2"], env=env,
                               capture_output=True, text=True, timeout=e2e.scaled(60))
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(tree(fresh + "2"), tree(self.release))
        self.assertEqual(self.read_store()["ClientVersion"], "5")

        # --repair reads every file and fetches only the two that differ:
        # one with other bytes of its size, one deleted.
        names = sorted(tree(fresh))
        changed, deleted = os.path.join(fresh, names[0]), os.path.join(fresh, names[-1])
        size = os.path.getsize(changed)
        with open(changed, "r+b") as f:
            f.write(bytes(b ^ 0xFF for b in open(changed, "rb").read(min(size, 16))))
        os.remove(deleted)
        before = len(ftpd.retrieved())
        repaired = subprocess.run([e2e.UPDATE_CLI, "--host", "127.0.0.1", "--folder", fresh, "--repair"], env=env,
                                  capture_output=True, text=True, timeout=e2e.scaled(60))
        self.assertEqual(repaired.returncode, 0, repaired.stdout + repaired.stderr)
        self.assertEqual(tree(fresh), tree(self.release))
        self.assertEqual(sorted(p.lstrip("/") for p in ftpd.retrieved()[before:]), sorted([names[0], names[-1]]))

        refused = subprocess.run([e2e.UPDATE_CLI, "--host", "127.0.0.1", "--port", str(self.dead_port()),
                                  "--folder", fresh], env=env, capture_output=True, text=True, timeout=e2e.scaled(60))
        self.assertEqual(refused.returncode, 1)
        self.assertIn("업데이트 서버에 접속 실패", refused.stderr)

    def test_active_connections_that_stall_hand_their_files_to_others(self):
        # pyftpdlib's own active-mode connector stops reading a control
        # connection now and then when four clients send PORT at once: each
        # file caught there moves to another connection, passive.
        rng = random.Random(7)
        self.make_release({"d/f%02d.bin" % i: rng.randbytes(rng.randrange(1, 60_000)) for i in range(60)})
        ftpd = self.start_ftpd("--stock-active")
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port)
        env = dict(os.environ, XDG_CONFIG_HOME=self.config, QT_QPA_PLATFORM="offscreen")
        run = subprocess.run([e2e.UPDATE_CLI, "--host", "127.0.0.1", "--ftp-timeout", "2"], env=env,
                             capture_output=True, text=True, timeout=e2e.scaled(60))
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertEqual(tree(self.game, skip={"Client"}), tree(self.release))


if __name__ == "__main__":
    unittest.main()
