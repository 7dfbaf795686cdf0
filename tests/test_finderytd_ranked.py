"""The term-weighting engine's ranked search (RANKING = "bm25"): the BM25
core against a plain Python reference, word pieces against a regex
reference, what a host sees (split words, each document's language,
correction that keeps real words), and the split words following the
index through updates, removals, reloads and other writers."""

import math
import os
import pathlib
import pickle
import random
import re
import string
import types
import unicodedata

import joblib
import numpy
import pytest

from wrapper.core import FinderyTD as td_module
from wrapper.core.FinderyTD import FinderyTD
from wrapper.infra import Wordwash
from wrapper.infra.Idiomark import Idiomark


def doc(id, text, language=Idiomark.ENGLISH, detect=True):
    """A document as File makes it: stemmed in its language when detected."""
    stem_in = language if detect else None
    cleaned = Wordwash.preprocess_text_for_stemmetization(text, stem_in)[1]
    return types.SimpleNamespace(id=id, text=text, cleaned_text=cleaned, detected_language=language,
                                 is_detect_language=detect)


@pytest.fixture
def models(tmp_path):
    path = tmp_path / "models"
    path.mkdir()
    return str(path)


@pytest.fixture
def ranked(monkeypatch):
    monkeypatch.setattr(td_module, "RANKING", "bm25")


def names(result):
    return [h["name"] for h in result[1]]


# ---- the BM25 core against a reference -----------------------------------------


def reference_scores(docs, groups, query, k1, b):
    n = len(docs)
    average = sum(map(len, docs)) / n
    out = []
    for d, terms in enumerate(docs):
        score = 0.0
        for term, mask, weight in query:
            tf = terms.count(term)
            if not tf or not (mask >> groups[d]) & 1 or not weight > 0:
                continue
            df = sum(1 for other in docs if term in other)
            idf = math.log(1 + (n - df + 0.5) / (df + 0.5))
            score += weight * idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * len(terms) / average))
        out.append(score)
    return out


@pytest.mark.parametrize("seed", range(6))
def test_an_index_read_back_from_its_image_ranks_as_built(seed):
    # Terms in hundreds of documents: several blocks of postings each, which
    # a one-term query skips by their largest weights.
    rng = random.Random(100 + seed)
    docs = [[rng.randrange(8) for _ in range(rng.randint(0, 12))] for _ in range(rng.randint(100, 400))]
    groups = [rng.randrange(2) for _ in docs]
    for query in ([(rng.randrange(8), 3, 1.0)], [(rng.randrange(8), 1, 2.0)],
                  [(t, 3, 1.0) for t in rng.sample(range(8), 3)]):
        for start, stop in [(0, 10), (0, 1), (20, 40)]:
            built = td_module._bm25(docs, groups, query, start, stop)
            for image in ("copied", "in place"):
                assert td_module._bm25(docs, groups, query, start, stop, image=image) == built


@pytest.mark.parametrize("seed", range(40))
def test_scores_and_pages_equal_the_reference(seed):
    rng = random.Random(seed)
    vocabulary = rng.randint(1, 30)
    docs = [[rng.randrange(vocabulary) for _ in range(rng.randint(0, 25))] for _ in range(rng.randint(1, 60))]
    groups = [rng.randrange(3) for _ in docs]
    query = [(rng.randrange(vocabulary), rng.choice([1, 2, 4, 3, 7]), rng.choice([1.0, 0.5, 2.0, 0.0, -1.0]))
             for _ in range(rng.randint(0, 5))]
    k1, b = rng.choice([(1.2, 0.75), (2.0, 0.8), (0.5, 0.0)])
    expected = reference_scores(docs, groups, query, k1, b)
    order = sorted((d for d in range(len(docs)) if expected[d] > 0), key=lambda d: (-expected[d], d))
    for start, stop in [(0, 10), (3, 7), (0, len(docs) + 5), (len(docs), len(docs) + 2), (5, 2)]:
        scores, page, matches = td_module._bm25(docs, groups, query, start, stop, k1, b)
        # Built from each document's term counts instead of its tokens (as
        # texts counted before are), to the last bit.
        assert td_module._bm25(docs, groups, query, start, stop, k1, b, counted=True) == (scores, page, matches)
        # Read back from its image, copied or where it lies, to the last bit.
        for image in ("copied", "in place"):
            assert td_module._bm25(docs, groups, query, start, stop, k1, b, image=image) == (scores, page, matches)
        assert scores == pytest.approx(expected, rel=1e-6)
        # Equal scores (documents with the same terms) keep document order.
        got = [d for d, _ in page]
        assert len(got) == len(order[start:stop]) and matches == len(order)
        assert [expected[d] for d in got] == pytest.approx([expected[d] for d in order[start:stop]], rel=1e-6)
        assert all(expected[a] > expected[b] * (1 + 1e-6) or a < b for a, b in zip(got, got[1:]))
        # And exactly the core's own scores in their order: the page is
        # selected, not sorted whole, and must not differ in any tie.
        exact = sorted((d for d in range(len(docs)) if scores[d] > 0), key=lambda d: (-scores[d], d))
        assert [tuple(hit) for hit in page] == [(d, scores[d]) for d in exact[start:stop]]


