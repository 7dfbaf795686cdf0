"""The embedding engine at the scale of an archive: what an embedding query
costs (the encoder excluded) at up to a million vectors with the engine's
exact scan and with its inverted lists (what a save spends making them, the
queries' times and their recall of the exact first ten, a 1% change, a new
engine object reading it all), and, with --peer, usearch's HNSW (a
bench-only peer from PyPI) over the same vectors.

    .venv/bin/python bench/bench_sb_scale.py [--sizes 100000 1000000] [--real 20000] [--peer]

Vectors: `--real` windows of ~50 words of the Brown corpus encoded by the
engine's model, and, past those, mixes of two of them with a little noise,
renormalised (a continuum between real sentences rather than copies of
them: approximate indexes find copies too easily). Queries: other windows,
encoded, that are not among the documents.
"""

import argparse
import os
import shutil
import statistics
import tempfile
import time
from types import SimpleNamespace

import numpy as np

from td_corpus import Corpus, percentile
from wrapper.core import FinderySB as sb_module
from wrapper.core.FinderySB import FinderySB
from wrapper.core.Phrasecoder import default_model


def encoded(texts):
    model = default_model()
    out = []
    for at in range(0, len(texts), 256):
        out += [np.asarray(v, dtype=np.float32) for v in model.encode(texts[at:at + 256])]
    return np.vstack(out)


def grown(real, n, rng):
    if n <= len(real):
        return real[:n].copy()
    i = rng.integers(len(real), size=n - len(real))
    j = rng.integers(len(real), size=n - len(real))
    share = rng.uniform(0.2, 0.8, size=(n - len(real), 1)).astype(np.float32)
    mixed = share * real[i] + (1 - share) * real[j]
    mixed += rng.normal(scale=0.02, size=mixed.shape).astype(np.float32)
    mixed /= np.linalg.norm(mixed, axis=1, keepdims=True)
    return np.vstack([real, mixed.astype(np.float32)])


class Given:
    """A model whose encode hands back the query's embedding already made:
    the engine's time is then its own search alone."""

    def __init__(self):
        self.next = None
        self.table = {}  # a changed document's text -> its embedding

    def encode(self, text, convert_to_tensor=True):
        return self.table[text] if text in self.table else self.next


def engine_over(vectors):
    engine = FinderySB(tempfile.mkdtemp(prefix="bench-sb-scale-"))  # one model for every language
    model = Given()
    key = engine.model_main
    engine.multilang_models = {key: model}
    engine.embedded_documents = {key: list(vectors)}
    engine.document_names = {key: list(range(len(vectors)))}
    return engine, model


def timed_queries(engine, model, queries):
    times, tops = [], []
    for q in queries:
        model.next = q
        start = time.perf_counter()
        hits = engine.search_documents("q", None, 1, 10)[1]
        times.append(time.perf_counter() - start)
        tops.append([h["name"] for h in hits])
    return times, tops


def ms(xs):
    return f"p50 {1e3 * statistics.median(xs):7.2f} ms, p99 {1e3 * percentile(xs, 0.99):7.2f} ms"


def recall(tops, truth):
    return statistics.mean(len(set(a) & set(b)) / max(1, len(b)) for a, b in zip(tops, truth))


def run(vectors, queries, rng, peer):
    n = len(vectors)
    from_default = sb_module.APPROXIMATE_FROM
    engine, model = engine_over(vectors)
    sb_module.APPROXIMATE_FROM = None
    model.next = queries[0]
    start = time.perf_counter()
    engine.search_documents("q", None, 1, 10)  # stacks the embeddings once
    stacking = time.perf_counter() - start
    exact_times, truth = timed_queries(engine, model, queries)
    print(f"{n:>9} vectors: exact scan (search_documents) {ms(exact_times)}; stacking the list once "
          f"{stacking:.1f} s")

    start = time.perf_counter()
    engine.save_model()
    plain = time.perf_counter() - start
    sb_module.APPROXIMATE_FROM = from_default
    start = time.perf_counter()
    engine.save_model()
    with_lists = time.perf_counter() - start
    lists_file = os.path.join(engine.base_path, "sb_search_lists.bin")
    lists, trained, _ = sb_module._search_lists(engine)[engine.model_main]
    list_times, tops = timed_queries(engine, model, queries)
    print(f"{'':>9}          lists      {ms(list_times)}, recall@10 {recall(tops, truth):.3f}; "
          f"{lists} lists made in {with_lists - plain:.1f} s (a save without them {plain:.1f} s), "
          f"{os.path.getsize(lists_file) / 2**20:.1f} MiB beside "
          f"{os.path.getsize(engine.model_filename) / 2**20:.0f} MiB")

    # 1% of the documents get other embeddings: the lists file those alone.
    changed = rng.choice(n, size=max(1, n // 100), replace=False)
    docs = []
    for row in changed:
        text = f"changed {row}"
        model.table[text] = vectors[(row + 1) % n]
        docs.append(SimpleNamespace(id=int(row), text=text, detected_language=None, translate_to=None))
    start = time.perf_counter()
    engine.update_documents(docs)
    change = time.perf_counter() - start
    start = time.perf_counter()
    again = FinderySB(engine.base_path)
    reading = time.perf_counter() - start
    model = again.multilang_models[engine.model_main]
    model.next = queries[0]
    start = time.perf_counter()
    again.search_documents("q", None, 1, 10)
    first = time.perf_counter() - start
    kept = len(sb_module._search_lists(again)) == 1
    print(f"{'':>9}          1% changed in {change:.1f} s (the save rewrites every embedding); a new "
          f"engine object reads the state in {reading:.1f} s (lists {'read' if kept else 'NOT read'}), "
          f"its first query {first:.2f} s")
    del engine, again
    shutil.rmtree(os.path.dirname(lists_file), ignore_errors=True)

    if peer:
        from usearch.index import Index, MetricKind
        index = Index(ndim=vectors.shape[1], metric=MetricKind.IP, dtype="f32", connectivity=16,
                      expansion_add=128, expansion_search=64)
        start = time.perf_counter()
        index.add(np.arange(n), vectors, threads=2)
        built = time.perf_counter() - start
        ann_times, found = [], []
        for q in queries:
            start = time.perf_counter()
            hits = index.search(q, 10, threads=1)
            ann_times.append(time.perf_counter() - start)
            found.append([int(k) for k in hits.keys])
        print(f"{'':>9}          usearch HNSW {ms(ann_times)}, recall@10 {recall(found, truth):.3f}; "
              f"built in {built:.0f} s, {index.memory_usage / 2**20:.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100000, 1000000])
    parser.add_argument("--real", type=int, default=20000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--peer", action="store_true", help="usearch's HNSW over the same vectors")
    args = parser.parse_args()
    began = time.perf_counter()
    texts = [" ".join(words) for words in Corpus().raw_documents(args.real + args.queries)]
    vectors = encoded(texts)
    real, queries = vectors[:args.real], vectors[args.real:]
    print(f"{args.real + args.queries} windows encoded in {time.perf_counter() - began:.0f} s "
          f"({vectors.shape[1]} dimensions)")
    rng = np.random.default_rng(0)
    for n in args.sizes:
        began_size = time.perf_counter()
        run(grown(real, n, rng), queries, rng, args.peer)
        print(f"{'':>9}          ({time.perf_counter() - began_size:.0f} s for this size)")
    print(f"whole run: {time.perf_counter() - began:.0f} s")


if __name__ == "__main__":
    main()
