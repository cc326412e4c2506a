"""Velmara - Synchronous COM-like bridge between Python and Excel Office.js."""

import base64 as base64
import concurrent.futures
import datetime as dt
import threading as threading
import uuid as uuid
from collections.abc import Callable
from typing import Any as Any
from typing import Dict as Dict  # noqa: UP035 - the module's namespace holds typing's Dict
from typing import SupportsFloat, SupportsIndex

import numpy as np
import pandas as pd  # type: ignore[import-untyped]

# The module's namespace, as `from com_like import *` sees it.
__all__ = [
    "Any", "Context", "Dict", "Excel", "GetSetting", "Messaging", "OfficeJsArray", "OfficeJsDict",
    "OfficeJsObject", "Serializer", "base64", "concurrent", "dt", "messaging", "np", "pd", "threading", "uuid",
]

_Timeout = SupportsFloat | SupportsIndex

class Serializer:
    """Handles marshaling of data types between Python and JavaScript."""

    @staticmethod
    def to_wire(value: Any) -> dict[str, Any]: ...
    @staticmethod
    def from_wire(wire: dict[str, Any]) -> Any: ...

class Messaging:
    """Handles messaging for the Python-Excel bridge."""

    waiters: dict[str, concurrent.futures.Future[dict[str, Any]]]
    _waiters_lock: threading.Lock
    _guid: str
    _send_handler: Callable[[dict[str, Any]], object] | None
    loop: Any
    loop_thread: Any
    _callable_registry: dict[str, Callable[..., Any]]
    _callable_lock: threading.Lock
    _next_callable_id: int

    def __init__(self) -> None: ...
    def set_send_handler(self, handler: Callable[[dict[str, Any]], object] | None) -> None: ...
    def on_message(self, message: dict[str, Any]) -> None: ...
    def send_request_sync(self, req: dict[str, Any], timeout: _Timeout = 30.0) -> dict[str, Any]: ...
    def reset(self) -> None: ...
    def register_callable(self, callable_obj: Callable[..., Any]) -> str: ...
    def get_callable(self, callable_id: str) -> Callable[..., Any] | None: ...
    def unregister_callable(self, callable_id: str) -> None: ...

class OfficeJsObject:
    """Dynamic proxy class for Office.js objects."""

    _internal_id: int
    _internal_typeName: str
    _msg_guid: str
    _typ: str
    _internal_cache: dict[Any, Any]

    def __init__(self, object_id: SupportsIndex | SupportsFloat, type_name: str) -> None: ...
    # Every other attribute is remote: reading, writing and calling are
    # requests to the add-in whose results are plain values or new proxies.
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __getitem__(self, index: int | slice) -> Any: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __del__(self) -> None: ...

class OfficeJsArray(list[Any]):
    """Specialized proxy for arrays returned from Office.js."""

    _internal_id: int
    _internal_typeName: str
    _msg_guid: str
    _typ: str
    _internal_cache: dict[Any, Any]

    def __init__(self, object_id: SupportsIndex | SupportsFloat) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __del__(self) -> None: ...

class OfficeJsDict(dict[Any, Any]):
    """Specialized proxy for dictionaries returned from Office.js."""

    _internal_id: int
    _internal_typeName: str
    _msg_guid: str
    _typ: str
    _internal_cache: dict[Any, Any]

    def __init__(self, object_id: SupportsIndex | SupportsFloat) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __del__(self) -> None: ...

def _cw__getattr__(self: OfficeJsObject | OfficeJsArray | OfficeJsDict, name: str) -> Any: ...
def _cw__getitem__(self: OfficeJsObject | OfficeJsArray | OfficeJsDict, index: int | slice) -> Any: ...
def _cw__setattr__(self: OfficeJsObject | OfficeJsArray | OfficeJsDict, name: str, value: Any) -> None: ...
def _cw__call__(self: OfficeJsObject | OfficeJsArray | OfficeJsDict, *args: Any, **kwargs: Any) -> Any: ...
def _cw__del__(self: OfficeJsObject | OfficeJsArray | OfficeJsDict) -> None: ...

_internal_officejs_names: list[str]

messaging: Messaging
Context: OfficeJsObject
Excel: OfficeJsObject
GetSetting: OfficeJsObject
