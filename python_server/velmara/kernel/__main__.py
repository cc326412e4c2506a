"""Run a user script inside a kernel, optionally with the simulated add-in.

    python -m velmara_master.python_server.velmara.kernel SCRIPT [--addin-sim | --addin sim|js] [--port N] [--token T]

The script runs in this process, so `from com_like import Context` in it
talks to whatever add-in connects to the kernel. The add-in's connect URL,
token included, is printed for the user (never logged). A summary of the
traffic follows the script's own output.
"""

from __future__ import annotations

import argparse
import logging
import runpy
import shutil
import subprocess
import sys
import threading
import time

from .endpoint import Kernel

SIM_MODULE = "velmara_master.python_server.velmara.addin_sim"


def _progress(text: str) -> None:
    print(f"[kernel] {text}", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="kernel", description="Run a script against the Excel add-in")
    parser.add_argument("script", help="the Python script to run")
    parser.add_argument("--addin-sim", action="store_true", help="start the simulated add-in as a child process")
    parser.add_argument("--addin", choices=("sim", "js"), default=None,
                        help="start an add-in as a child process: the simulated one (sim, as --addin-sim) "
                             "or the JavaScript add-in over the Office.js double in Node 20+ (js)")
    parser.add_argument("--node-host", default="addin/node-host.mjs",
                        help="the JavaScript add-in's Node far end (for --addin js)")
    parser.add_argument("--port", type=int, default=0, help="loopback port to serve (default: a free one)")
    parser.add_argument("--token", default=None,
                        help="the token the add-in must present (default: a fresh random one)")
    parser.add_argument("--connect-timeout", type=float, default=30.0)
    pane = parser.add_argument_group("task pane (the add-in as a page served by this kernel)")
    pane.add_argument("--taskpane", action="store_true", help="serve the task pane page on the kernel's port")
    pane.add_argument("--https", action="store_true",
                      help="serve https/wss with the local certificate (what Excel needs; implies --taskpane)")
    pane.add_argument("--tls-dir", default=None, help="where the local certificate lives (default ~/.velmara/tls)")
    pane.add_argument("--office-double", action="store_true",
                      help="serve the Office.js double as office.js: the page runs in a plain browser")
    pane.add_argument("--write-manifest", metavar="FILE", default=None,
                      help="write a manifest for sideloading, with this kernel's address and token (implies --https)")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.WARNING, format="[kernel] %(levelname)s %(message)s")

    taskpane, tls = None, None
    if args.write_manifest:
        args.https = True
    if args.taskpane or args.https or args.office_double:
        from .taskpane import TaskPane, default_addin_dir

        double = default_addin_dir() / "test" / "office-double" if args.office_double else None
        taskpane = TaskPane(office_double=double)
    if args.https:
        from .certificate import server_context

        tls = server_context(args.tls_dir)
    try:
        kernel = Kernel(port=args.port, token=args.token, track_latency=True,
                        taskpane=taskpane, ssl_context=tls).start()
    except ValueError as exc:
        parser.error(str(exc))
    if kernel.taskpane is not None:
        # The token rides in the fragment: browsers never send it to a server.
        _progress(f"task pane: {kernel.taskpane_url}")
    if args.write_manifest:
        kernel.taskpane.write_manifest(args.write_manifest, kernel.token)
        _progress(f"manifest with this kernel's address and token written to {args.write_manifest}")
    _progress(f"listening on {kernel.address}")
    # The one place the token is shown: the user hands it to the add-in.
    _progress(f"add-in connect URL: {kernel.url}")
    addin = None
    far_end = [sys.executable, "-m", SIM_MODULE] if args.addin_sim or args.addin == "sim" else None
    if args.addin == "js":
        node = shutil.which("node")
        if node is None:
            kernel.close()
            parser.error("--addin js needs Node.js 20 or later on PATH (see scripts/node-check)")
        far_end = [node, "--experimental-websocket", args.node_host]
    if far_end is not None:
        addin = subprocess.Popen([*far_end, "--url", kernel.address, "--token", kernel.token, "--reconnect"])
    _progress("waiting for the add-in to connect ...")
    started = time.monotonic()
    try:
        kernel.wait_connected(args.connect_timeout)
    except TimeoutError as exc:
        print(f"[kernel] {exc}", file=sys.stderr)
        kernel.close()
        if addin is not None:
            addin.terminate()
        return 2
    _progress(f"add-in connected after {time.monotonic() - started:.2f} s; running {args.script}")
    print(flush=True)

    status = 0
    began = time.monotonic()
    try:
        runpy.run_path(args.script, run_name="__main__")
    except SystemExit as exc:
        status = exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 1)
    except BaseException:
        import traceback

        traceback.print_exc()
        status = 1
    elapsed = time.monotonic() - began

    stats = kernel.stats()
    kernel.close()
    if addin is not None:
        addin.terminate()
        addin.wait(5)
    print()
    print("-" * 60)
    summary = (f"{stats.get('requests', 0)} requests ({stats.get('dels', 0)} DELs acknowledged locally), "
               f"{stats.get('callbacks', 0)} callbacks, {stats['connections']} connections in {elapsed:.2f} s")
    _progress(summary)
    if "median_round_trip_s" in stats:
        _progress(f"round trip: median {stats['median_round_trip_s'] * 1e3:.3f} ms, "
                  f"p99 {stats['p99_round_trip_s'] * 1e3:.3f} ms over {stats['round_trips']} requests")
    if stats["dropped"]:
        _progress(f"dropped frames: {stats['dropped']}")
    leftover = [t.name for t in threading.enumerate() if t is not threading.main_thread() and not t.daemon]
    if leftover:
        _progress(f"threads still running: {leftover}")
    return status


if __name__ == "__main__":
    sys.exit(main())
