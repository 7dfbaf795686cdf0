"""Stemming pipeline throughput: our module against the same nltk calls made
from Python, in one run. Prints words per second and the ratio.

    .venv/bin/python bench/bench_stemming.py
"""

import re
import time
import unicodedata
import zipfile

from corpora import corpus_zip  # noqa: E402

from nltk.corpus import stopwords
from nltk.stem import SnowballStemmer
from nltk.tokenize import word_tokenize

from wrapper.infra import Wordwash
from wrapper.infra.Idiomark import Idiomark



def python_pipeline(text, language):
    """The same calls, written in Python (stopword list held for the call)."""
    text = "".join(c for c in unicodedata.normalize("NFD", text) if unicodedata.combining(c) == 0)
    text = re.sub(r"[^\w\s]", "", text)
    text = re.sub(r"\n", " ", text)
    text = re.sub(r"\s+", " ", text)
    name = Idiomark.get_nltk_language(language)
    words = word_tokenize(text, language=name)
    stop = set(stopwords.words(name))
    stemmer = SnowballStemmer(name)
    words = [stemmer.stem(w) for w in words if w.lower() not in stop]
    return words, " ".join(words)


def load_paragraphs():
    files = {Idiomark.ENGLISH: "eng.txt", Idiomark.SPANISH: "spa.txt", Idiomark.PORTUGUESE: "por_BR.txt"}
    out = []
    with zipfile.ZipFile(corpus_zip("udhr2")) as z:
        for lang, name in files.items():
            lines = [l.strip() for l in z.read(f"udhr2/{name}").decode().splitlines() if l.strip()]
            for i in range(0, len(lines) - 4, 4):
                out.append((" ".join(lines[i : i + 4]), lang))
    return out


def measure(fn, docs, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for text, lang in docs:
            fn(text, lang)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    docs = load_paragraphs()
    words = sum(len(t.split()) for t, _ in docs)
    for text, lang in docs:  # same results, and warm caches for both
        assert Wordwash.preprocess_text_for_stemmetization(text, lang) == python_pipeline(text, lang)
    ours = measure(Wordwash.preprocess_text_for_stemmetization, docs, 5)
    ref = measure(python_pipeline, docs, 5)
    print(f"documents: {len(docs)}, words: {words}")
    print(f"nltk calls from Python: {words / ref:12,.0f} words/s")
    print(f"wrapper.infra.Wordwash: {words / ours:12,.0f} words/s")
    print(f"cost of our layer: {100 * (ours / ref - 1):+.1f}% time (target: at most +10%)")


if __name__ == "__main__":
    main()