@pytest.mark.parametrize("seed", range(8))
def test_pages_skipping_hopeless_documents_equal_full_scoring(seed):
    """Zipfian words, queries of rare and common ones: once the best
    scores are out of reach of what the common terms can add, those are only
    added to documents already scored; a common term alone skips the blocks
    of its postings that cannot reach the page. The page must be the full
    scores'."""
    rng = random.Random(seed)
    vocabulary = 300
    weights = [1 / (r + 1) for r in range(vocabulary)]
    docs = [rng.choices(range(vocabulary), weights, k=rng.randint(5, 40)) for _ in range(1500)]
    groups = [rng.randrange(2) if seed % 2 else 0 for _ in docs]
    for _ in range(25):
        query = [(t, rng.choice([1, 1, 3, 2]) if seed % 2 else 1, rng.choice([1.0, 1.0, 0.5, 2.0]))
                 for t in rng.sample(range(vocabulary), rng.randint(2, 4))]
        query.append((rng.randrange(3), 3, 1.0))  # a common term
        if rng.random() < 0.3:
            query = query[-1:]  # alone, its postings in blocks
        start, stop = rng.choice([(0, 10), (0, 1), (5, 15), (0, 40)])
        scores, page, matches = td_module._bm25(docs, groups, query, start, stop)
        exact = sorted((d for d in range(len(docs)) if scores[d] > 0), key=lambda d: (-scores[d], d))
        assert [tuple(hit) for hit in page] == [(d, scores[d]) for d in exact[start:stop]], query


@pytest.mark.parametrize("seed", range(6))
def test_shards_scored_with_the_whole_collection_merge_into_its_first_page(seed):
    """An index split into shards, each scoring with the whole collection's
    document count, total length and frequencies: every shard's first page,
    merged by score and then document, is the one index's first page, to the
    last bit of every score; with each shard's own figures it is not."""
    rng = random.Random(900 + seed)
    vocabulary = 200
    weights = [1 / (r + 1) for r in range(vocabulary)]
    docs = [rng.choices(range(vocabulary), weights, k=rng.randint(0, 60)) for _ in range(rng.randint(300, 900))]
    groups = [rng.randrange(2) if seed % 2 else 0 for _ in docs]
    # Shards of unequal sizes, one of them possibly empty.
    shards = rng.randint(2, 6)
    shard_of = [min(int(rng.expovariate(1.0) * shards / 2), shards - 1) for _ in docs]
    queries = [[(t, rng.choice([1, 2, 3]), rng.choice([1.0, 0.5, 2.0])) for t in rng.sample(range(vocabulary), rng.randint(1, 4))]
               for _ in range(60)]
    for stop in (1, 10, 35):
        one, _ = td_module._bm25_pages(docs, groups, queries, stop)
        merged, _ = td_module._bm25_pages(docs, groups, queries, stop, shard_of)
        assert merged == one
        own, _ = td_module._bm25_pages(docs, groups, queries, stop, shard_of, own=True)
        assert own != one
    # And those scores are the reference's for the whole collection.
    first = queries[0]
    scores = reference_scores(docs, groups, first, 1.2, 0.75)
    best = sorted((d for d in range(len(docs)) if scores[d] > 0), key=lambda d: (-scores[d], d))[:10]
    page = td_module._bm25_pages(docs, groups, [first], 10, shard_of)[0][0]
    assert [s for _, s in page] == pytest.approx([scores[d] for d in best], rel=1e-6)


def test_the_core_refuses_what_it_cannot_index():
    with pytest.raises(ValueError, match="group out of range"):
        td_module._bm25([[0]], [32], [], 0, 1)
    with pytest.raises(ValueError, match="does not fit|do not fit"):
        td_module._bm25([[0]], [0, 0], [], 0, 1)


# ---- pieces of text -------------------------------------------------------------

JOINERS = "-/\\\u2010\u2013\u2014\u2212"


def reference_pieces(text):
    out = []
    for chunk in text.split():
        parts = [re.sub(r"\W", "", p) for p in re.split("[" + re.escape(JOINERS) + "]", chunk)]
        joined = "".join(parts)
        if not joined:
            continue
        parts = [p for p in parts if p]
        out.append((joined, parts if len(parts) > 1 else []))
    return out


@pytest.mark.parametrize("seed", range(6))
def test_pieces_equal_the_reference(seed):
    rng = random.Random(seed)
    alphabet = "ab c\u00e7_1." + JOINERS + "  \t\n'"
    for _ in range(300):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 30)))
        assert [tuple(p) for p in td_module._pieces(text)] == [
            (j, p) for j, p in reference_pieces(text)], repr(text)


