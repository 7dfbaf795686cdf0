"""The term-weighting index at the scale of an archive: a generated corpus
of prepared documents (OCR out of the picture) filed through the library as
`wrapper index` files them (batches that grow with the index, pages kept
for passages), then a 1% change of each kind, a cold `wrapper search` as a
whole process, warm searches, memory and disk; tantivy beside it on the
same texts, in the same run.

    .venv/bin/python bench/bench_scale.py [--size 10000] [--queries 200]

Documents: 50 to 2,000 words (log-uniform), three in five English, one in
five Spanish, one in five Portuguese, each word drawn by its frequency in
a public corpus of its language (Brown, CESS-ESP, Floresta: Zipfian, as
real text is). Each phase runs in a child process, so its peak memory is
its own.
"""

import argparse
import collections
import json
import math
import os
import pathlib
import random
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from corpora import corpus_zip  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
WRAPPER = pathlib.Path(sys.executable).with_name("wrapper")
LANGUAGES = [("en", 0.6), ("es", 0.2), ("pt", 0.2)]


# ---- the corpus -------------------------------------------------------------------


def frequencies(code):
    """(words, counts) of the corpus of a language, lower case, letters only."""
    words = collections.Counter()
    if code == "en":
        with zipfile.ZipFile(corpus_zip("brown")) as z:
            for name in z.namelist():
                if re.fullmatch(r"brown/c[a-r]\d\d", name):
                    words.update(w.lower() for w in re.findall(r"(\w+)/\S+", z.read(name).decode()))
    else:
        ident, pattern = ("cess_esp", r"\.tbf$") if code == "es" else ("floresta", r"\.ptb$")
        with zipfile.ZipFile(corpus_zip(ident)) as z:
            for name in z.namelist():
                if re.search(pattern, name):
                    text = z.read(name).decode("latin-1")
                    # "(tag word)" in Floresta, "(tag word lemma)" in CESS-ESP
                    words.update(w.lower() for w in re.findall(r"\(\S+ ([^\s()]+)(?: [^\s()]+)?\)", text))
    kept = [(w, n) for w, n in words.items() if w.isalpha()]
    return [w for w, _ in kept], [n for _, n in kept]


class Corpus:
    def __init__(self, seed=0):
        from wrapper.core import FinderyTD as td
        self.rng = random.Random(seed)
        self.languages = {}
        for code, _ in LANGUAGES:
            words, counts = frequencies(code)
            # Each distinct word's term once, as the stemming pipeline files it.
            terms = [td._term_of(w, code) for w in words]
            cumulative = list(_accumulate(counts))
            self.languages[code] = (words, terms, cumulative)

    def document(self, i):
        code = self.rng.choices([c for c, _ in LANGUAGES], [w for _, w in LANGUAGES])[0]
        words, terms, cumulative = self.languages[code]
        length = int(math.exp(self.rng.uniform(math.log(50), math.log(2000))))
        picked = self.rng.choices(range(len(words)), cum_weights=cumulative, k=length)
        raw = " ".join(words[p] for p in picked)
        cleaned = " ".join(terms[p] for p in picked if terms[p])
        return {"id": f"archive/{i // 1000:04d}/doc-{i:07d}.pdf", "code": code, "text": raw, "cleaned": cleaned}

    def query(self):
        code = self.rng.choices([c for c, _ in LANGUAGES], [w for _, w in LANGUAGES])[0]
        words, terms, cumulative = self.languages[code]
        out, wanted = [], self.rng.randint(1, 3)
        while len(out) < wanted:
            p = self.rng.choices(range(len(words)), cum_weights=cumulative)[0]
            w = words[p]
            if len(w) <= 3 or not terms[p]:  # short words and stopwords are not what people search for
                continue
            if self.rng.random() < 0.3:  # a typo
                at = self.rng.randrange(1, len(w))
                w = w[:at] + w[at + 1:]
            out.append(w)
        return code, " ".join(out)


def _accumulate(values):
    total = 0
    for v in values:
        total += v
        yield total


