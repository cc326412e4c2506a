"""Headless Chromium driven over the DevTools protocol.

A few dozen lines over the `websockets` client the project already depends
on do all the browser test needs (open a page, evaluate script, take a
screenshot), where chromium-driver plus selenium would add a second
browser-control daemon, a PyPI package and a version lock-step between the
driver and the browser.
"""

from __future__ import annotations

import base64
import contextlib
import itertools
import json
import os
import queue
import re
import subprocess
import tempfile
import threading
import time
from typing import Any

from websockets.sync.client import connect

from velmara_master.python_server.velmara.testing import foreign_env

_LISTENING = re.compile(r"DevTools listening on (ws://\S+)")


class CDPError(RuntimeError):
    pass


class Chromium:
    """One headless Chromium process and a DevTools connection to it."""

    def __init__(self, executable: str, *, width: int = 340, height: int = 330, timeout: float = 30) -> None:
        self.width, self.height = width, height
        self._profile = tempfile.TemporaryDirectory(prefix="velmara-chromium-")
        args = [executable, "--headless", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
                "--disable-extensions", "--disable-background-networking", "--hide-scrollbars",
                "--remote-debugging-port=0", f"--user-data-dir={self._profile.name}",
                f"--window-size={width},{height}", "about:blank"]
        if os.geteuid() == 0:  # Chromium refuses to sandbox itself as root
            args.insert(1, "--no-sandbox")
        self.process = subprocess.Popen(args, env=foreign_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True, errors="replace")
        self.log: list[str] = []
        found: queue.Queue[str] = queue.Queue()
        threading.Thread(target=self._read_stderr, args=(found,), daemon=True).start()
        try:
            endpoint = found.get(timeout=timeout)
        except queue.Empty:
            self.close()
            raise CDPError("Chromium did not open its DevTools endpoint:\n" + "\n".join(self.log[-20:])) from None
        self._connection = contextlib.ExitStack()
        self._ws = self._connection.enter_context(connect(endpoint, max_size=None, open_timeout=timeout))
        self._ids = itertools.count(1)
        self._lock = threading.Lock()
        self.events: list[dict[str, Any]] = []

    def _read_stderr(self, found: queue.Queue[str]) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self.log.append(line.rstrip())
            match = _LISTENING.search(line)
            if match:
                found.put(match.group(1))

    def send(self, method: str, params: dict[str, Any] | None = None, *,
             session: str | None = None, timeout: float = 30) -> dict[str, Any]:
        """One command; events that arrive meanwhile are kept in `events`."""
        with self._lock:
            command_id = next(self._ids)
            message: dict[str, Any] = {"id": command_id, "method": method, "params": params or {}}
            if session is not None:
                message["sessionId"] = session
            self._ws.send(json.dumps(message))
            deadline = time.monotonic() + timeout
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise CDPError(f"{method}: no answer within {timeout} s")
                reply = json.loads(self._ws.recv(timeout=left))
                if reply.get("id") == command_id:
                    break
                self.events.append(reply)
        if "error" in reply:
            raise CDPError(f"{method}: {reply['error']}")
        return reply["result"]

    def open(self, url: str) -> Page:
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, session, target)
        page.call("Runtime.enable")
        page.call("Page.enable")
        # About the width Excel gives a task pane.
        page.call("Emulation.setDeviceMetricsOverride",
                  {"width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False})
        page.navigate(url)
        return page

    def close(self) -> None:
        connection = getattr(self, "_connection", None)
        if connection is not None:
            connection.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self._profile.cleanup()


class Page:
    """One tab, attached with its own DevTools session."""

    def __init__(self, browser: Chromium, session: str, target: str) -> None:
        self.browser = browser
        self.session = session
        self.target = target

    def call(self, method: str, params: dict[str, Any] | None = None, timeout: float = 30) -> dict[str, Any]:
        return self.browser.send(method, params, session=self.session, timeout=timeout)

    def navigate(self, url: str) -> None:
        result = self.call("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise CDPError(f"navigating to {url.split('#')[0]} failed: {result['errorText']}")

    def evaluate(self, expression: str, timeout: float = 30) -> Any:
        """The value of a script expression; promises are awaited."""
        result = self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True, "timeout": timeout * 1000},
                           timeout=timeout + 5)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise CDPError(f"script failed: {text}\nconsole:\n{self.console()}")
        return result["result"].get("value")

    def wait_for(self, condition: str, timeout: float = 20) -> Any:
        """Wait, in the page, until a script expression is truthy; its value."""
        script = f"""new Promise((resolve, reject) => {{
            const until = Date.now() + {int(timeout * 1000)};
            (function check() {{
                let value;
                try {{ value = ({condition}); }} catch (e) {{ value = undefined; }}
                if (value) resolve(value);
                else if (Date.now() > until) reject(new Error("timed out waiting for: " + {json.dumps(condition)}));
                else setTimeout(check, 25);
            }})();
        }})"""
        return self.evaluate(script, timeout=timeout + 5)

    def screenshot(self, path: str) -> None:
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self) -> None:
        self.browser.send("Target.closeTarget", {"targetId": self.target})

    def console(self) -> str:
        """What this page logged, for failure messages."""
        lines = []
        for event in self.browser.events:
            if event.get("sessionId") != self.session:
                continue
            params = event.get("params", {})
            if event.get("method") == "Runtime.consoleAPICalled":
                lines.append(params["type"] + ": " + " ".join(
                    str(arg.get("value", arg.get("description", ""))) for arg in params.get("args", [])))
            elif event.get("method") == "Runtime.exceptionThrown":
                details = params.get("exceptionDetails", {})
                lines.append("exception: " + str(details.get("exception", {}).get("description", details.get("text"))))
        return "\n".join(lines[-40:])
