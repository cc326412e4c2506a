"""Test doubles for the proxy tests.

`Recorder` is the shared inline host (it answers every envelope while the
send handler runs, so a proxy operation completes on the calling thread
without a listener) with views of the request bodies.
`StubSerializer` stands in for the wire codec where a test is about the
operations rather than about the wire format: it tags what it encodes and
wraps what it decodes, so a test can tell which value went through which
side.
"""

from velmara_master.python_server.velmara.testing import NULL_WIRE, InlineHost

__all__ = ["NULL_WIRE", "CannedMessaging", "Decoded", "Recorder", "StubSerializer", "Unencodable"]


class Recorder(InlineHost):
    @property
    def bodies(self):
        """The request bodies: each envelope without the two keys messaging adds."""
        out = []
        for envelope in self.envelopes:
            items = list(envelope.items())
            assert [k for k, _ in items[-2:]] == ["requestId", "kind"]
            out.append(dict(items[:-2]))
        return out

    @property
    def requests(self):
        """The bodies other than DEL (proxies dropped on the way send those)."""
        return [b for b in self.bodies if b["method"] != "DEL"]

    def methods(self):
        return [e["method"] for e in self.envelopes]


class Unencodable:
    """A value the stub codec refuses."""


class Decoded:
    def __init__(self, wire):
        self.wire = wire

    def __eq__(self, other):
        return isinstance(other, Decoded) and other.wire == self.wire

    def __repr__(self):
        return f"Decoded({self.wire!r})"


class StubSerializer:
    @staticmethod
    def to_wire(value):
        if isinstance(value, Unencodable):
            raise ValueError("stub cannot encode")
        return {"type": "Stub", "value": value}

    @staticmethod
    def from_wire(wire):
        return Decoded(wire)


class CannedMessaging:
    """A `messaging` stand-in whose send_request_sync returns a fixed response."""

    def __init__(self, guid, response):
        self._guid = guid
        self.response = response
        self.bodies = []

    def send_request_sync(self, req):
        self.bodies.append(req)
        return self.response
