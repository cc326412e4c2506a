"""Coalescing released ids: full batches leave at once; roots, snapshots and junk never leave."""

import itertools
import time

from velmara_master.python_server.velmara.kernel.release import ReleaseBatcher


def test_a_full_batch_leaves_without_waiting_for_the_interval():
    sent = []
    batcher = ReleaseBatcher(sent.append, limit=3, interval=60)
    batcher.start()
    try:
        for object_id in (5, 0, 1, 2, -1, 2**60, "x", True, 6, 7, 8):
            batcher.add(object_id)
        deadline = time.monotonic() + 60
        while not sent and time.monotonic() < deadline:
            time.sleep(0.01)
        assert sent and sent[0] == [5, 6, 7]
        batcher.flush()
        assert list(itertools.chain.from_iterable(sent)) == [5, 6, 7, 8] and all(len(frame) <= 3 for frame in sent)
    finally:
        batcher.close()
