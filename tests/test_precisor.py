"""Abstracts and keywords: TextRank as gensim 3.8.3 computed it, in three languages."""

import math
import random
import re
import unicodedata
from collections import Counter

import numpy as np
import pytest

from wrapper.infra import Precisor

LANGUAGES = {"por": "portuguese", "spa": "spanish", "eng": "english"}


def plain_words(text):
    """The text's words as the keyword extractor sees them: lower-case, no accents."""
    text = unicodedata.normalize("NFD", text.lower())
    text = "".join(c for c in text if unicodedata.category(c) != "Mn")
    return set(re.findall(r"(?:(?!\d)\w)+", text))


def assert_in_text_order(sentences, text):
    pos = 0
    for sentence in sentences:
        found = text.find(sentence, pos)
        assert found >= 0, f"not a sentence of the text (or out of order): {sentence!r}"
        pos = found + len(sentence)


@pytest.mark.parametrize("code", LANGUAGES)
def test_summaries_are_sentences_of_the_text_in_text_order(udhr, code):
    text, language = udhr[code], LANGUAGES[code]
    summary = Precisor.summarize(text, split=True, language=language)
    assert len(summary) >= 5
    assert_in_text_order(summary, text)
    assert len(set(summary)) == len(summary)
    assert Precisor.summarize(text, language=language) == "\n".join(summary)
    # A word budget takes sentences in rank order: a subset of the ratio's.
    short = Precisor.summarize(text, word_count=60, split=True, language=language)
    assert short and set(short) <= set(Precisor.summarize(text, ratio=1, split=True,
                                                          language=language))
    assert sum(len(s.split()) for s in short) <= 2 * 60


@pytest.mark.parametrize("num_sentences", [0, 1, 3, 50])
def test_abstract_keeps_at_most_num_sentences(udhr, num_sentences):
    text = udhr["por"]
    keywords, abstract = Precisor.generate_abstract(text, num_sentences=num_sentences)
    summary = Precisor.summarize(text, split=True, language="portuguese")
    assert abstract == " ".join(summary[:num_sentences])
    assert (abstract == "") == (num_sentences == 0)
    assert keywords == Precisor.keywords(text, words=10, lemmatize=True,
                                         language="portuguese").split("\n")


@pytest.mark.parametrize("code", LANGUAGES)
def test_keywords_are_best_ranked_words_of_the_text(udhr, code):
    text, language = udhr[code], LANGUAGES[code]
    scored = Precisor.keywords(text, words=10, lemmatize=True, scores=True, language=language)
    phrases = [p for p, _ in scored]
    assert phrases == Precisor.keywords(text, words=10, lemmatize=True, split=True,
                                        language=language)
    scores = [s for _, s in scored]
    assert scores == sorted(scores, reverse=True)
    words = [w for p in phrases for w in p.split()]
    # Each of the ten lemmas lends one surface word, used once.
    assert 5 <= len(set(words)) <= 10 and len(words) == len(set(words))
    assert set(words) <= plain_words(text)
    # Stopwords of the language never make it, even without their accents.
    assert not {"nao", "para", "los", "las", "the", "and"} & set(words)


def test_keyphrases_are_assembled_as_gensim_did():
    # The example gensim documents for its keyword extractor, with its result.
    text = ("Challenges in natural language processing frequently involve\n"
            "speech recognition, natural language understanding, natural language\n"
            "generation (frequently from formal, machine-readable logical forms),\n"
            "connecting language and machine perception, dialog systems, or some\n"
            "combination thereof.")
    assert Precisor.keywords(text) == "natural language\nmachine\nfrequently"
    assert Precisor.keywords(text, split=True) == ["natural language", "machine", "frequently"]
    # Without lemmatize every surface form of a chosen lemma is a keyword; with
    # it only the last new one. A run reaching the end of the text is dropped,
    # but its last word stands alone.
    text = "natural languages and natural language"
    assert Precisor.keywords(text, ratio=1, split=True) == ["natural languages", "language"]
    assert Precisor.keywords(text, ratio=1, split=True, lemmatize=True) == ["natural", "language"]
    assert Precisor.keywords("cold dark rivers", ratio=1, split=True) == ["rivers"]


