#!/usr/bin/env bash
# Takes a PNG screenshot of the launcher window on a private X server.
#
#   scripts/screenshot.sh [output.png]      (default docs/screenshot.png)
#
# Environment:
#   UPDATER        the program to start (default build/ci/app/Updater)
#   SETTLE         seconds to wait after the window shows, so the notice page
#                  and the first status text are in (default 4)
#   TIMEOUT        seconds to wait for the window (default 30)
#   NOTICE=off     do not serve the sample notice page; the window then shows
#                  whatever ORVANTA_WEB_HOST (or the built-in host) answers
#
# Everything it starts (X server, notice server, updater) is stopped on the
# way out, whether it succeeded, failed or was interrupted. Nothing leaves
# this machine: the sample notice is served on 127.0.0.1 and the updater's
# own settings point at this machine.
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-docs/screenshot.png}"
updater="${UPDATER:-build/ci/app/Updater}"
settle="${SETTLE:-4}"
timeout="${TIMEOUT:-30}"
title="Orvanta 온라인"

for tool in Xvfb xdotool import python3; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (scripts/setup.sh --no-build installs it)" >&2; exit 1; }
done
[ -x "$updater" ] || { echo "screenshot: $updater is not built (cmake --preset ci && cmake --build --preset ci)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-shot.XXXXXX")
xvfb_pid="" notice_pid="" app_pid="" settle_pid=""

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  for pid in "$settle_pid" "$app_pid" "$notice_pid" "$xvfb_pid"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Our own X server on the first free display: it writes the number it took.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; echo "screenshot: Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/display" ] || { echo "screenshot: Xvfb gave no display" >&2; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"

# The updater runs with its own settings store and runtime folder, so the
# single-instance lock and the store of a real installation stay untouched.
mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
export QT_QPA_PLATFORM=xcb
unset ORVANTA_NOTICE
[ "$(id -u)" -ne 0 ] || export QTWEBENGINE_DISABLE_SANDBOX=1

if [ "${NOTICE:-on}" != off ]; then
  # A sample notice board, served for the picture only.
  cat >"$work/notice.html" <<'HTML'
<!DOCTYPE html>
<html lang="ko"><head><meta charset="utf-8"><title>공지사항</title>
<style>
  html, body { margin: 0; background: #f4ecda; color: #3b2812;
    font: 12px "NanumBarunGothic", "NanumGothic", sans-serif; overflow: hidden; }
  h1 { margin: 0; padding: 6px 10px 5px; font-size: 12px; color: #f3e3b8;
    background: linear-gradient(#3a2f4f, #1d1729); border-bottom: 1px solid #b8914c; }
  ul { list-style: none; margin: 0; padding: 2px 8px; }
  li { display: flex; justify-content: space-between; padding: 4px 2px;
    border-bottom: 1px dotted #cdb98f; white-space: nowrap; }
  li span:first-child { overflow: hidden; text-overflow: ellipsis; }
  .tag { color: #a0601c; font-weight: bold; margin-right: 4px; }
  .date { color: #8a7250; margin-left: 8px; }
</style></head>
<body>
<h1>◆ 공지사항</h1>
<ul>
  <li><span><span class="tag">[점검]</span>정기 점검 안내 (오전 6시~10시)</span><span class="date">05.14</span></li>
  <li><span><span class="tag">[이벤트]</span>달빛 성채 원정대 모집</span><span class="date">05.12</span></li>
  <li><span><span class="tag">[업데이트]</span>새 지역 ‘서리 고원’ 개방</span><span class="date">05.09</span></li>
  <li><span><span class="tag">[안내]</span>계정 보안 강화 안내</span><span class="date">05.02</span></li>
  <li><span><span class="tag">[이벤트]</span>출석 보상 2배 주간</span><span class="date">04.28</span></li>
</ul>
</body></html>
HTML
  python3 - "$work/notice.html" "$work/notice.port" >"$work/notice.log" 2>&1 <<'PY' &
import http.server, sys
page = open(sys.argv[1], "rb").read()
class Notice(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Notice)
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os
os.rename(sys.argv[2] + ".tmp", sys.argv[2])
server.serve_forever()
PY
  notice_pid=$!
  for _ in $(seq 50); do [ -s "$work/notice.port" ] && break; sleep 0.1; done
  [ -s "$work/notice.port" ] || { cat "$work/notice.log" >&2; echo "screenshot: notice server did not start" >&2; exit 1; }
  export ORVANTA_WEB_HOST="127.0.0.1:$(cat "$work/notice.port")"
fi

"$updater" >"$work/updater.log" 2>&1 &
app_pid=$!

window=""
for _ in $(seq $((timeout * 10))); do
  window=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1 || true)
  [ -n "$window" ] && break
  kill -0 "$app_pid" 2>/dev/null || { cat "$work/updater.log" >&2; echo "screenshot: the updater ended before showing its window" >&2; exit 1; }
  sleep 0.1
done
[ -n "$window" ] || { cat "$work/updater.log" >&2; echo "screenshot: no window titled \"$title\" within ${timeout}s" >&2; exit 1; }

# With no window manager nobody activates the window; give it the input
# focus as a desktop would, so the first button shows its highlight.
xdotool windowfocus --sync "$window" 2>/dev/null || true
sleep "$settle" &
settle_pid=$!
wait "$settle_pid"  # a signal ends the wait at once, and the trap cleans up
settle_pid=""
kill -0 "$app_pid" 2>/dev/null || { cat "$work/updater.log" >&2; echo "screenshot: the updater ended before the picture" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
import -window "$window" "png:$out.tmp"
mv -f "$out.tmp" "$out"
geometry=$(identify -format '%wx%h' "$out")
echo "screenshot: $out ($geometry, window $window on $DISPLAY)"
