"""Releases over the real transport: plain data costs nothing, references go in release frames."""

ROWS = 10_000


def test_a_large_read_and_drop_sends_no_del_and_the_table_returns_to_baseline(bridge, sheet):
    rng = sheet.getRange(f"A1:C{ROWS}")
    rng.values = [[r, r / 2, f"r{r}"] for r in range(ROWS)]
    baseline = bridge.objects()
    before = bridge.kernel.diagnostics()
    values = rng.values
    assert len(values) == ROWS and values[-1][2] == f"r{ROWS - 1}"
    cells = [rng.getCell(r, 0) for r in range(20)]  # references: these do need releasing
    del values, cells
    assert bridge.objects_settled(baseline) == baseline
    after = bridge.kernel.diagnostics()
    assert after["requests"].get("DEL", 0) == before["requests"].get("DEL", 0)
    assert (after["releaseFrames"] > before["releaseFrames"]
            and after["staleDels"] == before["staleDels"]), (before, after)
