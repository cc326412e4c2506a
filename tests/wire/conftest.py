"""Helpers for the wire tests: wire literals and stand-in proxy classes."""

import pytest


def w(tag, value, spec=False):
    """The wire value the encoder builds."""
    return {"type": tag, "value": value, "isSpec": spec}


class StandInArray(list):
    """Records how the decoder builds an array proxy."""

    def __init__(self, object_id):
        super().__init__()
        self.object_id = object_id
        self.extend_calls = 0

    def extend(self, items):
        self.extend_calls += 1
        super().extend(items)


class StandInDict(dict):
    def __init__(self, object_id):
        super().__init__()
        self.object_id = object_id
        self.update_calls = 0

    def update(self, entries):
        self.update_calls += 1
        super().update(entries)


class StandInObject:
    def __init__(self, object_id, type_name):
        self.args = (object_id, type_name)


@pytest.fixture
def stand_ins(mod, monkeypatch):
    monkeypatch.setattr(mod, "OfficeJsArray", StandInArray)
    monkeypatch.setattr(mod, "OfficeJsDict", StandInDict)
    monkeypatch.setattr(mod, "OfficeJsObject", StandInObject)
    return mod


@pytest.fixture
def to_wire(mod):
    return mod.Serializer.to_wire


@pytest.fixture
def from_wire(mod):
    return mod.Serializer.from_wire
