"""Search latency of the term-weighting engine at 10,000 and 100,000 indexed
documents of ~50 words, beside bm25s and tantivy on the same texts and
queries, and the throughput of two host threads searching at once against
one.

Both rankings are measured: the TF-IDF cosine (RANKING "tfidf", the default)
and the ranked search (RANKING "bm25", what `wrapper search` and `wrapper
serve` use), each with its correction. tantivy gets the raw query (its
en_stem tokenizer stems it; it has no correction), searched for the first
10 hits by BM25 on one thread; its hits are addresses, so it is timed again
reading each hit's stored name, the page of named hits the ranked search
gives.

The index is built with one fit and stored as the model the engine loads, as
a long-running index would be. Each query goes through search_documents as
the facade calls it (page 1, 10 hits, cutoff 0.9); the engine's own record of
its last search splits the time (stemming, correction, vectorising, scoring,
ranking and the page of hits).

"cosine per query" is the same search with cosine_similarity and the
vectoriser's transform called on every query (the stored matrix normalised
again each time), the computation as first written: the baseline in this run.
bm25s gets the stemmed query (it has no correction).

Threads: the same queries split between two threads against one thread doing
them all; the ratio is the throughput gained. Scoring, ranking and matching
release the interpreter; stemming is Python and holds it. A second pass uses
long queries (30 words, half misspelled), where matching dominates.

    python bench/bench_td_search.py            # add --sizes 10000 for a quick run
"""

import argparse
import hashlib
import os
import statistics
import tempfile
import threading
import time

import bm25s
import joblib
import tantivy
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.preprocessing import normalize

from td_corpus import Corpus, percentile
from wrapper.core import FinderyTD as td_module
from wrapper.core.FinderyTD import FinderyTD
from wrapper.infra.Idiomark import Idiomark

PARTS = ("stemming", "correction", "vectorising", "scoring", "ranking")


