"""Search latency of the term-weighting engine at 10,000 and 100,000 indexed
documents of ~50 words, beside bm25s on the same texts and queries.

The index is built with one fit and stored as the model the engine loads, as
a long-running index would be. Each query goes through search_documents as
the facade calls it (page 1, 10 hits, cutoff 0.9); its time is split by
wrapping the collaborators the engine calls (stemming, correction, the
vectoriser's transform, cosine_similarity); paging is what is left, the
ranking and the hits. bm25s gets the stemmed query (it has no correction).

    python bench/bench_td_search.py            # add --sizes 10000 for a quick run
"""

import argparse
import os
import statistics
import tempfile
import time

import bm25s
import joblib
from sklearn.feature_extraction.text import TfidfVectorizer

from td_corpus import Corpus, percentile
from wrapper.core import FinderyTD as td_module
from wrapper.core.FinderyTD import FinderyTD
from wrapper.infra.Idiomark import Idiomark

PARTS = ("stemming", "correction", "vectorising", "scoring")


class Split:
    """Wraps the engine's collaborators with timers."""

    def __init__(self, engine):
        self.spent = dict.fromkeys(PARTS, 0.0)
        stem = td_module.preprocess_text_for_stemmetization
        cosine = td_module.cosine_similarity
        vectorizer = engine.tfidf_vectorizer
        transform = vectorizer.transform
        correct = FinderyTD.correct_query
        td_module.preprocess_text_for_stemmetization = self.timed("stemming", stem)
        td_module.cosine_similarity = self.timed("scoring", cosine)
        vectorizer.transform = self.timed("vectorising", transform)
        engine.correct_query = self.timed("correction", lambda *a: correct(engine, *a))
        self.undo = lambda: (
            setattr(td_module, "preprocess_text_for_stemmetization", stem),
            setattr(td_module, "cosine_similarity", cosine),
            vars(vectorizer).pop("transform"),
            vars(engine).pop("correct_query"),
        )

    def timed(self, part, fn):
        def call(*args):
            start = time.perf_counter()
            try:
                return fn(*args)
            finally:
                self.spent[part] += time.perf_counter() - start

        return call


def ms(values):
    return f"{1e3 * statistics.median(values):8.2f} {1e3 * percentile(values, 0.95):8.2f}"


def run(corpus, n, queries_count):
    docs = corpus.documents(n)
    queries = corpus.queries(queries_count, docs)
    cleaned = [c for _, c in docs]
    with tempfile.TemporaryDirectory() as models:
        start = time.perf_counter()
        vectorizer = TfidfVectorizer()
        matrix = vectorizer.fit_transform(cleaned)
        ids = list(range(n))
        joblib.dump({"matrix": matrix, "vectorizer": vectorizer, "document_names": ids,
                     "detected_languages": dict.fromkeys(ids, "en"),
                     "cleaned_text": dict(zip(ids, cleaned))},
                    os.path.join(models, "td_model.pkl"))
        built = time.perf_counter() - start
        engine = FinderyTD(models)
        start = time.perf_counter()
        engine.load_model()
        loaded = time.perf_counter() - start
        vocabulary = len(vectorizer.vocabulary_)

        split = Split(engine)
        # The first query also prepares the vocabulary for correction.
        start = time.perf_counter()
        engine.search_documents(queries[0], Idiomark.ENGLISH, 1, 10)
        first = time.perf_counter() - start
        totals, parts = [], {p: [] for p in PARTS + ("paging",)}
        for q in queries:
            split.spent = dict.fromkeys(PARTS, 0.0)
            start = time.perf_counter()
            engine.search_documents(q, Idiomark.ENGLISH, 1, 10)
            total = time.perf_counter() - start
            totals.append(total)
            for p in PARTS:
                parts[p].append(split.spent[p])
            parts["paging"].append(total - sum(split.spent.values()))
        split.undo()

    # bm25s over the same cleaned texts, queried with the stemmed queries.
    start = time.perf_counter()
    retriever = bm25s.BM25()
    retriever.index(bm25s.tokenize(cleaned, stopwords=None, show_progress=False), show_progress=False)
    bm25_built = time.perf_counter() - start
    stemmed = [" ".join(corpus.stems.get(w, w) for w in q.split()) for q in queries]
    bm25 = []
    for q in stemmed:
        start = time.perf_counter()
        tokens = bm25s.tokenize([q], stopwords=None, show_progress=False)
        retriever.retrieve(tokens, k=min(10, n), show_progress=False, n_threads=1)
        bm25.append(time.perf_counter() - start)

    print(f"\n{n} documents, {vocabulary} terms; model built in {built:.1f} s, loaded in {loaded:.2f} s; "
          f"first query {1e3 * first:.0f} ms (prepares the vocabulary); bm25s index {bm25_built:.1f} s")
    print(f"{'':14} {'median ms':>8} {'p95 ms':>8}")
    print(f"{'search':14} {ms(totals)}")
    for p in PARTS + ("paging",):
        print(f"{'  ' + p:14} {ms(parts[p])}")
    print(f"{'bm25s':14} {ms(bm25)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()
    corpus = Corpus(seed=2)
    for n in args.sizes:
        run(corpus, n, args.queries)


if __name__ == "__main__":
    main()
