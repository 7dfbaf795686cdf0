"""The index the term-weighting engine stores beside its model: a new engine
object's ranked search answers from it, without reading the model, exactly
as the model read whole answers; any model it does not belong to is read
instead; and an index changed in steps ranks as one built in one go."""

import logging
import os
import pathlib
import random
import shutil
import subprocess
import sys
import types

import joblib
import pytest

from wrapper.core import FinderyTD as td_module
from wrapper.core.FinderyTD import FinderyTD
from wrapper.infra import Wordwash
from wrapper.infra.Idiomark import Idiomark

INDEX = "td_search_index.bin"

WORDS = {
    Idiomark.ENGLISH: "volcano lava ash river boundary layer flow heat transfer wing shock wave pressure "
                      "electricity cloud mountain glacier meadow canyon invoice".split(),
    Idiomark.SPANISH: "volcán lava ceniza río capa límite flujo calor transferencia ala onda presión "
                      "electricidad nube montaña glaciar prado cañón factura".split(),
    Idiomark.PORTUGUESE: "vulcão lava cinza rio camada limite fluxo calor transferência asa onda pressão "
                         "eletricidade nuvem montanha geleira prado desfiladeiro fatura".split(),
}


def doc(id, text, language, detect=True):
    cleaned = Wordwash.preprocess_text_for_stemmetization(text, language if detect else None)[1]
    return types.SimpleNamespace(id=id, text=text, cleaned_text=cleaned, detected_language=language,
                                 is_detect_language=detect)


def random_doc(rng, id):
    language = rng.choice(list(WORDS) + [None])
    words = WORDS[language or Idiomark.ENGLISH]
    picked = [rng.choice(words) for _ in range(rng.randint(1, 12))]
    if rng.random() < 0.3:  # words joined by a dash count as their parts too
        picked.append(rng.choice(words) + "-" + rng.choice(words))
    return doc(id, " ".join(picked), language, detect=language is not None and rng.random() < 0.9)