def rss_mib():
    """Resident memory of this process now (Linux)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def ms(values):
    return f"{1e3 * statistics.median(values):8.3f} {1e3 * percentile(values, 0.95):8.3f}"


def timed_searches(engine, queries):
    out = []
    for q in queries:
        start = time.perf_counter()
        engine.search_documents(q, Idiomark.ENGLISH, 1, 10)
        out.append(time.perf_counter() - start)
    return out


def threaded(search, queries, threads):
    """Seconds for `threads` threads to run all queries between them."""
    share = [queries[i::threads] for i in range(threads)]
    go = threading.Barrier(threads + 1)

    def work(qs):
        go.wait()
        for q in qs:
            search(q)

    workers = [threading.Thread(target=work, args=(qs,)) for qs in share]
    for w in workers:
        w.start()
    go.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - start


def throughput(search, queries, label):
    one = min(threaded(search, queries, 1) for _ in range(3))
    two = min(threaded(search, queries, 2) for _ in range(3))
    print(f"{label:34} 1 thread {1e3 * one / len(queries):6.2f} ms/query, "
          f"2 threads {1e3 * two / len(queries):6.2f} ms/query: {one / two:.2f}x throughput")


def tantivy_index(texts):
    """tantivy's BM25 over the texts with its English stemmer, and a parser
    that takes a user's words (its own syntax left out). Each document
    also stores its number, the name a host would look a hit up by."""
    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False, tokenizer_name="en_stem")
    builder.add_unsigned_field("name", stored=True)
    index = tantivy.Index(builder.build())
    writer = index.writer(heap_size=200_000_000, num_threads=1)
    for number, text in enumerate(texts):
        writer.add_document(tantivy.Document(body=text, name=number))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    return index.searcher(), lambda q: index.parse_query(q, ["body"])


def run(corpus, n, queries_count, threads):
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
        del matrix
        engine = FinderyTD(models)
        rss_empty = rss_mib()
        start = time.perf_counter()
        engine.load_model()
        loaded = time.perf_counter() - start
        rss_loaded = rss_mib()
        vocabulary = len(vectorizer.vocabulary_)

    # The first query also prepares the vocabulary and the scoring index.
    start = time.perf_counter()
    engine.search_documents(queries[0], Idiomark.ENGLISH, 1, 10)
    first = time.perf_counter() - start
    rss_searched = rss_mib()

    transform = engine.tfidf_vectorizer.transform
    def measured(queries, besides=()):
        """Each query's time and its parts; each of `besides`, another
        search of the query, is timed right after it (query by query in
        turn, so that whatever else the machine does weighs on all)."""
        totals, parts, others = [], {p: [] for p in PARTS}, [[] for _ in besides]
        for q in queries:
            start = time.perf_counter()
            engine.search_documents(q, Idiomark.ENGLISH, 1, 10)
            totals.append(time.perf_counter() - start)
            for p, seconds in td_module._last_search_split().items():
                parts[p].append(seconds)
            for beside, times in zip(besides, others):
                start = time.perf_counter()
                beside(q)
                times.append(time.perf_counter() - start)
        return (totals, parts, others) if besides else (totals, parts)

    totals, parts = measured(queries)
    # The baseline: the collaborators called on every query, as written.
    cosine = td_module.cosine_similarity
    td_module.cosine_similarity = lambda row, matrix: cosine(row, matrix)
    engine.tfidf_vectorizer.transform = engine.tfidf_vectorizer.transform
    per_query, per_query_parts = measured(queries)
    td_module.cosine_similarity = cosine
    del engine.tfidf_vectorizer.transform

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
          f"first query {1e3 * first:.0f} ms (prepares vocabulary and scoring index); "
          f"bm25s index {bm25_built:.1f} s")
    m = engine.tfidf_matrix
    stored = (m.data.nbytes + m.indices.nbytes + m.indptr.nbytes) / 2**20
    changed = int((normalize(m).data != m.data).sum())
    print(f"resident memory: loading the model added {rss_loaded - rss_empty:.0f} MiB (its matrix "
          f"{stored:.0f} MiB, {m.nnz} values); the first search added {rss_searched - rss_loaded:.0f} MiB "
          f"(the vocabulary matcher and the normalised matrix by term); normalising the stored "
          f"rows changes {changed} of their values")
    print(f"{'':20} {'median ms':>8} {'p95 ms':>8}   {'cosine per query':>17}")
    print(f"{'search':20} {ms(totals)}   {ms(per_query)}")
    for p in PARTS:
        print(f"{'  ' + p:20} {ms(parts[p])}   {ms(per_query_parts[p])}")
    print(f"{'bm25s':20} {ms(bm25)}")
    print(f"search / bm25s: median {statistics.median(totals) / statistics.median(bm25):.2f}, "
          f"p95 {percentile(totals, 0.95) / percentile(bm25, 0.95):.2f}")

    # The ranked search on the same model, and tantivy on the raw texts,
    # query by query in turn.
    start = time.perf_counter()
    searcher, parse = tantivy_index([raw for raw, _ in docs])
    tantivy_built = time.perf_counter() - start
    saved, td_module.RANKING = td_module.RANKING, "bm25"
    try:
        start = time.perf_counter()
        engine.search_documents(queries[0], Idiomark.ENGLISH, 1, 10)
        ranked_first = time.perf_counter() - start
        # Each comparison in pairs, one query of each system in turn, so
        # that each follows one search of the other. tantivy's page is
        # documents' addresses; the second comparison's tantivy search also
        # reads each hit's stored name, as a page of named hits (what the
        # ranked search returns) needs. It has queries of its own: the
        # first pass has met the first ones.
        ranked, ranked_parts, (found,) = measured(queries, besides=(lambda q: searcher.search(parse(q), 10),))
        ranked_too, _, (named,) = measured(corpus.queries(len(queries), docs), besides=(
            lambda q: [searcher.doc(a)["name"][0] for _, a in searcher.search(parse(q), 10).hits],))
    finally:
        td_module.RANKING = saved
    print(f"ranked (bm25), first query {1e3 * ranked_first:.0f} ms (derives its index); "
          f"tantivy index {tantivy_built:.1f} s")
    print(f"{'ranked search':20} {ms(ranked)}")
    for p in ("stemming", "correction", "scoring", "ranking"):
        print(f"{'  ' + p:20} {ms(ranked_parts[p])}")
    print(f"{'tantivy':20} {ms(found)}")
    print(f"{'ranked search':20} {ms(ranked_too)}   (new queries, in turn with the next)")
    print(f"{'tantivy, hits named':20} {ms(named)}")
    print(f"ranked / tantivy: median {statistics.median(ranked) / statistics.median(found):.2f}, "
          f"p95 {percentile(ranked, 0.95) / percentile(found, 0.95):.2f}; "
          f"with tantivy's hits named: median {statistics.median(ranked_too) / statistics.median(named):.2f}, "
          f"p95 {percentile(ranked_too, 0.95) / percentile(named, 0.95):.2f}")

    if threads:
        search = lambda q: engine.search_documents(q, Idiomark.ENGLISH, 1, 10)  # noqa: E731
        throughput(search, queries, "threads, search")
        long_queries = []
        for _ in range(40):
            words = " ".join(corpus.queries(10, docs)).split()[:30]
            long_queries.append(" ".join(corpus.misspell(w) if i % 2 else w for i, w in enumerate(words)))
        throughput(search, long_queries, "threads, search, 30-word queries")
        # The matching alone, on the vocabulary search prepared.
        # The vocabulary array search hands to correct_query, whose matcher
        # is prepared already.
        seen = []
        engine.correct_query = lambda q, terms, cutoff: seen.append(terms) or ""
        engine.search_documents(long_queries[0], Idiomark.ENGLISH, 1, 10)
        del engine.correct_query
        correct = lambda q: engine.correct_query(q, seen[0], 0.9)  # noqa: E731
        throughput(correct, long_queries, "threads, correction, 30 words")
        # What two threads can gain on this machine now: hashing releases the
        # interpreter, so its ratio is the ceiling (below 2 when the cores
        # are busy with other work).
        block = bytes(1 << 22)
        throughput(lambda _: hashlib.sha256(block).digest(), list(range(40)), "threads, ceiling (sha256)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--no-threads", action="store_true", help="skip the thread throughput")
    args = parser.parse_args()
    corpus = Corpus(seed=2)
    for n in args.sizes:
        run(corpus, n, args.queries, not args.no_threads)


if __name__ == "__main__":
    main()
