"""Velmara - Synchronous COM-like bridge between Python and Excel Office.js."""

import base64 as base64
import concurrent.futures
import datetime as dt
import threading as threading
import uuid as uuid
from typing import Any as Any, Callable, Dict as Dict, SupportsFloat, SupportsIndex

import numpy as np
import pandas as pd  # type: ignore[import-untyped]

# The module's namespace, as `from com_like import *` sees it.
__all__ = [
    "base64", "concurrent", "dt", "threading", "uuid", "pd", "np", "Any", "Dict",
    "Serializer", "Messaging", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict",
    "messaging", "Context", "Excel", "GetSetting",
]

_Timeout = SupportsFloat | SupportsIndex

class Serializer:
    """Handles marshaling of data types between Python and JavaScript."""

    @staticmethod
    def to_wire(value: Any) -> Dict[str, Any]: ...
    @staticmethod
    def from_wire(wire: Dict[str, Any]) -> Any: ...

class Messaging:
    """Handles messaging for the Python-Excel bridge."""

    waiters: dict[str, concurrent.futures.Future[Dict[str, Any]]]
    _waiters_lock: threading.Lock
    _guid: str
    _send_handler: Callable[[Dict[str, Any]], object] | None
    loop: Any
    loop_thread: Any
    _callable_registry: dict[str, Callable[..., Any]]
    _callable_lock: threading.Lock
    _next_callable_id: int

    def __init__(self) -> None: ...
    def set_send_handler(self, handler: Callable[[Dict[str, Any]], object] | None) -> None: ...
    def on_message(self, message: Dict[str, Any]) -> None: ...
    def send_request_sync(self, req: Dict[str, Any], timeout: _Timeout = 30.0) -> Dict[str, Any]: ...
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
