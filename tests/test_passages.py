"""Where a hit matched: kept pages, passages against a slow reference, both engines."""

import json
import os
import random
import re
import types

import fitz
import numpy as np
import pytest

from wrapper.core import Pagekeep
from wrapper.core.PDF import PDF
from wrapper.infra import Pagewring
from wrapper.infra.Enginekind import Enginekind
from wrapper.infra.Idiomark import Idiomark
from wrapper.infra.Wordwash import preprocess_text_for_stemmetization
from wrapper.Process import Process

from samples import EN, ES, PT

# ---- the slow reference ----------------------------------------------------


def words_of(text):
    """(piece start, piece end, word start, word end) of each piece holding a word character."""
    out = []
    for m in re.finditer(r"\S+", text):
        inside = [i for i, c in enumerate(m.group()) if re.match(r"\w", c)]
        if inside:
            out.append((m.start(), m.end(), m.start() + inside[0], m.start() + inside[-1] + 1))
    return out


def reference_find(record, weights, count, size):
    pages = []
    for page in record["pages"]:
        words = words_of(page["text"])
        keys = page["terms"].split(" ") if page["terms"] else []
        keys = ["" if k == "-" else k for k in keys] if len(keys) == len(words) else [None] * len(words)
        pages.append((page, words, keys))

    def describe(keys, first, last):
        present = {k for k in keys[first:last] if k in weights}
        weight = 0.0
        for term in weights:  # summed in the weights' own order
            if term in present:
                weight += weights[term]
        return len(present), weight

    found = []
    for number, (page, words, keys) in enumerate(pages):
        n = len(words)
        if not n:
            continue
        width = min(size, n)
        best = None
        for start in range(n - width + 1):
            distinct, weight = describe(keys, start, start + width)
            if best is None or (distinct, weight) > best[:2]:
                best = (distinct, weight, start)
        if best[0] == 0:
            continue
        hits = [i for i in range(best[2], best[2] + width) if keys[i] in weights]
        pad = (width - (hits[-1] - hits[0] + 1)) // 2
        last = min(n, max(hits[0] - pad, 0) + width)
        found.append((best[0], best[1], number, last - width, last))
    found.sort(key=lambda f: (-f[0], -f[1]))
    found = found[:count]
    if not found and count > 0:
        for number, (page, words, keys) in enumerate(pages):
            if words:
                found = [(0, 0.0, number, 0, min(size, len(words)))]
                break

    out = []
    for _, _, number, first, last in found:
        page, words, keys = pages[number]
        text, marks = "", []
        for i in range(first, last):
            pb, pe, wb, we = words[i]
            if i > first:
                text += " "
            if keys[i] in weights:
                marks.append((len(text) + wb - pb, len(text) + we - pb))
            text += page["text"][pb:pe]
        out.append({"page": page["page"], "text": text, "marks": marks})
    return out


PIECES = ["lava", "Ash,", "(river)", "vol-can", "é", "日本", "--", "x", "a.b", "_", "ça"]
KEYS = ["lava", "ash", "river", "volcan", "e", "-", "x", "ab"]
SPACES = [" ", "  ", "\n", "\t", "\u00a0", "\u2003 "]


def random_record(rng):
    pages = []
    for number in range(rng.randint(0, 4)):
        n = rng.randint(0, 30)
        text = rng.choice(["", " "]) + "".join(rng.choice(PIECES) + rng.choice(SPACES) for _ in range(n))
        words = len(words_of(text))
        keys = [rng.choice(KEYS) for _ in range(words + (rng.random() < 0.1))]
        pages.append({"page": rng.choice([number + 1, None]), "text": text, "terms": " ".join(keys)})
    return {"pages": pages}


def test_find_matches_the_reference_on_generated_pages():
    rng = random.Random(18)
    for _ in range(600):
        record = random_record(rng)
        terms = rng.sample(KEYS[:5] + ["absent"], rng.randint(0, 4))
        weights = {t: rng.choice([0.5, 1.0, 1.0, 2.25]) for t in terms}
        count, size = rng.randint(0, 4), rng.randint(1, 9)
        got = [dict(p, marks=[tuple(m) for m in p["marks"]])
               for p in Pagekeep.find(record, weights, count, size)]
        assert got == reference_find(record, weights, count, size), (record, weights, count, size)


