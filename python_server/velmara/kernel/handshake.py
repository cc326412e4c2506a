"""Who may open the add-in connection: token, Origin and Host.

The kernel listens on a loopback port, so every program on the machine can
reach it, and so can every web page the user visits: browsers apply no
same-origin rule to WebSockets. Whoever holds the connection reads what the
user's code writes, forges answers and fires the user's callbacks, so the
opening handshake must prove three things before the connection may replace
anything:

* the path is exactly ``/<token>``, a secret the kernel drew (compared in
  constant time, so the answer's timing says nothing about the token);
* the ``Origin`` header is absent (a program, not a browser page) or on the
  allow-list (the task pane's own page);
* the ``Host`` header names the loopback address and port the kernel
  serves, so a page on a rebound DNS name cannot pass as local.

A refused handshake is answered with HTTP 403 and touches nothing else.
"""

from __future__ import annotations

import hmac
import ipaddress
import os
import re
import secrets
import shlex
import stat
from collections.abc import Iterable
from typing import Any

from ..protocol.redact import RedactingLogger

__all__ = ["REFUSE_REASONS", "Gate", "RedactingLogger", "checked_token", "is_loopback", "new_token",
           "read_token_file"]

# 24 random bytes: 192 bits, 32 URL-safe characters.
TOKEN_BYTES = 24

# Refusal reasons, as counted by the kernel.
REFUSE_REASONS = ("wrong_token", "foreign_origin", "foreign_host")

# A token travels as the whole URL path, so it may hold only characters
# that no client percent-encodes.
_TOKEN_TEXT = re.compile(r"[A-Za-z0-9_.~-]+")


def new_token() -> str:
    return secrets.token_urlsafe(TOKEN_BYTES)


def checked_token(token: str) -> str:
    if type(token) is not str or not _TOKEN_TEXT.fullmatch(token):
        raise ValueError("a kernel token is non-empty text of letters, digits and '-', '_', '.', '~'")
    return token


def read_token_file(path: str) -> str:
    """The token kept in `path`; ValueError (its text for the user) when the file cannot serve.

    A file that group or others may read or write is refused: whoever can
    read it holds the add-in's connection, whoever can write it chooses
    the token.
    """
    try:
        with open(path, encoding="utf-8") as file:
            mode = os.fstat(file.fileno()).st_mode
            if os.name == "posix" and mode & (stat.S_IRGRP | stat.S_IWGRP | stat.S_IROTH | stat.S_IWOTH):
                how = "readable" if mode & (stat.S_IRGRP | stat.S_IROTH) else "writable"
                raise ValueError(f"the token file {path} is {how} by group or others (mode {stat.S_IMODE(mode):04o}); "
                                 f"make it private first: chmod 600 {shlex.quote(path)}")
            token = file.read().strip()
    except OSError as exc:
        raise ValueError(f"cannot read the token file {path}: {exc.strerror}") from None
    if not token:
        raise ValueError(f"the token file {path} is empty")
    return token


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _origin_key(origin: str) -> str:
    return origin.strip().rstrip("/").lower()


def _preview(value: str, limit: int = 80) -> str:
    return repr(value[:limit]) + ("..." if len(value) > limit else "")


class Gate:
    """The handshake checks of one kernel."""

    def __init__(self, token: str, allowed_origins: Iterable[str] = ()) -> None:
        if isinstance(allowed_origins, str):
            raise TypeError("allowed_origins is a list of origins, not one text")
        self._path = ("/" + token).encode()
        self._origins = frozenset(_origin_key(origin) for origin in allowed_origins)
        self._hosts: frozenset[str] = frozenset()

    def admit_origins(self, origins: Iterable[str]) -> None:
        """Add origins known only once the port is bound (the kernel's own page)."""
        self._origins = self._origins | {_origin_key(origin) for origin in origins}

    def bind(self, addresses: Iterable[str], port: int) -> None:
        """Learn the addresses and port actually served (known after binding)."""
        names = {"localhost"}
        for address in addresses:
            names.add(f"[{address}]" if ipaddress.ip_address(address).version == 6 else address)
        self._hosts = frozenset(f"{name}:{port}" for name in names)

    def refusal(self, request: Any) -> tuple[str, str] | None:
        """(reason, detail) when the handshake must be refused, else None.

        The detail never holds the path: a near miss may hold the token.
        """
        headers = request.headers
        hosts = headers.get_all("Host")
        if len(hosts) != 1 or hosts[0].strip().lower() not in self._hosts:
            return "foreign_host", f"Host {', '.join(map(_preview, hosts)) or 'missing'}"
        origins = headers.get_all("Origin")
        if origins and (len(origins) > 1 or _origin_key(origins[0]) not in self._origins):
            return "foreign_origin", f"Origin {', '.join(map(_preview, origins))}"
        path = request.path.encode("utf-8", "surrogateescape")
        if not hmac.compare_digest(path, self._path):
            return "wrong_token", f"a path of {len(path)} characters that is not the kernel's token"
        return None
