"""Test doubles of a host, for the test suite and the benchmarks alike.

A host registers a send handler with a `Messaging` and feeds the add-in's
answers back through `on_message`; these doubles do that in process, without
a connection, so tests and benchmarks drive real request/response cycles.
They ship with the package (like numpy.testing) so that `tests/` and
`bench/` import one copy by name instead of loading each other's files.
"""

from ..protocol import NULL_WIRE
from .hosts import (
    Answer,
    Envelope,
    Host,
    InlineHost,
    Listener,
    Response,
    ThreadedHost,
    null_answer,
    wait_entered,
)
from .peer import Peer
from .processes import foreign_env

__all__ = [
    "NULL_WIRE",
    "Answer",
    "Envelope",
    "Host",
    "InlineHost",
    "Listener",
    "Peer",
    "Response",
    "ThreadedHost",
    "foreign_env",
    "null_answer",
    "wait_entered",
]
