"""Makes the demo's release folder and the game folder it updates.

The release holds a few folders, a Korean file name and a file of some
megabytes; the game folder holds the previous version of some of them.
"""
import argparse
import os
import random


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--release", required=True)
    ap.add_argument("--game", required=True)
    ap.add_argument("--big-mib", type=int, default=24)
    ap.add_argument("--self-update", default="", help="a new updater to put into the release as _Updater")
    args = ap.parse_args()

    rng = random.Random(20261207)
    files = {
        "readme.txt": "Orvanta Online 2.0\n새 지역과 이벤트가 추가되었습니다.\n".encode("utf-8"),
        "data/map/ashen_canyon.map": bytes(rng.getrandbits(8) for _ in range(300_000)),
        "data/map/harbor.map": bytes(rng.getrandbits(8) for _ in range(180_000)),
        "data/sound/겨울축제.ogg": bytes(rng.getrandbits(8) for _ in range(420_000)),
        "data/ui/font/nanum.cfg": b"face=NanumGothic\nsize=9\n",
        "data/ui/금화.png": bytes(rng.getrandbits(8) for _ in range(64_000)),
        "patch/empty.flag": b"",
        "pack/world.pak": rng.randbytes(args.big_mib * 1024 * 1024),
    }
    # A large pack that version 2 changes by 1 %, in 20 places: players at
    # version 1 fetch a patch for it instead of the whole pack.
    terrain_old = bytearray(rng.randbytes(50 * 1024 * 1024))
    terrain = bytearray(terrain_old)
    stretch = len(terrain) // 100 // 20
    for _ in range(20):
        at = rng.randrange(len(terrain) - stretch)
        terrain[at:at + stretch] = rng.randbytes(stretch)
    files["pack/terrain.pak"] = bytes(terrain)
    for rel, data in files.items():
        write(os.path.join(args.release, rel), data)
    if args.self_update:
        with open(args.self_update, "rb") as f:
            write(os.path.join(args.release, "_Updater"), f.read())

    # The installed version 1: older copies of two files, one untouched.
    write(os.path.join(args.game, "readme.txt"), "Orvanta Online 1.0\n".encode("utf-8"))
    write(os.path.join(args.game, "data/map/harbor.map"), b"old harbor")
    write(os.path.join(args.game, "pack/terrain.pak"), bytes(terrain_old))
    print(sum(len(d) for d in files.values()))


if __name__ == "__main__":
    main()