TRICKY = " A well-known e-mail: x@y.com; 3.5% (test), ÉPOCA."


@pytest.mark.parametrize("text, language", [(EN + TRICKY, Idiomark.ENGLISH), (PT, Idiomark.PORTUGUESE),
                                            (ES, Idiomark.SPANISH), (EN + TRICKY, None)])
def test_each_word_gets_the_engines_own_term(text, language):
    stems = preprocess_text_for_stemmetization(text, language)[0]
    for _ in range(2):  # the second time, every word's term is one met before
        kept = [t for t in Pagekeep.terms(text, language).split(" ") if t != "-"]
        assert kept == [s.lower() for s in stems]


def test_terms_met_before_follow_the_hosts_functions(monkeypatch):
    # Terms are remembered across documents; one a host's replacement would
    # make otherwise must come from the replacement once it is in place.
    import unicodedata
    from wrapper.infra import Wordwash
    text = "Volcanoes erupted; lava flows reached the villages. " * 3
    plain = Pagekeep.terms(text, Idiomark.ENGLISH)
    assert Pagekeep.terms(text, Idiomark.ENGLISH) == plain and "volcano" in plain
    own = unicodedata.normalize
    monkeypatch.setattr(unicodedata, "normalize",
                        lambda form, t: own(form, t).replace("lava", "magma"))
    assert Pagekeep.terms(text, Idiomark.ENGLISH) == plain.replace("lava", "magma")
    monkeypatch.undo()
    assert Pagekeep.terms(text, Idiomark.ENGLISH) == plain

    class Shouting:
        def __init__(self, language):
            pass

        def stem(self, word):
            return word.upper() + "x"

    monkeypatch.setattr(Wordwash, "SnowballStemmer", Shouting)
    assert Pagekeep.terms("villages erupted", Idiomark.ENGLISH) == "villagesx eruptedx"
    monkeypatch.undo()
    assert Pagekeep.terms(text, Idiomark.ENGLISH) == plain


def test_terms_with_a_warm_memo_equal_those_made_afresh():
    # Random words of the three languages, cases and accents mixed, in random
    # languages: each text's terms equal what the pipeline makes when no word
    # was met before (a fresh process).
    import subprocess
    import sys
    rng = random.Random(5)
    words = (EN + " " + PT + " " + ES + TRICKY).split()
    texts = []
    for _ in range(60):
        picked = [rng.choice(words) for _ in range(rng.randint(0, 40))]
        picked = [w.upper() if rng.random() < 0.1 else w for w in picked]
        texts.append((" ".join(picked), rng.choice(["en", "pt", "es", None])))
    warm = [Pagekeep.terms(t, Idiomark(code) if code else None) for t, code in texts]
    script = (
        "import json, sys\n"
        "from wrapper.core import Pagekeep\n"
        "from wrapper.infra.Idiomark import Idiomark\n"
        "print(json.dumps([Pagekeep.terms(t, Idiomark(c) if c else None)\n"
        "                  for t, c in json.loads(sys.stdin.read())]))\n")
    fresh = [json.loads(subprocess.run([sys.executable, "-c", script, str(i)], check=True,
                                       capture_output=True, text=True,
                                       input=json.dumps([texts[i]])).stdout)[0]
             for i in range(0, len(texts), 12)]
    assert fresh == warm[::12]


