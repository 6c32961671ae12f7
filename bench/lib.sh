# Shared by the FTP benchmarks (sourced): the test FTP server, the lists
# the updater's driver reads, the mixed release, and the medians. The
# caller sets $root (the source tree) and $work (a scratch folder).

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
