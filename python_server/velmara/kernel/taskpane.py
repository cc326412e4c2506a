"""The add-in's task pane, served by the kernel on its own WebSocket port.

Page and socket then share one origin, so the kernel's Origin allow-list
admits exactly the page it served, and a browser (or Excel's WebView) never
has to reach a loopback address from a public origin.

What is served is a fixed set decided when the kernel starts: the page,
the add-in's modules, icons and a manifest filled with the kernel's
address, all read into memory once. A request path is only ever a key into
that table, never joined to a file system path, so nothing else on disk can
be reached. Every answer is checked against the Host header first: a page
on a foreign name that resolves to 127.0.0.1 (DNS rebinding) gets nothing.

The token is not part of anything served here: any local process can
fetch these files. It reaches the page in the URL fragment the kernel
prints (browsers never send fragments to a server), or in a manifest that
`manifest_text(token)` writes to a file for sideloading.
"""

from __future__ import annotations

import contextlib
import json
import os
import tempfile
from collections.abc import Iterable
from http import HTTPStatus
from pathlib import Path
from typing import Any
from urllib.parse import quote

from websockets.datastructures import Headers
from websockets.http11 import Response

# The page names the real Office.js; the kernel swaps it for its stand-in
# when it serves the Office.js double instead (tests, demos without Excel).
OFFICE_JS_CDN = "https://appsforoffice.microsoft.com/lib/1/hosted/office.js"

# The manifest template is usable as committed (a kernel started with
# --https --port 8443); a kernel replaces this origin with its own.
MANIFEST_ORIGIN = "https://127.0.0.1:8443"
MANIFEST_TOKEN_MARK = "taskpane.html"

_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".mjs": "text/javascript; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".png": "image/png",
    ".xml": "application/xml; charset=utf-8",
}

_METHODS = ("GET", "HEAD")

_COMMON_HEADERS = (
    ("Cache-Control", "no-store"),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "no-referrer"),
    # No CORS headers: other origins may show the icons (Excel on the web
    # does) but read nothing. Nothing served holds a secret anyway.
)


def default_addin_dir() -> Path:
    """addin/ beside python_server/, in the source tree and when installed."""
    return Path(__file__).resolve().parents[3] / "addin"


def _office_shim(options: dict[str, Any]) -> bytes:
    # A classic script, like the real office.js, so the page loads it the
    # same way. The double is an ES module and arrives asynchronously, so
    # the Office placeholder answers onReady() once the real globals are in.
    # The script's braces make %-formatting the readable choice here.
    return ("""// Stand-in for Office.js: installs the Office.js double's globals.
(function () {
  "use strict";
  var installed = import("./office-double/install.mjs").then(function (m) {
    window.officeDoubleControl = m.install(window, %s);
    return window.Office.onReady();
  });
  window.Office = {
    onReady: function (callback) {
      return installed.then(function (info) { if (callback) callback(info); return info; });
    },
  };
})();
""" % json.dumps(options)).encode()  # noqa: UP031


