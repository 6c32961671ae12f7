#!/usr/bin/python3
"""A local FTP server for the tests and the benchmark.

Serves one folder to one user on a loopback port it picks itself, and
prints "PORT <n>" on stdout once it listens. The knobs make it misbehave
the ways a real server or network does: slow, stalled, dropped, refusing,
or sending a file of the wrong size; --latency makes loopback a distant
link. Names travel in CP949 on the wire, as
the game's servers speak; on disk they are in the file system's encoding.
"""

import argparse
import logging
import os
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import ActiveDTP, FTPHandler, ThrottledDTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer

import owner


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True, help="folder served as /")
    p.add_argument("--user", default="updater")
    p.add_argument("--password", default="secret")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--encoding", default="cp949", help="encoding of names on the wire")
    p.add_argument("--log", help="append every command and connection here")
    p.add_argument("--throttle", type=int, default=0, help="bytes per second on data connections")
    p.add_argument("--rate-per-connection", type=int, default=0,
                   help="bytes per second on each data connection alone (a per-flow limit, as a long "
                        "path's or vsftpd's anon_max_rate)")
    p.add_argument("--stall-after", type=int, default=-1, help="stop sending after N bytes of a file")
    p.add_argument("--drop-after", type=int, default=-1, help="close the data connection after N bytes")
    p.add_argument("--refuse", type=int, default=0, help="refuse the first N control connections")
    p.add_argument("--short", type=int, default=0, help="send N bytes fewer than the file has")
    p.add_argument("--extra", type=int, default=0, help="send N bytes more than the file has")
    p.add_argument("--match", default="", help="the data knobs apply only to paths containing this")
    p.add_argument("--latency", type=float, default=0.0,
                   help="milliseconds of round trip: every reply and the start of every transfer wait this long")
    p.add_argument("--max-cons", type=int, default=0, help="refuse control connections past N at once")
    p.add_argument("--stock-active", action="store_true",
                   help="keep pyftpdlib's own active-mode connector, which can stop reading another "
                        "connection when several clients send PORT (see HandedOverActiveDTP)")
    p.add_argument("--active-only", action="store_true",
                   help="the data knobs apply only to active-mode (PORT) data connections")
    p.add_argument("--control", help="folder to report the port in and take orders from (owner.py)")
    return p.parse_args()


ARGS = parse_args()
LOG = open(ARGS.log, "a", encoding="utf-8", buffering=1) if ARGS.log else None
REFUSED = [0]


def log(line):
    if LOG:
        LOG.write(line + "\n")


class Latency:
    """Holds what a channel sends for a while, in order, on the server's
    scheduler: one connection's wait never holds another's."""

    def _send_later(self, fn, args, delay):
        held = self.__dict__.setdefault("_held", [])
        now = time.monotonic()
        due = now + delay
        if held:
            due = max(due, held[-1][0])
        elif due <= now:
            return fn(*args)
        held.append((due, fn, args))
        if len(held) == 1:
            self.ioloop.call_later(delay, self._release, _errback=self.handle_error)

    def _release(self):
        held = self._held
        while held and held[0][0] <= time.monotonic() + 0.0005:
            _, fn, args = held.pop(0)
            if getattr(self, "_closed", False):
                held.clear()
                return
            fn(*args)
        if held:
            self.ioloop.call_later(max(0.0, held[0][0] - time.monotonic()), self._release,
                                   _errback=self.handle_error)


DELAY = ARGS.latency / 1000.0


def knobs_apply(path):
    return ARGS.match in path


class HandedOverActiveDTP(ActiveDTP):
    """The connector of a PORT data connection, mended.

    pyftpdlib keeps the connector as the control channel's _dtp_connector
    after it has handed its socket to the data handler, and closes it at the
    next PORT. By then the transfer is over and its descriptor number may
    belong to another client's connection: the close unregisters that one
    from the poller, which then never reads it again (a client with four
    connections in active mode stalls within a few dozen files). Once the
    socket is handed over, the connector owns nothing, so closing it must
    touch nothing.
    """

    def handle_connect(self):
        super().handle_connect()
        handler = self.cmd_channel.data_channel
        if handler is None or self._closed:
            return
        handler.active = True
        if not ARGS.stock_active:
            self._fileno = None
            self.socket = None
            self._closed = True


class ResizedFile:
    """A file that reads N bytes short or N bytes long."""

    def __init__(self, fd, size):
        self._fd = fd
        self._left = size
        self._extra = ARGS.extra
        self.name = fd.name
        self.closed = False

    def read(self, n=-1):
        if n is None or n < 0:
            n = 1 << 30
        data = b""
        if self._left > 0:
            data = self._fd.read(min(n, self._left))
            self._left -= len(data)
        if not data and self._extra > 0:
            data = b"\x5a" * min(n, self._extra)
            self._extra -= len(data)
        return data

    def seek(self, *a):
        return self._fd.seek(*a)

    def tell(self):
        return self._fd.tell()

    def close(self):
        self.closed = True
        self._fd.close()


