"""The term-weighting engine: training and its stored model, query correction
(compared with difflib itself), ranking and paging (compared with the same
slicing done in Python), and search through the real stemming pipeline."""

import difflib
import gc
import json
import logging
import os
import pickle
import random
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types
import weakref

import joblib
import numpy as np
import pytest
from scipy import sparse
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.metrics.pairwise import cosine_similarity

from wrapper.core import FinderyTD as td_module
from wrapper.core.FinderyTD import FinderyTD
from wrapper.infra import Tonguecheck
from wrapper.infra.Idiomark import Idiomark


def doc(id, text, language=None):
    """What the engine reads from a document."""
    return types.SimpleNamespace(id=id, text=text, cleaned_text=text, detected_language=language)


@pytest.fixture
def models(tmp_path):
    path = tmp_path / "models"
    path.mkdir()
    return str(path)


# ---- query correction against difflib ---------------------------------------

# Word characters only (a query word is a run of them), from several scripts,
# astral ones included; vocabulary terms may hold anything.
WORD_ALPHABETS = ["ab", "abc", "abcdefghij", "aábcçdeéõ_1", "ab\U0001d518\u00e9z", "\u4e00\u4e01a"]
TERM_EXTRAS = "- \u0301.\U0001f600"


def reference_correction(query, corpus, cutoff):
    out = []
    for word in re.findall(r"\w+", query):
        best = difflib.get_close_matches(word, corpus, n=1, cutoff=cutoff)
        out.append(best[0] if best else word)
    return " ".join(out)


@pytest.mark.parametrize("seed", range(6))
def test_correction_equals_difflib_on_random_vocabularies(models, seed):
    rng = random.Random(seed)
    engine = FinderyTD(models)
    for _ in range(500):
        alphabet = rng.choice(WORD_ALPHABETS)
        # Long words (200 characters and more) switch on difflib's autojunk.
        longest = rng.choice([2, 4, 8, 16, 40, 260])

        def text(chars):
            return "".join(rng.choice(chars) for _ in range(rng.randint(0, longest)))

        corpus = [text(alphabet + (TERM_EXTRAS if rng.random() < 0.2 else "")) for _ in range(rng.randint(0, 30))]
        if corpus and rng.random() < 0.3:
            corpus += rng.choices(corpus, k=5)  # duplicates
        words = [rng.choice(corpus) if corpus and rng.random() < 0.2 else text(alphabet) for _ in range(3)]
        query = " ".join(w for w in words if w) + rng.choice(["", "?", " !! "])
        cutoff = rng.choice([0.0, 0.5, 0.6, 0.75, 0.9, 1.0, rng.random()])
        expected = reference_correction(query, corpus, cutoff)
        assert engine.correct_query(query, corpus, cutoff) == expected, (query, corpus, cutoff)


def test_correction_on_a_real_vocabulary(models, udhr):
    vocabulary = list(TfidfVectorizer().fit([udhr["eng"], udhr["por"], udhr["spa"]]).get_feature_names_out())
    rng = random.Random(7)
    words = []
    for term in rng.sample(vocabulary, 150):
        i = rng.randrange(len(term))
        words.append(term[:i] + rng.choice(["", "e", "ão", "zz"]) + term[i + 1 :])
    engine = FinderyTD(models)
    for cutoff in (0.6, 0.8, 0.9):
        query = " ".join(words)
        assert engine.correct_query(query, vocabulary, cutoff) == reference_correction(query, vocabulary, cutoff)


@pytest.mark.parametrize(
    "query, corpus, cutoff, expected",
    [
        ("helo world", ["hello", "world"], 0.6, "hello world"),
        ("helo world", ["hello", "world"], 0.9, "helo world"),
        ("  helo,,world!? ", ["hello", "world"], 0.6, "hello world"),
        ("Hello", ["hello"], 0.9, "Hello"),  # case counts: 0.8 < 0.9
        ("", ["hello"], 0.6, ""),
        ("?! --", ["hello"], 0.6, ""),
        ("abcd", ["abce", "abcf"], 0.7, "abcf"),  # equal scores: the larger term
    ],
)
def test_correction_cases(models, query, corpus, cutoff, expected):
    assert FinderyTD(models).correct_query(query, corpus, cutoff) == expected


def test_correction_argument_errors_match_difflib(models):
    engine = FinderyTD(models)
    with pytest.raises(ValueError, match=r"cutoff must be in \[0.0, 1.0\]: 1.5"):
        engine.correct_query("word", ["word"], 1.5)
    # difflib is never called for a query without words, so nothing is checked.
    assert engine.correct_query("...", ["word"], 7.0) == ""
    with pytest.raises(TypeError):
        engine.correct_query("word", ["word", 3], 0.6)
    assert engine.correct_query("helo", ["hello"]) == "hello"  # default cutoff 0.6


