"""Proxies at interpreter exit, in a fresh interpreter each."""

import json

import pytest

HANDLER = """
import com_like
sent = []
def handler(envelope):
    sent.append((envelope["method"], envelope["caller"]))
    com_like.messaging.on_message({"requestId": envelope["requestId"], "ok": True, "result": None})
com_like.messaging.set_send_handler(handler)
"""

SCRIPTS = {
    "import only": "import com_like",
    "full dotted name": "import velmara_master.python_server.velmara.com_like",
    "handler answering": HANDLER,
    "handler and live proxies": HANDLER + """
p = com_like.OfficeJsObject(5, "Range")
a = com_like.OfficeJsArray(6)
d = com_like.OfficeJsDict(7)
p._internal_cache["cycle"] = p
""",
    "handler and a stale proxy": HANDLER + "p = com_like.OfficeJsObject(5, 'Range'); com_like.messaging.reset()",
    "handler that fails": """
import com_like
def handler(envelope):
    raise ConnectionError("closed")
com_like.messaging.set_send_handler(handler)
p = com_like.OfficeJsObject(5, "Range")
""",
    "proxies in a non-daemon thread's frame": HANDLER + """
import threading
def work():
    keep = com_like.OfficeJsObject(8, "Range")
threading.Thread(target=work).start()
""",
}


@pytest.mark.parametrize("code", SCRIPTS.values(), ids=SCRIPTS.keys())
def test_exit_is_prompt_clean_and_silent(python_subprocess, code):
    # A 30 s wait in a finalizer would overrun this limit.
    done = python_subprocess(code, timeout=20)
    assert done.returncode == 0
    assert done.stderr == ""
    assert done.stdout == ""


def test_roots_send_del_when_their_bindings_go(python_subprocess):
    done = python_subprocess(HANDLER + """
import json
del com_like.Context, com_like.Excel, com_like.GetSetting
print(json.dumps(sent))
""")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [["DEL", 0], ["DEL", 1], ["DEL", 2]]


def test_escaping_exception_still_reported_before_exit(python_subprocess):
    done = python_subprocess("""
import com_like
p = com_like.OfficeJsObject(5, "Range")
del com_like._cw__del__
del p
print("after")
""")
    assert done.returncode == 0
    assert done.stdout == "after\n"
    assert "Exception ignored" in done.stderr and "name '_cw__del__' is not defined" in done.stderr


# CPython ends a daemon thread that re-takes the interpreter lock during
# finalization with pthread_exit, a forced unwind of its stack. Ten threads
# busy inside module calls (waiting on an answer, or encoding a frame through
# pandas) meet it at whatever point they happen to be.
DAEMONS_INSIDE_CALLS = """
import queue, threading
import numpy as np, pandas as pd
import com_like

inbox = queue.SimpleQueue()
def listener():
    while True:
        envelope = inbox.get()
        com_like.messaging.on_message({"requestId": envelope["requestId"], "ok": True,
                                       "result": {"type": "Int", "value": 1, "isSpec": False}})
threading.Thread(target=listener, daemon=True).start()
com_like.messaging.set_send_handler(inbox.put)
rng = com_like.OfficeJsObject(5, "Range")
frame = pd.DataFrame({"n": np.arange(10_000), "x": np.arange(10_000) / 3, "s": ["text"] * 10_000})
running = threading.Semaphore(0)

def loop(step):
    step()
    running.release()
    while True:
        step()

steps = [lambda: rng.values] * 8 + [lambda: com_like.Serializer.to_wire(frame)] * 2
for step in steps:
    threading.Thread(target=loop, args=(step,), daemon=True).start()
for _ in steps:
    assert running.acquire(timeout=30)
"""


@pytest.mark.slow
def test_exit_with_daemon_threads_inside_module_calls(python_subprocess):
    for _ in range(20):
        done = python_subprocess(DAEMONS_INSIDE_CALLS, timeout=60)
        assert "Fatal Python error" not in done.stderr, done.stderr
        assert done.returncode == 0, done.stderr
