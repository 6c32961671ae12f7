# Shared by the FTP benchmarks (sourced): the test FTP server, the HTTP
# link (nginx), the lists the updater's driver reads, the mixed release,
# and the medians. The caller sets $root (the source tree) and $work (a
# scratch folder).

server_pid=""

stop_server() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  server_pid=""
}

# Starts tests/support/ftpd.py on $work/srv with the given knobs; sets $port.
start_server() {  # user password [ftpd.py knobs...]
  local user=$1 password=$2
  shift 2
  stop_server
  : > "$work/server.out"
  /usr/bin/python3 "$root/tests/support/ftpd.py" --root "$work/srv" --user "$user" --password "$password" "$@" \
    > "$work/server.out" 2> "$work/server.err" &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q '^PORT ' "$work/server.out" 2>/dev/null && break
    sleep 0.1
  done
  port=$(awk '/^PORT /{print $2}' "$work/server.out")
  [ -n "$port" ] || { echo "the FTP server did not start" >&2; cat "$work/server.err" >&2; exit 1; }
}

# The driver's list: folder, name, size, sha256, one line per file.
list_of() {  # folder [names...]
  local folder=$1; shift
  for name in "$@"; do
    local f="$work/srv/$folder/$name"
    printf '%s\t%s\t%s\t%s\n' "$folder" "$name" "$(stat -c %s "$f")" "$(sha256sum "$f" | cut -d' ' -f1)"
  done
}

# A release as patches come: packs spread through many small files, in
# $work/srv/mixed; their order (the list's) in $work/srv/mixed.order.
make_mixed() {  # packs pack_mb small_count
  mkdir -p "$work/srv/mixed"
  /usr/bin/python3 - "$work/srv" "$1" "$2" "$3" <<'PY'
import os, random, sys
srv, packs, pack_mb, mixed_small = sys.argv[1], *map(int, sys.argv[2:])
rng = random.Random(13)
names = ["s%04d.dat" % i for i in range(mixed_small)]
for i in range(packs):
    names.insert(rng.randrange(len(names) + 1), "pack%d.pak" % i)
for name in names:
    size = pack_mb << 20 if name.endswith(".pak") else rng.randint(1, 64) * 1024
    with open(os.path.join(srv, "mixed", name), "wb") as f:
        f.write(os.urandom(size))
with open(os.path.join(srv, "mixed.order"), "w") as f:
    f.write("\n".join(names) + "\n")
PY
}

now_ms() { date +%s%3N; }

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)) }'; }

nginx_pid=""
http_proxy_pid=""

stop_nginx() {
  # TERM to the master, which takes its workers down; killed, it would
  # leave them serving the port.
  local pid
  for pid in $http_proxy_pid $nginx_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  nginx_pid="" http_proxy_pid=""
}

# The HTTP link: Debian's nginx, unprivileged and in the foreground, serving
# docroot on 127.0.0.2:port with each request paced to rate bytes a second
# on its own, and bench/delay_proxy.py on 127.0.0.1:port adding rtt ms.
# sendfile is off: with it nginx paces per sendfile call, and the first
# call puts a socket buffer's worth (about 1 MB on loopback) out at once,
# a free burst at the start of every range request a splitting tool makes.
start_nginx() {  # docroot port rate rtt
  local docroot=$1 port=$2 rate=$3 rtt=$4 base=$work/nginx user=""
  stop_nginx
  mkdir -p "$base/tmp"
  [ "$(id -u)" = 0 ] && user="user root;"  # else its workers, as nobody, could not enter $work
  cat > "$base/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $base/nginx.pid;
error_log $base/error.log warn;
$user
events { worker_connections 256; }
http {
    default_type application/octet-stream;
    access_log $base/access.log;
    client_body_temp_path $base/tmp/body;
    proxy_temp_path $base/tmp/proxy;
    fastcgi_temp_path $base/tmp/fastcgi;
    uwsgi_temp_path $base/tmp/uwsgi;
    scgi_temp_path $base/tmp/scgi;
    sendfile off;
    keepalive_requests 100000;
    server {
        listen 127.0.0.2:$port;
        root $docroot;
        limit_rate $rate;
    }
}
CONF
  /usr/sbin/nginx -p "$base" -c "$base/nginx.conf" -e "$base/error.log" > "$base/nginx.out" 2>&1 &
  nginx_pid=$!
  /usr/bin/python3 "$root/bench/delay_proxy.py" --rtt "$rtt" "$port" > "$base/proxy.out" 2>&1 &
  http_proxy_pid=$!
  for _ in $(seq 100); do
    grep -q READY "$base/proxy.out" && curl -s -o /dev/null "http://127.0.0.2:$port/" && break
    sleep 0.1
  done
  kill -0 "$nginx_pid" 2>/dev/null && grep -q READY "$base/proxy.out" ||
    { echo "nginx or its proxy did not start" >&2; cat "$base"/error.log "$base"/*.out >&2; exit 1; }
}
