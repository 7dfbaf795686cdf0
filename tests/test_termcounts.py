"""Each stored text's term counts, kept beside the term-weighting model so
that a change counts only the texts it brings: through any sequence of
changes by fresh engine objects (as separate runs of the command line make
them) the refit is scikit-learn's own and the ranked search is the one
derived from the texts; counts of another model, or damaged ones, are never
used."""

import collections
import logging
import os
import pathlib
import pickle
import random
import re
import shutil
import types

import joblib
import pytest
from sklearn.feature_extraction.text import TfidfVectorizer

from wrapper.core import FinderyTD as td_module
from wrapper.core.FinderyTD import FinderyTD
from wrapper.infra.Idiomark import Idiomark

from test_searchindex import WORDS, doc, models, random_doc, random_query  # noqa: F401 (a fixture)

COUNTS = "td_term_counts.bin"


def tokens(text):
    return collections.Counter(re.findall(r"(?u)\b\w\w+\b", text.lower()))


def stored_counts(models):
    """The counts a new engine object reads from beside the model."""
    engine = FinderyTD(models)
    engine.load_model()
    return engine, td_module._term_counts(engine)


def assert_refit_is_scikit_learns(engine, made=TfidfVectorizer):
    texts = list(engine.cleaned_text.values())
    expected = made()
    matrix = expected.fit_transform(texts)
    assert list(engine.tfidf_vectorizer.vocabulary_.items()) == list(expected.vocabulary_.items())
    assert pickle.dumps(engine.tfidf_vectorizer) == pickle.dumps(expected)
    assert pickle.dumps(engine.tfidf_matrix) == pickle.dumps(matrix)


def ranked_answers(models, queries):
    return [FinderyTD(models).search_documents(q, language, 1, 50) for q, language in queries]


@pytest.mark.parametrize("seed", range(5))
def test_changes_by_fresh_engines_count_only_new_texts_and_refit_as_scikit_learn(models, tmp_path, seed):
    rng = random.Random(seed)
    ids = ["a.pdf", "dir/b.pdf", "ç/é ñ.pdf", "e.pdf", "f.pdf", "g.pdf", "h.pdf", "i.pdf"]
    for step in range(8):
        writer = FinderyTD(models)  # a new run
        kind = rng.choice(["batch", "update", "remove", "train"]) if step else "batch"
        picked = rng.sample(ids, rng.randint(1, 4))
        if kind == "remove":
            writer.remove_documents(picked)
        elif kind == "train":
            writer.train_model(random_doc(rng, picked[0]))
        elif kind == "batch":
            writer.load_model()
            writer.train_batch([random_doc(rng, i) for i in picked if i not in writer.document_names])
        else:
            writer.update_documents([random_doc(rng, i) for i in picked])
        if len(writer.cleaned_text) > 1:
            assert_refit_is_scikit_learns(writer)

        # The counts beside the model are those of its texts, in its order.
        engine, counts = stored_counts(models)
        if engine.cleaned_text:
            assert [(text, dict(tokens(text))) for text in engine.cleaned_text.values()] == \
                [(text, row) for text, row in counts]

    # The ranked index derived from the kept counts ranks as one derived
    # from the texts themselves (a copy without the counts).
    queries = [(random_query(rng), rng.choice([None, Idiomark.ENGLISH, "es", Idiomark.PORTUGUESE]))
               for _ in range(15)]
    queries += [(w, language) for language, words in WORDS.items() for w in words[:6]]
    plain = str(tmp_path / "plain")
    shutil.copytree(models, plain)
    os.remove(os.path.join(plain, COUNTS))
    os.remove(os.path.join(plain, "td_search_index.bin"))
    assert ranked_answers(models, queries) == ranked_answers(plain, queries)


def test_counts_of_another_model_are_never_used(models, tmp_path):
    FinderyTD(models).train_batch([doc("a", "volcano lava ash", Idiomark.ENGLISH),
                                   doc("b", "glacier meadow", Idiomark.ENGLISH)])
    # A host's own write of the model (other texts, same order and number):
    # the counts beside it are those of the model before.
    path = os.path.join(models, "td_model.pkl")
    model = joblib.load(path)
    model["cleaned_text"] = {"a": "canyon river", "b": "wing shock wave"}
    joblib.dump(model, path)
    engine, counts = stored_counts(models)
    assert counts is None
    engine.update_documents([doc("c", "heat transfer", Idiomark.ENGLISH)])
    assert_refit_is_scikit_learns(engine)
    assert [h["name"] for h in FinderyTD(models).search_documents("canyon", "en")[1]] == ["a"]

    # Another directory's counts copied beside this model.
    other = str(tmp_path / "other")
    os.mkdir(other)
    FinderyTD(other).train_batch([doc("a", "x" * 5, None), doc("b", "y" * 5, None), doc("c", "z" * 5, None)])
    shutil.copy(os.path.join(other, COUNTS), os.path.join(models, COUNTS))
    assert stored_counts(models)[1] is None


