"""The extension's interned names follow one rule (written at the top of
capi/names.hpp): each is named by its role, and each text is interned once."""

import pathlib
import re

SOURCES = pathlib.Path(__file__).resolve().parents[2] / "python_server/velmara/com_like"
ENTRY = re.compile(r'X\((\w+), "((?:[^"\\]|\\.)*)"\)')
ROLES = ("key_", "attr_", "global_", "tag_", "method_", "text_")


def entries() -> list[tuple[str, str, str]]:
    found = []
    for path in sorted(SOURCES.rglob("*.[ch]pp")):
        source = path.read_text()
        for table in re.finditer(r"^#define \w+\(X\)((?:.*\\\n)*.*)", source, re.M):
            found += [(str(path.relative_to(SOURCES)), name, text) for name, text in ENTRY.findall(table.group(1))]
    return found


def test_every_name_is_named_by_its_role():
    listed = entries()
    assert len(listed) > 100  # the tables were found
    assert [(path, name) for path, name, _ in listed if not name.startswith(ROLES)] == []


def test_every_text_is_interned_once():
    seen: dict[str, list[str]] = {}
    for path, name, text in entries():
        seen.setdefault(text, []).append(f"{path}:{name}")
    assert {text: where for text, where in seen.items() if len(where) > 1} == {}
