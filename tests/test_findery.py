"""Engine kinds, the engine base class and its debug dump."""

import datetime
import enum
import json
import os

import pytest

from wrapper.core.Findery import Findery
from wrapper.infra.Enginekind import Enginekind
from wrapper.infra.Idiomark import Idiomark


def test_engine_kinds():
    assert issubclass(Enginekind, enum.Enum)
    assert [m.name for m in Enginekind] == ["SB", "TD"]
    assert Enginekind.TD != "TD" and Enginekind.TD == Enginekind.TD
    assert Enginekind("SB") is Enginekind.SB


class TestBaseClass:
    def test_plain_class_with_no_op_operations(self):
        assert type(Findery) is type and Findery.__bases__ == (object,)
        engine = Findery()
        assert vars(engine) == {}
        for op in ("train_model", "save_model", "load_model", "search_documents"):
            assert getattr(engine, op)() is None
            with pytest.raises(TypeError):
                getattr(engine, op)("extra")

    def test_subclass_overrides_and_inherits(self, tmp_path):
        class Engine(Findery):
            def __init__(self, where):
                super().__init__()
                self.where = where

            def train_model(self, doc):
                self.save_debug_json({"doc": doc}, self.where)

        engine = Engine(str(tmp_path / "d.json"))
        engine.train_model("a")
        assert json.loads((tmp_path / "d.json").read_text())["doc"] == "a"
        assert engine.save_model() is None


class TestDebugDump:
    def test_empty_mapping_layout(self, tmp_path):
        path = tmp_path / "debug.json"
        dc = {}
        Findery().save_debug_json(dc, str(path))
        text = path.read_text()
        lines = text.split("\n")
        assert len(lines) == 3 and lines[0] == "{" and lines[2] == "}"
        assert lines[1].startswith('    "updated_at": "')
        assert not text.endswith("\n")
        stamp = json.loads(text)["updated_at"]
        assert dc == {"updated_at": stamp}
        assert abs(datetime.datetime.fromisoformat(stamp) - datetime.datetime.now()) < datetime.timedelta(minutes=1)

    def test_existing_key_keeps_its_place_and_second_call_replaces(self, tmp_path):
        path = tmp_path / "debug.json"
        dc = {"updated_at": "old", "b": "ç", "n": None}
        Findery().save_debug_json(dc, str(path))
        first = path.read_text()
        assert list(dc) == ["updated_at", "b", "n"] and dc["updated_at"] != "old"
        assert '"b": "\\u00e7"' in first and '"n": null' in first
        Findery().save_debug_json({"only": 1}, str(path))
        assert list(json.loads(path.read_text())) == ["only", "updated_at"]

    def test_language_members_are_written_as_their_value(self, tmp_path):
        # Engines store a document's detected language as a member; the dump
        # must not fail on it (it used to, after the model was replaced).
        path = tmp_path / "debug.json"
        dc = {"multilang_models": {"7": Idiomark.SPANISH, "8": None}, "document_names": ["7", "8"]}
        Findery().save_debug_json(dc, str(path))
        assert json.loads(path.read_text())["multilang_models"] == {"7": "es", "8": None}
        assert dc["multilang_models"]["7"] is Idiomark.SPANISH

    def test_unserialisable_value_leaves_existing_dump(self, tmp_path):
        path = tmp_path / "debug.json"
        Findery().save_debug_json({"a": 1}, str(path))
        before = path.read_text()
        dc = {"a": {1, 2}}
        with pytest.raises(TypeError, match="Object of type set is not JSON serializable"):
            Findery().save_debug_json(dc, str(path))
        assert path.read_text() == before
        assert "updated_at" in dc
        assert os.listdir(tmp_path) == ["debug.json"]

    def test_missing_directory(self, tmp_path):
        target = tmp_path / "missing" / "debug.json"
        with pytest.raises(FileNotFoundError) as info:
            Findery().save_debug_json({}, str(target))
        assert info.value.filename == str(target)

    def test_path_like_target(self, tmp_path):
        Findery().save_debug_json({}, tmp_path / "debug.json")
        assert (tmp_path / "debug.json").is_file()


def random_value(rng, depth=0):
    letters = ["a", "Z", "ç", "ã", "\u00e9", "\U0001F600", "\ud800", '"', "\\", ",", ":", " ", "{", "]",
               "\n", "\t", "\x00", "\x1f", "\x7f", "\u2028", ", ", '\\"', "é"]
    kind = rng.choice(["str", "int", "float", "const", "enum", "dict", "list", "tuple"] if depth < 4
                      else ["str", "int", "float", "const"])
    if kind == "str":
        return "".join(rng.choice(letters) for _ in range(rng.randint(0, 6)))
    if kind == "int":
        return rng.choice([0, -1, 7, 2**70, -(2**40), True, False])
    if kind == "float":
        return rng.choice([0.5, -0.0, 1e300, 1e-7, float("nan"), float("inf"), -float("inf"), 3.0])
    if kind == "const":
        return None
    if kind == "enum":
        return rng.choice(list(Idiomark))
    n = rng.choice([0, 1, 3])
    if kind == "dict":
        keys = [rng.choice([random_value(rng, 9), rng.randint(-5, 5), 2.5, True, None]) for _ in range(n)]
        return {k: random_value(rng, depth + 1) for k in keys}
    items = [random_value(rng, depth + 1) for _ in range(n)]
    return items if kind == "list" else tuple(items)


def test_dump_text_is_json_dumps_with_its_indent(tmp_path):
    # Random nested values (strings holding quotes, escapes, commas and
    # brackets; non-string keys; every number json writes; members written
    # as their value): the dump is the text json.dumps(dc, indent=4) makes.
    import random
    rng = random.Random(11)
    path = tmp_path / "debug.json"
    for _ in range(400):
        dc = {random_value(rng, 9): random_value(rng) for _ in range(rng.randint(0, 4))}
        dc = {str(k): v for k, v in dc.items()}
        Findery().save_debug_json(dc, str(path))
        assert path.read_text() == json.dumps(dc, indent=4, default=lambda o: o.value), dc


def test_a_hosts_dumps_is_asked_for_the_indent(tmp_path, monkeypatch):
    asked = []
    own = json.dumps

    def dumps(obj, **kw):
        asked.append(kw.get("indent"))
        return own(obj, **kw).replace("lava", "magma")

    monkeypatch.setattr(json, "dumps", dumps)
    Findery().save_debug_json({"a": ["lava", {}]}, str(tmp_path / "d.json"))
    assert asked == [4]
    assert (tmp_path / "d.json").read_text().startswith('{\n    "a": [\n        "magma",\n        {}\n    ],')

