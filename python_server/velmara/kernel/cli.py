"""velmara-run: a user's script (or a console) inside a kernel, optionally with an add-in of its own.

    velmara-run [SCRIPT] [--addin-sim] [--port N] [--token-file PATH] ...

`main` does four things in turn: `parse` the command line, `start` the
kernel (and the far end), `run` the script or the console, and `report`
the traffic. A script that does not compile is reported before anything
starts; Ctrl-C ends the run with status 130 and stops the far end.

The script runs in this process, so `from com_like import Context` in it
talks to whatever add-in connects to the kernel. The add-in's connect URL,
token included, is printed for the user (never logged). With --addin-sim
the JavaScript add-in runs over the Office.js double in Node, started with
the token in its environment (see farend.py).
"""

from __future__ import annotations

import argparse
import errno
import importlib
import logging
import runpy
import shlex
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field
from typing import Any

from . import handshake
from .endpoint import Kernel
from .farend import (
    TOKEN_VARIABLE,
    FarEnd,
    FarEndExited,
    node_executable,
    node_host,
    start_far_end,
    wait_for_far_end,
)

# How often the waiting message repeats while no add-in has connected.
REMIND_EVERY_S = 10.0


class UsageError(Exception):
    """A start that cannot go on; its text is the one line the user sees."""


@dataclass
class Session:
    """What `start` set up and `report` reads."""

    options: argparse.Namespace
    kernel: Kernel
    far_end: FarEnd | None = None
    began: float = field(default_factory=time.monotonic)


def _progress(text: str) -> None:
    print(f"[kernel] {text}", flush=True)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="velmara-run", description="Run a script against the Excel add-in")
    parser.add_argument("script", nargs="?", default=None,
                        help="the Python script to run (none: an interactive console)")
    parser.add_argument("--addin-sim", action="store_true",
                        help="start the JavaScript add-in over the Office.js double in Node as a child process")
    # The name of earlier versions, which had two far ends; both now start the one.
    parser.add_argument("--addin", choices=("sim", "js"), default=None, help=argparse.SUPPRESS)
    parser.add_argument("--display-language", default=None, metavar="TAG",
                        help="with --addin-sim: Office's display language (default en-US)")
    parser.add_argument("--port", type=int, default=0, help="loopback port to serve (default: a free one)")
    token = parser.add_mutually_exclusive_group()
    token.add_argument("--token-file", metavar="PATH", default=None,
                       help="read the token the add-in must present from PATH (readable by its owner only)")
    token.add_argument("--token", default=None,
                       help="the token itself (other local users can read it in the process list: "
                            "prefer --token-file; default: a fresh random one)")
    parser.add_argument("--connect-timeout", type=float, default=30.0, metavar="SECONDS",
                        help="how long to wait for the add-in (default 30)")
    pane = parser.add_argument_group("task pane (the add-in as a page served by this kernel)")
    pane.add_argument("--taskpane", action="store_true", help="serve the task pane page on the kernel's port")
    pane.add_argument("--https", action="store_true",
                      help="serve https/wss with the local certificate (what Excel needs; implies --taskpane)")
    pane.add_argument("--tls-dir", default=None, help="where the local certificate lives (default ~/.velmara/tls)")
    pane.add_argument("--office-double", action="store_true",
                      help="serve the Office.js double as office.js: the page runs in a plain browser")
    pane.add_argument("--write-manifest", metavar="FILE", default=None,
                      help="write a manifest for sideloading, with this kernel's address and token (implies --https)")
    return parser


def read_token_file(path: str) -> str:
    """The token in `path`, refused when the file is open to group or others."""
    try:
        return handshake.read_token_file(path)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def exit_status(exc: SystemExit) -> int:
    """The process status a SystemExit stands for, as the interpreter reads it."""
    if exc.code is None:
        return 0
    return exc.code if isinstance(exc.code, int) else 1


def _compiles(path: str) -> int | None:
    """None when the script can run; else the exit status, the error printed."""
    try:
        with open(path, "rb") as file:
            compile(file.read(), path, "exec")
    except OSError as exc:
        print(f"velmara-run: cannot read {path}: {exc.strerror}", file=sys.stderr)
        return 2
    except (SyntaxError, ValueError) as exc:  # ValueError: a NUL byte
        traceback.print_exception(exc, limit=0)
        return 1
    return None


def parse(argv: list[str] | None = None) -> argparse.Namespace:
    """The command line, checked; exits with usage (status 2) when it is wrong."""
    parser = _parser()
    options = parser.parse_args(argv)
    options.far_end = options.addin_sim or options.addin is not None
    if options.display_language is not None and not options.far_end:
        parser.error("--display-language is for the add-in that --addin-sim starts")
    if options.write_manifest:
        options.https = True
    if options.token is not None:
        print("velmara-run: warning: --token shows the token to every local user (ps); use --token-file",
              file=sys.stderr)
    return options


