"""Construction, fields, reprs and class tables of the proxy classes."""

import copy
import fractions
import io
import math
import pickle

import numpy as np
import pytest

import com_like

FIELDS = ["_internal_id", "_internal_typeName", "_msg_guid", "_typ", "_internal_cache"]
CLASSES = ["OfficeJsObject", "OfficeJsArray", "OfficeJsDict"]


def make(cls_name, object_id, type_name="Thing"):
    cls = getattr(com_like, cls_name)
    if cls_name == "OfficeJsObject":
        return cls(object_id, type_name)
    return cls(object_id)


class TestObjectId:
    @pytest.mark.parametrize("cls_name", CLASSES)
    @pytest.mark.parametrize(
        "given, expected",
        [
            (7, 7),
            (-3, -3),
            (2**80, 2**80),
            (True, 1),
            (False, 0),
            (2.9, 2),
            (-2.9, -2),
            (np.int64(12), 12),
            (np.uint8(200), 200),
            (np.float32(4.5), 4),
            (fractions.Fraction(7, 2), 3),
        ],
    )
    def test_numbers_become_exact_ints(self, cls_name, given, expected):
        p = make(cls_name, given)
        assert type(p._internal_id) is int
        assert p._internal_id == expected

    def test_exact_int_is_kept_as_the_same_object(self):
        big = 2**100 + 1
        assert com_like.OfficeJsObject(big, "X")._internal_id is big

    @pytest.mark.parametrize("cls_name", CLASSES)
    @pytest.mark.parametrize(
        "given, exc",
        [(math.nan, ValueError), (math.inf, OverflowError), (-math.inf, OverflowError), (1 + 2j, TypeError)],
    )
    def test_conversion_errors_propagate(self, cls_name, given, exc):
        with pytest.raises(exc) as info:
            make(cls_name, given)
        assert "incorrect type" not in str(info.value)

    @pytest.mark.parametrize("cls_name", CLASSES)
    @pytest.mark.parametrize(
        "given, type_text", [("1", "str"), (None, "NoneType"), (b"1", "bytes"), ([1], "list"), (object(), "object")]
    )
    def test_non_numbers_are_refused(self, cls_name, given, type_text):
        with pytest.raises(TypeError) as info:
            make(cls_name, given)
        assert str(info.value) == f"Argument 'object_id' has incorrect type (expected int, got {type_text})"
        assert getattr(info.value, "__notes__", []) == []

    def test_refused_argument_stores_nothing(self):
        p = com_like.OfficeJsObject.__new__(com_like.OfficeJsObject)
        with pytest.raises(TypeError):
            p.__init__("1", "X")
        assert vars(p) == {}


class TestTypeName:
    def test_exact_str_is_kept(self):
        name = "".join(["Work", "sheet"])
        assert com_like.OfficeJsObject(1, name)._internal_typeName is name

    @pytest.mark.parametrize("given, type_text", [(None, "NoneType"), (1, "int"), (b"X", "bytes")])
    def test_non_str_is_refused(self, given, type_text):
        with pytest.raises(TypeError) as info:
            com_like.OfficeJsObject(1, given)
        assert str(info.value) == f"Argument 'type_name' has incorrect type (expected str, got {type_text})"
        assert getattr(info.value, "__notes__", []) == []

    def test_str_subclass_is_refused_with_a_note(self):
        class Name(str):
            pass

        with pytest.raises(TypeError) as info:
            com_like.OfficeJsObject(1, Name("Function"))
        assert str(info.value) == "Argument 'type_name' has incorrect type (expected str, got Name)"
        assert len(info.value.__notes__) == 1
        assert "ubclass" in info.value.__notes__[0]

    def test_object_id_is_checked_before_type_name(self):
        with pytest.raises(TypeError, match="'object_id'"):
            com_like.OfficeJsObject(None, None)


