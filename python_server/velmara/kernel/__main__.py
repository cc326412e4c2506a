"""Run a user script inside a kernel, optionally with the simulated add-in.

    velmara-run SCRIPT [--addin-sim | --addin sim|js] [--port N] [--token T]
    python -m velmara_master.python_server.velmara.kernel SCRIPT ...   (the same)

A script that does not compile is reported before anything starts; Ctrl-C
ends the run with status 130 and stops the simulated add-in.

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
import traceback

from .endpoint import Kernel

SIM_MODULE = "velmara_master.python_server.velmara.addin_sim"
# How often the waiting message repeats while no add-in has connected.
REMIND_EVERY_S = 10.0


def _progress(text: str) -> None:
    print(f"[kernel] {text}", flush=True)


def _compiles(path: str) -> int | None:
    """None when the script can run; else the exit status, the error printed."""
    try:
        with open(path, "rb") as file:
            compile(file.read(), path, "exec")
    except OSError as exc:
        print(f"kernel: cannot read {path}: {exc.strerror}", file=sys.stderr)
        return 2
    except (SyntaxError, ValueError) as exc:  # ValueError: a NUL byte
        traceback.print_exception(exc, limit=0)
        return 1
    return None


def _stop(addin: subprocess.Popen[bytes] | None) -> None:
    if addin is None or addin.poll() is not None:
        return
    addin.terminate()
    try:
        addin.wait(5)
    except (subprocess.TimeoutExpired, KeyboardInterrupt):
        addin.kill()
        addin.wait()


def _what_to_start(kernel: Kernel) -> list[str]:
    return [
        "start an add-in and give it the connect URL above:",
        "  Excel: the Velmara add-in's task pane",
        f"  simulated add-in: {sys.executable} -m {SIM_MODULE} --url {kernel.address} --token {kernel.token}",
        f"  JavaScript add-in in Node: node --experimental-websocket addin/node-host.mjs --url {kernel.address} "
        f"--token {kernel.token}",
        "  or run this command again with --addin-sim (or --addin js)",
    ]


def _wait_for_addin(kernel: Kernel, timeout: float, remind: bool) -> None:
    """Wait for the add-in; without one of our own, keep saying what to start."""
    deadline = time.monotonic() + timeout
    if remind:
        for line in _what_to_start(kernel):
            _progress(line)
    while True:
        left = deadline - time.monotonic()
        try:
            kernel.wait_connected(max(0.0, min(left, REMIND_EVERY_S)) if remind else left)
            return
        except TimeoutError:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no add-in connected within {timeout:g} s; start one as shown above, "
                                   "use --addin-sim, or wait longer with --connect-timeout") from None
            _progress(f"still waiting for the add-in ({left:.0f} s left): {kernel.url}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="velmara-run", description="Run a script against the Excel add-in")
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
    # A script that cannot run is reported before anything is started.
    failed = _compiles(args.script)
    if failed is not None:
        return failed
    logging.basicConfig(level=logging.WARNING, format="[kernel] %(levelname)s %(message)s")
    far_end = [sys.executable, "-m", SIM_MODULE] if args.addin_sim or args.addin == "sim" else None
    if args.addin == "js":
        node = shutil.which("node")
        if node is None:
            parser.error("--addin js needs Node.js 20 or later on PATH (see scripts/node-check)")
        far_end = [node, "--experimental-websocket", args.node_host]

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
        assert kernel.taskpane is not None  # --write-manifest turns HTTPS on, and so the task pane
        kernel.taskpane.write_manifest(args.write_manifest, kernel.token)
        _progress(f"manifest with this kernel's address and token written to {args.write_manifest}")
    addin = None
    status = 0
    began = time.monotonic()
    try:
        _progress(f"listening on {kernel.address}")
        # The one place the token is shown: the user hands it to the add-in.
        _progress(f"add-in connect URL: {kernel.url}")
        if far_end is not None:
            addin = subprocess.Popen([*far_end, "--url", kernel.address, "--token", kernel.token, "--reconnect"])
            which = "JavaScript" if args.addin == "js" else "simulated"
            _progress(f"started the {which} add-in (pid {addin.pid})")
        _progress("waiting for the add-in to connect ...")
        started = time.monotonic()
        try:
            _wait_for_addin(kernel, args.connect_timeout, remind=addin is None)
        except TimeoutError as exc:
            print(f"[kernel] {exc}", file=sys.stderr)
            return 2
        _progress(f"add-in connected after {time.monotonic() - started:.2f} s; running {args.script}")
        print(flush=True)

        began = time.monotonic()
        try:
            runpy.run_path(args.script, run_name="__main__")
        except SystemExit as exc:
            status = exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 1)
        except KeyboardInterrupt:
            raise
        except BaseException:  # noqa: BLE001 - whatever the script raised is reported as its failure
            traceback.print_exc()
            status = 1
    except KeyboardInterrupt:
        traceback.print_exc()
        status = 130
    finally:
        elapsed = time.monotonic() - began
        stats = kernel.stats()
        kernel.close()
        _stop(addin)
    print()
    print("-" * 60)
    # DELs are not among the requests: the kernel answers them itself.
    summary = (f"{stats.get('requests', 0)} requests, "
               f"{stats.get('dels', 0)} DELs (acknowledged locally, no round trip), "
               f"{stats.get('callbacks', 0)} callbacks, {stats['connections']} connections in {elapsed:.2f} s")
    _progress(summary)
    if "median_round_trip_s" in stats:
        _progress(f"round trip: median {stats['median_round_trip_s'] * 1e3:.3f} ms, "
                  f"p99 {stats['p99_round_trip_s'] * 1e3:.3f} ms over {stats['round_trips']} requests")
    if stats["dropped"]:
        _progress(f"dropped frames: {stats['dropped']}")
    if stats["refused"]:
        _progress(f"refused connections: {stats['refused']}")
    leftover = [t.name for t in threading.enumerate() if t is not threading.main_thread() and not t.daemon]
    if leftover:
        _progress(f"threads still running: {leftover}")
    return status


if __name__ == "__main__":
    sys.exit(main())
