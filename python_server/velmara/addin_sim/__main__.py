"""Command line: python -m velmara_master.python_server.velmara.addin_sim --url URL --token TOKEN"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import sys

from ..protocol import MAX_FRAME_CHARS as DEFAULT_MAX_FRAME_CHARS
from .client import DEFAULT_SETTINGS, Simulator, run


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="addin_sim", description="Simulated Excel add-in for the Velmara kernel")
    parser.add_argument("--url", required=True,
                        help="the kernel's WebSocket address, e.g. ws://127.0.0.1:8765 "
                             "(or its whole connect URL, token path included, without --token)")
    parser.add_argument("--token", default=None, help="the kernel's token (the connect URL's path)")
    parser.add_argument("--reconnect", action="store_true",
                        help="connect again whenever the kernel closes the connection")
    parser.add_argument("--retry-for", type=float, default=10.0,
                        help="seconds to keep trying to reach the kernel (default 10)")
    parser.add_argument("--setting", action="append", default=[], metavar="NAME=JSON",
                        help="add or replace a GetSetting entry; the value is JSON (or plain text)")
    parser.add_argument("--first-id", type=int, default=None, help="first object id to hand out")
    parser.add_argument("--max-frame-chars", type=int, default=DEFAULT_MAX_FRAME_CHARS,
                        help="the kernel's frame limit; larger answers are refused (default %(default)s)")
    parser.add_argument("--log-level", default="WARNING")
    args = parser.parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), stream=sys.stderr,
                        format="addin_sim %(levelname)s %(message)s")
    settings = dict(DEFAULT_SETTINGS)
    for item in args.setting:
        name, sep, text = item.partition("=")
        if not sep:
            parser.error(f"--setting expects NAME=VALUE, got {item!r}")
        try:
            settings[name] = json.loads(text)
        except ValueError:
            settings[name] = text
    sim = Simulator(settings, args.first_id, args.max_frame_chars)
    try:
        url = args.url.rstrip("/") + "/" + args.token if args.token else args.url
        asyncio.run(run(url, sim, reconnect=args.reconnect, retry_for=args.retry_for))
    except ConnectionError as exc:
        print(f"addin_sim: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
