#!/usr/bin/env bash
# Transfer benchmark: one local FTP server, two workloads, each fetched once
# through the updater's own path (CFtpSession + the sequencer in an offscreen
# window) and once by the curl command line in one invocation, same mode.
#
#   bench/ftp_bench.sh [build-dir]          (default build/ci)
#
# Sizes and mode can be overridden for a quick run:
#   BIG_MB=1024 SMALL_COUNT=2000 SMALL_KB=8 MODE=passive|active ROUNDS=1 CASES=ab
#
# Prints each time, the ratio ours/curl, and for the big file the longest
# the window's event loop was held. Not a test: nothing here fails a build.
set -euo pipefail

BIG_MB=${BIG_MB:-1024}
SMALL_COUNT=${SMALL_COUNT:-2000}
SMALL_KB=${SMALL_KB:-8}
MODE=${MODE:-passive}
ROUNDS=${ROUNDS:-1}
CASES=${CASES:-abc}  # a: the big file, b: the small files, c: the check of files already in place
CURL_SMALL=${CURL_SMALL:-1}  # 0: no curl in (b) (the curl tool waits a second per file here)
OLD_BENCH=${OLD_BENCH:-}  # an orvanta-ftp-bench from before a change, run beside ours in (b)
DEST_ROOT=${DEST_ROOT:-}  # where the fetched copies go (default: beside the served files); /dev/shm shows the cost without a disk

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/ci}
bench=$build/bench/orvanta-ftp-bench
[ -x "$bench" ] || { echo "build first: cmake --build --preset ci (missing $bench)" >&2; exit 2; }
[ -x /usr/bin/python3 ] || { echo "needs /usr/bin/python3 with pyftpdlib" >&2; exit 2; }

work=$(mktemp -d)
# shellcheck source=bench/lib.sh
. "$root/bench/lib.sh"
cleanup() {
  stop_server
  [ -z "$DEST_ROOT" ] || rm -rf "$dest_root"
  rm -rf "$work"
}
trap cleanup EXIT

user=bench
password=bench
mkdir -p "$work/srv/big" "$work/srv/small" "$work/lists"

echo "== preparing: ${BIG_MB} MiB file, ${SMALL_COUNT} files of ${SMALL_KB} KiB, mode ${MODE}"
head -c $((BIG_MB * 1024 * 1024)) /dev/urandom > "$work/srv/big/big.bin"
/usr/bin/python3 - "$work/srv/small" "$SMALL_COUNT" "$SMALL_KB" <<'EOF'
import os, sys
folder, count, kib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(kib * 1024))
EOF

start_server "$user" "$password"
base="ftp://127.0.0.1:$port"

big_size=$(stat -c %s "$work/srv/big/big.bin")
printf 'big\tbig.bin\t%s\t%s\n' "$big_size" "$(sha256sum "$work/srv/big/big.bin" | cut -d' ' -f1)" > "$work/lists/big.tsv"
: > "$work/lists/small.tsv"
for f in "$work"/srv/small/*.bin; do
  printf 'small\t%s\t%s\t%s\n' "$(basename "$f")" "$(stat -c %s "$f")" "$(sha256sum "$f" | cut -d' ' -f1)" \
    >> "$work/lists/small.tsv"
done
cat "$work/lists/big.tsv" "$work/lists/small.tsv" > "$work/lists/all.tsv"
for f in big small all; do cut -f1-3 "$work/lists/$f.tsv" > "$work/lists/$f-plain.tsv"; done  # for an older driver

# curl's config: the same files, into the same places, in one invocation.
curl_config() {  # list dest
  while IFS=$'\t' read -r folder name _ _; do
    printf 'url = "%s/%s/%s"\noutput = "%s/%s/%s"\n' "$base" "$folder" "$name" "$2" "$folder" "$name"
  done < "$1"
}
if [ "$MODE" = passive ]; then
  curl_mode=(--disable-epsv)
  passive=1
else
  curl_mode=(-P - --disable-eprt)
  passive=0
fi


# Every run gets a fresh folder. The small files' folders are removed only
# at the end: ext4 makes new files slowly right after thousands were
# deleted, which would charge one side for the other's cleanup.
run_number=0
dest_root=${DEST_ROOT:-$work}
[ -z "$DEST_ROOT" ] || dest_root=$(mktemp -d "$DEST_ROOT/orvanta-bench.XXXXXX")
fresh_dest() {
  run_number=$((run_number + 1))
  dest="$dest_root/dest-$run_number"
  rm -rf "$dest_root"/dest-*
  mkdir -p "$dest" && sync
}

run_ours() {  # case [binary] [digests] [prefilled] -> sets ours_ms, stall_ms
  local dest
  fresh_dest
  local out
  local args=(--digests "${3:-1}") list="$work/lists/$1.tsv"
  [ "${2:-$bench}" = "$bench" ] || { args=(); list="$work/lists/$1-plain.tsv"; }  # an older driver knows no digests
  if [ "${4:-0}" = 1 ]; then cp -a "$work/srv/." "$dest/"; sync; fi
  out=$("${2:-$bench}" --host "127.0.0.1:$port" --user "$user" --password "$password" \
        --list "$list" --dest "$dest" --passive "$passive" "${args[@]}")
  ours_ms=$(sed -n 's/.*ours_ms=\([0-9]*\).*/\1/p' <<< "$out")
  stall_ms=$(sed -n 's/.*stall_ms=\([0-9]*\).*/\1/p' <<< "$out")
  grep -q 'complete=1' <<< "$out" || { echo "ours did not complete: $out" >&2; exit 1; }
  verify "$1" "$dest"
}