# ---- the switch -----------------------------------------------------------------


def test_the_default_is_tfidf_and_a_bad_value_is_refused(models, monkeypatch):
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "lava flows"), doc("b", "river lava lava")])
    assert td_module.RANKING == "tfidf"
    cosine = engine.search_documents("lava", Idiomark.ENGLISH)
    assert 0 < cosine[1][0]["Pontuação"] <= 1  # a cosine
    monkeypatch.setattr(td_module, "RANKING", "BM25")
    with pytest.raises(ValueError, match="RANKING must be 'tfidf' or 'bm25', not 'BM25'"):
        engine.search_documents("lava", Idiomark.ENGLISH)
    monkeypatch.setattr(td_module, "RANKING", "bm25")
    assert engine.search_documents("lava", Idiomark.ENGLISH)[1][0]["Pontuação"] > 0
    monkeypatch.setattr(td_module, "RANKING", "tfidf")
    assert engine.search_documents("lava", Idiomark.ENGLISH) == cosine


# ---- what a host sees ---------------------------------------------------------------


@pytest.fixture
def library(models, ranked):
    engine = FinderyTD(models)
    engine.train_batch([
        doc("plates", "The large-deflection theory of thin plates"),
        doc("mail", "Send the e-mail to the office"),
        doc("joined", "Your email box is full"),
        doc("rockets", "The thrust of rockets in the upper air"),
        doc("war", "The siege of Vicksburg lasted weeks"),
        doc("es", "Los volcanes arrojan lava y ceniza", Idiomark.SPANISH),
        doc("plain", "volcanoes and rivers", Idiomark.PORTUGUESE, detect=False),
    ])
    return engine


def test_hits_have_the_specified_shape_from_the_model_and_from_the_index_beside_it(library, models):
    # Keys in this order, the score a numpy float, the language the stored
    # object itself; a fresh engine answers from the index beside the model.
    loaded = library.search_documents("volcanoes lava", Idiomark.ENGLISH)[1]
    stored = FinderyTD(models).search_documents("volcanoes lava", Idiomark.ENGLISH)[1]
    assert loaded == stored and len(loaded) >= 2
    for hit in loaded:
        assert list(hit) == ["name", "Pontuação", "language"]
        assert type(hit["Pontuação"]) is numpy.float64
        assert hit["language"] is library.detected_languages[hit["name"]]


def test_each_hit_carries_its_own_documents_language_object(library):
    # Documents of one language may hold different objects for it (a code
    # and the member); and a host that replaces the mapping is seen.
    languages = {name: (language.value if name in ("mail", "rockets") else language)
                 for name, language in library.detected_languages.items()}
    library.detected_languages = languages
    hits = library.search_documents("email thrust office theory", Idiomark.ENGLISH)[1]
    assert {h["name"] for h in hits} >= {"mail", "rockets", "plates", "joined"}
    for hit in hits:
        assert hit["language"] is languages[hit["name"]]


@pytest.mark.parametrize("query, found", [
    ("large deflection", ["plates"]),      # the parts of a joined word
    ("large-deflection", ["plates"]),
    ("deflection", ["plates"]),
    ("email", ["joined", "mail"]),         # the joined form a user may type
    ("e-mail", ["mail", "joined"]),
])
def test_words_joined_by_dashes_are_found_by_their_parts_and_whole(library, query, found):
    assert names(library.search_documents(query, Idiomark.ENGLISH)) == found


def test_each_document_meets_the_query_in_its_own_language(library):
    # "volcanes" is Spanish: an English query still finds the Spanish text,
    # stemmed as Spanish stems it; the unstemmed text only by the bare word,
    # which Spanish stems like "volcanes".
    assert names(library.search_documents("volcanes", Idiomark.ENGLISH)) == ["es"]
    assert sorted(names(library.search_documents("volcanoes", Idiomark.ENGLISH))) == ["es", "plain"]


def test_correction_keeps_real_words_and_fixes_typos(library):
    assert library.search_documents("how far can one trust rockets", "en")[0] == "far one trust rocket"
    corrected, hits = library.search_documents("siege vicksberg", "en")
    assert corrected == "sieg vicksburg" and names((corrected, hits)) == ["war"]
    # A number is never someone's typo.
    assert library.search_documents("12345", "en") == ("12345", [])


@pytest.mark.parametrize("query, corrected", [
    ("electricty invoce", "electr invoic"),   # stems far from the meant ones, words one edit away
    ("invoise", "invoic"),
    ("electricity invoice", "electr invoic"),
    ("invocation", "invoc"),                   # a real word stays, though the index lacks it
    ("biill", "bill"),
])
def test_a_real_word_one_edit_away_that_the_index_holds_is_what_was_meant(models, ranked, query,
                                                                            corrected):
    engine = FinderyTD(models)
    engine.train_batch([doc("bill", "Electricity invoice for March: electricity used, bill due"),
                        doc("gas", "The gas supply contract")])
    assert engine.search_documents(query, "en")[0] == corrected


