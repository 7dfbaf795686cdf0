"""An index split into shards, searched side by side and merged, against the
one index of the same documents: how often the merged first page is the
one index's first page, and how much of it they share. Shards are made by a
hash of the document's name, as docs/scaling.md proposes.

Two merges are measured. Through the engine, each shard is an index of its
own and scores with its own figures (document count, average length, each
term's frequency): the approximate merge. Through the ranking core, over the
same documents' terms, each shard scores with the whole collection's
figures, as a searcher holding them would send with the query: the merged
first page must then be the one index's, every score to the last bit.

    .venv/bin/python bench/bench_shards.py [--size 4000] [--shards 4] [--queries 200]
"""

import argparse
import pathlib
import statistics
import sys
import tempfile
import time
import zlib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_scale import Corpus, as_doc  # noqa: E402

from wrapper.core import FinderyTD as td  # noqa: E402
from wrapper.infra.Idiomark import Idiomark  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=4000)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--per-page", type=int, default=10)
    args = parser.parse_args()
    td.RANKING = "bm25"
    corpus = Corpus()
    docs = [as_doc(corpus.document(i)) for i in range(args.size)]
    queries = [corpus.query() for _ in range(args.queries)]
    with tempfile.TemporaryDirectory() as where:
        root = pathlib.Path(where)
        (root / "one").mkdir()
        one = td.FinderyTD(str(root / "one"))
        one.train_batch(docs)
        shards = []
        for s in range(args.shards):
            (root / f"shard{s}").mkdir()
            shard = td.FinderyTD(str(root / f"shard{s}"))
            shard.train_batch([d for d in docs if zlib.crc32(d.id.encode()) % args.shards == s])
            shards.append(shard)

        same, overlaps, t_one, t_shards = 0, [], [], []
        for code, q in queries:
            language = Idiomark(code)
            start = time.perf_counter()
            whole = [h["name"] for h in one.search_documents(q, language, 1, args.per_page)[1]]
            t_one.append(time.perf_counter() - start)
            start = time.perf_counter()
            heads = []
            for shard in shards:
                result = shard.search_documents(q, language, 1, args.per_page)
                heads += result[1] if result else []
            heads.sort(key=lambda h: -h["Pontuação"])
            merged = [h["name"] for h in heads[:args.per_page]]
            t_shards.append(time.perf_counter() - start)
            same += merged == whole
            if whole:
                overlaps.append(len(set(merged) & set(whole)) / len(whole))
    print(f"{args.size} documents, {args.shards} shards, {args.queries} queries, {args.per_page} a page")
    print(f"merged first page identical to the one index's: {same / len(queries):.1%}")
    print(f"share of the one index's first page found by the merge: {statistics.mean(overlaps):.1%}")
    print(f"search: one index median {statistics.median(t_one) * 1000:.2f} ms; "
          f"{args.shards} shards in turn and the merge median {statistics.median(t_shards) * 1000:.2f} ms")
    whole_collection(docs, queries, args)


def whole_collection(docs, queries, args):
    """The ranking core over each document's terms: one index, shards with
    their own figures, shards with the whole collection's."""
    ids, codes = {}, {}
    term_docs = [[ids.setdefault(t, len(ids)) for t in d.cleaned_text.split()] for d in docs]
    groups = [codes.setdefault(d.detected_language.value, len(codes)) for d in docs]
    core_queries = []
    for code, q in queries:
        group = codes.setdefault(code, len(codes))
        terms = [td._term_of(w, code) for w in q.split()]
        core_queries.append([(ids[t], 1 << group, 1.0) for t in terms if t in ids])
    shard_of = [zlib.crc32(d.id.encode()) % args.shards for d in docs]
    one, t_one = td._bm25_pages(term_docs, groups, core_queries, args.per_page)
    print(f"the ranking core, {len(ids)} terms, first pages of {args.per_page}:")
    for label, own in (("own figures", True), ("the whole collection's figures", False)):
        merged, t_merged = td._bm25_pages(term_docs, groups, core_queries, args.per_page, shard_of, own)
        same = sum(m == o for m, o in zip(merged, one))
        overlap = statistics.mean(len({d for d, _ in m} & {d for d, _ in o}) / len(o) for m, o in zip(merged, one) if o)
        print(f"  shards scoring with {label}: merged first page identical (scores too) {same / len(one):.1%}, "
              f"share found {overlap:.1%}; median {statistics.median(t_merged) * 1000:.3f} ms "
              f"against one index's {statistics.median(t_one) * 1000:.3f} ms")


if __name__ == "__main__":
    main()
