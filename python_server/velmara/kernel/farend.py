"""The far end a kernel starts for itself: the JavaScript add-in in Node.

    far_end = start_far_end(kernel)
    wait_for_far_end(kernel, far_end, timeout=60)   # FarEndExited at once if it dies
    ...
    far_end.stop()

The token goes to the far end in the environment (VELMARA_TOKEN), never on
its command line.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import time
from collections.abc import Sequence
from typing import IO

from .endpoint import Kernel
from .taskpane import default_addin_dir

# How often a wait looks whether the far end is still alive.
_POLL_S = 0.25
_OUTPUT_LINES = 20


class FarEndExited(RuntimeError):
    """The far end ended before it connected."""

    def __init__(self, status: int, output: str) -> None:
        tail = f"; its last output:\n{output}" if output else " without output"
        super().__init__(f"the far end exited with status {status} before it connected{tail}")
        self.status = status
        self.output = output


class FarEnd:
    """A started far end process; `stop()` ends it (idempotent)."""

    def __init__(self, process: subprocess.Popen[bytes], log: IO[bytes]) -> None:
        self.process = process
        self._log = log

    def output(self) -> str:
        self._log.seek(0)
        lines = self._log.read().decode("utf-8", "replace").splitlines()
        return "\n".join(lines[-_OUTPUT_LINES:])

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()


def start_far_end(kernel: Kernel, *, reconnect: bool = True, extra_args: Sequence[str] = ()) -> FarEnd:
    node = shutil.which("node")
    if node is None:
        raise FileNotFoundError("the far end needs Node.js 20 or later on PATH")
    command = [node, "--experimental-websocket", str(default_addin_dir() / "node-host.mjs"),
               "--url", kernel.address, *(["--reconnect"] if reconnect else []), *extra_args]
    env = {**os.environ, "VELMARA_TOKEN": kernel.token}
    # The token as one argument with "=", which no parser takes for an option.
    command.append(f"--token={kernel.token}")
    log = tempfile.TemporaryFile()  # noqa: SIM115 - kept until stop(), which closes it
    try:
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    except BaseException:
        log.close()
        raise
    return FarEnd(process, log)


def wait_for_far_end(kernel: Kernel, far_end: FarEnd | None, timeout: float) -> None:
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        try:
            kernel.wait_connected(max(0.0, min(left, _POLL_S)) if far_end is not None else max(0.0, left))
            return
        except TimeoutError:
            if far_end is not None and (status := far_end.process.poll()) is not None:
                raise FarEndExited(status, far_end.output()) from None
            if time.monotonic() >= deadline:
                raise
