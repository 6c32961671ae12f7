#!/usr/bin/env python3
"""Loopback made to look like a distant link, in front of a real server.

    bench/delay_proxy.py --rtt MS --listen 127.0.0.1 --to 127.0.0.2 PORT [PORT...]

Listens on each PORT of --listen and forwards every connection to the same
port of --to, each direction's bytes held for half the round trip, in
order. A new connection costs a round trip more, as its handshake would:
the server's first bytes reach the client one round trip after the
connection was accepted, the client's reach the server one and a half.
What is held is bounded, so a fast server is held back as by a real
window instead of pouring a whole file into memory.

Run vsftpd on --to with pasv_address set to --listen, so its control port
and its passive ports all pass through here; or nginx, for HTTP. Prints
"READY" once listening. This kernel has no netem. A benchmark tool, not a
test.
"""

import argparse
import asyncio
import time

CHUNK = 64 * 1024
WINDOW = 256  # chunks held per direction: 16 MiB, far above CAP x RTT


async def pump(reader, writer, delay, not_before):
    """Copies reader to writer, each chunk released delay seconds after it
    came, and never before not_before."""
    queue = asyncio.Queue(WINDOW)

    async def release():
        broken = False  # the far side is gone: keep taking, so the reader never blocks
        while True:
            due, data = await queue.get()
            if data is None:
                break
            if broken:
                continue
            wait = max(due, not_before) - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            try:
                writer.write(data)
                await writer.drain()
            except OSError:
                broken = True
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(release())
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            await queue.put((time.monotonic() + delay, data))
    except OSError:
        pass
    await queue.put((0, None))
    await sender


async def serve(listen, target, port, delay):
    async def handle(client_reader, client_writer):
        accepted = time.monotonic()
        try:
            server_reader, server_writer = await asyncio.open_connection(target, port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay, accepted + 3 * delay),
                             pump(server_reader, client_writer, delay, accepted + 2 * delay),
                             return_exceptions=True)
        for w in (client_writer, server_writer):
            w.close()

    return await asyncio.start_server(handle, listen, port, reuse_address=True)


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rtt", type=float, required=True, help="round trip in milliseconds")
    ap.add_argument("--listen", default="127.0.0.1")
    ap.add_argument("--to", default="127.0.0.2")
    ap.add_argument("ports", type=int, nargs="+")
    args = ap.parse_args()
    delay = args.rtt / 2000.0
    servers = [await serve(args.listen, args.to, port, delay) for port in args.ports]
    print("READY", flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