def _new_kernel(options: argparse.Namespace) -> Kernel:
    token = read_token_file(options.token_file) if options.token_file else options.token
    taskpane, tls = None, None
    if options.taskpane or options.https or options.office_double:
        from .taskpane import TaskPane, default_addin_dir

        double = default_addin_dir() / "test" / "office-double" if options.office_double else None
        taskpane = TaskPane(office_double=double)
    if options.https:
        from .certificate import server_context

        tls = server_context(options.tls_dir)
    try:
        return Kernel(port=options.port, token=token, track_latency=True,
                      taskpane=taskpane, ssl_context=tls).start()
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    except OSError as exc:
        if exc.errno == errno.EADDRINUSE:
            raise UsageError(f"port {options.port} is in use (another kernel?): stop that one, or choose "
                             "another port with --port (--port 0 picks a free one)") from None
        raise UsageError(f"cannot serve port {options.port}: {exc.strerror or exc}") from None


def _what_to_start(kernel: Kernel) -> list[str]:
    node = shlex.join([node_executable(), str(node_host()), "--url", kernel.address])
    # The token goes in the environment, where only its owner can read it.
    command = f"{TOKEN_VARIABLE}={shlex.quote(kernel.token)} {node}"
    return [
        "start an add-in and give it the connect URL above:",
        "  Excel: the Velmara add-in's task pane",
        f"  the add-in in Node: {command}",
        "  or run this command again with --addin-sim",
    ]


def _wait_for_addin(session: Session) -> None:
    """Wait for the add-in; without one of our own, keep saying what to start."""
    kernel, timeout = session.kernel, session.options.connect_timeout
    if session.far_end is not None:
        wait_for_far_end(kernel, session.far_end, timeout)
        return
    for line in _what_to_start(kernel):
        _progress(line)
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        try:
            wait_for_far_end(kernel, None, max(0.0, min(left, REMIND_EVERY_S)))
            return
        except TimeoutError:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no add-in connected within {timeout:g} s; start one as shown above, "
                                   "or wait longer with --connect-timeout") from None
            _progress(f"still waiting for the add-in ({left:.0f} s left): {kernel.url}")


def start(options: argparse.Namespace) -> Session:
    """The kernel (and the far end, when asked for), connected; raises UsageError, FarEndExited, TimeoutError."""
    kernel = _new_kernel(options)
    session = Session(options, kernel)
    try:
        if kernel.taskpane is not None:
            # The token rides in the fragment: browsers never send it to a server.
            _progress(f"task pane: {kernel.taskpane_url}")
        if options.write_manifest:
            kernel.taskpane.write_manifest(options.write_manifest, kernel.token)  # type: ignore[union-attr]
            _progress(f"manifest with this kernel's address and token written to {options.write_manifest}")
        _progress(f"listening on {kernel.address}")
        # The one place the token is shown: the user hands it to the add-in.
        _progress(f"add-in connect URL: {kernel.url}")
        if options.far_end:
            extra = ["--display-language", options.display_language] if options.display_language else []
            session.far_end = start_far_end(kernel, extra_args=extra, echo=sys.stderr)
            _progress(f"started the JavaScript add-in in Node (pid {session.far_end.process.pid})")
        _progress("waiting for the add-in to connect ...")
        waited = time.monotonic()
        _wait_for_addin(session)
        _progress(f"add-in connected after {time.monotonic() - waited:.2f} s")
    except BaseException:
        stop(session)
        raise
    return session


def run(session: Session) -> int:
    """The script (or, without one, the console) in this process; its exit status."""
    script = session.options.script
    session.began = time.monotonic()
    if script is None:
        # Imported on first use: a script run never pays for the console (nor IPython).
        console = importlib.import_module(".console", __package__)
        status: int = console.run_console(session.kernel)
        return status
    _progress(f"running {script}")
    print(flush=True)
    try:
        runpy.run_path(script, run_name="__main__")
    except SystemExit as exc:
        return exit_status(exc)
    except KeyboardInterrupt:
        raise
    except BaseException:  # noqa: BLE001 - whatever the script raised is reported as its failure
        traceback.print_exc()
        return 1
    return 0


def stop(session: Session) -> dict[str, Any]:
    """Close the kernel and stop the far end; the kernel's counters."""
    stats = session.kernel.stats()
    session.kernel.close()
    if session.far_end is not None:
        session.far_end.stop()
    return stats


def report(stats: dict[str, Any], elapsed: float) -> None:
    """The traffic summary that follows the script's own output."""
    print()
    print("-" * 60)
    # DELs are not among the requests: the kernel answers them itself.
    _progress(f"{stats.get('requests', 0)} requests, "
              f"{stats.get('dels', 0)} DELs (acknowledged locally, no round trip), "
              f"{stats.get('callbacks', 0)} callbacks, {stats['connections']} connections in {elapsed:.2f} s")
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


def main(argv: list[str] | None = None) -> int:
    options = parse(argv)
    # A script that cannot run is reported before anything is started.
    if options.script is not None and (failed := _compiles(options.script)) is not None:
        return failed
    logging.basicConfig(level=logging.WARNING, format="[kernel] %(levelname)s %(message)s")
    try:
        session = start(options)
    except UsageError as exc:
        print(f"velmara-run: {exc}", file=sys.stderr)
        return 2
    except (FarEndExited, TimeoutError) as exc:
        print(f"[kernel] {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        traceback.print_exc()
        return 130
    try:
        status = run(session)
    except KeyboardInterrupt:
        traceback.print_exc()
        status = 130
    finally:
        elapsed = time.monotonic() - session.began
        stats = stop(session)
    report(stats, elapsed)
    return status
