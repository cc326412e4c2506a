"""Loading the module: one module object per process, its namespace, and
what happens when loading goes wrong."""

import importlib
import sys
import textwrap

import pytest

import com_like

FULL_NAME = "velmara_master.python_server.velmara.com_like"

# The namespace in the order the body binds it; `now` marks the rows that
# exist already (the others belong to subsystems still being built, and are
# checked for their place as soon as they appear).
NAMESPACE = [
    ("base64", True),
    ("concurrent", True),
    ("dt", True),
    ("threading", True),
    ("uuid", True),
    ("pd", True),
    ("np", True),
    ("Any", True),
    ("Dict", True),
    ("Serializer", False),
    ("Messaging", True),
    ("_cw__getattr__", False),
    ("_cw__getitem__", False),
    ("_cw__setattr__", False),
    ("_cw__call__", False),
    ("_cw__del__", False),
    ("_internal_officejs_names", False),
    ("OfficeJsObject", False),
    ("OfficeJsArray", False),
    ("OfficeJsDict", False),
    ("messaging", True),
    ("Context", False),
    ("Excel", False),
    ("GetSetting", False),
]


def run(python_subprocess, code):
    done = python_subprocess(textwrap.dedent(code))
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().splitlines()


def test_one_module_object_under_every_name():
    import velmara_master.python_server.velmara.com_like as by_import

    assert importlib.import_module(FULL_NAME) is com_like
    assert by_import is com_like
    assert sys.modules["com_like"] is com_like and sys.modules[FULL_NAME] is com_like
    assert com_like.__name__ == "com_like"


def test_reimport_after_removal_returns_the_same_object_without_running_the_body(python_subprocess):
    out = run(
        python_subprocess,
        """
        import sys
        import com_like
        first, messaging, cls = com_like, com_like.messaging, com_like.Messaging
        for _ in range(3):
            del sys.modules["com_like"]
            import com_like
            print(com_like is first, com_like.messaging is messaging, com_like.Messaging is cls)
        """,
    )
    assert out == ["True True True"] * 3


def test_reimport_under_the_full_name_after_its_entry_was_removed(python_subprocess):
    out = run(
        python_subprocess,
        f"""
        import importlib, sys
        import com_like
        first = com_like.messaging
        for _ in range(2):
            del sys.modules["{FULL_NAME}"]
            again = importlib.import_module("{FULL_NAME}")
            print(again is com_like, again.messaging is first)
        """,
    )
    assert out == ["True True"] * 2


