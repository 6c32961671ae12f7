#!/usr/bin/env python3
"""Loopback made to look like a distant link, in front of a real FTP server.

    bench/delay_proxy.py --rtt MS --listen 127.0.0.1 --to 127.0.0.2 PORT [PORT...]

Listens on each PORT of --listen and forwards every connection to the same
port of --to, each direction's bytes held for half the round trip, in
order. Run vsftpd on --to with pasv_address set to --listen: its control
port and its passive ports then all pass through here, so a command, its
reply and the first bytes of a transfer cost a round trip as on a real
link (this kernel has no netem). Prints "READY" once listening. A
benchmark tool, not a test.
"""

import argparse
import asyncio
import time


async def pump(reader, writer, delay):
    """Copies reader to writer, each chunk released delay seconds after it came."""
    queue = asyncio.Queue()

    async def release():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(release())
    try:
        while True:
            data = await reader.read(256 * 1024)
            if not data:
                break
            queue.put_nowait((time.monotonic() + delay, data))
    except OSError:
        pass
    queue.put_nowait((0, None))
    try:
        await sender
    except OSError:
        pass


async def serve(listen, target, port, delay):
    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(target, port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay), pump(server_reader, client_writer, delay),
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
