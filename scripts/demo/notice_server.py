"""Serves the demo's web site on loopback: the notice page is an .asp page,
which a plain file server would hand out as a download."""
import functools
import http.server
import sys

directory = sys.argv[1]
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=directory)
handler.func.extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map, **{".asp": "text/html; charset=utf-8"})
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print("port %d" % server.server_address[1], flush=True)
server.serve_forever()