def random_page_doc(rng, i):
    """A filed document as keep() may be handed one: ids of several kinds,
    texts with every kind of character JSON escapes, pages or none."""
    words = (EN + " " + PT + " " + ES + TRICKY).split() + ['"q"', "back\\slash", "tab\there", "\x7f\x01",
                                                          "\ud800", "😀x", "line\nbreak", "\u2028"]
    pages = [" ".join(rng.choice(words) for _ in range(rng.randint(0, 30))) for _ in range(rng.randint(1, 3))]
    text = "".join(pages)
    kind = rng.randrange(12)
    if kind == 0:
        text = rng.choice([None, "", b"bytes"])
    language = rng.choice([Idiomark.ENGLISH, Idiomark.SPANISH, Idiomark.PORTUGUESE, None, "en", "es"])
    # A code made anew at each read: objects freed in between share addresses.
    made = FreshLanguage if isinstance(language, str) else types.SimpleNamespace
    doc = made(id=rng.choice([f"dir/doc-{i}.pdf", i, ("tuple", i), f"sur\udc80rogate-{i}"]), text=text,
               pages=pages if kind % 3 else None if kind == 1 else ["not", "the text"],
               is_detect_language=rng.random() < 0.8)
    doc.code = language
    if made is types.SimpleNamespace:
        doc.detected_language = language
    return doc


class FreshLanguage(types.SimpleNamespace):
    @property
    def detected_language(self):
        return types.SimpleNamespace(value="".join(list(self.code)))


@pytest.mark.parametrize("seed", range(3))
def test_a_batch_keeps_the_files_keep_writes_byte_for_byte(tmp_path, seed):
    # More documents than one round of the batch; a language the pipeline
    # does not know fails its document alone, as does a file that cannot be
    # replaced (a directory in its place).
    rng = random.Random(seed)
    docs = [random_page_doc(rng, i) for i in range(300)]
    docs[7].detected_language, docs[7].is_detect_language, docs[7].text = "xx", True, "some words"
    for d in docs[3], docs[5]:
        d.text, d.pages = "a text", None
    one, many = tmp_path / "one", tmp_path / "many"
    for base in (one, many):
        os.makedirs(base / "pages")
        os.makedirs(Pagekeep.path(str(base), docs[3].id))
        with open(Pagekeep.path(str(base), docs[5].id)[:-5] + ".f16", "wb") as f:
            f.write(b"stale window embeddings")
    expected = []
    for d in docs:
        try:
            Pagekeep.keep(str(one), d, durable=False)
            expected.append(None)
        except Exception as e:  # noqa: BLE001 (the same exception, whatever it is)
            expected.append((type(e), str(e).replace(str(one), "BASE")))
    got = Pagekeep.keep_batch(str(many), docs, durable=False)
    assert [None if e is None else (type(e), str(e).replace(str(many), "BASE")) for e in got] == expected
    assert expected[3] is not None and expected[7] is not None and expected.count(None) > 250

    def files(base):
        return {f.name: f.read_bytes() for f in sorted((base / "pages").iterdir()) if not f.is_dir()}
    assert files(one) == files(many)
    assert len(files(one)) > 200
    assert not any(name.endswith(".f16") for name in files(many))


def test_pdf_readers_record_the_pages_of_what_they_return(tmp_path):
    path = tmp_path / "three.pdf"
    with fitz.open() as doc:
        for words in ("first page words", "second page lava", "third page ash"):
            doc.new_page().insert_text((72, 72), words)
        doc.save(path)
    for read in (Pagewring.get_text_from_pdf, Pagewring._extract_text_from_pdf):
        text = read(str(path))
        pages = Pagewring._pages_of(text)
        assert len(pages) == 3 and "".join(pages) == text and "lava" in pages[1]
        assert Pagewring._pages_of(text) is None  # handed out once
        read(str(path))
        assert Pagewring._pages_of(text + "x") is None  # only for that very text


# ---- through the facade ----------------------------------------------------

HARBOUR = "The harbour opened at dawn and the boats left along the river for the banks."
RIDGE = "Volcanoes erupted along the ridge; the lava flows reached the villages by night."
ASH = "The ash from the eruption covered the fields, and a volcano observatory was built."
BREAD = "Knead the dough, let it rise for an hour, then bake the loaf until golden."


def file_pages(process, name, pages, language=Idiomark.ENGLISH):
    doc = PDF(process.base_path, True)
    doc.id, doc.pages, doc.detected_language = name, pages, language
    doc.text = doc.extracted_text = "".join(pages)
    doc.tokens, doc.cleaned_text = preprocess_text_for_stemmetization(doc.text, language)
    return doc


