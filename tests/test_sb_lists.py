"""Large keys of the sentence-embedding engine are searched through inverted
lists kept beside the stored state."""

import os
import pathlib
import zlib
from types import SimpleNamespace

import joblib
import numpy as np
import pytest

from wrapper.core import FinderySB as sb_module
from wrapper.core.FinderySB import FinderySB
from wrapper.infra.Idiomark import Idiomark

EN = Idiomark.ENGLISH


def unit(v):
    return (v / np.linalg.norm(v, axis=-1, keepdims=True)).astype(np.float32)


def clustered(rng, n, dim=16, centres=12):
    """Unit vectors around a few centres, as embeddings of related texts are."""
    c = rng.normal(size=(centres, dim))
    return unit(c[rng.integers(centres, size=n)] + rng.normal(scale=0.4, size=(n, dim)))


class Table:
    """A model whose embeddings are looked up by text."""

    def __init__(self, vectors):
        self.vectors = vectors

    def encode(self, text, convert_to_tensor=True):
        return self.vectors[text]


class Hashed:
    """A fixed random unit vector per text."""

    def encode(self, text, convert_to_tensor=True):
        return unit(np.random.default_rng(zlib.crc32(text.encode())).normal(size=12))


def doc(id, text):
    return SimpleNamespace(id=id, text=text, detected_language=EN, translate_to=None)


@pytest.fixture
def small_keys(monkeypatch):
    """Lists from 50 documents on, every list probed unless a test says otherwise."""
    monkeypatch.setattr(sb_module, "APPROXIMATE_FROM", 50)
    monkeypatch.setattr(sb_module, "APPROXIMATE_PROBES", 10**6)


def exact(engine, query, language, page, per_page, monkeypatch):
    with monkeypatch.context() as m:
        m.setattr(sb_module, "APPROXIMATE_FROM", None)
        return engine.search_documents(query, language, page, per_page)


@pytest.mark.parametrize("seed, probes", [(0, 10**6), (1, 10**6), (2, None)])
def test_probing_every_list_gives_the_exact_pages(tmp_path, small_keys, monkeypatch, seed, probes):
    # By default a key this small is searched in all its lists.
    monkeypatch.setattr(sb_module, "APPROXIMATE_PROBES", probes)
    rng = np.random.default_rng(seed)
    vectors = clustered(rng, 600)
    queries = {f"q{i}": v for i, v in enumerate(clustered(rng, 6))}
    engine = FinderySB(str(tmp_path))
    engine.multilang_models = {"main": Table(queries)}
    engine.embedded_documents = {"main": list(vectors)}
    engine.document_names = {"main": [f"d{i}" for i in range(600)]}
    engine.save_model()
    lists, trained, homes = sb_module._search_lists(engine)["main"]
    assert trained == 600 and len(homes) == 600 and lists == 98
    for query in queries:
        for page, per_page in [(1, 10), (2, 7), (5, 30), (0, 5), (1, 2000), (400, 3)]:
            got = engine.search_documents(query, None, page, per_page)
            want = exact(engine, query, None, page, per_page, monkeypatch)
            assert [h["name"] for h in got[1]] == [h["name"] for h in want[1]]
            assert [h["Score"] for h in got[1]] == pytest.approx([h["Score"] for h in want[1]], abs=1e-6)
            assert all(type(h["Score"]) is np.float32 for h in got[1])


def test_a_few_lists_find_most_of_the_exact_first_ten(tmp_path, small_keys, monkeypatch):
    rng = np.random.default_rng(11)
    vectors = clustered(rng, 3000, dim=32, centres=40)
    queries = {f"q{i}": v for i, v in enumerate(clustered(rng, 40, dim=32, centres=40))}
    engine = FinderySB(str(tmp_path))
    engine.multilang_models = {"main": Table(queries)}
    engine.embedded_documents = {"main": list(vectors)}
    engine.document_names = {"main": list(range(3000))}
    engine.save_model()
    monkeypatch.setattr(sb_module, "APPROXIMATE_PROBES", 8)  # of 219
    found = []
    for query in queries:
        want = {h["name"] for h in exact(engine, query, None, 1, 10, monkeypatch)[1]}
        found.append(len(want & {h["name"] for h in engine.search_documents(query, None, 1, 10)[1]}) / 10)
    assert 0.85 <= np.mean(found) < 1