def test_an_iterator_corpus_serves_only_the_first_word(models):
    # difflib reads the possibilities afresh for each word; an iterator is
    # spent after the first.
    corpus = ["hello", "world"]
    assert FinderyTD(models).correct_query("helo wrld", iter(corpus), 0.6) == reference_correction(
        "helo wrld", iter(corpus), 0.6
    ) == "hello wrld"


# ---- training and the stored model ------------------------------------------


def stored(models):
    return joblib.load(os.path.join(models, "td_model.pkl"))


def debug_dump(models):
    with open(os.path.join(models, "debug_td_model.json")) as f:
        return json.load(f)


def test_training_builds_and_refits_the_stored_model(models):
    engine = FinderyTD(models)
    engine.train_model(doc("a", "volcano lava ash"))
    # Beside the model, the index a new process searches without reading it.
    assert sorted(os.listdir(models)) == ["debug_td_model.json", "td_model.pkl", "td_search_index.bin",
                                       "td_term_counts.bin"]
    first = stored(models)
    assert list(first) == ["matrix", "vectorizer", "document_names", "detected_languages", "cleaned_text"]
    assert first["matrix"].shape == (1, 3)

    engine.train_model(doc("b", "lava flows and ash clouds"))
    engine.train_model(doc("b", "a changed text is not seen again"))
    data = stored(models)
    assert data["document_names"] == ["a", "b"]
    assert data["cleaned_text"] == {"a": "volcano lava ash", "b": "lava flows and ash clouds"}
    expected = TfidfVectorizer().fit_transform(["volcano lava ash", "lava flows and ash clouds"])
    assert np.allclose(data["matrix"].toarray(), expected.toarray())

    dump = debug_dump(models)
    assert list(dump) == ["multilang_models", "document_names", "updated_at"]
    assert dump["multilang_models"] == {"a": None, "b": None}


@pytest.mark.parametrize("bad", [None, doc("x", None), doc("x", "")])
def test_documents_without_text_are_ignored(models, bad):
    engine = FinderyTD(models)
    assert engine.train_model(bad) is None
    assert os.listdir(models) == [] and engine.is_loaded is False


def test_a_stored_copy_is_replaced_and_moves_last(models, caplog):
    first = FinderyTD(models)
    for i, text in [(7, "old seven"), (8, "eight"), (9, "nine")]:
        first.train_model(doc(i, text, Idiomark.PORTUGUESE))

    fresh = FinderyTD(models)
    with caplog.at_level(logging.INFO, logger="root"):
        fresh.train_model(doc(7, "new seven"))
    assert [r.getMessage() for r in caplog.records] == [
        "td--removed doc for document names",
        "keys",
        "[7, 8, 9]",
        "index 0 for docid 7",
        "td--removed 7 to detected languages",
        "td--deleted doc to cleaned text",
    ]
    data = stored(models)
    assert data["document_names"] == [8, 9, 7]
    assert list(data["cleaned_text"].items()) == [(8, "eight"), (9, "nine"), (7, "new seven")]
    assert data["detected_languages"] == {8: Idiomark.PORTUGUESE, 9: Idiomark.PORTUGUESE, 7: None}
    assert data["matrix"].shape[0] == 3
    # The dump shows a language member by its code.
    dump = debug_dump(models)
    assert dump["multilang_models"] == {"8": "pt", "9": "pt", "7": None}


def test_load_model_reads_the_file_once(models):
    engine = FinderyTD(models)
    assert engine.load_model() is False and engine.document_names == []
    FinderyTD(models).train_model(doc("a", "alpha beta"))
    assert engine.load_model() is True and engine.document_names == ["a"]
    os.remove(os.path.join(models, "td_model.pkl"))
    assert engine.load_model() is True

    joblib.dump({}, os.path.join(models, "td_model.pkl"))
    assert FinderyTD(models).load_model() is False


def test_save_model_is_the_inherited_no_op(models):
    assert FinderyTD(models).save_model() is None
    assert os.listdir(models) == []


