#!/usr/bin/python3
"""Load and abuse figures for orvanta-patchd, on loopback only.

Starts the server itself (so that it can watch its memory and CPU and hold
its log pipe), makes a release of --files files, and runs one scenario:

    burst    N sessions started at once
    steady   --rate sessions a second for --seconds
    idle     N idle connections from 127.0.0.2, then one normal session
             from 127.0.0.1 (its time is the figure)
    hog      clients that send frame 10 over and over and never read,
             for --seconds; the server's memory before and after
    logjam   the server's log pipe is never read; a burst must still pass
    stall    N clients that send frame 10 once and never read (use --files
             3000 for a 1.7 MB answer); the kernel's TCP memory while they
             are held and after the server's --send-timeout (--stall-timeout)

A session is the whole conversation without the FTP part: connect, frame
10 with an old version, frames 11, 13..., 14, then 16 and 18, then 19.

    bench/patchd_load.py --patchd build/ci/tools/orvanta-patchd burst 10000
    bench/patchd_load.py --nofile 1024 idle 1100
    bench/patchd_load.py --server-arg=--workers --server-arg=2 burst 10000
    bench/patchd_load.py --files 3000 stall 600
"""
import argparse
import errno
import os
import re
import resource
import selectors
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CLK = os.sysconf("SC_CLK_TCK")


def frame(ftype, value=0):
    return struct.pack("<iii", 12, ftype, value)


