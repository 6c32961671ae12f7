#!/bin/sh
# The check of an up-to-date game folder through the whole road: a keyed
# orvanta-update (the tests' key) against orvanta-patchd and the FTP test
# server, version 1 to 2 of a release of GIB GiB in sparse files where only
# readme.txt changes, so the server lists one file and leaves the packs out.
# Run 1 reads every pack; run 2 (the store's version set back to 1) finds
# them in the digest cache. Prints how long each run took, end to end.
#
#   bench/check_bench.sh [BUILD_DIR] [GIB] [FILES]
set -eu
build=$(realpath "${1:-build/default}")
gib=${2:-10}
files=${3:-200}
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/orvanta-check-bench.XXXXXX)
trap 'kill $ftpd $patchd 2>/dev/null || true; rm -rf "$work"' EXIT

each=$((gib * 1024 * 1024 * 1024 / files))
layout() {  # folder: sparse packs, modified an hour ago
    mkdir -p "$1/data"
    i=0
    while [ $i -lt "$files" ]; do
        truncate -s "$each" "$1/data/pack$i.bin"
        i=$((i + 1))
    done
    touch -d '1 hour ago' "$1"/data/*
}
layout "$work/releases/1"
echo 1 > "$work/releases/1/readme.txt"
layout "$work/releases/2"
echo 2 > "$work/releases/2/readme.txt"
layout "$work/game"
echo 1 > "$work/game/readme.txt"
for v in 1 2; do
    "$build/tools/orvanta-release" sign "$src/tests/keys/test-only-release-key.pem" "$work/releases/$v" $v >/dev/null
done

/usr/bin/python3 "$src/tests/support/ftpd.py" --root "$work/releases/2" --user u --password p >"$work/ftpd.out" 2>&1 &
ftpd=$!
until grep -q '^PORT ' "$work/ftpd.out" 2>/dev/null; do sleep 0.1; done
ORVANTA_FTP_PASSWORD=p "$build/tools/orvanta-patchd" --port 0 --releases "$work/releases" --ftp-user u \
    --ftp-host "127.0.0.1:$(sed -n 's/^PORT //p' "$work/ftpd.out")" >"$work/patchd.out" 2>&1 &
patchd=$!
until grep -q '^ready' "$work/patchd.out" 2>/dev/null; do sleep 0.2; done
port=$(sed -n 's/.*listening on [^:]*:\([0-9]*\).*/\1/p' "$work/patchd.out" | head -1)

store="$work/config/Kelto Interactive, Inc."
mkdir -p "$store"
for run in 1 2; do
    printf '[General]\nClientVersion=1\n' > "$store/Orvanta Online.conf"
    start=$(date +%s.%N)
    rc=0
    XDG_CONFIG_HOME="$work/config" "$build/tests/orvanta-update-keyed" --host 127.0.0.1 --port "$port" \
        --folder "$work/game" --game-wait 5 >"$work/run$run.out" 2>&1 || rc=$?
    end=$(date +%s.%N)
    echo "run $run: $(echo "$end - $start" | bc) s ($gib GiB in $files packs left out by the server); exit $rc," \
        "last line: $(tail -n 1 "$work/run$run.out")"
done
