"""Values read from a range go into numpy and pandas through the far end, and probes stay home."""

import numpy as np
import pandas as pd
import pytest

GRID = [[1, 2.5], [3, 4.0]]


def test_values_read_from_a_range_go_into_numpy_and_pandas(bridge, sheet):
    rng = sheet.getRange("A1:B2")
    rng.values = GRID
    before = bridge.kernel.stats()
    values = rng.values
    np.testing.assert_array_equal(np.array(values), np.array(GRID))
    np.testing.assert_array_equal(np.asarray(values, dtype=float), np.array(GRID))
    pd.testing.assert_frame_equal(pd.DataFrame(values), pd.DataFrame(GRID))
    assert not hasattr(values, "ndim") and getattr(values, "_repr_html_", None) is None
    assert not hasattr(rng, "__array__") and getattr(rng, "_ipython_display_", None) is None
    with pytest.raises(AttributeError, match="to_plain"):
        values.address
    after = bridge.kernel.stats()
    # One read of the values went out; every probe was answered by the kernel.
    assert after["requests"] - before["requests"] == 1
    assert after["local_answers"] > before["local_answers"]