def as_doc(d):
    from types import SimpleNamespace
    from wrapper.infra.Idiomark import Idiomark
    return SimpleNamespace(id=d["id"], text=d["text"], cleaned_text=d["cleaned"], pages=[d["text"]],
                           detected_language=Idiomark(d["code"]), is_detect_language=True)


# ---- the phases, each in a child ----------------------------------------------------------


def phase_build(base, corpus_file, batch):
    from wrapper.Process import Process
    from wrapper.infra.Enginekind import Enginekind
    process = Process(str(base), True, None, Enginekind.TD)
    pending, held = [], 0
    with open(corpus_file) as f:
        for line in f:
            pending.append(as_doc(json.loads(line)))
            # As `wrapper index` commits: batches grow with the index.
            if len(pending) >= max(batch, held // 4):
                process.update_docs(pending)
                held += len(pending)
                pending = []
    if pending:
        process.update_docs(pending)
    (base / "models" / "index.json").write_text(json.dumps({"engine": "td", "detect": True, "translate_to": None}))


def phase_change(base, corpus_file, kind):
    from wrapper.Process import Process
    from wrapper.infra.Enginekind import Enginekind
    process = Process(str(base), True, None, Enginekind.TD)
    docs = [json.loads(line) for line in open(corpus_file)]
    if kind == "remove":
        process.remove_docs([d["id"] for d in docs])
    else:
        process.update_docs([as_doc(d) for d in docs])


def phase_warm(base, queries_file):
    from wrapper.core import FinderyTD as td
    from wrapper.infra.Idiomark import Idiomark
    td.RANKING = "bm25"
    engine = td.FinderyTD(str(base / "models"))
    queries = [json.loads(line) for line in open(queries_file)]
    # Warmed as `wrapper serve` warms itself: a word to correct in each
    # language reads the index and the word lists.
    start = time.perf_counter()
    for code, _ in LANGUAGES:
        engine.search_documents("qzxwarm", Idiomark(code), 1, 10)
    first = time.perf_counter() - start
    times = []
    for code, q in queries:
        start = time.perf_counter()
        engine.search_documents(q, Idiomark(code), 1, 10)
        times.append(time.perf_counter() - start)
    print(json.dumps({"first": first, "times": times}))


def child(*args):
    """Runs a phase in a child: (seconds, peak RSS MiB, stdout)."""
    start = time.perf_counter()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run([sys.executable, __file__, "--phase", *map(str, args)], check=True,
                         capture_output=True, text=True)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return seconds, after.ru_maxrss / 1024, out.stdout, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def size_mib(path, skip=None):
    total = 0
    for root, dirs, files in os.walk(path):
        if skip and pathlib.Path(root) == skip:
            dirs[:] = []
            continue
        dirs[:] = [d for d in dirs if not skip or pathlib.Path(root, d) != skip]
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    return total / 2**20


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def tantivy_run(corpus_file, queries):
    import tantivy
    with tempfile.TemporaryDirectory() as where:
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False, tokenizer_name="en_stem")
        builder.add_text_field("name", stored=True)
        index = tantivy.Index(builder.build(), path=where)
        start = time.perf_counter()
        writer = index.writer(heap_size=500_000_000, num_threads=1)
        built = time.perf_counter() - start
        # The documents are read from the corpus file (a million do not fit
        # in memory beside the build); reading them is not timed.
        with open(corpus_file) as f:
            for line in f:
                d = json.loads(line)
                start = time.perf_counter()
                writer.add_document(tantivy.Document(body=d["text"], name=d["id"]))
                built += time.perf_counter() - start
        start = time.perf_counter()
        writer.commit()
        writer.wait_merging_threads()
        built += time.perf_counter() - start
        index.reload()
        searcher = index.searcher()
        times = []
        for _, q in queries:
            start = time.perf_counter()
            hits = searcher.search(index.parse_query(q, ["body"]), 10).hits
            [searcher.doc(address)["name"] for _, address in hits]  # a hit names its document
            times.append(time.perf_counter() - start)
        return built, size_mib(where), times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=10000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--batch", type=int, default=50, help="the smallest batch, as `wrapper index --batch`")
    parser.add_argument("--phase", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        name, *rest = args.phase
        base = pathlib.Path(rest[0])
        if name == "build":
            phase_build(base, rest[1], int(rest[2]))
        elif name == "change":
            phase_change(base, rest[1], rest[2])
        elif name == "warm":
            phase_warm(base, rest[1])
        return

    began = time.perf_counter()
    corpus = Corpus()
    n = args.size
    work = pathlib.Path(tempfile.mkdtemp(prefix="bench-scale-"))
    try:
        # Written as they are made, not held: only the documents the 1%
        # change and removal take are kept (the same ones as sampling the
        # whole list would take).
        rng = random.Random(1)
        share = max(1, n // 100)
        sampled = {"change": rng.sample(range(n), share), "remove": rng.sample(range(n), share)}
        wanted = {i: None for picks in sampled.values() for i in picks}
        corpus_file, queries_file = work / "corpus.jsonl", work / "queries.jsonl"
        words = 0
        with open(corpus_file, "w") as f:
            for i in range(n):
                d = corpus.document(i)
                words += len(d["text"].split())
                f.write(json.dumps(d) + "\n")
                if i in wanted:
                    wanted[i] = d
        queries = [corpus.query() for _ in range(args.queries)]
        queries_file.write_text("".join(json.dumps(q) + "\n" for q in queries))
        print(f"{n} documents, {words} words ({words / n:.0f} a document), made in "
              f"{time.perf_counter() - began:.0f} s")

        base = work / "base"
        seconds, peak, _, cpu = child("build", base, corpus_file, args.batch)
        models = base / "models"
        pages = models / "pages"
        print(f"build:   {seconds:8.1f} s ({cpu:.1f} s CPU), peak {peak:.0f} MiB; "
              f"index {size_mib(models, pages):.0f} MiB, kept pages {size_mib(pages):.0f} MiB apart")
        t_built, t_size, t_times = tantivy_run(corpus_file, queries)
        print(f"tantivy: {t_built:8.1f} s to index, {t_size:.0f} MiB;  build ratio {seconds / t_built:.1f}x, "
              f"disk ratio {size_mib(models, pages) / t_size:.1f}x")

        changes = {
            "add": [corpus.document(n + i) for i in range(share)],
            "change": [dict(corpus.document(n + share + k), id=wanted[i]["id"]) for k, i in enumerate(sampled["change"])],
            "remove": [wanted[i] for i in sampled["remove"]],
        }
        for kind, changed in changes.items():
            path = work / f"{kind}.jsonl"
            path.write_text("".join(json.dumps(d) + "\n" for d in changed))
            c_seconds, _, _, _ = child("change", base, path, kind)
            print(f"1% {kind:7s} {c_seconds:8.1f} s  ({c_seconds / seconds:.2f} of the build)")

        for label, extra in (("--language en", ["--language", "en"]), ("detected", [])):
            walls, cpus = [], []
            for code, q in queries[:5]:
                start = time.perf_counter()
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                subprocess.run([str(WRAPPER), "search", "--base", str(base), *extra, *q.split()],
                               check=True, capture_output=True)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                walls.append(time.perf_counter() - start)
                cpus.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
            print(f"cold `wrapper search` ({label}): median {statistics.median(walls):.2f} s, "
                  f"{statistics.median(cpus):.2f} s CPU")

        _, _, out, _ = child("warm", base, queries_file)
        warm = json.loads(out)
        times = warm["times"]
        p50, p99 = percentile(times, 0.5), percentile(times, 0.99)
        t50, t99 = percentile(t_times, 0.5), percentile(t_times, 0.99)
        print(f"warm search: warming {warm['first'] * 1000:.0f} ms, p50 {p50 * 1000:.2f} ms, p99 {p99 * 1000:.2f} ms;  "
              f"tantivy p50 {t50 * 1000:.2f} ms, p99 {t99 * 1000:.2f} ms;  "
              f"ratio p50 {p50 / t50:.1f}x, p99 {p99 / t99:.1f}x")
        print(f"whole run: {time.perf_counter() - began:.0f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
