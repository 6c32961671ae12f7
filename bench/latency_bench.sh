#!/usr/bin/env bash
# Latency benchmark: the updater's download path against lftp's mirror, on
# the same FTP server and files, over loopback made to look like a distant
# link (tests/support/ftpd.py --latency: every reply and the start of every
# transfer wait one round trip).
#
#   bench/latency_bench.sh [build-dir] [out-dir]   (default build/ci, bench-out)
#
# Workloads: (a) one big file, (b) many small files, (c) a mixed release (a
# few large packs and many small files). Tools: the updater with one and
# with four connections (orvanta-ftp-bench --connections), lftp mirror
# --parallel=1 and --parallel=4, all passive. Each round runs every tool
# once, in an order that rotates by round; the medians go to
# OUT/latency.tsv, OUT/latency.md (a table) and OUT/latency.png (a plot).
#
#   RTTS="0 30 100" ROUNDS=3 ROUNDS_SLOW=1 BIG_MB=512 SMALL_COUNT=1000 SMALL_KB=8
#   MIXED_PACKS=4 MIXED_PACK_MB=32 MIXED_SMALL=400 CASES=abc
#
# ROUNDS_SLOW applies at round trips of 100 ms and more, where one
# connection needs minutes for (b). Not a test: nothing here fails a build.
set -euo pipefail

RTTS=${RTTS:-0 30 100}
ROUNDS=${ROUNDS:-3}
ROUNDS_SLOW=${ROUNDS_SLOW:-1}
BIG_MB=${BIG_MB:-512}
SMALL_COUNT=${SMALL_COUNT:-1000}
SMALL_KB=${SMALL_KB:-8}
MIXED_PACKS=${MIXED_PACKS:-4}
MIXED_PACK_MB=${MIXED_PACK_MB:-32}
MIXED_SMALL=${MIXED_SMALL:-400}
CASES=${CASES:-abc}
TOOLS=(ours1 ours4 lftp1 lftp4)

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/ci}
out=${2:-$root/bench-out}
bench=$build/bench/orvanta-ftp-bench
[ -x "$bench" ] || { echo "build first: cmake --build --preset ci --target orvanta-ftp-bench" >&2; exit 2; }
command -v lftp > /dev/null || { echo "needs lftp (scripts/setup.sh installs it)" >&2; exit 2; }
mkdir -p "$out"

work=$(mktemp -d)
# shellcheck source=bench/lib.sh
. "$root/bench/lib.sh"
cleanup() { stop_server; rm -rf "$work"; }
trap cleanup EXIT

user=bench
password=bench
echo "== preparing: (a) ${BIG_MB} MiB, (b) ${SMALL_COUNT} x ${SMALL_KB} KiB, (c) ${MIXED_PACKS} x ${MIXED_PACK_MB} MiB + ${MIXED_SMALL} small"
mkdir -p "$work/srv/big" "$work/srv/small" "$work/srv/mixed" "$work/lists"
head -c $((BIG_MB * 1024 * 1024)) /dev/urandom > "$work/srv/big/big.bin"
/usr/bin/python3 - "$work/srv/small" "$SMALL_COUNT" "$SMALL_KB" <<'EOF'
import os, sys
folder, count, kib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(kib * 1024))
EOF
make_mixed "$MIXED_PACKS" "$MIXED_PACK_MB" "$MIXED_SMALL"
list_of big big.bin > "$work/lists/big.tsv"
(cd "$work/srv/small" && list_of small *.bin) > "$work/lists/small.tsv"
mapfile -t mixed_names < "$work/srv/mixed.order"
rm "$work/srv/mixed.order"
list_of mixed "${mixed_names[@]}" > "$work/lists/mixed.tsv"
cat "$work"/srv/big/big.bin "$work"/srv/small/* "$work"/srv/mixed/* > /dev/null  # served from the cache

run_number=0
fresh_dest() {
  run_number=$((run_number + 1))
  dest="$work/dest-$run_number"
  rm -rf "$work"/dest-*/big "$work"/dest-*/mixed  # the large files go at once; see ftp_bench.sh for the small
  mkdir -p "$dest"
}

verify() {  # folder dest
  diff -rq "$work/srv/$1" "$2/$1" > /dev/null || { echo "$1 differs after a run" >&2; exit 1; }
}

stall_ms=0
run_tool() {  # tool folder -> ms
  local tool=$1 folder=$2 t0 result
  fresh_dest
  case $tool in
    ours*)
      result=$("$bench" --host "127.0.0.1:$port" --user "$user" --password "$password" --passive 1 --digests 1 \
               --connections "${tool#ours}" --list "$work/lists/$folder.tsv" --dest "$dest")
      grep -q 'complete=1' <<< "$result" || { echo "$tool did not complete: $result" >&2; exit 1; }
      ms=$(sed -n 's/.*ours_ms=\([0-9]*\).*/\1/p' <<< "$result")
      stall_ms=$(sed -n 's/.*stall_ms=\([0-9]*\).*/\1/p' <<< "$result")
      ;;
    lftp*)
      t0=$(now_ms)
      lftp -u "$user,$password" -p "$port" -e "set ftp:passive-mode on; set ftp:prefer-epsv no; \
set net:max-retries 1; set cmd:fail-exit yes; mirror --parallel=${tool#lftp} $folder $dest/$folder; quit" 127.0.0.1
      ms=$(($(now_ms) - t0))
      ;;
  esac
  verify "$folder" "$dest"
}

declare -A label=([a]="(a) ${BIG_MB} MiB" [b]="(b) ${SMALL_COUNT} x ${SMALL_KB} KiB" [c]="(c) mixed")
declare -A folder_of=([a]=big [b]=small [c]=mixed)
tsv="$out/latency.tsv"
printf 'case\trtt_ms\ttool\trounds\tmedian_ms\tall_ms\tlongest_stall_ms\n' > "$tsv"
echo "== $(nproc) cores, $(lftp --version | head -1), pyftpdlib server on loopback"
for rtt in $RTTS; do
  start_server "$user" "$password" --latency "$rtt"
  rounds=$ROUNDS
  ((rtt >= 100)) && rounds=$ROUNDS_SLOW
  for c in $(grep -o . <<< "$CASES"); do
    declare -A times=() stalls=()
    for round in $(seq "$rounds"); do
      # Who goes first rotates by round.
      for k in 0 1 2 3; do
        tool=${TOOLS[$(((k + round - 1) % 4))]}
        run_tool "$tool" "${folder_of[$c]}"
        times[$tool]+="$ms "
        [[ $tool == ours* ]] && stalls[$tool]+="$stall_ms "
        echo "rtt ${rtt} ms ${label[$c]} round $round: $tool ${ms} ms"
      done
    done
    for tool in "${TOOLS[@]}"; do
      read -ra all <<< "${times[$tool]}"
      longest=-
      [ -n "${stalls[$tool]:-}" ] && longest=$(printf '%s\n' ${stalls[$tool]} | sort -n | tail -1)
      printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$c" "$rtt" "$tool" "$rounds" "$(median "${all[@]}")" \
        "$(tr ' ' ',' <<< "${times[$tool]% }")" "$longest" >> "$tsv"
    done
    unset times stalls
  done
done
stop_server

/usr/bin/python3 "$root/bench/latency_report.py" "$tsv" "$out" "$BIG_MB" "$SMALL_COUNT" "$SMALL_KB" "$MIXED_PACKS" "$MIXED_PACK_MB" "$MIXED_SMALL"
