"""What a user script and a host write against com_like; mypy checks it."""

import concurrent.futures
from typing import Any

import com_like
from com_like import Context, Excel, GetSetting, Messaging, OfficeJsArray, OfficeJsDict, OfficeJsObject, Serializer


def tour() -> None:
    sheet = Context.workbook.worksheets.getItem("Sheet1")
    sheet.getRange("A1:B2").values = [[1, "two"], [3.0, None]]
    values: list[Any] = sheet.getRange("A1:B2").values
    name: str = GetSetting("user.name")
    print(values, name, Excel._internal_typeName, Context._internal_id + 1)


def host(envelope_out: list[dict[str, Any]]) -> None:
    messaging: Messaging = com_like.messaging
    messaging.set_send_handler(envelope_out.append)
    messaging.on_message({"requestId": "x", "ok": True, "result": Serializer.to_wire(None)})
    response: dict[str, Any] = messaging.send_request_sync({"method": "GET"}, timeout=0.5)
    callable_id: str = messaging.register_callable(print)
    found = messaging.get_callable(callable_id)
    if found is not None:
        found("called")
    messaging.unregister_callable(callable_id)
    pending: concurrent.futures.Future[dict[str, Any]] | None = messaging.waiters.get("x")
    messaging.reset()
    print(response, pending, com_like._internal_officejs_names[0], com_like.np.float64(1.0))


def proxies() -> None:
    array = OfficeJsArray(7)
    array.append(1)
    table = OfficeJsDict(8)
    table["a"] = 1
    obj = OfficeJsObject(9, "Range")
    print(len(array), table.get("a"), com_like._cw__getattr__(obj, "address"), obj[0], obj[1:2])
    com_like._cw__del__(obj)
