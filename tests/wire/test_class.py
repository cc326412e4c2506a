"""The Serializer class as Python code sees it."""

import inspect

import pytest

import com_like


def test_class_shape():
    S = com_like.Serializer
    assert type(S) is type
    assert S.__module__ == "velmara_master.python_server.velmara.com_like"
    assert S.__qualname__ == "Serializer"
    assert S.__doc__ == "Handles marshaling of data types between Python and JavaScript."
    assert [n for n in vars(S) if not n.startswith("__")] == ["to_wire", "from_wire"]
    assert all(isinstance(vars(S)[n], staticmethod) for n in ("to_wire", "from_wire"))


@pytest.mark.parametrize(
    "name, first_lines, annotations",
    [
        (
            "to_wire",
            ["Serializer.to_wire(value)", "", "Serialize a Python value to wire format for transmission."],
            {"value": "Any", "return": "Dict[str, Any]"},
        ),
        (
            "from_wire",
            ["Serializer.from_wire(dict wire: Dict[str, Any])", "", "Deserialize a wire format value back to Python."],
            {"wire": "Dict[str, Any]", "return": "Any"},
        ),
    ],
)
def test_method_docs_and_annotations(name, first_lines, annotations):
    fn = getattr(com_like.Serializer, name)
    assert fn.__doc__.splitlines()[:3] == first_lines
    assert fn.__qualname__ == f"Serializer.{name}"
    assert fn.__annotations__ == annotations
    assert list(inspect.signature(fn).parameters) == [next(iter(annotations))]


def test_docs_name_what_is_supported():
    doc = " ".join(com_like.Serializer.to_wire.__doc__.split())
    assert "None, bool, int, float, str, datetime, bytes, list, dict, and OfficeJsObject wrappers" in doc
    doc = " ".join(com_like.Serializer.from_wire.__doc__.split())
    assert "Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, and special OfficeJs object references" in doc


def test_callable_on_class_and_instance_by_position_or_keyword():
    S = com_like.Serializer
    assert S.to_wire(value=1) == S().to_wire(1) == {"type": "Int", "value": 1, "isSpec": False}
    assert S.from_wire(wire={"type": "Int", "value": 1}) == S().from_wire({"type": "Int", "value": 1}) == 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda S: S.to_wire(), "Serializer.to_wire() missing 1 required positional argument: 'value'"),
        (lambda S: S.to_wire(1, 2), "Serializer.to_wire() takes 1 positional argument but 2 were given"),
        (lambda S: S.to_wire(val=1), "Serializer.to_wire() got an unexpected keyword argument 'val'"),
        (lambda S: S.to_wire(1, value=1), "Serializer.to_wire() got multiple values for argument 'value'"),
        (lambda S: S.from_wire(), "Serializer.from_wire() missing 1 required positional argument: 'wire'"),
        (lambda S: S.from_wire({}, {}), "Serializer.from_wire() takes 1 positional argument but 2 were given"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(com_like.Serializer)
    assert str(info.value) == message


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "wire, got, noted",
    [(None, "NoneType", False), ([], "list", False), ("x", "str", False), (DictSub(), "DictSub", True)],
)
def test_from_wire_takes_exactly_a_dict(wire, got, noted):
    with pytest.raises(TypeError) as info:
        com_like.Serializer.from_wire(wire)
    assert str(info.value) == f"Argument 'wire' has incorrect type (expected dict, got {got})"
    assert bool(getattr(info.value, "__notes__", None)) is noted