def test_a_failed_write_keeps_the_old_model(models, monkeypatch):
    engine = FinderyTD(models)
    engine.train_model(doc("a", "alpha beta"))

    def broken_dump(value, filename):
        with open(filename, "wb") as f:
            f.write(b"half a pickle")
        raise OSError("disk full")

    monkeypatch.setattr(td_module, "joblib", types.SimpleNamespace(dump=broken_dump, load=joblib.load))
    with pytest.raises(OSError, match="disk full"):
        engine.train_model(doc("b", "gamma delta"))
    assert stored(models)["document_names"] == ["a"]
    assert sorted(os.listdir(models)) == ["debug_td_model.json", "td_model.pkl", "td_search_index.bin",
                                       "td_term_counts.bin"]


KILLED_TRAINER = textwrap.dedent(
    """
    import random, sys, types
    from wrapper.core.FinderyTD import FinderyTD
    models, start = sys.argv[1], int(sys.argv[2])
    rng = random.Random(start)
    words = ["w%d" % i for i in range(3000)]
    engine = FinderyTD(models)
    for i in range(start, start + 10000):
        text = " ".join(rng.choice(words) for _ in range(400))
        engine.train_model(types.SimpleNamespace(id="d%d" % i, text=text, cleaned_text=text,
                                                 detected_language=None))
        print(i, flush=True)
    """
)


def test_killed_training_leaves_the_old_or_the_new_model(models):
    rng = random.Random(3)
    trained = 0
    for _ in range(8):
        child = subprocess.Popen([sys.executable, "-c", KILLED_TRAINER, models, str(trained)],
                                 stdout=subprocess.PIPE, text=True)
        child.stdout.readline()  # past start-up: at least one model written
        time.sleep(rng.uniform(0.0, 0.6))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()

        data = stored(models)  # plain joblib, as any reader would
        names = data["document_names"]
        assert names == ["d%d" % i for i in range(len(names))] and len(names) > trained
        assert list(data["cleaned_text"]) == names and list(data["detected_languages"]) == names
        assert data["matrix"].shape == (len(names), len(data["vectorizer"].vocabulary_))
        debug_dump(models)
        trained = len(names)


# ---- batches: one fit and one write ------------------------------------------


def engine_state(engine):
    return (engine.document_names, list(engine.detected_languages.items()),
            list(engine.cleaned_text.items()), engine.tfidf_vectorizer.vocabulary_,
            engine.tfidf_vectorizer.idf_.tolist())


def random_batch(rng, stored_ids):
    words = ["lava", "ash", "cinza", "vulcão", "river", "rio", "tren", "train", "sol", "mar"]
    batch = []
    for _ in range(rng.randint(1, 25)):
        kind = rng.random()
        if kind < 0.08:
            batch.append(None)
            continue
        text = "" if kind < 0.15 else " ".join(rng.choice(words) for _ in range(rng.randint(1, 8)))
        # Ids repeat within the batch and name stored documents, with ints
        # and strings that compare unequal.
        ident = rng.choice(stored_ids + [rng.randint(0, 12), "d%d" % rng.randint(0, 12)])
        batch.append(doc(ident, text, rng.choice([None, Idiomark.SPANISH])))
    return batch


@pytest.mark.parametrize("seed", range(8))
def test_a_batch_leaves_what_one_training_per_document_leaves(tmp_path, caplog, monkeypatch, seed):
    rng = random.Random(seed)
    stored_ids = []
    dirs = [tmp_path / "one", tmp_path / "batch"]
    for d in dirs:
        d.mkdir()
    if seed % 2:  # over an index an earlier run stored
        earlier = [doc(i, "old text %d lava" % i) for i in range(rng.randint(1, 5))]
        stored_ids = [d.id for d in earlier]
        for d in dirs:
            FinderyTD(str(d)).train_batch(earlier)
    batch = random_batch(rng, stored_ids)
    writes = []
    monkeypatch.setattr(td_module, "joblib", types.SimpleNamespace(
        dump=lambda value, name: (writes.append(name), joblib.dump(value, name)), load=joblib.load))

    one, many = FinderyTD(str(dirs[0])), FinderyTD(str(dirs[1]))
    with caplog.at_level(logging.INFO, logger="root"):
        for d in batch:
            one.train_model(d)
        one_lines, writes_one = [r.getMessage() for r in caplog.records], len(writes)
        caplog.clear()
        many.train_batch(iter(batch))
        assert [r.getMessage() for r in caplog.records] == one_lines
    assert len(writes) - writes_one == (1 if writes_one else 0)
    if not writes_one:
        return
    assert engine_state(many) == engine_state(one)
    assert (many.tfidf_matrix != one.tfidf_matrix).nnz == 0
    a, b = stored(str(dirs[0])), stored(str(dirs[1]))
    assert a["document_names"] == b["document_names"] and (a["matrix"] != b["matrix"]).nnz == 0
    monkeypatch.setattr(td_module, "preprocess_text_for_stemmetization",
                        lambda text, lang: (text.split(), text))
    for query in ("lava ash", "rio tren", "sol"):
        assert many.search_documents(query, "es") == one.search_documents(query, "es")