@pytest.mark.parametrize(
    "text, sentences",
    [
        ("Mr. Smith went to Washington. Dr. Jones stayed home. Rain fell all day long.",
         ["Mr. Smith went to Washington.", "Dr. Jones stayed home.", "Rain fell all day long."]),
        ("Pi is about 3.14 today! Was it ever smaller? Nobody knows\nwhy mathematicians argue",
         ["Pi is about 3.14 today!", "Was it ever smaller?", "Nobody knows",
          "why mathematicians argue"]),
        ("The U.S. economy grew. Exports rose sharply. Farmers cheered loudly.",
         ["The U.S. economy grew.", "Exports rose sharply.", "Farmers cheered loudly."]),
    ],
)
def test_sentence_splitting(text, sentences):
    # Sentences sharing no word rank equally: all of them come back in order.
    assert Precisor.summarize(text, ratio=1, split=True) == sentences


def test_repeated_sentences_are_each_their_own_sentence():
    # Page footers differ only in digits, which are dropped, so they weigh the
    # same; each selected one still stands for itself, not for its last twin.
    body = [f"Capitulo {w} trata de rios, montanhas e florestas do pais." for w in
            ("um", "dois", "tres", "quatro", "cinco", "seis")]
    lines = []
    for i, sentence in enumerate(body, 1):
        lines += [sentence, f"Pagina {i} de 6 do relatorio anual."]
    summary = Precisor.summarize("\n".join(lines), ratio=1, split=True, language="portuguese")
    assert sorted(summary) == sorted(lines)
    assert_in_text_order(summary, "\n".join(lines))


@pytest.mark.parametrize(
    "text, summary",
    [
        ("", []),
        ("   \n  ", []),
        # Three sentences: a fifth of them is no sentence at all.
        ("Gatos dormem muito. Cães correm bastante. Pássaros cantam cedo.", []),
    ],
)
def test_texts_too_short_give_an_empty_summary(text, summary):
    assert Precisor.summarize(text, split=True, language="portuguese") == summary
    assert Precisor.summarize(text, language="portuguese") == ""


def test_too_short_texts_raise_or_come_back_empty():
    with pytest.raises(ValueError, match="input must have more than one sentence"):
        Precisor.summarize("Uma frase apenas, com várias palavras.", language="portuguese")
    with pytest.raises(ValueError, match="more than one sentence"):
        Precisor.generate_abstract("Uma frase apenas, com várias palavras.")
    # Stopwords between the words leave no co-occurrence: no keyword at all,
    # which the abstract reports as one empty keyword.
    assert Precisor.keywords("Gatos e cães. E casas e ruas.", language="portuguese") == ""
    assert Precisor.generate_abstract("Gatos e cães. E casas e ruas.") == ([""], "")
    assert Precisor.keywords("", split=True) == [] and Precisor.keywords("", scores=True) == []


@pytest.mark.parametrize("call", [Precisor.summarize, Precisor.keywords])
def test_bad_arguments(call):
    with pytest.raises(ValueError, match="Unsupported language"):
        call("Um texto. Outro texto.", language="klingon")
    with pytest.raises(TypeError):
        call(b"bytes are not text")


# ---- differential tests against small references of the same algorithms ----

CONSONANTS = "bcdfghjklmnpqrtvwxz"  # words no stemmer or stopword list touches


def fake_vocabulary(rng, size):
    words = {"".join(rng.choice(CONSONANTS) for _ in range(rng.randint(3, 5))) for _ in range(size)}
    return sorted(words)


def reference_pagerank(weights):
    m = 0.85 * weights / weights.sum(axis=1, keepdims=True) + 0.15 / len(weights)
    values, vectors = np.linalg.eig(m.T)
    v = np.abs(vectors[:, np.argmax(np.abs(values))].real)
    return v / np.linalg.norm(v)


@pytest.mark.parametrize("seed", range(3))
def test_keyword_scores_are_the_pagerank_of_the_word_graph(seed):
    rng = random.Random(seed)
    vocab = fake_vocabulary(rng, 30)
    seq = [rng.choice(vocab) for _ in range(150)]
    seq[5] = seq[4]  # a word next to itself links to itself
    # Commas keep every keyword a phrase of its own.
    got = dict(Precisor.keywords(", ".join(seq) + ".", ratio=1, scores=True))
    nodes = list(dict.fromkeys(seq))
    index = {w: i for i, w in enumerate(nodes)}
    weights = np.zeros((len(nodes), len(nodes)))
    for a, b in zip(seq, seq[1:]):
        weights[index[a], index[b]] = weights[index[b], index[a]] = 1
    want = dict(zip(nodes, reference_pagerank(weights)))
    assert got.keys() == want.keys()
    for word in nodes:
        assert got[word] == pytest.approx(want[word], rel=1e-9)