def test_a_spanish_verb_form_is_a_word_though_the_list_lacks_it(models, ranked):
    engine = FinderyTD(models)
    engine.train_batch([doc("es", "El agua lava las piedras del río", Idiomark.SPANISH)])
    # "lavan" is in no Spanish list, but "lavar" is: not corrected into "lav".
    assert engine.search_documents("lavan", "es")[0] == "lav"


def test_a_word_list_decides_what_is_real(library, monkeypatch, tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("Vicksberg\n", encoding="utf-8")
    monkeypatch.setitem(td_module.WORD_LISTS, "en", (str(words),))
    assert library.search_documents("vicksberg", "en") == ("vicksberg", [])


def edits_of(word, alphabet="abcdefghijklmnopqrstuvwxyz"):
    """Every string one deletion, adjacent swap, insertion or change away."""
    out = set()
    for i in range(len(word) + 1):
        out.add(word[:i] + word[i + 1:])
        out.add(word[:i] + word[i + 1:i + 2] + word[i:i + 1] + word[i + 2:])
        for c in alphabet:
            out.update((word[:i] + c + word[i:], word[:i] + c + word[i + 1:]))
    out.discard(word)
    return out


@pytest.mark.parametrize("seed", range(3))
def test_listed_neighbours_are_every_listed_word_one_edit_away(monkeypatch, tmp_path, seed):
    # Words of a four-letter alphabet, so that most have listed neighbours;
    # a list of thousands also checks the membership table and its filter.
    rng = random.Random(seed)
    listed = {"".join(rng.choice("abcd") for _ in range(rng.randint(1, 9))) for _ in range(4000)}
    words = tmp_path / "words.txt"
    words.write_text("\n".join(sorted(listed)) + "\n", encoding="utf-8")
    monkeypatch.setitem(td_module.WORD_LISTS, "en", (str(words),))
    for _ in range(300):
        word = "".join(rng.choice("abcde") for _ in range(rng.randint(1, 10)))
        assert td_module._listed_neighbours(word, "en") == sorted(edits_of(word) & listed), word
    # Membership, for words of every length (those under three letters are
    # filed by the whole word) and their edits.
    for word in rng.sample(sorted(listed), 200):
        for probe in [word, *rng.sample(sorted(edits_of(word, "abcde")), 5)]:
            assert td_module._in_word_list(probe, "en") == (probe in listed), probe


@pytest.mark.parametrize("language, seed", [("en", 0), ("en", 1), ("es", 2), ("pt", 3)])
def test_a_neighbour_found_from_filed_words_is_the_one_stemming_finds(models, ranked, language, seed):
    # A long-running search files the index's listed words once instead of
    # stemming each misspelling's neighbours: the same term must come out,
    # for misspellings of words the index holds, of words it lacks, and of
    # words with a letter outside a-z.
    rng = random.Random(seed)
    listed = sorted(listed_as_read([pathlib.Path(p) for p in td_module.WORD_LISTS[language]]))
    listed = [w for w in listed if 4 <= len(w) <= 12]
    member = Idiomark(language)
    engine = FinderyTD(models)
    # Filed again for the index as it grows (the words' terms kept).
    for batch in range(2):
        engine.train_batch([doc(f"{batch}.{d}", " ".join(rng.sample(listed, 40)), member) for d in range(100)])
        for _ in range(250):
            word = rng.choice(listed)
            probe = rng.choice(sorted(edits_of(word, "abcdefghijklmnopqrstuvwxyzç")))
            if len(probe) < 5:
                continue
            assert (td_module._listed_neighbour_held(engine, probe, language, prepared=True) ==
                    td_module._listed_neighbour_held(engine, probe, language, prepared=False)), probe


def test_a_server_corrects_as_before_once_it_has_filed_its_listed_words(models, ranked):
    # After some misspellings a long-running engine files its listed words;
    # an engine that has just read the index stems each neighbour instead.
    rng = random.Random(5)
    listed = sorted(listed_as_read([pathlib.Path(p) for p in td_module.WORD_LISTS["en"]]))
    listed = [w for w in listed if 4 <= len(w) <= 12]
    FinderyTD(models).train_batch([doc(str(d), " ".join(rng.sample(listed, 40))) for d in range(150)])
    server = FinderyTD(models)
    probes = set()
    while len(probes) < 120:
        probe = rng.choice(sorted(edits_of(rng.choice(listed))))
        if len(probe) >= 5 and not td_module._in_word_list(probe, "en"):
            probes.add(probe)
    for probe in sorted(probes):
        assert server.search_documents(probe, "en") == FinderyTD(models).search_documents(probe, "en"), probe
    # Filed, the listed words are looked up, not stemmed: the same terms,
    # whatever their case, for words the index holds and words it lacks.
    words = rng.sample(listed, 150) + ["Vicksburg", "xylophone", "E-mail", "naïve", "café"]
    for word in words:
        query = rng.choice([word, word.upper(), word.capitalize()])
        assert server.search_documents(query, "en") == FinderyTD(models).search_documents(query, "en"), query


def test_filed_words_follow_the_word_lists_a_host_puts_in_place(models, ranked, monkeypatch, tmp_path):
    engine = FinderyTD(models)
    engine.train_batch([doc("port", "The harbour pilots met the harbor master")])
    british, american = tmp_path / "british.txt", tmp_path / "american.txt"
    british.write_text("harbour\n", encoding="utf-8")
    american.write_text("harbor\n", encoding="utf-8")
    monkeypatch.setitem(td_module.WORD_LISTS, "en", (str(british),))
    assert td_module._listed_neighbour_held(engine, "harborr", "en", prepared=True) == "harbour"
    # Filed again from the new list, not answered from the old one.
    monkeypatch.setitem(td_module.WORD_LISTS, "en", (str(american),))
    assert td_module._listed_neighbour_held(engine, "harborr", "en", prepared=True) == "harbor"
    assert td_module._listed_neighbour_held(engine, "harbouur", "en", prepared=True) is None


def listed_as_read(paths):
    """The words of word lists as the correction reads them."""
    words = set()
    for path in paths:
        text = path.read_text(encoding="utf-8", errors="replace").lower()
        text = "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c))
        words.update(w for w in (re.sub(r"\W", "", run) for run in text.split()) if w)
    return words


@pytest.mark.parametrize("seed", range(2))
def test_word_lists_are_read_as_the_host_folds_them(monkeypatch, tmp_path, seed):
    # Lines as real lists have them: capitals, accents composed and not,
    # apostrophes and dashes, a final sigma, other spaces than the line
    # end, bytes that are no UTF-8, and words in both files.
    rng = random.Random(seed)
    pieces = ["ab", "AB", "cá", "CÁ", "ce\u0301", "ñ", "Ñ", "ß", "O'", "-", "ΟΔΟΣ", "ς", "æ", "Ø", "1", "_",
              "ﬁ", "İ", "\u00a0", "\t", "\u2003"]
    files = []
    for n in range(2):
        lines = ["".join(rng.choice(pieces) for _ in range(rng.randint(1, 4))) for _ in range(3000)]
        path = tmp_path / f"words{n}.txt"
        path.write_bytes("\r\n".join(lines).encode("utf-8") + b"\xff\xfeab\n")
        files.append(path)
    listed = listed_as_read(files)
    monkeypatch.setitem(td_module.WORD_LISTS, "en", tuple(map(str, files)))
    for word in rng.sample(sorted(listed), 200):
        probe = word + "z"
        assert td_module._listed_neighbours(probe, "en") == sorted(edits_of(probe) & listed), probe


def test_a_query_of_stopwords_finds_nothing(library):
    # (The unstemmed document keeps its stopwords: "and" would find it.)
    assert library.search_documents("the of", Idiomark.ENGLISH) == ("", [])


@pytest.mark.parametrize("page, per_page, count", [(1, 2, 2), (2, 2, 0), (0, 2, 0), (1, 0, 0),
                                                   (10**30, 2, 0), (1, 10**30, 2)])
def test_pages(library, page, per_page, count):
    assert len(library.search_documents("email", "en", page, per_page)[1]) == count


def test_an_undetectable_query_is_read_in_the_main_language(library, monkeypatch):
    from wrapper.infra import Tonguecheck

    def refuse(text):
        raise ValueError("Language Language.FRENCH not supported")

    monkeypatch.setattr(Tonguecheck, "detect_lang", refuse)
    assert library.search_documents("siege vicksburg") == ("sieg vicksburg",
                                                           library.search_documents("siege vicksburg", "en")[1])


# ---- the split words follow the index -------------------------------------------------


def split_file(models):
    path = os.path.join(models, "td_split_terms.pkl")
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return pickle.load(f)["documents"]


def test_split_words_follow_updates_removals_and_reloads(models, ranked):
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "a boundary-layer flow"), doc("b", "a laminar flow")])
    assert set(split_file(models)) == {"a"}
    assert names(FinderyTD(models).search_documents("boundary", "en")) == ["a"]

    engine.update_documents([doc("a", "a plain flow"), doc("c", "heat/mass transfer")])
    assert set(split_file(models)) == {"c"}
    fresh = FinderyTD(models)
    assert names(fresh.search_documents("boundary", "en")) == []
    assert names(fresh.search_documents("mass", "en")) == ["c"]

    engine.remove_documents(["c"])
    assert split_file(models) is None  # nothing left to keep: no file
    assert names(FinderyTD(models).search_documents("mass", "en")) == []


