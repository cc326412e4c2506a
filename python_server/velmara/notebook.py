"""Drive Excel from IPython and Jupyter: an extension with one line magic.

    %load_ext velmara_master
    %velmara --addin-sim          # a kernel in this process, the far end started for it
    sheet = Context.workbook.worksheets.add("Prices")

`%velmara` starts a kernel in the notebook's own process and waits for the
add-in (without --addin-sim it prints the URL to give the add-in); then
`Context`, `Excel`, `GetSetting`, `read_frame`, `write_frame` and
`to_plain` are in the notebook's namespace. A second `%velmara` reports the
kernel already running (and waits again if the add-in went away);
`%velmara --stop` or `%unload_ext velmara_master` ends the kernel and the
far end. `%velmara --help` lists the options.

The notebook's cells run on the IPython kernel's main thread; a proxy
blocks that thread until the kernel's listener thread delivers the answer.
"""

from __future__ import annotations

import argparse
import atexit
import shlex
import time
from dataclasses import dataclass
from typing import Any

# IPython shows a UsageError as one line, without a traceback.
from IPython.core.error import UsageError

from .kernel import handshake
from .kernel.console import NAMES, console_namespace
from .kernel.endpoint import Kernel, current_kernel
from .kernel.farend import FarEnd, FarEndExited, start_far_end, wait_for_far_end

# The add-in in Excel takes a person minutes to open; a far end we start, seconds.
WAIT_FOR_EXCEL_S = 600.0
WAIT_FOR_FAR_END_S = 120.0


@dataclass
class _Session:
    kernel: Kernel
    far_end: FarEnd | None
    # False when the kernel was started by someone else (velmara-run's console):
    # that one is theirs to close.
    owned: bool

    def close(self) -> None:
        if self.owned:
            self.kernel.close()
        if self.far_end is not None:
            self.far_end.stop()


_session: _Session | None = None


def _say(text: str) -> None:
    print(f"[velmara] {text}", flush=True)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="%velmara", description="Start (or report) a kernel in this process that the Excel add-in connects to.")
    parser.add_argument("--addin-sim", action="store_true",
                        help="start the far end (the JavaScript add-in over the Office.js double, in Node)")
    parser.add_argument("--port", type=int, default=0, help="loopback port to serve (default: a free one)")
    parser.add_argument("--token-file", default=None, metavar="PATH",
                        help="read the kernel's token from PATH (readable by its owner only)")
    parser.add_argument("--connect-timeout", type=float, default=None, metavar="S",
                        help=f"seconds to wait for the add-in (default {WAIT_FOR_FAR_END_S:g} with --addin-sim, "
                             f"else {WAIT_FOR_EXCEL_S:g})")
    parser.add_argument("--stop", action="store_true", help="stop the kernel and the far end")
    return parser


def read_token_file(path: str) -> str:
    """The token kept in `path`; refused when others than its owner may read it."""
    try:
        return handshake.read_token_file(path)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _push(ipython: Any) -> None:
    namespace = console_namespace()
    ipython.push({name: namespace[name] for name in NAMES})


def _wait(session: _Session, timeout: float) -> None:
    began = time.monotonic()
    try:
        wait_for_far_end(session.kernel, session.far_end, timeout)
    except FarEndExited as exc:
        stop()
        raise UsageError(f"{exc}; the kernel is stopped") from None
    except TimeoutError:
        raise UsageError(f"no add-in connected within {timeout:g} s; the kernel keeps listening: %velmara waits "
                         "again, %velmara --stop ends it") from None
    _say(f"add-in connected after {time.monotonic() - began:.2f} s; ready: {', '.join(NAMES)}")


def _report(session: _Session) -> str:
    kernel = session.kernel
    text = f"kernel at {kernel.address}, add-in {'connected' if kernel.connected else 'not connected'}"
    if session.far_end is not None:
        status = session.far_end.process.poll()
        text += f", far end pid {session.far_end.process.pid}" + ("" if status is None else f" (exited {status})")
    return text


def _start(args: argparse.Namespace) -> _Session:
    token = read_token_file(args.token_file) if args.token_file else None
    try:
        kernel = Kernel(port=args.port, token=token, track_latency=True).start()
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    except OSError as exc:
        raise UsageError(f"cannot serve port {args.port}: {exc.strerror}; another kernel may have it "
                         "(%velmara --port 0 picks a free one)") from None
    far_end = None
    if args.addin_sim:
        try:
            far_end = start_far_end(kernel)
        except BaseException:
            kernel.close()
            raise
    return _Session(kernel, far_end, owned=True)


def velmara(ipython: Any, line: str) -> None:
    """%velmara [--addin-sim] [--port N] [--token-file PATH] [--connect-timeout S] [--stop]"""
    global _session
    try:
        args = _parser().parse_args(shlex.split(line))
    except SystemExit as exc:  # argparse has printed the help or the error
        if exc.code:
            raise UsageError("see %velmara --help") from None
        return
    if args.stop:
        if _session is None:
            _say("no kernel to stop")
        elif not _session.owned:
            stop()
            _say("detached from the kernel; it stops with the console that started it")
        else:
            stop()
            _say("kernel stopped")
        return

    attached = current_kernel()
    if _session is None and attached is not None and attached.connected:
        # velmara-run's console, for one, has its kernel running already.
        _session = _Session(attached, None, owned=False)
    if _session is not None:
        _say(f"already running: {_report(_session)}")
        if args.addin_sim or args.port or args.token_file:
            _say("the options given do not apply to a running kernel: %velmara --stop first to start anew")
        if not _session.kernel.connected:
            _wait(_session, WAIT_FOR_EXCEL_S if args.connect_timeout is None else args.connect_timeout)
        _push(ipython)
        return

    _session = session = _start(args)
    kernel = session.kernel
    _say(f"kernel listening on {kernel.address}")
    if session.far_end is None:
        # The one place the token is shown: the user hands it to the add-in.
        _say(f"add-in connect URL: {kernel.url}")
        _say("give it to the Velmara add-in's task pane in Excel, or use %velmara --addin-sim")
        timeout = WAIT_FOR_EXCEL_S if args.connect_timeout is None else args.connect_timeout
    else:
        _say(f"started the far end (pid {session.far_end.process.pid})")
        timeout = WAIT_FOR_FAR_END_S if args.connect_timeout is None else args.connect_timeout
    _wait(session, timeout)
    _push(ipython)


def running_kernel() -> Kernel | None:
    """The kernel %velmara started or attached to (None when there is none)."""
    return None if _session is None else _session.kernel


def stop() -> None:
    """Close the kernel and the far end this extension started (if any)."""
    global _session
    session, _session = _session, None
    if session is not None:
        session.close()


def load_ipython_extension(ipython: Any) -> None:
    def magic(line: str) -> None:
        velmara(ipython, line)

    magic.__doc__ = _parser().format_help()
    ipython.register_magic_function(magic, "line", "velmara")
    atexit.register(stop)


def unload_ipython_extension(ipython: Any) -> None:
    stop()
    atexit.unregister(stop)
