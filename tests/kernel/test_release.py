"""Coalescing released ids: full batches leave at once; roots and snapshots never leave."""

import pytest

from velmara_master.python_server.velmara.kernel.release import ReleaseBatcher


@pytest.mark.parametrize("limit, adds, frames", [(3, [5, 6, 7, 8], [[5, 6, 7]]), (100, [0, -1, 2, True], [])])
def test_a_full_batch_goes_out_at_once_and_local_ids_never(limit, adds, frames):
    sent = []
    batcher = ReleaseBatcher(sent.append, limit=limit, interval=60)
    try:
        for object_id in adds:
            batcher.add(object_id)
        assert sent == frames
        batcher.flush()
        assert sum(sent, []) == [i for i in adds if type(i) is int and i > 2]
    finally:
        batcher.close()
