#!/usr/bin/env bash
# The main job on one machine: makes a demo game folder and release, starts
# the reference patch server, an FTP server and a web server for the notice
# page (all on loopback), writes a demo settings store, and runs the updater
# with 127.0.0.1 on its command line.
#
# With a display you watch the update and press the game button yourself.
# Without one it runs under Xvfb, presses the game button itself, and leaves
# screenshots and a report in the output folder.
#
#   scripts/demo.sh [--out DIR] [--self-update] [--headless]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

out="$root/demo-out"
self_update=0
headless=0
[ -n "${DISPLAY:-}" ] || headless=1
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --self-update) self_update=1; shift ;;
    --headless) headless=1; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; exit 2 ;;
  esac
done

# Its own build, which trusts the tests' release key: the demo signs its
# release with it, and the updater checks every byte against the signature.
PRESET=demo bash scripts/setup.sh
build="$root/build/demo"
updater="$build/app/Updater"
patchd="$build/tools/orvanta-patchd"
py=/usr/bin/python3

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Reads "PORT n" or "listening on host:n" from a server's first lines.
wait_port() {
  local file=$1 pattern=$2 i
  for i in $(seq 1 100); do
    if grep -qE "$pattern" "$file" 2>/dev/null; then
      grep -oE "$pattern" "$file" | head -n1 | grep -oE '[0-9]+$'
      return 0
    fi
    sleep 0.1
  done
  echo "demo: a server did not start; see $file" >&2
  return 1
}

rm -rf "$out"
mkdir -p "$out"/{release,releases,game,config,runtime,web/updater_notice,shots}
game="$out/game"
log="$out/logs"; mkdir -p "$log"

echo "== making the demo release and game folder in $out"
extra=()
[ "$self_update" = 1 ] && extra=(--self-update "$updater")
$py scripts/demo/make_release.py --release "$out/release" --game "$game" "${extra[@]}" >/dev/null
# The release history: version 2 is the new release, version 1 what the game
# folder holds (the older files above and an older world.pak, the rest as
# in 2). The patch server compares them and lists only what differs.
cp -a "$out/release" "$out/releases/2"
cp -a "$out/release" "$out/releases/1"
rm -f "$out/releases/1/_Updater"
cp -a "$game/." "$out/releases/1/"
head -c $((1024 * 1024)) "$out/release/pack/world.pak" >"$out/releases/1/pack/world.pak"
cp -a "$out/releases/1/." "$game/"
# Patches from version 1's files to version 2's, beside the new files, both
# where the patch server looks (releases/2) and on the FTP server (release).
echo "== making patches from version 1 to 2 (zstd level 19)"
"$build/tools/orvanta-release" delta "$out/releases/1" "$out/releases/2" | tee "$log/delta.txt" | sed 's/^/   /'
(cd "$out/releases/2" && find . -name '*.zpatch' -exec cp --parents {} "$out/release/" \;)
"$build/tools/orvanta-release" sign tests/keys/test-only-release-key.pem "$out/release" 2 >/dev/null
release_files() { find "$out/release" -type f -not -name .orvanta-release.sig -not -name '*.zpatch' "$@"; }
total_bytes=$(release_files -printf "%s\n" | awk '{ s += $1 } END { print s }')
cp scripts/demo/Client "$game/Client"
cp scripts/demo/list.asp "$out/web/updater_notice/list.asp"
cp "$updater" "$game/Updater"

echo "== starting the servers (loopback only)"
throttle=$((6 * 1024 * 1024))
$py tests/support/ftpd.py --root "$out/release" --user orvanta --password demo \
  --throttle "$throttle" --log "$log/ftp-commands.log" >"$log/ftpd.out" 2>&1 &
pids+=($!)
ftp_port=$(wait_port "$log/ftpd.out" 'PORT [0-9]+')

$py -u scripts/demo/notice_server.py "$out/web" >"$log/web.out" 2>&1 &
pids+=($!)
web_port=$(wait_port "$log/web.out" 'port [0-9]+')