def reference_summary(sentences, ratio):
    """BM25 over each sentence's (word id, count) pairs, the sentence graph and
    its PageRank, the way gensim's summarizer does them."""
    docs = [s.rstrip(".").split() for s in sentences]
    ids = {}
    for d in docs:
        for t in sorted({t for t in d if t not in ids}):
            ids[t] = len(ids)
    bags = [tuple(sorted(Counter(ids[t] for t in d).items())) for d in docs]
    n = len(bags)
    df = Counter(term for bag in bags for term in bag)
    avgdl = sum(map(len, bags)) / n
    idf = {t: math.log(n - f + 0.5) - math.log(f + 0.5) for t, f in df.items()}
    eps = 0.25 * sum(idf.values()) / len(idf)
    idf = {t: v if v >= 0 else eps for t, v in idf.items()}

    def bm25(i, j):
        norm = 1.5 * (1 - 0.75 + 0.75 * len(bags[j]) / avgdl)
        return sum(idf[t] * 2.5 / (1 + norm) for t in bags[i] if t in bags[j])

    weights = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            w = bm25(i, j)
            if i != j and w >= 1e-3 and weights[i, j] == 0:
                weights[i, j] = weights[j, i] = w
    linked = weights.sum(axis=1) > 0
    scores = np.zeros(n)
    scores[linked] = reference_pagerank(weights[np.ix_(linked, linked)])
    ranked = sorted(range(n), key=lambda i: -scores[i])[: int(n * ratio)]
    return [sentences[i] for i in sorted(ranked)]


@pytest.mark.parametrize("seed", range(4))
def test_summary_follows_bm25_and_pagerank(seed):
    rng = random.Random(seed)
    vocab = fake_vocabulary(rng, 40)
    sentences = [" ".join(rng.choice(vocab) for _ in range(rng.randint(3, 9))) + "."
                 for _ in range(25)]
    want = reference_summary(sentences, 0.3)
    assert Precisor.summarize(" ".join(sentences), ratio=0.3, split=True) == want


def test_portuguese_stems_equal_nltks(udhr):
    from nltk.stem import SnowballStemmer

    nltk_stem = SnowballStemmer("portuguese").stem
    words = set(re.findall(r"\w+", udhr["por"].lower())) | plain_words(udhr["por"])
    # Suffix rules the declaration's words may not reach, and short words.
    words |= {"lentamente", "felizmente", "possibilidades", "ativamente", "relativa",
              "sociologias", "diferenças", "inconveniência", "cantávamos", "partíssemos",
              "eleições", "pães", "tranqüilo", "agüentar", "açúcar", "traço", "ciência",
              "caminhei", "a", "é", "ir", "ão", "qü", "fogueiras", "cegueira"}
    assert {w: Precisor._portuguese_stem(w) for w in words} == {w: nltk_stem(w) for w in words}


# gensim's Porter variant: the published examples, its departures ("bli",
# "logi", two-letter words) and reads left of the word wrapping to its end.
PORTER = {
    "caresses": "caress", "ponies": "poni", "ties": "ti", "cats": "cat", "feed": "feed",
    "agreed": "agre", "plastered": "plaster", "motoring": "motor", "sing": "sing",
    "conflated": "conflat", "troubled": "troubl", "sized": "size", "hopping": "hop",
    "falling": "fall", "filing": "file", "happy": "happi", "sky": "sky",
    "relational": "relat", "conditional": "condit", "valenci": "valenc", "digitizer": "digit",
    "possibly": "possibl", "analogi": "analog", "generalization": "gener", "hopeful": "hope",
    "goodness": "good", "electrical": "electr", "adjustable": "adjust", "adoption": "adopt",
    "controll": "control", "roll": "roll", "is": "is", "aed": "a", "ies": "i",
}


def test_english_stems_are_gensims_porter():
    assert {w: Precisor._porter_stem(w) for w in PORTER} == PORTER


def test_equal_ranks_keep_text_order():
    # No two sentences share a word: all rank alike, so the first ones win.
    words = iter(fake_vocabulary(random.Random(7), 80))
    sentences = [" ".join(next(words) for _ in range(4)) + "." for _ in range(10)]
    text = " ".join(sentences)
    assert Precisor.summarize(text, ratio=0.3, split=True) == sentences[:3]
    assert Precisor.summarize(text, word_count=8, split=True) == sentences[:2]
    assert Precisor.summarize(text, word_count=0, split=True) == []
