"""The add-in's protocol words (addin/src/protocol.mjs) equal the kernel's (velmara.protocol)."""

from __future__ import annotations

import json
import math
import pathlib
import shutil
import subprocess
from typing import Any

import pytest

from velmara_master.python_server.velmara import protocol

PROTOCOL_MJS = pathlib.Path(__file__).resolve().parents[2] / "addin" / "src" / "protocol.mjs"

# JavaScript group -> (Python prefix, the names of that group)
GROUPS = {
    "KIND": ("KIND_", ["REQUEST", "RELEASE", "CALLBACK_RESULT", "DIAG", "RESPONSE", "CALLBACK", "DIAG_RESULT"]),
    "METHOD": ("METHOD_", ["GET", "SET", "GETITEM", "CALL", "DEL"]),
    "ARG": ("ARG_", ["PLACED", "NAMED"]),
    "ID": ("ROOT_", ["CONTEXT", "EXCEL", "GET_SETTING"]),
    "TAG": ("TAG_", ["NULL", "BOOL", "INT", "FLOAT", "STRING", "DATE", "BYTES", "ARRAY", "DICT",
                     "PYTHON_FUNCTION"]),
    "CLOSE": ("CLOSE_", ["NORMAL", "TOO_BIG", "STALLED"]),
}


@pytest.fixture(scope="module")
def js() -> dict[str, Any]:
    node = shutil.which("node")
    if node is None:
        pytest.skip("node not found: the add-in's vocabulary cannot be read")
    script = (f"import * as p from {json.dumps(PROTOCOL_MJS.as_uri())};"
              "process.stdout.write(JSON.stringify(p));")
    out = subprocess.run([node, "--input-type=module", "-e", script], capture_output=True, text=True,
                         timeout=120, check=True)
    values: dict[str, Any] = json.loads(out.stdout)
    return values


@pytest.mark.parametrize("group", sorted(GROUPS))
def test_group_equals_the_kernels(js: dict[str, Any], group: str) -> None:
    prefix, names = GROUPS[group]
    # Every JavaScript name is checked, so a word added on one side only fails here.
    assert sorted(js[group]) == sorted(names + (["SNAPSHOT"] if group == "ID" else []))
    for name in names:
        assert js[group][name] == getattr(protocol, prefix + name), f"{group}.{name}"


def test_reserved_ids_limits_and_texts(js: dict[str, Any]) -> None:
    ids = js["ID"]
    assert ids["SNAPSHOT"] == protocol.SNAPSHOT_ID
    assert {ids[n] for n in ("CONTEXT", "EXCEL", "GET_SETTING")} == protocol.ROOT_IDS
    assert js["MAX_FRAME_CHARS"] == protocol.MAX_FRAME_CHARS
    assert js["NULL"] == {"type": protocol.TAG_NULL, "value": None, "isSpec": False}
    texts = js["NON_FINITE_TEXT"]
    assert [texts[n] for n in ("NAN", "INFINITY", "MINUS_INFINITY")] == [
        protocol.float_text(v) for v in (math.nan, math.inf, -math.inf)]