class KnobFS(AbstractedFS):
    def open(self, filename, mode):
        fd = super().open(filename, mode)
        if "r" in mode and knobs_apply(filename) and (ARGS.short or ARGS.extra):
            size = max(0, os.path.getsize(filename) - ARGS.short)
            return ResizedFile(fd, size)
        return fd


class LatencyDTP(Latency):
    """A data connection whose bytes start a round trip late. The reply that
    ends the transfer follows the delayed bytes and is not delayed again,
    as on a real link it arrives with the last of them."""

    _started = False

    def push(self, data):
        self._started = True
        self._send_later(super().push, (data,), DELAY)

    def push_with_producer(self, producer):
        self._started = True
        self._send_later(super().push_with_producer, (producer,), DELAY)

    def transfer_in_progress(self):
        # pyftpdlib counts a transfer as begun from its first byte out. Its
        # 125 is already on the way while the bytes are held: an ABOR then
        # must end the transfer with 426 and 226, not answer 225 as if none
        # ran, which leaves the client waiting for the transfer's own reply.
        return self._started or super().transfer_in_progress()

    def close_when_done(self):
        self._send_later(super().close_when_done, (), 0)

    def close(self):
        channel = self.cmd_channel
        channel._reply_now = True
        try:
            super().close()
        finally:
            channel._reply_now = False


class KnobDTPHandler(ThrottledDTPHandler):
    write_limit = ARGS.rate_per_connection or ARGS.throttle
    # --throttle paces the server, not each connection: a list of small
    # files is as slow as one big file of their size. --rate-per-connection
    # paces each data connection on its own.
    next_free = [0.0]

    def _throttle_bandwidth(self, len_chunk, max_speed):
        now = time.monotonic()
        pace = self.__dict__.setdefault("own_pace", [0.0]) if ARGS.rate_per_connection else KnobDTPHandler.next_free
        start = max(pace[0], now - 0.1)
        pace[0] = start + len_chunk / float(max_speed)
        delay = pace[0] - now
        if delay > 0.005:
            def unsleep():
                self.add_channel(events=self.ioloop.READ if self.receive else self.ioloop.WRITE)
            self.del_channel()
            self._cancel_throttler()
            self._throttler = self.ioloop.call_later(delay, unsleep, _errback=self.handle_error)

    def _knobbed(self):
        f = self.file_obj
        if ARGS.active_only and not getattr(self, "active", False):
            return False
        return f is not None and knobs_apply(getattr(f, "name", ""))

    def send(self, data):
        if self._knobbed():
            sent = self.tot_bytes_sent
            if ARGS.stall_after >= 0:
                room = ARGS.stall_after - sent
                if room <= 0:
                    # Leave the connection open and silent.
                    self.del_channel()
                    return 0
                data = data[:room]
            if ARGS.drop_after >= 0:
                room = ARGS.drop_after - sent
                if room <= 0:
                    log("DROP")
                    self.handle_close()
                    return 0
                data = data[:room]
        return super().send(data)


class KnobHandler(Latency, FTPHandler):
    abstracted_fs = KnobFS
    auth_failed_timeout = 0  # answer a wrong password at once
    _reply_now = False

    def push(self, s):
        self._send_later(super().push, (s,), 0 if self._reply_now else DELAY)

    def close_when_done(self):
        self._send_later(super().close_when_done, (), 0)

    def handle_max_cons_per_ip(self):
        log("REFUSED")
        super().handle_max_cons_per_ip()

    def decode(self, data):
        return data.decode(ARGS.encoding, self.unicode_errors)

    def handle(self):
        log("CONNECT")
        if REFUSED[0] < ARGS.refuse:
            REFUSED[0] += 1
            log("REFUSED")
            self.respond("421 Service not available, closing control connection.")
            self.close_when_done()
            return
        super().handle()

    def pre_process_command(self, line, cmd, arg):
        log(line)
        if cmd == "RETR":
            self._range_from = self._restart_position
        return super().pre_process_command(line, cmd, arg)

    def log_transfer(self, cmd, filename, receive, completed, elapsed, bytes):
        log("SENT %d %.3f %s" % (bytes, elapsed, "complete" if completed else "incomplete"))
        # Which bytes of the file went out: from the REST offset on.
        start = getattr(self, "_range_from", 0)
        log("RANGE %d %d %s" % (start, start + bytes, os.path.basename(filename)))
        super().log_transfer(cmd, filename, receive, completed, elapsed, bytes)


def main():
    config_logging(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(ARGS.user, ARGS.password, ARGS.root, perm="elr")
    KnobHandler.authorizer = authorizer
    KnobHandler.active_dtp = HandedOverActiveDTP
    slow = ARGS.throttle or ARGS.rate_per_connection or ARGS.stall_after >= 0 or ARGS.drop_after >= 0
    if slow:
        KnobHandler.dtp_handler = KnobDTPHandler
    if DELAY > 0:
        KnobHandler.dtp_handler = type("LatencyDTPHandler", (LatencyDTP, KnobHandler.dtp_handler), {})
    server = FTPServer((ARGS.host, 0), KnobHandler)
    server.max_cons_per_ip = ARGS.max_cons
    owner.announce(server.address[1], ARGS.control)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