def test_the_model_is_a_standard_pickle_that_joblib_loads(models):
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "volcano lava ash"), doc("b", "lava flows")])
    path = os.path.join(models, "td_model.pkl")
    with open(path, "rb") as f:
        plain = pickle.load(f)
    for loaded in (plain, joblib.load(path)):
        assert list(loaded) == ["matrix", "vectorizer", "document_names", "detected_languages", "cleaned_text"]
        assert pickle.dumps(loaded) == pickle.dumps({
            "matrix": engine.tfidf_matrix, "vectorizer": engine.tfidf_vectorizer,
            "document_names": engine.document_names, "detected_languages": engine.detected_languages,
            "cleaned_text": engine.cleaned_text})


class OwnVectorizer(TfidfVectorizer):
    pass


@pytest.mark.parametrize("seed", range(6))
def test_a_refit_is_the_one_scikit_learn_makes_down_to_its_pickled_bytes(models, seed):
    # Refits count the words in C++; whatever the text (case that changes
    # length when lowered, marks, digits, underscores, other scripts), the
    # vectoriser and the matrix are scikit-learn's own.
    rng = random.Random(seed)
    pieces = list("abcdeé_1 ÜK") + ["İ", "ß", "ǅ", "\u0301", "日本", "😀", "-", "x\u00b2", "Ⅻ", "\t", "\n", "ΣΑΣ"]
    texts = ["".join(rng.choice(pieces) for _ in range(rng.randint(0, 60))) for _ in range(rng.randint(1, 15))]
    texts.append("aa bb")
    engine = FinderyTD(models)
    engine.train_batch([doc("d%d" % i, text) for i, text in enumerate(texts)])
    expected = TfidfVectorizer()
    matrix = expected.fit_transform(texts)
    assert pickle.dumps(engine.tfidf_vectorizer) == pickle.dumps(expected)
    assert pickle.dumps(engine.tfidf_matrix) == pickle.dumps(matrix)
    assert "_count_vocab" not in vars(engine.tfidf_vectorizer)
    # A vectoriser of the host's own is fitted by itself, as before.
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(td_module, "TfidfVectorizer", OwnVectorizer)
        other = FinderyTD(models)
        other.update_documents([doc("d0", "cc dd")])
        assert type(other.tfidf_vectorizer) is OwnVectorizer and "cc" in other.tfidf_vectorizer.vocabulary_


def test_an_empty_or_textless_batch_writes_nothing(models):
    engine = FinderyTD(models)
    engine.train_batch([])
    engine.train_batch([None, doc("x", ""), doc("y", None)])
    assert os.listdir(models) == [] and engine.is_loaded is False


@pytest.mark.race
def test_a_second_writer_is_not_overwritten(models):
    # Each object read the store once; without the lock and a fresh read the
    # later write would carry only what its own object had seen.
    first, second = FinderyTD(models), FinderyTD(models)
    first.train_batch([doc("a", "alpha lava")])
    second.train_batch([doc("b", "beta ash")])
    first.train_batch([doc("c", "gamma rio")])
    first.train_model(doc("d", "delta sol"))
    assert stored(models)["document_names"] == ["a", "b", "c", "d"]


# ---- update and removal: the index that training the same documents builds --


def random_change(rng, held):
    """('update', docs) or ('remove', ids), naming held and unknown ids."""
    words = ["lava", "ash", "cinza", "rio", "tren", "sol", "mar", "ponte", "pão"]
    ids = list(held) + [rng.randint(0, 15), "d%d" % rng.randint(0, 15)]
    if rng.random() < 0.35:
        return "remove", rng.sample(ids, rng.randint(0, min(len(ids), 6)))
    docs = []
    for _ in range(rng.randint(0, 8)):
        kind = rng.random()
        text = "" if kind < 0.1 else " ".join(rng.choice(words) for _ in range(rng.randint(1, 6)))
        docs.append(None if kind < 0.05 else doc(rng.choice(ids), text, rng.choice([None, Idiomark.SPANISH])))
    return "update", docs


