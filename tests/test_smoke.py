import com_like


def test_module_imports_and_messaging_round_trips():
    m = com_like.messaging

    def handler(envelope):
        m.on_message({"requestId": envelope["requestId"], "ok": True, "result": None})

    m.set_send_handler(handler)
    response = m.send_request_sync({"method": "GET"})
    assert response["ok"] is True
    assert m.waiters == {}
