"""The registry of Python callables handed to the add-in."""

import functools
import threading

import pytest

import com_like


def prefix(m):
    return f"pyfunc_{m._guid[:8]}_"


class CallMe:
    def __call__(self):
        return 1

    def method(self):
        return 2


@pytest.mark.parametrize(
    "make",
    [lambda: len, lambda: (lambda: 0), lambda: CallMe, lambda: CallMe().method, lambda: CallMe(),
     lambda: functools.partial(max, 1), lambda: type],
)
def test_register_accepts_every_callable(m, make):
    obj = make()
    ident = m.register_callable(obj)
    assert ident == prefix(m) + "1"
    assert m.get_callable(ident) is obj
    assert m._callable_registry == {ident: obj}


def test_ids_count_up_without_deduplication(m):
    ids = [m.register_callable(len) for _ in range(3)]
    assert ids == [prefix(m) + str(n) for n in (1, 2, 3)]
    assert all(m.get_callable(i) is len for i in ids)
    assert m._next_callable_id == 4


@pytest.mark.parametrize("obj, type_name", [(5, "int"), (None, "NoneType"), ("len", "str"), ([len], "list")])
def test_register_refuses_what_is_not_callable(m, obj, type_name):
    m.register_callable(len)
    with pytest.raises(TypeError) as info:
        m.register_callable(obj)
    assert str(info.value) == f"Object must be callable, got {type_name}"
    assert m._next_callable_id == 2 and len(m._callable_registry) == 1


def test_unknown_and_removed_ids(m):
    ident = m.register_callable(len)
    assert m.get_callable("pyfunc_nothing_1") is None
    assert m.unregister_callable("pyfunc_nothing_1") is None
    assert list(m._callable_registry) == [ident]
    assert m.unregister_callable(ident) is None
    assert m.get_callable(ident) is None
    assert m.register_callable(len) == prefix(m) + "2"  # the counter does not move back


def test_get_callable_of_none_names_the_parameter(m):
    with pytest.raises(TypeError) as info:
        m.get_callable(None)
    assert str(info.value) == "Argument 'callable_id' has incorrect type (expected str, got NoneType)"


def test_epochs_start_the_ids_afresh(m, monkeypatch):
    monkeypatch.delitem(vars(com_like), "Context", raising=False)
    old_prefix = prefix(m)
    old = [m.register_callable(len), m.register_callable(len)]
    m.reset()
    assert all(m.get_callable(i) is None for i in old)
    new = m.register_callable(print)
    assert new == prefix(m) + "1" and prefix(m) != old_prefix
    assert m.get_callable(new) is print


def test_the_registry_attributes_are_read_at_each_call(m):
    m._guid = "0123456789abcdef" * 2
    m._next_callable_id = 41
    assert m.register_callable(len) == "pyfunc_01234567_41"
    replacement = {}
    m._callable_registry = replacement
    ident = m.register_callable(len)
    assert replacement == {ident: len}


def test_concurrent_registrations_never_share_an_id(m):
    ids = []
    barrier = threading.Barrier(8)

    def worker():
        barrier.wait()
        ids.extend(m.register_callable(len) for _ in range(200))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert len(set(ids)) == 1600 == len(m._callable_registry)
    assert m._next_callable_id == 1601


class UsesRegistryOnDelete:
    """A callable whose finalizer uses the registry it was stored in."""

    def __init__(self, m, log):
        self.m, self.log = m, log

    def __call__(self):
        pass

    def __del__(self):
        self.log.append(self.m.register_callable(len))


@pytest.mark.parametrize("how", ["unregister", "reset", "reused id"])
def test_callables_are_let_go_outside_the_lock(m, in_thread, monkeypatch, how):
    monkeypatch.delitem(vars(com_like), "Context", raising=False)
    log = []
    ident = m.register_callable(UsesRegistryOnDelete(m, log))
    if how == "unregister":
        action = lambda: m.unregister_callable(ident)  # noqa: E731
    elif how == "reset":
        action = m.reset
    else:
        m._next_callable_id = 1  # the host rewinds the counter: the id is reused
        action = lambda: m.register_callable(print)  # noqa: E731
    finished, _, error = in_thread(action)
    assert finished, "deadlocked on _callable_lock"
    assert error is None and len(log) == 1 and log[0].startswith("pyfunc_")


def test_a_registration_racing_reset_cannot_lend_its_id_to_a_later_callable(m):
    # A registration that slips in while reset moves to the new epoch must not
    # mint an id that a registration of the new epoch hands out again: the
    # add-in would then call the wrong callable under it.
    lock = m._callable_lock
    raced = []

    class RacingLock:
        def acquire(self, *args):
            if not raced:  # the first acquire is reset's; another thread registers just before it
                raced.append(None)
                raced.append(m.register_callable(min))
            return lock.acquire(*args)

        def release(self):
            lock.release()

        __enter__ = acquire

        def __exit__(self, *exc):
            lock.release()

    m.register_callable(len)
    m.register_callable(len)
    m._callable_lock = RacingLock()
    m.reset()
    m._callable_lock = lock
    later = [m.register_callable(max) for _ in range(4)]
    assert raced[1] not in later
    assert all(m.get_callable(i) is max for i in later)
