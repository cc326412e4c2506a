"""A bare WebSocket echo server for benchmark floors: prints its port, echoes every message.

    python bench/ws_echo.py        # serves ws://127.0.0.1:PORT until stdin closes

The same library and settings as the kernel (websockets, no compression),
so a round trip to it is the transport's share of a request with no kernel,
bridge or add-in work at all.
"""

from __future__ import annotations

import asyncio
import sys

from websockets.asyncio.server import ServerConnection, serve


async def echo(ws: ServerConnection) -> None:
    async for message in ws:
        await ws.send(message)


async def main() -> None:
    async with serve(echo, "127.0.0.1", 0, compression=None, max_size=None) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, sys.stdin.read)  # until the parent goes


if __name__ == "__main__":
    asyncio.run(main())
