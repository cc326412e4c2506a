"""What the kernel's send handler answers itself, and the one id per Python function.

The bridge runs for real here (com_like's proxies and codec); the far end
is the protocol-level test peer, which answers by name and knows no Excel.
"""

import copy
import gc
import pydoc
import weakref

import numpy as np
import pandas as pd
import pytest

import com_like
from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.tables import to_plain
from velmara_master.python_server.velmara.testing import Peer

WAIT = 30
GRID = [[1, 2.5], [3, 4.0]]


def cell(value):
    tag = "Int" if type(value) is int else "Float"
    return {"type": tag, "value": value, "isSpec": False}


def snapshot(rows):
    return {"type": "Array", "id": -1, "isSpec": False, "value": [
        {"type": "Array", "id": -1, "isSpec": False, "value": [cell(v) for v in row]} for row in rows]}


def far_end(request):
    """A range (id 5) under any name; its values are GRID; add and remove are its methods."""
    if request["method"] == "GET" and request["name"] == "values":
        return {"ok": True, "result": snapshot(GRID)}
    if request["method"] == "GET" and request["name"] in ("add", "remove"):
        return {"ok": True, "result": {"type": "Function", "value": 6, "isSpec": True}}
    if request["method"] == "GET":
        return {"ok": True, "result": {"type": "Range", "value": 5, "isSpec": True}}
    return {"ok": True, "result": {"type": "Null", "value": None, "isSpec": False}}


@pytest.fixture
def connected():
    with Kernel(module=com_like) as kernel, Peer(kernel.url, far_end).connect(timeout=WAIT) as peer:
        kernel.wait_connected(WAIT)
        yield kernel, peer


def sent_names(peer):
    return [(r["method"], r["name"], r["caller"]) for r in peer.requests]


def refuses_copy(value):
    with pytest.raises(TypeError, match="cannot copy or pickle"):
        copy.deepcopy(value)


@pytest.mark.parametrize("probe", [
    pytest.param(lambda v: np.testing.assert_array_equal(np.array(v), np.array(GRID)), id="np.array"),
    pytest.param(lambda v: np.testing.assert_array_equal(np.asarray(v, dtype=float), np.array(GRID)), id="np.asarray"),
    pytest.param(lambda v: pd.testing.assert_frame_equal(pd.DataFrame(v), pd.DataFrame(GRID)), id="pd.DataFrame"),
    pytest.param(lambda v: assert_false(hasattr(v, "ndim") or hasattr(v, "__array__")), id="hasattr"),
    pytest.param(lambda v: assert_false(getattr(v, "shape", None) is not None), id="getattr-default"),
    # The extension refuses to copy a proxy; what matters here is that the
    # probe for __deepcopy__ does not travel and ends in that refusal.
    pytest.param(refuses_copy, id="deepcopy"),
    pytest.param(lambda v: assert_false(any(getattr(v, name, None) is not None for name in IPYTHON_PROBES)),
                 id="ipython-display"),
])
def test_values_read_from_a_range_answer_python_probes_without_asking_excel(connected, probe):
    kernel, peer = connected
    values = com_like.Context.sheet.values
    asked = len(peer.requests)
    probe(values)
    # Nothing the probes asked for reached the far end.
    assert sent_names(peer)[asked:] == []
    assert kernel.stats()["local_answers"] > 0


# What IPython's display machinery looks up on any value it shows.
IPYTHON_PROBES = ("_repr_html_", "_repr_markdown_", "_repr_mimebundle_", "_ipython_display_",
                  "_ipython_canary_method_should_not_exist_")


def assert_false(condition):
    assert not condition


def test_remote_objects_answer_underscore_probes_locally_and_help_works(connected):
    kernel, peer = connected
    sheet = com_like.Context.sheet
    before = kernel.stats()["local_answers"]
    assert not hasattr(sheet, "__array__") and getattr(sheet, "_repr_html_", None) is None
    assert isinstance(pydoc.render_doc(sheet), str)
    with pytest.raises(AttributeError, match=r"has no attribute '__deepcopy__' \(no Office.js member starts"):
        sheet.__deepcopy__
    assert not [r for r in peer.requests if r["name"].startswith("_")]
    assert kernel.stats()["local_answers"] > before


def test_a_snapshot_member_names_the_attribute_and_to_plain(connected):
    values = com_like.Context.sheet.values
    with pytest.raises(AttributeError, match=r"plain data read from Excel has no attribute 'address'.*to_plain"):
        values.address
    assert to_plain(values) == GRID  # the way the message points to


def onchanged_args(request):
    return [arg["value"]["value"] for arg in request.get("args", ()) if arg["value"]["type"] == "Python_Function"]


class Handler:
    def on_changed(self, event):
        return event


HANDLER = Handler()


def plain_handler(event):
    return event


# Each call gives the callable anew: the same function, or an equal bound method.
@pytest.mark.parametrize("make", [lambda: plain_handler, lambda: HANDLER.on_changed],
                         ids=["function", "bound-method"])
def test_a_function_passed_again_travels_under_its_first_id(connected, make):
    kernel, peer = connected
    sheet = com_like.Context.sheet
    sheet.add(make())
    sheet.remove(make())
    sheet.add(lambda event: None)  # another function keeps an id of its own
    sheet.handler = make()  # a SET carries it too
    ids = [onchanged_args(r) for r in peer.requests if r["method"] == "CALL"]
    first, again, other = (found[0] for found in ids)
    assert again == first and other != first
    [set_request] = [r for r in peer.requests if r["method"] == "SET"]
    assert set_request["value"]["value"] == first
    messaging = com_like.messaging
    assert messaging.get_callable(first) == make() and kernel.stats()["callables_reused"] == 2


def test_first_ids_are_forgotten_with_the_connection(connected):
    kernel, _ = connected

    def handler(event):
        return event

    com_like.Context.sheet.add(handler)
    gone = weakref.ref(handler)
    del handler
    with Peer(kernel.url, far_end).connect(timeout=WAIT):
        kernel.wait_connected(WAIT, count=2)
        gc.collect()
        # Neither the bridge's registry nor the kernel holds the old connection's functions.
        assert gone() is None
