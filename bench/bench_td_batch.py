"""Filing N prepared documents (cleaned ~50-word texts, no OCR) with the
term-weighting engine's batch path, train_batch (one fit, one write), against
one TfidfVectorizer().fit_transform over the same texts, the lower limit; and
the one-at-a-time path (train_model per document, a refit and a write each)
at the smallest size for comparison.

    python bench/bench_td_batch.py [--sizes 1000 10000] [--one-at-a-time 1000]
"""

import argparse
import tempfile
import time
import types

from sklearn.feature_extraction.text import TfidfVectorizer

from td_corpus import Corpus
from wrapper.core.FinderyTD import FinderyTD


def as_docs(docs):
    return [types.SimpleNamespace(id=i, text=text, cleaned_text=cleaned, detected_language=None)
            for i, (text, cleaned) in enumerate(docs)]


def batch_run(docs):
    prepared = as_docs(docs)
    with tempfile.TemporaryDirectory() as models:
        start = time.perf_counter()
        FinderyTD(models).train_batch(prepared)
        return time.perf_counter() - start


def single_run(docs):
    prepared = as_docs(docs)
    with tempfile.TemporaryDirectory() as models:
        engine = FinderyTD(models)
        start = time.perf_counter()
        for doc in prepared:
            engine.train_model(doc)
        return time.perf_counter() - start


def one_fit(docs):
    texts = [c for _, c in docs]
    start = time.perf_counter()
    TfidfVectorizer().fit_transform(texts)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--one-at-a-time", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    corpus = Corpus(seed=1)
    print(f"{'N':>7} {'batch s':>9} {'one fit s':>10} {'batch/fit':>10} {'batch us/doc':>13}")
    for n in args.sizes:
        docs = corpus.documents(n)
        batch, fit = float("inf"), float("inf")
        for _ in range(args.rounds):  # interleaved: a busy machine slows both alike
            batch = min(batch, batch_run(docs))
            fit = min(fit, one_fit(docs))
        print(f"{n:7d} {batch:9.3f} {fit:10.3f} {batch / fit:9.2f}x {1e6 * batch / n:13.0f}")
    n = args.one_at_a_time
    if n:
        docs = corpus.documents(n)
        single = single_run(docs)
        batch = min(batch_run(docs) for _ in range(args.rounds))
        print(f"one train_model per document, N={n}: {single:.2f} s "
              f"({single / batch:.0f}x the batch path)")


if __name__ == "__main__":
    main()