@pytest.mark.parametrize("seed", range(10))
def test_updates_and_removals_leave_what_training_from_scratch_leaves(tmp_path, monkeypatch, seed):
    rng = random.Random(seed)
    writes = []
    monkeypatch.setattr(td_module, "joblib", types.SimpleNamespace(
        dump=lambda value, name: (writes.append(name), joblib.dump(value, name)), load=joblib.load))
    monkeypatch.setattr(td_module, "preprocess_text_for_stemmetization", lambda text, lang: (text.split(), text))
    models = str(tmp_path / "models")
    os.mkdir(models)
    expected = {}  # id -> (text, language), in index order
    engine = FinderyTD(models)
    for step in range(14):
        kind, arg = random_change(rng, expected)
        if step == 12:  # everything goes: an empty index that training fills again
            kind, arg = "remove", list(expected) + ["unknown"]
        before, count = len(writes), 0
        if kind == "update":
            for d in arg:
                if d is not None and d.text:
                    expected[d.id] = (d.text, d.detected_language)
                    count += 1
            assert engine.update_documents(iter(arg)) == count
        else:
            count = sum(1 for i in set(arg) if expected.pop(i, None) is not None)
            assert engine.remove_documents(arg) == count
        assert len(writes) - before == (1 if count else 0)  # one write, none without a change
        if not os.path.exists(os.path.join(models, "td_model.pkl")):
            continue

        reread = FinderyTD(models)
        if not expected:
            assert reread.search_documents("lava", "es") == [] == engine.search_documents("lava", "es")
            assert reread.document_names == [] and reread.tfidf_matrix is None
            continue
        fresh_dir = str(tmp_path / ("fresh%d" % step))
        os.mkdir(fresh_dir)
        fresh = FinderyTD(fresh_dir)
        fresh.train_batch([doc(i, text, lang) for i, (text, lang) in expected.items()])
        for other in (engine, reread):
            other.load_model()
            assert engine_state(other) == engine_state(fresh)
            assert (other.tfidf_matrix != fresh.tfidf_matrix).nnz == 0
            for query in ("lava ash", "rio pão", "mar"):
                assert bits(other.search_documents(query, "es")[1]) == bits(fresh.search_documents(query, "es")[1])


def test_refused_and_failed_changes_leave_the_stored_index_in_charge(models, monkeypatch):
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "alpha lava"), doc("b", "beta ash")])
    monkeypatch.setattr(td_module, "TfidfVectorizer", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        engine.update_documents([doc("a", "changed"), doc("c", "new")])
    monkeypatch.undo()
    for one_id, error in [("b", "not one str"), (b"b", "not one bytes"), ([["b"]], "unhashable")]:
        with pytest.raises(TypeError, match=error):
            engine.remove_documents(one_id)
    assert engine.remove_documents(["b"]) == 1
    assert stored(models)["cleaned_text"] == {"a": "alpha lava"}


def test_a_failed_fit_of_new_documents_is_not_half_kept(models, monkeypatch):
    # The batch was filed in memory when the fit failed: kept so, a retry
    # would pass its documents over as indexed and they would never be stored.
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "alpha lava"), doc("b", "beta ash")])
    monkeypatch.setattr(td_module, "TfidfVectorizer", lambda: 1 / 0)
    for train in (lambda: engine.train_batch([doc("c", "gamma lava")]),
                  lambda: engine.train_model(doc("c", "gamma lava"))):
        with pytest.raises(ZeroDivisionError):
            train()
        assert not engine.is_loaded and engine.tfidf_matrix is None
    monkeypatch.undo()
    engine.train_model(doc("c", "gamma lava"))
    assert stored(models)["document_names"] == ["a", "b", "c"]
    assert [h["name"] for h in engine.search_documents("gamma", "en")[1]] == ["c"]


# ---- the writer protocol's files: leftovers, durability, threads --------------


def test_a_writer_removes_only_the_temporaries_of_dead_writers(models):
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True)
    dead = int(gone.stdout)
    with subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"]) as alive:
        try:
            names = ["td_model.pkl.tmp-%d-1-2" % dead, "debug_td_model.json.tmp-%d-3-4" % dead,
                     "td_model.pkl.tmp-%d-1-2" % alive.pid, "td_model.pkl.tmp-%d-5-6" % os.getpid(),
                     "notes.tmp-%d" % dead]
            for name in names:
                with open(os.path.join(models, name), "wb") as f:
                    f.write(b"partial")
            FinderyTD(models).train_model(doc("a", "alpha lava"))
            assert sorted(os.listdir(models)) == sorted(names[2:] + ["td_model.pkl", "debug_td_model.json",
                                                                       "td_search_index.bin", "td_term_counts.bin"])
        finally:
            alive.kill()


