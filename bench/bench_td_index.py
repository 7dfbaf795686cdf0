"""Indexing cost of the term-weighting engine: N documents of ~50 words
trained one train_model at a time (each call refits the vectoriser over every
document and rewrites the stored model), against one
TfidfVectorizer().fit_transform over the same texts, the lower limit. Also
the same per-document refit and rewrite done from Python, to show what the
engine adds beyond the work it is asked to do. No OCR, no stemming: the
documents arrive cleaned.

    python bench/bench_td_index.py
"""

import json
import os
import tempfile
import time
import types

import joblib
from sklearn.feature_extraction.text import TfidfVectorizer

from td_corpus import Corpus
from wrapper.core.FinderyTD import FinderyTD


def engine_run(docs, models):
    engine = FinderyTD(models)
    start = time.perf_counter()
    for i, (text, cleaned) in enumerate(docs):
        engine.train_model(types.SimpleNamespace(id=i, text=text, cleaned_text=cleaned, detected_language=None))
    return time.perf_counter() - start


def python_run(docs, models):
    """The refit and the two writes of every training call, nothing else."""
    names, languages, cleaned_text = [], {}, {}
    start = time.perf_counter()
    for i, (_, cleaned) in enumerate(docs):
        names.append(i)
        languages[i] = None
        cleaned_text[i] = cleaned
        vectorizer = TfidfVectorizer()
        matrix = vectorizer.fit_transform(cleaned_text.values())
        joblib.dump({"matrix": matrix, "vectorizer": vectorizer, "document_names": names,
                     "detected_languages": languages, "cleaned_text": cleaned_text},
                    os.path.join(models, "td_model.pkl"))
        with open(os.path.join(models, "debug_td_model.json"), "w") as f:
            f.write(json.dumps({"multilang_models": languages, "document_names": names}, indent=4))
    return time.perf_counter() - start


def one_fit(docs):
    start = time.perf_counter()
    TfidfVectorizer().fit_transform([c for _, c in docs])
    return time.perf_counter() - start


def best_of(rounds, runs):
    """Best time of each run over `rounds`, the runs interleaved so that a
    busy machine slows them alike."""
    best = [float("inf")] * len(runs)
    for _ in range(rounds):
        for k, run in enumerate(runs):
            best[k] = min(best[k], run())
    return best


def main():
    corpus = Corpus(seed=1)
    print(f"{'N':>6} {'engine s':>9} {'python s':>9} {'overhead':>9} {'one fit s':>10} {'engine/fit':>11}")
    previous = None
    for n, rounds in ((100, 3), (500, 1), (2000, 1)):
        docs = corpus.documents(n)

        def timed(run):
            def go():
                with tempfile.TemporaryDirectory() as models:
                    return run(docs, models)
            return go

        # The Python twin doubles the run time; at 2,000 documents the
        # smaller sizes already tell the overhead.
        runs = [timed(engine_run)] + ([timed(python_run)] if n <= 500 else [])
        times = best_of(rounds, runs)
        ours, twin = times[0], (times[1] if len(times) > 1 else None)
        fit = min(one_fit(docs) for _ in range(3))
        twin_text = f"{twin:9.2f} {100 * (ours - twin) / twin:8.1f}%" if twin else f"{'-':>9} {'-':>9}"
        print(f"{n:6d} {ours:9.2f} {twin_text} {fit:10.3f} {ours / fit:10.0f}x")
        if previous:
            pn, pt = previous
            print(f"{'':6} growth x{n / pn:.0f} documents -> x{ours / pt:.1f} time "
                  f"(quadratic would be x{(n / pn) ** 2:.0f})")
        previous = (n, ours)


if __name__ == "__main__":
    main()