class Server:
    def __init__(self, binary, release, version, extra, nofile, read_log=True):
        args = [binary, "--port", "0", "--release", release, "--version", str(version),
                "--ftp-host", "127.0.0.1:2121", "--ftp-user", "anonymous", *extra]
        pre = ["prlimit", "--nofile=%d" % nofile, "--"] if nofile else []
        self.proc = subprocess.Popen(pre + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode()
        m = re.search(r"listening on .*:(\d+)", line)
        if not m:
            raise SystemExit("server did not start: %r" % line)
        self.port = int(m.group(1))
        self.lines = 0
        if read_log:
            threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for _ in self.proc.stdout:
            self.lines += 1

    def rss_mb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def cpu_s(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


class Session:
    __slots__ = ("sock", "start", "buf", "state", "done", "end", "error", "want_write")

    def __init__(self):
        self.buf = b""
        self.state = "connect"
        self.done = False
        self.error = None
        self.end = None


def run_sessions(port, count, client_version, server_version, timeout, rate=None, source=None):
    """Runs count sessions (all at once, or rate a second); returns (times, failures)."""
    sel = selectors.DefaultSelector()
    sessions = []
    started = 0
    t0 = time.monotonic()
    pending = 0
    times, failures = [], {}

    def fail(s, why):
        nonlocal pending
        s.error = why
        failures[why] = failures.get(why, 0) + 1
        finish(s)

    def finish(s):
        nonlocal pending
        s.done = True
        pending -= 1
        try:
            sel.unregister(s.sock)
        except (KeyError, ValueError):
            pass
        s.sock.close()

    def start_one():
        nonlocal pending
        s = Session()
        s.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.sock.setblocking(False)
        # Each session from an address of its own, as players come from the
        # internet, unless the scenario says otherwise.
        n = len(sessions)
        s.sock.bind((source or "127.1.%d.%d" % (n // 250 % 250, n % 250 + 1), 0))
        s.start = time.monotonic()
        pending += 1
        err = s.sock.connect_ex(("127.0.0.1", port))
        if err not in (0, errno.EINPROGRESS):
            fail(s, "connect: " + os.strerror(err))
        else:
            sel.register(s.sock, selectors.EVENT_WRITE, s)
        sessions.append(s)

    def on_write(s):
        err = s.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if err:
            return fail(s, "connect: " + os.strerror(err))
        s.sock.send(frame(10, client_version))
        s.state = "version"
        sel.modify(s.sock, selectors.EVENT_READ, s)

    def on_read(s):
        try:
            data = s.sock.recv(65536)
        except ConnectionError as e:
            return fail(s, type(e).__name__)
        if not data:
            return fail(s, "closed in state " + s.state)
        s.buf += data
        while len(s.buf) >= 8:
            length, ftype = struct.unpack_from("<ii", s.buf)
            if length < 8 or length > 1024:
                return fail(s, "bad frame")
            if len(s.buf) < length:
                break
            s.buf = s.buf[length:]
            if ftype == 11:
                s.state = "list"
                if client_version == server_version:
                    s.sock.send(frame(18))
                    s.state = "game"
            elif ftype == 14:
                s.sock.send(frame(16) + frame(18))
                s.state = "game"
            elif ftype == 19:
                times.append(time.monotonic() - s.start)
                return finish(s)

    while True:
        now = time.monotonic()
        if started < count:
            due = count if rate is None else min(count, int((now - t0) * rate) + 1)
            while started < due:
                start_one()
                started += 1
        if started >= count and pending == 0:
            break
        for key, mask in sel.select(0.01):
            s = key.data
            if s.done:
                continue
            if s.state == "connect":
                on_write(s)
            else:
                on_read(s)
        for s in sessions:
            if not s.done and now - s.start > timeout:
                fail(s, "timeout in state " + s.state)
        if rate is None or started >= count:
            sessions = [s for s in sessions if not s.done]
    return times, failures


def run_split(port, count, procs, *args, **kw):
    """run_sessions over procs processes started together (the client side
    of a burst needs more than one core of Python)."""
    if procs <= 1:
        return run_sessions(port, count, *args, **kw)
    import multiprocessing
    shares = [count // procs + (1 if i < count % procs else 0) for i in range(procs)]
    with multiprocessing.Pool(procs) as pool:
        results = pool.starmap(run_sessions, [(port, n, *args) for n in shares])
    times, failures = [], {}
    for t, f in results:
        times += t
        for k, v in f.items():
            failures[k] = failures.get(k, 0) + v
    return times, failures


def report(name, times, failures, wall, server, cpu0):
    n = len(times) + sum(failures.values())
    times.sort()

    def pct(p):
        return times[min(len(times) - 1, int(p * len(times)))] if times else float("nan")
    print("%s: %d sessions in %.2f s (%.0f/s); ok %d, failed %d %s" % (
        name, n, wall, n / wall if wall else 0, len(times), sum(failures.values()),
        dict(failures) if failures else ""))
    print("  session time: p50 %.3f s, p99 %.3f s, max %.3f s" % (pct(0.5), pct(0.99), times[-1] if times else 0))
    print("  server: RSS %.1f MB, CPU %.2f s, running: %s" % (server.rss_mb(), server.cpu_s() - cpu0, server.alive()))


def tcp_mem_mb():
    """The kernel's TCP memory, all sockets of the machine (pages of 4 KiB)."""
    with open("/proc/net/sockstat") as f:
        for line in f:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("mem") + 1]) * 4096 / 1e6
    return float("nan")


def server_queue_mb(port):
    """What the server's own sockets hold in the kernel (ss: queued for
    sending plus received), in MB."""
    out = subprocess.run(["ss", "-tmnH", "state", "all", "sport = :%d" % port],
                         capture_output=True, text=True).stdout
    total = 0
    for m in re.finditer(r"skmem:\(([^)]*)\)", out):
        for item in m.group(1).split(","):
            if item[:1] in ("r", "w") and item[1:].isdigit():
                total += int(item[1:])
    return total / 1e6


def tcp_state(sock):
    """The socket's TCP state (1 established, 7 closed, 8 close-wait)."""
    return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0]


def make_release(folder, files):
    for i in range(files):
        sub = os.path.join(folder, "data", str(i % 4))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "f%03d.bin" % i), "wb") as f:
            f.write(os.urandom(64))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--patchd", default=os.path.join(ROOT, "build", "ci", "tools", "orvanta-patchd"))
    ap.add_argument("--server-arg", action="append", default=[])
    ap.add_argument("--files", type=int, default=8)
    ap.add_argument("--nofile", type=int, default=0, help="the server's descriptor limit (prlimit)")
    ap.add_argument("--timeout", type=float, default=30)
    ap.add_argument("--rate", type=int, default=2000)
    ap.add_argument("--seconds", type=float, default=5)
    ap.add_argument("--procs", type=int, default=1, help="client processes for a burst")
    ap.add_argument("--stall-timeout", type=float, default=5, help="stall: the server's --send-timeout, s")
    ap.add_argument("scenario", choices=["burst", "steady", "idle", "hog", "logjam", "stall"])
    ap.add_argument("count", type=int, nargs="?", default=1000)
    args = ap.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    release = tempfile.mkdtemp(prefix="patchd-load-")
    make_release(release, args.files)
    extra = list(args.server_arg)
    if args.scenario == "stall":
        extra += ["--send-timeout", str(int(args.stall_timeout * 1000))]
    server = Server(args.patchd, release, 2, extra, args.nofile,
                    read_log=args.scenario != "logjam")
    time.sleep(0.3)
    cpu0 = server.cpu_s()
    try:
        if args.scenario in ("burst", "logjam"):
            t = time.monotonic()
            times, failures = run_split(server.port, args.count, args.procs, 1, 2, args.timeout)
            report(args.scenario, times, failures, time.monotonic() - t, server, cpu0)
        elif args.scenario == "steady":
            n = int(args.rate * args.seconds)
            t = time.monotonic()
            times, failures = run_sessions(server.port, n, 1, 2, args.timeout, rate=args.rate)
            report("steady %d/s" % args.rate, times, failures, time.monotonic() - t, server, cpu0)
        elif args.scenario == "idle":
            idle = []
            refused = 0
            stuck = 0
            for _ in range(args.count):
                s = socket.socket()
                s.bind(("127.0.0.2", 0))
                s.settimeout(2)
                try:
                    s.connect(("127.0.0.1", server.port))
                except OSError:
                    stuck += 1
                s.setblocking(False)
                idle.append(s)
            if stuck:
                print("idle: %d of the idle connections did not get through" % stuck)
            time.sleep(1.0)
            c0 = server.cpu_s()
            t = time.monotonic()
            times, failures = run_sessions(server.port, 1, 1, 2, 10, source="127.0.0.1")
            wall = time.monotonic() - t
            time.sleep(1.0)
            spin = server.cpu_s() - c0
            for s in idle:
                try:
                    if s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b"":
                        refused += 1
                except BlockingIOError:
                    pass
                except OSError:
                    refused += 1
            print("idle: %d idle connections from 127.0.0.2 (%d closed by the server)" % (args.count, refused))
            print("  a normal session beside them: %s in %.3f s; server CPU over the next %.1f s: %.2f s" % (
                "ok" if times else "FAILED %s" % failures, wall, time.monotonic() - t, spin))
            print("  server: RSS %.1f MB, running: %s" % (server.rss_mb(), server.alive()))
            for s in idle:
                s.close()
        elif args.scenario == "hog":
            rss0 = server.rss_mb()
            hogs = []
            for _ in range(max(1, args.count)):
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.connect(("127.0.0.1", server.port))
                s.setblocking(False)
                hogs.append(s)
            burst = frame(10, 1) * 1000
            sent = 0
            dropped = 0
            end = time.monotonic() + args.seconds
            while time.monotonic() < end and hogs:
                for s in list(hogs):
                    try:
                        sent += s.send(burst)
                    except BlockingIOError:
                        pass
                    except OSError:
                        dropped += 1
                        hogs.remove(s)
                        s.close()
            peak = server.rss_mb()
            print("hog: %d clients sent %.1f MB of frame 10 without reading for %.0f s; %d dropped by the server" % (
                args.count, sent / 1e6, args.seconds, dropped))
            print("  server RSS: %.1f MB before, %.1f MB after (+%.1f MB); running: %s" % (
                rss0, peak, peak - rss0, server.alive()))
            t = time.monotonic()
            times, failures = run_sessions(server.port, 1, 1, 2, 10)
            print("  a normal session afterwards: %s in %.3f s" % ("ok" if times else failures, time.monotonic() - t))
            for s in hogs:
                s.close()
        elif args.scenario == "stall":
            mem0 = tcp_mem_mb()
            stalled = []
            for i in range(args.count):
                s = socket.socket()
                s.bind(("127.1.%d.%d" % (i // 250 % 250, i % 250 + 1), 0))
                s.connect(("127.0.0.1", server.port))
                s.sendall(frame(10, 1))
                stalled.append(s)
            t = time.monotonic()
            time.sleep(min(2.0, args.stall_timeout / 2))
            held, held_server = tcp_mem_mb(), server_queue_mb(server.port)
            time.sleep(max(0.0, t + args.stall_timeout + 3 - time.monotonic()))
            after, after_server = tcp_mem_mb(), server_queue_mb(server.port)
            dropped = sum(1 for s in stalled if tcp_state(s) != 1)
            print("stall: %d clients sent frame 10 for a %d-file list and never read" % (args.count, args.files))
            print("  kernel TCP memory: %.1f MB before; %.1f MB while held (the server's sockets %.1f MB)" % (
                mem0, held, held_server))
            print("  %.0f s later (--send-timeout %.0f s): %.1f MB (the server's sockets %.1f MB); %d of %d dropped" % (
                time.monotonic() - t, args.stall_timeout, after, after_server, dropped, args.count))
            print("  server: RSS %.1f MB, running: %s" % (server.rss_mb(), server.alive()))
            for s in stalled:
                s.close()
    finally:
        server.stop()
        subprocess.run(["rm", "-rf", release])


if __name__ == "__main__":
    main()