STRACED_WRITE = textwrap.dedent(
    """
    import sys, types
    from wrapper.core.FinderyTD import FinderyTD
    d = types.SimpleNamespace(id="a", text="alpha lava", cleaned_text="alpha lava", detected_language=None)
    FinderyTD(sys.argv[1]).train_model(d)
    """
)


def test_every_rename_into_the_models_directory_reaches_the_disk(models):
    trace = subprocess.run(["strace", "-f", "-e", "trace=openat,rename,renameat,renameat2,fsync",
                            sys.executable, "-c", STRACED_WRITE, models],
                           capture_output=True, text=True, timeout=120)
    assert trace.returncode == 0, trace.stderr[-2000:]
    calls = [" ".join(re.sub(r"^\[pid +\d+\] ", "", line).split()) for line in trace.stderr.splitlines()]
    renamed = [i for i, c in enumerate(calls) if c.startswith("rename") and c.endswith("= 0")
               and models in c]
    assert len(renamed) == 4  # the model, the index searched and the counts beside it, the debug dump
    for i in renamed:
        opened = next(c for c in calls[i + 1:] if c.startswith("openat(") and '"%s"' % models in c)
        fd = opened.rsplit("= ", 1)[1]
        assert "fsync(%s) = 0" % fd in calls[i + 1:i + 6]


DEADLOCK = textwrap.dedent(
    """
    import os, threading, time, types
    from wrapper.core.FinderyTD import FinderyTD
    real_strerror, reporting = os.strerror, threading.Event()

    def slow_strerror(code):  # the failed lock's error is being built
        reporting.set()
        time.sleep(0.5)  # gives the GIL away
        return real_strerror(code)

    os.strerror = slow_strerror
    d = types.SimpleNamespace(id="a", text="t", cleaned_text="t", detected_language=None)

    def train(wait):
        wait()
        try:
            FinderyTD("/nonexistent/wrapper-test/models").train_model(d)
        except FileNotFoundError:
            pass

    threads = [threading.Thread(target=train, args=(w,)) for w in (lambda: None, reporting.wait)]
    for t in threads: t.start()
    for t in threads: t.join()
    print("done")
    """
)


def test_a_thread_reporting_a_failed_lock_never_deadlocks_another():
    # Host code run under the lock table's mutex can hand the GIL to a thread
    # that then waits for the mutex with the GIL held.
    run = subprocess.run([sys.executable, "-c", DEADLOCK], capture_output=True, text=True, timeout=60)
    assert run.stdout == "done\n", run.stderr[-2000:]


# ---- ranking and paging -------------------------------------------------------


def reference_page(scores, page, per_page):
    ranked = sorted(enumerate(scores), key=lambda pair: -pair[1])
    start = (page - 1) * per_page
    return [(row, score) for row, score in ranked[start : start + per_page] if score > 0]


@pytest.fixture
def scored_engine(models, monkeypatch):
    """An engine whose scores are set by the test."""
    engine = FinderyTD(models)
    engine.is_loaded = True
    engine.tfidf_vectorizer = TfidfVectorizer().fit(["some words"])
    engine.tfidf_matrix = None
    monkeypatch.setattr(td_module, "preprocess_text_for_stemmetization", lambda text, lang: ([text], text))

    def set_scores(scores):
        engine.document_names = ["d%d" % i for i in range(len(scores))]
        engine.detected_languages = {name: "en" for name in engine.document_names}
        monkeypatch.setattr(td_module, "cosine_similarity", lambda row, matrix: np.array([scores]))

    return engine, set_scores


def test_paging_slices_like_the_host(scored_engine):
    engine, set_scores = scored_engine
    rng = random.Random(5)
    bounds = list(range(-4, 6)) + [2**40, -(2**40), 2**70, -(2**70)]
    for _ in range(300):
        scores = [rng.choice([0.0, 0.25, 0.5, 1.0, rng.random(), -rng.random()]) for _ in range(rng.randint(0, 25))]
        set_scores(scores)
        page, per_page = rng.choice(bounds), rng.choice(bounds)
        corrected, hits = engine.search_documents("some", Idiomark.ENGLISH, page, per_page)
        expected = reference_page(scores, page, per_page)
        assert [(h["name"], h["Pontuação"]) for h in hits] == [("d%d" % r, s) for r, s in expected]
        assert all(list(h) == ["name", "Pontuação", "language"] for h in hits)


def test_paging_errors_are_the_hosts(scored_engine):
    engine, set_scores = scored_engine
    set_scores([0.5, 0.2])
    with pytest.raises(TypeError, match="slice indices must be integers"):
        engine.search_documents("some", Idiomark.ENGLISH, 1.0, 10)


