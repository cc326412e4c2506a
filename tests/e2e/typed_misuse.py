"""Each marked line must be flagged by mypy against the stub."""

import com_like

com_like.messaging.get_callable(5)  # E: callable_id
com_like.messaging.on_message(None)  # E: message
com_like.Serializer.from_wire([1])  # E: wire
com_like.OfficeJsObject(1, 2)  # E: type_name
com_like.OfficeJsObject(1, "Range")["A1"]  # E: index
com_like.messaging.send_request_sync({}, timeout="soon")  # E: timeout
com_like.Excel = 5  # E: assignment