def own_vectors_come_first(engine):
    """With one list probed, each document's own vector finds it first: its
    rows are filed where its vector belongs, whatever moved around it."""
    table = {}
    model = engine.multilang_models["en"]
    for name, vector in zip(engine.document_names["en"], engine.embedded_documents["en"]):
        table[f"q-{name}"] = vector
    engine.multilang_models["en"] = Table(table)
    try:
        for name in engine.document_names["en"]:
            assert engine.search_documents(f"q-{name}", "en", 1, 1)[1][0]["name"] == name
    finally:
        engine.multilang_models["en"] = model


def test_lists_follow_every_change_and_a_new_process_reads_them(tmp_path, small_keys, monkeypatch):
    monkeypatch.setattr(sb_module, "Phrasecoder", lambda base, vect_lang=None: SimpleNamespace(model=Hashed()))
    models = str(tmp_path)
    engine = FinderySB(models, True)
    engine.train_batch([doc(f"d{i}", f"text {i}") for i in range(60)])
    monkeypatch.setattr(sb_module, "APPROXIMATE_PROBES", 1)
    steps = [
        lambda: engine.update_documents([doc("d3", "changed three"), doc("d40", "changed forty"), doc("n1", "new")]),
        lambda: engine.remove_documents(["d0", "d7", "d59", "absent"]),
        lambda: engine.train_model(doc("n2", "another")),
        lambda: engine.train_batch([doc(f"m{i}", f"more {i}") for i in range(200)]),  # fourfold: trained again
        lambda: engine.remove_documents([f"m{i}" for i in range(0, 200, 3)]),
    ]
    trained = []
    for step in steps:
        step()
        kept = sb_module._search_lists(engine)["en"]
        assert len(kept[2]) == len(engine.document_names["en"])
        trained.append(kept[1])
        own_vectors_come_first(engine)
        again = FinderySB(models, True)
        assert sb_module._search_lists(again) == sb_module._search_lists(engine)
        own_vectors_come_first(again)
    assert trained[:3] == [60, 60, 60] and trained[3] == len(engine.document_names["en"]) + 67


