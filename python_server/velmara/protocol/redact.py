"""Keeping the kernel's token out of logs, at both ends of the connection."""

from __future__ import annotations

import logging
from typing import Any


class RedactingLogger(logging.LoggerAdapter):  # type: ignore[type-arg]
    """Hands the transport library's log records on with the token blotted out.

    At DEBUG level the library logs every request line, path included.
    """

    def __init__(self, logger: logging.Logger, secret: str) -> None:
        super().__init__(logger, {})
        self._secret = secret

    def log(self, level: int, msg: object, *args: object, **kwargs: Any) -> None:
        if not self.isEnabledFor(level):
            return
        text = str(msg)
        if args:
            try:
                text = text % args
            except (TypeError, ValueError):
                text = f"{text} {args!r}"
        self.logger.log(level, "%s", text.replace(self._secret, "<token>"), **kwargs)