@pytest.fixture(scope="module")
def td(tmp_path_factory):
    process = Process(str(tmp_path_factory.mktemp("td")), True, None, Enginekind.TD)
    process.train_docs([file_pages(process, "a", [HARBOUR, RIDGE, ASH]),
                        file_pages(process, "b", ["The river is wide.", BREAD]),
                        file_pages(process, "c", ["Down by the river bank."]),
                        file_pages(process, "pt", ["A padaria abriu cedo.", PT], Idiomark.PORTUGUESE)])
    return process


def marked(passage):
    return [passage["text"][b:e] for b, e in passage["marks"]]


@pytest.mark.parametrize("query, language, name, expected", [
    # stemmed: both pages hold both words; the earlier page first
    ("volcano eruptions", Idiomark.ENGLISH, "a", [(2, ["Volcanoes", "erupted"]),
                                                  (3, ["eruption", "volcano"])]),
    # rarity: the river is in every document, the lava only here
    ("river lava", Idiomark.ENGLISH, "a", [(2, ["lava"]), (1, ["river"])]),
    ("volcanno", Idiomark.ENGLISH, "a", [(2, ["Volcanoes"]), (3, ["volcano"])]),  # corrected
    ("vulcao cinzas", Idiomark.PORTUGUESE, "pt", [(2, ["vulcão", "cinza"])]),  # accents folded
])
def test_term_passages_name_the_pages_and_mark_the_words(td, query, language, name, expected):
    corrected, hits = td.search(query, language)
    hit = next(h for h in hits if h["name"] == name)
    found = td.passages(hit, query, language)
    assert [(p["page"], marked(p)) for p in found] == expected
    assert not any(p["reindex"] for p in found)
    assert td.search(query, language) == (corrected, hits)  # hits as the engine gives them


@pytest.mark.parametrize("query, shown", [
    ("the volcanno eruptions", "the volcano eruptions"),  # the document's own word
    ("lava flows", None),  # nothing corrected
])
def test_did_you_mean_writes_corrected_words_as_documents_do(td, query, shown):
    _, hits = td.search(query, Idiomark.ENGLISH)
    assert td.did_you_mean(query, hits, Idiomark.ENGLISH) == shown


def test_did_you_mean_offers_nothing_that_was_typed(td):
    # Spanish stems "volcano" as "volcan", which the engine corrects towards
    # the English "volcano": written as the documents write it, that is the
    # very word typed.
    corrected, hits = td.search("Volcano", Idiomark.SPANISH)
    assert corrected == "volcano" and hits
    assert td.did_you_mean("Volcano", hits, Idiomark.SPANISH) is None


def test_a_hit_in_another_language_marks_its_own_stems(td, monkeypatch):
    from wrapper.core import FinderyTD as td_module

    monkeypatch.setattr(td_module, "RANKING", "bm25")
    # English stems "cinzas" as "cinza", Portuguese as "cinz", as it does "cinza".
    _, hits = td.search("cinzas", Idiomark.ENGLISH)
    [hit] = hits
    assert hit["name"] == "pt"
    assert marked(td.passages(hit, "cinzas", Idiomark.ENGLISH)[0]) == ["cinza"]


def test_pages_follow_their_documents_through_update_and_removal(tmp_path):
    process = Process(str(tmp_path), True, None, Enginekind.TD)
    process.train_docs([file_pages(process, "a", [HARBOUR]), file_pages(process, "b", [BREAD])])
    process.update_docs([file_pages(process, "a", ["The river is wide.", RIDGE])])
    _, hits = process.search("lava", Idiomark.ENGLISH)
    assert [(p["page"], marked(p)) for p in process.passages(hits[0], "lava", Idiomark.ENGLISH)] \
        == [(2, ["lava"])]
    assert process.remove_docs(["b", "never-filed"]) == 1
    assert not os.path.exists(Pagekeep.path(process.modeldir, "b"))
    assert os.path.exists(Pagekeep.path(process.modeldir, "a"))


def kept_text(process, name):
    record = Pagekeep.read(process.modeldir, name)
    return " ".join(page["text"] for page in record["pages"])