def test_stale_damaged_or_unwanted_lists_are_not_used(tmp_path, small_keys, monkeypatch):
    monkeypatch.setattr(sb_module, "Phrasecoder", lambda base, vect_lang=None: SimpleNamespace(model=Hashed()))
    models = str(tmp_path)
    engine = FinderySB(models, True)
    engine.train_batch([doc(f"d{i}", f"text {i}") for i in range(80)])
    lists_file = pathlib.Path(models, "sb_search_lists.bin")
    assert lists_file.exists() and sb_module._search_lists(FinderySB(models, True))

    # A host writes the state itself: the lists name the state before.
    data = joblib.load(engine.model_filename)
    del data["document_names"]["en"][0], data["embedded_documents"]["en"][0]
    joblib.dump(data, engine.model_filename)
    host = FinderySB(models, True)
    assert sb_module._search_lists(host) == {}
    query = Hashed().encode("text 5")
    host.multilang_models["en"] = Table({"q": query})
    assert host.search_documents("q", "en", 1, 3) == exact(host, "q", "en", 1, 3, monkeypatch)
    # Its next save makes them again.
    host.multilang_models["en"] = Hashed()
    host.train_model(doc("x", "text x"))
    assert len(sb_module._search_lists(FinderySB(models, True))["en"][2]) == 80

    # Damaged: a byte of the centroids flipped.
    raw = bytearray(lists_file.read_bytes())
    raw[len(raw) // 3] ^= 0x40
    lists_file.write_bytes(bytes(raw))
    assert sb_module._search_lists(FinderySB(models, True)) == {}

    # Turned off: the next save removes the file.
    monkeypatch.setattr(sb_module, "APPROXIMATE_FROM", None)
    host.train_model(doc("y", "text y"))
    assert not lists_file.exists() and sb_module._search_lists(host) == {}
    assert sorted(os.listdir(models)) == ["debug_sb_model.json", "sb_model.pkl"]


def test_writers_taking_turns_each_leave_the_lists_of_the_state_they_wrote(tmp_path, small_keys, monkeypatch):
    monkeypatch.setattr(sb_module, "Phrasecoder", lambda base, vect_lang=None: SimpleNamespace(model=Hashed()))
    monkeypatch.setattr(sb_module, "APPROXIMATE_PROBES", 1)
    models = str(tmp_path)
    first, second = FinderySB(models, True), FinderySB(models, True)
    first.train_batch([doc(f"a{i}", f"first {i}") for i in range(70)])
    turns = [
        (second, lambda e: e.train_batch([doc(f"b{i}", f"second {i}") for i in range(10)])),
        (first, lambda e: e.remove_documents([f"b{i}" for i in range(0, 10, 2)] + ["a1"])),
        (second, lambda e: e.update_documents([doc("a2", "second's a2"), doc("c", "new c")])),
        (first, lambda e: e.train_model(doc("d", "first's d"))),
    ]
    names = [f"a{i}" for i in range(70)]
    for writer, change in turns:
        change(writer)  # reads the other writer's state first
        reader = FinderySB(models, True)
        assert sb_module._search_lists(writer) == sb_module._search_lists(reader)
        own_vectors_come_first(reader)
    assert reader.document_names["en"] == (
        [n for n in names if n != "a1"] + ["b1", "b3", "b5", "b7", "b9", "c", "d"])


@pytest.mark.race
@pytest.mark.parametrize("lists", [True, False])
def test_searches_while_the_same_engine_files_documents(tmp_path, small_keys, monkeypatch, lists):
    """A page names the documents its scores are of, whether the lists or the
    exact scan chose it, while another thread adds, replaces and removes."""
    import threading

    monkeypatch.setattr(sb_module, "Phrasecoder", lambda base, vect_lang=None: SimpleNamespace(model=Hashed()))
    monkeypatch.setattr(sb_module, "APPROXIMATE_PROBES", 4)
    if not lists:
        monkeypatch.setattr(sb_module, "APPROXIMATE_FROM", None)
    engine = FinderySB(str(tmp_path), True)
    engine.train_batch([doc(f"a{i}", f"text {i}") for i in range(300)])
    stop, failures = threading.Event(), []

    def file_and_remove():
        try:
            for round in range(30):
                engine.train_batch([doc(f"r{round}-{i}", f"round {round} {i}") for i in range(20)])
                engine.update_documents([doc(f"a{round}", f"changed {round}")])
                engine.remove_documents([f"r{round}-{i}" for i in range(0, 20, 2)])
        except Exception as e:  # reported by the main thread
            failures.append(e)
        finally:
            stop.set()

    writer = threading.Thread(target=file_and_remove)
    writer.start()
    searched = 0
    while not stop.is_set() or searched < 50:
        query = f"round 3 {searched % 20}"
        hits = engine.search_documents(query, "en", 1, 10)[1]
        assert len(hits) == 10 and all(isinstance(h["name"], str) for h in hits)
        # The document whose text is the query, once filed, is its own best hit.
        if searched % 20 % 2 and any(h["name"] == f"r3-{searched % 20}" for h in hits):
            assert hits[0]["name"] == f"r3-{searched % 20}"
        assert [h["Score"] for h in hits] == sorted((h["Score"] for h in hits), reverse=True)
        searched += 1
    writer.join()
    assert not failures
    monkeypatch.setattr(sb_module, "APPROXIMATE_PROBES", 1)
    if lists:
        own_vectors_come_first(engine)