def test_damaged_counts_are_passed_over_with_a_warning(models, caplog):
    rng = random.Random(7)
    FinderyTD(models).train_batch([random_doc(rng, "d%d" % i) for i in range(12)])
    path = pathlib.Path(models, COUNTS)
    good = path.read_bytes()
    header = 8 + 4 + 32  # what names the model: damage there only makes the counts another model's
    damages = [good[:len(good) // 2], good + b"\0", good[:-1]]
    for _ in range(40):
        at = rng.randrange(header, len(good))
        damages.append(good[:at] + bytes([good[at] ^ (1 << rng.randrange(8))]) + good[at + 1:])
    for damaged in damages:
        path.write_bytes(damaged)
        caplog.clear()
        with caplog.at_level(logging.WARNING):
            engine, counts = stored_counts(models)
        assert counts is None
        assert "could not be read" in caplog.text
    # A change over damaged counts counts every text again, and writes
    # them right.
    engine.update_documents([random_doc(rng, "d0")])
    assert_refit_is_scikit_learns(engine)
    engine, counts = stored_counts(models)
    assert [dict(tokens(t)) for t in engine.cleaned_text.values()] == [row for _, row in counts]


@pytest.mark.parametrize("seed", range(4))
def test_counts_read_back_hold_any_text_as_the_vectoriser_tokenises_it(models, seed):
    # Case that changes length when lowered, marks, digits, underscores,
    # astral letters: what the next run reads back is what scikit-learn
    # counts, and its refit is scikit-learn's own.
    rng = random.Random(seed)
    pieces = list("abcdeé_1 ÜK") + ["İ", "ß", "ǅ", "\u0301", "日本", "😀", "-", "x\u00b2", "Ⅻ", "\t", "ΣΑΣ", "𝔘𝔫"]
    def text():
        return "".join(rng.choice(pieces) for _ in range(rng.randint(0, 60))) + " zz"
    FinderyTD(models).train_batch([doc_of("d%d" % i, text()) for i in range(10)])
    engine, counts = stored_counts(models)
    assert [(t, dict(tokens(t))) for t in engine.cleaned_text.values()] == [(t, row) for t, row in counts]
    engine.update_documents([doc_of("d%d" % rng.randrange(12), text()) for _ in range(3)])
    assert_refit_is_scikit_learns(engine)
    engine, counts = stored_counts(models)
    assert [(t, dict(tokens(t))) for t in engine.cleaned_text.values()] == [(t, row) for t, row in counts]


def doc_of(id, text):
    """A document whose cleaned text is the text itself."""
    return types.SimpleNamespace(id=id, text=text, cleaned_text=text, detected_language=None)


def plain_doc(id, text):
    return types.SimpleNamespace(id=id, text=text, cleaned_text=text, detected_language=None)


def test_a_large_refit_from_the_counts_is_scikit_learns_to_the_bit(models):
    # Past a million entries the rows are weighted by two threads; a
    # Zipf-like draw gives long rows, repeated terms and rare ones.
    rng = random.Random(11)
    vocabulary = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyzçãéü") for _ in range(rng.randint(2, 9)))
                  for _ in range(30000)]
    weights = [1 / (rank + 1) for rank in range(len(vocabulary))]
    texts = [" ".join(rng.choices(vocabulary, weights, k=rng.randint(0, 900))) for _ in range(4000)]
    # scikit-learn's own pruning sees no more than the small text its fit of
    # the settings is made with (and, once a process, the hundred texts the
    # engine's fit is checked on): the weights are the engine's own.
    pruned = []
    limit = TfidfVectorizer._limit_features
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(TfidfVectorizer, "_limit_features",
                      lambda self, X, *a, **k: pruned.append(X.shape[0]) or limit(self, X, *a, **k))
        engine = FinderyTD(models)
        engine.train_batch([plain_doc("d%d" % i, text) for i, text in enumerate(texts)])
        assert engine.tfidf_matrix.nnz > 1 << 20
        # Removing changes every weight (the idf) and the vocabulary's order.
        removing = FinderyTD(models)
        removing.remove_documents(["d%d" % i for i in range(0, 4000, 3)])
    assert pruned and max(pruned) < 200
    assert_refit_is_scikit_learns(engine)
    assert_refit_is_scikit_learns(removing)


@pytest.mark.parametrize("settings", [
    {"min_df": 2}, {"min_df": 0.2}, {"max_df": 1}, {"max_df": 0.5}, {"max_features": 3}, {"binary": True},
    {"sublinear_tf": True}, {"norm": "l1"}, {"norm": None}, {"smooth_idf": False}, {"use_idf": False},
    {"dtype": __import__("numpy").float32},
])
def test_a_vectoriser_with_other_settings_is_fitted_as_scikit_learn_fits_it(models, settings):
    # scikit-learn's own class, so its words are counted in C++, but the rest
    # of the fit (pruning, weights, lengths) is left to scikit-learn.
    rng = random.Random(5)
    texts = [" ".join(rng.choice(["aa", "bb", "cc", "dd", "ee", "ff", "gg"]) for _ in range(rng.randint(1, 9)))
             + " only%d" % i for i in range(30)]
    made = lambda: TfidfVectorizer(**settings)  # noqa: E731
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(td_module, "TfidfVectorizer", made)
        engine = FinderyTD(models)
        engine.train_batch([plain_doc("d%d" % i, text) for i, text in enumerate(texts)])
    assert_refit_is_scikit_learns(engine, made)