run_curl() {  # case -> sets curl_ms
  local dest
  fresh_dest
  curl_config "$work/lists/$1.tsv" "$dest" > "$work/curl.cfg"
  local t0
  t0=$(now_ms)
  curl -s -S --create-dirs -u "$user:$password" "${curl_mode[@]}" --config "$work/curl.cfg"
  curl_ms=$(($(now_ms) - t0))
  # The same file made as durable as ours: its data synced to the disk.
  [ "$1" != big ] || { sync --data "$dest/big/big.bin"; curl_sync_ms=$(($(now_ms) - t0)); }
  verify "$1" "$dest"
}

verify() {  # case dest
  if [ "$1" = big ]; then
    cmp -s "$work/srv/big/big.bin" "$2/big/big.bin" || { echo "big file differs" >&2; exit 1; }
  elif [ "$1" = all ]; then
    diff -rq "$work/srv" "$2" > /dev/null || { echo "files differ" >&2; exit 1; }
  else
    diff -rq "$work/srv/small" "$2/small" > /dev/null || { echo "small files differ" >&2; exit 1; }
  fi
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
a_ours=(); a_curl=(); a_curl_sync=(); a_stall=(); b_ours=(); b_curl=(); b_plain=(); b_old=(); c_ours=()

cat "$work/srv/big/big.bin" "$work"/srv/small/*.bin > /dev/null  # the server reads from the cache every time
# One untimed fetch first: the first transfer after the files were made is
# slower for whichever side runs it.
curl_config "$work/lists/big.tsv" "$work/warm" > "$work/curl.cfg"
curl -s -S --create-dirs -u "$user:$password" "${curl_mode[@]}" --config "$work/curl.cfg"
rm -rf "$work/warm"
echo "== $(nproc) cores, curl $(curl --version | head -1 | cut -d' ' -f2), server pyftpdlib on 127.0.0.1:$port"
for round in $(seq "$ROUNDS"); do
  # Alternating who goes first evens out what one run leaves the next.
  if [[ $CASES == *a* ]]; then
    if ((round % 2)); then run_ours big; run_curl big; else run_curl big; run_ours big; fi
    a_ours+=("$ours_ms"); a_curl+=("$curl_ms"); a_curl_sync+=("$curl_sync_ms"); a_stall+=("$stall_ms")
    echo "round $round (a) 1 file of ${BIG_MB} MiB, digest checked and synced: ours ${ours_ms} ms, curl ${curl_ms} ms (${curl_sync_ms} ms with its data synced), ratio $(ratio "$ours_ms" "$curl_ms") ($(ratio "$ours_ms" "$curl_sync_ms") against the synced curl), longest event-loop stall ${stall_ms} ms"
  fi
  if [[ $CASES == *b* ]]; then
    curl_ms=0
    if [ "$CURL_SMALL" = 0 ]; then run_ours small
    elif ((round % 2)); then run_ours small; run_curl small; else run_curl small; run_ours small; fi
    b_ours+=("$ours_ms"); b_curl+=("$curl_ms")
    line="round $round (b) ${SMALL_COUNT} files of ${SMALL_KB} KiB: ours ${ours_ms} ms (digests), curl ${curl_ms} ms, ratio $(ratio "$ours_ms" "$curl_ms")"
    run_ours small "$bench" 0; b_plain+=("$ours_ms"); line+=", ours without digests ${ours_ms} ms"
    if [ -n "$OLD_BENCH" ]; then
      run_ours small "$OLD_BENCH"; b_old+=("$ours_ms"); line+=", before ${ours_ms} ms"
    fi
    echo "$line"
  fi
  if [[ $CASES == *c* ]]; then
    run_ours all "$bench" 1 1
    c_ours+=("$ours_ms")
    echo "round $round (c) every file already in place, checked by digest: ${ours_ms} ms for $(du -sm "$work/srv" | cut -f1) MiB"
  fi
done
if ((ROUNDS > 1)); then
  if ((${#a_ours[@]})); then
    mo=$(median "${a_ours[@]}"); mc=$(median "${a_curl[@]}")
    ms=$(median "${a_curl_sync[@]}")
    echo "median (a): ours ${mo} ms, curl ${mc} ms, ratio $(ratio "$mo" "$mc"); curl with sync ${ms} ms, ratio $(ratio "$mo" "$ms"); longest stall of all rounds $(printf '%s\n' "${a_stall[@]}" | sort -n | tail -1) ms"
  fi
  if ((${#b_ours[@]})); then
    mo=$(median "${b_ours[@]}"); mc=$(median "${b_curl[@]}")
    echo "median (b): ours ${mo} ms, curl ${mc} ms, ratio $(ratio "$mo" "$mc"); without digests $(median "${b_plain[@]}") ms"
    if ((${#b_old[@]})); then
      mb=$(median "${b_old[@]}")
      echo "median (b): before ${mb} ms, ours/before $(ratio "$mo" "$mb") (target <= 1.2)"
    fi
  fi
  if ((${#c_ours[@]})); then
    mo=$(median "${c_ours[@]}")
    bytes=$(du -sb "$work/srv" | cut -f1)
    echo "median (c): ${mo} ms, $(awk -v b="$bytes" -v ms="$mo" 'BEGIN { printf "%.2f", b / ms / 1e6 }') GB/s (target >= 1)"
  fi
fi