def test_many_engines_searched_in_turn_each_derive_their_index_once(tmp_path, ranked):
    """A host searching a dozen indexes in turn (one per folder): each
    engine's ranked index is derived on its first search only, and a retrained
    engine's once more."""
    class Counted(dict):
        asked = 0

        def get(self, *args):
            Counted.asked += 1
            return super().get(*args)

    engines = []
    for k in range(12):
        (tmp_path / str(k)).mkdir()
        engine = FinderyTD(str(tmp_path / str(k)))
        engine.train_batch([doc(f"{k}-a", f"boundary layer number {k}"), doc(f"{k}-b", "laminar flow")])
        engine.detected_languages = Counted(engine.detected_languages)
        engines.append(engine)
    for round in range(3):
        for k, engine in enumerate(engines):
            assert names(engine.search_documents("boundary", "en")) == [f"{k}-a"]
        assert Counted.asked == 2 * len(engines), round
    engines[3].detected_languages = dict(engines[3].detected_languages)  # pickled with the model
    engines[3].train_batch([doc("3-c", "boundary flow")])
    engines[3].detected_languages = Counted(engines[3].detected_languages)
    for engine in engines:
        engine.search_documents("boundary", "en")
    assert Counted.asked == 2 * len(engines) + 3
    assert sorted(names(engines[3].search_documents("boundary", "en"))) == ["3-a", "3-c"]


