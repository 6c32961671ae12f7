#!/usr/bin/python3
"""A local web server for the tests: one folder on a loopback port.

Prints "PORT <n>" on stdout once it listens. HTTP/1.1 with keep-alive,
HEAD, and single byte ranges ("bytes=a-" and "bytes=a-b"), as a content
network serves a release. --cut-after makes the whole server die in the
middle of a file, as a web server stopped mid-run does; every request is
logged ("GET /path bytes=a-").
"""

import argparse
import os
import re
import sys
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import owner


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True, help="folder served as /")
    p.add_argument("--log", help="append every request here")
    p.add_argument("--cut-after", type=int, default=-1,
                   help="the server exits after sending N bytes of a body whose path contains --match")
    p.add_argument("--match", default="")
    p.add_argument("--control", help="folder to report the port in and take orders from (owner.py)")
    return p.parse_args()


ARGS = parse_args()
LOG = open(ARGS.log, "a", encoding="utf-8", buffering=1) if ARGS.log else None
CHUNK = 16384


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _file(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        full = os.path.realpath(os.path.join(ARGS.root, path.lstrip("/")))
        root = os.path.realpath(ARGS.root)
        if not full.startswith(root + os.sep) or not os.path.isfile(full):
            return path, None
        return path, full

    def _answer(self, body):
        range_header = self.headers.get("Range", "")
        if LOG:
            LOG.write("%s %s %s\n" % (self.command, urllib.parse.unquote(self.path), range_header))
        path, full = self._file()
        if full is None:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        size = os.path.getsize(full)
        start, end = 0, size - 1
        # One range, never past the file's end: all the updater asks.
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", range_header)
        if match:
            start = int(match.group(1))
            if match.group(2):
                end = min(int(match.group(2)), size - 1)
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        if not body:
            return
        cut = ARGS.cut_after if ARGS.cut_after >= 0 and ARGS.match in path else -1
        sent = 0
        with open(full, "rb") as f:
            f.seek(start)
            left = end - start + 1
            while left > 0:
                block = f.read(min(CHUNK, left))
                if not block:
                    break
                if cut >= 0 and sent + len(block) >= cut:
                    self.wfile.write(block[:cut - sent])
                    self.wfile.flush()
                    os._exit(0)
                self.wfile.write(block)
                sent += len(block)
                left -= len(block)

    def do_GET(self):
        self._answer(True)

    def do_HEAD(self):
        self._answer(False)


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    owner.announce(server.server_address[1], ARGS.control)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