# ---- scores against cosine_similarity ---------------------------------------------

def reference_search(engine, corrected, page, per_page):
    """The whole ranking computed as specified, then one page of it."""
    row = engine.tfidf_vectorizer.transform([corrected])
    scores = cosine_similarity(row, engine.tfidf_matrix).flatten()
    ranked = sorted(enumerate(scores), key=lambda pair: -pair[1])
    start = (page - 1) * per_page
    return [(engine.document_names[r], s) for r, s in ranked[start : start + per_page] if s > 0]


def random_engine(models, rng, monkeypatch, **vectorizer):
    """An engine over a random corpus with repeated and empty documents."""
    words = ["".join(rng.choice("abcdefgé") for _ in range(rng.randint(2, 6))) for _ in range(rng.randint(1, 40))]
    texts = []
    for _ in range(rng.randint(1, 60)):
        if texts and rng.random() < 0.2:
            texts.append(rng.choice(texts))  # a duplicate: equal scores
        else:
            texts.append(" ".join(rng.choice(words) for _ in range(rng.randint(0, 12))) or "x")
    texts.append(" ".join(words))  # so every word is in the vocabulary
    engine = FinderyTD(models)
    engine.is_loaded = True
    engine.tfidf_vectorizer = TfidfVectorizer(**vectorizer)
    engine.tfidf_matrix = engine.tfidf_vectorizer.fit_transform(texts)
    engine.document_names = ["d%d" % i for i in range(len(texts))]
    engine.detected_languages = {name: "en" for name in engine.document_names}
    monkeypatch.setattr(td_module, "preprocess_text_for_stemmetization", lambda text, lang: ([text], text))
    return engine, words


def bits(hits):
    return [(h["name"], type(h["Pontuação"]), float(h["Pontuação"]).hex()) for h in hits]


@pytest.mark.parametrize(
    "seed, vectorizer",
    [(seed, {}) for seed in range(6)]
    + [(6, {"sublinear_tf": True}), (7, {"lowercase": False}), (8, {"token_pattern": r"\w+"})],
)
def test_search_equals_cosine_similarity_bit_for_bit(models, monkeypatch, seed, vectorizer):
    rng = random.Random(seed)
    engine, words = random_engine(models, rng, monkeypatch, **vectorizer)
    n = len(engine.document_names)
    pages = [1, 1, 2, 3, 0, -1, -2, n, n + 1, 2**40, -(2**40)]
    # Misspelt, capitalised, one-letter and unknown words ("zzzz", "İ" whose
    # lower case is two characters), and separators.
    extra = ["zzzz", words[0] + "q", words[-1].upper(), "a", "İé", "-", "ÉÉ"]
    for _ in range(40):
        query = " ".join(rng.choice(words + extra) for _ in range(rng.randint(1, 5)))
        page, per_page = rng.choice(pages), rng.choice([1, 2, 3, 10, 0, -3, n])
        corrected, hits = engine.search_documents(query, Idiomark.ENGLISH, page, per_page)
        expected = reference_search(engine, corrected, page, per_page)
        assert bits(hits) == [(name, np.float64, float(s).hex()) for name, s in expected]


@pytest.mark.parametrize(
    "change",
    [
        lambda m: m * 3.0,  # another matrix object
        lambda m: setattr(m, "data", m.data * 3.0) or m,  # the same object, new values
        lambda m: m.astype(np.float32),  # left to cosine_similarity itself
        lambda m: m.tocsc(),
        lambda m: sparse.csr_matrix(m.toarray() * np.array([0.5] + [1.0] * (m.shape[1] - 1))),
    ],
)
def test_a_changed_matrix_is_scored_afresh(models, monkeypatch, change):
    engine, words = random_engine(models, random.Random(11), monkeypatch)
    engine.search_documents(words[0], Idiomark.ENGLISH)  # prepares the first matrix
    engine.tfidf_matrix = change(engine.tfidf_matrix)
    for word in words:
        corrected, hits = engine.search_documents(word, Idiomark.ENGLISH, 1, 100)
        expected = reference_search(engine, corrected, 1, 100)
        assert [(h["name"], h["Pontuação"]) for h in hits] == expected


def test_a_matrix_cosine_similarity_refuses_fails_as_it_does(models, monkeypatch):
    engine, words = random_engine(models, random.Random(12), monkeypatch)
    engine.tfidf_matrix = engine.tfidf_matrix.copy()
    engine.tfidf_matrix.data[0] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        engine.search_documents(words[0], Idiomark.ENGLISH)
    engine.tfidf_matrix = engine.tfidf_matrix[:, :1]
    with pytest.raises(ValueError, match="Incompatible dimension"):
        engine.search_documents(words[0], Idiomark.ENGLISH)