def test_many_engines_searched_in_turn_by_cosine_each_derive_once(tmp_path, monkeypatch):
    """The same for the default ranking: each engine's normalised matrix and
    vocabulary are derived on its first search only."""
    import sklearn.preprocessing
    normalized = []
    normalize = sklearn.preprocessing.normalize
    monkeypatch.setattr(sklearn.preprocessing, "normalize", lambda *a, **k: normalized.append(1) or normalize(*a, **k))
    engines = []
    for k in range(6):
        (tmp_path / str(k)).mkdir()
        engine = FinderyTD(str(tmp_path / str(k)))
        engine.train_batch([doc(f"{k}-a", f"boundary layer number {k}"), doc(f"{k}-b", "laminar flow")])
        engines.append(engine)
    for _ in range(3):
        for k, engine in enumerate(engines):
            assert names(engine.search_documents("boundary", "en"))[0] == f"{k}-a"
    assert len(normalized) == len(engines)


def test_a_stale_entry_is_never_used(models, ranked):
    # A writer that does not know the file (or one killed between its two
    # writes) changed the stored text: the entry no longer belongs to it.
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "a boundary-layer flow"), doc("b", "a laminar flow")])
    path = os.path.join(models, "td_model.pkl")
    stored = joblib.load(path)
    stored["cleaned_text"]["a"] = "shock wave"
    joblib.dump(stored, path)
    reread = FinderyTD(models)
    assert names(reread.search_documents("shock", "en")) == ["a"]
    assert names(reread.search_documents("boundary", "en")) == []


def test_a_second_writer_keeps_the_first_ones_split_words(models, ranked):
    first, second = FinderyTD(models), FinderyTD(models)
    first.train_batch([doc("a", "a boundary-layer flow")])
    second.train_batch([doc("b", "heat/mass transfer")])
    first.train_model(doc("c", "still air"))
    assert set(split_file(models)) == {"a", "b"}
    assert sorted(names(first.search_documents("mass layer", "en"))) == ["a", "b"]


def test_a_damaged_file_costs_only_the_split_words(models, ranked, caplog):
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "a boundary-layer flow")])
    with open(os.path.join(models, "td_split_terms.pkl"), "wb") as f:
        f.write(b"not a pickle")
    # The index searched beside the model was written with them whole...
    assert names(FinderyTD(models).search_documents("boundary", "en")) == ["a"]
    # ...and the model read again has its documents without them.
    reread = FinderyTD(models)
    reread.load_model()
    assert names(reread.search_documents("boundarylayer", "en")) == ["a"]
    assert names(reread.search_documents("boundary", "en")) == []
    assert "could not be read" in caplog.text


def test_a_document_translated_without_detection_is_met_unstemmed(models, ranked):
    # File stems only when it detects: a translated document is filed with
    # its detected language but unstemmed words.
    engine = FinderyTD(models)
    translated = doc("t", "volcanoes erupting", Idiomark.SPANISH, detect=False)
    engine.train_batch([translated])
    assert split_file(models)["t"][1] is None
    assert names(engine.search_documents("erupting", "en")) == ["t"]


def test_a_failed_model_write_after_the_split_words_leaves_the_old_index_right(models, ranked, monkeypatch):
    # The split words are written first: a model write that fails after
    # them leaves the old model, whose unchanged documents keep theirs.
    engine = FinderyTD(models)
    engine.train_batch([doc("a", "a boundary-layer flow"), doc("b", "heat/mass transfer")])
    monkeypatch.setattr(td_module, "joblib", types.SimpleNamespace(dump=lambda *a: 1 / 0, load=joblib.load))
    with pytest.raises(ZeroDivisionError):
        engine.update_documents([doc("b", "plain words"), doc("c", "shock-wave angle")])
    monkeypatch.setattr(td_module, "joblib", joblib)
    assert set(split_file(models)) == {"a", "c"}  # the new entries, for a model that never came
    # The index searched beside the model still names the old model, whole.
    assert names(FinderyTD(models).search_documents("mass", "en")) == ["b"]
    reread = FinderyTD(models)
    reread.load_model()
    assert names(reread.search_documents("boundary", "en")) == ["a"]
    assert names(reread.search_documents("mass", "en")) == []  # b's entry went with its new text
    assert names(reread.search_documents("heatmass", "en")) == ["b"]
    assert names(reread.search_documents("shock", "en")) == []