@pytest.mark.parametrize("engine", [Enginekind.TD, Enginekind.SB])
@pytest.mark.parametrize("batch", [False, True])
def test_a_document_the_engine_passes_over_keeps_the_pages_of_the_one_it_holds(
        tmp_path, engine, batch):
    process = Process(str(tmp_path), True, None, engine)
    first = file_pages(process, "a", [RIDGE])
    process.train_docs([first]) if batch else process.train_doc(first)
    # The same id again: the engine keeps what it holds, and so must the pages.
    again = [file_pages(process, "a", [BREAD]), file_pages(process, "b", [HARBOUR])]
    if batch:
        process.train_docs(again)
    else:
        for doc in again:
            process.train_doc(doc)
    assert kept_text(process, "a") == RIDGE
    assert kept_text(process, "b") == HARBOUR
    # Within one batch the first of two copies is the one filed.
    process.train_docs([file_pages(process, "c", [ASH]), file_pages(process, "c", [BREAD])])
    assert kept_text(process, "c") == ASH
    _, hits = process.search("lava villages", Idiomark.ENGLISH)
    hit = next(h for h in hits if h["name"] == "a")
    assert "lava" in process.passages(hit, "lava", Idiomark.ENGLISH)[0]["text"]


@pytest.mark.race
def test_two_writers_of_one_id_leave_its_entry_and_pages_of_one_version(tmp_path):
    import threading
    texts = [RIDGE, BREAD, HARBOUR, ASH]
    processes = [Process(str(tmp_path), True, None, Enginekind.TD) for _ in texts]
    barrier = threading.Barrier(len(texts))
    errors = []

    def write(process, text):
        try:
            barrier.wait()
            for _ in range(3):
                process.update_docs([file_pages(process, "same", [text])])
        except Exception as error:  # reported below, not lost in a thread
            errors.append(error)
    threads = [threading.Thread(target=write, args=pair) for pair in zip(processes, texts)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    fresh = Process(str(tmp_path), True, None, Enginekind.TD)
    fresh.document_search.load_model()
    held = fresh.document_search.cleaned_text["same"]
    _, terms = preprocess_text_for_stemmetization(kept_text(fresh, "same"), Idiomark.ENGLISH)
    assert held == terms


def test_a_document_filed_before_pages_were_kept_shows_its_stems(td):
    hit = {"name": "c", "Pontuação": 0.5, "language": Idiomark.ENGLISH}
    assert Pagekeep.forget(td.modeldir, "c") and not Pagekeep.forget(td.modeldir, "c")
    assert Pagekeep.path(td.modeldir, "c") != Pagekeep.path(td.modeldir, "a")
    with open(Pagekeep.path(td.modeldir, "c"), "w") as damaged:  # read as no store at all
        damaged.write('{"version": 1, "id": "\'c\'", "pages": [{"page": 1}]}')
    # A fresh Process has no last query to reuse: it settles it itself.
    process = Process(td.base_path, True, None, Enginekind.TD)
    [only] = process.passages(hit, "rivers", Idiomark.ENGLISH)
    assert only == {"page": None, "text": "river bank", "marks": [[0, 5]], "reindex": True}
    assert process.passages(hit, "rivers", Idiomark.ENGLISH, count=0) == []


def test_embedding_passages_pick_the_closest_page(tmp_path):
    process = Process(str(tmp_path), True, None, Enginekind.SB)
    process.train_docs([file_pages(process, "mixed", [HARBOUR, BREAD, RIDGE])])
    query = "molten rock pouring from a mountain"
    _, [hit] = process.search(query, Idiomark.ENGLISH)
    found = process.passages(hit, query, Idiomark.ENGLISH, count=2)
    assert found[0]["page"] == 3 and len({p["page"] for p in found}) == 2
    vectors = Pagekeep.path(process.modeldir, "mixed")[:-len(".json")] + ".f16"
    assert os.path.exists(vectors)
    Pagekeep.forget(process.modeldir, "mixed")
    assert not os.path.exists(vectors)
    assert process.passages(hit, query, Idiomark.ENGLISH) == [
        {"page": None, "text": "", "marks": [], "reindex": True}]


class Listed:
    """A model that gives the next of its vectors for each text, one text at a time."""

    def __init__(self, vectors):
        self.vectors, self.texts = iter(vectors), []

    def encode(self, text, convert_to_tensor=True):
        self.texts.append(text)
        return next(self.vectors)


def test_window_embeddings_are_kept_as_halves(tmp_path):
    rng = np.random.default_rng(18)
    special = [0.0, -0.0, 65504.0, 65520.0, 1e9, -1e9, 2.0**-24, 2.0**-25, 3 * 2.0**-25,
               1e-10, 1.0 + 2.0**-11, 1.0 + 3 * 2.0**-11, np.inf, -np.inf, np.nan]
    vectors = rng.uniform(-1, 1, (4, 64)) * 2.0 ** rng.integers(-28, 17, (4, 64))
    vectors[0, :len(special)] = special
    vectors = vectors.astype(np.float32)
    model = Listed(vectors)
    doc = file_pages(Process(str(tmp_path), True, None, Enginekind.TD), "d",
                     [" ".join(["word"] * 90), "", "a few words"])  # 3 windows, none, 1
    where = Pagekeep.keep(str(tmp_path), doc, model, "en")
    assert [len(t.split()) for t in model.texts] == [40, 40, 10, 3]
    assert Pagekeep.read(str(tmp_path), "d")["vectors"]["rows"] == 4
    with open(where[:-len(".json")] + ".f16", "rb") as f, np.errstate(over="ignore"):
        assert f.read()[32:] == vectors.astype("<f2").tobytes()  # numpy's rounding


def encoded_now(process, name, query, count):
    """Every window of the kept pages encoded with the model now, closest first, one per page."""
    model = process.document_search.multilang_models["en"]
    q = np.asarray(model.encode(query, convert_to_tensor=True), dtype="float64")
    windows = Pagekeep.candidates(Pagekeep.read(process.modeldir, name), {}, 10**6, 40)
    scores = [np.inner(q, np.asarray(model.encode(w["text"], convert_to_tensor=True)))
              for w in windows]
    out, seen = [], set()
    for i in sorted(range(len(windows)), key=lambda i: -scores[i]):
        if windows[i]["page"] not in seen:
            seen.add(windows[i]["page"])
            out.append((windows[i]["page"], windows[i]["text"]))
    return out[:count]


@pytest.mark.parametrize("store", ["window embeddings", "pages alone", "pages changed since",
                                   "vectors cut short"])
def test_kept_window_embeddings_choose_as_encoding_at_query_time(tmp_path, store):
    process = Process(str(tmp_path), True, None, Enginekind.SB)
    # Pages of one or two windows each, five in all: the road that encodes
    # at query time (at most eight candidates) sees every window too.
    pages = [" ".join([HARBOUR, BREAD, EN]), " ".join([RIDGE, BREAD, HARBOUR]), " ".join([ASH, EN])]
    process.train_docs([file_pages(process, "long", pages)])
    where = Pagekeep.path(process.modeldir, "long")
    record = Pagekeep.read(process.modeldir, "long")
    assert record["vectors"]["rows"] == 5
    if store == "vectors cut short":
        with open(where[:-len(".json")] + ".f16", "r+b") as f:
            f.truncate(1000)
    elif store != "window embeddings":
        if store == "pages alone":  # as kept before embeddings were
            del record["vectors"]
        else:  # the vectors no longer tile these pages: not used
            record["pages"][2]["text"] += " " + BREAD
            record["pages"][2]["terms"] += " -" * len(BREAD.split())
        with open(where, "w") as f:
            json.dump(record, f)
    q = process.document_search.multilang_models["en"].encode("ships", convert_to_tensor=True)
    from_store = Pagekeep.nearest(process.modeldir, "long", record, "en", q, {})
    assert (from_store is not None) == (store == "window embeddings")
    for query in ("molten rock pouring from a mountain", "baking bread at home", "ships at sea"):
        _, [hit] = process.search(query, Idiomark.ENGLISH)
        found = process.passages(hit, query, Idiomark.ENGLISH, count=3)
        got = [(p["page"], p["text"]) for p in found]
        assert got == encoded_now(process, "long", query, 3), query