def random_query(rng):
    words = [rng.choice(WORDS[rng.choice(list(WORDS))]) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.4:  # a typo
        w = words[0]
        i = rng.randrange(len(w))
        words[0] = w[:i] + w[i + 1:]
    return " ".join(words)


@pytest.fixture
def models(tmp_path, monkeypatch):
    monkeypatch.setattr(td_module, "RANKING", "bm25")
    path = tmp_path / "models"
    path.mkdir()
    return str(path)


def loaded(models):
    engine = FinderyTD(models)
    engine.load_model()
    return engine


def answers(engine, queries):
    return [engine.search_documents(q, language, page, per_page)
            for q, language, page, per_page in queries]


def assert_stored_answers_as_the_model(models, rng):
    queries = [(random_query(rng), rng.choice([None, Idiomark.ENGLISH, "es", Idiomark.PORTUGUESE]),
                rng.randint(1, 3), rng.randint(1, 4)) for _ in range(12)]
    fresh = FinderyTD(models)
    from_index = answers(fresh, queries)
    assert not fresh.is_loaded  # answered without reading the model
    model = loaded(models)
    assert from_index == answers(model, queries)
    # What the command line and the passages ask of it besides.
    held = [language.value for language, _ in
            __import__("collections").Counter(model.detected_languages.values()).most_common()
            if language is not None]
    assert td_module._languages_held(FinderyTD(models)) == held
    words = sorted({w for text in model.cleaned_text.values() for w in text.split()}) + ["unheard"]
    vocabulary, idf = model.tfidf_vectorizer.vocabulary_, model.tfidf_vectorizer.idf_
    assert td_module._stored_idf(FinderyTD(models), words) == {
        w: idf[vocabulary[w]] for w in words if w in vocabulary}


@pytest.mark.parametrize("seed", range(6))
def test_the_stored_index_answers_as_the_model_through_every_change(models, seed):
    rng = random.Random(seed)
    ids = ["a.pdf", "dir/b.pdf", "ç/é ñ.pdf", "x\udcff.pdf", "e.pdf", "f.pdf", "g.pdf"]
    writer = FinderyTD(models)
    latest = {}
    for step in range(6):
        kind = rng.choice(["batch", "update", "remove"]) if step else "batch"
        picked = rng.sample(ids, rng.randint(1, 4))
        if kind == "remove":
            writer.remove_documents(picked)
            continue
        docs = [random_doc(rng, i) for i in picked]
        if kind == "batch":
            docs = [d for d in docs if d.id not in writer.document_names]
            writer.train_batch(docs)
        else:
            writer.update_documents(docs)
        latest.update((d.id, d) for d in docs)
        assert_stored_answers_as_the_model(models, rng)

    # The same documents, in the same order, filed in one go elsewhere: the
    # same hits and the very same scores.
    final = loaded(models)
    other = os.path.join(os.path.dirname(models), "again")
    os.mkdir(other)
    if final.document_names:
        FinderyTD(other).train_batch([latest[i] for i in final.document_names])
        for language, words in WORDS.items():
            for word in words:
                assert (FinderyTD(models).search_documents(word, language, 1, 50)[1] ==
                        FinderyTD(other).search_documents(word, language, 1, 50)[1])


def test_a_model_written_by_anyone_else_is_read_instead(models, caplog):
    FinderyTD(models).train_batch([doc("a", "volcano lava", Idiomark.ENGLISH)])
    # A host's own write of the model: the index beside it is for the old one.
    model = joblib.load(os.path.join(models, "td_model.pkl"))
    model["document_names"] = ["b"]
    model["detected_languages"] = {"b": None}
    model["cleaned_text"] = {"b": model["cleaned_text"]["a"]}
    joblib.dump(model, os.path.join(models, "td_model.pkl"))
    fresh = FinderyTD(models)
    assert [h["name"] for h in fresh.search_documents("volcano", "en")[1]] == ["b"]
    assert fresh.is_loaded

    # A damaged index is passed over with a warning.
    FinderyTD(models).update_documents([doc("c", "glacier", Idiomark.ENGLISH)])
    path = pathlib.Path(models, INDEX)
    data = path.read_bytes()
    for damaged in (data[:len(data) // 2], data[:-1] + b"\x07\x07", data[:120] + b"\xff" * (len(data) - 120)):
        path.write_bytes(damaged)
        caplog.clear()
        with caplog.at_level(logging.WARNING):
            fresh = FinderyTD(models)
            assert [h["name"] for h in fresh.search_documents("glacier", "en")[1]] == ["c"]
        assert fresh.is_loaded
        assert "could not be read" in caplog.text

    # Another directory's index beside this model is never taken for its own.
    other = os.path.join(os.path.dirname(models), "other")
    os.mkdir(other)
    FinderyTD(other).train_batch([doc("z", "glacier", Idiomark.ENGLISH)])
    shutil.copy(os.path.join(other, INDEX), path)
    assert [h["name"] for h in FinderyTD(models).search_documents("glacier", "en")[1]] == ["c"]


def test_damage_a_query_meets_hands_the_search_to_the_model(models, caplog):
    # The postings are read where they lie and checked when a query first
    # names their term, the rest when the file is opened: one bit flipped
    # anywhere in the file is caught, at the one or the other, and the
    # model answers instead (or it names another model or version, or lies
    # in postings no query reads). Never a crash, never a page the damage
    # made.
    rng = random.Random(11)
    FinderyTD(models).train_batch([random_doc(rng, f"d{i}") for i in range(150)])
    path = pathlib.Path(models, INDEX)
    data = path.read_bytes()
    queries = [(w, language, 1, 200) for language, words in WORDS.items() for w in words]
    expected = answers(loaded(models), queries)
    caught = later = 0
    for _ in range(120):
        damaged = bytearray(data)
        damaged[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        path.write_bytes(bytes(damaged))
        caplog.clear()
        with caplog.at_level(logging.WARNING):
            fresh = FinderyTD(models)
            got = answers(fresh, queries)
        assert got == expected
        warned = "could not be read" in caplog.text or "is damaged" in caplog.text
        caught += warned
        assert fresh.is_loaded or not warned
        later += "is damaged" in caplog.text
    # Most caught, some only by a query: the postings are not read before.
    assert caught > 80 and later > 10


def test_what_the_file_cannot_hold_leaves_no_index(models):
    FinderyTD(models).train_batch([doc("a", "volcano", Idiomark.ENGLISH)])
    assert os.path.exists(os.path.join(models, INDEX))
    # A host's ids need not be strings; such an index is searched from the model.
    FinderyTD(models).train_batch([doc(7, "lava", Idiomark.ENGLISH)])
    assert not os.path.exists(os.path.join(models, INDEX))
    fresh = FinderyTD(models)
    assert [h["name"] for h in fresh.search_documents("lava", "en")[1]] == [7]
    assert fresh.is_loaded


def test_a_host_loading_its_own_way_is_honoured(models, monkeypatch):
    FinderyTD(models).train_batch([doc("a", "volcano", Idiomark.ENGLISH)])

    class Own(FinderyTD):
        def load_model(self):
            self.asked = True
            return FinderyTD.load_model(self)

    engine = Own(models)
    assert [h["name"] for h in engine.search_documents("volcano", "en")[1]] == ["a"]
    assert engine.asked
    reads = []
    monkeypatch.setattr(td_module, "joblib", types.SimpleNamespace(
        load=lambda path: reads.append(path) or joblib.load(path), dump=joblib.dump))
    FinderyTD(models).search_documents("volcano", "en")
    assert len(reads) == 1


@pytest.mark.parametrize("where", ["subclass", "object", "class"])
@pytest.mark.parametrize("ranking", ["tfidf", "bm25"])
def test_a_hosts_load_model_is_asked_at_every_search_once_loaded_too(models, monkeypatch, where, ranking):
    monkeypatch.setattr(td_module, "RANKING", ranking)
    FinderyTD(models).train_batch([doc("a", "volcano", Idiomark.ENGLISH)])
    calls = []
    original = FinderyTD.load_model

    def own(self):
        calls.append(self)
        return original(self)

    if where == "subclass":
        engine = type("Own", (FinderyTD,), {"load_model": own})(models)
    else:
        engine = FinderyTD(models)
        engine.load_model()
        if where == "object":
            monkeypatch.setattr(engine, "load_model", lambda: own(engine), raising=False)
        else:
            monkeypatch.setattr(FinderyTD, "load_model", own)
    for _ in range(2):
        assert [h["name"] for h in engine.search_documents("volcano", "en")[1]] == ["a"]
    assert calls == [engine, engine] and engine.is_loaded
    # A host's load_model that says the model is not there is believed.
    monkeypatch.setattr(engine, "load_model", lambda: False, raising=False)
    assert engine.search_documents("volcano", "en") == []


@pytest.mark.parametrize("where", ["object", "class"])
def test_a_hosts_load_model_put_on_the_class_or_object_is_asked_before_the_index_beside_it(
        models, monkeypatch, where):
    monkeypatch.setattr(td_module, "RANKING", "bm25")
    FinderyTD(models).train_batch([doc("a", "volcano", Idiomark.ENGLISH)])
    assert os.path.exists(os.path.join(models, INDEX))
    calls = []
    original = FinderyTD.load_model

    def own(self):
        calls.append(self)
        return original(self)

    engine = FinderyTD(models)
    if where == "object":
        monkeypatch.setattr(engine, "load_model", lambda: own(engine), raising=False)
    else:
        monkeypatch.setattr(FinderyTD, "load_model", own)
    assert [h["name"] for h in engine.search_documents("volcano", "en")[1]] == ["a"]
    assert calls == [engine] and engine.is_loaded


def test_a_model_the_library_wrote_is_read_without_joblib_and_any_other_with_it(models, monkeypatch):
    FinderyTD(models).train_batch([doc("a", "volcano lava", Idiomark.ENGLISH)])
    reads = []
    real_load = joblib.load
    monkeypatch.setattr(joblib, "load", lambda path, *a, **k: reads.append(path) or real_load(path, *a, **k))
    engine = loaded(models)
    assert engine.document_names == ["a"] and reads == []
    # Written by joblib itself (its own layout): joblib reads it.
    joblib.dump({"matrix": engine.tfidf_matrix, "vectorizer": engine.tfidf_vectorizer,
                 "document_names": ["a"], "detected_languages": {"a": None},
                 "cleaned_text": engine.cleaned_text}, os.path.join(models, "td_model.pkl"))
    assert loaded(models).detected_languages == {"a": None} and len(reads) == 1


def test_a_search_from_the_stored_index_imports_no_scikit_learn(models):
    FinderyTD(models).train_batch([doc("a", "volcano lava", Idiomark.ENGLISH)])
    script = (
        "import sys\n"
        "from wrapper.core import FinderyTD as td\n"
        "td.RANKING = 'bm25'\n"
        "hits = td.FinderyTD(sys.argv[1]).search_documents('volcano', 'en')[1]\n"
        "print([h['name'] for h in hits], 'sklearn' in sys.modules, 'joblib' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", script, models], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["['a']", "False", "False"]