# ---- the whole search against a reference ---------------------------------------------


def reference_search(cleaned, query_terms, k1=2.0, b=0.8):
    """BM25 over the vectoriser's tokens of the cleaned texts, best first,
    equal scores in index order."""
    tokens = {name: re.findall(r"\w\w+", text.lower()) for name, text in cleaned.items()}
    average = sum(map(len, tokens.values())) / len(tokens)
    scores = {}
    for name, toks in tokens.items():
        score = 0.0
        for term in set(query_terms):
            tf = toks.count(term)
            if tf:
                df = sum(1 for t in tokens.values() if term in t)
                idf = math.log(1 + (len(tokens) - df + 0.5) / (df + 0.5))
                score += idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * len(toks) / average))
        if score > 0:
            scores[name] = score
    order = list(cleaned)
    return sorted(scores, key=lambda n: (-scores[n], order.index(n))), scores


@pytest.mark.parametrize("seed", range(5))
def test_the_ranked_search_equals_bm25_over_the_stored_terms(models, ranked, seed):
    rng = random.Random(seed)
    words = ["lava", "ash", "river", "bridge", "stone", "rain", "cloud", "wind", "fire", "snow", "sea"]
    engine = FinderyTD(models)
    docs = [doc(f"d{i}", " ".join(rng.choice(words) for _ in range(rng.randint(1, 12)))) for i in range(40)]
    engine.train_batch(docs)
    engine.remove_documents([f"d{i}" for i in range(0, 40, 7)])
    for _ in range(10):
        query = rng.sample(words, rng.randint(1, 3))
        corrected, hits = engine.search_documents(" ".join(query), "en", 1, 50)
        order, scores = reference_search(engine.cleaned_text, corrected.split())
        assert [h["name"] for h in hits] == order
        assert [h["Pontuação"] for h in hits] == pytest.approx([scores[n] for n in order], rel=1e-6)


def test_a_hosts_normalize_folds_the_query_ascii_or_not(models, ranked, monkeypatch):
    # unicodedata's own decomposition is skipped for ASCII (it changes
    # nothing there); one a host put in its place is called for every query.
    engine = FinderyTD(models)
    engine.train_batch([doc("lava", "lava flows"), doc("volcano", "volcano erupts")])
    assert names(engine.search_documents("lavá", "en")) == ["lava"]
    own = unicodedata.normalize
    asked = []
    monkeypatch.setattr(unicodedata, "normalize",
                        lambda form, text: asked.append(text) or own(form, text).replace("lava", "volcano"))
    for query in ("lava", "lavá"):
        assert names(engine.search_documents(query, "en")) == ["volcano"]
    assert asked[-2:] == ["lava", "lavá"]


@pytest.mark.parametrize("small", [False, True])
def test_the_large_page_hint_leaves_every_byte_where_it_was(small):
    # Whole 2 MiB pages inside the range are hinted to be large (or small)
    # ones where the system allows it; none of the buffer may change, inside
    # or around the range, aligned or not, and ranges too small for a page
    # are fine.
    rng = numpy.random.default_rng(3)
    data = rng.integers(0, 256, 12 << 20, dtype=numpy.uint8)
    kept = data.copy()
    for offset, length in [(0, len(data)), (1, len(data) - 1), (12345, 5 << 20), (3 << 20, 2 << 20),
                           (7, 100), (len(data), 0), (0, 0)]:
        td_module._prefer_large_pages(data, offset, length, small=small)
        assert numpy.array_equal(data, kept)
    data[::4096] ^= 0xFF  # pages written after the hint are still plain memory
    assert int((data != kept).sum()) == len(range(0, len(data), 4096))
    with pytest.raises(ValueError, match="outside the buffer"):
        td_module._prefer_large_pages(data, len(data) - 10, 11)


