"""The embedding engine at the scale of an archive: what an embedding query
costs (the encoder excluded) at up to a million vectors with the engine's
exact scan, against an approximate index (usearch's HNSW, a bench-only peer
from PyPI) in the same run, with its recall of the exact first ten.

    .venv/bin/python bench/bench_sb_scale.py [--sizes 100000 1000000] [--real 20000]

Vectors: `--real` windows of ~50 words of the Brown corpus encoded by the
engine's model, and, past those, mixes of two of them with a little noise,
renormalised (a continuum between real sentences rather than copies of
them: approximate indexes find copies too easily). Queries: other windows,
encoded, that are not among the documents.
"""

import argparse
import statistics
import tempfile
import time

import numpy as np
from usearch.index import Index, MetricKind

from td_corpus import Corpus, percentile
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

    def encode(self, text, convert_to_tensor=True):
        return self.next


def engine_over(vectors):
    engine = FinderySB(tempfile.mkdtemp(prefix="bench-sb-scale-"))  # one model for every language
    model = Given()
    key = engine.model_main
    engine.multilang_models = {key: model}
    engine.embedded_documents = {key: list(vectors)}
    engine.document_names = {key: list(range(len(vectors)))}
    return engine, model


def run(vectors, queries):
    n = len(vectors)
    engine, model = engine_over(vectors)
    model.next = queries[0]
    start = time.perf_counter()
    engine.search_documents("q", None, 1, 10)  # stacks the embeddings once
    stacking = time.perf_counter() - start
    exact_times, exact_top = [], []
    for q in queries:
        model.next = q
        start = time.perf_counter()
        hits = engine.search_documents("q", None, 1, 10)[1]
        exact_times.append(time.perf_counter() - start)
        exact_top.append([h["name"] for h in hits])

    index = Index(ndim=vectors.shape[1], metric=MetricKind.IP, dtype="f32", connectivity=16,
                  expansion_add=128, expansion_search=64)
    start = time.perf_counter()
    index.add(np.arange(n), vectors, threads=2)
    built = time.perf_counter() - start
    ann_times, recall = [], []
    for q, truth in zip(queries, exact_top):
        start = time.perf_counter()
        found = index.search(q, 10, threads=1)
        ann_times.append(time.perf_counter() - start)
        recall.append(len(set(int(k) for k in found.keys) & set(truth)) / max(1, len(truth)))
    ms = lambda xs: f"p50 {1e3 * statistics.median(xs):7.2f} ms, p99 {1e3 * percentile(xs, 0.99):7.2f} ms"
    print(f"{n:>9} vectors: exact scan (search_documents) {ms(exact_times)}; stacking the list once "
          f"{stacking:.1f} s")
    print(f"{'':>9}          usearch HNSW {ms(ann_times)}, recall@10 {statistics.mean(recall):.3f}; "
          f"built in {built:.0f} s, {index.memory_usage / 2**20:.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100000, 1000000])
    parser.add_argument("--real", type=int, default=20000)
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()
    began = time.perf_counter()
    texts = [" ".join(words) for words in Corpus().raw_documents(args.real + args.queries)]
    vectors = encoded(texts)
    real, queries = vectors[:args.real], vectors[args.real:]
    print(f"{args.real + args.queries} windows encoded in {time.perf_counter() - began:.0f} s "
          f"({vectors.shape[1]} dimensions)")
    rng = np.random.default_rng(0)
    for n in args.sizes:
        run(grown(real, n, rng), queries)
    print(f"whole run: {time.perf_counter() - began:.0f} s")


if __name__ == "__main__":
    main()
