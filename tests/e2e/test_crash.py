"""Crash safety: the updater is killed at random moments of a large update,
again and again, and right as files finish arriving (while they are checked,
synced and renamed into place, or patches applied). Every game file stays
either old or new, never cut, every file before the resume mark is new, and
the last run finishes the update exactly."""

import os
import random
import signal
import subprocess
import time
import unittest

from e2e import BUTTON_EXIT, RELEASE_TOOL, Case, scaled, sha, tree, wait_until

KILLS = int(os.environ.get("ORVANTA_CRASH_KILLS", "20"))
PIECE_KILLS = int(os.environ.get("ORVANTA_CRASH_PIECE_KILLS", "20"))
COMMIT_KILLS = int(os.environ.get("ORVANTA_CRASH_COMMIT_KILLS", "5"))


def completed_transfers(ftpd):
    try:
        with open(ftpd.commands, encoding="utf-8", errors="replace") as f:
            return sum(1 for line in f if line.startswith("SENT ") and line.rstrip().endswith(" complete"))
    except FileNotFoundError:
        return 0


class CrashSafety(Case):
    def test_killed_twenty_times_then_completes(self):
        rng = random.Random(int(os.environ.get("ORVANTA_CRASH_SEED", "20261207")))
        new, old = {}, {}
        for i in range(36):
            rel = "data/%s/file%02d.bin" % ("abc"[i % 3], i)
            new[rel] = rng.randbytes(rng.randint(50_000, 700_000))
            if i % 2 == 0:
                old[rel] = rng.randbytes(rng.randint(1_000, 300_000))
        new["pack/old.pak"] = rng.randbytes(3_000_000)
        old["pack/old.pak"] = rng.randbytes(2_500_000)
        # Packs the player has at version 1 that version 2 changes a little:
        # they come as patches.
        for i in range(3):
            rel = "pack/patched%d.pak" % i
            old[rel] = rng.randbytes(rng.randint(1_000_000, 4_000_000))
            data = bytearray(old[rel])
            for _ in range(5):
                at = rng.randrange(len(data) - 10_000)
                data[at:at + 10_000] = rng.randbytes(10_000)
            new[rel] = bytes(data)
        # Version 1 is the player's folder as it stands.
        releases = os.path.join(self.base, "releases")
        for version, files in (("1", old), ("2", new)):
            self.release = os.path.join(releases, version)
            self.make_release(files)
        for rel, data in old.items():
            path = os.path.join(self.game, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        new_hash = tree(self.release)
        old_hash = tree(self.game, skip={"Client"})
        made = subprocess.run([RELEASE_TOOL, "delta", os.path.join(releases, "1"), self.release, "--level", "3",
                               "--min-size", "1000000"], capture_output=True, text=True, timeout=scaled(120))
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertIn("3 patches", made.stdout)
        total = sum(len(d) for d in new.values())

        ftpd = self.start_ftpd("--throttle", str(total // 40))  # about 40 s of transfer in all
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port, releases=releases)
        self.write_store(PORT=patchd.port, ClientVersion=1)

        # The patch server's order: by folder, then by path.
        order = sorted(new_hash, key=lambda rel: (os.path.dirname(rel).encode(), rel.encode()))
        kills = 0
        compared = 0
        for round_ in range(KILLS + COMMIT_KILLS):
            proc = self.start_updater("127.0.0.1")
            if round_ < KILLS:
                time.sleep(rng.uniform(0.4, 3.5))
            else:
                # The moment the server has sent a whole file: the updater is
                # checking its digest, syncing it or renaming it into place.
                done = completed_transfers(ftpd)
                wait_until(lambda: completed_transfers(ftpd) > done, 30, step=0.002)
            if proc.poll() is not None:
                self.fail("the updater ended by itself: %r" % self.statuses()[-3:])
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            kills += 1
            for rel, digest in tree(self.game, skip={"Client"}).items():
                if rel in new_hash:
                    self.assertIn(digest, (new_hash[rel], old_hash.get(rel)), "%s is cut or mixed" % rel)
                    compared += os.path.getsize(os.path.join(self.game, rel))
                else:
                    # Only an unfinished download's temporary file (or patch)
                    # may stand beside them.
                    self.assertTrue(os.path.basename(rel).endswith(("part", "zpatch")), rel)
            # Several files arrive at once; the mark names one no later than
            # the first that is not new yet, so a resume skips nothing.
            store = self.read_store()
            if store.get("DownFile"):
                marked = "/".join(p for p in (store["DownFolder"].strip("/"), store["DownFile"]) if p)
                now = tree(self.game, skip={"Client"})
                before = order[:order.index(marked)]
                self.assertEqual([rel for rel in before if now.get(rel) != new_hash[rel]], [], marked)

        proc = self.start_updater("127.0.0.1")
        self.wait_status("업데이트를 완료했습니다.", 120)
        self.assertEqual(tree(self.game, skip={"Client"}), new_hash)
        # The resume mark's writer clears it a moment after the status says so.
        self.assertTrue(wait_until(lambda: (self.read_store()["DownFolder"], self.read_store()["DownFile"],
                                            self.read_store()["ClientVersion"]) == ("", "", "2"), 5),
                        self.read_store())
        self.click(BUTTON_EXIT)
        self.assertEqual(self.wait_exit(proc), 0)
        with open(ftpd.commands, encoding="utf-8", errors="replace") as f:
            commands = f.read().splitlines()
        resumed = sum(1 for line in commands if line.startswith("REST "))
        patches = sum(1 for line in commands if line.startswith("RETR ") and line.endswith(".zpatch"))
        self.assertGreater(patches, 0)
        print("\ncrash safety: %d kills survived (%d as a file completed), %d files / %d bytes compared "
              "after kills, %d transfers continued with REST, %d patches fetched, %d bytes in the release"
              % (kills, COMMIT_KILLS, len(new_hash), compared, resumed, patches, total))

    def test_pieces_killed_twenty_times_then_complete(self):
        """A pack large enough to come in pieces over the four connections:
        after each kill the pack is old or new, and the next run asks the
        server for none of the bytes the record on disk names."""
        rng = random.Random(int(os.environ.get("ORVANTA_CRASH_SEED", "20261208")))
        new = {"pack/큰팩.pak": rng.randbytes(24 * 1024 * 1024), "readme.txt": b"Orvanta Online 2\n"}
        old = {"pack/큰팩.pak": rng.randbytes(1_000_000)}
        self.make_release(new)
        for rel, data in old.items():
            os.makedirs(os.path.dirname(os.path.join(self.game, rel)), exist_ok=True)
            with open(os.path.join(self.game, rel), "wb") as f:
                f.write(data)
        new_hash = tree(self.release)
        old_hash = tree(self.game, skip={"Client"})
        # Four connections of 250 kB/s: about 25 s for the pack in all,
        # more than twenty runs killed in their first seconds fetch.
        ftpd = self.start_ftpd("--rate-per-connection", "250000")
        patchd = self.start_patchd(2, "127.0.0.1:%d" % ftpd.port)
        self.write_store(PORT=patchd.port)
        pack_dir = os.path.join(self.game, "pack")

        def record():
            names = [n for n in os.listdir(pack_dir) if n.endswith(".ranges")]
            if not names:
                return []
            with open(os.path.join(pack_dir, names[0])) as f:
                lines = f.read().splitlines()
            return [tuple(map(int, line.split())) for line in lines[3:]]

        def since(offset):
            with open(ftpd.commands, encoding="utf-8", errors="replace") as f:
                f.seek(offset)
                return f.read().splitlines()

        def ranges_sent(offset):
            # The server tells a transfer's range once it sees its end.
            wait_until(lambda: sum(line.startswith("RETR ") for line in since(offset)) ==
                       sum(line.startswith("RANGE ") for line in since(offset)), 10)
            return [tuple(map(int, line.split()[1:3])) for line in since(offset)
                    if line.startswith("RANGE ") and line.endswith(".pak")]

        kept, twice, pieces = [], 0, 0
        for round_ in range(PIECE_KILLS + 1):
            offset = os.path.getsize(ftpd.commands) if os.path.exists(ftpd.commands) else 0
            proc = self.start_updater("127.0.0.1")
            if round_ == PIECE_KILLS:
                self.wait_status("업데이트를 완료했습니다.", 120)
            else:
                time.sleep(rng.uniform(1.0, 3.0))
                if proc.poll() is not None:
                    self.fail("the updater ended by itself: %r" % self.statuses()[-3:])
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            sent = ranges_sent(offset)
            pieces += len(sent)
            # What the server sent past a piece's end before the abort
            # reached it is bounded by its pace; anything more is a range
            # fetched again.
            for start, end in sent:
                for have_from, have_to in kept:
                    overlap = min(end, have_to) - max(start, have_from)
                    self.assertFalse(have_from <= start < have_to, "piece from %d refetched %r" % (start, kept))
                    self.assertLess(overlap, 256 * 1024, (start, end, kept))
                    twice += max(0, overlap)
            for rel, digest in tree(self.game, skip={"Client"}).items():
                if rel in new_hash:
                    self.assertIn(digest, (new_hash[rel], old_hash.get(rel)), "%s is cut or mixed" % rel)
                else:
                    self.assertTrue(os.path.basename(rel).endswith(("part", "ranges")), rel)
            kept = record()
        self.assertEqual(tree(self.game, skip={"Client"}), new_hash)
        self.assertEqual(os.listdir(pack_dir), ["큰팩.pak"])
        print("\ncrash safety in pieces: %d kills survived, %d pieces asked for, %d bytes sent past a "
              "piece's end into kept ranges" % (PIECE_KILLS, pieces, twice))


if __name__ == "__main__":
    unittest.main()