class TaskPane:
    """The fixed set of files the kernel serves over plain HTTP GET (and HEAD).

    `addin_dir` holds taskpane.html, manifest.xml, src/*.mjs and
    assets/*.png. With `office_double` (a directory holding install.mjs)
    the page loads the Office.js double as office.js instead of the real
    Office.js; `double_options` go to its install().
    """

    def __init__(self, addin_dir: Path | None = None, *, office_double: Path | None = None,
                 double_options: dict[str, Any] | None = None) -> None:
        self.addin_dir = Path(addin_dir) if addin_dir is not None else default_addin_dir()
        self.office_double = Path(office_double) if office_double is not None else None
        self.double_options = dict(double_options or {})
        self._files: dict[str, tuple[bytes, str]] = {}
        self._manifest_template = ""
        self.origin = ""
        self.origins: list[str] = []
        self._hosts: frozenset[str] = frozenset()

    def bind(self, scheme: str, host: str, port: int) -> None:
        """Read the files and fill in the address; called once the port is known."""
        name = f"[{host}]" if ":" in host else host
        self.origin = f"{scheme}://{name}:{port}"
        # Over https the certificate names both, and Excel's WebViews are
        # happier with "localhost"; plain http stays on the one address.
        self.origins = [self.origin]
        if scheme == "https" and name != "localhost":
            self.origins.append(f"https://localhost:{port}")
        self._hosts = frozenset({f"{name}:{port}", f"localhost:{port}"})

        files: dict[str, tuple[bytes, str]] = {}
        page = (self.addin_dir / "taskpane.html").read_text(encoding="utf-8")
        if self.office_double is not None:
            if OFFICE_JS_CDN not in page:
                raise ValueError("taskpane.html does not load Office.js from its usual address")
            page = page.replace(OFFICE_JS_CDN, "office.js")
            files["/office.js"] = (_office_shim(self.double_options), _TYPES[".js"])
            for path in _listing(self.office_double, "*.mjs"):
                files[f"/office-double/{path.name}"] = (path.read_bytes(), _TYPES[".mjs"])
        files["/taskpane.html"] = (page.encode(), _TYPES[".html"])
        for path in _listing(self.addin_dir / "src", "*.mjs"):
            files[f"/src/{path.name}"] = (path.read_bytes(), _TYPES[".mjs"])
        for path in _listing(self.addin_dir / "assets", "*.png"):
            files[f"/assets/{path.name}"] = (path.read_bytes(), _TYPES[".png"])
        self._manifest_template = (self.addin_dir / "manifest.xml").read_text(encoding="utf-8")
        files["/manifest.xml"] = (self.manifest_text().encode(), _TYPES[".xml"])
        self._files = files

    @property
    def paths(self) -> list[str]:
        return sorted(self._files)

    def page_url(self, token: str | None) -> str:
        """The page's address; the token rides in the fragment, never sent to a server."""
        url = f"{self.origin}/taskpane.html"
        return f"{url}#token={quote(token, safe='')}" if token else url

    def manifest_text(self, token: str | None = None) -> str:
        """The manifest filled with this kernel's origin (and, for a file, the token)."""
        text = self._manifest_template.replace(MANIFEST_ORIGIN, self.origin)
        if token:
            # Only where Office opens the page: a "learn more" link is shown
            # to people and opened in their browser, and keeps no secret.
            page = f"{self.origin}/{MANIFEST_TOKEN_MARK}"
            secret = self.page_url(token)
            for holder in ('<SourceLocation DefaultValue="{}"', '<bt:Url id="Taskpane.Url" DefaultValue="{}"'):
                text = text.replace(holder.format(page), holder.format(secret))
        return text

    def write_manifest(self, path: str | Path, token: str) -> None:
        """Write the manifest with the token, readable by its owner only: it is a secret.

        The text goes to a new file, created exclusively with mode 0600 in
        the target's folder, which then replaces the target: a symlink
        there is replaced, not followed, and an old file's mode is not kept.
        """
        target = Path(path)
        fd, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as out:
                if hasattr(os, "fchmod"):
                    os.fchmod(out.fileno(), 0o600)
                out.write(self.manifest_text(token))
                out.flush()
                os.fsync(out.fileno())
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise

    def host_allowed(self, hosts: list[str]) -> bool:
        """Exactly one Host header, naming the address and port served."""
        return len(hosts) == 1 and hosts[0].strip().lower() in self._hosts

    def respond(self, path: str, hosts: list[str], method: str = "GET") -> Response:
        """The answer to one plain HTTP request (anything that is not a WebSocket handshake).

        Only GET and HEAD (the same answer without its body) are served:
        nothing here takes data, and nothing else is answered with content.
        """
        if not self.host_allowed(hosts):
            return _response(HTTPStatus.FORBIDDEN, b"unknown host\n", "text/plain; charset=utf-8")
        if method not in _METHODS:
            refused = _response(HTTPStatus.METHOD_NOT_ALLOWED, b"method not allowed\n", "text/plain; charset=utf-8")
            refused.headers["Allow"] = ", ".join(_METHODS)
            return refused
        head = method == "HEAD"
        # Office appends its own query (?_host_Info=...) to the page's URL.
        entry = self._files.get(path.split("?", 1)[0])
        if entry is None:
            return _response(HTTPStatus.NOT_FOUND, b"not found\n", "text/plain; charset=utf-8", head=head)
        body, content_type = entry
        return _response(HTTPStatus.OK, body, content_type, head=head)


def _listing(directory: Path, pattern: str) -> Iterable[Path]:
    if not directory.is_dir():
        return ()
    return sorted(p for p in directory.glob(pattern) if p.is_file() and not p.name.startswith("."))


def _response(status: HTTPStatus, body: bytes, content_type: str, *, head: bool = False) -> Response:
    headers = Headers(_COMMON_HEADERS)
    headers["Content-Type"] = content_type
    headers["Content-Length"] = str(len(body))
    return Response(status.value, status.phrase, headers, b"" if head else body)


def is_websocket_handshake(headers: Any) -> bool:
    """True for an Upgrade: websocket request; everything else is a page GET."""
    upgrade = headers.get("Upgrade")
    return upgrade is not None and upgrade.strip().lower() == "websocket"