def test_what_search_derives_is_neither_stored_nor_kept_past_its_matrix(models):
    engine = FinderyTD(models)
    engine.train_model(doc("one", "volcano lava ash"))
    engine.train_model(doc("two", "river bridge"))
    engine.search_documents("lava", Idiomark.ENGLISH)
    searched = weakref.ref(engine.tfidf_matrix)
    engine.train_model(doc("three", "lava flows"))  # a new matrix replaces it
    gc.collect()
    assert searched() is None
    stored = joblib.load(os.path.join(models, "td_model.pkl"))
    assert list(stored) == ["matrix", "vectorizer", "document_names", "detected_languages", "cleaned_text"]
    assert type(stored["matrix"]) is type(engine.tfidf_matrix)
    assert vars(stored["matrix"]).keys() == vars(TfidfVectorizer().fit_transform(["aa bb"])).keys()


def test_threads_searching_at_once_get_what_one_gets(models, monkeypatch):
    engine, words = random_engine(models, random.Random(13), monkeypatch)
    queries = [" ".join(random.Random(i).sample(words, min(3, len(words)))) for i in range(60)]
    alone = [engine.search_documents(q, Idiomark.ENGLISH, 1, 5) for q in queries]
    results = {}
    barrier = threading.Barrier(4)

    def work(k):
        barrier.wait()
        # Half the threads swap in a new matrix now and then, so indexes are
        # derived and dropped while others score.
        for i, q in enumerate(queries):
            if k % 2 and i % 20 == 0:
                engine.tfidf_matrix = engine.tfidf_matrix.copy()
            results[k, i] = engine.search_documents(q, Idiomark.ENGLISH, 1, 5)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all(results[k, i] == alone[i] for k in range(4) for i in range(len(queries)))


# ---- search --------------------------------------------------------------------


@pytest.fixture
def three_docs(models):
    engine = FinderyTD(models)
    engine.train_model(doc("one", "river bridge"))
    engine.train_model(doc("two", "volcano lava"))
    engine.train_model(doc("three", "market bread"))
    return engine


def test_search_without_a_model_is_an_empty_list(models):
    assert FinderyTD(models).search_documents("anything", Idiomark.ENGLISH) == []


@pytest.mark.parametrize(
    "page, per_page, names",
    [(1, 10, ["two"]), (2, 10, []), (0, 10, []), (1, 0, []), (2, 1, [])],
)
def test_zero_scores_take_places_before_the_filter(three_docs, page, per_page, names):
    corrected, hits = three_docs.search_documents("the volcanoes", Idiomark.ENGLISH, page, per_page)
    assert corrected == "volcano"
    assert [h["name"] for h in hits] == names
    assert all(isinstance(h["Pontuação"], np.floating) and h["Pontuação"] > 0 for h in hits)


def test_equal_scores_keep_indexing_order(models):
    engine = FinderyTD(models)
    for name in ["z", "m", "a"]:
        engine.train_model(doc(name, "lava and more"))
    _, hits = engine.search_documents("lava", Idiomark.ENGLISH)
    assert [h["name"] for h in hits] == ["z", "m", "a"]


def test_the_query_is_corrected_towards_the_vocabulary(three_docs):
    # "volcanno" stems to "volcanno", one letter from the indexed "volcano".
    corrected, hits = three_docs.search_documents("volcanno", Idiomark.ENGLISH, 1, 10, 0.9)
    assert corrected == "volcano" and [h["name"] for h in hits] == ["two"]


def test_search_languages(three_docs, monkeypatch):
    def no_detection(text):
        raise AssertionError("detection must not run")

    monkeypatch.setattr(Tonguecheck, "detect_lang", no_detection)
    # A language code from the facade is taken as its member.
    corrected, _ = three_docs.search_documents("os vulcões", "pt")
    assert corrected == "vulco"
    with pytest.raises(ValueError):
        three_docs.search_documents("lava", "xx")

    asked = []
    monkeypatch.setattr(Tonguecheck, "detect_lang", lambda text: asked.append(text) or Idiomark.ENGLISH)
    three_docs.search_documents("volcanoes")
    assert asked == ["volcanoes"]


def test_a_query_of_stopwords_fails_in_the_stemming_pipeline(three_docs):
    with pytest.raises(Exception, match="it doesn't have tokens for text: "):
        three_docs.search_documents("the and of", Idiomark.ENGLISH)
