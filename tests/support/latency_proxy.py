#!/usr/bin/env python3
"""A TCP relay that delays each direction by a set time, to measure and test over a slow link
on a machine whose kernel has no netem.

Every chunk read from one side is written to the other side `delay` milliseconds after it was
read, in order; chunks keep flowing while earlier ones wait, so the link has latency but no
bandwidth limit (a round trip costs twice the delay). A close is relayed after the same delay.

    latency_proxy.py --listen 127.0.0.1:1995 --to 127.0.0.1:995 --delay-ms 10

Prints "LISTENING <port>" once it accepts connections (port 0 picks a free one).
"""
import argparse
import asyncio
import sys
import time


async def pump(reader, writer, delay):
    """Reads from reader and writes each chunk delay seconds after it arrived."""
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    if writer.can_write_eof():
                        writer.write_eof()
                except (OSError, RuntimeError):
                    pass
                return
            try:
                writer.write(data)
                await writer.drain()
            except (OSError, RuntimeError):
                return

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            try:
                data = await reader.read(65536)
            except OSError:
                data = b""
            queue.put_nowait((time.monotonic() + delay, data or None))
            if not data:
                break
    finally:
        await sender


async def relay(client_reader, client_writer, target, delay):
    host, port = target
    try:
        server_reader, server_writer = await asyncio.open_connection(host, port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pump(client_reader, server_writer, delay),
                         pump(server_reader, client_writer, delay))
    for w in (client_writer, server_writer):
        try:
            w.close()
        except OSError:
            pass


def address(text):
    host, _, port = text.rpartition(":")
    return host or "127.0.0.1", int(port)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True, help="host:port (port 0: any free one)")
    parser.add_argument("--to", required=True, help="host:port of the server")
    parser.add_argument("--delay-ms", type=float, default=10.0, help="delay of each direction")
    args = parser.parse_args()
    delay = args.delay_ms / 1000.0
    target = address(args.to)
    host, port = address(args.listen)
    server = await asyncio.start_server(lambda r, w: relay(r, w, target, delay), host, port)
    print("LISTENING %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