ORVANTA_FTP_PASSWORD=demo "$patchd" --verbose --port 0 --releases "$out/releases" \
  --ftp-host "127.0.0.1:$ftp_port" --ftp-user orvanta \
  --game-host 127.0.0.1 --game-port 7777 >"$log/patchd.log" 2>&1 &
pids+=($!)
patch_port=$(wait_port "$log/patchd.log" 'listening on [0-9.]+:[0-9]+')
echo "   patch server 127.0.0.1:$patch_port, FTP 127.0.0.1:$ftp_port, web 127.0.0.1:$web_port"

# The demo's own store: the player's real one is never touched.
store="$out/config/Kelto Interactive, Inc./Orvanta Online.conf"
mkdir -p "$(dirname "$store")"
cat >"$store" <<STORE
[General]
ClientPath=$game/
IP=localhost
PORT=$patch_port
ClientVersion=1
Graphic=1
EAX=1
DownFolder=
DownFile=
Whisper=1
Community=1
AutoHelp=1
STORE

export XDG_CONFIG_HOME="$out/config"
export XDG_RUNTIME_DIR="$out/runtime"
chmod 700 "$XDG_RUNTIME_DIR"
export ORVANTA_WEB_HOST="127.0.0.1:$web_port"
export ORVANTA_STATUS_LOG="$log/status.log"
[ "$(id -u)" -ne 0 ] || export QTWEBENGINE_DISABLE_SANDBOX=1
# Xvfb has no GPU: the notice page is composited in software.
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:---disable-gpu}"

if [ "$headless" = 0 ]; then
  echo "== starting the updater on $DISPLAY: watch it, then press the game button"
  (cd "$game" && "$updater" 127.0.0.1)
  [ -f "$game/client-started.txt" ] && cat "$game/client-started.txt"
  exit 0
fi

echo "== no display: running under Xvfb"
export ORVANTA_DEMO_HEADLESS=1
exec 5> >(cat >"$log/xvfb-display")
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >"$log/xvfb.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [ -s "$log/xvfb-display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$log/xvfb-display")"
export QT_QPA_PLATFORM=xcb

started=$(date +%s.%N)
(cd "$game" && exec "$updater" 127.0.0.1) >"$log/updater.out" 2>&1 &
upid=$!
pids+=($upid)

win=""
for _ in $(seq 1 100); do
  win=$(xdotool search --name 'Orvanta 온라인' 2>/dev/null | head -n1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "demo: the updater window did not appear" >&2; exit 1; }
sleep 0.4
import -window "$win" "$out/shots/1-connecting.png"

status_has() { grep -qF "$1" "$log/status.log" 2>/dev/null; }
for _ in $(seq 1 300); do status_has '파일을 업데이트 중입니다' && break; sleep 0.1; done
sleep 1.5
import -window "$win" "$out/shots/2-downloading.png"

for _ in $(seq 1 900); do
  status_has '업데이트를 완료했습니다.' && break
  status_has '오류' && break
  status_has '실패' && break
  kill -0 "$upid" 2>/dev/null || break
  sleep 0.1
done
finished=$(date +%s.%N)
# The game server's address follows the completion (frame 19).
for _ in $(seq 1 50); do grep -q -- '-> 19' "$log/patchd.log" && break; sleep 0.1; done
sleep 0.5
import -window "$win" "$out/shots/3-done.png"

echo "== pressing the game button"
geometry=$(xdotool getwindowgeometry "$win")
pos=$(echo "$geometry" | sed -n 's/.*Position: \([0-9]*\),\([0-9]*\).*/\1 \2/p')
read -r wx wy <<<"$pos"
xdotool mousemove $((wx + 302 + 70)) $((wy + 158 + 20)) sleep 0.3 click 1
if [ "$self_update" = 1 ]; then
  sleep 1; xdotool key Return || true
fi
for _ in $(seq 1 50); do kill -0 "$upid" 2>/dev/null || break; sleep 0.1; done
exit_code=0
if kill -0 "$upid" 2>/dev/null; then exit_code="still running"; else wait "$upid" || exit_code=$?; fi

