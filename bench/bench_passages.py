"""Where a hit matched: Process.passages per hit on documents of 1, 10 and 50
pages (~400 running words of the Brown corpus a page) in a term-weighting
index, against the same window search written in plain Python over the same
kept pages (the baseline, measured here), and beside the search itself. Then
the embedding index on the same documents: passages from the window
embeddings kept at filing time, against the road for pages kept without them
(the baseline: up to eight windows encoded per hit), with the filing time and
the size of what is kept.

    python bench/bench_passages.py [--rounds 30] [--no-sb]
"""

import argparse
import json
import os
import re
import statistics
import tempfile
import time

from td_corpus import Corpus
from wrapper.core import Pagekeep
from wrapper.core.PDF import PDF
from wrapper.infra.Enginekind import Enginekind
from wrapper.infra.Idiomark import Idiomark
from wrapper.infra.Wordwash import preprocess_text_for_stemmetization
from wrapper.Process import Process

WORDS_PER_PAGE = 400


def python_find(record, weights, size=40, count=3):
    """The best window of each page by a plain scan, as Pagekeep.find ranks them."""
    found = []
    for number, page in enumerate(record["pages"]):
        keys = page["terms"].split(" ")
        pieces = re.findall(r"\S+", page["text"])
        n = min(len(keys), len(pieces))
        width = min(size, n)
        best = (0, 0.0, 0)
        for start in range(n - width + 1):
            present = {k for k in keys[start:start + width] if k in weights}
            score = (len(present), sum(weights[t] for t in present))
            if score > best[:2]:
                best = score + (start,)
        if best[0]:
            found.append((best[0], best[1], number, " ".join(pieces[best[2]:best[2] + width])))
    found.sort(key=lambda f: (-f[0], -f[1]))
    return found[:count]


def document(process, name, words, pages):
    doc = PDF(process.base_path, True)
    doc.id, doc.detected_language = name, Idiomark.ENGLISH
    doc.pages = [" ".join(words[i * WORDS_PER_PAGE:(i + 1) * WORDS_PER_PAGE]) for i in range(pages)]
    doc.text = doc.extracted_text = "".join(doc.pages)
    doc.tokens, doc.cleaned_text = preprocess_text_for_stemmetization(doc.text, Idiomark.ENGLISH)
    return doc


def median_ms(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--no-sb", action="store_true")
    args = parser.parse_args()

    words = Corpus(seed=1).words
    sizes = (1, 10, 50)
    # A query of three words from the middle of the longest document.
    middle = 25 * WORDS_PER_PAGE + 200
    query = " ".join(w for w in words[middle:middle + 40] if len(w) > 5)
    rare = " ".join(query.split()[:3])
    # And words on nearly every page: every page is then read and scanned.
    common = "said time people"
    print(f"pages of {WORDS_PER_PAGE} words; queries {rare!r} (rare) and {common!r} (common)")

    with tempfile.TemporaryDirectory() as base:
        process = Process(base, True, None, Enginekind.TD)
        docs = [document(process, f"{n}-pages", words, n) for n in sizes]
        # Other documents, so the query's words have idf weights worth the name.
        docs += [document(process, f"filler-{i}", words[(60 + i) * WORDS_PER_PAGE:], 1)
                 for i in range(30)]
        start = time.perf_counter()
        process.train_docs(docs)
        print(f"filing {len(docs)} documents (pages kept): {time.perf_counter() - start:.2f} s")

        for query in (rare, common):
            search_ms = median_ms(lambda: process.search(query, Idiomark.ENGLISH), args.rounds)
            corrected, _ = process.search(query, Idiomark.ENGLISH)
            weights = {w: 1.0 for w in corrected.split()}
            print(f"query {query!r}: search {search_ms:.2f} ms")
            print(f"{'pages':>6} {'passages ms':>12} {'read ms':>8} {'python ms':>10} "
                  f"{'python/ours':>12} {'best page':>10}")
            for n in sizes:
                hit = {"name": f"{n}-pages"}
                ours = median_ms(lambda: process.passages(hit, query, Idiomark.ENGLISH), args.rounds)
                read = median_ms(lambda: Pagekeep.read(process.modeldir, hit["name"]), args.rounds)
                record = Pagekeep.read(process.modeldir, hit["name"])
                python = median_ms(lambda: python_find(record, weights), max(3, args.rounds // 5))
                best = process.passages(hit, query, Idiomark.ENGLISH)[0]["page"]
                print(f"{n:>6} {ours:>12.2f} {read:>8.2f} {python:>10.1f} {python / ours:>12.1f} "
                      f"{best!s:>10}")

    if args.no_sb:
        return
    with tempfile.TemporaryDirectory() as base:
        process = Process(base, True, None, Enginekind.SB)
        print("embedding index")
        print(f"{'pages':>6} {'filing s':>9} {'pages kB':>9} {'vectors kB':>11} {'kept ms':>8} "
              f"{'encoded ms':>11} {'encoded/kept':>13} {'best page':>10}")
        for n in sizes:
            name = f"{n}-pages"
            start = time.perf_counter()
            process.train_docs([document(process, name, words, n)])
            filing = time.perf_counter() - start
            # The same pages as kept before window embeddings were.
            where = Pagekeep.path(process.modeldir, name)
            record = Pagekeep.read(process.modeldir, name)
            del record["vectors"]
            record["id"] = repr(name + "-old")
            with open(Pagekeep.path(process.modeldir, name + "-old"), "w") as f:
                json.dump(record, f)
            vectors = where[:-len(".json")] + ".f16"

            process.search(rare, Idiomark.ENGLISH)
            hit, old = {"name": name}, {"name": name + "-old"}
            kept = median_ms(lambda: process.passages(hit, rare, Idiomark.ENGLISH), args.rounds)
            encoded = median_ms(lambda: process.passages(old, rare, Idiomark.ENGLISH), 3)
            same = (process.passages(hit, rare, Idiomark.ENGLISH)[0]["page"],
                    process.passages(old, rare, Idiomark.ENGLISH)[0]["page"])
            print(f"{n:>6} {filing:>9.2f} {os.path.getsize(where) / 1024:>9.0f} "
                  f"{os.path.getsize(vectors) / 1024:>11.0f} {kept:>8.2f} {encoded:>11.1f} "
                  f"{encoded / kept:>13.1f} {'%s/%s' % same:>10}")

if __name__ == "__main__":
    main()