@pytest.mark.parametrize("kept", [0, 3 << 20])
def test_room_reserved_on_large_pages_keeps_what_was_there_and_takes_what_comes(kept):
    # The room of an empty table is given back to the system before it is
    # filled; a table that holds something already must keep it.
    room = 5 << 20
    numbers, letters, ended = td_module._reserved_on_large_pages(kept, room)
    assert numpy.array_equal(numpy.frombuffer(numbers, dtype=numpy.uint32), numpy.arange(room, dtype=numpy.uint32))
    assert letters == (string.ascii_lowercase * (room // 26 + 1))[:room] and ended


def test_threads_searching_at_once_get_what_one_gets(models, ranked):
    import threading

    rng = random.Random(5)
    words = ["lava", "ash", "river", "bridge", "stone", "rain", "cloud", "wind"]
    engine = FinderyTD(models)
    engine.train_batch([doc(i, " ".join(rng.choice(words) for _ in range(8))) for i in range(300)])
    queries = [" ".join(rng.sample(words, 2)) for _ in range(40)]
    alone = [engine.search_documents(q, "en", 1, 5) for q in queries]
    results = {}
    barrier = threading.Barrier(4)

    def work(k):
        barrier.wait()
        for i, q in enumerate(queries):
            results[k, i] = engine.search_documents(q, "en", 1, 5)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all(results[k, i] == alone[i] for k in range(4) for i in range(len(queries)))


# ---- the terms one edit away ------------------------------------------------------------


def one_edit(a, b):
    """Whether b is a with one letter dropped, added, changed, or two
    neighbours swapped (or a itself)."""
    if a == b:
        return True
    if abs(len(a) - len(b)) > 1:
        return False
    if len(a) == len(b):
        diff = [i for i in range(len(a)) if a[i] != b[i]]
        return len(diff) == 1 or (len(diff) == 2 and diff[1] == diff[0] + 1
                                  and a[diff[0]] == b[diff[1]] and a[diff[1]] == b[diff[0]])
    short, long_ = sorted((a, b), key=len)
    return any(long_[:i] + long_[i + 1:] == short for i in range(len(long_)))


def with_one_dropped(word):
    """The word and every word it gives with one letter dropped."""
    return {word} | {word[:i] + word[i + 1:] for i in range(len(word))}


@pytest.mark.parametrize("seed", range(4))
def test_near_terms_hold_every_term_one_edit_away(seed):
    # Exactly the terms sharing a dropped-letter word with the query word
    # (doubled letters, astral characters, the empty word, a term listed
    # twice), which includes every term one edit away.
    rng = random.Random(seed)
    alphabet = "abcé\U0001d518"
    terms = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 6))) for _ in range(300)]
    terms += terms[:5]
    for _ in range(200):
        word = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 6)))
        found = td_module._near_terms(terms, word)
        assert found == sorted({i for i, t in enumerate(terms) if with_one_dropped(word) & with_one_dropped(t)})
        assert {terms[i] for i in found} >= {t for t in terms if one_edit(word, t)}


def random_vocabulary(rng, size):
    """An alphabet of a few letters (accents composed and not, a letter
    outside the first plane), and `size` words of it, twenty of them twice."""
    alphabet = rng.choice(["ab", "abcd", "abcdefgh", "aáe\u0301\U0001d518"])
    vocabulary = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 9))) for _ in range(size)]
    return alphabet, vocabulary + rng.choices(vocabulary, k=20)


@pytest.mark.parametrize("seed", range(4))
def test_a_close_match_among_some_terms_is_difflibs_among_them(seed):
    # Correction asks the whole vocabulary's matcher about the few terms one
    # edit away: the answer must be difflib's over those terms alone (ties,
    # repeats, lengths the subset lacks, a word that is one of them).
    import difflib

    rng = random.Random(seed)
    alphabet, vocabulary = random_vocabulary(rng, 200)
    for _ in range(300):
        among = [rng.randrange(len(vocabulary)) for _ in range(rng.randint(0, 12))]
        word = (rng.choice(vocabulary) if rng.random() < 0.15
                else "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 9))))
        cutoff = rng.choice([0.0, 0.5, 0.8, 0.9, 1.0, rng.random()])
        expected = difflib.get_close_matches(word, [vocabulary[i] for i in among], n=1, cutoff=cutoff)
        got = td_module._close_match_among(word, vocabulary, among, cutoff)
        assert got == (expected[0] if expected else None), (word, among, cutoff)
    with pytest.raises(IndexError):
        td_module._close_match_among("a", vocabulary, [len(vocabulary)], 0.5)


@pytest.mark.parametrize("seed", range(4))
def test_past_the_terms_one_edit_away_the_close_match_is_difflibs(seed):
    # When no term one edit from the word reaches the cutoff, the matcher
    # passes over the lengths where only such a term could: the answer must
    # still be difflib's over the whole vocabulary.
    import difflib

    rng = random.Random(seed)
    alphabet, vocabulary = random_vocabulary(rng, 300)
    asked = 0
    while asked < 300:
        word = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 9)))
        cutoff = rng.choice([0.0, 0.5, 0.7, 0.8, 0.9, 1.0, rng.random()])
        near = [t for t in vocabulary if one_edit(word, t) and t != word]
        if difflib.get_close_matches(word, near, n=1, cutoff=cutoff):
            continue
        asked += 1
        expected = difflib.get_close_matches(word, vocabulary, n=1, cutoff=cutoff)
        got = td_module._close_match_beyond_one_edit(word, vocabulary, cutoff)
        assert got == (expected[0] if expected else None), (word, cutoff)