fetched=$(grep 'RETR ' "$log/ftp-commands.log" 2>/dev/null | grep -vc 'orvanta-release.sig' || true)
files=$(release_files | wc -l)
# Bytes sent for the release's files, and what the same run would have
# fetched without patches (each patch's file whole).
read -r with_deltas without_deltas patch_line < <($py - "$log/ftp-commands.log" "$out/release" <<'PY'
import os, re, sys
log, release = sys.argv[1], sys.argv[2]
# Transfers interleave in the log (several connections): the sum of what
# was sent, less the signature, and each patch set against its file.
sent = without = 0
patches = []
for line in open(log, encoding="utf-8", errors="replace"):
    if line.startswith("SENT "):
        sent += int(line.split()[1])
    elif line.startswith("RETR "):
        path = line[5:].rstrip("\n").lstrip("/")
        m = re.match(r"(.*)\.[0-9a-f]{32}\.[0-9a-f]{32}\.zpatch$", path)
        if path == ".orvanta-release.sig":
            sent -= os.path.getsize(os.path.join(release, path))
        elif m:
            n, size = os.path.getsize(os.path.join(release, path)), os.path.getsize(os.path.join(release, m.group(1)))
            without += size - n
            patches.append("%s:%d/%d=%.2f%%" % (m.group(1), n, size, 100.0 * n / size))
print(sent, sent + without, ",".join(patches) or "none")
PY
)
identical=yes
while IFS= read -r -d '' f; do
  rel=${f#"$out/release/"}
  local_rel=$rel
  # A new updater has taken the running one's place by now.
  [ "$rel" = _Updater ] && local_rel=Updater
  cmp -s "$f" "$game/$local_rel" || { identical="no ($rel differs)"; break; }
done < <(release_files -print0)
swapped=no
if [ "$self_update" = 1 ] && cmp -s "$out/release/_Updater" "$game/Updater" && [ -f "$game/_tmp" ] && [ ! -e "$game/_Updater" ]; then
  swapped=yes
fi
seconds=$($py -c "print(round($finished-$started,2))")

{
  echo "Orvanta updater demo report"
  echo "  release files:          $files ($total_bytes bytes)"
  echo "  files fetched over FTP: $fetched (only those that differ from version 1)"
  echo "  bytes fetched:          $with_deltas with patches, $without_deltas without"
  echo "  patches fetched:        ${patch_line//,/ } (file:patch bytes/file bytes)"
  echo "  FTP connections:        $(grep -c '^USER' "$log/ftp-commands.log") logged in, data by $(grep -c '^PORT' "$log/ftp-commands.log") PORT (active) and $(grep -c '^PASV' "$log/ftp-commands.log") PASV (passive): a player's default store"
  echo "  start to completion:    ${seconds}s"
  echo "  game folder = release:  $identical"
  echo "  release signature:      $(grep -q 'RETR.*orvanta-release.sig' "$log/ftp-commands.log" && echo "fetched and verified (test key) before any file" || echo "not fetched")"
  echo "  status line, in order:"
  sed 's/^[^ ]* /    /' "$log/status.log"
  echo "  frames seen by the patch server:"
  grep -E '<-|->' "$log/patchd.log" | sed 's/^/    /'
  echo "  updater exit status:    $exit_code"
  if [ "$self_update" = 1 ]; then
    echo "  updater swapped in:     $swapped (the previous one kept as _tmp; the player is asked to start it again)"
  fi
  if [ -f "$game/client-started.txt" ]; then
    echo "  game client:"
    sed 's/^/    /' "$game/client-started.txt"
  else
    echo "  game client:            not started"
  fi
  echo "  screenshots:            $out/shots/"
} | tee "$out/report.txt"
[ "$identical" = yes ] || exit 1
if [ "$self_update" = 1 ]; then
  [ "$swapped" = yes ] && [ ! -f "$game/client-started.txt" ]
else
  [ -f "$game/client-started.txt" ]
fi