def test_module_docstring():
    doc = com_like.__doc__
    assert doc.startswith("Velmara - Synchronous COM-like bridge between Python and Excel Office.js.")
    for name in ("Serializer", "Messaging", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict", "Excel", "Context"):
        assert name in doc


def test_namespace_order(python_subprocess):
    # In a fresh process: tests here rebind and restore globals, which moves them.
    (line,) = run(
        python_subprocess,
        """
        import com_like
        print(" ".join(k for k in vars(com_like) if not (k.startswith("__") and k.endswith("__"))))
        """,
    )
    bound = line.split()
    table = [name for name, _ in NAMESPACE]
    assert [name for name in bound if name not in table] == []
    assert bound == [name for name in table if name in bound]  # in table order
    missing = [name for name, now in NAMESPACE if now and name not in bound]
    assert missing == []


def test_namespace_values():
    import base64
    import builtins
    import concurrent.futures
    import datetime
    import threading
    import typing
    import uuid

    import numpy
    import pandas

    assert com_like.base64 is base64 and com_like.threading is threading and com_like.uuid is uuid
    assert com_like.concurrent is concurrent and com_like.concurrent.futures is concurrent.futures
    assert com_like.dt is datetime and com_like.pd is pandas and com_like.np is numpy
    assert com_like.Any is typing.Any and com_like.Dict is typing.Dict  # noqa: UP006 - typing's own Dict is the point
    assert type(com_like.messaging) is com_like.Messaging
    assert vars(com_like)["__builtins__"] is vars(builtins)


def test_module_attributes_from_the_spec():
    spec = com_like.__spec__
    assert com_like.__loader__ is spec.loader
    assert com_like.__file__ == spec.origin
    assert com_like.__package__ == spec.parent
    assert not hasattr(com_like, "__path__")


def test_import_sends_nothing_and_needs_no_handler(python_subprocess):
    out = run(
        python_subprocess,
        """
        import com_like
        m = com_like.messaging
        print(m._send_handler, m.waiters, m._callable_registry, m._next_callable_id)
        try:
            m.send_request_sync({"method": "GET"})
        except RuntimeError as exc:
            print(exc)
        """,
    )
    assert out == ["None {} {} 1", "No send handler registered"]


def test_a_second_interpreter_is_refused(python_subprocess):
    out = run(
        python_subprocess,
        """
        import os, _interpreters
        import com_like
        r, w = os.pipe()
        interp = _interpreters.create("legacy")
        failure = _interpreters.run_string(interp, f'''
        import os
        try:
            import com_like
        except BaseException as exc:
            os.write({w}, (type(exc).__name__ + ": " + str(exc)).encode())
        else:
            os.write({w}, b"imported")
        ''')
        _interpreters.destroy(interp)
        os.close(w)
        print(failure)
        print(os.read(r, 1000).decode())
        print(com_like.messaging is not None)
        """,
    )
    assert out == [
        "None",
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process.",
        "True",
    ]


def test_initialising_another_module_object_is_refused(python_subprocess):
    out = run(
        python_subprocess,
        f"""
        import _imp, importlib.util, sys
        spec = importlib.util.find_spec("com_like")
        first = _imp.create_dynamic(spec)
        second = _imp.create_dynamic(spec)   # made before any was initialised
        print(first is not second)
        _imp.exec_dynamic(first)
        print(sys.modules["{FULL_NAME}"] is first, type(first.messaging).__name__)
        print(_imp.exec_dynamic(first))      # the same object again: nothing happens
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            print(exc)
        print(_imp.create_dynamic(spec) is first)
        print(sorted(k for k in vars(second) if not k.startswith("__")))
        """,
    )
    assert out == [
        "True",
        "True Messaging",
        "0",
        "Module 'com_like' has already been imported. Re-initialisation is not supported.",
        "True",
        "[]",
    ]


def test_a_failing_body_drops_the_module_and_the_next_import_starts_again(python_subprocess):
    out = run(
        python_subprocess,
        f"""
        import sys
        import pandas, numpy
        seen = {{}}

        class FailNumpyOnce:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy":
                    sys.meta_path.remove(self)
                    seen["module"] = sys.modules["com_like"]
                    seen["names"] = [k for k in vars(seen["module"]) if not k.startswith("__")]
                    raise ModuleNotFoundError("No module named 'numpy'", name="numpy")

        real = sys.modules.pop("numpy")
        sys.meta_path.insert(0, FailNumpyOnce())
        try:
            import com_like
        except ModuleNotFoundError as exc:
            print("failed:", exc.name)
        print(seen["names"])
        print("com_like" in sys.modules, "{FULL_NAME}" in sys.modules)
        sys.modules["numpy"] = real
        import com_like
        print(com_like is not seen["module"], type(com_like.messaging).__name__)
        print(sys.modules["{FULL_NAME}"] is com_like)
        """,
    )
    assert out == [
        "failed: numpy",
        "['base64', 'concurrent', 'dt', 'threading', 'uuid', 'pd']",
        "False False",
        "True Messaging",
        "True",
    ]


@pytest.mark.parametrize("missing, preload", [("numpy", "import pandas"), ("pandas", "")])
def test_without_numpy_or_pandas_the_import_fails(python_subprocess, missing, preload):
    out = run(
        python_subprocess,
        f"""
        import sys
        {preload}
        sys.modules["{missing}"] = None
        try:
            import com_like
        except ModuleNotFoundError as exc:
            print(type(exc).__name__, exc.name)
        else:
            print("imported")
        print("com_like" in sys.modules)
        """,
    )
    assert out == [f"ModuleNotFoundError {missing}", "False"]


@pytest.mark.skipif(not hasattr(com_like, "Context"), reason="root proxies not built yet")
def test_root_proxies_share_the_epoch_of_messaging(python_subprocess):
    out = run(
        python_subprocess,
        """
        import com_like
        guid = com_like.messaging._guid
        print([p._msg_guid == guid for p in (com_like.Context, com_like.Excel, com_like.GetSetting)])
        """,
    )
    assert out == ["[True, True, True]"]