class TestSignatures:
    def test_keywords(self):
        p = com_like.OfficeJsObject(type_name="Excel", object_id=1)
        assert (p._internal_id, p._internal_typeName) == (1, "Excel")
        assert com_like.OfficeJsArray(object_id=4)._internal_id == 4
        assert com_like.OfficeJsDict(object_id=5)._internal_id == 5

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: com_like.OfficeJsObject(),
             "OfficeJsObject.__init__() missing 2 required positional arguments: 'object_id' and 'type_name'"),
            (lambda: com_like.OfficeJsObject(1),
             "OfficeJsObject.__init__() missing 1 required positional argument: 'type_name'"),
            (lambda: com_like.OfficeJsObject(1, "X", 3),
             "OfficeJsObject.__init__() takes 3 positional arguments but 4 were given"),
            (lambda: com_like.OfficeJsObject(1, "X", color=3),
             "OfficeJsObject.__init__() got an unexpected keyword argument 'color'"),
            (lambda: com_like.OfficeJsObject(1, object_id=1),
             "OfficeJsObject.__init__() got multiple values for argument 'object_id'"),
            (lambda: com_like.OfficeJsArray(),
             "OfficeJsArray.__init__() missing 1 required positional argument: 'object_id'"),
            (lambda: com_like.OfficeJsArray(1, 2),
             "OfficeJsArray.__init__() takes 2 positional arguments but 3 were given"),
            (lambda: com_like.OfficeJsDict(),
             "OfficeJsDict.__init__() missing 1 required positional argument: 'object_id'"),
            (lambda: com_like.OfficeJsDict(1, type_name="Dict"),
             "OfficeJsDict.__init__() got an unexpected keyword argument 'type_name'"),
            (lambda: com_like.OfficeJsObject.__repr__(),
             "OfficeJsObject.__repr__() missing 1 required positional argument: 'self'"),
            (lambda: com_like.OfficeJsArray.__repr__(com_like.OfficeJsArray(1), 2),
             "OfficeJsArray.__repr__() takes 1 positional argument but 2 were given"),
        ],
    )
    def test_wrong_argument_counts(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_init_returns_none(self):
        p = com_like.OfficeJsObject(1, "X")
        assert p.__init__(2, "Y") is None
        assert (p._internal_id, p._internal_typeName) == (2, "Y")


class TestFields:
    @pytest.mark.parametrize(
        "cls_name, type_name, typ",
        [
            ("OfficeJsObject", "Range", "officejs_object"),
            ("OfficeJsArray", "Array", "officejs_array"),
            ("OfficeJsDict", "Dict", "officejs_dict"),
        ],
    )
    def test_fields_and_their_order(self, cls_name, type_name, typ):
        p = make(cls_name, 11, "Range")
        assert list(vars(p)) == FIELDS
        assert vars(p) == {
            "_internal_id": 11,
            "_internal_typeName": type_name,
            "_msg_guid": com_like.messaging._guid,
            "_typ": typ,
            "_internal_cache": {},
        }
        assert type(p._internal_cache) is dict

    @pytest.mark.parametrize("cls_name", CLASSES)
    def test_each_proxy_has_its_own_cache(self, cls_name):
        a, b = make(cls_name, 1), make(cls_name, 1)
        assert a._internal_cache is not b._internal_cache

    def test_containers_start_empty(self):
        assert list(com_like.OfficeJsArray(1)) == []
        assert dict(com_like.OfficeJsDict(1)) == {}

    def test_reinit_empties_an_array_but_keeps_dict_entries(self):
        a = com_like.OfficeJsArray(1)
        a.extend([1, 2, 3])
        a.__init__(2)
        assert list(a) == [] and a._internal_id == 2
        d = com_like.OfficeJsDict(1)
        d["k"] = "v"
        d.__init__(3)
        assert dict(d) == {"k": "v"} and d._internal_id == 3

    def test_subclass_with_mixin_reaches_the_next_base_in_its_mro(self):
        calls = []

        class Mixin(list):
            def __init__(self, *args):
                calls.append(args)
                super().__init__(*args)

        class Sub(com_like.OfficeJsArray, Mixin):
            pass

        s = Sub(4)
        assert calls == [()]
        assert list(vars(s)) == FIELDS and s._typ == "officejs_array"
        s.append(1)
        s.__init__(5)
        assert list(s) == [] and calls == [(), ()]

    def test_subclass_dict_with_mixin_first(self):
        class Mixin:
            pass

        class Sub(Mixin, com_like.OfficeJsDict):
            pass

        s = Sub(6)
        assert isinstance(s, dict) and s._internal_typeName == "Dict"

    @pytest.mark.parametrize("cls_name", ["OfficeJsArray", "OfficeJsDict"])
    def test_init_on_a_foreign_object_is_refused_by_super(self, cls_name):
        cls = getattr(com_like, cls_name)
        target = com_like.OfficeJsObject(1, "X")
        with pytest.raises(TypeError, match="super"):
            cls.__init__(target, 3)

    @pytest.mark.parametrize("cls_name", CLASSES)
    def test_messaging_is_looked_up_at_each_construction(self, mod, cls_name):
        class StandIn:
            _guid = "f" * 32

        mod.messaging = StandIn()
        assert make(cls_name, 1)._msg_guid == "f" * 32

    @pytest.mark.parametrize("cls_name", CLASSES)
    def test_missing_messaging_keeps_earlier_fields(self, mod, cls_name):
        del mod.messaging
        cls = getattr(com_like, cls_name)
        p = cls.__new__(cls)
        with pytest.raises(NameError) as info:
            p.__init__(8, "X") if cls_name == "OfficeJsObject" else p.__init__(8)
        assert str(info.value) == "name 'messaging' is not defined"
        assert list(vars(p)) == FIELDS[:2] and p._internal_id == 8

    def test_messaging_without_guid(self, mod):
        mod.messaging = object()
        with pytest.raises(AttributeError):
            com_like.OfficeJsObject(1, "X")

    def test_construction_sends_nothing(self, recorder):
        p = com_like.OfficeJsObject(1, "X")
        repr(p), p._internal_id, p._internal_typeName
        assert recorder.envelopes == []


class TestRepr:
    def test_object(self):
        assert repr(com_like.OfficeJsObject(42, "Worksheet")) == "<OfficeJsObject Worksheet id=42>"
        assert repr(com_like.Excel) == "<OfficeJsObject Excel id=1>"
        assert repr(com_like.Context) == "<OfficeJsObject RequestContext id=0>"
        assert repr(com_like.GetSetting) == "<OfficeJsObject Function id=2>"

    def test_array(self):
        a = com_like.OfficeJsArray(7)
        assert repr(a) == "<OfficeJsArray id=7 len=0>"
        a.extend(["x", "y"])
        assert repr(a) == "<OfficeJsArray id=7 len=2>"

    def test_dict(self):
        d = com_like.OfficeJsDict(9)
        assert repr(d) == "<OfficeJsDict id=9 keys=[]>"
        d["a"], d["b"], d[3] = 1, 2, 3
        assert repr(d) == "<OfficeJsDict id=9 keys=['a', 'b', 3]>"

    def test_fields_are_formatted(self):
        p = com_like.OfficeJsObject(1, "X")
        object.__setattr__(p, "_internal_id", 2.5)
        object.__setattr__(p, "_internal_typeName", ["T"])
        assert repr(p) == "<OfficeJsObject ['T'] id=2.5>"

    @pytest.mark.parametrize("cls_name", CLASSES)
    def test_without_fields_raises_attribute_error_and_sends_nothing(self, cls_name, recorder):
        cls = getattr(com_like, cls_name)
        with pytest.raises(AttributeError):
            repr(cls.__new__(cls))
        assert recorder.envelopes == []


class TestClassTables:
    def test_object_docstring(self):
        assert com_like.OfficeJsObject.__doc__ == (
            "\n"
            "    Dynamic proxy class for Office.js objects.\n"
            "\n"
            "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
            "    operations to the Office.js Add-in via WebSocket.\n"
            "    "
        )

    def test_container_docstrings(self):
        assert com_like.OfficeJsArray.__doc__ == "Specialized proxy for arrays returned from Office.js."
        assert com_like.OfficeJsDict.__doc__ == "Specialized proxy for dictionaries returned from Office.js."

    @pytest.mark.parametrize(
        "cls_name, base, members",
        [
            ("OfficeJsObject", object,
             ["__init__", "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__", "__repr__"]),
            ("OfficeJsArray", list, ["__init__", "__getattr__", "__setattr__", "__call__", "__del__", "__repr__"]),
            ("OfficeJsDict", dict, ["__init__", "__getattr__", "__setattr__", "__call__", "__del__", "__repr__"]),
        ],
    )
    def test_class_shape(self, cls_name, base, members):
        cls = getattr(com_like, cls_name)
        assert type(cls) is type
        assert cls.__bases__ == (base,)
        assert cls.__module__ == "velmara_master.python_server.velmara.com_like"
        assert cls.__qualname__ == cls_name and cls.__name__ == cls_name
        own = [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__")]
        assert own == members
        assert "__slots__" not in vars(cls)
        assert not issubclass(cls, com_like.OfficeJsObject) or cls is com_like.OfficeJsObject

    @pytest.mark.parametrize(
        "cls_name, method, doc",
        [
            ("OfficeJsObject", "__init__", "OfficeJsObject.__init__(self, int object_id: int, str type_name: str)"),
            ("OfficeJsArray", "__init__", "OfficeJsArray.__init__(self, int object_id: int)"),
            ("OfficeJsDict", "__init__", "OfficeJsDict.__init__(self, int object_id: int)"),
            ("OfficeJsObject", "__repr__", "OfficeJsObject.__repr__(self)"),
            ("OfficeJsArray", "__repr__", "OfficeJsArray.__repr__(self)"),
            ("OfficeJsDict", "__repr__", "OfficeJsDict.__repr__(self)"),
            ("OfficeJsObject", "__getattr__", "OfficeJsObject.__getattr__(self, str name: str)"),
            ("OfficeJsObject", "__getitem__", "OfficeJsObject.__getitem__(self, index)"),
            ("OfficeJsObject", "__setattr__", "OfficeJsObject.__setattr__(self, str name: str, value)"),
            ("OfficeJsObject", "__call__", "OfficeJsObject.__call__(self, *args, **kwargs)"),
            ("OfficeJsObject", "__del__", "OfficeJsObject.__del__(self)"),
            ("OfficeJsArray", "__getattr__", "OfficeJsArray.__getattr__(self, str name: str)"),
            ("OfficeJsArray", "__setattr__", "OfficeJsArray.__setattr__(self, str name: str, value)"),
            ("OfficeJsArray", "__call__", "OfficeJsArray.__call__(self, *args, **kwargs)"),
            ("OfficeJsArray", "__del__", "OfficeJsArray.__del__(self)"),
            ("OfficeJsDict", "__getattr__", "OfficeJsDict.__getattr__(self, str name: str)"),
            ("OfficeJsDict", "__setattr__", "OfficeJsDict.__setattr__(self, str name: str, value)"),
            ("OfficeJsDict", "__call__", "OfficeJsDict.__call__(self, *args, **kwargs)"),
            ("OfficeJsDict", "__del__", "OfficeJsDict.__del__(self)"),
        ],
    )
    def test_method_docstrings_and_names(self, cls_name, method, doc):
        func = vars(getattr(com_like, cls_name))[method]
        assert func.__doc__ == doc
        assert func.__qualname__ == f"{cls_name}.{method}"
        assert func.__name__ == method

    @pytest.mark.parametrize(
        "name, doc",
        [
            ("_cw__getattr__", "_cw__getattr__(self, str name: str)\n\nGet attribute proxy method for OfficeJsObject."),
            ("_cw__getitem__", "_cw__getitem__(self, index)\n\nGet item proxy method for OfficeJsObject."),
            ("_cw__setattr__",
             "_cw__setattr__(self, str name: str, value)\n\nSet attribute proxy method for OfficeJsObject."),
            ("_cw__call__",
             "_cw__call__(self, *args, **kwargs)\n\nCall proxy method for OfficeJsObject (Function type)."),
            ("_cw__del__", "_cw__del__(self)\n\nDelete proxy method for OfficeJsObject."),
        ],
    )
    def test_operation_docstrings(self, name, doc):
        func = getattr(com_like, name)
        assert func.__doc__ == doc
        assert func.__qualname__ == name and func.__name__ == name

    def test_methods_bind_like_functions(self):
        p = com_like.OfficeJsObject(3, "X")
        bound = p.__repr__
        assert bound.__self__ is p and bound.__func__ is vars(com_like.OfficeJsObject)["__repr__"]
        assert com_like.OfficeJsObject.__repr__(p) == "<OfficeJsObject X id=3>"

    def test_instances_have_a_dict_and_are_the_right_kind(self):
        a, d = com_like.OfficeJsArray(1), com_like.OfficeJsDict(1)
        assert isinstance(a, list) and not isinstance(a, com_like.OfficeJsObject)
        assert isinstance(d, dict) and not isinstance(d, com_like.OfficeJsObject)
        assert hasattr(com_like.OfficeJsObject(1, "X"), "__dict__")

    def test_internal_names(self):
        assert type(com_like._internal_officejs_names) is list
        assert com_like._internal_officejs_names == [
            "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
            "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__",
        ]


# A copy would be a twin of the same remote object that the add-in never
# counted: two releases for one reference.
@pytest.mark.parametrize("make", [lambda: com_like.OfficeJsObject(5, "Range"), lambda: com_like.OfficeJsArray(6),
                                  lambda: com_like.OfficeJsDict(7)], ids=["object", "array", "dict"])
@pytest.mark.parametrize("duplicate", [copy.copy, pickle.dumps, lambda p: pickle.dumps(p, 0),
                                       lambda p: pickle._Pickler(io.BytesIO()).dump(p)],
                         ids=["copy", "pickle", "pickle protocol 0", "pure-Python pickler"])
def test_proxies_cannot_be_copied_or_pickled(make, duplicate):
    proxy = make()
    with pytest.raises(TypeError) as info:
        duplicate(proxy)
    assert str(info.value) == f"cannot copy or pickle {type(proxy).__name__} proxies"
