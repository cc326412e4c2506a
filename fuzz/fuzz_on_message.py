"""Fuzz `Messaging.on_message` (and `send_request_sync` around it) with responses.

    python fuzz/fuzz_on_message.py [libFuzzer options] [corpus dir or input files]

Responses come with ids that match a waiter or not, ids of every type, "ok"
and "error" members of every type, objects whose truth or text fails. Only
the documented errors may come out (TypeError for an id that cannot be a key,
AttributeError for an "error" without `get`, whatever the message's own
objects raise), and the waiters table must say what happened: the matched
waiter gone and completed with this very response or its error, every other
waiter untouched.
"""

import concurrent.futures
import sys

import atheris

import com_like
import generate  # its builders carry their own coverage instrumentation

EXPECTED = (TypeError, AttributeError, ValueError)
IDS = ["a" * 32, "b" * 32, "c" * 32]


@atheris.instrument_func
def message(fdp):
    response = {}
    choice = fdp.ConsumeIntInRange(0, 6)
    if choice <= 3:
        response["requestId"] = IDS[choice % len(IDS)]
    elif choice == 4:
        response["requestId"] = generate.scalar(fdp)
    elif choice == 5:
        response["requestId"] = generate.Text(IDS[0])
    if fdp.ConsumeBool():
        response["ok"] = generate.scalar(fdp) if fdp.ConsumeBool() else fdp.ConsumeBool()
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 1:
        response["error"] = {"message": generate.scalar(fdp)}
    elif kind == 2:
        response["error"] = {}
    elif kind == 3:
        response["error"] = generate.scalar(fdp)
    elif kind == 4:
        response["error"] = generate.Items(message=generate.text(fdp))
    if fdp.ConsumeBool():
        response["result"] = generate.wire_value(fdp)
    return response


def expected_text(response):
    error = response.get("error", {})
    if isinstance(error, dict):
        return error.get("message", "Remote error")
    return None  # an "error" without get: the text is the module's choice


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    m = com_like.Messaging()
    waiters = {rid: concurrent.futures.Future() for rid in IDS[: fdp.ConsumeIntInRange(0, 3)]}
    m.waiters.update(waiters)
    response = message(fdp)
    through_send = fdp.ConsumeBool()
    try:
        if through_send:
            # The handler answers from inside itself, with the envelope's id.
            def handler(envelope):
                response["requestId"] = envelope["requestId"]
                m.on_message(response)

            m.set_send_handler(handler)
            try:
                got = m.send_request_sync({"method": "GET", "name": generate.text(fdp)}, timeout=0)
            except RuntimeError as exc:
                assert not _truthy(response.get("ok")), response
                text = expected_text(response)
                assert text is None or exc.args == (text,), (exc.args, response)
            except TimeoutError:
                pass  # "error" without get: the waiter is never completed
            else:
                assert got is response
            assert len(m.waiters) == len(waiters), (m.waiters, waiters)
            return
        assert m.on_message(response) is None
    except EXPECTED:
        pass
    rid = response.get("requestId")
    for key, future in waiters.items():
        if key in m.waiters:
            assert not future.done(), (key, response)
            continue
        assert isinstance(rid, str) and rid == key, (key, response)
        if not future.done():
            continue  # taken out, then failing before completion: documented
        if future.exception() is None:
            assert future.result() is response
        else:
            assert type(future.exception()) is RuntimeError


def _truthy(value):
    try:
        return bool(value)
    except Exception:  # noqa: BLE001 - a generated value's __bool__ may raise anything
        return False


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
